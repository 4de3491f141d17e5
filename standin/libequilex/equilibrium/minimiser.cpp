#include "equilibrium/minimiser.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "core/library.hpp"
#include "equilibrium/linear_programme.hpp"

namespace eqx::equilibrium {

namespace {

constexpr double activity_tolerance = 1e-9;  // ln a above which an outside phase joins
constexpr double potential_box = 50.0;       // reduced potential a free direction may move
constexpr double max_potential_step = 10.0;  // reduced potential change per Newton step
constexpr double converged_step = 1e-10;

using Eigen::MatrixXd;
using Eigen::VectorXd;

// Solves a symmetric system after scaling rows and columns to unit size. A regular system is
// solved by LU with full pivoting; a singular one (potentials or amounts not unique) by a
// rank-revealing SVD, which gives the least change.
VectorXd solve_scaled(const MatrixXd& m, const VectorXd& rhs) {
    const int n = static_cast<int>(m.rows());
    VectorXd d(n);
    for (int i = 0; i < n; ++i) {
        const double size = m.row(i).cwiseAbs().maxCoeff();
        d[i] = size > 0.0 ? 1.0 / std::sqrt(size) : 1.0;
    }
    const MatrixXd scaled = d.asDiagonal() * m * d.asDiagonal();
    // Iterative refinement: trace-species rows are tiny beside the amount rows, and their
    // share of the solution is only as precise as the residual they are solved from.
    auto refined = [&](const auto& decomposition) {
        VectorXd x = d.asDiagonal() * decomposition.solve(d.asDiagonal() * rhs);
        for (int round = 0; round < 3; ++round) {
            const VectorXd residual = rhs - m * x;
            x += d.asDiagonal() * decomposition.solve(d.asDiagonal() * residual);
        }
        return x;
    };
    Eigen::FullPivLU<MatrixXd> lu(scaled);
    lu.setThreshold(1e-13);
    if (lu.isInvertible()) {
        // Full rank by the pivots; the smallest pivot against the largest says how well.
        const double largest = std::abs(lu.matrixLU()(0, 0));
        const double smallest = std::abs(lu.matrixLU()(n - 1, n - 1));
        if (smallest > 1e-10 * largest) return refined(lu);
    }
    Eigen::JacobiSVD<MatrixXd, Eigen::NoQRPreconditioner> svd(
        scaled, Eigen::ComputeFullU | Eigen::ComputeFullV);
    // A matrix with a non-finite entry (amounts near the largest double overflow) leaves
    // the SVD without singular values or a rank: solving with it reads past its arrays.
    // The caller takes a non-finite solution for a failed step.
    if (svd.info() != Eigen::Success)
        return VectorXd::Constant(n, std::numeric_limits<double>::quiet_NaN());
    svd.setThreshold(1e-13);
    return refined(svd);
}

class Minimiser {
  public:
    Minimiser(const CalculatedSystem& full, const VectorXd& b,
              const std::vector<Reservoir>& reservoirs, const MinimiserOptions& options)
        : full_(full),
          balance_(full),
          b_(b),
          reservoirs_(reservoirs),
          options_(options),
          k_(full.components),
          count_(static_cast<int>(full.phases.size())) {
        amount_.assign(count_, 0.0);
        primal_.assign(count_, false);
        composition_.resize(count_);
        exclude_unreachable();
    }

    MinimiserResult run(const Equilibrium* start) {
        MinimiserResult result;
        if (!(start && warm_start(*start))) {
            const int error = cold_start();
            if (error != 0) {
                result.error = error;
                return result;
            }
        }
        independent_assemblage();
        result.error = iterate();
        if (result.error == 0) result.equilibrium = outcome();
        return result;
    }

  private:
    // --- set-up ------------------------------------------------------------------------------

    // A component with no input that every species holds with the same sign cannot be in any
    // phase: the species that hold it leave the mass balance (their phases still get
    // activities), so that its potential does not run off while trace amounts chase zero.
    void exclude_unreachable() {
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

    static void restrict_phase(CalculatedPhase& phase, const std::vector<int>& keep) {
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

    double input_scale() const {
        double scale = b_.cwiseAbs().sum();
        for (int p : active_) scale += amount_[p];
        return std::max(scale, 1e-300);
    }

    // The start: linear programmes over pure phases, reservoirs and points of the mixtures
    // (their end members first), each round adding for every mixture above activity 1 the
    // composition of its minimum tangent-plane distance (column generation), until no mixture
    // is above activity 1 by more than a little. The last programme's solution gives the
    // assemblage, the amounts, the compositions and the potentials Newton's method starts from.
    int cold_start(const std::vector<std::pair<int, VectorXd>>& seeds = {}) {
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
        LinearSolution lp;
        for (int round = 0; round < 40; ++round) {
            const int n = static_cast<int>(columns.size());
            MatrixXd a(k_, n);
            VectorXd c(n);
            for (int i = 0; i < n; ++i) {
                a.col(i) = vectors[i];
                c[i] = costs[i];
            }
            lp = solve_linear_programme(a, b_, c);
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
        const double threshold = 1e-12 * std::max(1.0, b_.cwiseAbs().sum());
        // When the rounds run out, the last round's new columns were never solved for: they
        // hold nothing, and Newton's method adds those phases by their driving force.
        const int solved = static_cast<int>(lp.x.size());
        for (int i = 0; i < solved; ++i) {
            const Column& column = columns[i];
            if (column.phase < 0) {
                supply_[-1 - column.phase] += column.direction * lp.x[i];
                continue;
            }
            if (lp.x[i] > threshold) parts[column.phase].push_back({lp.x[i], column.x});
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
    void independent_assemblage() {
        while (active_.size() > 1) {
            const int a = static_cast<int>(active_.size());
            MatrixXd columns(k_, a);
            for (int i = 0; i < a; ++i)
                columns.col(i) =
                    balance_.phases[active_[i]].stoichiometry * composition_[active_[i]];
            Eigen::JacobiSVD<MatrixXd, Eigen::NoQRPreconditioner> svd(columns.transpose() *
                                                                      columns);
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

    // The second copy of a de-mixing phase: the first stands for both in the start.
    bool is_second_copy(int p) const {
        const int q = balance_.phases[p].partner;
        return q >= 0 && q < p && balance_.phases[q].role == Role::balanced;
    }

    // Points of one de-mixing phase far apart in the start: the two sides of a miscibility gap,
    // one for each copy (each point goes with the nearer of the two farthest apart).
    void split_demixing_copies(std::vector<std::vector<std::pair<double, VectorXd>>>& parts) const {
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

    static VectorXd start_composition(VectorXd x) {
        const double floor = x.size() > 1 ? 1e-6 : 0.0;
        x = x.cwiseMax(floor);
        return x / x.sum();
    }

    bool warm_start(const Equilibrium& start) {
        if (start.zeta.size() != k_ || static_cast<int>(start.phases.size()) != count_)
            return false;
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

    // --- basis species -----------------------------------------------------------------------

    // The basis: reservoirs first, then the species of the assemblage by amount, each taken
    // when independent of those before; unit vectors complete it. The stoichiometry of every
    // species is then written over the basis, the basis species themselves exactly.
    void rebase() {
        settle_pending_ = true;
        unsettled_ = 0;
        stuck_ = 0;
        struct Candidate {
            double weight;
            VectorXd vector;
            int phase;
            int constituent;
        };
        std::vector<Candidate> candidates;
        for (int r = 0; r < static_cast<int>(reservoirs_.size()); ++r)
            candidates.push_back({std::numeric_limits<double>::infinity(),
                                  reservoirs_[r].stoichiometry, -1 - r, -1});
        for (int p : active_) {
            const CalculatedPhase& phase = balance_.phases[p];
            for (int j = 0; j < phase.size(); ++j)
                candidates.push_back({amount_[p] * composition_[p][j] + 1e-300 * (1 + j),
                                      phase.stoichiometry.col(j), p, j});
        }
        std::stable_sort(
            candidates.begin(), candidates.end(),
            [](const Candidate& a, const Candidate& b) { return a.weight > b.weight; });
        std::vector<VectorXd> orthonormal;
        std::vector<const Candidate*> chosen;
        for (const Candidate& candidate : candidates) {
            if (static_cast<int>(chosen.size()) == k_) break;
            const double norm = candidate.vector.norm();
            if (norm == 0.0) continue;
            VectorXd v = candidate.vector;
            for (const VectorXd& q : orthonormal) v -= q.dot(v) * q;
            if (v.norm() <= 1e-9 * norm) continue;
            orthonormal.push_back(v.normalized());
            chosen.push_back(&candidate);
        }
        basis_.resize(k_, k_);
        basis_species_.assign(k_, {-1, -1});
        for (int i = 0; i < static_cast<int>(chosen.size()); ++i) {
            basis_.col(i) = chosen[i]->vector;
            basis_species_[i] = {chosen[i]->phase, chosen[i]->constituent};
        }
        int column = static_cast<int>(chosen.size());
        while (column < k_) {
            int best = 0;
            double best_norm = -1.0;
            VectorXd best_v;
            for (int c = 0; c < k_; ++c) {
                VectorXd v = VectorXd::Unit(k_, c);
                for (const VectorXd& q : orthonormal) v -= q.dot(v) * q;
                if (v.norm() > best_norm) {
                    best_norm = v.norm();
                    best = c;
                    best_v = v;
                }
            }
            orthonormal.push_back(best_v.normalized());
            basis_.col(column++) = VectorXd::Unit(k_, best);
        }
        basis_inverse_ = basis_.fullPivLu().inverse();
        work_ = balance_;
        for (CalculatedPhase& phase : work_.phases)
            if (phase.role == Role::balanced)
                phase.stoichiometry = basis_inverse_ * phase.stoichiometry;
        for (int i = 0; i < static_cast<int>(chosen.size()); ++i) {
            if (chosen[i]->phase >= 0)
                work_.phases[chosen[i]->phase].stoichiometry.col(chosen[i]->constituent) =
                    VectorXd::Unit(k_, i);
        }
        b_work_ = clean(basis_inverse_ * b_);
        reservoirs_work_.clear();
        for (int r = 0; r < static_cast<int>(reservoirs_.size()); ++r)
            reservoirs_work_.push_back(clean(basis_inverse_ * reservoirs_[r].stoichiometry));
        for (int i = 0; i < static_cast<int>(chosen.size()); ++i)
            if (chosen[i]->phase < 0)
                reservoirs_work_[-1 - chosen[i]->phase] = VectorXd::Unit(k_, i);
    }

    // Rounding left by the change of basis (an input that is an exact sum of basis species).
    static VectorXd clean(VectorXd v) {
        const double size = v.cwiseAbs().maxCoeff();
        for (int i = 0; i < v.size(); ++i)
            if (std::abs(v[i]) < 1e-13 * size) v[i] = 0.0;
        return v;
    }

    // --- Newton ------------------------------------------------------------------------------
    //
    // Pure and ideal phases take part in dual form: the amount of the phase is the unknown and
    // its composition follows from the potentials. Nonideal mixtures take part in primal form:
    // the amounts of their constituents are the unknowns, with "mu_j = a_j . zeta" for each;
    // near a critical point their composition is not a usable function of the potentials.

    enum class Step { moved, converged, failed };

    // Nonideal mixtures join in dual form, as everything else, and turn primal once they hold a
    // share of the input: their activity is then 1 by construction of the assemblage.
    bool is_primal(int p) const { return primal_[p]; }

    void turn_primal() {
        const double threshold = 1e-6 * input_scale();
        for (int p : active_)
            if (!primal_[p] && balance_.phases[p].kind == CalculatedPhase::Kind::nonideal &&
                amount_[p] > threshold)
                primal_[p] = true;
    }

    int rows_of(int p) const { return is_primal(p) ? balance_.phases[p].size() : 1; }

    // The unknowns of each active phase: its amount (dual) or its constituents' amounts (primal).
    std::vector<VectorXd> current_moles() const {
        std::vector<VectorXd> moles;
        for (int p : active_)
            moles.push_back(is_primal(p) ? VectorXd(amount_[p] * composition_[p])
                                         : VectorXd::Constant(1, amount_[p]));
        return moles;
    }

    // The equations of the assemblage at potentials zw (work basis) and amounts: the mass
    // balance over the basis species, relative to the input (trace-species rows hardly count,
    // so the line search does not hold back the steps that balance them); "activity 1" of each
    // dual phase and
    // "mu_j = a_j . zeta" of each primal constituent; the held potentials. Also what the Newton
    // system is built from.
    struct Equations {
        VectorXd residual;
        std::vector<TangentPlane> planes;          // dual phases
        std::vector<MixtureDerivatives> mixtures;  // primal phases
        bool finite = true;
    };

    Equations equations(const VectorXd& zw, const std::vector<VectorXd>& moles,
                        const VectorXd& supplies, bool derivatives) const {
        const int a = static_cast<int>(active_.size());
        const int r = static_cast<int>(reservoirs_.size());
        int rows = k_;
        for (int p : active_) rows += rows_of(p);
        Equations e;
        e.residual = VectorXd::Zero(rows + r);
        e.planes.resize(a);
        e.mixtures.resize(a);
        VectorXd mass = -b_work_;
        int row = k_;
        for (int i = 0; i < a; ++i) {
            const int p = active_[i];
            const CalculatedPhase& phase = work_.phases[p];
            if (is_primal(p)) {
                const VectorXd& n = moles[i];
                const double total = n.sum();
                if (!(total > 0.0) || !n.allFinite() || (n.array() <= 0.0).any()) {
                    e.finite = false;
                    return e;
                }
                MixtureDerivatives d = mixture_derivatives(work_, phase, n / total);
                mass += phase.stoichiometry * n;
                e.residual.segment(row, phase.size()) = d.mu - phase.stoichiometry.transpose() * zw;
                e.mixtures[i] = std::move(d);
                row += phase.size();
                continue;
            }
            TangentPlaneRequest request;
            request.start = &composition_[p];
            request.sensitivity = derivatives;
            TangentPlane tp = tangent_plane(work_, phase, zw, request);
            if (!tp.m.allFinite() || !std::isfinite(tp.ln_activity)) e.finite = false;
            mass += moles[i][0] * tp.m;
            e.residual[row++] = tp.ln_activity;
            e.planes[i] = std::move(tp);
        }
        for (int i = 0; i < r; ++i) {
            mass -= supplies[i] * reservoirs_work_[i];
            e.residual[row + i] = reservoirs_work_[i].dot(zw) - reservoirs_[i].potential;
        }
        e.residual.head(k_) = mass / input_scale();
        return e;
    }

    // Trace basis species (next to nothing of them in an ideal phase solved for its amount) are
    // balanced by other trace species alone: the potential of each is the root of a balance of
    // exponentials, where Newton's method on the mass balance moves about one e-fold per step.
    // Written as ln(what the row gains) = ln(what it loses), the balance is close to linear in
    // the potentials, so a few steps on those potentials alone - the others and the amounts
    // held - bring the iteration near enough for Newton's method to converge quadratically.
    void settle_trace_potentials() {
        const double scale = input_scale();
        std::vector<int> trace;
        for (int i = 0; i < k_; ++i) {
            const auto [p, j] = basis_species_[i];
            if (p < 0 || is_primal(p) || balance_.phases[p].kind != CalculatedPhase::Kind::ideal)
                continue;
            if (amount_[p] * composition_[p][j] < 1e-4 * scale) trace.push_back(i);
        }
        const int t = static_cast<int>(trace.size());
        if (t == 0) return;
        // What does not move: every phase but the ideal ones at their present amounts and
        // compositions, the reservoirs, the input.
        VectorXd fixed = -b_work_;
        for (int p : active_) {
            const CalculatedPhase& phase = work_.phases[p];
            if (is_primal(p) || phase.kind != CalculatedPhase::Kind::ideal)
                fixed += phase.stoichiometry * (amount_[p] * composition_[p]);
        }
        for (int i = 0; i < static_cast<int>(reservoirs_.size()); ++i)
            fixed -= supply_[i] * reservoirs_work_[i];
        VectorXd zw = basis_.transpose() * zeta_;
        // The log balance of each trace row, and its derivatives by the trace potentials.
        auto balance = [&](const VectorXd& z, VectorXd& r, MatrixXd* jacobian) {
            VectorXd gain = VectorXd::Zero(t), loss = VectorXd::Zero(t);
            MatrixXd d_gain = MatrixXd::Zero(t, t), d_loss = MatrixXd::Zero(t, t);
            for (int row = 0; row < t; ++row) {
                const double c = fixed[trace[row]];
                (c > 0.0 ? gain : loss)[row] += std::abs(c);
            }
            for (int p : active_) {
                const CalculatedPhase& phase = work_.phases[p];
                if (is_primal(p) || phase.kind != CalculatedPhase::Kind::ideal) continue;
                const VectorXd w = phase.stoichiometry.transpose() * z - phase.g;
                const double top = w.maxCoeff();
                const VectorXd x =
                    (w.array() - (top + std::log((w.array() - top).exp().sum()))).exp().matrix();
                const VectorXd m = phase.stoichiometry * x;
                for (int row = 0; row < t; ++row) {
                    const int i = trace[row];
                    for (int j = 0; j < phase.size(); ++j) {
                        const double a = phase.stoichiometry(i, j);
                        if (a == 0.0) continue;
                        const double y = amount_[p] * std::abs(a) * x[j];
                        (a > 0.0 ? gain : loss)[row] += y;
                        if (!jacobian) continue;
                        for (int col = 0; col < t; ++col) {
                            const int l = trace[col];
                            (a > 0.0 ? d_gain : d_loss)(row, col) +=
                                y * (phase.stoichiometry(l, j) - m[l]);
                        }
                    }
                }
            }
            if ((gain.array() <= 0.0).any() || (loss.array() <= 0.0).any()) return false;
            r = gain.array().log() - loss.array().log();
            if (jacobian)
                *jacobian = gain.cwiseInverse().asDiagonal() * d_gain -
                            loss.cwiseInverse().asDiagonal() * d_loss;
            return r.allFinite();
        };
        VectorXd r(t);
        MatrixXd jacobian(t, t);
        if (!balance(zw, r, &jacobian) || r.cwiseAbs().maxCoeff() < 0.5) return;
        for (int round = 0; round < 30 && r.cwiseAbs().maxCoeff() > 1e-3; ++round) {
            Eigen::FullPivLU<MatrixXd> lu(jacobian);
            if (!lu.isInvertible()) break;
            VectorXd delta = lu.solve(-r);
            const double size = delta.cwiseAbs().maxCoeff();
            if (!std::isfinite(size)) break;
            if (size > max_potential_step) delta *= max_potential_step / size;
            const double merit = r.squaredNorm();
            bool moved = false;
            for (double alpha = 1.0; alpha > 1e-3; alpha *= 0.5) {
                VectorXd trial = zw;
                for (int row = 0; row < t; ++row) trial[trace[row]] += alpha * delta[row];
                VectorXd trial_r(t);
                if (balance(trial, trial_r, nullptr) && trial_r.squaredNorm() < merit) {
                    zw = trial;
                    moved = true;
                    break;
                }
            }
            if (!moved || !balance(zw, r, &jacobian)) break;
        }
        zeta_ = basis_inverse_.transpose() * zw;
    }

    // One Newton step on the potentials and the amounts of the assemblage, with a backtracking
    // line search on the size of the equations' residual.
    Step newton_step() {
        const int a = static_cast<int>(active_.size());
        const int r = static_cast<int>(reservoirs_.size());
        const VectorXd zw = basis_.transpose() * zeta_;
        const std::vector<VectorXd> moles = current_moles();
        const Equations now = equations(zw, moles, supply_, true);
        if (!now.finite) return Step::failed;
        std::vector<int> offset(a);
        int n = k_;
        for (int i = 0; i < a; ++i) {
            offset[i] = n;
            n += rows_of(active_[i]);
        }
        const int reservoir_offset = n;
        n += r;
        MatrixXd m = MatrixXd::Zero(n, n);
        VectorXd rhs = VectorXd::Zero(n);
        rhs.head(k_) = b_work_;
        for (int i = 0; i < a; ++i) {
            const int p = active_[i];
            const int o = offset[i];
            if (is_primal(p)) {
                const MatrixXd& stoichiometry = work_.phases[p].stoichiometry;
                const VectorXd& nv = moles[i];
                const int size = static_cast<int>(nv.size());
                const double total = nv.sum();
                const VectorXd x = nv / total;
                // d mu / d n = Q^T (Hessian of the molar energy) Q / N, Q = I - x 1^T.
                const MatrixXd q =
                    MatrixXd::Identity(size, size) - x * VectorXd::Ones(size).transpose();
                const MatrixXd h = q.transpose() * now.mixtures[i].hessian * q / total;
                rhs.head(k_) -= stoichiometry * nv;
                m.block(0, o, k_, size) = stoichiometry;
                m.block(o, 0, size, k_) = stoichiometry.transpose();
                m.block(o, o, size, size) = -h;
                rhs.segment(o, size) = now.residual.segment(o, size);
                continue;
            }
            const TangentPlane& tp = now.planes[i];
            composition_[p] = tp.x;
            m.block(o, 0, 1, k_) = tp.m.transpose();
            rhs[o] = -tp.ln_activity;
            m.topLeftCorner(k_, k_) += moles[i][0] * tp.sensitivity;
            m.block(0, o, k_, 1) = tp.m;
        }
        for (int i = 0; i < r; ++i) {
            const VectorXd& s = reservoirs_work_[i];
            m.block(0, reservoir_offset + i, k_, 1) = -s;
            m.block(reservoir_offset + i, 0, 1, k_) = -s.transpose();
            rhs[reservoir_offset + i] = -(reservoirs_[i].potential - s.dot(zw));
        }
        const VectorXd solution = solve_scaled(m, rhs);
        if (!solution.allFinite()) return Step::failed;
        const VectorXd dzw = solution.head(k_);
        const VectorXd new_supplies = solution.tail(r);

        // The full step, no further than the potentials may move at once and keeping every
        // primal constituent's amount positive.
        const double step = dzw.cwiseAbs().maxCoeff();
        double reach = step > 0.0 ? max_potential_step / step : 1.0;
        double primal_change = 0.0;
        std::vector<VectorXd> change(a);
        for (int i = 0; i < a; ++i) {
            const int p = active_[i];
            if (is_primal(p)) {
                change[i] = solution.segment(offset[i], moles[i].size());
                for (int j = 0; j < moles[i].size(); ++j) {
                    if (change[i][j] < 0.0)
                        reach = std::min(reach, 0.99 * moles[i][j] / -change[i][j]);
                    primal_change =
                        std::max(primal_change, std::abs(change[i][j]) / (moles[i][j] + 1e-300));
                }
            } else {
                change[i] = VectorXd::Constant(1, solution[offset[i]] - moles[i][0]);
            }
        }
        // A step below the tolerance is the rounding of a converged solution: no line search.
        const bool settled = step < converged_step && primal_change < 1e-9;
        const double merit = settled ? 0.0 : now.residual.squaredNorm();
        last_merit_ = now.residual.squaredNorm();
        double alpha = std::min(reach, 1.0);
        std::vector<VectorXd> trial_moles(a);
        VectorXd trial_supplies(r);
        double accepted_merit = merit;
        for (int halving = 0; halving < 30; ++halving) {
            for (int i = 0; i < a; ++i) trial_moles[i] = moles[i] + alpha * change[i];
            trial_supplies = supply_ + alpha * (new_supplies - supply_);
            if (settled) break;
            const Equations trial = equations(zw + alpha * dzw, trial_moles, trial_supplies, false);
            accepted_merit = trial.residual.squaredNorm();
            if (trial.finite &&
                (accepted_merit <= (1.0 - 1e-4 * alpha) * merit || accepted_merit < 1e-26))
                break;
            alpha *= 0.5;
        }
        zeta_ += alpha * (basis_inverse_.transpose() * dzw);
        for (int i = 0; i < a; ++i) {
            const int p = active_[i];
            if (is_primal(p)) {
                amount_[p] = trial_moles[i].sum();
                composition_[p] = trial_moles[i] / amount_[p];
            } else {
                amount_[p] = trial_moles[i][0];
            }
        }
        if (r > 0) supply_ = trial_supplies;
        if (settled) return Step::converged;
        stuck_ = alpha < 1e-6 ? stuck_ + 1 : 0;
        return Step::moved;
    }

    // A primal phase whose amount has dwindled to nothing leaves the assemblage.
    bool drop_vanished() {
        const double scale = input_scale();
        for (int i = 0; i < static_cast<int>(active_.size()); ++i) {
            const int p = active_[i];
            if (is_primal(p) && amount_[p] < 1e-13 * scale) {
                drop(i);
                return true;
            }
        }
        return false;
    }

    void drop(int index) {
        const int p = active_[index];
        active_.erase(active_.begin() + index);
        amount_[p] = 0.0;
        primal_[p] = false;
        last_dropped_ = p;
        ++assemblies_;
        rebase();
    }

    void add(int p, const VectorXd& x) {
        active_.push_back(p);
        primal_[p] = false;
        amount_[p] = 0.0;
        composition_[p] = x;
        ++assemblies_;
        pivot_dependent(p);
        rebase();
    }

    // A phase joining an assemblage whose compositions it depends on (more phases than the
    // compositions can tell apart, as where a compound forms from two others): the amounts move
    // along the dependency, keeping the mass balance, until one of the others reaches zero and
    // leaves - the simplex method's pivot.
    void pivot_dependent(int added) {
        const std::vector<int>& holding = active_;
        const int a = static_cast<int>(holding.size());
        if (a < 2) return;
        MatrixXd columns(k_, a);
        for (int i = 0; i < a; ++i) {
            const int p = holding[i];
            columns.col(i) = balance_.phases[p].stoichiometry * composition_[p];
        }
        // Nearly dependent counts: a gas of CO2 with traces of CO and O2 beside CaO is, for the
        // amounts, the CO2 that CaCO3 is made of.
        Eigen::JacobiSVD<MatrixXd, Eigen::NoQRPreconditioner> svd(columns.transpose() * columns,
                                                                  Eigen::ComputeFullV);
        if (svd.info() != Eigen::Success) return;  // non-finite compositions
        const VectorXd& sigma = svd.singularValues();
        if (sigma[a - 1] > 1e-10 * std::max(sigma[0], 1e-300)) return;
        VectorXd v = svd.matrixV().col(a - 1);
        const int q =
            static_cast<int>(std::find(holding.begin(), holding.end(), added) - holding.begin());
        if (q >= a || std::abs(v[q]) < 1e-12) return;
        v /= v[q];  // the added phase grows
        double t = std::numeric_limits<double>::infinity();
        int leaving = -1;
        for (int i = 0; i < a; ++i) {
            if (i == q || v[i] >= -1e-12) continue;
            const double ratio = amount_[holding[i]] / -v[i];
            if (ratio < t) {
                t = ratio;
                leaving = i;
            }
        }
        if (leaving < 0) return;
        for (int i = 0; i < a; ++i) amount_[holding[i]] += t * v[i];
        const int p = holding[leaving];
        active_.erase(active_.begin() + leaving);
        amount_[p] = 0.0;
        last_dropped_ = p;
    }

    // After the Newton iteration of an assemblage whose equations have no exact solution (more
    // phases at activity 1 than the potentials allow): the phase furthest below activity 1.
    // -1 when every phase of the assemblage is at activity 1.
    int least_consistent() const {
        const VectorXd zw = basis_.transpose() * zeta_;
        const Equations e = equations(zw, current_moles(), supply_, false);
        int worst = -1;
        double lowest = -1e-7;
        int row = k_;
        for (int i = 0; i < static_cast<int>(active_.size()); ++i) {
            const int p = active_[i];
            if (is_primal(p)) {
                row += rows_of(p);
                continue;
            }
            if (e.residual[row] < lowest) {
                lowest = e.residual[row];
                worst = i;
            }
            ++row;
        }
        return worst;
    }

    // The phase of the assemblage that holds the least, or -1 when it is the only one.
    int least_amount() const {
        if (active_.size() < 2) return -1;
        int least = 0;
        for (int i = 1; i < static_cast<int>(active_.size()); ++i)
            if (std::abs(amount_[active_[i]]) < std::abs(amount_[active_[least]])) least = i;
        return least;
    }

    // After the Newton iteration of an assemblage: the phase with the most negative amount.
    int most_negative() const {
        const double scale = input_scale();
        int worst = -1;
        for (int i = 0; i < static_cast<int>(active_.size()); ++i) {
            const int p = active_[i];
            if (amount_[p] < -1e-12 * scale && (worst < 0 || amount_[p] < amount_[active_[worst]]))
                worst = i;
        }
        return worst;
    }

    // A mixture inside its spinodal (its Gibbs energy curves down along some composition change)
    // cannot be at equilibrium; with a second copy it splits into the two local minima of its
    // tangent-plane distance on either side, amounts by the lever rule - near a critical point
    // Newton's method would otherwise drift to the one-phase saddle between them.
    bool split_in_spinodal() {
        for (int p : active_) {
            if (!is_primal(p)) continue;
            const int q = balance_.phases[p].partner;
            if (q < 0 || balance_.phases[q].role != Role::balanced) continue;
            if (balance_.phases[q].size() != balance_.phases[p].size()) continue;
            const int m = balance_.phases[p].size();
            const VectorXd& x = composition_[p];
            const MixtureDerivatives d = mixture_derivatives(balance_, balance_.phases[p], x);
            // The Hessian on compositions that keep sum x = 1: along x_j - x_last.
            MatrixXd z = MatrixXd::Zero(m, m - 1);
            for (int j = 0; j + 1 < m; ++j) {
                z(j, j) = 1.0;
                z(m - 1, j) = -1.0;
            }
            Eigen::SelfAdjointEigenSolver<MatrixXd> eigen(z.transpose() * d.hessian * z);
            if (m < 2 || eigen.eigenvalues()[0] >= 0.0) continue;
            VectorXd direction = z * eigen.eigenvectors().col(0);
            direction /= direction.cwiseAbs().maxCoeff();
            TangentPlaneRequest request;
            VectorXd sides[2];
            for (int side = 0; side < 2; ++side) {
                double step = 0.05;
                VectorXd start = x + (side == 0 ? step : -step) * direction;
                while ((start.array() <= 0.0).any() && step > 1e-6) {
                    step *= 0.5;
                    start = x + (side == 0 ? step : -step) * direction;
                }
                start = start_composition(start);
                request.start = &start;
                sides[side] = tangent_plane(balance_, balance_.phases[p], zeta_, request).x;
            }
            if ((sides[0] - sides[1]).cwiseAbs().maxCoeff() < 1e-6) continue;
            // What the two copies hold together, spread over the two sides.
            VectorXd held = amount_[p] * x;
            if (is_active(q)) held += amount_[q] * composition_[q];
            MatrixXd ends(m, 2);
            ends << sides[0], sides[1];
            const VectorXd lever = ends.colPivHouseholderQr().solve(held);
            if (!(lever.array() > 0.0).all()) continue;
            amount_[p] = lever[0];
            composition_[p] = start_composition(sides[0]);
            if (!is_active(q)) active_.push_back(q);
            primal_[q] = true;
            amount_[q] = lever[1];
            composition_[q] = start_composition(sides[1]);
            ++assemblies_;
            rebase();
            return true;
        }
        return false;
    }

    // Two copies of a de-mixing phase that have come to one composition are one phase.
    bool merge_copies() {
        for (std::size_t i = 0; i < active_.size(); ++i) {
            const int p = active_[i];
            const int q = balance_.phases[p].partner;
            if (q < 0 || q < p) continue;
            const auto other = std::find(active_.begin(), active_.end(), q);
            if (other == active_.end()) continue;
            if (composition_[p].size() != composition_[q].size()) continue;
            if ((composition_[p] - composition_[q]).cwiseAbs().maxCoeff() > 1e-5) continue;
            const double total = amount_[p] + amount_[q];
            if (total > 0.0)
                composition_[p] =
                    (amount_[p] * composition_[p] + amount_[q] * composition_[q]) / total;
            amount_[p] = total;
            drop(static_cast<int>(other - active_.begin()));
            return true;
        }
        return false;
    }

    // The input the assemblage does not hold: b plus supplies minus what the phases hold.
    VectorXd unheld() const {
        VectorXd r = b_;
        for (int i = 0; i < static_cast<int>(reservoirs_.size()); ++i)
            r += supply_[i] * reservoirs_[i].stoichiometry;
        for (int p : active_) {
            const CalculatedPhase& phase = balance_.phases[p];
            r -= amount_[p] * (phase.stoichiometry * composition_[p]);
        }
        return r;
    }

    bool holds_input() const {
        double scale = b_.cwiseAbs().sum();
        for (int p : active_)
            scale += amount_[p] * balance_.phases[p].stoichiometry.cwiseAbs().sum();
        return unheld().cwiseAbs().maxCoeff() <= 1e-9 * std::max(scale, 1e-300);
    }

    // The assemblage cannot hold the input: raise the potentials along the free direction that
    // the unheld matter points to until the first phase outside reaches activity 1, and add it
    // (the ratio test of the dual problem).
    bool add_phase_for_unheld(const MatrixXd& z) {
        if (z.cols() == 0) return false;
        VectorXd d = z * (z.transpose() * unheld());
        if (d.norm() == 0.0) return false;
        d.normalize();
        std::vector<int> outside;
        for (int p = 0; p < count_; ++p)
            if (balance_.phases[p].role == Role::balanced && !is_active(p)) outside.push_back(p);
        auto highest = [&](double t, int& which) {
            double best = -std::numeric_limits<double>::infinity();
            for (int p : outside) {
                const double ln_a = activity(p, zeta_ + t * d, false).ln_activity;
                if (ln_a > best) {
                    best = ln_a;
                    which = p;
                }
            }
            return best;
        };
        int which = -1;
        double low = 0.0;
        double high = 1.0;
        while (highest(high, which) < 0.0) {
            low = high;
            high *= 2.0;
            if (high > 1e4) return false;
        }
        for (int i = 0; i < 60 && high - low > 1e-12 * std::max(1.0, high); ++i) {
            const double middle = 0.5 * (low + high);
            int at = -1;
            if (highest(middle, at) < 0.0)
                low = middle;
            else
                high = middle;
        }
        highest(high, which);
        zeta_ += high * d;
        const TangentPlane tp = activity(which, zeta_, false);
        add(which, start_composition(tp.x));
        return true;
    }

    // --- phases outside the assemblage ---------------------------------------------------------

    bool is_active(int p) const {
        return std::find(active_.begin(), active_.end(), p) != active_.end();
    }

    // The activity of a phase at its global minimum, over all its calculated constituents
    // (`whole`) or over those that can take part in the mass balance; the second copy of a
    // de-mixing phase looks beside the composition of an active first copy.
    TangentPlane activity(int p, const VectorXd& zeta, bool whole) const {
        const CalculatedSystem& system = whole ? full_ : balance_;
        const CalculatedPhase& phase = system.phases[p];
        TangentPlaneRequest request;
        request.global = true;
        VectorXd avoid;
        if (phase.partner >= 0 && is_active(phase.partner)) {
            avoid = whole ? full_composition(phase.partner) : composition_[phase.partner];
            request.avoid = &avoid;
        }
        VectorXd start;
        if (is_active(p) && composition_[p].size() > 0) {
            start = start_composition(whole ? full_composition(p) : composition_[p]);
            request.start = &start;
            request.global = false;
        }
        return tangent_plane(system, phase, zeta, request);
    }

    TangentPlane full_activity(int p, const VectorXd& zeta) const {
        return activity(p, zeta, true);
    }

    // An active phase's composition over all of its calculated constituents.
    VectorXd full_composition(int p) const {
        const CalculatedPhase& whole = full_.phases[p];
        const CalculatedPhase& part = balance_.phases[p];
        if (whole.size() == part.size()) return composition_[p];
        VectorXd x = VectorXd::Zero(whole.size());
        for (int j = 0; j < part.size(); ++j) {
            const auto at = std::find(whole.constituents.begin(), whole.constituents.end(),
                                      part.constituents[j]);
            x[at - whole.constituents.begin()] = composition_[p][j];
        }
        return x;
    }

    // What must stay below activity 1 while free potentials are placed: each phase outside the
    // assemblage, DORMANT ones included (their activity), and each assemblage phase that lost
    // species to exclude_unreachable (the share of those species: the phase's activity is 1
    // plus it).
    struct Constraint {
        int phase;
        bool excluded_part;
    };

    std::vector<Constraint> constraints() const {
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
    std::pair<double, VectorXd> constraint_value(const Constraint& c, const VectorXd& zeta) const {
        if (!c.excluded_part) {
            TangentPlane tp = full_activity(c.phase, zeta);
            return {tp.ln_activity, std::move(tp.m)};
        }
        const CalculatedPhase& whole = full_.phases[c.phase];
        const CalculatedPhase& part = balance_.phases[c.phase];
        std::vector<int> excluded;
        for (int j = 0; j < whole.size(); ++j)
            if (std::find(part.constituents.begin(), part.constituents.end(),
                          whole.constituents[j]) == part.constituents.end())
                excluded.push_back(j);
        VectorXd w(static_cast<int>(excluded.size()));
        for (int i = 0; i < w.size(); ++i)
            w[i] = whole.stoichiometry.col(excluded[i]).dot(zeta) - whole.g[excluded[i]];
        const double top = w.maxCoeff();
        const VectorXd weights = (w.array() - top).exp().matrix();
        const double sum = weights.sum();
        VectorXd m = VectorXd::Zero(k_);
        for (int i = 0; i < w.size(); ++i)
            m += weights[i] / sum * whole.stoichiometry.col(excluded[i]);
        return {top + std::log(sum), m};
    }

    // The directions of the potentials that no species of the assemblage or reservoir fixes.
    MatrixXd free_directions() const {
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

    struct Worst {
        int phase = -1;
        double ln_activity = -std::numeric_limits<double>::infinity();
        VectorXd x;
    };

    // The phase that can join the assemblage with the largest activity (over the species that
    // can take part in the mass balance).
    Worst worst_outside() const {
        Worst worst;
        for (int p = 0; p < count_; ++p) {
            if (balance_.phases[p].role != Role::balanced || is_active(p)) continue;
            const TangentPlane tp = activity(p, zeta_, false);
            if (tp.ln_activity > worst.ln_activity) {
                worst.phase = p;
                worst.ln_activity = tp.ln_activity;
                worst.x = tp.x;
            }
        }
        return worst;
    }

    // Places the free potentials where the largest activity of a species of the phases outside
    // that depend on them (as a pure end member) is smallest, but not below e^-50, while the
    // species excluded from assemblage phases keep a share below e^-50 (so that those phases stay
    // at activity 1); among equally good places, the smallest potentials. One linear programme
    // does it; when a phase would still be above activity 1, cutting planes on its convex ln a
    // follow, a linear programme each round.
    void place_free_potentials(const MatrixXd& z, const std::vector<Constraint>& all) {
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
                        if (c.excluded_part && std::find(kept.begin(), kept.end(),
                                                         phase.constituents[j]) != kept.end())
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

    // Adds the phase outside the assemblage with the largest activity above 1, if there is one.
    bool add_most_active() {
        const Worst worst = worst_outside();
        if (worst.phase < 0 || worst.ln_activity <= activity_tolerance) return false;
        add(worst.phase, start_composition(worst.x));
        return true;
    }

    // --- the whole iteration -------------------------------------------------------------------

    int iterate() {
        rebase();
        while (iterations_ < options_.max_iterations) {
            if (assemblies_ > options_.max_assemblies) return err::too_many_assemblies;
            ++iterations_;
            if (merge_copies() || drop_vanished()) continue;
            turn_primal();
            if (split_in_spinodal()) continue;
            if (settle_pending_) {
                settle_pending_ = false;
                settle_trace_potentials();
            }
            const Step step = newton_step();
            if (step == Step::failed) return err::balance_unsolved;
            if (step == Step::moved && stuck_ >= 3) {
                // The line search finds no way down: phases with next to no amount whose
                // compositions (nearly) depend on the others make the equations singular.
                stuck_ = 0;
                if (const int least = least_amount(); least >= 0) {
                    drop(least);
                    continue;
                }
                // A phase alone that cannot hold the input: the phase it needs beside it.
                if (!holds_input() && add_phase_for_unheld(free_directions())) continue;
            }
            // Near a critical point the equations are nearly singular and Newton's method
            // slows down to linear steps: equations met to rounding are met.
            const bool met = last_merit_ < 1e-24;
            if (step == Step::moved && !(met && unsettled_ > 20)) {
                // An assemblage that does not settle cannot be the equilibrium: let go of its most
                // negative phase, or take in the phase most above activity 1 (a mixture inside
                // its miscibility gap needs its other copy).
                if (++unsettled_ > 40) {
                    if (const int worst = most_negative(); worst >= 0) {
                        drop(worst);
                        continue;
                    }
                    if (!add_most_active()) return err::balance_unsolved;
                }
                continue;
            }
            if (merge_copies()) continue;
            if (const int worst = most_negative(); worst >= 0) {
                drop(worst);
                continue;
            }
            if (const int inconsistent = least_consistent(); inconsistent >= 0) {
                drop(inconsistent);
                continue;
            }
            const MatrixXd z = free_directions();
            if (!holds_input()) {
                if (!add_phase_for_unheld(z)) return err::balance_unsolved;
                continue;
            }
            if (z.cols() > 0) place_free_potentials(z, constraints());
            const Worst worst = worst_outside();
            if (worst.phase < 0 || worst.ln_activity <= activity_tolerance) return 0;
            if (worst.phase == last_dropped_ && worst.ln_activity < 1e-7) return 0;
            // Far above activity 1 the new assemblage lies far away: start again from the linear
            // programmes, with the phases found so far among their columns.
            if (worst.ln_activity > 1.0 && restarts_ < 3) {
                ++restarts_;
                std::vector<std::pair<int, VectorXd>> seeds;
                for (int p : active_)
                    if (balance_.phases[p].kind != CalculatedPhase::Kind::pure)
                        seeds.emplace_back(p, composition_[p]);
                if (balance_.phases[worst.phase].kind != CalculatedPhase::Kind::pure)
                    seeds.emplace_back(worst.phase, worst.x);
                active_.clear();
                std::fill(amount_.begin(), amount_.end(), 0.0);
                const int error = cold_start(seeds);
                if (error != 0) return error;
                rebase();
                continue;
            }
            add(worst.phase, start_composition(worst.x));
        }
        return err::balance_unsolved;
    }

    // A de-mixing phase left with one copy holds it in the first.
    void first_copies_first() {
        for (int p = 0; p < count_; ++p) {
            const int q = balance_.phases[p].partner;
            if (q < 0 || q < p || is_active(p) || !is_active(q)) continue;
            if (composition_[q].size() != balance_.phases[p].size()) continue;
            *std::find(active_.begin(), active_.end(), q) = p;
            amount_[p] = amount_[q];
            composition_[p] = composition_[q];
            primal_[p] = primal_[q];
            amount_[q] = 0.0;
            primal_[q] = false;
        }
    }

    Equilibrium outcome() {
        first_copies_first();
        Equilibrium e;
        e.zeta = zeta_;
        e.supplies = supply_;
        e.iterations = iterations_;
        e.phases.resize(count_);
        for (int p = 0; p < count_; ++p) {
            PhaseOutcome& out = e.phases[p];
            if (full_.phases[p].role == Role::absent) continue;
            if (is_active(p)) {
                out.active = true;
                out.amount = amount_[p];
            }
            const TangentPlane tp = full_activity(p, zeta_);
            out.ln_activity = tp.ln_activity;
            out.x = out.active ? full_composition(p) : tp.x;
        }
        return e;
    }

    const CalculatedSystem& full_;
    CalculatedSystem balance_;
    CalculatedSystem work_;
    VectorXd b_;
    std::vector<Reservoir> reservoirs_;
    MinimiserOptions options_;
    int k_;
    int count_;

    MatrixXd basis_;
    MatrixXd basis_inverse_;
    std::vector<std::pair<int, int>> basis_species_;  // (phase, constituent), or phase < 0
    VectorXd b_work_;
    std::vector<VectorXd> reservoirs_work_;

    VectorXd zeta_;
    VectorXd supply_;
    std::vector<int> active_;
    std::vector<double> amount_;
    std::vector<bool> primal_;
    std::vector<VectorXd> composition_;
    int iterations_ = 0;
    int assemblies_ = 0;
    int unsettled_ = 0;  // Newton iterations since the assemblage last changed
    int restarts_ = 0;
    int stuck_ = 0;  // Newton steps in a row that the line search could not take
    double last_merit_ = 0.0;
    int last_dropped_ = -1;
    bool settle_pending_ = false;  // a new basis: trace potentials to settle before Newton
};

}  // namespace

MinimiserResult minimise_gibbs_energy(const CalculatedSystem& system, const VectorXd& b,
                                      const std::vector<Reservoir>& reservoirs,
                                      const Equilibrium* start, const MinimiserOptions& options) {
    Minimiser minimiser(system, b, reservoirs, options);
    MinimiserResult result = minimiser.run(start);
    if (result.error != 0 && start) {
        Minimiser cold(system, b, reservoirs, options);
        result = cold.run(nullptr);
    }
    if (result.error != err::balance_unsolved) return result;
    // Within a few hundredths of a kelvin of a critical point the two sides of a miscibility
    // gap are too close for the iteration to hold apart: there the one phase is calculated, its
    // second copy observed (the Gibbs energies differ by far less than the rounding of G).
    CalculatedSystem single = system;
    bool copies = false;
    for (CalculatedPhase& phase : single.phases) {
        if (phase.partner >= 0 && phase.partner < phase.phase && phase.role == Role::balanced) {
            phase.role = Role::observed;
            copies = true;
        }
    }
    if (!copies) return result;
    Minimiser one(single, b, reservoirs, options);
    MinimiserResult retried = one.run(nullptr);
    return retried.error == 0 ? retried : result;
}

}  // namespace eqx::equilibrium
