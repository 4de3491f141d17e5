// The model of a loaded thermochemical system: everything a data-file holds, in the order the
// file gives it. Every routine that queries, changes, computes with or writes back a system reads
// this one structure, so it carries more than any single routine needs.
//
// Indices inside the model are 0-based; the routines convert to and from the 1-based numbers of
// the call interface. Units are those of the data-files: J/mol, J/(mol K), K, g/mol, bar.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "limits.hpp"

namespace eqx {

// Limits every reader enforces, so the routines can rely on them (the maxima TQSIZE reports
// are in limits.hpp).
inline constexpr std::size_t max_data_name_length = 24;  // de-mixing suffix included
inline constexpr std::size_t max_extra_cp_terms = 3;
inline constexpr std::size_t max_excess_expressions = limits::parameter_expressions;
inline constexpr std::size_t max_expression_values = limits::expression_values;
inline constexpr double reference_temperature = 298.15;  // K: where the first Cp range starts
inline constexpr double reference_pressure = 1.0;        // bar

// Phase and constituent statuses, as TQGSP/TQCSP and TQGSPC/TQCSPC name them.
enum class Status { entered, dormant, eliminated };

struct Component {
    std::string name;
    double molar_mass = 0.0;  // g/mol; an electron-like component may have 0

    bool operator==(const Component&) const = default;
};

struct PowerTerm {
    double coefficient = 0.0;
    double power = 0.0;  // contributes coefficient * T^power to Cp

    bool operator==(const PowerTerm&) const = default;
};

// Cp = a + b T + c T^2 + d T^-2 + sum(coefficient T^power), valid from the previous range's
// upper temperature (298.15 K for the first) up to upper_temperature. transformation_enthalpy is
// taken up at upper_temperature when the next range begins.
struct CpRange {
    double a = 0.0;
    double b = 0.0;
    double c = 0.0;
    double d = 0.0;
    std::vector<PowerTerm> extra_terms;    // at most max_extra_cp_terms
    double upper_temperature = 6000.0;     // K
    double transformation_enthalpy = 0.0;  // J/mol

    bool operator==(const CpRange&) const = default;
};

// Molar volume of a condensed constituent (TQGDAT "V", in this order):
//   V(T, P) = M / density * exp(integral of alpha from 298.15 K to T) * (1 - kappa(T) (P - 1 bar))
//   alpha(T) = expansion a + b T + c T^-1 + d T^-2            (1/K)
//   kappa(T) = compressibility a + b T + c T^2 + d T^3        (1/bar)
// The bulk-modulus derivative is kept and reported, not used in the calculation.
struct MolarVolumeData {
    double density = 0.0;  // g/cm3 at 298.15 K and 1 bar
    double expansion[4] = {0, 0, 0, 0};
    double compressibility[4] = {0, 0, 0, 0};
    double bulk_modulus_derivative[2] = {0, 0};

    bool operator==(const MolarVolumeData&) const = default;
};

// Real-gas data of a gas constituent (TQGDAT "Gc", in this order).
struct CriticalData {
    double temperature = 0.0;  // K
    double pressure = 0.0;     // bar
    double volume = 0.0;       // cm3/mol
    double acentric_factor = 0.0;
    double dipole_moment = 0.0;  // debye

    bool operator==(const CriticalData&) const = default;
};

// TQGDAT "M", in this order.
struct MagneticData {
    double critical_temperature = 0.0;  // Curie or Neel temperature, K
    double moment = 0.0;                // average magnetic moment per atom, Bohr magnetons

    bool operator==(const MagneticData&) const = default;
};

struct Constituent {
    std::string name;
    std::vector<double> stoichiometry;  // one coefficient per system component, in their order
    double charge = 0.0;
    bool incoming = true;       // may serve as an incoming species (TQPCIS)
    bool status_fixed = false;  // its status cannot be changed (TQCSPC: 309)
    Status status = Status::entered;
    double h298 = 0.0;               // J/mol
    double s298 = 0.0;               // J/(mol K)
    std::vector<CpRange> cp_ranges;  // at least one, upper temperatures increasing
    std::optional<MolarVolumeData> molar_volume;
    std::optional<CriticalData> critical;
    std::optional<MagneticData> magnetic;
    // Phases with sublattices: for each sublattice, the index of this end-member's species in
    // that sublattice's list. Empty for phases without sublattices.
    std::vector<int> sublattice_species;

    bool operator==(const Constituent&) const = default;
};

struct Sublattice {
    double sites = 1.0;  // stoichiometric number of sites
    std::vector<std::string> species;

    bool operator==(const Sublattice&) const = default;
};

// One species term of an interaction: the phase-wide species number (0-based: species of the
// first sublattice, then of the second, ...; for phases without sublattices the constituent
// index) and its power (0: none written).
struct SpeciesTerm {
    int species = 0;
    int power = 0;

    bool operator==(const SpeciesTerm&) const = default;
};

// One excess Gibbs-energy or excess magnetic parameter. Its 1-based position in its list is its
// parameter number (TQLPAR, TQGPAR, TQCDAT codes 10 and 13).
struct ExcessParameter {
    // The interacting species, one group per sublattice (one group for phases without
    // sublattices), each group in phase-wide species order as the data-file gives it.
    std::vector<std::vector<SpeciesTerm>> groups;
    // Kind word: the order of the interaction in digits ("2", "3", ...) or "R" (reciprocal).
    std::string kind;
    // Optional model word: "Guts", "Quasichemical" or "Bragg-Williams"; empty for none.
    std::string model_word;
    // 1 to max_excess_expressions expressions, all of the same length: at least 6 values
    // (A..F of A + B T + C T ln T + D T^2 + E T^3 + F/T, further values P terms) for the Gibbs
    // list, at least 2 (tc, beta) for the magnetic list, at most max_expression_values.
    std::vector<std::vector<double>> expressions;

    bool operator==(const ExcessParameter&) const = default;
};

inline constexpr std::size_t min_gibbs_values = 6;
inline constexpr std::size_t min_magnetic_values = 2;

struct Phase {
    std::string name;   // as queried: the copies of a de-mixing phase end in "#1" / "#2"
    std::string model;  // model identifier: "PURE" for a stoichiometric phase, else a mixture
    bool gas = false;   // the gas phase; it is the first phase of the system
    // 0 for an ordinary phase; 1 or 2 for the two copies of a mixture phase included twice.
    // The copies are adjacent and carry the same data (changes to one belong to both); writers
    // emit them as one phase with two copies.
    int demixing_copy = 0;
    bool aqueous = false;                    // charges are data ("Ch"); 1007 otherwise
    double magnetic_structure_factor = 0.0;  // p of the magnetic model; 0: not given
    Status status = Status::entered;
    std::vector<Constituent> constituents;
    std::vector<Sublattice> sublattices;  // empty: a phase without sublattice structure
    std::vector<ExcessParameter> excess_gibbs;
    std::vector<ExcessParameter> excess_magnetic;

    bool operator==(const Phase&) const = default;

    bool is_mixture() const { return model != "PURE"; }
    // The name the data-file gives: without the "#1"/"#2" of a de-mixing copy.
    std::string base_name() const;
    // Sublattices as the queries count them: every mixture phase has at least one; without an
    // explicit structure its one sublattice holds the constituents (TQNOSL, TQNOLC).
    int sublattice_count() const;
    int sublattice_species_count(int sublattice) const;  // -1 when out of range
    const std::string* sublattice_species_name(int sublattice, int species) const;  // or null
    // Phase-wide species number -> (sublattice, index within it); {-1, -1} when out of range.
    std::pair<int, int> species_position(int species) const;
    int species_number(int sublattice, int species) const;  // -1 when out of range
};

// The eleven sizes in use, in the order TQUSED gives them.
enum class SizeItem {
    constituents,             // phase constituents over all phases (copies counted)
    components,               // system components
    solutions,                // mixture phases (copies counted)
    excess_gibbs_coeff,       // largest number of excess Gibbs parameters of one phase
    excess_magnetic_coeff,    // largest number of excess magnetic parameters of one phase
    solution_sublattices,     // most sublattices of one mixture phase
    sublattice_constituents,  // most species on one sublattice
    mqf_constituents,         // constituents of the largest quasichemical-type phase
    g_eq_constituent,         // most Cp ranges of one constituent
    g_eq,                     // Cp ranges in all
    constituents_vdep,        // constituents with molar-volume data
};
inline constexpr int size_item_count = 11;

struct System {
    std::string title;
    std::vector<Component> components;
    std::vector<Phase> phases;  // the gas phase, if any, first
    // Free text after the document (".dat": after its "..." line), kept for writing back.
    std::string commentary;
    // Each component's composition in the components the data-file gave, one column per
    // component (k x k, column by column); empty while the components are the file's own.
    // TQCSC sets it; equilibria are calculated in the file's components.
    std::vector<double> file_basis;

    bool operator==(const System&) const = default;

    // The eleven TQUSED values; out must hold size_item_count ints.
    void sizes(int* out) const;
};

// Where a defect of a system lies; decides the error number readers report.
enum class DataSection { general, phase, excess_magnetic, excess_gibbs };

struct DataError {
    DataSection section = DataSection::general;
    int component = -1;    // index into components, or -1
    int phase = -1;        // index into phases, or -1
    int constituent = -1;  // index into the phase's constituents, or -1
    int parameter = -1;    // index into the excess list of the section, or -1
    std::string what;
};

// The read error number of a section: 103, 110, 111 or 112.
int read_error_number(DataSection section);

// Every rule a loaded system must satisfy (names, counts and limits, cross-references, finite
// numbers, ordering). Readers build a System and call this before accepting it; the stored-data
// routines can call it to refuse a change that would break a rule.
std::optional<DataError> check_system(const System& system);

// Texts exchanged with the library are ASCII: every name, the title and the commentary block
// of a system, every message. True when the text has no byte above 127.
bool is_ascii(std::string_view text);
// The text with each byte above 127 written as \xNN: for messages that quote the bytes of a file
// or of a caller, so that the message is ASCII whatever it quotes.
std::string ascii_escaped(std::string_view text);

// Derived values.
double constituent_molar_mass(const System& system, const Constituent& constituent);
std::string status_text(Status status);  // "ENTERED", "DORMANT", "ELIMINATED"
// Case and trailing blanks or NULs do not matter.
std::optional<Status> status_from_text(std::string_view text);

}  // namespace eqx
