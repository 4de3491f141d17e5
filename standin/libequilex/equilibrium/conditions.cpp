// Conditions: TQSETC sets one and gives its number, TQREMC removes one or a class of them.
//
// Numbers: "P" and "VT" share number 1 (the one set last is in force), "T" has 2, every target
// ("A", "CP", "H", "S", "G", "V", "AT", "XT", "XPT": a calculation meets one target) has 3;
// "IA", "MU" and "AC" conditions get numbers of their own from 4 up, and a repeated one for the
// same substance keeps its number. Values are in the current units and are checked for range
// when a calculation uses them.
#include <cmath>

#include "equilex.h"
#include "equilibrium/access.hpp"
#include "equilibrium/components.hpp"
#include "equilibrium/listings.hpp"

using namespace eqx;
using namespace eqx::equilibrium;

namespace {

enum class Option { p, vt, t, a, ia, mu, ac, cp, h, s, g, v, at, xt, xpt };

std::optional<Option> condition_option(std::string_view text) {
    static constexpr std::pair<std::string_view, Option> options[] = {
        {"P", Option::p},   {"VT", Option::vt}, {"T", Option::t},     {"A", Option::a},
        {"IA", Option::ia}, {"MU", Option::mu}, {"AC", Option::ac},   {"CP", Option::cp},
        {"H", Option::h},   {"S", Option::s},   {"G", Option::g},     {"V", Option::v},
        {"AT", Option::at}, {"XT", Option::xt}, {"XPT", Option::xpt},
    };
    for (const auto& [name, option] : options)
        if (is_option(text, name)) return option;
    return std::nullopt;
}

bool streams_hold_matter(const CalculationState& state) {
    for (const Stream& stream : state.streams)
        if (!stream.amounts.empty()) return true;
    return false;
}

// Both indices 0 (a condition of the whole system).
bool system_indices(std::int32_t* error, std::int32_t phase, std::int32_t index) {
    if (phase != 0) {
        fail(error, err::phase_index);
        return false;
    }
    if (index != 0) {
        fail(error, err::constituent_index);
        return false;
    }
    return true;
}

void set_target(CalculationState& state, TargetKind kind, int phase, int index, double value) {
    state.conditions.target = Target{kind, phase, index, value};
}

// The condition ("IA", or "MU"/"AC") on the same substance, which keeps its number, or a new
// one with the next number.
template <class Condition>
Condition& condition_slot(std::vector<Condition>& list, Conditions& conditions, int phase,
                          int index) {
    for (Condition& condition : list)
        if (condition.phase == phase && condition.index == index) return condition;
    Condition& added = list.emplace_back();
    added.number = conditions.next_number++;
    added.phase = phase;
    added.index = index;
    return added;
}

}  // namespace

extern "C" {

EQX_API void TQSETC(const char* option, std::int32_t option_len, const std::int32_t* phase_ptr,
                    const std::int32_t* index_ptr, const double* value_ptr, std::int32_t* numcon,
                    std::int32_t* error) {
    const LibraryLock lock;
    with_calculation(error, [&](System& system, CalculationState& state) {
        const std::optional<Option> chosen = condition_option(text_in(option, option_len));
        if (!chosen) return fail(error, err::bad_option);
        const std::int32_t phase = value_of(phase_ptr);
        const std::int32_t index = value_of(index_ptr);
        const double value = value_of(value_ptr);
        const Units& units = state.units;
        Conditions& conditions = state.conditions;
        int number = 0;
        switch (*chosen) {
            case Option::p:
            case Option::vt:
            case Option::t: {
                if (!system_indices(error, phase, index)) return;
                if (*chosen == Option::t) {
                    conditions.temperature = units.temperature_in(value);
                    conditions.temperature_set = true;
                    number = condition_number::temperature;
                } else if (*chosen == Option::p) {
                    conditions.pressure = value * units.pressure_factor();
                    conditions.pressure_set = true;
                    conditions.volume_in_force = false;
                    number = condition_number::pressure_or_volume;
                } else {
                    conditions.volume = value * units.volume_factor();
                    conditions.volume_in_force = true;
                    number = condition_number::pressure_or_volume;
                }
                break;
            }
            case Option::a: {
                const int p = phase_index(error, system, phase);
                if (p < 0) return;
                if (index != 0) return fail(error, err::constituent_index);
                set_target(state, value >= 0.0 ? TargetKind::formation : TargetKind::precipitation,
                           p, -1, value);
                number = condition_number::target;
                break;
            }
            case Option::ia: {
                if (streams_hold_matter(state)) return fail(error, err::conditions_and_streams);
                if (phase == 0) {
                    const int k = component_index(error, system, index);
                    if (k < 0) return;
                    const double moles = units.amount_in(value, component_molar_mass(system, k));
                    IncomingAmount& slot = condition_slot(conditions.amounts, conditions, -1, k);
                    slot.moles = moles;
                    slot.components =
                        Eigen::VectorXd::Zero(static_cast<int>(system.components.size()));
                    slot.components[k] = moles;
                    slot.file_components = component_in_file(system, k, moles);
                    number = slot.number;
                } else {
                    const int p = phase_index(error, system, phase);
                    if (p < 0) return;
                    const int c = constituent_index(error, system, p, index);
                    if (c < 0) return;
                    if (!system.phases[p].constituents[c].incoming)
                        return fail(error, err::not_incoming);
                    IncomingAmount& slot = condition_slot(conditions.amounts, conditions, p, c);
                    slot.moles = units.amount_in(value, constituent_molar_mass_kg(system, p, c));
                    number = slot.number;
                }
                break;
            }
            case Option::mu:
            case Option::ac: {
                if (streams_hold_matter(state)) return fail(error, err::conditions_and_streams);
                if (phase == 0) return fail(error, err::not_for_components);
                const int p = phase_index(error, system, phase);
                if (p < 0) return;
                const int c = constituent_index(error, system, p, index);
                if (c < 0) return;
                if (!system.phases[p].constituents[c].incoming)
                    return fail(error, err::not_incoming);
                HeldPotential& slot = condition_slot(conditions.potentials, conditions, p, c);
                slot.activity = *chosen == Option::ac;
                if (!slot.activity)
                    slot.value = value * units.energy_factor();
                else
                    slot.value = system.phases[p].gas ? value * units.pressure_factor() : value;
                number = slot.number;
                break;
            }
            case Option::cp:
            case Option::h:
            case Option::s:
            case Option::g:
            case Option::v: {
                int p = -1;
                if (phase != 0) {
                    p = phase_index(error, system, phase);
                    if (p < 0) return;
                }
                if (index != 0) return fail(error, err::constituent_index);
                const TargetKind kind = *chosen == Option::cp  ? TargetKind::heat_capacity
                                        : *chosen == Option::h ? TargetKind::enthalpy
                                        : *chosen == Option::s ? TargetKind::entropy
                                        : *chosen == Option::g ? TargetKind::gibbs_energy
                                                               : TargetKind::volume;
                const double factor =
                    kind == TargetKind::volume ? units.volume_factor() : units.energy_factor();
                set_target(state, kind, p, -1, value * factor);
                number = condition_number::target;
                break;
            }
            case Option::at:
            case Option::xt: {
                const int p = phase_index(error, system, phase);
                if (p < 0) return;
                const int c = constituent_index(error, system, p, index);
                if (c < 0) return;
                double target = value;
                if (*chosen == Option::at && system.phases[p].gas)
                    target = value * units.pressure_factor();
                set_target(state,
                           *chosen == Option::at ? TargetKind::activity : TargetKind::fraction, p,
                           c, target);
                number = condition_number::target;
                break;
            }
            case Option::xpt: {
                const int p = phase_index(error, system, phase);
                if (p < 0) return;
                const int k = component_index(error, system, index);
                if (k < 0) return;
                set_target(state, TargetKind::component_fraction, p, k, value);
                number = condition_number::target;
                break;
            }
        }
        put(numcon, number);
        ok(error);
    });
}

// 0: every incoming amount (held potentials stay); -1: every condition, target, stream and
// configuration option, units back to their defaults; -2: the same, units kept. Target limits
// stay. Another number names one condition: 404 when none has it.
// The classes (0, -1, -2) need no data-file: a freshly initialised library accepts them.
EQX_API void TQREMC(const std::int32_t* numcon, std::int32_t* error) {
    const LibraryLock lock;
    if (!error || !need_init(error)) return;
    const std::int32_t number = value_of(numcon);
    if (number > 0 && !need_system(error)) return;
    guarded(error, allocation_failure, [&] {
        CalculationState& state = calculation_state();
        Conditions& conditions = state.conditions;
        switch (number) {
            case 0:
                conditions.amounts.clear();
                state.amount_variables.clear();
                return ok(error);
            case -1:
            case -2:
                state.remove_all_conditions(number == -1);
                return ok(error);
            case condition_number::pressure_or_volume:
                if (!conditions.pressure_set && !conditions.volume_in_force) break;
                conditions.pressure = Conditions{}.pressure;
                conditions.pressure_set = false;
                conditions.volume_in_force = false;
                return ok(error);
            case condition_number::temperature:
                if (!conditions.temperature_set) break;
                conditions.temperature = Conditions{}.temperature;
                conditions.temperature_set = false;
                return ok(error);
            case condition_number::target:
                if (!conditions.target) break;
                conditions.target.reset();
                return ok(error);
            default: {
                auto& amounts = conditions.amounts;
                for (auto it = amounts.begin(); it != amounts.end(); ++it) {
                    if (it->number == number) {
                        amounts.erase(it);
                        return ok(error);
                    }
                }
                auto& potentials = conditions.potentials;
                for (auto it = potentials.begin(); it != potentials.end(); ++it) {
                    if (it->number == number) {
                        potentials.erase(it);
                        return ok(error);
                    }
                }
                break;
            }
        }
        fail(error, 404);
    });
}

// The present settings, to the list unit.
EQX_API void TQSHOW(std::int32_t* error) {
    const LibraryLock lock;
    with_calculation(error, [&](System& system, CalculationState& state) {
        list_settings(system, state);
        ok(error);
    });
}

}  // extern "C"
