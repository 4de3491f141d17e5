#include "thermo.hpp"

#include <cmath>
#include <limits>

namespace eqx::thermo {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// coefficient * factor, where a term that is absent (coefficient 0) adds nothing even where its
// factor overflows: 0 * inf would make a finite function NaN far from 298.15 K.
double term(double coefficient, double factor) {
    return coefficient == 0.0 ? 0.0 : coefficient * factor;
}

double range_cp(const CpRange& range, double t) {
    double cp = range.a + term(range.b, t) + term(range.c, t * t) + term(range.d, 1 / (t * t));
    for (const PowerTerm& extra : range.extra_terms)
        cp += term(extra.coefficient, std::pow(t, extra.power));
    return cp;
}

// Integral of Cp dT from t1 to t2 within one range.
double range_enthalpy(const CpRange& range, double t1, double t2) {
    double h = term(range.a, t2 - t1) + term(range.b / 2, t2 * t2 - t1 * t1) +
               term(range.c / 3, t2 * t2 * t2 - t1 * t1 * t1) - term(range.d, 1 / t2 - 1 / t1);
    for (const PowerTerm& extra : range.extra_terms) {
        double p = extra.power + 1;
        if (p == 0)
            h += term(extra.coefficient, std::log(t2 / t1));
        else
            h += term(extra.coefficient, (std::pow(t2, p) - std::pow(t1, p)) / p);
    }
    return h;
}

// Integral of Cp/T dT from t1 to t2 within one range.
double range_entropy(const CpRange& range, double t1, double t2) {
    double s = term(range.a, std::log(t2 / t1)) + term(range.b, t2 - t1) +
               term(range.c / 2, t2 * t2 - t1 * t1) -
               term(range.d / 2, 1 / (t2 * t2) - 1 / (t1 * t1));
    for (const PowerTerm& extra : range.extra_terms) {
        double p = extra.power;
        if (p == 0)
            s += term(extra.coefficient, std::log(t2 / t1));
        else
            s += term(extra.coefficient, (std::pow(t2, p) - std::pow(t1, p)) / p);
    }
    return s;
}

}  // namespace

StandardFunctions standard_functions(const Constituent& constituent, double temperature) {
    StandardFunctions result;
    const auto& ranges = constituent.cp_ranges;
    if (!(temperature > 0) || !std::isfinite(temperature) || ranges.empty())
        return {nan, nan, nan, nan};
    double h = constituent.h298;
    double s = constituent.s298;
    double lower = reference_temperature;
    std::size_t r = 0;
    // Whole ranges below the temperature, each followed by its transformation.
    while (r + 1 < ranges.size() && temperature > ranges[r].upper_temperature) {
        double upper = ranges[r].upper_temperature;
        h += range_enthalpy(ranges[r], lower, upper) + ranges[r].transformation_enthalpy;
        s += range_entropy(ranges[r], lower, upper) + ranges[r].transformation_enthalpy / upper;
        lower = upper;
        ++r;
    }
    h += range_enthalpy(ranges[r], lower, temperature);
    s += range_entropy(ranges[r], lower, temperature);
    result.cp = range_cp(ranges[r], temperature);
    result.h = h;
    result.s = s;
    result.g = h - temperature * s;
    return result;
}

double heat_capacity(const Constituent& c, double t) {
    return standard_functions(c, t).cp;
}
double enthalpy(const Constituent& c, double t) {
    return standard_functions(c, t).h;
}
double entropy(const Constituent& c, double t) {
    return standard_functions(c, t).s;
}
double gibbs_energy(const Constituent& c, double t) {
    return standard_functions(c, t).g;
}

double upper_temperature(const Constituent& constituent) {
    if (constituent.cp_ranges.empty()) return nan;
    return constituent.cp_ranges.back().upper_temperature;
}

namespace {

// Integral of alpha dT from 298.15 K to t.
double expansion_integral(const MolarVolumeData& data, double t) {
    const double t0 = reference_temperature;
    const double* e = data.expansion;
    return term(e[0], t - t0) + term(e[1] / 2, t * t - t0 * t0) + term(e[2], std::log(t / t0)) -
           term(e[3], 1 / t - 1 / t0);
}

double compressibility(const MolarVolumeData& data, double t) {
    const double* k = data.compressibility;
    return k[0] + term(k[1], t) + term(k[2], t * t) + term(k[3], t * t * t);
}

}  // namespace

double molar_volume(const Constituent& constituent, double molar_mass, double temperature,
                    double pressure) {
    if (!constituent.molar_volume) return 0.0;
    if (!(temperature > 0)) return nan;
    const MolarVolumeData& data = *constituent.molar_volume;
    double v298 = molar_mass / data.density;
    double vt = v298 * std::exp(expansion_integral(data, temperature));
    return vt * (1 - term(compressibility(data, temperature), pressure - reference_pressure));
}

double pressure_gibbs_term(const Constituent& constituent, double molar_mass, double temperature,
                           double pressure) {
    if (!constituent.molar_volume) return 0.0;
    if (!(temperature > 0)) return nan;
    const MolarVolumeData& data = *constituent.molar_volume;
    double vt = molar_mass / data.density * std::exp(expansion_integral(data, temperature));
    double dp = pressure - reference_pressure;
    double kappa = compressibility(data, temperature);
    // cm3 bar -> J: 0.1
    return 0.1 * vt * (dp - term(kappa, dp * dp / 2));
}

namespace {

// -T d2/dT2 of pressure_gibbs_term, from its closed form 0.1 v(T) (dp - kappa(T) dp^2 / 2) with
// v(T) = v298 exp(E(T)): v'' = v (E'' + E'^2), the pressure factor's derivatives from kappa's.
double pressure_heat_capacity_term(const Constituent& constituent, double molar_mass,
                                   double temperature, double pressure) {
    if (!constituent.molar_volume) return 0.0;
    const MolarVolumeData& data = *constituent.molar_volume;
    const double t = temperature;
    const double* e = data.expansion;
    const double* k = data.compressibility;
    const double v = molar_mass / data.density * std::exp(expansion_integral(data, t));
    const double alpha = e[0] + term(e[1], t) + term(e[2], 1 / t) + term(e[3], 1 / (t * t));
    const double alpha_t = term(e[1], 1.0) - term(e[2], 1 / (t * t)) - term(e[3], 2 / (t * t * t));
    const double kappa_t = term(k[1], 1.0) + term(k[2], 2 * t) + term(k[3], 3 * t * t);
    const double kappa_tt = term(k[2], 2.0) + term(k[3], 6 * t);
    const double dp = pressure - reference_pressure;
    const double half_dp2 = dp * dp / 2;
    const double factor = dp - term(compressibility(data, t), half_dp2);
    const double factor_t = -term(kappa_t, half_dp2);
    const double factor_tt = -term(kappa_tt, half_dp2);
    const double v_t = v * alpha;
    const double v_tt = v * (alpha_t + alpha * alpha);
    return -t * 0.1 * (v_tt * factor + 2 * v_t * factor_t + v * factor_tt);
}

constexpr double gas_constant = 8.3144621;  // J/(mol K), the value every calculation uses

// The ordering polynomial f(tau) and its first two derivatives.
struct Ordering {
    double f = 0.0;
    double df = 0.0;
    double d2f = 0.0;
};

Ordering ordering(double tau, double p) {
    const double denominator = 518.0 / 1125.0 + 11692.0 / 15975.0 * (1.0 / p - 1.0);
    Ordering o;
    if (tau <= 1.0) {
        const double a = 79.0 / (140.0 * p);
        const double b = 474.0 / 497.0 * (1.0 / p - 1.0);
        const double t3 = tau * tau * tau;
        const double t9 = t3 * t3 * t3;
        const double t15 = t9 * t3 * t3;
        o.f = 1.0 - (a / tau + b * (t3 / 6.0 + t9 / 135.0 + t15 / 600.0)) / denominator;
        o.df = -(-a / (tau * tau) + b * (t3 / tau / 2.0 + t9 / tau / 15.0 + t15 / tau / 40.0)) /
               denominator;
        o.d2f =
            -(2.0 * a / (tau * tau * tau) + b * (t3 / (tau * tau) + 8.0 * t9 / (tau * tau) / 15.0 +
                                                 14.0 * t15 / (tau * tau) / 40.0)) /
            denominator;
    } else {
        const double t5 = std::pow(tau, -5.0);
        const double t15 = t5 * t5 * t5;
        const double t25 = t15 * t5 * t5;
        o.f = -(t5 / 10.0 + t15 / 315.0 + t25 / 1500.0) / denominator;
        o.df =
            -(-t5 / tau / 2.0 - 15.0 * t15 / tau / 315.0 - 25.0 * t25 / tau / 1500.0) / denominator;
        o.d2f = -(3.0 * t5 / (tau * tau) + 240.0 * t15 / (tau * tau) / 315.0 +
                  650.0 * t25 / (tau * tau) / 1500.0) /
                denominator;
    }
    return o;
}

}  // namespace

StandardFunctions magnetic_functions(const MagneticData& data, double structure_factor,
                                     double temperature) {
    StandardFunctions result;
    const double p = structure_factor;
    if (!(p > 0.0 && p < 1.0) || !(temperature > 0.0)) return result;
    const double antiferromagnetic = p == 0.4 ? -1.0 : -3.0;
    double tc = data.critical_temperature;
    double beta = data.moment;
    if (tc < 0.0) tc /= antiferromagnetic;
    if (beta < 0.0) beta /= antiferromagnetic;
    if (!(tc > 0.0) || !(beta > 0.0)) return result;
    const double tau = temperature / tc;
    const Ordering o = ordering(tau, p);
    const double r = gas_constant * std::log(beta + 1.0);
    result.g = r * temperature * o.f;
    result.s = -r * (o.f + tau * o.df);
    result.h = result.g + temperature * result.s;  // -R T ln(beta + 1) tau f'
    result.cp = -r * tau * (2.0 * o.df + tau * o.d2f);
    return result;
}

StandardFunctions constituent_functions(const System& system, const Phase& phase,
                                        const Constituent& constituent, double temperature,
                                        double pressure) {
    StandardFunctions result = standard_functions(constituent, temperature);
    if (!phase.gas && constituent.molar_volume) {
        // The entropy of the pressure term by a central difference; its enthalpy then follows
        // from g = h - T s, so the three stay consistent whatever the data.
        const double mass = constituent_molar_mass(system, constituent);
        const double step = 1e-4 * temperature;
        const double g_p = pressure_gibbs_term(constituent, mass, temperature, pressure);
        const double s_p = -(pressure_gibbs_term(constituent, mass, temperature + step, pressure) -
                             pressure_gibbs_term(constituent, mass, temperature - step, pressure)) /
                           (2.0 * step);
        result.g += g_p;
        result.s += s_p;
        result.h += g_p + temperature * s_p;
        result.cp += pressure_heat_capacity_term(constituent, mass, temperature, pressure);
    }
    if (constituent.magnetic) {
        const StandardFunctions magnetic =
            magnetic_functions(*constituent.magnetic, phase.magnetic_structure_factor, temperature);
        result.g += magnetic.g;
        result.h += magnetic.h;
        result.s += magnetic.s;
        result.cp += magnetic.cp;
    }
    return result;
}

}  // namespace eqx::thermo
