// The basis species the equations are written over, and one Newton step on the potentials and
// amounts of an assemblage.
#include <algorithm>
#include <cmath>
#include <limits>

#include "equilibrium/minimiser_state.hpp"

namespace eqx::equilibrium {

using Eigen::MatrixXd;
using Eigen::VectorXd;

namespace {

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

}  // namespace

// The basis: reservoirs first, then the species of the assemblage by amount, each taken
// when independent of those before; unit vectors complete it. The stoichiometry of every
// species is then written over the basis, the basis species themselves exactly.
void Minimiser::rebase() {
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
        candidates.push_back(
            {std::numeric_limits<double>::infinity(), reservoirs_[r].stoichiometry, -1 - r, -1});
    for (int p : active_) {
        const CalculatedPhase& phase = balance_.phases[p];
        for (int j = 0; j < phase.size(); ++j)
            candidates.push_back({amount_[p] * composition_[p][j] + 1e-300 * (1 + j),
                                  phase.stoichiometry.col(j), p, j});
    }
    std::stable_sort(candidates.begin(), candidates.end(),
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
        if (chosen[i]->phase < 0) reservoirs_work_[-1 - chosen[i]->phase] = VectorXd::Unit(k_, i);
}

// Rounding left by the change of basis (an input that is an exact sum of basis species).
VectorXd Minimiser::clean(VectorXd v) {
    const double size = v.cwiseAbs().maxCoeff();
    for (int i = 0; i < v.size(); ++i)
        if (std::abs(v[i]) < 1e-13 * size) v[i] = 0.0;
    return v;
}

void Minimiser::turn_primal() {
    const double threshold = 1e-6 * input_scale();
    for (int p : active_)
        if (!primal_[p] && balance_.phases[p].kind == CalculatedPhase::Kind::nonideal &&
            amount_[p] > threshold)
            primal_[p] = true;
}

// The unknowns of each active phase: its amount (dual) or its constituents' amounts (primal).
std::vector<VectorXd> Minimiser::current_moles() const {
    std::vector<VectorXd> moles;
    for (int p : active_)
        moles.push_back(is_primal(p) ? VectorXd(amount_[p] * composition_[p])
                                     : VectorXd::Constant(1, amount_[p]));
    return moles;
}

Minimiser::Equations Minimiser::equations(const VectorXd& zw, const std::vector<VectorXd>& moles,
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

// One Newton step on the potentials and the amounts of the assemblage, with a backtracking
// line search on the size of the equations' residual.
Minimiser::Step Minimiser::newton_step() {
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
                if (change[i][j] < 0.0) reach = std::min(reach, 0.99 * moles[i][j] / -change[i][j]);
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

}  // namespace eqx::equilibrium
