// Potentials that the assemblage does not fix, placed by linear programmes over the
// activities of the phases outside it; and those of components with no input.
#include <algorithm>
#include <cmath>
#include <limits>

#include "equilibrium/linear_programme.hpp"
#include "equilibrium/minimiser_state.hpp"

namespace eqx::equilibrium {

using Eigen::MatrixXd;
using Eigen::VectorXd;

// The phases that must stay below activity 1 while free potentials are placed: every phase
// outside the assemblage, DORMANT ones included.
std::vector<int> Minimiser::outside_phases() const {
    std::vector<int> result;
    for (int p = 0; p < count_; ++p) {
        const Role role = full_.phases[p].role;
        if (role == Role::observed || (role == Role::balanced && !is_active(p)))
            result.push_back(p);
    }
    return result;
}

// ln of a phase's activity at zeta, and its gradient (moles of each component per mole, at
// the minimum).
std::pair<double, VectorXd> Minimiser::constraint_value(int p, const VectorXd& zeta) const {
    TangentPlane tp = full_activity(p, zeta);
    return {tp.ln_activity, std::move(tp.m)};
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
    // Rounding leaves an exact null direction an eigenvalue of about 1e-16 of the largest.
    while (free < k_ && values[free] <= 1e-12 * top) ++free;
    return eigen.eigenvectors().leftCols(free);
}

// The components with no input that no species can hold beside the others
// (exclude_unreachable): the sign of their coefficients, +1 or -1; 0 for the others.
VectorXd Minimiser::zero_input_signs() const {
    VectorXd sign = VectorXd::Zero(k_);
    for (int c = 0; c < k_; ++c) {
        if (std::find(balance_components_.begin(), balance_components_.end(), c) !=
            balance_components_.end())
            continue;
        for (const CalculatedPhase& phase : full_.phases) {
            if (phase.role == Role::absent) continue;
            for (int j = 0; j < phase.size(); ++j)
                if (phase.stoichiometry(c, j) != 0.0)
                    sign[c] = phase.stoichiometry(c, j) > 0.0 ? 1 : -1;
        }
    }
    return sign;
}

// The potentials that the equilibrium leaves free. Those of components with no input that
// nothing holds stand for minus infinity: while the others are placed they are far out of the
// way, then each is placed on its own (place_zero_input_potentials).
void Minimiser::place_potentials() {
    const VectorXd sign = zero_input_signs();
    for (int c = 0; c < k_; ++c)
        if (sign[c] != 0.0) zeta_[c] = -far_potential * sign[c];
    MatrixXd z = free_directions();
    if (z.cols() > 0 && sign.cwiseAbs().sum() > 0.0) {
        for (int c = 0; c < k_; ++c)
            if (sign[c] != 0.0) z.row(c).setZero();
        Eigen::JacobiSVD<MatrixXd> svd(z, Eigen::ComputeThinU);
        int rank = 0;
        while (rank < svd.singularValues().size() && svd.singularValues()[rank] > 1e-9) ++rank;
        z = svd.matrixU().leftCols(rank);
    }
    if (z.cols() > 0) place_free_potentials(z, outside_phases());
    if (sign.cwiseAbs().sum() > 0.0) place_zero_input_potentials(sign);
}

// A component with no input that nothing holds has no potential of its own (minus infinity
// for an ideal mixture); it is given the one nearest zero at which every constituent that
// holds it - of any phase, in the assemblage or not - has an activity of at most e^-50 against
// the other potentials. One linear programme over those constituents places all such
// components at once: minimise sum |zeta_c| subject to a_j . zeta - g_j <= -50.
void Minimiser::place_zero_input_potentials(const VectorXd& sign) {
    std::vector<int> zero;
    for (int c = 0; c < k_; ++c)
        if (sign[c] != 0.0) zero.push_back(c);
    const int nz = static_cast<int>(zero.size());
    std::vector<VectorXd> rows;
    std::vector<double> limits;
    for (const CalculatedPhase& phase : full_.phases) {
        if (phase.role == Role::absent) continue;
        for (int j = 0; j < phase.size(); ++j) {
            VectorXd a(nz);
            for (int i = 0; i < nz; ++i) a[i] = phase.stoichiometry(zero[i], j);
            if (a.cwiseAbs().maxCoeff() == 0.0) continue;
            double rest = -phase.g[j];
            for (int c = 0; c < k_; ++c)
                if (sign[c] == 0.0) rest += phase.stoichiometry(c, j) * zeta_[c];
            rows.push_back(std::move(a));
            limits.push_back(zero_input_ln_activity - rest);
        }
    }
    // Variables: u, v >= 0 with zeta_z = u - v, then one slack per constituent.
    const int m = static_cast<int>(rows.size());
    MatrixXd a = MatrixXd::Zero(m, 2 * nz + m);
    VectorXd b(m), cost = VectorXd::Zero(2 * nz + m);
    cost.head(2 * nz).setOnes();
    for (int i = 0; i < m; ++i) {
        a.block(i, 0, 1, nz) = rows[i].transpose();
        a.block(i, nz, 1, nz) = -rows[i].transpose();
        a(i, 2 * nz + i) = 1.0;
        b[i] = limits[i];
    }
    const LinearSolution lp = solve_linear_programme(a, b, cost);
    for (int i = 0; i < nz; ++i) {
        double value = -far_potential * sign[zero[i]];
        if (lp.status == LinearSolution::Status::optimal) value = lp.x[i] - lp.x[nz + i];
        zeta_[zero[i]] = value;
    }
    // The programme meets its rows to its tolerance: the last rounding goes to the safe side.
    for (int i = 0; i < m; ++i) {
        double excess = -limits[i];
        for (int l = 0; l < nz; ++l) excess += rows[i][l] * zeta_[zero[l]];
        if (excess <= 0.0) continue;
        for (int l = 0; l < nz; ++l)
            if (rows[i][l] != 0.0) zeta_[zero[l]] -= sign[zero[l]] * excess / std::abs(rows[i][l]);
    }
}

// Places the free potentials where the largest activity of the phases outside the assemblage
// (DORMANT ones included) is smallest, but not below e^-50; among equally good places, the
// smallest potentials. One linear programme does it for the constituents as pure end members
// (their ln a is linear in the potentials, a lower bound of their phase's); where a phase
// would still be above activity 1, cutting planes on its convex ln a follow, a linear
// programme each round.
void Minimiser::place_free_potentials(const MatrixXd& z, const std::vector<int>& outside) {
    const int r = static_cast<int>(z.cols());
    struct Cut {
        double value;
        VectorXd gradient;
        VectorXd at;
    };
    std::vector<Cut> cuts;
    std::vector<int> dependent;
    for (int p : outside) {
        const MatrixXd projected = z.transpose() * full_.phases[p].stoichiometry;
        if (projected.cwiseAbs().maxCoeff() > 1e-12) dependent.push_back(p);
    }
    if (dependent.empty()) return;
    const VectorXd base = zeta_;
    auto add_cuts = [&](const VectorXd& at, bool first) {
        for (int p : dependent) {
            const CalculatedPhase& phase = full_.phases[p];
            if (first) {
                for (int j = 0; j < phase.size(); ++j) {
                    const VectorXd& a = phase.stoichiometry.col(j);
                    const double g =
                        reduced_gibbs_energy(full_, phase, VectorXd::Unit(phase.size(), j));
                    cuts.push_back({a.dot(base + z * at) - g, z.transpose() * a, at});
                }
            }
            if (phase.kind == CalculatedPhase::Kind::pure) continue;
            auto [value, m] = constraint_value(p, base + z * at);
            cuts.push_back({value, z.transpose() * m, at});
        }
    };
    constexpr double floor = -potential_box;
    constexpr double box = 1e4;
    // The best point so far: the smallest largest activity (the cutting-plane iterates need
    // not improve every round).
    VectorXd best = VectorXd::Zero(r);
    double best_top = std::numeric_limits<double>::infinity();
    VectorXd current = VectorXd::Zero(r);
    add_cuts(current, true);
    for (int round = 0; round < 40; ++round) {
        // Variables: z+ (r), z- (r), t' = t - floor, a slack per cut and per bound, and u - v =
        // the potentials (so that among equally good places the one with the smallest
        // potentials is taken, wherever the iteration started).
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
            a(i, 2 * r) = -1.0;
            a(i, 2 * r + 1 + i) = 1.0;
            b[i] = cut.gradient.dot(cut.at) - cut.value + floor;
        }
        for (int i = 0; i < 2 * r; ++i) {
            a(c + i, i) = 1.0;
            a(c + i, 2 * r + 1 + c + i) = 1.0;
            b[c + i] = box;
        }
        const LinearSolution lp = solve_linear_programme(a, b, cost);
        if (lp.status != LinearSolution::Status::optimal) break;
        const VectorXd next = lp.x.head(r) - lp.x.segment(r, r);
        const double bound = lp.x[2 * r] + floor;
        double excess = 0.0;
        double top = floor;
        for (int p : dependent) {
            const double value = constraint_value(p, base + z * next).first;
            excess = std::max(excess, value - bound);
            top = std::max(top, value);
        }
        current = next;
        if (top < best_top) {
            best = next;
            best_top = top;
        }
        // The first programme places the species exactly (pure and ideal phases); more
        // rounds only where a phase would still be above activity 1.
        if (excess < 1e-9 || top <= 1e-9) break;
        add_cuts(current, false);
    }
    zeta_ = base + z * best;
}

}  // namespace eqx::equilibrium
