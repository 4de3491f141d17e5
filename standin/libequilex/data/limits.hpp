// The largest system the library holds: the maxima TQSIZE reports. Callers size their fixed
// arrays by them (25 name bytes, 30 component names, 1999 parameter texts, 20 x 28 parameter
// values), so check_system() refuses every system beyond one of them, with the read error of the
// section it lies in, and no routine can then write past such an array.
#pragma once

#include <cmath>
#include <limits>

namespace eqx::limits {

// Counted as TQUSED counts them (SizeItem in system.hpp).
inline constexpr int constituents = 1500;  // over all phases, de-mixing copies included
inline constexpr int components = 30;
inline constexpr int mixture_phases = 100;                 // de-mixing copies included
inline constexpr int excess_gibbs_coefficients = 1999;     // parameters of one phase
inline constexpr int excess_magnetic_coefficients = 1999;  // parameters of one phase
inline constexpr int sublattices_per_phase = 5;
// Species on one sublattice; a mixture phase without sublattices has one, holding its
// constituents.
inline constexpr int constituents_per_sublattice = 100;
inline constexpr int quasichemical_constituents = 40;       // of one phase of a quasichemical model
inline constexpr int gibbs_equations_per_constituent = 10;  // Cp ranges of one constituent
// Cp ranges in all: never exceeded by a system within the two limits above (1500 x 10).
inline constexpr int gibbs_equations = 15000;
inline constexpr int volume_constituents = 500;  // constituents with molar-volume data

// Further sizes of the call interface.
inline constexpr int parameter_expressions = 20;  // TQGPAR rows: expressions of one parameter
inline constexpr int expression_values = 28;      // TQGPAR columns: values of one expression
inline constexpr int stored_values = 25;          // TQGDAT values

// The largest magnitude of a value the library reports or keeps for a report: the routines
// multiply an SI value by at most 1e6 (m3 to cm3), so such a value stays finite in every unit.
inline constexpr double largest_reported_value = std::numeric_limits<double>::max() * 1e-6;
inline bool representable(double value) {
    return std::abs(value) <= largest_reported_value;  // false for NaN and infinities
}

}  // namespace eqx::limits
