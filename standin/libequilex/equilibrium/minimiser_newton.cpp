// Newton's method on one assemblage: the equations, their Jacobian, and one step with its line
// search.
//
// The balances are written over basis species: the most abundant independent species of the
// assemblage, completed by components, so that an input that is exactly a species' formula (1
// mol H2O) is exactly one basis row and the traces (H2, O2) balance each other in rows of their
// own. The unknowns are the potentials of the basis rows, then for each active phase its amount
// or its logarithm (dual form) or the logarithms of its constituents' amounts (primal form),
// then the supplies of the reservoirs. Each row is written as ln(what it gains) = ln(what it
// loses), both sides sums of positive terms: the row is relative to its own input whatever its
// share of the total, and, as trace species' amounts are exponential in the potentials, close to
// linear in them - Newton's method on the plain difference would move a trace potential by one
// e-fold per step from above.
#include <algorithm>
#include <cmath>
#include <limits>

#include "equilibrium/minimiser_state.hpp"

namespace eqx::equilibrium {

using Eigen::MatrixXd;
using Eigen::VectorXd;

// Solves J dy = rhs after scaling rows to unit size and the phase and supply columns to unit
// size (the potential columns share one factor, so that a least change is measured in the
// potentials as they are). A regular system is solved by LU with full pivoting; a singular one
// (potentials or amounts not unique) by a complete orthogonal decomposition, which gives the
// least change.
void Minimiser::solve_newton_system(const MatrixXd& jacobian, const VectorXd& rhs, int potentials,
                                    NewtonWork& w, VectorXd& delta) {
    const int n = static_cast<int>(jacobian.rows());
    w.row_scale.resize(n);
    w.column_scale.resize(n);
    for (int i = 0; i < n; ++i) {
        const double size = jacobian.row(i).cwiseAbs().maxCoeff();
        w.row_scale[i] = size > 0.0 ? 1.0 / size : 1.0;
    }
    MatrixXd& scaled = w.scaled;
    scaled.noalias() = w.row_scale.asDiagonal() * jacobian;
    double potential_size = 0.0;
    for (int j = 0; j < potentials; ++j)
        potential_size = std::max(potential_size, scaled.col(j).cwiseAbs().maxCoeff());
    for (int j = 0; j < n; ++j) {
        const double size = j < potentials ? potential_size : scaled.col(j).cwiseAbs().maxCoeff();
        w.column_scale[j] = size > 0.0 ? 1.0 / size : 1.0;
    }
    scaled.array().rowwise() *= w.column_scale.transpose().array();
    if (!scaled.allFinite()) {
        delta.setConstant(n, std::numeric_limits<double>::quiet_NaN());
        return;
    }
    w.scaled_rhs.noalias() = w.row_scale.asDiagonal() * rhs;
    // Iterative refinement: trace rows and tiny amounts are only as precise as the residual
    // they are solved from.
    auto refine = [&](const auto& decomposition) {
        VectorXd& y = w.solution;
        y = decomposition.solve(w.scaled_rhs);
        for (int round = 0; round < 2; ++round) y += decomposition.solve(w.scaled_rhs - scaled * y);
        delta.noalias() = w.column_scale.asDiagonal() * y;
    };
    Eigen::FullPivLU<MatrixXd>& lu = w.lu;
    lu.compute(scaled);
    lu.setThreshold(1e-15);
    if (lu.isInvertible()) {
        // Full rank by the pivots; the smallest pivot against the largest says how well.
        const double largest = std::abs(lu.matrixLU()(0, 0));
        const double smallest = std::abs(lu.matrixLU()(n - 1, n - 1));
        if (smallest > 1e-14 * largest) {
            refine(lu);
            return;
        }
    }
    // The threshold before the decomposition, which shapes its factors by the rank it finds.
    Eigen::CompleteOrthogonalDecomposition<MatrixXd>& cod = w.cod;
    cod.setThreshold(1e-11);
    cod.compute(scaled);
    refine(cod);
}

// The Newton step delta with each potential that moves by more than max_potential_step held
// at that bound and the rest of the unknowns solved from the equations without those
// potentials' own balance rows (the potential columns come first, in the order of their rows).
VectorXd Minimiser::bounded_step(const MatrixXd& jacobian, const VectorXd& residual,
                                 const VectorXd& delta, int potentials, NewtonWork& w,
                                 std::vector<bool>& held) {
    const int n = static_cast<int>(jacobian.rows());
    VectorXd step = delta;
    held.assign(n, false);
    for (int round = 0; round < 3; ++round) {
        bool more = false;
        for (int r = 0; r < potentials; ++r) {
            if (!held[r] && std::abs(step[r]) > max_potential_step) {
                held[r] = true;
                more = true;
            }
        }
        if (!more) break;
        std::vector<int> free;
        VectorXd fixed = VectorXd::Zero(n);
        int free_potentials = 0;
        for (int j = 0; j < n; ++j) {
            if (held[j]) {
                fixed[j] = std::copysign(max_potential_step, step[j]);
            } else {
                free.push_back(j);
                if (j < potentials) ++free_potentials;
            }
        }
        if (free.empty()) return fixed;
        const VectorXd rhs = -residual - jacobian * fixed;
        const int m = static_cast<int>(free.size());
        MatrixXd reduced(m, m);
        VectorXd reduced_rhs(m);
        for (int i = 0; i < m; ++i) {
            reduced_rhs[i] = rhs[free[i]];
            for (int j = 0; j < m; ++j) reduced(i, j) = jacobian(free[i], free[j]);
        }
        VectorXd solved;
        solve_newton_system(reduced, reduced_rhs, free_potentials, w, solved);
        if (!solved.allFinite()) return solved;
        step = fixed;
        for (int i = 0; i < m; ++i) step[free[i]] = solved[i];
    }
    return step;
}

namespace {

// out = m v, each entry summed as in twice the precision (exact products by fma, their sums
// with their rounding errors carried): where the major inputs cancel in a trace's row, they
// cancel before the trace is added, whatever the order of the terms (0.5 mol Ca + 1e-12 mol C
// - 0.5000000000005 mol O, summed in that order, rounds the trace at 0.5's last place: 1.1e-16
// mol, 1e-4 of it).
void accurate_product(const MatrixXd& m, const VectorXd& v, VectorXd& out) {
    out.resize(m.rows());
    for (int i = 0; i < m.rows(); ++i) {
        double sum = 0.0;
        double error = 0.0;
        for (int j = 0; j < m.cols(); ++j) {
            const double product = m(i, j) * v[j];
            const double next = sum + product;
            const double part = next - sum;
            error += (sum - (next - part)) + (product - part) + std::fma(m(i, j), v[j], -product);
            sum = next;
        }
        out[i] = sum + error;
    }
}

}  // namespace

// The basis: reservoirs first, then the species of the assemblage by amount, each taken when
// independent of those before; unit vectors of components complete it. Every species is then
// written over the basis (the basis species exactly), the input and the reservoirs too, each
// written value a rounding of its computation from zero taken as zero. The rows of the balance
// are those some species, reservoir or input has a part in: the others belong to components
// nothing can hold (exclude_unreachable), whose potentials are free.
void Minimiser::rebase() {
    struct Candidate {
        double weight;
        VectorXd vector;
        int phase;
        int constituent;
    };
    std::vector<Candidate> candidates;
    std::size_t count = reservoirs_.size();
    for (int p : active_) count += balance_.phases[p].size();
    candidates.reserve(count);
    for (int r = 0; r < static_cast<int>(reservoirs_.size()); ++r)
        candidates.push_back(
            {std::numeric_limits<double>::infinity(), reservoirs_[r].stoichiometry, -1 - r, -1});
    for (int p : active_) {
        const CalculatedPhase& phase = balance_.phases[p];
        for (int j = 0; j < phase.size(); ++j)
            candidates.push_back({std::abs(amount_[p]) * composition_[p][j] + 1e-300 * (1 + j),
                                  phase.stoichiometry.col(j), p, j});
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.weight > b.weight; });
    std::vector<VectorXd> orthonormal;
    std::vector<const Candidate*> chosen;
    orthonormal.reserve(k_);
    chosen.reserve(k_);
    VectorXd v;
    for (const Candidate& candidate : candidates) {
        if (static_cast<int>(chosen.size()) == k_) break;
        const double norm = candidate.vector.norm();
        if (norm == 0.0) continue;
        v = candidate.vector;
        for (const VectorXd& q : orthonormal) v -= q.dot(v) * q;
        if (v.norm() <= 1e-9 * norm) continue;
        orthonormal.push_back(v.normalized());
        chosen.push_back(&candidate);
    }
    basis_.resize(k_, k_);
    basis_species_.clear();
    for (int i = 0; i < static_cast<int>(chosen.size()); ++i) {
        basis_.col(i) = chosen[i]->vector;
        if (chosen[i]->phase >= 0)
            basis_species_.push_back({chosen[i]->phase, chosen[i]->constituent, chosen[i]->weight});
    }
    for (int column = static_cast<int>(chosen.size()); column < k_; ++column) {
        int best = 0;
        double best_norm = -1.0;
        VectorXd& best_v = newton_.best;
        for (int c = 0; c < k_; ++c) {
            v = VectorXd::Unit(k_, c);
            for (const VectorXd& q : orthonormal) v -= q.dot(v) * q;
            if (v.norm() > best_norm) {
                best_norm = v.norm();
                best = c;
                best_v = v;
            }
        }
        orthonormal.push_back(best_v.normalized());
        basis_.col(column) = VectorXd::Unit(k_, best);
    }
    newton_.basis_lu.compute(basis_);
    basis_inverse_ = newton_.basis_lu.inverse();
    // A basis of whole-numbered formulas has for inverse its adjugate (whole numbers) over its
    // determinant; the decomposition's inverse has each entry a rounding off that
    // (0.49999999999999989 for 1/2), which the major inputs carry into a trace's row: lime,
    // calcite and graphite with a trace of CO, 1 mol Ca and 1 + 1e-12 mol O, put 1.1e-16 mol
    // too much into calcite's row of 5e-13 mol, and the C held missed its input by 9e-5 of it.
    if ((basis_.array() == basis_.array().round()).all()) {
        const double det = std::round(newton_.basis_lu.determinant());
        bool whole = det != 0.0 && std::abs(det) <= 1e6;
        for (int i = 0; whole && i < k_; ++i)
            for (int j = 0; whole && j < k_; ++j) {
                const double entry = basis_inverse_(i, j) * det;
                whole = std::abs(entry - std::round(entry)) <= 1e-6;
            }
        if (whole)
            for (int i = 0; i < k_; ++i)
                for (int j = 0; j < k_; ++j)
                    basis_inverse_(i, j) = std::round(basis_inverse_(i, j) * det) / det;
    }
    // Species' formulas are small whole or simple numbers, and so is the inverse: an entry a
    // rounding above zero is zero, or it would carry a rounding of the major inputs into a
    // trace's row (1e-16 of 1 mol in a row of 1e-12 mol).
    for (int i = 0; i < k_; ++i) {
        const double size = basis_inverse_.row(i).cwiseAbs().maxCoeff();
        for (int j = 0; j < k_; ++j)
            if (std::abs(basis_inverse_(i, j)) < 1e-12 * size) basis_inverse_(i, j) = 0.0;
    }
    work_ = balance_;
    for (int p = 0; p < count_; ++p) {
        CalculatedPhase& phase = work_.phases[p];
        if (phase.role != Role::balanced) continue;
        const MatrixXd& original = balance_.phases[p].stoichiometry;
        phase.stoichiometry.noalias() = basis_inverse_ * original;
        for (int j = 0; j < phase.size(); ++j)
            round_to_zero(phase.stoichiometry.col(j), original.col(j));
    }
    for (int i = 0; i < static_cast<int>(chosen.size()); ++i) {
        if (chosen[i]->phase >= 0)
            work_.phases[chosen[i]->phase].stoichiometry.col(chosen[i]->constituent) =
                VectorXd::Unit(k_, i);
    }
    accurate_product(basis_inverse_, b_, b_work_);
    round_input_to_zero();
    reservoirs_work_.resize(reservoirs_.size());
    for (std::size_t r = 0; r < reservoirs_.size(); ++r) {
        reservoirs_work_[r].noalias() = basis_inverse_ * reservoirs_[r].stoichiometry;
        round_to_zero(reservoirs_work_[r], reservoirs_[r].stoichiometry);
    }
    reservoir_row_.assign(k_, false);
    held_potential_.setZero(k_);
    for (int i = 0; i < static_cast<int>(chosen.size()); ++i) {
        if (chosen[i]->phase >= 0) continue;
        reservoirs_work_[-1 - chosen[i]->phase] = VectorXd::Unit(k_, i);
        reservoir_row_[i] = true;
        held_potential_[i] = reservoirs_[-1 - chosen[i]->phase].potential;
    }
    balance_rows_.clear();
    for (int row = 0; row < k_; ++row) {
        bool held = b_work_[row] != 0.0;
        for (const VectorXd& r : reservoirs_work_) held = held || r[row] != 0.0;
        for (const CalculatedPhase& phase : work_.phases)
            if (phase.role == Role::balanced &&
                phase.stoichiometry.row(row).cwiseAbs().maxCoeff() > 0.0)
                held = true;
        if (held) balance_rows_.push_back(row);
    }
}

// written = B^-1 v, each entry no larger than the rounding of its computation (4 epsilon times
// the sum of the magnitudes it is made of) taken as zero: the rows that cancel exactly (the
// second row of 1 mol H2O over the basis H2O, H2) hold nothing, while a trace input, computed
// from trace numbers, keeps all its digits.
void Minimiser::round_to_zero(Eigen::Ref<VectorXd> written,
                              const Eigen::Ref<const VectorXd>& v) const {
    VectorXd& bound = newton_.bound;
    bound.noalias() =
        4.0 * std::numeric_limits<double>::epsilon() * (basis_inverse_.cwiseAbs() * v.cwiseAbs());
    for (int i = 0; i < written.size(); ++i)
        if (std::abs(written[i]) <= bound[i]) written[i] = 0.0;
}

// The input over the basis (b_work_, from accurate_product), each entry within the rounding of
// its computation (as round_to_zero) taken as zero - by the least change of the input, each
// component weighted by its own input, that puts the entry at zero and keeps the entries at
// zero there, the other entries following; and only while the changes together stay within a
// rounding of each component. Set to zero alone, an entry moves the input along its basis
// species, whose formula may hold a trace: lime with 1e-12 mol of C and 1 + 1e-12 mol of O
// (the O beyond the CO, 8.9e-17 mol of the doubles given, is a rounding of the major inputs in
// the row of CO2 over lime, CO and CO2) lost 8.9e-17 mol of CO2, and graphite then held that
// much C more than the C input had, 9e-5 of it (the outcome failed its check, 705). The least
// change moves each component by about a rounding of itself. The entry smallest against its
// rounding goes first: with 2.5e-15 mol of C beside lime and an O excess between CO and CO2 (7
// units in the last place of O) both gas rows are within the rounding; the CO row, at 1.1e-16,
// is the rounding, and zeroing the CO2 row as well would take the trace away.
void Minimiser::round_input_to_zero() {
    const double eps = std::numeric_limits<double>::epsilon();
    VectorXd& bound = newton_.bound;
    bound.noalias() = 4.0 * eps * (basis_inverse_.cwiseAbs() * b_.cwiseAbs());
    auto rounded = [&](int i) { return b_work_[i] != 0.0 && std::abs(b_work_[i]) <= bound[i]; };
    bool any = false;
    for (int i = 0; i < k_; ++i) any = any || rounded(i);
    if (!any) return;
    // Each component's weight its share of the largest input (squares underflow at traces of
    // 1e-189 mol): the change moves each component by about as much of itself.
    const VectorXd weight = b_.cwiseAbs() / std::max(b_.cwiseAbs().maxCoeff(), 1e-300);
    const VectorXd limit = 4.0 * k_ * eps * b_.cwiseAbs();
    VectorXd total = VectorXd::Zero(k_);
    std::vector<bool> tried(k_, false);
    for (;;) {
        int next = -1;
        for (int i = 0; i < k_; ++i)
            if (!tried[i] && rounded(i) &&
                (next < 0 ||
                 std::abs(b_work_[i]) * bound[next] < std::abs(b_work_[next]) * bound[i]))
                next = i;
        if (next < 0) return;
        tried[next] = true;
        // The rows held: this one (to its value) and those at zero that the change can move.
        std::vector<int> held{next};
        for (int j = 0; j < k_; ++j)
            if (j != next && b_work_[j] == 0.0 &&
                basis_inverse_.row(j).cwiseAbs().dot(weight) > 0.0)
                held.push_back(j);
        const int h = static_cast<int>(held.size());
        MatrixXd rows(h, k_);
        VectorXd values = VectorXd::Zero(h);
        for (int r = 0; r < h; ++r) rows.row(r) = basis_inverse_.row(held[r]);
        values[0] = b_work_[next];
        // d = W R^T (R W R^T)^-1 v minimises sum d_c^2 / w_c with R d = v, W = diag(w).
        const MatrixXd weighted = rows * weight.asDiagonal();
        const VectorXd change =
            weighted.transpose() *
            (weighted * rows.transpose()).completeOrthogonalDecomposition().solve(values);
        const VectorXd moved = basis_inverse_ * change;
        if (!change.allFinite() || !moved.allFinite()) continue;
        if (((total + change).cwiseAbs().array() > limit.array()).any()) continue;
        // Met: the entry to its value, those held at zero to a rounding of their rounding.
        bool met = std::abs(moved[next] - values[0]) <= 1e-6 * std::abs(values[0]);
        for (int r = 1; met && r < h; ++r) met = std::abs(moved[held[r]]) <= eps * bound[held[r]];
        if (!met) continue;
        total += change;
        for (int j = 0; j < k_; ++j)
            if (std::find(held.begin(), held.end(), j) != held.end())
                b_work_[j] = 0.0;
            else
                b_work_[j] -= moved[j];
    }
}

// The components some species of the mass balance, a reservoir or the input holds. The others
// have no input and nothing to hold them (exclude_unreachable): their potentials are free.
void Minimiser::find_balance_components() {
    balance_components_.clear();
    for (int c = 0; c < k_; ++c) {
        bool held = b_[c] != 0.0;
        for (const Reservoir& r : reservoirs_) held = held || r.stoichiometry[c] != 0.0;
        for (const CalculatedPhase& phase : balance_.phases)
            if (phase.role == Role::balanced &&
                phase.stoichiometry.row(c).cwiseAbs().maxCoeff() > 0.0)
                held = true;
        if (held) balance_components_.push_back(c);
    }
}

// The balances written again over the species abundant now, where a species of the basis holds
// less than a millionth of what it held when the basis was chosen; once after each change of
// the assemblage. True where the basis changed. A species chosen at more than the whole input
// was chosen among amounts run off (to 1e16..1e37 mol in the thirty-component gas, to 4e15 in
// stuck states of the carbide): that it holds less now says nothing of the basis.
bool Minimiser::rebase_past_emptied_basis() {
    if (rebased_since_change_) return false;
    const double input = b_.cwiseAbs().sum();
    const bool emptied =
        std::any_of(basis_species_.begin(), basis_species_.end(), [&](const BasisSpecies& s) {
            const double now = std::abs(amount_[s.phase]) * composition_[s.phase][s.constituent];
            return s.amount <= input && !(now >= 1e-6 * s.amount);
        });
    if (!emptied) return false;
    rebased_since_change_ = true;
    const MatrixXd before = basis_;
    rebase();
    return basis_ != before;
}

void Minimiser::assemblage_changed() {
    rebased_since_change_ = false;
    unsettled_ = 0;
    stuck_ = 0;
    crawled_on_ = false;
    amount_at_change_ = amount_;
    rebase();
}

// A balance row (over the basis) of a trace: an input below 1e-6 of the whole and no reservoir
// in it (a row without input is the zero-input rule's).
bool Minimiser::is_trace_row(int row) const {
    const double input = std::abs(b_work_[row]);
    if (!(input > 0.0) || !(input <= 1e-6 * b_work_.cwiseAbs().sum())) return false;
    return std::none_of(reservoirs_work_.begin(), reservoirs_work_.end(),
                        [&](const VectorXd& r) { return r[row] != 0.0; });
}

// Whether the active phases that hold some of a balance row are all mixtures in dual form,
// each of their constituents adding to the row (none written over the basis as its difference).
bool Minimiser::held_by_dual_mixtures(int row) const {
    bool held = false;
    for (int p : active_) {
        const CalculatedPhase& phase = work_.phases[p];
        if (phase.stoichiometry.row(row).cwiseAbs().maxCoeff() == 0.0) continue;
        if (phase.kind == CalculatedPhase::Kind::pure || primal_[p] ||
            phase.stoichiometry.row(row).minCoeff() < 0.0)
            return false;
        held = true;
    }
    return held;
}

// In an assemblage that does not settle, where a trace row is not held by dual mixtures alone
// (so not solved from its row at each point, trace_block) and the steps are cut to the largest
// potential step on the way to a root that the full step puts within as many steps again: those
// steps, once per assemblage. A primal FCC alone holding C at 5e-251 of A, whose potential must
// fall by ~575 RT, 10 a step, needs ~58 steps. False where the full step is further off (a
// potential ~4000 RT away, ~400 steps: the rules for an unsettled assemblage act at once).
bool Minimiser::crawl_on_within_reach() {
    if (crawled_on_ || !(full_potential_step_ > max_potential_step) ||
        full_potential_step_ > settle_steps * max_potential_step ||
        std::none_of(balance_rows_.begin(), balance_rows_.end(),
                     [&](int row) { return is_trace_row(row) && !held_by_dual_mixtures(row); }))
        return false;
    crawled_on_ = true;
    unsettled_ = 0;
    stuck_ = 0;
    return true;
}

// The trace rows whose potentials are solved from them at each point (into w.trace_rows), and
// their block of the Jacobian at the equations `at` in those potentials, decomposed: the trace
// rows that only mixtures in dual form hold, whose compositions follow the potentials. A pure
// phase's amount does not (a trace it holds is fixed through its activity row instead), nor do
// the constituent amounts of a primal mixture (their own unknowns). The rows are solved
// together: two traces held mostly by one species (C and O as CO in a gas of H2) move each
// other's rows as much as their own. False where there is none.
bool Minimiser::trace_block(const Layout& l, const Equations& at, NewtonWork& w) const {
    w.trace_rows.clear();
    for (int r = 0; r < l.potentials; ++r)
        if (((is_trace_row(balance_rows_[r]) && held_by_dual_mixtures(balance_rows_[r])) ||
             (meet_balanced_rows_ && balanced_within_dual_mixtures(balance_rows_[r]))) &&
            at.jacobian(r, r) > 0.0)
            w.trace_rows.push_back(r);
    const int t = static_cast<int>(w.trace_rows.size());
    if (t == 0) return false;
    w.trace_jacobian.resize(t, t);
    for (int i = 0; i < t; ++i)
        for (int j = 0; j < t; ++j)
            w.trace_jacobian(i, j) = at.jacobian(w.trace_rows[i], w.trace_rows[j]);
    w.trace_cod.setThreshold(1e-12);
    w.trace_cod.compute(w.trace_jacobian);
    return true;
}

// Moves the trace rows' potentials in y (the potentials come first, each in the place of its
// row) until those rows are met: a few steps of Newton's method on those rows alone, with their
// block of the Jacobian at the step's start, each no larger than a Newton step may move a
// potential. e is left at y (`current`) when they are met. A step that leaves the rows no nearer
// is taken back, and the rest is left to Newton's method on the whole: where the mixture is made
// of the traces themselves, it cannot hold more of them than its amount (a carbide of 2e-7 mol
// holding traces of A and B of 1.7e-7 and 2.7e-8 beside graphite at 5050 K), and steps on the
// rows alone took their potentials 40 RT up at each point, which the next steps took down again,
// round and round until 705.
bool Minimiser::meet_trace_rows(const Layout& l, VectorXd& y, Equations& e, bool& current) const {
    current = false;
    NewtonWork& w = newton_;
    const int t = static_cast<int>(w.trace_rows.size());
    double before = std::numeric_limits<double>::infinity();
    for (int round = 0; round < 4; ++round) {
        if (!equations(l, y, false, e)) return false;
        w.trace_residual.resize(t);
        for (int i = 0; i < t; ++i) w.trace_residual[i] = e.residual[w.trace_rows[i]];
        const double off = w.trace_residual.cwiseAbs().maxCoeff();
        if (off < 1e-12) {
            current = true;
            return true;
        }
        if (!(off < before)) {
            for (int i = 0; i < t; ++i) y[w.trace_rows[i]] += w.trace_step[i];
            return true;
        }
        before = off;
        w.trace_step = w.trace_cod.solve(w.trace_residual);
        if (!w.trace_step.allFinite()) return true;
        const double largest = w.trace_step.cwiseAbs().maxCoeff();
        if (largest > max_potential_step) w.trace_step *= max_potential_step / largest;
        for (int i = 0; i < t; ++i) y[w.trace_rows[i]] -= w.trace_step[i];
    }
    return true;
}

// Whether a balance row without input (no reservoir in it) is held by active mixtures in dual
// form alone, with species on both sides: the row balances species of those mixtures against
// each other (CO against O2 in a trace of gas of nearly pure CO2 beside calcite), and its
// logarithmic form is close to linear in its own potential (for an ideal mixture, linear).
bool Minimiser::balanced_within_dual_mixtures(int row) const {
    if (b_work_[row] != 0.0 || std::any_of(reservoirs_work_.begin(), reservoirs_work_.end(),
                                           [&](const VectorXd& r) { return r[row] != 0.0; }))
        return false;
    bool gains = false, losses = false;
    for (int p : active_) {
        const CalculatedPhase& phase = work_.phases[p];
        const auto coefficients = phase.stoichiometry.row(row);
        if (coefficients.cwiseAbs().maxCoeff() == 0.0) continue;
        if (phase.kind == CalculatedPhase::Kind::pure || primal_[p]) return false;
        gains = gains || coefficients.maxCoeff() > 0.0;
        losses = losses || coefficients.minCoeff() < 0.0;
    }
    return gains && losses;
}

void Minimiser::turn_primal() {
    const double threshold = 1e-6 * input_scale();
    for (int p : active_)
        if (!dual_mixtures_ && !primal_[p] &&
            balance_.phases[p].kind == CalculatedPhase::Kind::nonideal && amount_[p] > threshold &&
            (composition_[p].array() > 0.0).all() && !dwindled_[p] &&
            !(dual_copies_ && balance_.phases[p].partner >= 0 &&
              is_active(balance_.phases[p].partner)))
            primal_[p] = true;
}

// A primal phase whose amount has dwindled to a trace goes back to the dual form, where its
// amount may reach zero and below (and the phase leave). It stays dual until the assemblage
// changes: where the dual step gave it back more than 1e-6 of the input, the primal form took
// it down to a trace again, each form undoing the other every few iterations (a liquid beside
// the FCC with C_S below zero, traces of A and D: 705 after 500 iterations, the count of an
// assemblage that does not settle started again at each change of form).
bool Minimiser::turn_dual() {
    const double threshold = 1e-10 * input_scale();
    bool turned = false;
    for (int p : active_) {
        if (primal_[p] && amount_[p] < threshold) {
            primal_[p] = false;
            dwindled_[p] = true;
            turned = true;
        }
    }
    if (turned) assemblage_changed();
    return turned;
}

Minimiser::Layout Minimiser::layout() const {
    Layout l;
    lay_out(l);
    return l;
}

void Minimiser::lay_out(Layout& l) const {
    l.offset.clear();
    l.log_amount.clear();
    l.potentials = static_cast<int>(balance_rows_.size());
    int n = l.potentials;
    // Which active phases could hold each balance component at all.
    std::vector<int>& holders = newton_.holders;
    holders.assign(k_, 0);
    for (int p : active_)
        for (int c : balance_components_)
            if (balance_.phases[p].stoichiometry.row(c).cwiseAbs().maxCoeff() > 0.0) ++holders[c];
    for (std::size_t i = 0; i < active_.size(); ++i) {
        const int p = active_[i];
        l.offset.push_back(n);
        n += rows_of(p);
        // A phase that alone can hold some component is solved for the logarithm of its
        // amount: its share of that balance row is then linear in the unknown, as the row is,
        // and it cannot leave anyway. The others keep their amounts, which may fall below zero
        // on the way out.
        bool alone = false;
        for (int c : balance_components_)
            alone = alone || (holders[c] == 1 &&
                              balance_.phases[p].stoichiometry.row(c).cwiseAbs().maxCoeff() > 0.0);
        l.log_amount.push_back(!primal_[p] && amount_[p] > 0.0 &&
                               ((alone && !sole_holders_linear_) || log_amount_[p]));
    }
    l.reservoirs = n;
    l.size = n + static_cast<int>(reservoirs_.size());
    // A supply beyond a thousand times the input is the bulk of the rows it enters, each of them
    // ln(what it gains) = ln(what it loses): in the logarithm of the supply they are linear, in
    // the supply itself a step multiplies it by little more than one plus the step's share
    // (a liquid of nearly pure A at a held A potential 5e-10 RT below the pure liquid's, whose
    // supply must reach 2e9 times the input, grew by a factor of 1.3-1.7 a step; the C-H-O gas at
    // an O2 activity 1e-8 below 1 crept until the assemblage was taken as unsettled, 705).
    const double far = 1e3 * b_.cwiseAbs().sum();
    l.log_supply.clear();
    for (double supply : supply_) l.log_supply.push_back(supply > far);
}

VectorXd Minimiser::pack(const Layout& l) const {
    VectorXd y(l.size);
    VectorXd& zw = newton_.basis_potentials;
    zw.noalias() = basis_.transpose() * zeta_;
    for (int r = 0; r < l.potentials; ++r) y[r] = zw[balance_rows_[r]];
    for (std::size_t i = 0; i < active_.size(); ++i) {
        const int p = active_[i];
        if (primal_[p]) {
            const VectorXd& x = composition_[p];
            auto u = y.segment(l.offset[i], x.size());
            u = (amount_[p] * x).array().log().matrix();
            // An amount below the smallest normal double has no logarithm left in it (a
            // constituent that holds a trace twice, its fraction the trace squared): where
            // the amounts are those Newton's method left, its logarithm is the one it left.
            const PrimalLogs& left = primal_logs_[p];
            const bool kept = left.amount == amount_[p] && left.x.size() == x.size() && left.x == x;
            for (int j = 0; j < x.size(); ++j)
                if (!(amount_[p] * x[j] >= std::numeric_limits<double>::min()))
                    u[j] = kept ? left.ln_moles[j] : std::log(amount_[p] * x[j]);
        } else {
            y[l.offset[i]] = l.log_amount[i] ? std::log(amount_[p]) : amount_[p];
        }
    }
    for (int i = 0; i < static_cast<int>(reservoirs_.size()); ++i)
        y[l.reservoirs + i] = l.log_supply[i] ? std::log(supply_[i]) : supply_[i];
    return y;
}

// The potentials over the basis (basis^T zeta) at the unknowns y, written into zw.
void Minimiser::potentials_of(const Layout& l, const VectorXd& y, VectorXd& zw) const {
    zw.noalias() = basis_.transpose() * zeta_;
    for (int r = 0; r < l.potentials; ++r) zw[balance_rows_[r]] = y[r];
}

void Minimiser::unpack(const Layout& l, const VectorXd& y, const Equations& at) {
    potentials_of(l, y, newton_.basis_potentials);
    zeta_.noalias() = basis_inverse_.transpose() * newton_.basis_potentials;
    for (std::size_t i = 0; i < active_.size(); ++i) {
        const int p = active_[i];
        composition_[p] = at.compositions[i];
        if (primal_[p]) {
            const VectorXd u = y.segment(l.offset[i], composition_[p].size());
            const double top = u.maxCoeff();
            amount_[p] = std::exp(top) * (u.array() - top).exp().sum();
            PrimalLogs& left = primal_logs_[p];
            left.ln_moles = u;
            left.amount = amount_[p];
            left.x = composition_[p];
        } else {
            amount_[p] = l.log_amount[i] ? std::exp(y[l.offset[i]]) : y[l.offset[i]];
        }
    }
    for (int i = 0; i < static_cast<int>(reservoirs_.size()); ++i)
        supply_[i] = l.log_supply[i] ? std::exp(y[l.reservoirs + i]) : y[l.reservoirs + i];
}

// The equations at the unknowns y, with their Jacobian when asked.
// Whether constituent j of a phase (over the basis) is made of reservoirs' species alone: its
// potential is then held.
bool Minimiser::held_species(const CalculatedPhase& phase, int j) const {
    bool any = false;
    for (int row = 0; row < k_; ++row) {
        if (phase.stoichiometry(row, j) == 0.0) continue;
        if (!reservoir_row_[row]) return false;
        any = true;
    }
    return any;
}

bool Minimiser::equations(const Layout& l, const VectorXd& y, bool jacobian, Equations& e,
                          VectorXd* rounding) const {
    const int kb = l.potentials;
    const int n = l.size;
    const int a = static_cast<int>(active_.size());
    constexpr double eps = std::numeric_limits<double>::epsilon();
    VectorXd& zeta = newton_.equation_potentials;
    potentials_of(l, y, zeta);
    e.residual.setZero(n);
    // Where a held species makes up nearly all of a phase, "activity 1" and its own potential
    // are met, written as usual, by a difference that is a rounding of its size: ln x = t with
    // t ~ -1e-10 (a liquid of A at an A potential 1e-10 RT below the pure liquid's) is met by
    // the trace's fraction to the units in the last place of the terms of t, and Newton's
    // method, measuring the row absolutely, moves the trace's potential one e-fold a step
    // towards a root 20-30 e-folds away. The equation written in what the held species leaves
    // (ln of the other constituents' share = ln(1 - e^t)) is measured relative to that share
    // and close to linear in its potentials. The held species' potential is taken as held,
    // not as the unknown its reservoir's row meets (the two are one at the solution): the
    // equation's slope in that unknown, 1/(1 - e^t) times its own, would make the rows of the
    // Newton step as far apart in scale as 1 is from the held species' share.
    const bool held_rest = l.held_rest != Layout::HeldRest::off && !reservoirs_.empty();
    const bool choose = l.held_rest == Layout::HeldRest::choose;
    std::vector<char>& held_rows = newton_.held_rows;
    if (held_rest && choose) held_rows.assign(n, 0);
    e.held_rest = false;
    if (rounding) rounding->setZero(n);
    VectorXd& gain_rounding = newton_.gain_rounding;
    VectorXd& loss_rounding = newton_.loss_rounding;
    if (rounding) {
        gain_rounding.setZero(kb);
        loss_rounding.setZero(kb);
    }
    // The rounding of a species' potential a . zeta - g, as the units in the last place of its
    // terms.
    auto potential_rounding = [&](const MatrixXd& stoichiometry, int j, double g) {
        return eps * (stoichiometry.col(j).cwiseAbs().dot(zeta.cwiseAbs()) + std::abs(g));
    };
    e.compositions.resize(a);
    VectorXd& gain = newton_.gain;
    VectorXd& loss = newton_.loss;
    MatrixXd& d_gain = newton_.d_gain;
    MatrixXd& d_loss = newton_.d_loss;
    gain.setZero(kb);
    loss.setZero(kb);
    if (jacobian) {
        e.jacobian.setZero(n, n);
        d_gain.setZero(kb, n);
        d_loss.setZero(kb, n);
    }
    // One term of a balance row: its value and, by the sign of the value (or of its slope
    // where the value is 0), the side it counts on.
    auto term = [&](int row, double value, double sign) {
        if ((value != 0.0 ? value : sign) > 0.0)
            gain[row] += value;
        else
            loss[row] -= value;
    };
    // The rounding of a term of relative rounding `relative`, on its side.
    auto term_rounding = [&](int row, double value, double sign, double relative) {
        if (!rounding) return;
        if ((value != 0.0 ? value : sign) > 0.0)
            gain_rounding[row] += std::abs(value) * relative;
        else
            loss_rounding[row] += std::abs(value) * relative;
    };
    auto slope = [&](int row, int column, double value, double sign, double derivative) {
        if ((value != 0.0 ? value : sign) > 0.0)
            d_gain(row, column) += derivative;
        else
            d_loss(row, column) -= derivative;
    };
    for (int r = 0; r < kb; ++r) term(r, -b_work_[balance_rows_[r]], -1.0);

    for (int i = 0; i < a; ++i) {
        const int p = active_[i];
        const int o = l.offset[i];
        const CalculatedPhase& phase = work_.phases[p];
        const MatrixXd& stoichiometry = phase.stoichiometry;
        const int m = phase.size();
        if (primal_[p]) {
            const VectorXd u = y.segment(o, m);
            if (!u.allFinite()) return false;
            const double top = u.maxCoeff();
            const double ln_total = top + std::log((u.array() - top).exp().sum());
            VectorXd x, moles;
            exp_entries(u, ln_total, x);
            exp_entries(u, 0.0, moles);
            e.compositions[i] = x;
            const MixtureExcess excess = mixture_excess(work_, phase, x, jacobian);
            const VectorXd w = stoichiometry.transpose() * zeta;
            for (int j = 0; j < m; ++j) {
                e.residual[o + j] = phase.g[j] + (u[j] - ln_total) + excess.mu[j] - w[j];
                if (rounding)
                    (*rounding)[o + j] =
                        eps * (std::abs(u[j]) + std::abs(ln_total) + std::abs(excess.mu[j])) +
                        potential_rounding(stoichiometry, j, phase.g[j]);
            }
            for (int r = 0; r < kb; ++r) {
                const int c = balance_rows_[r];
                for (int j = 0; j < m; ++j) {
                    const double coefficient = stoichiometry(c, j);
                    if (coefficient == 0.0) continue;
                    const double value = coefficient * moles[j];
                    term(r, value, coefficient);
                    term_rounding(r, value, coefficient, eps * (1.0 + std::abs(u[j])));
                    if (jacobian) slope(r, o + j, value, coefficient, value);
                }
            }
            // The held constituent that makes up nearly all of the phase: ln(1 - x_j) =
            // ln(1 - e^t), t = w_j - g_j - mu^E_j the ln x_j its potential asks.
            int held = -1;
            double t = 0.0, ln_rest = 0.0;
            if (held_rest) {
                for (int j = 0; j < m && held < 0; ++j) {
                    if (!choose) {
                        if (!held_rows[o + j]) continue;
                        t = stoichiometry.col(j).dot(held_potential_) - phase.g[j] - excess.mu[j];
                        if (!(t < 0.0)) return false;
                        held = j;
                        break;
                    }
                    if (!(x[j] > 1.0 - held_rest_share) || m == 1 || !held_species(phase, j))
                        continue;
                    // Only where the excess part is small beside the held value's own (so
                    // that t < 0 and the row is near its linear regime): further off, ln(1 - e^t)
                    // follows mu^E_j many times faster than the share (a de-mixing FCC of A at a
                    // B share of 1e-3, mu^E_A ~ 1e-6 beside a held t of -2.5e-10, stuck).
                    const double own = stoichiometry.col(j).dot(held_potential_) - phase.g[j];
                    t = own - excess.mu[j];
                    if (own < 0.0 && std::abs(excess.mu[j]) <= 0.5 * -own) {
                        held = j;
                        held_rows[o + j] = 1;
                    }
                }
            }
            if (held >= 0) {
                double top = -std::numeric_limits<double>::infinity();
                for (int j = 0; j < m; ++j)
                    if (j != held) top = std::max(top, u[j]);
                double sum = 0.0;
                for (int j = 0; j < m; ++j)
                    if (j != held) sum += std::exp(u[j] - top);
                ln_rest = top + std::log(sum);
                const double ln_share = std::log(-std::expm1(t));
                e.residual[o + held] = (ln_rest - ln_total) - ln_share;
                e.held_rest = true;
                if (rounding) {
                    const double slope_t = std::exp(t) / -std::expm1(t);
                    const double held_rounding =
                        eps * (stoichiometry.col(held).cwiseAbs().dot(held_potential_.cwiseAbs()) +
                               std::abs(phase.g[held]) + std::abs(excess.mu[held]));
                    (*rounding)[o + held] =
                        eps * (std::abs(ln_rest) + std::abs(ln_total) + std::abs(ln_share)) +
                        slope_t * held_rounding;
                }
            }
            if (!jacobian) continue;
            // d mu_j / d u_l = delta_jl - x_l + x_l (Q^T H Q)_jl, H the excess Hessian over the
            // fractions and Q = I - x 1^T (the fractions' dependence on the amounts).
            MatrixXd block = -VectorXd::Ones(m) * x.transpose();
            block.diagonal().array() += 1.0;
            if (excess.hessian.size() > 0) {
                const VectorXd hx = excess.hessian * x;
                const double xhx = x.dot(hx);
                MatrixXd q = excess.hessian;
                q.colwise() -= hx;
                q.rowwise() -= hx.transpose();
                q.array() += xhx;
                block += q * x.asDiagonal();
            }
            e.jacobian.block(o, o, m, m) = block;
            for (int r = 0; r < kb; ++r)
                e.jacobian.block(o, r, m, 1) = -stoichiometry.row(balance_rows_[r]).transpose();
            if (held >= 0) {
                // d/du_l: the rest's share x_l / (1 - x_j) for l != j, less x_l, and the slope
                // of ln(1 - e^t) in the excess part of the row (block - (delta - x)); none in
                // the held potential.
                const double slope_t = std::exp(t) / std::expm1(t);
                for (int c = 0; c < m; ++c) {
                    const double own = c == held ? 0.0 : std::exp(u[c] - ln_rest);
                    const double excess_slope = block(held, c) - ((c == held) - x[c]);
                    e.jacobian(o + held, o + c) = own - x[c] + slope_t * excess_slope;
                }
                for (int r = 0; r < kb; ++r) e.jacobian(o + held, r) = 0.0;
            }
            continue;
        }
        TangentPlaneRequest request;
        request.start = &composition_[p];
        request.sensitivity = jacobian;
        TangentPlane tp = tangent_plane(work_, phase, zeta, request);
        if (!tp.x.allFinite() || !std::isfinite(tp.ln_activity)) return false;
        const bool log_amount = l.log_amount[i];
        const double amount = log_amount ? std::exp(y[o]) : y[o];
        e.residual[o] = tp.ln_activity;
        double widest = 0.0;  // the largest rounding of a constituent's a . zeta - g
        if (rounding) {
            for (int j = 0; j < m; ++j)
                widest = std::max(widest, potential_rounding(stoichiometry, j, phase.g[j]));
            (*rounding)[o] = widest + eps * std::abs(tp.ln_activity);
        }
        // An ideal mixture whose held constituents make up nearly all of it (the C-H-O gas of
        // O2 at an activity 1e-8 below 1): ln(sum over the rest of e^w) = ln(1 - the held
        // ones' share), the held share e^(ln c), ln c = ln sum over them of e^w.
        bool rest_row = false;
        VectorXd& rest_m = newton_.rest_m;
        if (held_rest && phase.kind == CalculatedPhase::Kind::ideal && (choose || held_rows[o])) {
            double top_held = -std::numeric_limits<double>::infinity();
            double top_rest = top_held;
            VectorXd& w = newton_.rest_w;
            w.noalias() = stoichiometry.transpose() * zeta - phase.g;
            for (int j = 0; j < m; ++j) {
                const bool own = held_species(phase, j);
                if (own) w[j] = stoichiometry.col(j).dot(held_potential_) - phase.g[j];
                double& top = own ? top_held : top_rest;
                top = std::max(top, w[j]);
            }
            if (std::isfinite(top_held) && std::isfinite(top_rest)) {
                double held_sum = 0.0, rest_sum = 0.0;
                for (int j = 0; j < m; ++j) {
                    if (held_species(phase, j))
                        held_sum += std::exp(w[j] - top_held);
                    else
                        rest_sum += std::exp(w[j] - top_rest);
                }
                const double ln_held = top_held + std::log(held_sum);
                if (!choose && !(ln_held < 0.0)) return false;
                if (!choose || (ln_held > std::log1p(-held_rest_share) && ln_held < 0.0)) {
                    rest_row = true;
                    held_rows[o] = 1;
                    e.held_rest = true;
                    const double ln_rest = top_rest + std::log(rest_sum);
                    const double ln_share = std::log(-std::expm1(ln_held));
                    e.residual[o] = ln_rest - ln_share;
                    if (rounding)
                        (*rounding)[o] = widest * (1.0 + std::exp(ln_held) / -std::expm1(ln_held)) +
                                         eps * (std::abs(ln_rest) + std::abs(ln_share));
                    if (jacobian) {
                        rest_m.setZero(k_);
                        for (int j = 0; j < m; ++j)
                            if (!held_species(phase, j))
                                rest_m += std::exp(w[j] - ln_rest) * stoichiometry.col(j);
                    }
                }
            } else if (!choose) {
                return false;
            }
        }
        const double fraction_rounding =
            rounding
                ? eps * (1.0 + (log_amount ? std::abs(y[o]) : 0.0) + std::abs(tp.ln_activity)) +
                      widest
                : 0.0;
        for (int r = 0; r < kb; ++r) {
            const int c = balance_rows_[r];
            for (int j = 0; j < m; ++j) {
                const double coefficient = stoichiometry(c, j);
                if (coefficient == 0.0) continue;
                const double value = amount * coefficient * tp.x[j];
                term(r, value, coefficient);
                term_rounding(r, value, coefficient, fraction_rounding);
                if (!jacobian) continue;
                slope(r, o, value, coefficient, log_amount ? value : coefficient * tp.x[j]);
                for (int s = 0; s < kb; ++s)
                    slope(r, s, value, coefficient,
                          amount * coefficient * tp.composition_sensitivity(j, balance_rows_[s]));
            }
        }
        if (jacobian) {
            for (int r = 0; r < kb; ++r)
                e.jacobian(o, r) =
                    rest_row ? (reservoir_row_[balance_rows_[r]] ? 0.0 : rest_m[balance_rows_[r]])
                             : tp.m[balance_rows_[r]];
        }
        e.compositions[i] = std::move(tp.x);
    }
    for (int i = 0; i < static_cast<int>(reservoirs_.size()); ++i) {
        const VectorXd& v = reservoirs_work_[i];
        const int o = l.reservoirs + i;
        const bool log_supply = l.log_supply[i];
        const double supply = log_supply ? std::exp(y[o]) : y[o];
        e.residual[o] = v.dot(zeta) - reservoirs_[i].potential;
        if (rounding)
            (*rounding)[o] =
                eps * (v.cwiseAbs().dot(zeta.cwiseAbs()) + std::abs(reservoirs_[i].potential));
        for (int r = 0; r < kb; ++r) {
            const double coefficient = -v[balance_rows_[r]];
            if (coefficient == 0.0) continue;
            const double value = coefficient * supply;
            term(r, value, coefficient);
            term_rounding(r, value, coefficient, eps * (1.0 + (log_supply ? std::abs(y[o]) : 0.0)));
            if (jacobian) {
                slope(r, o, value, coefficient, log_supply ? value : coefficient);
                e.jacobian(o, r) = v[balance_rows_[r]];
            }
        }
    }
    for (int r = 0; r < kb; ++r) {
        const double g = gain[r], s = loss[r];
        if (g > 0.0 && s > 0.0 && std::isnormal(g) && std::isnormal(s)) {
            e.residual[r] = std::log(g) - std::log(s);
            if (jacobian) e.jacobian.row(r) = d_gain.row(r) / g - d_loss.row(r) / s;
            if (rounding)
                (*rounding)[r] = eps * (std::abs(std::log(g)) + std::abs(std::log(s))) +
                                 gain_rounding[r] / g + loss_rounding[r] / s;
        } else {
            // A side that holds nothing (a phase just added at amount 0 holds the component
            // alone): the plain difference, relative to the other side.
            const double scale = std::max({g, s, std::numeric_limits<double>::min()});
            e.residual[r] = (g - s) / scale;
            if (jacobian) e.jacobian.row(r) = (d_gain.row(r) - d_loss.row(r)) / scale;
            if (rounding) (*rounding)[r] = eps + (gain_rounding[r] + loss_rounding[r]) / scale;
        }
    }
    return e.residual.allFinite() && (!jacobian || e.jacobian.allFinite());
}

// One Newton step on the potentials and the amounts of the assemblage, with a backtracking
// line search on the size of the equations' residual.
Minimiser::Step Minimiser::newton_step() {
    lay_out(newton_.layout);
    newton_.layout.held_rest = Layout::HeldRest::choose;
    const Layout& l = newton_.layout;
    VectorXd y = pack(l);
    Equations& now = newton_.now;
    // The equations at a point, with the trace rows met there first where they are to be.
    bool meet = false;
    auto evaluate = [&](VectorXd& at, bool jacobian, Equations& e) {
        bool current = false;
        if (meet && !meet_trace_rows(l, at, e, current)) return false;
        return (current && !jacobian) || equations(l, at, jacobian, e);
    };
    if (!evaluate(y, true, now)) return Step::failed;
    if (trace_block(l, now, newton_)) {
        meet = true;
        if (!evaluate(y, true, now)) return Step::failed;
    }
    // The trials are judged in the form of the equations at the step's start: a row that
    // changed its form between them would compare residuals of different measures.
    newton_.layout.held_rest = Layout::HeldRest::keep;
    VectorXd delta;
    newton_.rhs = -now.residual;
    solve_newton_system(now.jacobian, newton_.rhs, l.potentials, newton_, delta);
    if (!delta.allFinite()) return Step::failed;

    // The full step, no further than the potentials may move at once, nor the logarithms of
    // the amounts by more than a few times as far.
    auto largest = [](const auto& v) { return v.size() > 0 ? v.cwiseAbs().maxCoeff() : 0.0; };
    auto sizes = [&](const VectorXd& d) {
        double amounts = 0.0;
        for (std::size_t i = 0; i < active_.size(); ++i)
            if (primal_[active_[i]] || l.log_amount[i])
                amounts = std::max(amounts, largest(d.segment(l.offset[i], rows_of(active_[i]))));
        for (std::size_t i = 0; i < l.log_supply.size(); ++i)
            if (l.log_supply[i]) amounts = std::max(amounts, std::abs(d[l.reservoirs + i]));
        return std::pair{largest(d.head(l.potentials)), amounts};
    };
    auto reach_of = [&](const VectorXd& d) {
        const auto [potentials, amounts] = sizes(d);
        return std::min({1.0, max_potential_step / std::max(potentials, 1e-300),
                         max_amount_step / std::max(amounts, 1e-300)});
    };
    const auto [step, primal_step] = sizes(delta);
    const double reach = reach_of(delta);
    // The phase the full step would take below zero first (its amount unknown as it is), if
    // the step would: where the assemblage does not settle, it is the one to leave.
    leaving_ = -1;
    double first = 1.0;
    for (std::size_t i = 0; i < active_.size(); ++i) {
        const int p = active_[i];
        if (primal_[p] || l.log_amount[i] || !(amount_[p] > 0.0)) continue;
        const double change = delta[l.offset[i]];
        if (change < 0.0 && amount_[p] / -change < first) {
            first = amount_[p] / -change;
            leaving_ = static_cast<int>(i);
        }
    }
    if (unsettled_ == 0 && stuck_ == 0) first_leaving_ = leaving_ >= 0 ? active_[leaving_] : -1;
    const double size = now.residual.cwiseAbs().maxCoeff();
    last_merit_ = now.residual.squaredNorm();
    full_potential_step_ = step;
    bool converged = step < converged_step && primal_step < converged_step && size < 1e-11;
    // Equations met to their rounding, where that rounding asks a larger step than the
    // tolerance (the liquid of nearly pure A at a held A potential 5e-10 RT below the pure
    // liquid's: a unit in the last place of the A potential is 2e-6 of the B fraction, and the
    // steps went to and fro by 3.6e-6 in the B potential until 705): converged where the part
    // of the residual beyond its rounding asks a step below the tolerance, and that step is
    // taken. The rounding of each equation at y is its terms' magnitudes times a few units in
    // the last place; the potentials are then known no better than the step it asks.
    if (!converged && (size < 1e-11 || now.held_rest)) {
        VectorXd& rounding = newton_.rounding;
        Equations& at = newton_.trial;
        VectorXd& beyond = newton_.beyond;
        if (equations(l, y, false, at, &rounding)) {
            beyond = now.residual;
            for (int i = 0; i < l.size; ++i) {
                const double excess = std::abs(beyond[i]) - 4.0 * rounding[i];
                beyond[i] = excess > 0.0 ? std::copysign(excess, beyond[i]) : 0.0;
            }
            if (beyond.cwiseAbs().maxCoeff() < 1e-11) {
                VectorXd determined;
                newton_.rhs = -beyond;
                solve_newton_system(now.jacobian, newton_.rhs, l.potentials, newton_, determined);
                if (determined.allFinite()) {
                    const auto [potentials, amounts] = sizes(determined);
                    if (potentials < converged_step && amounts < converged_step) {
                        converged = true;
                        delta = determined;
                    }
                }
            }
        }
    }
    // A step below the tolerance is the rounding of a converged solution: no line search.
    if (converged) {
        Equations at;
        VectorXd next = y + delta;
        if (evaluate(next, false, at)) {
            unpack(l, next, at);
        } else {
            unpack(l, y, now);
        }
        return Step::converged;
    }
    const double merit = last_merit_;
    auto sufficient = [&](double trial_merit, double alpha) {
        return trial_merit <= (1.0 - 1e-4 * alpha) * merit || trial_merit < 1e-26;
    };
    // The step first, and where it does not lower the residual, up to four more steps from
    // there (a watchdog): where the residual is tiny beside the step a phase's amount must take
    // (a flat liquidus), the step's second-order error alone exceeds it, while the next step
    // removes that error. Then, from the start again, the step halved.
    Equations& trial = newton_.trial;
    VectorXd next;
    VectorXd more;
    // (`left`: equations the first point leaves to the steps after it.)
    auto watched = [&](const VectorXd& first, const std::vector<bool>& left) {
        if (!first.allFinite()) return false;
        next = y + reach_of(first) * first;
        for (int watch = 0; watch < 6; ++watch) {
            const bool last = watch == 5;
            if (!evaluate(next, !last, trial)) return false;
            if (sufficient(trial.residual.squaredNorm(), 1.0)) return true;
            double judged = 0.0;
            for (int i = 0; i < l.size; ++i)
                if (watch > 0 || left.empty() || !left[i])
                    judged += trial.residual[i] * trial.residual[i];
            if (last || !(judged < 1e6 * merit + 1.0)) return false;
            newton_.rhs = -trial.residual;
            solve_newton_system(trial.jacobian, newton_.rhs, l.potentials, newton_, more);
            if (!more.allFinite()) return false;
            next += reach_of(more) * more;
        }
        return false;
    };
    // Where some potentials would move further than they may, scaling the whole step down to
    // their bound can leave next to nothing of the rest: a trace's balance row, linearised in
    // the amount of a phase that joins at zero and holds that trace a million times richer
    // than the input, asks its potential to fall by 1e4 (it needs ~15), and that potential
    // alone then sets the step. So those potentials are also taken to their bound and the
    // other unknowns solved from the other equations with them held there; their own rows are
    // left to the next steps, which the watchdog takes.
    bool watched_down = watched(delta, {});
    if (!watched_down && step > max_potential_step) {
        std::vector<bool> held;
        const VectorXd bounded =
            bounded_step(now.jacobian, now.residual, delta, l.potentials, newton_, held);
        watched_down = watched(bounded, held);
    }
    if (watched_down) {
        unpack(l, next, trial);
        stuck_ = 0;
        return Step::moved;
    }
    double alpha = reach;
    bool accepted = false;
    for (int halving = 0; halving < 12; ++halving) {
        next = y + alpha * delta;
        if (evaluate(next, false, trial) && sufficient(trial.residual.squaredNorm(), alpha)) {
            accepted = true;
            break;
        }
        alpha *= 0.5;
    }
    // Where the Newton direction, nearly singular and far from its linear model, gives no way
    // down a short step can use: Levenberg-Marquardt steps, from the Newton step towards the
    // steepest descent of the residual as the damping grows.
    if (!accepted || alpha < 1e-3) {
        const double reached = accepted ? trial.residual.squaredNorm() : merit;
        const VectorXd reached_at = next;
        Equations kept;
        if (accepted) kept = trial;
        accepted = false;
        MatrixXd scaled = now.jacobian;
        VectorXd column_scale(l.size);
        for (int j = 0; j < l.size; ++j) {
            const double size = scaled.col(j).norm();
            column_scale[j] = size > 0.0 ? 1.0 / size : 1.0;
        }
        scaled = scaled * column_scale.asDiagonal();
        const MatrixXd normal = scaled.transpose() * scaled;
        const VectorXd gradient = scaled.transpose() * now.residual;
        double damping = 1e-6 * std::max(normal.diagonal().maxCoeff(), 1e-300);
        for (int attempt = 0; attempt < 16 && !accepted; ++attempt, damping *= 10.0) {
            MatrixXd m = normal;
            m.diagonal().array() += damping;
            const VectorXd step = -column_scale.cwiseProduct(m.ldlt().solve(gradient));
            if (!step.allFinite()) break;
            // No further than a Newton step may go: unbounded, a step along a nearly flat
            // direction throws the potentials where no phase can be evaluated.
            next = y + reach_of(step) * step;
            if (evaluate(next, false, trial) &&
                trial.residual.squaredNorm() < std::min((1.0 - 1e-4) * merit, reached)) {
                accepted = true;
                alpha = 1.0;
            }
        }
        if (!accepted && reached < merit) {
            next = reached_at;
            trial = std::move(kept);
            accepted = true;
        }
    }
    if (accepted)
        unpack(l, next, trial);
    else
        unpack(l, y, now);
    stuck_ = alpha < 1e-6 || !accepted ? stuck_ + 1 : 0;
    return Step::moved;
}

}  // namespace eqx::equilibrium
