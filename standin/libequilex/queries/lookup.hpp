// What every routine over the loaded system does before its own work: the guards, and turning the
// caller's 1-based numbers and names into the model's objects. Each helper that fails has already
// written its error number (and nothing else), so a routine only returns when it gets nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/library.hpp"
#include "data/system.hpp"

namespace eqx::queries {

// No number of the table says "out of memory"; 201 at least tells that the call was not done.
inline constexpr int allocation_failure = eqx::err::bad_option;

// 1-based number within 1..count.
inline bool in_range(std::int32_t number, std::size_t count) {
    return number >= 1 && static_cast<std::size_t>(number) <= count;
}

// Runs body(system) after the guards: nothing at all without an error holder (there would be no
// way to report), 101 before TQINI, 104 without a loaded system. An exception from body (only an
// allocation can throw here) becomes an error number instead of crossing the C boundary.
template <class Body>
void with_system(std::int32_t* error, Body&& body) {
    if (!error || !need_system(error)) return;
    guarded(error, allocation_failure, [&] { body(*library().system); });
}

// The same for the stored-data routines, which work only on data read from an ASCII data-file
// (1000 otherwise): the transparent and binary formats are meant to be used as they are.
template <class Body>
void with_ascii_system(std::int32_t* error, Body&& body) {
    with_system(error, [&](System& system) {
        if (library().data_format != DataFormat::ascii) return fail(error, eqx::err::no_ascii_data);
        body(system);
    });
}

// Phase `number` (1-based), or nullptr after failing with 402.
Phase* phase_at(std::int32_t* error, System& system, const std::int32_t* number);
// Constituent `number` of a phase, or nullptr after failing with 403.
Constituent* constituent_at(std::int32_t* error, Phase& phase, const std::int32_t* number);
// Runs body(system, phase, constituent) after the guards of with_system and the look-ups of
// phase_at and constituent_at.
template <class Body>
void with_constituent(std::int32_t* error, const std::int32_t* phase_number,
                      const std::int32_t* constituent_number, Body&& body) {
    with_system(error, [&](System& system) {
        Phase* phase = phase_at(error, system, phase_number);
        if (!phase) return;
        Constituent* constituent = constituent_at(error, *phase, constituent_number);
        if (!constituent) return;
        body(system, *phase, *constituent);
    });
}

// Sublattice `number` of a phase as the queries count them (Phase::sublattice_count), as a
// 0-based index, or -1 after failing with 406.
int sublattice_at(std::int32_t* error, const Phase& phase, const std::int32_t* number);

// An option text of this area: exact letter case, trailing blanks ignored. The options of these
// routines differ from one routine to the next by case alone ("CP" of TQGDPC, "Cp" of TQGDAT), so
// a text in another case is taken as the wrong routine's option, not as this one's.
inline bool is_option(std::string_view text, std::string_view option) {
    return trim_right(text) == option;
}

}  // namespace eqx::queries
