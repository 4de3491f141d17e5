// The routine methods' declarations, one list per area.
#pragma once

#include <span>

#include "routine.hpp"

namespace raw {

// Initialisation, version and array sizes, input/output options, file units and
// data-file reading.
std::span<const Declaration> core_routines();

// System components, phases, phase constituents, sublattices, stored data, excess
// parameters and the library's message text.
std::span<const Declaration> system_routines();

// Conditions, calculations, results, units, target limits and configuration,
// streams, phase maps, charges, system components and bond fractions.
std::span<const Declaration> equilibrium_routines();

}  // namespace raw
