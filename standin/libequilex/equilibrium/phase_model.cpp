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
        if (out.constituents.empty()) role = Role::absent;
        out.role = role;
        if (role == Role::absent) continue;
        const int m = out.size();
        out.stoichiometry.resize(k, m);
        out.g.resize(m);
        for (int j = 0; j < m; ++j) {
            const Constituent& constituent = phase.constituents[out.constituents[j]];
            for (int r = 0; r < k; ++r)
                out.stoichiometry(r, j) = r < static_cast<int>(constituent.stoichiometry.size())
                                              ? constituent.stoichiometry[r]
                                              : 0.0;
            const double g =
                thermo::constituent_functions(system, phase, constituent, temperature, p_bar).g;
            out.g[j] = g / rt + (phase.gas ? ln_p : 0.0);
        }
        if (!phase.is_mixture()) {
            out.kind = CalculatedPhase::Kind::pure;
        } else {
            out.excess = ExcessModel::build(phase, out.constituents);
            out.kind =
                out.excess.empty() ? CalculatedPhase::Kind::ideal : CalculatedPhase::Kind::nonideal;
        }
    }
    return result;
}

namespace {

constexpr double tiny_fraction = 1e-300;

double log_sum_exp(const Eigen::VectorXd& w) {
    const double top = w.maxCoeff();
    if (!std::isfinite(top)) return top;
    return top + std::log((w.array() - top).exp().sum());
}

// The nonideal tangent-plane problem: minimise f(x) = sum x_j (ln x_j - w_j) + E(x) on the
// simplex, E the excess Gibbs energy over R T.
class NonidealProblem {
  public:
    NonidealProblem(const CalculatedSystem& system, const CalculatedPhase& phase, Eigen::VectorXd w)
        : system_(system), phase_(phase), w_(std::move(w)), m_(phase.size()) {}

    double value(const Eigen::VectorXd& x) const {
        double f = 0.0;
        for (int j = 0; j < m_; ++j) f += x[j] * (std::log(std::max(x[j], tiny_fraction)) - w_[j]);
        return f + phase_.excess.evaluate(x, system_.temperature, system_.pressure_bar(),
                                          TemperatureDerivative::none, nullptr, nullptr) /
                       system_.rt();
    }

    // Gradient and Hessian of f (as a function of all m fractions).
    void derivatives(const Eigen::VectorXd& x, Eigen::VectorXd& gradient,
                     Eigen::MatrixXd& hessian) const {
        gradient = Eigen::VectorXd::Zero(m_);
        hessian = Eigen::MatrixXd::Zero(m_, m_);
        phase_.excess.evaluate(x, system_.temperature, system_.pressure_bar(),
                               TemperatureDerivative::none, &gradient, &hessian);
        gradient /= system_.rt();
        hessian /= system_.rt();
        for (int j = 0; j < m_; ++j) {
            const double xj = std::max(x[j], tiny_fraction);
            gradient[j] += std::log(xj) + 1.0 - w_[j];
            hessian(j, j) += 1.0 / xj;
        }
    }

    struct Local {
        Eigen::VectorXd x;
        double f = 0.0;
        Eigen::MatrixXd reduced_inverse_basis;  // Z Hr^-1 Z^T at the minimum
        bool converged = false;
    };

    // Damped Newton on the reduced coordinates (the largest fraction depends on the others).
    Local minimise(Eigen::VectorXd x, bool sensitivity) const {
        Local result;
        if (m_ == 1) {
            result.x = Eigen::VectorXd::Ones(1);
            result.f = value(result.x);
            result.reduced_inverse_basis = Eigen::MatrixXd::Zero(1, 1);
            result.converged = true;
            return result;
        }
        normalise(x);
        double f = value(x);
        Eigen::VectorXd gradient;
        Eigen::MatrixXd hessian;
        Eigen::MatrixXd z;
        Eigen::LLT<Eigen::MatrixXd> factor;
        for (int iteration = 0; iteration < 200; ++iteration) {
            derivatives(x, gradient, hessian);
            int r = 0;
            x.maxCoeff(&r);
            z = basis(r);
            const Eigen::VectorXd gr = z.transpose() * gradient;
            Eigen::MatrixXd hr = z.transpose() * hessian * z;
            factor.compute(hr);
            // Where the surface is not convex, lean on the ideal part until it is.
            double shift = 0.0;
            while (factor.info() != Eigen::Success && shift < 1e8) {
                shift = shift == 0.0 ? 0.1 : shift * 4.0;
                Eigen::VectorXd inverse = x.cwiseMax(tiny_fraction).cwiseInverse();
                factor.compute(hr + shift * (z.transpose() * inverse.asDiagonal() * z));
            }
            if (gr.cwiseAbs().maxCoeff() < 1e-12 && shift == 0.0) {
                result.converged = true;
                break;
            }
            const Eigen::VectorXd du = factor.solve(-gr);
            const Eigen::VectorXd dx = z * du;
            double alpha = 1.0;
            for (int j = 0; j < m_; ++j)
                if (dx[j] < 0.0) alpha = std::min(alpha, 0.99 * x[j] / -dx[j]);
            const double slope = gr.dot(du);
            bool moved = false;
            for (int halving = 0; halving < 40; ++halving) {
                Eigen::VectorXd trial = x + alpha * dx;
                trial = trial.cwiseMax(tiny_fraction);
                normalise(trial);
                const double ft = value(trial);
                if (ft <= f + 1e-4 * alpha * slope || std::abs(ft - f) <= 1e-15 * std::abs(f)) {
                    moved = (trial - x).cwiseAbs().maxCoeff() > 0.0;
                    x = trial;
                    f = ft;
                    break;
                }
                alpha *= 0.5;
            }
            if (!moved) {
                result.converged = gr.cwiseAbs().maxCoeff() < 1e-8;
                break;
            }
        }
        result.x = x;
        result.f = f;
        if (sensitivity) {
            derivatives(x, gradient, hessian);
            int r = 0;
            x.maxCoeff(&r);
            z = basis(r);
            Eigen::MatrixXd hr = z.transpose() * hessian * z;
            Eigen::LDLT<Eigen::MatrixXd> ldlt(hr);
            result.reduced_inverse_basis = z * ldlt.solve(z.transpose());
        }
        return result;
    }

  private:
    static void normalise(Eigen::VectorXd& x) { x /= x.sum(); }

    // Columns: moving fraction j (j != r) up and fraction r down.
    Eigen::MatrixXd basis(int r) const {
        Eigen::MatrixXd z = Eigen::MatrixXd::Zero(m_, m_ - 1);
        int column = 0;
        for (int j = 0; j < m_; ++j) {
            if (j == r) continue;
            z(j, column) = 1.0;
            z(r, column) = -1.0;
            ++column;
        }
        return z;
    }

    const CalculatedSystem& system_;
    const CalculatedPhase& phase_;
    Eigen::VectorXd w_;
    int m_;
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
                                       TemperatureDerivative::none, &gradient, &d.hessian) /
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
    const double excess = phase.excess.evaluate(x, system.temperature, system.pressure_bar(),
                                                TemperatureDerivative::none, &gradient,
                                                hessian ? &e.hessian : nullptr);
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
                                   TemperatureDerivative::none, nullptr, nullptr) /
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
        case CalculatedPhase::Kind::ideal: {
            result.ln_activity = log_sum_exp(w);
            result.x = (w.array() - result.ln_activity).exp().matrix();
            result.m = a * result.x;
            if (request.sensitivity) {
                result.composition_sensitivity =
                    result.x.asDiagonal() *
                    (a.transpose() - Eigen::VectorXd::Ones(a.cols()) * result.m.transpose());
                result.sensitivity = a * result.composition_sensitivity;
            }
            return result;
        }
        case CalculatedPhase::Kind::nonideal:
            break;
    }
    const int m = phase.size();
    NonidealProblem problem(system, phase, w);
    std::vector<Eigen::VectorXd> starts;
    if (request.start && request.start->size() == m && request.start->allFinite() &&
        (request.start->array() > 0.0).all())
        starts.push_back(*request.start);
    if (request.global || starts.empty()) {
        starts.push_back((w.array() - log_sum_exp(w)).exp().matrix().cwiseMax(1e-12));
        if (request.global) {
            for (int j = 0; j < m; ++j) starts.push_back(end_member_start(m, j));
            starts.push_back(Eigen::VectorXd::Constant(m, 1.0 / m));
        }
    }
    NonidealProblem::Local best;
    bool have_best = false;
    NonidealProblem::Local avoided;
    bool have_avoided = false;
    for (const Eigen::VectorXd& start : starts) {
        NonidealProblem::Local local = problem.minimise(start, request.sensitivity);
        if (request.avoid && request.avoid->size() == m &&
            (local.x - *request.avoid).cwiseAbs().maxCoeff() < 1e-4) {
            if (!have_avoided || local.f < avoided.f) {
                avoided = std::move(local);
                have_avoided = true;
            }
            continue;
        }
        if (!have_best || local.f < best.f - 1e-12) {
            best = std::move(local);
            have_best = true;
        }
    }
    if (!have_best) best = std::move(avoided);
    result.ln_activity = -best.f;
    result.x = best.x;
    result.m = a * best.x;
    result.converged = best.converged;
    if (request.sensitivity) {
        result.composition_sensitivity = best.reduced_inverse_basis * a.transpose();
        result.sensitivity = a * result.composition_sensitivity;
    }
    return result;
}

}  // namespace eqx::equilibrium
