#include "equilibrium/results.hpp"

#include <cmath>

#include "core/library.hpp"
#include "data/thermo.hpp"
#include "equilibrium/excess.hpp"
#include "equilibrium/units.hpp"

namespace eqx::equilibrium {

namespace {

constexpr double kilograms_per_gram = 1e-3;
constexpr double cubic_metres_per_cubic_centimetre = 1e-6;
constexpr double cubic_metres_per_joule_per_bar = 1e-5;  // J/bar = 1e-5 m3

double molar_mass_kg(const System& system, const Constituent& constituent) {
    return constituent_molar_mass(system, constituent) * kilograms_per_gram;
}

}  // namespace

MolarProperties molar_properties(const System& system, const Phase& phase,
                                 const std::vector<int>& constituents, const Eigen::VectorXd& x,
                                 double temperature, double pressure, bool partials) {
    MolarProperties out;
    const int m = static_cast<int>(constituents.size());
    const double p_bar = pressure / pascal_per_bar;
    const double r = gas_constant;
    const double gas_entropy = phase.gas ? -r * std::log(pressure / standard_pressure) : 0.0;
    if (partials) {
        out.pg.resize(m);
        out.ph.resize(m);
        out.ps.resize(m);
        out.pcp.resize(m);
        out.pv.resize(m);
    }
    for (int j = 0; j < m; ++j) {
        const Constituent& constituent = phase.constituents[constituents[j]];
        const thermo::StandardFunctions f =
            thermo::constituent_functions(system, phase, constituent, temperature, p_bar);
        const double v = phase.gas ? r * temperature / pressure
                                   : thermo::molar_volume(
                                         constituent, constituent_molar_mass(system, constituent),
                                         temperature, p_bar) *
                                         cubic_metres_per_cubic_centimetre;
        const double mixing = m > 1 ? -r * std::log(std::max(x[j], 1e-300)) : 0.0;
        const double s = f.s + mixing + gas_entropy;
        out.h += x[j] * f.h;
        out.s += x[j] * s;
        out.cp += x[j] * f.cp;
        out.v += x[j] * v;
        if (partials) {
            out.ph[j] = f.h;
            out.ps[j] = s;
            out.pcp[j] = f.cp;
            out.pv[j] = v;
        }
    }
    const ExcessModel excess = ExcessModel::build(phase, constituents);
    if (!excess.empty()) {
        Eigen::VectorXd g0 = Eigen::VectorXd::Zero(m), g1 = g0, g2 = g0, gv = g0;
        const double ex0 =
            excess.evaluate(x, temperature, p_bar, ExcessDerivative::none, &g0, nullptr);
        const double ex1 =
            excess.evaluate(x, temperature, p_bar, ExcessDerivative::temperature, &g1, nullptr);
        const double ex2 = excess.evaluate(x, temperature, p_bar,
                                           ExcessDerivative::temperature_second, &g2, nullptr);
        const double exv =
            excess.evaluate(x, temperature, p_bar, ExcessDerivative::pressure, &gv, nullptr);
        // S_ex = -dG_ex/dT, H_ex = G_ex + T S_ex, Cp_ex = -T d2G_ex/dT2, V_ex = dG_ex/dP.
        out.s += -ex1;
        out.h += ex0 - temperature * ex1;
        out.cp += -temperature * ex2;
        out.v += exv * cubic_metres_per_joule_per_bar;
        if (partials) {
            const Eigen::VectorXd p0 = partial_molar(ex0, g0, x);
            const Eigen::VectorXd p1 = partial_molar(ex1, g1, x);
            const Eigen::VectorXd p2 = partial_molar(ex2, g2, x);
            const Eigen::VectorXd pv = partial_molar(exv, gv, x);
            out.ps -= p1;
            out.ph += p0 - temperature * p1;
            out.pcp -= temperature * p2;
            out.pv += pv * cubic_metres_per_joule_per_bar;
        }
    }
    out.g = out.h - temperature * out.s;
    if (partials) out.pg = out.ph - temperature * out.ps;
    return out;
}

StreamProperties stream_properties(const System& system, const Stream& stream) {
    StreamProperties sums;
    std::vector<std::vector<int>> constituents(system.phases.size());
    std::vector<std::vector<double>> moles(system.phases.size());
    for (const StreamAmount& amount : stream.amounts) {
        const Phase& phase = system.phases[amount.phase];
        if (phase.constituents[amount.constituent].status == Status::eliminated ||
            phase.status == Status::eliminated)
            sums.eliminated = true;
        if (amount.moles <= 0.0) continue;
        constituents[amount.phase].push_back(amount.constituent);
        moles[amount.phase].push_back(amount.moles);
        sums.moles += amount.moles;
        sums.mass += amount.moles * molar_mass_kg(system, phase.constituents[amount.constituent]);
    }
    for (std::size_t i = 0; i < system.phases.size(); ++i) {
        if (constituents[i].empty()) continue;
        const Eigen::VectorXd n = Eigen::Map<const Eigen::VectorXd>(
            moles[i].data(), static_cast<Eigen::Index>(moles[i].size()));
        const double total = n.sum();
        const MolarProperties molar =
            molar_properties(system, system.phases[i], constituents[i], n / total,
                             stream.temperature, stream.pressure, false);
        sums.g += total * molar.g;
        sums.h += total * molar.h;
        sums.s += total * molar.s;
        sums.cp += total * molar.cp;
        sums.v += total * molar.v;
    }
    return sums;
}

Result make_result(const System& system, const CalculatedSystem& calculated,
                   const Equilibrium& equilibrium, const Input& input,
                   const std::vector<Stream>& streams) {
    Result result;
    const double t = calculated.temperature;
    const double p = calculated.pressure;
    const double rt = calculated.rt();
    const int k = calculated.components;
    result.temperature = t;
    result.pressure = p;
    result.potentials = equilibrium.zeta * rt;
    result.equilibrium = equilibrium;
    result.component_masses.resize(k);
    for (int c = 0; c < k; ++c)
        result.component_masses[c] = system.components[c].molar_mass * kilograms_per_gram;

    // What came in: the input, and what the held potentials supplied.
    result.incoming = input.components;
    result.constituent_inputs = input.constituents;
    for (std::size_t r = 0; r < input.potentials.size(); ++r) {
        const double supplied = r < static_cast<std::size_t>(equilibrium.supplies.size())
                                    ? equilibrium.supplies[static_cast<int>(r)]
                                    : 0.0;
        result.incoming += supplied * input.reservoirs[r].stoichiometry;
        result.constituent_inputs.push_back(
            {input.potentials[r].phase, input.potentials[r].index, supplied});
    }

    const double p_bar = p / pascal_per_bar;
    const double ln_p = std::log(p / standard_pressure);
    result.phases.resize(system.phases.size());
    for (std::size_t i = 0; i < system.phases.size(); ++i) {
        const Phase& phase = system.phases[i];
        const CalculatedPhase& cp = calculated.phases[i];
        const PhaseOutcome& outcome = equilibrium.phases[i];
        PhaseResult& out = result.phases[i];
        out.constituents.resize(phase.constituents.size());
        for (std::size_t c = 0; c < phase.constituents.size(); ++c)
            out.constituents[c].molar_mass = molar_mass_kg(system, phase.constituents[c]);
        out.components = Eigen::VectorXd::Zero(k);
        if (cp.role == Role::absent || outcome.x.size() != cp.size()) {
            out.eliminated = true;
            continue;
        }
        out.ln_activity = outcome.ln_activity;
        out.moles = outcome.active ? outcome.amount : 0.0;
        out.present = outcome.active && outcome.amount > 0.0;
        const MolarProperties molar =
            molar_properties(system, phase, cp.constituents, outcome.x, t, p, true);
        out.gm = molar.g;
        out.hm = molar.h;
        out.sm = molar.s;
        out.cpm = molar.cp;
        out.vm = molar.v;
        out.components = cp.stoichiometry * outcome.x;
        for (int j = 0; j < cp.size(); ++j) {
            const int c = cp.constituents[j];
            ConstituentResult& constituent = out.constituents[c];
            constituent.calculated = true;
            constituent.fraction = outcome.x[j];
            constituent.moles = out.moles * outcome.x[j];
            // ln a against the potentials: gas constituents' standard state is 1 bar.
            const double mu0 = cp.g[j] - (cp.gas ? ln_p : 0.0);
            constituent.ln_activity = cp.stoichiometry.col(j).dot(equilibrium.zeta) - mu0;
            constituent.potential = constituent.ln_activity * rt;
            constituent.g = molar.pg[j];
            constituent.h = molar.ph[j];
            constituent.s = molar.ps[j];
            constituent.cp = molar.pcp[j];
            constituent.v = molar.pv[j];
            out.molar_mass += outcome.x[j] * constituent.molar_mass;
        }
        // DORMANT constituents: no share of the phase; against the potentials, as pure.
        for (std::size_t c = 0; c < phase.constituents.size(); ++c) {
            const Constituent& constituent = phase.constituents[c];
            if (constituent.status != Status::dormant) continue;
            ConstituentResult& r = out.constituents[c];
            const thermo::StandardFunctions f =
                thermo::constituent_functions(system, phase, constituent, t, p_bar);
            double ln_a = -f.g / rt;
            for (int q = 0; q < k && q < static_cast<int>(constituent.stoichiometry.size()); ++q)
                ln_a += constituent.stoichiometry[q] * equilibrium.zeta[q];
            r.calculated = true;
            r.ln_activity = ln_a;
            r.potential = ln_a * rt;
            r.g = f.g;
            r.h = f.h;
            r.s = f.s;
            r.cp = f.cp;
            r.v = phase.gas
                      ? gas_constant * t / p
                      : thermo::molar_volume(
                            constituent, constituent_molar_mass(system, constituent), t, p_bar) *
                            cubic_metres_per_cubic_centimetre;
        }
        out.mass = out.moles * out.molar_mass;
        result.g += out.moles * out.gm;
        result.h += out.moles * out.hm;
        result.s += out.moles * out.sm;
        result.cp += out.moles * out.cpm;
        result.v += out.moles * out.vm;
        result.moles += out.moles;
        result.mass += out.mass;
    }
    result.volume = result.v;

    result.streams = !streams.empty();
    for (const Stream& stream : streams) {
        const StreamProperties sums = stream_properties(system, stream);
        result.stream_constituent_eliminated =
            result.stream_constituent_eliminated || sums.eliminated;
        result.stream_g += sums.g;
        result.stream_h += sums.h;
        result.stream_s += sums.s;
        result.stream_cp += sums.cp;
        result.stream_v += sums.v;
    }
    return result;
}

namespace {

bool all_representable(const Eigen::VectorXd& values) {
    for (Eigen::Index i = 0; i < values.size(); ++i)
        if (!representable(values[i])) return false;
    return true;
}

bool all_representable(std::initializer_list<double> values) {
    for (double value : values)
        if (!representable(value)) return false;
    return true;
}

bool all_representable(const thermo::StandardFunctions& f) {
    return all_representable({f.g, f.h, f.s, f.cp});
}

}  // namespace

bool representable(const Result& r) {
    if (!all_representable({r.temperature, r.pressure, r.volume, r.g, r.h, r.s, r.cp, r.v, r.moles,
                            r.mass, r.stream_g, r.stream_h, r.stream_s, r.stream_cp, r.stream_v}) ||
        !all_representable(r.potentials) || !all_representable(r.incoming) ||
        !all_representable(r.component_masses))
        return false;
    for (const Result::ConstituentInput& input : r.constituent_inputs)
        if (!representable(input.moles)) return false;
    for (const PhaseResult& phase : r.phases) {
        if (!all_representable({phase.moles, phase.mass, phase.gm, phase.hm, phase.sm, phase.cpm,
                                phase.vm, phase.molar_mass}) ||
            !all_representable(phase.components))
            return false;
        if (!phase.eliminated && !representable(phase.ln_activity)) return false;
        for (const ConstituentResult& c : phase.constituents) {
            if (!representable(c.molar_mass)) return false;
            if (c.calculated && !all_representable({c.moles, c.fraction, c.ln_activity, c.potential,
                                                    c.g, c.h, c.s, c.cp, c.v}))
                return false;
        }
    }
    return true;
}

int state_point_error(const System& system, const Phase& phase, const Constituent& constituent,
                      double temperature, double pressure) {
    const double mass = constituent_molar_mass(system, constituent);
    auto volume = [&](double p_bar) {
        return phase.gas ? gas_constant * temperature / (p_bar * pascal_per_bar)
                         : thermo::molar_volume(constituent, mass, temperature, p_bar) *
                               cubic_metres_per_cubic_centimetre;
    };
    const double p_ref = reference_pressure;
    if (!all_representable(
            thermo::constituent_functions(system, phase, constituent, temperature, p_ref)) ||
        !representable(volume(p_ref)))
        return err::bad_temperature;
    const double p_bar = pressure / pascal_per_bar;
    if (!all_representable(
            thermo::constituent_functions(system, phase, constituent, temperature, p_bar)) ||
        !representable(volume(p_bar)))
        return err::bad_pressure;
    return 0;
}

int stream_error(const System& system, const Stream& stream) {
    for (const StreamAmount& amount : stream.amounts) {
        const Phase& phase = system.phases[amount.phase];
        const int error = state_point_error(system, phase, phase.constituents[amount.constituent],
                                            stream.temperature, stream.pressure);
        if (error != 0) return error;
    }
    return err::bad_input;
}

int calculation_error(const System& system, const CalculatedSystem& calculated,
                      const std::vector<Stream>& streams) {
    const double t = calculated.temperature;
    const double p = calculated.pressure;
    // The state itself is part of the result: a pressure of 1e298 bar (1e303 Pa) leaves every
    // function finite, and it is still the pressure that cannot be reported.
    if (!representable(t)) return err::bad_temperature;
    if (!representable(p)) return err::bad_pressure;
    for (std::size_t i = 0; i < calculated.phases.size(); ++i) {
        const CalculatedPhase& cp = calculated.phases[i];
        if (cp.role == Role::absent) continue;
        const Phase& phase = system.phases[i];
        for (const Constituent& constituent : phase.constituents) {
            if (constituent.status == Status::eliminated) continue;
            const int error = state_point_error(system, phase, constituent, t, p);
            if (error != 0) return error;
        }
        if (cp.excess.empty()) continue;
        const Eigen::VectorXd even = Eigen::VectorXd::Constant(cp.size(), 1.0 / cp.size());
        auto excess = [&](double p_bar) {
            return cp.excess.evaluate(even, t, p_bar, ExcessDerivative::none, nullptr, nullptr);
        };
        if (!representable(excess(reference_pressure))) return err::bad_temperature;
        if (!representable(excess(calculated.pressure_bar()))) return err::bad_pressure;
    }
    for (const Stream& stream : streams) {
        const StreamProperties sums = stream_properties(system, stream);
        if (!all_representable({sums.g, sums.h, sums.s, sums.cp, sums.v, sums.moles, sums.mass}))
            return stream_error(system, stream);
    }
    return err::bad_input;
}

}  // namespace eqx::equilibrium
