// System units (TQGSU, TQCSU), target-variable limits (TQCLIM) and configuration options
// (TQCONF).
//
// Limits, in the current units: "TLOW"/"THIGH" (default 200 and 6000 K), "PLOW"/"PHIGH"
// (1e-20 and 1e5 bar), "VLOW"/"VHIGH" (1e-9 and 1e15 dm3). A value that is not a finite
// positive number is refused with 201, one that would put a lower limit at or above its upper
// limit with 505.
// Configuration options, three integers each: "ITERATIONS" a = Newton iterations of one
// equilibrium (1-100000, default 500), b = iterations of a target search (1-99, default 99);
// "ASSEMBLIES" a = phase assemblages one equilibrium may try (1-100000, default 200);
// "OUTPUT" a = 1 lists every phase, 0 only those present (default 1), b = significant digits
// of listed values (3-15, default 6). A count given as 0 keeps its value (OUTPUT a excepted);
// unused integers are ignored; a value out of range is refused with 201 and nothing changes.
#include <cmath>

#include "equilex.h"
#include "equilibrium/access.hpp"

using namespace eqx;
using namespace eqx::equilibrium;

namespace {

bool has_massless_constituent(const System& system) {
    for (const Phase& phase : system.phases)
        for (const Constituent& constituent : phase.constituents)
            if (!(constituent_molar_mass(system, constituent) > 0.0)) return true;
    return false;
}

}  // namespace

extern "C" {

// The quantity's unit, spelt as the table spells it.
EQX_API void TQGSU(const char* option, std::int32_t option_len, char* unit, std::int32_t unit_len,
                   std::int32_t* error) {
    const LibraryLock lock;
    if (!error || !need_init(error)) return;
    const std::optional<Quantity> quantity = quantity_from_text(text_in(option, option_len));
    if (!quantity) return fail(error, err::bad_option);
    const Units& units = calculation_state().units;
    text_out(unit, unit_len, unit_name(*quantity, units.of(*quantity)));
    ok(error);
}

// Letter case and trailing blanks do not matter. A mass unit of amount while a phase
// constituent has a molar mass <= 0 leaves "mol" in force and reports 204.
EQX_API void TQCSU(const char* option, std::int32_t option_len, const char* unit,
                   std::int32_t unit_len, std::int32_t* error) {
    const LibraryLock lock;
    if (!error || !need_init(error)) return;
    const std::optional<Quantity> quantity = quantity_from_text(text_in(option, option_len));
    if (!quantity) return fail(error, err::bad_option);
    const int chosen = unit_from_text(*quantity, text_in(unit, unit_len));
    if (chosen < 0) return fail(error, err::bad_option);
    Units& units = calculation_state().units;
    if (*quantity == Quantity::amount && is_mass_unit(chosen) && library().system &&
        has_massless_constituent(*library().system)) {
        units.unit[static_cast<int>(Quantity::amount)] = 0;
        return fail(error, err::amount_unit_reset);
    }
    units.unit[static_cast<int>(*quantity)] = chosen;
    ok(error);
}

EQX_API void TQCLIM(const char* option, std::int32_t option_len, const double* value_ptr,
                    std::int32_t* error) {
    const LibraryLock lock;
    if (!error || !need_init(error)) return;
    CalculationState& state = calculation_state();
    const std::string_view name = text_in(option, option_len);
    const double value = value_of(value_ptr);
    const Units& units = state.units;
    Limits limits = state.limits;
    double converted = 0.0;
    double* slot = nullptr;
    if (is_option(name, "TLOW") || is_option(name, "THIGH")) {
        converted = units.temperature_in(value);
        slot = is_option(name, "TLOW") ? &limits.temperature_low : &limits.temperature_high;
    } else if (is_option(name, "PLOW") || is_option(name, "PHIGH")) {
        converted = value * units.pressure_factor();
        slot = is_option(name, "PLOW") ? &limits.pressure_low : &limits.pressure_high;
    } else if (is_option(name, "VLOW") || is_option(name, "VHIGH")) {
        converted = value * units.volume_factor();
        slot = is_option(name, "VLOW") ? &limits.volume_low : &limits.volume_high;
    } else {
        return fail(error, err::bad_option);
    }
    if (!std::isfinite(converted) || !(converted > 0.0)) return fail(error, err::bad_option);
    *slot = converted;
    if (!(limits.temperature_low < limits.temperature_high) ||
        !(limits.pressure_low < limits.pressure_high) || !(limits.volume_low < limits.volume_high))
        return fail(error, err::limits_reversed);
    state.limits = limits;
    ok(error);
}

EQX_API void TQCONF(const char* option, std::int32_t option_len, const std::int32_t* a_ptr,
                    const std::int32_t* b_ptr, const std::int32_t* c_ptr, std::int32_t* error) {
    const LibraryLock lock;
    if (!error || !need_init(error)) return;
    Configuration& configuration = calculation_state().configuration;
    const std::string_view name = text_in(option, option_len);
    const std::int32_t a = value_of(a_ptr);
    const std::int32_t b = value_of(b_ptr);
    (void)c_ptr;
    if (is_option(name, "ITERATIONS")) {
        if (a < 0 || a > 100000 || b < 0 || b > 99) return fail(error, err::bad_option);
        if (a > 0) configuration.iterations = a;
        if (b > 0) configuration.target_iterations = b;
    } else if (is_option(name, "ASSEMBLIES")) {
        if (a < 0 || a > 100000) return fail(error, err::bad_option);
        if (a > 0) configuration.assemblies = a;
    } else if (is_option(name, "OUTPUT")) {
        if (a < 0 || a > 1 || b < 0 || (b > 0 && b < 3) || b > 15)
            return fail(error, err::bad_option);
        configuration.list_all_phases = a;
        if (b > 0) configuration.list_digits = b;
    } else {
        return fail(error, err::bad_option);
    }
    ok(error);
}

}  // extern "C"
