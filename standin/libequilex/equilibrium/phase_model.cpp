#include "equilibrium/phase_model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "data/thermo.hpp"
#include "equilibrium/units.hpp"

namespace eqx::equilibrium {

double CalculatedSystem::rt() const {
    return gas_constant * temperature;
}

double CalculatedSystem::pressure_bar() const {
    return pressure / pascal_per_bar;
}

CalculatedSystem calculate_system(const System& system, double temperature, double pressure,
                                  const std::vector<Role>& overrides) {
    CalculatedSystem result;
    result.temperature = temperature;
    result.pressure = pressure;
    result.components = static_cast<int>(system.components.size());
    const double rt = result.rt();
    const double p_bar = result.pressure_bar();
    const double ln_p = std::log(pressure / standard_pressure);
    const int k = result.components;
    result.phases.resize(system.phases.size());
    for (std::size_t i = 0; i < system.phases.size(); ++i) {
        const Phase& phase = system.phases[i];
        CalculatedPhase& out = result.phases[i];
        out.phase = static_cast<int>(i);
        out.gas = phase.gas;
        if (phase.demixing_copy == 1 && i + 1 < system.phases.size())
            out.partner = static_cast<int>(i + 1);
        if (phase.demixing_copy == 2 && i > 0) out.partner = static_cast<int>(i - 1);
        for (std::size_t c = 0; c < phase.constituents.size(); ++c)
            if (phase.constituents[c].status == Status::entered)
                out.constituents.push_back(static_cast<int>(c));
        Role role = phase.status == Status::entered   ? Role::balanced
                    : phase.status == Status::dormant ? Role::observed
                                                      : Role::absent;
        if (i < overrides.size()) role = overrides[i];
        // The stoichiometry and g / (R T) of the constituents `indices`.
        const auto calculate = [&](const std::vector<int>& indices, Eigen::MatrixXd& a,
                                   Eigen::VectorXd& g) {
            const int m = static_cast<int>(indices.size());
            a.resize(k, m);
            g.resize(m);
            for (int j = 0; j < m; ++j) {
                const Constituent& constituent = phase.constituents[indices[j]];
                for (int r = 0; r < k; ++r)
                    a(r, j) = r < static_cast<int>(constituent.stoichiometry.size())
                                  ? constituent.stoichiometry[r]
                                  : 0.0;
                g[j] = thermo::constituent_functions(system, phase, constituent, temperature, p_bar)
                               .g /
                           rt +
                       (phase.gas ? ln_p : 0.0);
            }
        };
        // DORMANT constituents of a phase that is not kept out.
        if (role != Role::absent) {
            std::vector<int> dormant;
            for (std::size_t c = 0; c < phase.constituents.size(); ++c)
                if (phase.constituents[c].status == Status::dormant)
                    dormant.push_back(static_cast<int>(c));
            calculate(dormant, out.dormant_stoichiometry, out.dormant_g);
        }
        if (out.constituents.empty()) role = Role::absent;
        out.role = role;
        if (role == Role::absent) continue;
        calculate(out.constituents, out.stoichiometry, out.g);
        if (!phase.is_mixture()) {
            out.kind = CalculatedPhase::Kind::pure;
        } else {
            out.excess = ExcessModel::build(phase, out.constituents);
            out.excess.prepare(temperature, p_bar);
            out.kind =
                out.excess.empty() ? CalculatedPhase::Kind::ideal : CalculatedPhase::Kind::nonideal;
        }
    }
    return result;
}

double log_sum_exp(const Eigen::VectorXd& w) {
    const double top = w.maxCoeff();
    if (!std::isfinite(top)) return top;
    return top + std::log((w.array() - top).exp().sum());
}

void exp_entries(const Eigen::VectorXd& v, double shift, Eigen::VectorXd& out) {
    out = (v.array() - shift).exp().matrix();
    for (Eigen::Index i = 0; i < v.size(); ++i)
        if (!(out[i] >= std::numeric_limits<double>::min())) out[i] = std::exp(v[i] - shift);
}

void ideal_tangent_plane(const CalculatedPhase& phase, const Eigen::VectorXd& w, bool sensitivity,
                         TangentPlane& out) {
    const Eigen::MatrixXd& a = phase.stoichiometry;
    out.ln_activity = log_sum_exp(w);
    exp_entries(w, out.ln_activity, out.x);
    out.m.noalias() = a * out.x;
    out.converged = true;
    if (!sensitivity) return;
    // dx_j / dzeta_k = x_j (a_kj - m_k), written out: as an expression its outer product
    // would be a temporary.
    out.composition_sensitivity.resize(a.cols(), a.rows());
    for (Eigen::Index k = 0; k < a.rows(); ++k)
        for (Eigen::Index j = 0; j < a.cols(); ++j)
            out.composition_sensitivity(j, k) = out.x[j] * (a(k, j) - out.m[k]);
    out.sensitivity.noalias() = a * out.composition_sensitivity;
}

namespace {

constexpr double tiny_fraction = 1e-300;
constexpr double underflowed_fraction = 1e-290;

// The nonideal tangent-plane problem: minimise f(x) = sum x_j (ln x_j - w_j) + E(x) on the
// simplex, E the excess Gibbs energy over R T. E depends on the fractions of the support
// alone (the constituents its terms name). Whatever total y the other constituents hold
// together, their best share of it is y q_j with q = exp(w_j - W), W = ln sum exp(w_j) over
// them, and then they add y (ln y - W) to f: one ideal constituent with w = W. So the problem
// is solved exactly over n = (support) + 1 unknowns and expanded to all m constituents at the
// end; the minima are the same, one to one, as those of the problem over all m.
class NonidealProblem {
  public:
    NonidealProblem(const CalculatedSystem& system, const CalculatedPhase& phase,
                    const Eigen::VectorXd& w)
        : excess_(phase.excess),
          support_(phase.excess.support()),
          rt_(system.rt()),
          m_(phase.size()),
          s_(static_cast<int>(support_.size())) {
        std::vector<char> named(m_, 0);
        for (int j : support_) named[j] = 1;
        for (int j = 0; j < m_; ++j)
            if (!named[j]) rest_.push_back(j);
        n_ = s_ + (rest_.empty() ? 0 : 1);
        w_.resize(n_);
        for (int i = 0; i < s_; ++i) w_[i] = w[support_[i]];
        if (!rest_.empty()) {
            const int r = static_cast<int>(rest_.size());
            q_.resize(r);
            for (int i = 0; i < r; ++i) q_[i] = w[rest_[i]];
            const double top = q_.maxCoeff();
            q_ = (q_.array() - top).exp().matrix();
            const double sum = q_.sum();
            q_ /= sum;
            w_[s_] = top + std::log(sum);
        }
        logs_.resize(n_);
        trial_logs_.resize(n_);
        gradient_.resize(n_);
        hessian_.resize(n_, n_);
        if (n_ > 1) {
            reduced_gradient_.resize(n_ - 1);
            reduced_hessian_.resize(n_ - 1, n_ - 1);
            shifted_.resize(n_ - 1, n_ - 1);
            step_.resize(n_ - 1);
        }
        direction_.resize(n_);
        trial_.resize(n_);
    }

    int size() const { return n_; }

    // The problem's unknowns from fractions of all m constituents, and back.
    Eigen::VectorXd reduced(const Eigen::VectorXd& full) const {
        Eigen::VectorXd x(n_);
        for (int i = 0; i < s_; ++i) x[i] = full[support_[i]];
        if (!rest_.empty()) {
            double y = 0.0;
            for (int j : rest_) y += full[j];
            x[s_] = y;
        }
        return x;
    }
    void expand(const Eigen::VectorXd& x, Eigen::VectorXd& full) const {
        full.resize(m_);
        for (int i = 0; i < s_; ++i) full[support_[i]] = x[i];
        for (std::size_t i = 0; i < rest_.size(); ++i)
            full[rest_[i]] = std::max(x[s_] * q_[i], tiny_fraction);
    }

    // The unconstrained start of an ideal mixture: exp(w - ln sum exp(w)).
    Eigen::VectorXd ideal_start() const {
        return (w_.array() - log_sum_exp(w_)).exp().matrix().cwiseMax(1e-12);
    }

    struct Local {
        Eigen::VectorXd x;  // the problem's unknowns
        double f = 0.0;
        bool converged = false;
        bool known = false;  // headed for a minimum in `found` and stopped there
    };

    // Damped Newton on the reduced coordinates (the largest fraction depends on the others).
    // A start that comes within Newton's region of quadratic convergence (below) of a minimum
    // already in `found` converges to it: it stops there as `known`.
    Local minimise(Eigen::VectorXd x, const std::vector<Local>& found) {
        Local result;
        if (n_ == 1) {
            result.x = Eigen::VectorXd::Ones(1);
            result.f = value(result.x, logs_);
            result.converged = true;
            return result;
        }
        normalise(x);
        double f = value(x, logs_);
        bool full_step = false;
        double previous_largest = 0.0;
        for (int iteration = 0; iteration < 200; ++iteration) {
            derivatives(x, logs_);
            int r = 0;
            x.maxCoeff(&r);
            reduce(r);
            hold_underflowed(x, r);
            factor_.compute(reduced_hessian_);
            // Where the surface is not convex, lean on the ideal part until it is.
            double shift = 0.0;
            while (factor_.info() != Eigen::Success && shift < 1e8) {
                shift = shift == 0.0 ? 0.1 : shift * 4.0;
                shifted_ = reduced_hessian_;
                const double pivot = shift / std::max(x[r], tiny_fraction);
                shifted_.array() += pivot;
                for (int c = 0; c < n_ - 1; ++c)
                    shifted_(c, c) += shift / std::max(x[unreduced(c, r)], tiny_fraction);
                factor_.compute(shifted_);
            }
            const double largest = reduced_gradient_.cwiseAbs().maxCoeff();
            if (largest < 1e-12 && shift == 0.0) {
                result.converged = true;
                break;
            }
            step_ = -reduced_gradient_;
            factor_.solveInPlace(step_);
            direction_[r] = 0.0;
            for (int c = 0; c < n_ - 1; ++c) {
                direction_[unreduced(c, r)] = step_[c];
                direction_[r] -= step_[c];
            }
            double alpha = 1.0;
            double relative = 0.0;  // the largest change of a fraction against itself
            for (int j = 0; j < n_; ++j)
                relative =
                    std::max(relative, std::abs(direction_[j]) / std::max(x[j], tiny_fraction));
            const double slope = reduced_gradient_.dot(step_);
            // Near the minimum the decrease a step makes falls below the rounding of f, which
            // can no longer judge it: inside Newton's region of quadratic convergence (convex,
            // no fraction moving by more than 1e-3 of itself) the full step is taken and the
            // gradient judges the progress; where it stops falling it is as small as rounding
            // lets it be.
            const bool stalled = full_step && largest > 0.5 * previous_largest;
            if (stalled && largest < 1e-8) {
                result.converged = true;
                break;
            }
            full_step = shift == 0.0 && relative <= 1e-3 && !stalled;
            previous_largest = largest;
            if (full_step) {
                for (const Local& minimum : found)
                    if (minimum.converged && near(x, minimum.x)) {
                        result = minimum;
                        result.known = true;
                        return result;
                    }
                step_to(x, 1.0);
                if ((trial_ - x).cwiseAbs().maxCoeff() == 0.0) {
                    result.converged = largest < 1e-8;
                    break;
                }
                f = value(trial_, trial_logs_);
                x.swap(trial_);
                logs_.swap(trial_logs_);
                continue;
            }
            bool moved = false;
            for (int halving = 0; halving < 40; ++halving) {
                step_to(x, alpha);
                const double ft = value(trial_, trial_logs_);
                if (ft <= f + 1e-4 * alpha * slope || std::abs(ft - f) <= 1e-15 * std::abs(f)) {
                    moved = (trial_ - x).cwiseAbs().maxCoeff() > 0.0;
                    x.swap(trial_);
                    logs_.swap(trial_logs_);
                    f = ft;
                    break;
                }
                alpha *= 0.5;
            }
            if (!moved) {
                result.converged = largest < 1e-8;
                break;
            }
        }
        result.x = std::move(x);
        result.f = f;
        return result;
    }

    // dx / dzeta over all m constituents at the problem's minimum x: with Z the basis of the
    // reduced coordinates, Z (Z^T H Z)^-1 Z^T A^T over the problem's unknowns (the rest's
    // column of A its mean stoichiometry A q), then each of the rest moving with y and with
    // its share q_j: dx_j = q_j dy + y q_j (a_j - A q).
    Eigen::MatrixXd composition_sensitivity(const Eigen::VectorXd& x, const Eigen::MatrixXd& a) {
        const int k = static_cast<int>(a.rows());
        Eigen::MatrixXd full = Eigen::MatrixXd::Zero(m_, k);
        if (n_ == 1) return full;
        Eigen::MatrixXd unknowns(k, n_);  // the stoichiometry of the problem's unknowns
        for (int i = 0; i < s_; ++i) unknowns.col(i) = a.col(support_[i]);
        if (!rest_.empty()) {
            unknowns.col(s_).setZero();
            for (std::size_t i = 0; i < rest_.size(); ++i)
                unknowns.col(s_) += q_[i] * a.col(rest_[i]);
        }
        value(x, logs_);
        derivatives(x, logs_);
        int r = 0;
        x.maxCoeff(&r);
        reduce(r);
        Eigen::MatrixXd moves(n_ - 1, k);
        for (int c = 0; c < n_ - 1; ++c)
            moves.row(c) = (unknowns.col(unreduced(c, r)) - unknowns.col(r)).transpose();
        const Eigen::LDLT<Eigen::MatrixXd> ldlt(reduced_hessian_);
        moves = ldlt.solve(moves);
        Eigen::MatrixXd dx(n_, k);
        dx.row(r).setZero();
        for (int c = 0; c < n_ - 1; ++c) {
            dx.row(unreduced(c, r)) = moves.row(c);
            dx.row(r) -= moves.row(c);
        }
        for (int i = 0; i < s_; ++i) full.row(support_[i]) = dx.row(i);
        if (!rest_.empty()) {
            const double y = x[s_];
            for (std::size_t i = 0; i < rest_.size(); ++i)
                full.row(rest_[i]) =
                    q_[i] * (dx.row(s_) + y * (a.col(rest_[i]) - unknowns.col(s_)).transpose());
        }
        return full;
    }

  private:
    static void normalise(Eigen::VectorXd& x) { x /= x.sum(); }

    // Whether every fraction of x is within 1e-3 of itself of the minimum's.
    static bool near(const Eigen::VectorXd& x, const Eigen::VectorXd& minimum) {
        for (int j = 0; j < x.size(); ++j)
            if (!(std::abs(x[j] - minimum[j]) <= 1e-3 * minimum[j])) return false;
        return true;
    }

    // The unknown that the reduced coordinate c moves (against the pivot r).
    static int unreduced(int c, int r) { return c < r ? c : c + 1; }

    // f at x, with the logs of the fractions into `logs`.
    double value(const Eigen::VectorXd& x, Eigen::VectorXd& logs) const {
        double f = 0.0;
        for (int j = 0; j < n_; ++j) {
            logs[j] = std::log(std::max(x[j], tiny_fraction));
            f += x[j] * (logs[j] - w_[j]);
        }
        return f + excess_.evaluate_on_support(x, nullptr, nullptr) / rt_;
    }

    // Gradient and Hessian of f over the unknowns at x (as a function of all of them), the
    // logs of x given.
    void derivatives(const Eigen::VectorXd& x, const Eigen::VectorXd& logs) {
        gradient_.setZero();
        hessian_.setZero();
        excess_.evaluate_on_support(x, &gradient_, &hessian_);
        gradient_.head(s_) /= rt_;
        hessian_.topLeftCorner(s_, s_) /= rt_;
        for (int j = 0; j < n_; ++j) {
            gradient_[j] += logs[j] + 1.0 - w_[j];
            hessian_(j, j) += 1.0 / std::max(x[j], tiny_fraction);
        }
    }

    // The gradient and the Hessian on the reduced coordinates u_c (fraction c up and the
    // pivot r down): g_c - g_r and H_cd - H_cr - H_rd + H_rr.
    void reduce(int r) {
        const double hrr = hessian_(r, r);
        for (int d = 0; d < n_ - 1; ++d) {
            const int l = unreduced(d, r);
            reduced_gradient_[d] = gradient_[l] - gradient_[r];
            const double hrl = hessian_(r, l);
            for (int c = 0; c < n_ - 1; ++c) {
                const int j = unreduced(c, r);
                reduced_hessian_(c, d) = hessian_(j, l) - hessian_(j, r) - hrl + hrr;
            }
        }
    }

    // The point alpha along the step from x, into trial_: a fraction that rises moves on the
    // line, one that falls on its log (x_j exp(alpha dx_j / x_j), the same slope at x), so that
    // no step leaves the simplex and a fraction the step would take below zero falls by as
    // much as the step says in its log, in one step, rather than by a factor at a time.
    void step_to(const Eigen::VectorXd& x, double alpha) {
        for (int j = 0; j < n_; ++j) {
            const double d = alpha * direction_[j];
            trial_[j] = d >= 0.0 ? x[j] + d : x[j] * std::exp(d / std::max(x[j], tiny_fraction));
        }
        trial_ = trial_.cwiseMax(tiny_fraction);
        normalise(trial_);
    }

    // A fraction below any that could matter that the gradient pushes further down has its
    // minimum under the smallest fraction kept (its w far below the others', as for a
    // component without input): it stays where it is, out of the step and of the test of
    // convergence, rather than hold every other fraction to steps it could take.
    void hold_underflowed(const Eigen::VectorXd& x, int r) {
        for (int c = 0; c < n_ - 1; ++c) {
            if (!(x[unreduced(c, r)] < underflowed_fraction && reduced_gradient_[c] > 0.0))
                continue;
            reduced_gradient_[c] = 0.0;
            reduced_hessian_.row(c).setZero();
            reduced_hessian_.col(c).setZero();
            reduced_hessian_(c, c) = 1.0;
        }
    }

    const ExcessModel& excess_;
    const std::vector<int>& support_;
    double rt_;
    int m_;
    int s_;
    int n_ = 0;
    std::vector<int> rest_;  // the constituents outside the support
    Eigen::VectorXd q_;      // their shares of the rest
    Eigen::VectorXd w_;      // w over the unknowns: the support's, then W
    // Work arrays of the Newton iterations.
    Eigen::VectorXd logs_, trial_logs_, gradient_, reduced_gradient_, step_, direction_, trial_;
    Eigen::MatrixXd hessian_, reduced_hessian_, shifted_;
    Eigen::LLT<Eigen::MatrixXd> factor_;
};

Eigen::VectorXd end_member_start(int m, int j) {
    const double eps = 1e-3 / m;
    Eigen::VectorXd x = Eigen::VectorXd::Constant(m, eps);
    x[j] = 1.0 - eps * (m - 1);
    return x;
}

}  // namespace

MixtureDerivatives mixture_derivatives(const CalculatedSystem& system, const CalculatedPhase& phase,
                                       const Eigen::VectorXd& x) {
    const int m = phase.size();
    MixtureDerivatives d;
    Eigen::VectorXd gradient = Eigen::VectorXd::Zero(m);
    d.hessian = Eigen::MatrixXd::Zero(m, m);
    double excess = 0.0;
    if (phase.kind == CalculatedPhase::Kind::nonideal)
        excess = phase.excess.evaluate(x, system.temperature, system.pressure_bar(),
                                       ExcessDerivative::none, &gradient, &d.hessian) /
                 system.rt();
    gradient /= system.rt();
    d.hessian /= system.rt();
    d.mu = partial_molar(excess, gradient, x);
    for (int j = 0; j < m; ++j) {
        const double xj = std::max(x[j], tiny_fraction);
        d.mu[j] += phase.g[j] + std::log(xj);
        d.hessian(j, j) += 1.0 / xj;
    }
    return d;
}

MixtureExcess mixture_excess(const CalculatedSystem& system, const CalculatedPhase& phase,
                             const Eigen::VectorXd& x, bool hessian) {
    const int m = phase.size();
    MixtureExcess e;
    if (phase.kind != CalculatedPhase::Kind::nonideal) {
        e.mu = Eigen::VectorXd::Zero(m);
        return e;
    }
    Eigen::VectorXd gradient = Eigen::VectorXd::Zero(m);
    if (hessian) e.hessian = Eigen::MatrixXd::Zero(m, m);
    const double excess =
        phase.excess.evaluate(x, system.temperature, system.pressure_bar(), ExcessDerivative::none,
                              &gradient, hessian ? &e.hessian : nullptr);
    const double rt = system.rt();
    e.mu = partial_molar(excess / rt, gradient / rt, x);
    if (hessian) e.hessian /= rt;
    return e;
}

double reduced_gibbs_energy(const CalculatedSystem& system, const CalculatedPhase& phase,
                            const Eigen::VectorXd& x) {
    double f = 0.0;
    for (int j = 0; j < phase.size(); ++j)
        if (x[j] > 0.0) f += x[j] * (phase.g[j] + std::log(x[j]));
    if (phase.kind == CalculatedPhase::Kind::nonideal)
        f += phase.excess.evaluate(x, system.temperature, system.pressure_bar(),
                                   ExcessDerivative::none, nullptr, nullptr) /
             system.rt();
    return f;
}

TangentPlane tangent_plane(const CalculatedSystem& system, const CalculatedPhase& phase,
                           const Eigen::VectorXd& zeta, const TangentPlaneRequest& request) {
    TangentPlane result;
    const Eigen::MatrixXd& a = phase.stoichiometry;
    const Eigen::VectorXd w = a.transpose() * zeta - phase.g;
    switch (phase.kind) {
        case CalculatedPhase::Kind::pure: {
            result.ln_activity = w[0];
            result.x = Eigen::VectorXd::Ones(1);
            result.m = a.col(0);
            if (request.sensitivity) {
                result.sensitivity = Eigen::MatrixXd::Zero(system.components, system.components);
                result.composition_sensitivity = Eigen::MatrixXd::Zero(1, system.components);
            }
            return result;
        }
        case CalculatedPhase::Kind::ideal:
            ideal_tangent_plane(phase, w, request.sensitivity, result);
            return result;
        case CalculatedPhase::Kind::nonideal:
            break;
    }
    const int m = phase.size();
    NonidealProblem problem(system, phase, w);
    const int n = problem.size();
    std::vector<Eigen::VectorXd> starts;
    if (request.start && request.start->size() == m && request.start->allFinite() &&
        (request.start->array() > 0.0).all())
        starts.push_back(problem.reduced(*request.start));
    if (request.global || starts.empty()) {
        starts.push_back(problem.ideal_start());
        if (request.global) {
            for (int j = 0; j < n; ++j) starts.push_back(end_member_start(n, j));
            starts.push_back(Eigen::VectorXd::Constant(n, 1.0 / n));
        }
    }
    const bool avoiding = request.avoid && request.avoid->size() == m;
    Eigen::VectorXd full;
    NonidealProblem::Local best;
    bool have_best = false;
    NonidealProblem::Local avoided;
    bool have_avoided = false;
    std::vector<NonidealProblem::Local> found;
    for (const Eigen::VectorXd& start : starts) {
        NonidealProblem::Local local = problem.minimise(start, found);
        if (local.known) continue;
        if (starts.size() > 1) found.push_back(local);
        if (avoiding) {
            problem.expand(local.x, full);
            if ((full - *request.avoid).cwiseAbs().maxCoeff() < 1e-4) {
                if (!have_avoided || local.f < avoided.f) {
                    avoided = std::move(local);
                    have_avoided = true;
                }
                continue;
            }
        }
        if (!have_best || local.f < best.f - 1e-12) {
            best = std::move(local);
            have_best = true;
        }
    }
    if (!have_best) best = std::move(avoided);
    problem.expand(best.x, result.x);
    result.ln_activity = -best.f;
    result.m = a * result.x;
    result.converged = best.converged;
    if (request.sensitivity) {
        result.composition_sensitivity = problem.composition_sensitivity(best.x, a);
        result.sensitivity = a * result.composition_sensitivity;
    }
    return result;
}

}  // namespace eqx::equilibrium
