// What every routine of the equilibrium calculations does first: the guards (101 before TQINI,
// 104 without a data-file), the state, and turning the caller's 1-based numbers into checked
// 0-based indices. A helper that fails has written its error number, and nothing else.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/library.hpp"
#include "data/system.hpp"
#include "equilibrium/state.hpp"

namespace eqx::equilibrium {

// No number of the error table says "out of memory": 201 at least says the call was not done.
inline constexpr int allocation_failure = err::bad_option;

template <class Body>
void with_calculation(std::int32_t* error, Body&& body) {
    if (!error || !need_system(error)) return;
    guarded(error, allocation_failure, [&] { body(*library().system, calculation_state()); });
}

// A phase number 1..count as a 0-based index, or -1 after failing with 402.
int phase_index(std::int32_t* error, const System& system, std::int32_t number);
// A constituent number of a phase, or -1 after failing with 403.
int constituent_index(std::int32_t* error, const System& system, int phase, std::int32_t number);
// A component number, or -1 after failing with 401.
int component_index(std::int32_t* error, const System& system, std::int32_t number);

// Option texts of these routines: letter case and trailing blanks or NULs do not matter.
bool is_option(std::string_view text, std::string_view option);

// Molar mass of a component or of a phase constituent, kg/mol.
double component_molar_mass(const System& system, int component);
double constituent_molar_mass_kg(const System& system, int phase, int constituent);

}  // namespace eqx::equilibrium
