// Listings a person reads, written to the LIST unit as aligned tables and flushed at once:
// the present settings (TQSHOW) and the equilibrium of a result (TQCEL, TQCENL, TQMAPL).
#pragma once

#include "data/system.hpp"
#include "equilibrium/state.hpp"

namespace eqx::equilibrium {

// T, P and V; every phase (or only those present, by the OUTPUT option) with its amount and
// activity and its constituents with amounts, mole fractions and activities; the system's
// extensive properties. Values in the current units.
void list_result(const System& system, const CalculationState& state, const Result& result);

// The conditions and streams; the system units when any differs from its default; the target
// limits when any differs from its default; the DORMANT and ELIMINATED phases and constituents.
void list_settings(const System& system, const CalculationState& state);

}  // namespace eqx::equilibrium
