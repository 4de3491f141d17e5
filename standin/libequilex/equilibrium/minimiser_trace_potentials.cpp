// Potentials of trace basis species, settled on the logarithm of their balance before Newton's
// method.
#include <cmath>

#include "equilibrium/minimiser_state.hpp"

namespace eqx::equilibrium {

using Eigen::MatrixXd;
using Eigen::VectorXd;

// Trace basis species (next to nothing of them in an ideal phase solved for its amount) are
// balanced by other trace species alone: the potential of each is the root of a balance of
// exponentials, where Newton's method on the mass balance moves about one e-fold per step.
// Written as ln(what the row gains) = ln(what it loses), the balance is close to linear in
// the potentials, so a few steps on those potentials alone - the others and the amounts
// held - bring the iteration near enough for Newton's method to converge quadratically.
void Minimiser::settle_trace_potentials() {
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

}  // namespace eqx::equilibrium
