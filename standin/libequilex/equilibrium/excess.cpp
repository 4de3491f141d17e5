#include "equilibrium/excess.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace eqx::equilibrium {

namespace {

bool has_excess_model(const Phase& phase) {
    return phase.sublattices.empty() && (phase.model == "RKMP" || phase.model == "QKTO");
}

// L and its derivatives from one expression (the pressure enters only in e[6] P + e[7] P^2).
double coefficient(const std::array<double, 8>& e, double t, double p,
                   ExcessDerivative derivative) {
    switch (derivative) {
        case ExcessDerivative::none:
            return e[0] + e[1] * t + e[2] * t * std::log(t) + e[3] * t * t + e[4] * t * t * t +
                   e[5] / t + e[6] * p + e[7] * p * p;
        case ExcessDerivative::temperature:
            return e[1] + e[2] * (std::log(t) + 1.0) + 2.0 * e[3] * t + 3.0 * e[4] * t * t -
                   e[5] / (t * t);
        case ExcessDerivative::pressure:
            return e[6] + 2.0 * e[7] * p;
        case ExcessDerivative::temperature_second:
            break;
    }
    return e[2] / t + 2.0 * e[3] + 6.0 * e[4] * t + 2.0 * e[5] / (t * t * t);
}

// x^n for a whole n >= 0.
double power(double x, int n) {
    double result = 1.0;
    for (int i = 0; i < n; ++i) result *= x;
    return result;
}

}  // namespace

ExcessModel ExcessModel::build(const Phase& phase, const std::vector<int>& calculated) {
    ExcessModel model;
    if (!has_excess_model(phase)) return model;
    std::vector<int> local(phase.constituents.size(), -1);
    for (std::size_t i = 0; i < calculated.size(); ++i) local[calculated[i]] = static_cast<int>(i);
    for (const ExcessParameter& parameter : phase.excess_gibbs) {
        if (parameter.groups.size() != 1 || parameter.expressions.empty()) continue;
        ExcessTerm term;
        bool complete = true;
        for (const SpeciesTerm& species : parameter.groups[0]) {
            const int index =
                species.species >= 0 && species.species < static_cast<int>(local.size())
                    ? local[species.species]
                    : -1;
            if (index < 0) {
                complete = false;
                break;
            }
            term.species.push_back(index);
            term.powers.push_back(species.power > 0 ? species.power : 1);
        }
        if (!complete || term.species.empty()) continue;
        for (const auto& values : parameter.expressions) {
            std::array<double, 8> e{};
            for (std::size_t k = 0; k < e.size() && k < values.size(); ++k) e[k] = values[k];
            term.expressions.push_back(e);
        }
        if (term.species.size() == 2) {
            term.form = ExcessTerm::Form::binary;
        } else if (term.species.size() == 3) {
            term.form = ExcessTerm::Form::ternary;
            if (term.expressions.size() > 3) term.expressions.resize(3);
        } else {
            term.expressions.resize(1);
        }
        model.terms_.push_back(std::move(term));
    }
    model.index_support();
    return model;
}

ExcessModel ExcessModel::restricted(const std::vector<int>& keep) const {
    ExcessModel model;
    for (const ExcessTerm& term : terms_) {
        ExcessTerm copy = term;
        bool complete = true;
        for (int& species : copy.species) {
            const auto found = std::find(keep.begin(), keep.end(), species);
            if (found == keep.end()) {
                complete = false;
                break;
            }
            species = static_cast<int>(found - keep.begin());
        }
        if (complete) model.terms_.push_back(std::move(copy));
    }
    model.index_support();
    model.prepared_ = prepared_;
    model.prepared_temperature_ = prepared_temperature_;
    model.prepared_pressure_ = prepared_pressure_;
    return model;
}

void ExcessModel::index_support() {
    support_.clear();
    for (const ExcessTerm& term : terms_)
        support_.insert(support_.end(), term.species.begin(), term.species.end());
    std::sort(support_.begin(), support_.end());
    support_.erase(std::unique(support_.begin(), support_.end()), support_.end());
    for (ExcessTerm& term : terms_) {
        term.on_support.resize(term.species.size());
        for (std::size_t i = 0; i < term.species.size(); ++i)
            term.on_support[i] = static_cast<int>(
                std::lower_bound(support_.begin(), support_.end(), term.species[i]) -
                support_.begin());
    }
}

void ExcessModel::prepare(double temperature, double pressure_bar) {
    for (ExcessTerm& term : terms_) {
        term.prepared.resize(term.expressions.size());
        for (std::size_t v = 0; v < term.expressions.size(); ++v)
            term.prepared[v] =
                coefficient(term.expressions[v], temperature, pressure_bar, ExcessDerivative::none);
    }
    prepared_ = true;
    prepared_temperature_ = temperature;
    prepared_pressure_ = pressure_bar;
}

namespace {

// Terms of up to this many species keep their work on the stack.
constexpr int inline_species = 8;

// One term's G_ex at the fractions x, read at x[index[i]] for the term's species i, with L_v
// from l(v); adds the gradient and the Hessian at those indices.
template <class Coefficient>
double add_term(const ExcessTerm& term, const std::vector<int>& index, const Eigen::VectorXd& x,
                Coefficient l, Eigen::VectorXd* gradient, Eigen::MatrixXd* hessian) {
    const int k = static_cast<int>(index.size());
    if (term.form == ExcessTerm::Form::binary) {
        // x_a^p x_b^q sum L_v (x_a - x_b)^v: S and its first two derivatives in u by Horner's
        // rule, then the product rule written out.
        const int a = index[0], b = index[1];
        const int pa = term.powers[0], pb = term.powers[1];
        const double xa = x[a], xb = x[b], u = xa - xb;
        double s = 0.0, s1 = 0.0, s2 = 0.0;
        for (int v = static_cast<int>(term.expressions.size()) - 1; v >= 0; --v) {
            s2 = s2 * u + 2.0 * s1;
            s1 = s1 * u + s;
            s = s * u + l(v);
        }
        const double fa = pa == 1 ? xa : power(xa, pa), fb = pb == 1 ? xb : power(xb, pb);
        const double dfa = pa == 1 ? 1.0 : pa * power(xa, pa - 1);
        const double dfb = pb == 1 ? 1.0 : pb * power(xb, pb - 1);
        const double product = fa * fb;
        const double dpa = dfa * fb, dpb = fa * dfb;
        if (gradient) {
            (*gradient)[a] += s * dpa + product * s1;
            (*gradient)[b] += s * dpb - product * s1;
        }
        if (hessian) {
            const double d2fa = pa >= 2 ? pa * (pa - 1) * power(xa, pa - 2) : 0.0;
            const double d2fb = pb >= 2 ? pb * (pb - 1) * power(xb, pb - 2) : 0.0;
            (*hessian)(a, a) += s * d2fa * fb + 2.0 * dpa * s1 + product * s2;
            (*hessian)(b, b) += s * fa * d2fb - 2.0 * dpb * s1 + product * s2;
            const double ab = s * dfa * dfb + (dpb - dpa) * s1 - product * s2;
            (*hessian)(a, b) += ab;
            (*hessian)(b, a) += ab;
        }
        return product * s;
    }
    if (term.form == ExcessTerm::Form::ternary && term.powers[0] == 1 && term.powers[1] == 1 &&
        term.powers[2] == 1) {
        // x_a x_b x_c sum L_m nu_m (or L_0 alone): S is linear in the fractions, so its
        // gradient is constant and its Hessian zero.
        const int count = static_cast<int>(term.expressions.size());
        const double xs[3] = {x[index[0]], x[index[1]], x[index[2]]};
        double s = 0.0;
        double ds[3] = {0.0, 0.0, 0.0};
        if (count == 1) {
            s = l(0);
        } else {
            const double rest = (1.0 - xs[0] - xs[1] - xs[2]) / 3.0;
            double sum = 0.0;
            for (int m = 0; m < count; ++m) {
                const double lm = l(m);
                s += lm * (xs[m] + rest);
                ds[m] += lm;
                sum += lm;
            }
            for (double& d : ds) d -= sum / 3.0;
        }
        const double dp[3] = {xs[1] * xs[2], xs[0] * xs[2], xs[0] * xs[1]};
        const double product = xs[0] * dp[0];
        if (gradient)
            for (int i = 0; i < 3; ++i) (*gradient)[index[i]] += s * dp[i] + product * ds[i];
        if (hessian)
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) {
                    // d2P / dx_i dx_j: the third fraction (0 on the diagonal).
                    const double hp = i == j ? 0.0 : xs[3 - i - j];
                    (*hessian)(index[i], index[j]) += s * hp + dp[i] * ds[j] + ds[i] * dp[j];
                }
        return product * s;
    }
    double inline_work[4 * inline_species];
    std::vector<double> large_work;
    double* work = inline_work;
    if (k > inline_species) {
        large_work.resize(4 * static_cast<std::size_t>(k));
        work = large_work.data();
    }
    // The product P = prod x_i^p_i: its factors f_i = x_i^p_i and their slopes.
    double* f = work;
    double* df = work + k;
    double* dp = work + 2 * k;  // dP / dx_i
    double* ds = work + 3 * k;  // dS / dx_i
    double product = 1.0;
    for (int i = 0; i < k; ++i) {
        const double xi = x[index[i]];
        const int pi = term.powers[i];
        f[i] = power(xi, pi);
        df[i] = pi * power(xi, pi - 1);
        product *= f[i];
        ds[i] = 0.0;
    }
    const bool slopes = gradient || hessian;
    if (slopes)
        for (int i = 0; i < k; ++i) {
            double others = 1.0;
            for (int j = 0; j < k; ++j)
                if (j != i) others *= f[j];
            dp[i] = df[i] * others;
        }
    // The composition factor S with its gradient (linear in the fractions: no Hessian).
    double s = 0.0;
    const int count = static_cast<int>(term.expressions.size());
    switch (term.form) {
        case ExcessTerm::Form::binary:  // written out above
            break;
        case ExcessTerm::Form::ternary: {
            if (count == 1) {
                s = l(0);
                break;
            }
            const double rest = (1.0 - x[index[0]] - x[index[1]] - x[index[2]]) / 3.0;
            for (int m = 0; m < count; ++m) {
                const double lm = l(m);
                s += lm * (x[index[m]] + rest);
                for (int j = 0; j < 3; ++j) ds[j] += lm * ((j == m ? 1.0 : 0.0) - 1.0 / 3.0);
            }
            break;
        }
        case ExcessTerm::Form::product:
            s = l(0);
            break;
    }
    if (gradient)
        for (int i = 0; i < k; ++i) (*gradient)[index[i]] += s * dp[i] + product * ds[i];
    if (hessian) {
        for (int i = 0; i < k; ++i)
            for (int j = 0; j < k; ++j) {
                // d2P / dx_i dx_j: the other factors times the two slopes (or the curvature).
                double rest = 1.0;
                for (int o = 0; o < k; ++o)
                    if (o != i && o != j) rest *= f[o];
                const int pi = term.powers[i];
                const double hp =
                    i == j ? (pi >= 2 ? pi * (pi - 1) * power(x[index[i]], pi - 2) : 0.0) * rest
                           : df[i] * df[j] * rest;
                (*hessian)(index[i], index[j]) += s * hp + dp[i] * ds[j] + ds[i] * dp[j];
            }
    }
    return product * s;
}

}  // namespace

double ExcessModel::evaluate(const Eigen::VectorXd& x, double temperature, double pressure_bar,
                             ExcessDerivative derivative, Eigen::VectorXd* gradient,
                             Eigen::MatrixXd* hessian) const {
    const bool at_prepared = prepared_ && derivative == ExcessDerivative::none &&
                             temperature == prepared_temperature_ &&
                             pressure_bar == prepared_pressure_;
    double total = 0.0;
    for (const ExcessTerm& term : terms_) {
        if (at_prepared) {
            total += add_term(
                term, term.species, x, [&](int v) { return term.prepared[v]; }, gradient, hessian);
        } else {
            total += add_term(
                term, term.species, x,
                [&](int v) {
                    return coefficient(term.expressions[v], temperature, pressure_bar, derivative);
                },
                gradient, hessian);
        }
    }
    return total;
}

double ExcessModel::evaluate_on_support(const Eigen::VectorXd& xs, Eigen::VectorXd* gradient,
                                        Eigen::MatrixXd* hessian) const {
    if (!prepared_) return std::numeric_limits<double>::quiet_NaN();
    double total = 0.0;
    for (const ExcessTerm& term : terms_)
        total += add_term(
            term, term.on_support, xs, [&](int v) { return term.prepared[v]; }, gradient, hessian);
    return total;
}

Eigen::VectorXd partial_molar(double value, const Eigen::VectorXd& gradient,
                              const Eigen::VectorXd& x) {
    const double weighted = x.dot(gradient);
    return (gradient.array() + (value - weighted)).matrix();
}

}  // namespace eqx::equilibrium
