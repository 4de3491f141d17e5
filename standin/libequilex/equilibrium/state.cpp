#include "equilibrium/state.hpp"

#include "core/library.hpp"

namespace eqx::equilibrium {

bool Limits::is_default() const {
    const Limits defaults;
    return temperature_low == defaults.temperature_low &&
           temperature_high == defaults.temperature_high && pressure_low == defaults.pressure_low &&
           pressure_high == defaults.pressure_high && volume_low == defaults.volume_low &&
           volume_high == defaults.volume_high;
}

void CalculationState::remove_all_conditions(bool reset_units) {
    conditions = Conditions{};
    configuration = Configuration{};
    streams.clear();
    amount_variables.clear();
    if (reset_units) units = Units{};
}

void CalculationState::forget_system() {
    conditions = Conditions{};
    streams.clear();
    map = MapProgress{};
    amount_variables.clear();
    map_amounts.clear();
    result.reset();
    last_calculation_failed = false;
}

void CalculationState::keep_result(Result&& calculated) {
    result = std::move(calculated);
    last_calculation_failed = false;
}

void CalculationState::drop_result() {
    result.reset();
    last_calculation_failed = true;
}

CalculationState& calculation_state() {
    Library& lib = library();
    if (!lib.calculation) lib.calculation = std::make_unique<CalculationState>();
    return *lib.calculation;
}

}  // namespace eqx::equilibrium
