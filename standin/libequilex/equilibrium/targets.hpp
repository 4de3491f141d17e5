// Target calculations: the target variable (temperature, pressure, total volume, incoming
// amounts or a chemical potential) is varied within its limits until the target condition is
// met. Each trial is a complete equilibrium; the root is bracketed from the estimate outwards
// and then found with the TOMS 748 method, with at most the configured number of trials (99).
#pragma once

#include <cstdint>
#include <vector>

#include "data/system.hpp"
#include "equilibrium/calculation.hpp"
#include "equilibrium/state.hpp"

namespace eqx::equilibrium {

struct TargetVariable {
    enum class Kind { temperature, pressure, volume, amounts, potential };
    Kind kind = Kind::temperature;
    double estimate = 0.0;                // K, Pa or m3 (temperature, pressure, volume)
    std::vector<AmountVariable> amounts;  // varied together, low to high (amounts)
    int phase = 0;                        // the constituent whose potential varies (potential)
    int index = 0;
    double low = 0.0;  // J/mol (potential), relative: mu - mu0
    double high = 0.0;
};

// The found value of the target variable, for the conditions.
struct TargetSolution {
    Result result;
    double value = 0.0;  // K, Pa, m3; the amount parameter 0..1; J/mol
};

// 0 on success; 505-513 and 701-713 otherwise (nothing is changed then).
int solve_target(const System& system, const CalculationState& state, const Target& target,
                 const TargetVariable& variable, const Equilibrium* start,
                 TargetSolution& solution);

// The limits of an "IA", "IA0" or "MU" variable: 506 equal, 507 upper below zero, 505 in
// reverse order (or not finite).
int check_limits(double low, double high);

// The substance of an incoming-amount variable ("IA", "IA0", "IAF"): a component (phase 0) or a
// phase constituent, with its limits in the current amount unit. Returns 0, an error number
// (505-507, or 708 for a constituent whose potential is held when `held_refused`), or -1 after
// failing with 401-403 itself.
int read_amount_variable(std::int32_t* error, const System& system, const CalculationState& state,
                         std::int32_t phase, std::int32_t index, const double* vals,
                         bool held_refused, AmountVariable& variable);

// The conditions with the incoming amounts of a target or map variable set at parameter s
// (0..1), or the streams when they hold the input (the last stream takes the amount).
void apply_amounts(const System& system, const std::vector<AmountVariable>& amounts, double s,
                   Conditions& conditions, std::vector<Stream>& streams);

}  // namespace eqx::equilibrium
