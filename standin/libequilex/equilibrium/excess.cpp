#include "equilibrium/excess.hpp"

#include <algorithm>
#include <cmath>

namespace eqx::equilibrium {

namespace {

bool has_excess_model(const Phase& phase) {
    return phase.sublattices.empty() && (phase.model == "RKMP" || phase.model == "QKTO");
}

// L and its temperature derivatives from one expression.
double coefficient(const std::array<double, 8>& e, double t, double p,
                   TemperatureDerivative derivative) {
    switch (derivative) {
        case TemperatureDerivative::none:
            return e[0] + e[1] * t + e[2] * t * std::log(t) + e[3] * t * t + e[4] * t * t * t +
                   e[5] / t + e[6] * p + e[7] * p * p;
        case TemperatureDerivative::first:
            return e[1] + e[2] * (std::log(t) + 1.0) + 2.0 * e[3] * t + 3.0 * e[4] * t * t -
                   e[5] / (t * t);
        case TemperatureDerivative::second:
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
    return model;
}

double ExcessModel::evaluate(const Eigen::VectorXd& x, double temperature, double pressure_bar,
                             TemperatureDerivative derivative, Eigen::VectorXd* gradient,
                             Eigen::MatrixXd* hessian) const {
    double total = 0.0;
    for (const ExcessTerm& term : terms_) {
        const int k = static_cast<int>(term.species.size());
        // The product P = prod x_i^p_i with its gradient and Hessian over the term's species.
        Eigen::VectorXd xs(k);
        for (int i = 0; i < k; ++i) xs[i] = x[term.species[i]];
        double product = 1.0;
        for (int i = 0; i < k; ++i) product *= power(xs[i], term.powers[i]);
        Eigen::VectorXd dp = Eigen::VectorXd::Zero(k);
        Eigen::MatrixXd hp = Eigen::MatrixXd::Zero(k, k);
        for (int i = 0; i < k; ++i) {
            double others = 1.0;
            for (int j = 0; j < k; ++j)
                if (j != i) others *= power(xs[j], term.powers[j]);
            const int pi = term.powers[i];
            dp[i] = pi * power(xs[i], pi - 1) * others;
            hp(i, i) = pi >= 2 ? pi * (pi - 1) * power(xs[i], pi - 2) * others : 0.0;
            for (int j = 0; j < k; ++j) {
                if (j == i) continue;
                double rest = 1.0;
                for (int l = 0; l < k; ++l)
                    if (l != i && l != j) rest *= power(xs[l], term.powers[l]);
                const int pj = term.powers[j];
                hp(i, j) = pi * pj * power(xs[i], pi - 1) * power(xs[j], pj - 1) * rest;
            }
        }
        // The composition factor S with its gradient and Hessian.
        double s = 0.0;
        Eigen::VectorXd ds = Eigen::VectorXd::Zero(k);
        Eigen::MatrixXd hs = Eigen::MatrixXd::Zero(k, k);
        const int count = static_cast<int>(term.expressions.size());
        switch (term.form) {
            case ExcessTerm::Form::binary: {
                const double u = xs[0] - xs[1];
                double s1 = 0.0, s2 = 0.0;
                for (int v = 0; v < count; ++v) {
                    const double l =
                        coefficient(term.expressions[v], temperature, pressure_bar, derivative);
                    s += l * power(u, v);
                    if (v >= 1) s1 += l * v * power(u, v - 1);
                    if (v >= 2) s2 += l * v * (v - 1) * power(u, v - 2);
                }
                ds[0] = s1;
                ds[1] = -s1;
                hs(0, 0) = hs(1, 1) = s2;
                hs(0, 1) = hs(1, 0) = -s2;
                break;
            }
            case ExcessTerm::Form::ternary: {
                if (count == 1) {
                    s = coefficient(term.expressions[0], temperature, pressure_bar, derivative);
                    break;
                }
                const double rest = (1.0 - xs[0] - xs[1] - xs[2]) / 3.0;
                for (int m = 0; m < count; ++m) {
                    const double l =
                        coefficient(term.expressions[m], temperature, pressure_bar, derivative);
                    s += l * (xs[m] + rest);
                    for (int j = 0; j < 3; ++j) ds[j] += l * ((j == m ? 1.0 : 0.0) - 1.0 / 3.0);
                }
                break;
            }
            case ExcessTerm::Form::product:
                s = coefficient(term.expressions[0], temperature, pressure_bar, derivative);
                break;
        }
        total += product * s;
        if (gradient) {
            for (int i = 0; i < k; ++i) (*gradient)[term.species[i]] += s * dp[i] + product * ds[i];
        }
        if (hessian) {
            for (int i = 0; i < k; ++i)
                for (int j = 0; j < k; ++j)
                    (*hessian)(term.species[i], term.species[j]) +=
                        s * hp(i, j) + dp[i] * ds[j] + ds[i] * dp[j] + product * hs(i, j);
        }
    }
    return total;
}

Eigen::VectorXd partial_molar(double value, const Eigen::VectorXd& gradient,
                              const Eigen::VectorXd& x) {
    const double weighted = x.dot(gradient);
    return (gradient.array() + (value - weighted)).matrix();
}

}  // namespace eqx::equilibrium
