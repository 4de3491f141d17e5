// Sublattices of a phase: the species on each, their names, look-up by name and site fractions.
// A mixture phase without a sublattice structure of its own has one sublattice whose species
// are its constituents; a stoichiometric phase has none.
#include "equilex.h"
#include "queries/lookup.hpp"

using namespace eqx;
using namespace eqx::queries;

namespace {

// Species `number` (1-based) of a sublattice as a 0-based index, or -1 after failing with 407.
int species_at(std::int32_t* error, const Phase& phase, int sublattice,
               const std::int32_t* number) {
    const std::int32_t index = value_of(number);
    const int count = phase.sublattice_species_count(sublattice);
    if (count < 0 || !in_range(index, static_cast<std::size_t>(count))) {
        fail(error, err::species_index);
        return -1;
    }
    return index - 1;
}

// One sublattice of a phase, as the routines' first two numbers name it.
struct SublatticeAt {
    const Phase* phase = nullptr;  // null after failing with the phase's or sublattice's number
    int sublattice = -1;           // 0-based
};

SublatticeAt sublattice_of(std::int32_t* error, System& system, const std::int32_t* phase,
                           const std::int32_t* sublattice) {
    const Phase* found_phase = phase_at(error, system, phase);
    if (!found_phase) return {};
    const int found = sublattice_at(error, *found_phase, sublattice);
    if (found < 0) return {};
    return {found_phase, found};
}

// A species takes part when an ENTERED constituent has it on that sublattice: dormant and
// eliminated constituents have no amount in the phase.
bool species_present(const Phase& phase, int sublattice, int species) {
    if (phase.sublattices.empty())
        return phase.constituents[static_cast<std::size_t>(species)].status == Status::entered;
    for (const Constituent& constituent : phase.constituents) {
        if (constituent.status == Status::entered &&
            constituent.sublattice_species[static_cast<std::size_t>(sublattice)] == species)
            return true;
    }
    return false;
}

// The site fraction before a calculation has placed the phase: the sites shared equally among
// the species that take part, as ideal mixing starts; 0 for those that do not. The fractions of
// one sublattice add up to 1 whenever any species takes part.
double initial_site_fraction(const Phase& phase, int sublattice, int species) {
    if (!species_present(phase, sublattice, species)) return 0.0;
    int present = 0;
    for (int j = 0; j < phase.sublattice_species_count(sublattice); ++j)
        if (species_present(phase, sublattice, j)) ++present;
    return 1.0 / present;
}

}  // namespace

extern "C" {

EQX_API void TQNOLC(const std::int32_t* phase, const std::int32_t* sublattice, std::int32_t* count,
                    std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_system(error, [&](System& system) {
        const SublatticeAt at = sublattice_of(error, system, phase, sublattice);
        if (!at.phase) return;
        put(count, at.phase->sublattice_species_count(at.sublattice));
        ok(error);
    });
}

EQX_API void TQGNLC(const std::int32_t* phase, const std::int32_t* sublattice,
                    const std::int32_t* species, char* name, std::int32_t name_len,
                    std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_system(error, [&](System& system) {
        const SublatticeAt at = sublattice_of(error, system, phase, sublattice);
        if (!at.phase) return;
        const int found = species_at(error, *at.phase, at.sublattice, species);
        if (found < 0) return;
        text_out(name, name_len, *at.phase->sublattice_species_name(at.sublattice, found));
        ok(error);
    });
}

EQX_API void TQINLC(const char* name, std::int32_t name_len, const std::int32_t* phase,
                    const std::int32_t* sublattice, std::int32_t* species, std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_system(error, [&](System& system) {
        const SublatticeAt at = sublattice_of(error, system, phase, sublattice);
        if (!at.phase) return;
        const int found = find_name(
            error, text_in(name, name_len), at.phase->sublattice_species_count(at.sublattice),
            [&](int j) -> std::string_view {
                return *at.phase->sublattice_species_name(at.sublattice, j);
            },
            err::species_not_found);
        if (found < 0) return;
        put(species, found + 1);
        ok(error);
    });
}

// The library keeps no calculated phase yet, so this is the site fraction a calculation starts
// from (see initial_site_fraction).
EQX_API void TQGTLC(const std::int32_t* phase, const std::int32_t* sublattice,
                    const std::int32_t* species, double* site_fraction, std::int32_t* error) {
    const eqx::LibraryLock lock;
    with_system(error, [&](System& system) {
        const SublatticeAt at = sublattice_of(error, system, phase, sublattice);
        if (!at.phase) return;
        const int found = species_at(error, *at.phase, at.sublattice, species);
        if (found < 0) return;
        put(site_fraction, initial_site_fraction(*at.phase, at.sublattice, found));
        ok(error);
    });
}

}  // extern "C"
