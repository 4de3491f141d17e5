// TQCE, TQCEL, TQCEN and TQCENL: an equilibrium, or a target calculation, under the present
// conditions or streams.
//
// Options: " " or "" (no target variable), "T", "P", "V" (vals[0] is an estimate in the current
// unit), "IA" and "MU" (vals are the lower and upper limits of an incoming amount or of a
// relative chemical potential), "IA0" (records one more incoming amount that varies with the
// next "IA" call, between its limits, all of them together; no calculation).
//
// A call refused for its own arguments (the option, indices, limits, a target variable without
// a target or the reverse) changes nothing. Once the calculation runs, its result replaces the
// last one; when it fails (the conditions it finds, 508-510 and 513, or the equilibrium or the
// target, 7xx) there is no result until one succeeds. The conditions change only on success (a
// target calculation writes the found value into its variable's condition).
//
// TQCEN starts from the last result and gives the same equilibrium as TQCE; after a failed
// calculation it calculates as TQCE does, before any calculation it gives 516. TQCEL and TQCENL
// also write the equilibrium to the list unit.
#include <cmath>

#include "equilex.h"
#include "equilibrium/access.hpp"
#include "equilibrium/calculation.hpp"
#include "equilibrium/listings.hpp"
#include "equilibrium/targets.hpp"

using namespace eqx;
using namespace eqx::equilibrium;

namespace {

enum class Option { none, t, p, v, ia, ia0, mu };

std::optional<Option> calculation_option(std::string_view text) {
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\0')) --end;
    if (end == 0) return Option::none;
    static constexpr std::pair<std::string_view, Option> options[] = {
        {"T", Option::t},   {"P", Option::p},     {"V", Option::v},
        {"IA", Option::ia}, {"IA0", Option::ia0}, {"MU", Option::mu},
    };
    for (const auto& [name, option] : options)
        if (is_option(text, name)) return option;
    return std::nullopt;
}

// After a successful target calculation the target variable's condition holds what was found.
void keep_found_value(const System& system, CalculationState& state, const TargetVariable& variable,
                      double value) {
    Conditions& conditions = state.conditions;
    switch (variable.kind) {
        case TargetVariable::Kind::temperature:
            conditions.temperature = value;
            conditions.temperature_set = true;
            break;
        case TargetVariable::Kind::pressure:
            conditions.pressure = value;
            conditions.pressure_set = true;
            conditions.volume_in_force = false;
            break;
        case TargetVariable::Kind::volume:
            conditions.volume = value;
            conditions.volume_in_force = true;
            break;
        case TargetVariable::Kind::amounts:
            apply_amounts(system, variable.amounts, value, conditions, state.streams);
            break;
        case TargetVariable::Kind::potential: {
            HeldPotential* held = nullptr;
            for (HeldPotential& h : conditions.potentials)
                if (h.phase == variable.phase && h.index == variable.index) held = &h;
            if (!held) {
                held = &conditions.potentials.emplace_back();
                held->number = conditions.next_number++;
                held->phase = variable.phase;
                held->index = variable.index;
            }
            held->activity = false;
            held->value = value;
            break;
        }
    }
}

void calculate(const char* option, std::int32_t option_len, const std::int32_t* phase_ptr,
               const std::int32_t* index_ptr, const double* vals, std::int32_t* error,
               bool from_previous, bool listing) {
    with_calculation(error, [&](System& system, CalculationState& state) {
        const std::optional<Option> chosen = calculation_option(text_in(option, option_len));
        if (!chosen) return fail(error, err::bad_option);
        if (from_previous && !state.result && !state.last_calculation_failed)
            return fail(error, err::no_result);
        const std::int32_t phase = value_of(phase_ptr);
        const std::int32_t index = value_of(index_ptr);
        const Units& units = state.units;

        TargetVariable variable;
        switch (*chosen) {
            case Option::none:
                break;
            case Option::t:
                variable.kind = TargetVariable::Kind::temperature;
                variable.estimate =
                    vals ? units.temperature_in(vals[0]) : state.conditions.temperature;
                break;
            case Option::p:
                variable.kind = TargetVariable::Kind::pressure;
                variable.estimate =
                    vals ? vals[0] * units.pressure_factor() : state.conditions.pressure;
                break;
            case Option::v:
                variable.kind = TargetVariable::Kind::volume;
                variable.estimate = vals ? vals[0] * units.volume_factor() : 0.0;
                break;
            case Option::ia:
            case Option::ia0: {
                AmountVariable amount;
                const int code =
                    read_amount_variable(error, system, state, phase, index, vals, true, amount);
                if (code < 0) return;
                if (code != 0) return fail(error, code);
                if (*chosen == Option::ia0) {
                    state.amount_variables.push_back(amount);
                    return ok(error);
                }
                variable.kind = TargetVariable::Kind::amounts;
                variable.amounts = state.amount_variables;
                variable.amounts.push_back(amount);
                state.amount_variables.clear();
                break;
            }
            case Option::mu: {
                if (phase == 0) return fail(error, err::not_for_components);
                const int p = phase_index(error, system, phase);
                if (p < 0) return;
                const int c = constituent_index(error, system, p, index);
                if (c < 0) return;
                const double low = vals ? vals[0] : 0.0;
                const double high = vals ? vals[1] : 0.0;
                const int code = check_limits(low, high);
                if (code != 0) return fail(error, code);
                variable.kind = TargetVariable::Kind::potential;
                variable.phase = p;
                variable.index = c;
                variable.low = low * units.energy_factor();
                variable.high = high * units.energy_factor();
                break;
            }
        }
        const bool has_target = state.conditions.target.has_value();
        if (*chosen == Option::none && has_target) return fail(error, err::no_target_variable);
        if (*chosen != Option::none && !has_target) return fail(error, err::no_target);

        const Equilibrium* start =
            from_previous && state.result ? &state.result->equilibrium : nullptr;
        Result result;
        int code = 0;
        if (*chosen == Option::none) {
            Input input;
            code = gather_input(system, state, input);
            if (code == 0) {
                Point point = Point::of(state.conditions);
                point.start = start;
                code = calculate_point(system, state, input, point, result);
            }
        } else {
            TargetSolution solution;
            code = solve_target(system, state, *state.conditions.target, variable, start, solution);
            if (code == 0) {
                keep_found_value(system, state, variable, solution.value);
                result = std::move(solution.result);
            }
        }
        if (code != 0) {
            state.drop_result();
            return fail(error, code);
        }
        state.keep_result(std::move(result));
        if (listing) list_result(system, state, *state.result);
        ok(error);
    });
}

}  // namespace

extern "C" {

EQX_API void TQCE(const char* option, std::int32_t option_len, const std::int32_t* phase,
                  const std::int32_t* index, const double* vals, std::int32_t* error) {
    const LibraryLock lock;
    calculate(option, option_len, phase, index, vals, error, false, false);
}

EQX_API void TQCEL(const char* option, std::int32_t option_len, const std::int32_t* phase,
                   const std::int32_t* index, const double* vals, std::int32_t* error) {
    const LibraryLock lock;
    calculate(option, option_len, phase, index, vals, error, false, true);
}

EQX_API void TQCEN(const char* option, std::int32_t option_len, const std::int32_t* phase,
                   const std::int32_t* index, const double* vals, std::int32_t* error) {
    const LibraryLock lock;
    calculate(option, option_len, phase, index, vals, error, true, false);
}

EQX_API void TQCENL(const char* option, std::int32_t option_len, const std::int32_t* phase,
                    const std::int32_t* index, const double* vals, std::int32_t* error) {
    const LibraryLock lock;
    calculate(option, option_len, phase, index, vals, error, true, true);
}

}  // extern "C"
