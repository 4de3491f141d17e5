// Phase constituents: look-up by name, names, incoming-species flags, stoichiometry, statuses
// and calculated standard properties.
#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <utility>

#include "data/thermo.hpp"
#include "equilex.h"
#include "equilibrium/results.hpp"
#include "equilibrium/state.hpp"
#include "queries/lookup.hpp"

using namespace eqx;
using namespace eqx::queries;

namespace {

enum class Property { heat_capacity, enthalpy, entropy, gibbs_energy, volume, upper_temperature };

std::optional<Property> property_option(std::string_view option) {
    static constexpr std::array<std::pair<std::string_view, Property>, 6> options = {{
        {"CP", Property::heat_capacity},
        {"H", Property::enthalpy},
        {"S", Property::entropy},
        {"G", Property::gibbs_energy},
        {"V", Property::volume},
        {"T", Property::upper_temperature},
    }};
    for (const auto& [text, property] : options)
        if (is_option(option, text)) return property;
    return std::nullopt;
}

// The molar functions a calculation uses, at the temperature and pressure of the conditions,
// in the system units (per mole): Cp, H, S and G carry the pressure term of condensed
// constituents with molar-volume data and the magnetic contribution; S and Cp are per kelvin.
// Conditions a calculation would refuse are refused here with its numbers: a temperature or
// pressure that is not > 0 (510, 509), or one at which the value is not representable (510 or
// 509 as equilibrium::state_point_error tells them apart). Returns 0 or that number.
int property_value(Property property, const System& system, const Phase& phase,
                   const Constituent& constituent, double& value) {
    const equilibrium::CalculationState& state = equilibrium::calculation_state();
    const equilibrium::Units& units = state.units;
    if (property == Property::upper_temperature) {
        value = units.temperature_out(thermo::upper_temperature(constituent));
        return 0;
    }
    const double t = state.conditions.temperature;
    const double p = state.conditions.pressure;
    if (!(t > 0.0) || !std::isfinite(t)) return err::bad_temperature;
    if (!(p > 0.0) || !std::isfinite(p)) return err::bad_pressure;
    const double p_bar = p / equilibrium::pascal_per_bar;
    const thermo::StandardFunctions f =
        thermo::constituent_functions(system, phase, constituent, t, p_bar);
    double si = f.g;  // J/mol, J/(mol K), m3/mol
    double factor = units.energy_factor();
    switch (property) {
        case Property::heat_capacity:
            si = f.cp;
            break;
        case Property::enthalpy:
            si = f.h;
            break;
        case Property::entropy:
            si = f.s;
            break;
        case Property::volume:
            si = thermo::molar_volume(constituent, constituent_molar_mass(system, constituent), t,
                                      p_bar) *
                 1e-6;
            factor = units.volume_factor();
            break;
        default:
            break;
    }
    if (!equilibrium::representable(si)) {
        const int cause = equilibrium::state_point_error(system, phase, constituent, t, p);
        return cause != 0 ? cause : err::bad_temperature;
    }
    value = si / factor;
    return 0;
}

int entered_constituents(const Phase& phase) {
    return static_cast<int>(std::count_if(
        phase.constituents.begin(), phase.constituents.end(),
        [](const Constituent& constituent) { return constituent.status == Status::entered; }));
}

}  // namespace

extern "C" {

EQX_API void TQINPC(const char* name, std::int32_t name_len, const std::int32_t* phase,
                    std::int32_t* constituent, std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_system(error, [&](System& system) {
        const Phase* found_phase = phase_at(error, system, phase);
        if (!found_phase) return;
        const int found = find_name(
            error, text_in(name, name_len), static_cast<int>(found_phase->constituents.size()),
            [&](int i) -> std::string_view { return found_phase->constituents[i].name; },
            err::constituent_not_found);
        if (found < 0) return;
        put(constituent, found + 1);
        ok(error);
    });
}

EQX_API void TQPCIS(const std::int32_t* phase, const std::int32_t* constituent,
                    std::int32_t* incoming_species, std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_constituent(error, phase, constituent, [&](System&, Phase&, const Constituent& found) {
        put(incoming_species, found.incoming ? 1 : 0);
        ok(error);
    });
}

EQX_API void TQGNPC(const std::int32_t* phase, const std::int32_t* constituent, char* name,
                    std::int32_t name_len, std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_constituent(error, phase, constituent, [&](System&, Phase&, const Constituent& found) {
        text_out(name, name_len, found.name);
        ok(error);
    });
}

EQX_API void TQSTPC(const std::int32_t* phase, const std::int32_t* constituent,
                    double* stoichiometry, double* molar_mass, std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_constituent(error, phase, constituent,
                     [&](System& system, Phase&, const Constituent& found) {
                         // Exactly one coefficient per system component: the caller sizes the array
                         // by TQNOSC.
                         if (stoichiometry) {
                             for (std::size_t k = 0; k < system.components.size(); ++k)
                                 stoichiometry[k] =
                                     k < found.stoichiometry.size() ? found.stoichiometry[k] : 0.0;
                         }
                         put(molar_mass, constituent_molar_mass(system, found));
                         ok(error);
                     });
}

EQX_API void TQGSPC(const std::int32_t* phase, const std::int32_t* constituent, char* status,
                    std::int32_t status_len, std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_constituent(error, phase, constituent, [&](System&, Phase&, const Constituent& found) {
        text_out(status, status_len, status_text(found.status));
        ok(error);
    });
}

// A status is refused, the constituent keeping the one it has, when the change
//   - concerns a constituent whose status cannot be changed (309): one marked so in the
//     data-file, or the one constituent of a stoichiometric phase, whose status is the phase's
//     (TQCSP);
//   - would leave the phase without an ENTERED constituent (310): a phase is taken out of the
//     calculation by its own status, never by emptying it.
// Asking for the status a constituent already has always succeeds, so a status read with TQGSPC
// can be written back unchanged.
EQX_API void TQCSPC(const std::int32_t* phase, const std::int32_t* constituent, const char* status,
                    std::int32_t status_len, std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_constituent(
        error, phase, constituent, [&](System&, Phase& found_phase, Constituent& found) {
            const std::optional<Status> new_status = status_from_text(text_in(status, status_len));
            if (!new_status) return fail(error, eqx::err::bad_option, "not a status");
            if (*new_status == found.status) return ok(error);
            if (found.status_fixed || !found_phase.is_mixture())
                return fail(error, err::status_fixed);
            if (found.status == Status::entered && entered_constituents(found_phase) == 1)
                return fail(error, err::statuses_inconsistent,
                            "the last entered constituent of " + found_phase.name);
            found.status = *new_status;
            ok(error);
        });
}

EQX_API void TQGDPC(const char* option, std::int32_t option_len, const std::int32_t* phase,
                    const std::int32_t* constituent, double* value, std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_system(error, [&](System& system) {
        const std::optional<Property> property = property_option(text_in(option, option_len));
        if (!property) return fail(error, eqx::err::bad_option);
        Phase* found_phase = phase_at(error, system, phase);
        if (!found_phase) return;
        const Constituent* found = constituent_at(error, *found_phase, constituent);
        if (!found) return;
        double found_value = 0.0;
        const int refused = property_value(*property, system, *found_phase, *found, found_value);
        if (refused != 0) return fail(error, refused);
        put(value, found_value);
        ok(error);
    });
}

}  // extern "C"
