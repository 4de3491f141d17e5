// From the conditions to a result: the input (conditions or streams), held potentials as
// reservoirs, one equilibrium at a temperature and pressure or at a held total volume.
#pragma once

#include <vector>

#include "data/system.hpp"
#include "equilibrium/phase_model.hpp"
#include "equilibrium/results.hpp"
#include "equilibrium/state.hpp"

namespace eqx::equilibrium {

// The incoming moles from the "IA" conditions, or from the streams when any stream holds
// matter; the held potentials. 508 when nothing comes in, 513 for a negative or non-finite
// amount.
int gather_input(const System& system, const CalculationState& state, Input& input);
int gather_input(const System& system, const Conditions& conditions,
                 const std::vector<Stream>& streams, Input& input);

// Where one equilibrium is calculated, and under what.
struct Point {
    double temperature = 0.0;  // K
    double pressure = 0.0;     // Pa (ignored at constant volume)
    bool constant_volume = false;
    double volume = 0.0;          // m3
    std::vector<Role> overrides;  // per phase; empty: the statuses decide
    const Equilibrium* start = nullptr;

    // The state variables of the conditions.
    static Point of(const Conditions& conditions) {
        Point point;
        point.temperature = conditions.temperature;
        point.pressure = conditions.pressure;
        point.constant_volume = conditions.volume_in_force;
        point.volume = conditions.volume;
        return point;
    }
};

// One equilibrium: 509/510 for a pressure or temperature that is not > 0, 701-706 when the
// equilibrium cannot be obtained.
int calculate_point(const System& system, const CalculationState& state, const Input& input,
                    const Point& point, Result& result);

}  // namespace eqx::equilibrium
