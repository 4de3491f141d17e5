// The start of the minimisation: the linear programmes with column generation, or a previous
// equilibrium; and the reduced system for components that no phase can hold.
#include <algorithm>
#include <cmath>

#include "core/library.hpp"
#include "equilibrium/linear_programme.hpp"
#include "equilibrium/minimiser_state.hpp"

namespace eqx::equilibrium {

using Eigen::MatrixXd;
using Eigen::VectorXd;

// A component with no input that every species holds with the same sign cannot be in any
// phase: the species that hold it leave the mass balance (their phases still get
// activities), so that its potential does not run off while trace amounts chase zero.
void Minimiser::exclude_unreachable() {
    std::vector<bool> in_reservoir(k_, false);
    for (const Reservoir& r : reservoirs_)
        for (int c = 0; c < k_; ++c)
            if (r.stoichiometry[c] != 0.0) in_reservoir[c] = true;
    bool changed = true;
    while (changed) {
        changed = false;
        for (int c = 0; c < k_; ++c) {
            if (b_[c] != 0.0 || in_reservoir[c]) continue;
            bool positive = false, negative = false;
            for (const CalculatedPhase& phase : balance_.phases) {
                if (phase.role != Role::balanced) continue;
                for (int j = 0; j < phase.size(); ++j) {
                    positive = positive || phase.stoichiometry(c, j) > 0.0;
                    negative = negative || phase.stoichiometry(c, j) < 0.0;
                }
            }
            if (positive == negative) continue;
            for (CalculatedPhase& phase : balance_.phases) {
                if (phase.role != Role::balanced) continue;
                std::vector<int> keep;
                for (int j = 0; j < phase.size(); ++j)
                    if (phase.stoichiometry(c, j) == 0.0) keep.push_back(j);
                if (static_cast<int>(keep.size()) == phase.size()) continue;
                changed = true;
                restrict_phase(phase, keep);
            }
        }
    }
}

void Minimiser::restrict_phase(CalculatedPhase& phase, const std::vector<int>& keep) {
    if (keep.empty()) {
        phase.role = Role::absent;
        return;
    }
    const int m = static_cast<int>(keep.size());
    MatrixXd a(phase.stoichiometry.rows(), m);
    VectorXd g(m);
    std::vector<int> constituents(m);
    for (int j = 0; j < m; ++j) {
        a.col(j) = phase.stoichiometry.col(keep[j]);
        g[j] = phase.g[keep[j]];
        constituents[j] = phase.constituents[keep[j]];
    }
    if (phase.kind == CalculatedPhase::Kind::nonideal) {
        phase.excess = phase.excess.restricted(keep);
        if (phase.excess.empty()) phase.kind = CalculatedPhase::Kind::ideal;
    }
    phase.stoichiometry = std::move(a);
    phase.g = std::move(g);
    phase.constituents = std::move(constituents);
}

// The start: linear programmes over pure phases, reservoirs and points of the mixtures
// (their end members first), each round adding for every mixture above activity 1 the
// composition of its minimum tangent-plane distance (column generation), until no mixture
// is above activity 1 by more than a little. The last programme's solution gives the
// assemblage, the amounts, the compositions and the potentials Newton's method starts from.
int Minimiser::cold_start(const std::vector<std::pair<int, VectorXd>>& seeds) {
    struct Column {
        int phase;   // or -1 - reservoir
        VectorXd x;  // composition over the phase's calculated constituents
        double direction;
    };
    std::vector<Column> columns;
    std::vector<VectorXd> vectors;
    std::vector<double> costs;
    auto add_column = [&](int p, VectorXd x) {
        const CalculatedPhase& phase = balance_.phases[p];
        vectors.push_back(phase.stoichiometry * x);
        costs.push_back(reduced_gibbs_energy(balance_, phase, x));
        columns.push_back({p, std::move(x), 1.0});
    };
    for (int p = 0; p < count_; ++p) {
        const CalculatedPhase& phase = balance_.phases[p];
        if (phase.role != Role::balanced || is_second_copy(p)) continue;
        for (int j = 0; j < phase.size(); ++j) add_column(p, VectorXd::Unit(phase.size(), j));
    }
    for (const auto& [p, x] : seeds)
        add_column(is_second_copy(p) ? balance_.phases[p].partner : p, x);
    for (int r = 0; r < static_cast<int>(reservoirs_.size()); ++r) {
        for (double direction : {1.0, -1.0}) {
            columns.push_back({-1 - r, VectorXd(), direction});
            vectors.push_back(direction * reservoirs_[r].stoichiometry);
            costs.push_back(direction * reservoirs_[r].potential);
        }
    }
    // Each balance row scaled by its own input, so that a trace is as much a constraint as
    // the rest (the programme's tolerances are relative to its largest numbers); the duals
    // are scaled back.
    const double largest = std::max(b_.cwiseAbs().maxCoeff(), 1e-300);
    VectorXd row_scale(k_);
    for (int c = 0; c < k_; ++c) row_scale[c] = 1.0 / (b_[c] != 0.0 ? std::abs(b_[c]) : largest);
    const VectorXd scaled_b = row_scale.cwiseProduct(b_);
    LinearSolution lp;
    for (int round = 0; round < 40; ++round) {
        const int n = static_cast<int>(columns.size());
        MatrixXd a(k_, n);
        VectorXd c(n);
        for (int i = 0; i < n; ++i) {
            a.col(i) = row_scale.cwiseProduct(vectors[i]);
            c[i] = costs[i];
        }
        lp = solve_linear_programme(a, scaled_b, c);
        if (lp.status == LinearSolution::Status::optimal)
            lp.duals = row_scale.cwiseProduct(lp.duals);
        if (lp.status == LinearSolution::Status::unbounded) return err::unbounded_input;
        if (lp.status != LinearSolution::Status::optimal) return err::balance_unsolved;
        // Each programme's solution is an assemblage tried.
        if (++assemblies_ > options_.max_assemblies) return err::too_many_assemblies;
        bool added = false;
        for (int p = 0; p < count_; ++p) {
            const CalculatedPhase& phase = balance_.phases[p];
            if (phase.role != Role::balanced || phase.kind != CalculatedPhase::Kind::nonideal ||
                is_second_copy(p))
                continue;
            TangentPlaneRequest request;
            request.global = true;
            const TangentPlane tp = tangent_plane(balance_, phase, lp.duals, request);
            if (!(tp.ln_activity > 1e-4) || !tp.x.allFinite()) continue;
            add_column(p, tp.x);
            added = true;
        }
        if (!added) break;
    }
    zeta_ = lp.duals;
    supply_ = VectorXd::Zero(static_cast<int>(reservoirs_.size()));
    std::vector<std::vector<std::pair<double, VectorXd>>> parts(count_);
    // When the rounds run out, the last round's new columns were never solved for: they
    // hold nothing, and Newton's method adds those phases by their driving force.
    const int solved = static_cast<int>(lp.x.size());
    for (int i = 0; i < solved; ++i) {
        const Column& column = columns[i];
        if (column.phase < 0) {
            supply_[-1 - column.phase] += column.direction * lp.x[i];
            continue;
        }
        // What a column holds of some component against that component's input, to the
        // programme's rounding.
        const double share = (row_scale.cwiseProduct(vectors[i]) * lp.x[i]).cwiseAbs().maxCoeff();
        if (share > 1e-14) parts[column.phase].push_back({lp.x[i], column.x});
    }
    split_demixing_copies(parts);
    for (int p = 0; p < count_; ++p) {
        if (parts[p].empty()) continue;
        double total = 0.0;
        VectorXd x = VectorXd::Zero(balance_.phases[p].size());
        for (const auto& [amount, composition] : parts[p]) {
            total += amount;
            x += amount * composition;
        }
        amount_[p] = total;
        composition_[p] = start_composition(x / total);
        active_.push_back(p);
    }
    return 0;
}

// A start (a previous equilibrium) whose phases' compositions depend on one another cannot
// be solved as it is: the phases with the least amounts leave until the rest are independent.
void Minimiser::independent_assemblage() {
    while (active_.size() > 1) {
        const int a = static_cast<int>(active_.size());
        MatrixXd columns(k_, a);
        for (int i = 0; i < a; ++i)
            columns.col(i) = balance_.phases[active_[i]].stoichiometry * composition_[active_[i]];
        Eigen::JacobiSVD<MatrixXd, Eigen::NoQRPreconditioner> svd(columns.transpose() * columns);
        // Non-finite compositions give no singular values to judge by.
        if (svd.info() != Eigen::Success) return;
        const VectorXd& sigma = svd.singularValues();
        if (sigma[a - 1] > 1e-20 * std::max(sigma[0], 1e-300)) return;
        int least = 0;
        for (int i = 1; i < a; ++i)
            if (amount_[active_[i]] < amount_[active_[least]]) least = i;
        amount_[active_[least]] = 0.0;
        active_.erase(active_.begin() + least);
    }
}

// Points of one de-mixing phase far apart in the start: the two sides of a miscibility gap,
// one for each copy (each point goes with the nearer of the two farthest apart).
void Minimiser::split_demixing_copies(
    std::vector<std::vector<std::pair<double, VectorXd>>>& parts) const {
    for (int p = 0; p < count_; ++p) {
        const int q = balance_.phases[p].partner;
        if (q < p || parts[p].size() < 2 || balance_.phases[q].role != Role::balanced) continue;
        const auto& points = parts[p];
        std::size_t first = 0, second = 0;
        double widest = 0.0;
        for (std::size_t i = 0; i < points.size(); ++i)
            for (std::size_t j = i + 1; j < points.size(); ++j) {
                const double d = (points[i].second - points[j].second).cwiseAbs().maxCoeff();
                if (d > widest) {
                    widest = d;
                    first = i;
                    second = j;
                }
            }
        if (widest < 1e-3) continue;
        std::vector<std::pair<double, VectorXd>> mine, theirs;
        for (const auto& point : points) {
            const double to_first = (point.second - points[first].second).squaredNorm();
            const double to_second = (point.second - points[second].second).squaredNorm();
            (to_first <= to_second ? mine : theirs).push_back(point);
        }
        parts[p] = std::move(mine);
        parts[q] = std::move(theirs);
    }
}

bool Minimiser::warm_start(const Equilibrium& start) {
    if (start.zeta.size() != k_ || static_cast<int>(start.phases.size()) != count_) return false;
    if (!start.zeta.allFinite()) return false;
    zeta_ = start.zeta;
    supply_ = start.supplies.size() == static_cast<int>(reservoirs_.size())
                  ? start.supplies
                  : VectorXd::Zero(static_cast<int>(reservoirs_.size()));
    for (int p = 0; p < count_; ++p) {
        const PhaseOutcome& previous = start.phases[p];
        const CalculatedPhase& phase = balance_.phases[p];
        if (!previous.active || phase.role != Role::balanced) continue;
        const CalculatedPhase& whole = full_.phases[p];
        VectorXd x = VectorXd::Zero(phase.size());
        for (int j = 0; j < phase.size(); ++j) {
            const auto at = std::find(whole.constituents.begin(), whole.constituents.end(),
                                      phase.constituents[j]);
            const int index = static_cast<int>(at - whole.constituents.begin());
            if (index < previous.x.size()) x[j] = previous.x[index];
        }
        if (x.sum() <= 0.0) continue;
        amount_[p] = std::max(previous.amount, 0.0);
        composition_[p] = start_composition(x / x.sum());
        active_.push_back(p);
    }
    return true;
}

}  // namespace eqx::equilibrium
