// TQGETR: one value of the last result, in the current units. Options and index pairs:
//   (0,0) the system, (p,0) a phase, (p,c) a constituent, (0,k) a component, and for "XP" and
//   "AP" (p,k) a component in a phase. Every value is converted from the SI result at the time
//   of the call, so a change of units shows without a new calculation.
//
// Only finite values are written. The documented exception: "MU" of an ELIMINATED phase or
// constituent (or one not calculated) is minus infinity, its "AC" 0. An activity above the
// largest double (a phase far from stable at a low temperature; its "MU" is finite) gives 606,
// any other value that has no finite form in the current units 513; the output is not written.
#include <cmath>

#include "equilex.h"
#include "equilibrium/access.hpp"

using namespace eqx;
using namespace eqx::equilibrium;

namespace {

enum class Option {
    p,
    vt,
    t,
    a,
    ia,
    mu,
    ac,
    ph,
    eh,
    cp,
    h,
    s,
    g,
    v,
    cpm,
    hm,
    sm,
    gm,
    vm,
    x,
    xp,
    ap
};

std::optional<Option> result_option(std::string_view text) {
    static constexpr std::pair<std::string_view, Option> options[] = {
        {"P", Option::p},   {"VT", Option::vt}, {"T", Option::t},     {"A", Option::a},
        {"IA", Option::ia}, {"MU", Option::mu}, {"AC", Option::ac},   {"pH", Option::ph},
        {"Eh", Option::eh}, {"CP", Option::cp}, {"H", Option::h},     {"S", Option::s},
        {"G", Option::g},   {"V", Option::v},   {"CPM", Option::cpm}, {"HM", Option::hm},
        {"SM", Option::sm}, {"GM", Option::gm}, {"VM", Option::vm},   {"X", Option::x},
        {"XP", Option::xp}, {"AP", Option::ap},
    };
    for (const auto& [name, option] : options)
        if (is_option(text, name)) return option;
    return std::nullopt;
}

bool extensive(Option o) {
    return o == Option::cp || o == Option::h || o == Option::s || o == Option::g || o == Option::v;
}
bool molar(Option o) {
    return o == Option::cpm || o == Option::hm || o == Option::sm || o == Option::gm ||
           o == Option::vm;
}

// J, J/K or m3 of an extensive option (or its molar counterpart) in the current units.
double energy_or_volume_out(const Units& units, Option o, double si) {
    return (o == Option::v || o == Option::vm) ? si / units.volume_factor()
                                               : si / units.energy_factor();
}

struct Values {
    double g, h, s, cp, v;
};

double pick(Option o, const Values& values) {
    switch (o) {
        case Option::cp:
        case Option::cpm:
            return values.cp;
        case Option::h:
        case Option::hm:
            return values.h;
        case Option::s:
        case Option::sm:
            return values.s;
        case Option::g:
        case Option::gm:
            return values.g;
        default:
            return values.v;
    }
}

int component_named(const System& system, std::string_view name) {
    for (std::size_t k = 0; k < system.components.size(); ++k)
        if (is_option(system.components[k].name, name)) return static_cast<int>(k);
    return -1;
}

// pH and Eh need components named "H" and "EA", an aqueous phase with the constituent "H+"
// and a gas phase with "H2". pH = -log10 a(H+); Eh = -(mu(EA) - mu(EA, standard hydrogen
// electrode)) / F with mu(EA, SHE) = mu0(H2, g) / 2 - mu0(H+). Nothing else is calculated.
std::optional<double> acidity(const System& system, const Result& result, bool eh) {
    const int h = component_named(system, "H");
    const int ea = component_named(system, "EA");
    if (h < 0 || ea < 0) return std::nullopt;
    const ConstituentResult* proton = nullptr;
    const ConstituentResult* hydrogen = nullptr;
    for (std::size_t p = 0; p < system.phases.size(); ++p) {
        const Phase& phase = system.phases[p];
        for (std::size_t c = 0; c < phase.constituents.size(); ++c) {
            const ConstituentResult& r = result.phases[p].constituents[c];
            if (!r.calculated) continue;
            if (phase.aqueous && is_option(phase.constituents[c].name, "H+")) proton = &r;
            if (phase.gas && is_option(phase.constituents[c].name, "H2")) hydrogen = &r;
        }
    }
    if (!proton || !hydrogen || !std::isfinite(proton->ln_activity)) return std::nullopt;
    if (!eh) return -proton->ln_activity / std::log(10.0);
    const double rt = gas_constant * result.temperature;
    const double mu0_proton = proton->g - proton->ln_activity * rt;
    const double mu0_hydrogen = hydrogen->g - hydrogen->ln_activity * rt;
    const double she = mu0_hydrogen / 2.0 - mu0_proton;
    return -(result.potentials[ea] - she) / faraday_constant;
}

}  // namespace

extern "C" {

EQX_API void TQGETR(const char* option, std::int32_t option_len, const std::int32_t* phase_ptr,
                    const std::int32_t* index_ptr, double* value, std::int32_t* error) {
    const LibraryLock lock;
    with_calculation(error, [&](System& system, CalculationState& state) {
        const std::optional<Option> chosen = result_option(text_in(option, option_len));
        if (!chosen) return fail(error, err::bad_option);
        const Option o = *chosen;
        const std::int32_t phase = value_of(phase_ptr);
        const std::int32_t index = value_of(index_ptr);
        const int phases = static_cast<int>(system.phases.size());
        const int components = static_cast<int>(system.components.size());
        if (phase < 0 || phase > phases) return fail(error, err::phase_index);
        const bool component_index_option = o == Option::xp || o == Option::ap;
        if (phase == 0 || component_index_option) {
            if (index < 0 || index > components) return fail(error, err::component_index);
        } else if (index < 0 || index > static_cast<std::int32_t>(
                                            system.phases[phase - 1].constituents.size())) {
            return fail(error, err::constituent_index);
        }
        if (o == Option::ph || o == Option::eh) {
            const std::optional<double> found =
                state.result ? acidity(system, *state.result, o == Option::eh) : std::nullopt;
            if (!found) {
                put(value, 0.0);
                return fail(error, err::no_ph_eh);
            }
            put(value, *found);
            return ok(error);
        }
        if (!state.result) return fail(error, err::no_result);
        const Result& r = *state.result;
        const Units& u = state.units;
        const int p = phase - 1;
        const int k = index - 1;
        const bool is_system = phase == 0 && index == 0;
        const bool is_component = phase == 0 && index > 0;
        const bool is_phase = phase > 0 && index == 0;
        const double rt = gas_constant * r.temperature;
        double out = 0.0;
        switch (o) {
            case Option::p:
                out = r.pressure / u.pressure_factor();
                break;
            case Option::vt:
                out = r.volume / u.volume_factor();
                break;
            case Option::t:
                out = u.temperature_out(r.temperature);
                break;
            case Option::a:
                if (is_system) {
                    out = u.mass_amounts() ? r.mass / u.mass_unit_factor() : r.moles;
                } else if (is_component) {
                    out = u.amount_out(r.incoming[k], r.component_masses[k]);
                } else if (is_phase) {
                    const PhaseResult& pr = r.phases[p];
                    out = u.mass_amounts() ? pr.mass / u.mass_unit_factor() : pr.moles;
                } else {
                    const ConstituentResult& c = r.phases[p].constituents[k];
                    out = u.amount_out(c.moles, c.molar_mass);
                }
                break;
            case Option::ia:
                if (is_system || is_phase) return fail(error, err::no_incoming_result);
                if (is_component) {
                    out = u.amount_out(r.incoming[k], r.component_masses[k]);
                } else {
                    double moles = 0.0;
                    for (const auto& input : r.constituent_inputs)
                        if (input.phase == p && input.constituent == k) moles += input.moles;
                    out = u.amount_out(moles, r.phases[p].constituents[k].molar_mass);
                }
                break;
            case Option::mu:
            case Option::ac: {
                if (is_system) return fail(error, err::no_system_activity);
                double ln_a = 0.0;
                bool gas_constituent = false;
                if (is_component) {
                    ln_a = r.potentials[k] / rt;
                } else if (is_phase) {
                    ln_a = r.phases[p].ln_activity;
                } else {
                    ln_a = r.phases[p].constituents[k].ln_activity;
                    gas_constituent = system.phases[p].gas;
                }
                if (o == Option::mu) {
                    out = (is_component ? r.potentials[k] : ln_a * rt) / u.energy_factor();
                } else {
                    out = std::exp(ln_a);
                    if (gas_constituent) out *= standard_pressure / u.pressure_factor();
                }
                break;
            }
            case Option::x: {
                if (!is_component) return fail(error, err::no_fraction);
                Eigen::VectorXd weights = r.incoming;
                if (u.mass_amounts()) weights = weights.cwiseProduct(r.component_masses);
                const double total = weights.sum();
                if (total == 0.0) return fail(error, err::no_fraction);
                out = weights[k] / total;
                break;
            }
            case Option::xp:
            case Option::ap: {
                if (phase <= 0) return fail(error, err::fraction_of_no_phase);
                if (index == 0) return fail(error, err::component_index);
                const PhaseResult& pr = r.phases[p];
                if (o == Option::ap) {
                    out = u.amount_out(pr.moles * pr.components[k], r.component_masses[k]);
                    break;
                }
                Eigen::VectorXd weights = pr.components;
                if (u.mass_amounts()) weights = weights.cwiseProduct(r.component_masses);
                const double total = weights.sum();
                if (pr.eliminated || total == 0.0) return fail(error, err::no_fraction);
                out = weights[k] / total;
                break;
            }
            default: {
                if (is_component) return fail(error, err::not_for_component);
                if (extensive(o)) {
                    if (is_system) {
                        if (r.streams && r.stream_constituent_eliminated)
                            return fail(error, err::stream_eliminated);
                        Values values{r.g, r.h, r.s, r.cp, r.v};
                        double si = pick(o, values);
                        if (r.streams)
                            si -= pick(o, Values{r.stream_g, r.stream_h, r.stream_s, r.stream_cp,
                                                 r.stream_v});
                        out = energy_or_volume_out(u, o, si);
                    } else if (is_phase) {
                        const PhaseResult& pr = r.phases[p];
                        const double si =
                            pr.moles * pick(o, Values{pr.gm, pr.hm, pr.sm, pr.cpm, pr.vm});
                        out = energy_or_volume_out(u, o, si);
                    } else {
                        const ConstituentResult& c = r.phases[p].constituents[k];
                        out = energy_or_volume_out(
                            u, o, c.moles * pick(o, Values{c.g, c.h, c.s, c.cp, c.v}));
                    }
                } else if (molar(o)) {
                    double per_mole = 0.0;
                    double molar_mass = 0.0;
                    if (is_system) {
                        if (r.moles <= 0.0) return fail(error, err::not_for_component);
                        per_mole = pick(o, Values{r.g, r.h, r.s, r.cp, r.v}) / r.moles;
                        molar_mass = r.mass / r.moles;
                    } else if (is_phase) {
                        const PhaseResult& pr = r.phases[p];
                        per_mole = pick(o, Values{pr.gm, pr.hm, pr.sm, pr.cpm, pr.vm});
                        molar_mass = pr.molar_mass;
                    } else {
                        const ConstituentResult& c = r.phases[p].constituents[k];
                        per_mole = pick(o, Values{c.g, c.h, c.s, c.cp, c.v});
                        molar_mass = c.molar_mass;
                    }
                    out = energy_or_volume_out(u, o, u.per_amount_out(per_mole, molar_mass));
                }
                break;
            }
        }
        if (!std::isfinite(out)) {
            const bool not_calculated =
                o == Option::mu && out == -std::numeric_limits<double>::infinity() &&
                (is_phase ? r.phases[p].eliminated
                          : !is_component && !r.phases[p].constituents[k].calculated);
            if (!not_calculated)
                return fail(error, o == Option::ac ? err::activity_unavailable : err::bad_input);
        }
        put(value, out);
        ok(error);
    });
}

}  // extern "C"
