// Potentials that the assemblage does not fix, placed by linear programmes over the
// activities of the phases outside it.
#include <algorithm>
#include <cmath>
#include <limits>

#include "equilibrium/linear_programme.hpp"
#include "equilibrium/minimiser_state.hpp"

namespace eqx::equilibrium {

using Eigen::MatrixXd;
using Eigen::VectorXd;

std::vector<Minimiser::Constraint> Minimiser::constraints() const {
    std::vector<Constraint> result;
    for (int p = 0; p < count_; ++p) {
        if (full_.phases[p].role == Role::observed) {
            result.push_back({p, false});
            continue;
        }
        if (full_.phases[p].role != Role::balanced) continue;
        if (!is_active(p))
            result.push_back({p, false});
        else if (full_.phases[p].size() != balance_.phases[p].size())
            result.push_back({p, true});
    }
    return result;
}

// ln of a constraint's activity at zeta, and its gradient (moles of each component per
// mole, at the minimum).
std::pair<double, VectorXd> Minimiser::constraint_value(const Constraint& c,
                                                        const VectorXd& zeta) const {
    if (!c.excluded_part) {
        TangentPlane tp = full_activity(c.phase, zeta);
        return {tp.ln_activity, std::move(tp.m)};
    }
    const CalculatedPhase& whole = full_.phases[c.phase];
    const CalculatedPhase& part = balance_.phases[c.phase];
    std::vector<int> excluded;
    for (int j = 0; j < whole.size(); ++j)
        if (std::find(part.constituents.begin(), part.constituents.end(), whole.constituents[j]) ==
            part.constituents.end())
            excluded.push_back(j);
    VectorXd w(static_cast<int>(excluded.size()));
    for (int i = 0; i < w.size(); ++i)
        w[i] = whole.stoichiometry.col(excluded[i]).dot(zeta) - whole.g[excluded[i]];
    const double top = w.maxCoeff();
    const VectorXd weights = (w.array() - top).exp().matrix();
    const double sum = weights.sum();
    VectorXd m = VectorXd::Zero(k_);
    for (int i = 0; i < w.size(); ++i) m += weights[i] / sum * whole.stoichiometry.col(excluded[i]);
    return {top + std::log(sum), m};
}

// The directions of the potentials that no species of the assemblage or reservoir fixes.
MatrixXd Minimiser::free_directions() const {
    std::vector<VectorXd> rows;
    for (int p : active_) {
        const CalculatedPhase& phase = balance_.phases[p];
        for (int j = 0; j < phase.size(); ++j) rows.push_back(phase.stoichiometry.col(j));
    }
    for (const Reservoir& r : reservoirs_) rows.push_back(r.stoichiometry);
    if (rows.empty()) return MatrixXd::Identity(k_, k_);
    // The null space of the rows: eigenvectors of their Gram matrix with eigenvalue ~0.
    MatrixXd gram = MatrixXd::Zero(k_, k_);
    for (const VectorXd& row : rows) gram += row * row.transpose();
    Eigen::SelfAdjointEigenSolver<MatrixXd> eigen(gram);
    const VectorXd& values = eigen.eigenvalues();  // ascending
    const double top = std::max(values.cwiseAbs().maxCoeff(), 1.0);
    int free = 0;
    while (free < k_ && values[free] <= 1e-18 * top) ++free;
    return eigen.eigenvectors().leftCols(free);
}

// Places the free potentials where the largest activity of a species of the phases outside
// that depend on them (as a pure end member) is smallest, but not below e^-50, while the
// species excluded from assemblage phases keep a share below e^-50 (so that those phases stay
// at activity 1); among equally good places, the smallest potentials. One linear programme
// does it; when a phase would still be above activity 1, cutting planes on its convex ln a
// follow, a linear programme each round.
void Minimiser::place_free_potentials(const MatrixXd& z, const std::vector<Constraint>& all) {
    const int r = static_cast<int>(z.cols());
    struct Cut {
        double value;
        VectorXd gradient;
        VectorXd at;
        bool hard;  // <= floor, not <= t
    };
    std::vector<Cut> cuts;
    std::vector<Constraint> dependent;
    for (const Constraint& c : all) {
        const MatrixXd projected = z.transpose() * full_.phases[c.phase].stoichiometry;
        if (projected.cwiseAbs().maxCoeff() > 1e-12) dependent.push_back(c);
    }
    if (dependent.empty()) return;
    const VectorXd base = zeta_;
    VectorXd current = VectorXd::Zero(r);
    // Each species' own ln a as the pure end member (linear in the potentials, a lower bound
    // of its phase's) is one exact cut; the phase's ln a adds a cut at every point tried.
    auto add_cuts = [&](const VectorXd& at, bool first, bool hard_parts) {
        for (const Constraint& c : dependent) {
            const bool hard = c.excluded_part && hard_parts;
            const CalculatedPhase& phase = full_.phases[c.phase];
            if (first) {
                const auto& kept = balance_.phases[c.phase].constituents;
                for (int j = 0; j < phase.size(); ++j) {
                    if (c.excluded_part &&
                        std::find(kept.begin(), kept.end(), phase.constituents[j]) != kept.end())
                        continue;
                    const VectorXd& a = phase.stoichiometry.col(j);
                    const double g =
                        reduced_gibbs_energy(full_, phase, VectorXd::Unit(phase.size(), j));
                    cuts.push_back({a.dot(base + z * at) - g, z.transpose() * a, at, hard});
                }
            }
            if (phase.kind == CalculatedPhase::Kind::pure) continue;
            auto [value, m] = constraint_value(c, base + z * at);
            cuts.push_back({value, z.transpose() * m, at, hard});
        }
    };
    constexpr double floor = -potential_box;
    constexpr double box = 1e4;
    // The best point so far: the smallest excess over the hard limits, then the smallest
    // largest activity (the cutting-plane iterates need not improve every round).
    VectorXd best = VectorXd::Zero(r);
    double best_excess = std::numeric_limits<double>::infinity();
    double best_top = std::numeric_limits<double>::infinity();
    auto rounds = [&](bool hard_parts) {
        cuts.clear();
        current = VectorXd::Zero(r);
        add_cuts(current, true, hard_parts);
        for (int round = 0; round < 40; ++round) {
            // Variables: z+ (r), z- (r), t' = t - floor, a slack per cut and per bound, and
            // u - v = the potentials (so that among equally good places the one with the
            // smallest potentials is taken, wherever the iteration started).
            const int c = static_cast<int>(cuts.size());
            const int columns = 4 * r + 1 + c + 2 * k_;
            const int rows = c + 2 * r + k_;
            MatrixXd a = MatrixXd::Zero(rows, columns);
            VectorXd b = VectorXd::Zero(rows);
            VectorXd cost = VectorXd::Zero(columns);
            const int u = 4 * r + 1 + c;
            for (int i = 0; i < 2 * k_; ++i) cost[u + i] = 1e-6;
            cost[2 * r] = 1.0;
            for (int i = 0; i < k_; ++i) {
                a.block(c + 2 * r + i, 0, 1, r) = z.row(i);
                a.block(c + 2 * r + i, r, 1, r) = -z.row(i);
                a(c + 2 * r + i, u + i) = -1.0;
                a(c + 2 * r + i, u + k_ + i) = 1.0;
                b[c + 2 * r + i] = -base[i];
            }
            for (int i = 0; i < c; ++i) {
                const Cut& cut = cuts[i];
                a.block(i, 0, 1, r) = cut.gradient.transpose();
                a.block(i, r, 1, r) = -cut.gradient.transpose();
                if (!cut.hard) a(i, 2 * r) = -1.0;
                a(i, 2 * r + 1 + i) = 1.0;
                b[i] = cut.gradient.dot(cut.at) - cut.value + floor;
            }
            for (int i = 0; i < 2 * r; ++i) {
                a(c + i, i) = 1.0;
                a(c + i, 2 * r + 1 + c + i) = 1.0;
                b[c + i] = box;
            }
            const LinearSolution lp = solve_linear_programme(a, b, cost);
            if (lp.status != LinearSolution::Status::optimal) return round > 0;
            const VectorXd next = lp.x.head(r) - lp.x.segment(r, r);
            const double bound = lp.x[2 * r] + floor;
            double excess = 0.0;
            double hard_excess = 0.0;
            double top = floor;
            for (const Constraint& constraint : dependent) {
                const double value = constraint_value(constraint, base + z * next).first;
                const bool hard = constraint.excluded_part && hard_parts;
                excess = std::max(excess, value - (hard ? floor : bound));
                if (hard)
                    hard_excess = std::max(hard_excess, value - floor);
                else
                    top = std::max(top, value);
            }
            current = next;
            if (hard_excess < best_excess - 1e-12 ||
                (hard_excess <= best_excess + 1e-12 && top < best_top)) {
                best = next;
                best_excess = hard_excess;
                best_top = top;
            }
            // The first programme places the species exactly (pure and ideal phases); more
            // rounds only where a phase would still be above activity 1 or an excluded share
            // above its limit.
            const bool enough = top <= 1e-9 && (!hard_parts || hard_excess <= 1e-9);
            if (excess < 1e-9 || enough) break;
            add_cuts(current, false, hard_parts);
        }
        return true;
    };
    if (!rounds(true)) rounds(false);
    zeta_ = base + z * best;
}

}  // namespace eqx::equilibrium
