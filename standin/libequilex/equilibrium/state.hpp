// Everything the library keeps for equilibrium calculations between calls: conditions with
// their numbers, system units, target limits, configuration options, streams, the phase map in
// progress and the last result. Values are kept in SI units (K, Pa, m3, J, mol); the routines
// convert at the call interface.
//
// TQINI clears all of it. Reading a new data-file clears what belongs to the old system
// (conditions, streams, the map, the last result) and keeps units, limits and configuration.
// Each calculation replaces the last result, a failed one too: after a failure no result is
// offered until a calculation succeeds.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "equilibrium/eigen.hpp"
#include "equilibrium/minimiser.hpp"
#include "equilibrium/units.hpp"

namespace eqx::equilibrium {

// Condition numbers: one fixed number for each kind that a later setting replaces, then
// numbers of their own, counting up, for incoming amounts, potentials and activities.
namespace condition_number {
inline constexpr int pressure_or_volume = 1;
inline constexpr int temperature = 2;
inline constexpr int target = 3;
inline constexpr int first_own = 4;
}  // namespace condition_number

// Targets: conditions the calculation meets by varying a target variable.
enum class TargetKind {
    formation,           // "A" >= 0: the phase at activity 1 and amount 0
    precipitation,       // "A" < 0: the phase alone holds the input, the next one at activity 1
    heat_capacity,       // "CP"
    enthalpy,            // "H"
    entropy,             // "S"
    gibbs_energy,        // "G"
    volume,              // "V"
    activity,            // "AT": relative activity of a phase constituent
    fraction,            // "XT": mole fraction of a phase constituent
    component_fraction,  // "XPT": fraction of a system component in a phase
};

struct Target {
    TargetKind kind = TargetKind::formation;
    int phase = 0;       // 0-based phase index, or -1 for the whole system
    int index = 0;       // 0-based constituent or component index, or -1
    double value = 0.0;  // SI (J, J/K, m3) or a plain number
};

// An incoming amount ("IA"): of a constituent (phase >= 0) or of a component (phase -1).
struct IncomingAmount {
    int number = 0;
    int phase = -1;
    int index = 0;
    double moles = 0.0;
    // Components: the amounts it adds to each component of the current basis (TQCSC changes the
    // basis and re-expresses it), and to each of the file's components (which TQCSC leaves as
    // they are: an input of 0 there stays exactly 0, whatever the basis).
    Eigen::VectorXd components;
    Eigen::VectorXd file_components;
};

// A held chemical potential ("MU", relative: mu - mu0 in J/mol) or activity ("AC") of a phase
// constituent: an open-system condition.
struct HeldPotential {
    int number = 0;
    int phase = 0;
    int index = 0;
    bool activity = false;
    double value = 0.0;  // J/mol, or the activity (gas: fugacity in Pa)
};

struct Conditions {
    double temperature = 1000.0;  // K
    double pressure = 1e5;        // Pa
    double volume = 0.0;          // m3, in force while volume_in_force
    bool pressure_set = false;
    bool volume_in_force = false;
    bool temperature_set = false;
    std::optional<Target> target;
    std::vector<IncomingAmount> amounts;
    std::vector<HeldPotential> potentials;
    int next_number = condition_number::first_own;
};

// Target-variable limits (TQCLIM), SI.
struct Limits {
    double temperature_low = 200.0;    // K
    double temperature_high = 6000.0;  // K
    double pressure_low = 1e-15;       // Pa
    double pressure_high = 1e10;       // Pa
    double volume_low = 1e-12;         // m3
    double volume_high = 1e12;         // m3

    bool is_default() const;
};

// Configuration options (TQCONF): what each of the three integers means is in docs/standin.md.
struct Configuration {
    int iterations = 500;        // ITERATIONS a: Newton iterations of one equilibrium
    int target_iterations = 99;  // ITERATIONS b: iterations of a target search (1-99)
    int assemblies = 200;        // ASSEMBLIES a: phase assemblages before 702
    int list_all_phases = 1;     // OUTPUT a: 1 lists every phase, 0 only those present
    int list_digits = 6;         // OUTPUT b: significant digits of listed values (3-15)
};

struct StreamAmount {
    int phase = 0;
    int constituent = 0;
    double moles = 0.0;
};

struct Stream {
    std::string name;
    double temperature = 298.15;  // K
    double pressure = 1e5;        // Pa
    std::vector<StreamAmount> amounts;
};

// The results of one calculation, in SI, as TQGETR reads them.
struct ConstituentResult {
    double moles = 0.0;
    double fraction = 0.0;  // mole fraction in its phase (at the phase's composition)
    double ln_activity = -std::numeric_limits<double>::infinity();  // against the potentials
    double potential = 0.0;  // mu - mu0, J/mol (relative chemical potential)
    // Partial molar values (J/mol, J/(mol K), m3/mol).
    double g = 0.0, h = 0.0, s = 0.0, cp = 0.0, v = 0.0;
    double molar_mass = 0.0;  // kg/mol
    bool calculated = false;  // entered or dormant (not eliminated)
};

struct PhaseResult {
    double moles = 0.0;
    double mass = 0.0;  // kg
    double ln_activity = -std::numeric_limits<double>::infinity();
    bool present = false;  // in the equilibrium assemblage with a positive amount
    bool eliminated = false;
    // Molar values of the phase at its composition (J/mol, ..., m3/mol) and per kg.
    double gm = 0.0, hm = 0.0, sm = 0.0, cpm = 0.0, vm = 0.0;
    double molar_mass = 0.0;                      // kg per mol of phase
    Eigen::VectorXd components;                   // mol of each component per mol of phase
    std::vector<ConstituentResult> constituents;  // one per constituent of the phase
};

struct Result {
    double temperature = 0.0;          // K
    double pressure = 0.0;             // Pa
    double volume = 0.0;               // m3, total
    Eigen::VectorXd potentials;        // J/mol, component potentials
    Eigen::VectorXd incoming;          // mol of each component that entered (input and reservoirs)
    Eigen::VectorXd component_masses;  // kg/mol of each component
    std::vector<PhaseResult> phases;
    // Incoming moles of each constituent that has an "IA" condition, stream amount or held
    // potential: (phase, constituent, moles).
    struct ConstituentInput {
        int phase;
        int constituent;
        double moles;
    };
    std::vector<ConstituentInput> constituent_inputs;
    // The whole system, not counting streams.
    double g = 0.0, h = 0.0, s = 0.0, cp = 0.0, v = 0.0;
    double moles = 0.0;
    double mass = 0.0;
    // With streams: the sums over the streams (J, J/K, m3); extensive system results are then
    // balances. A stream constituent that is ELIMINATED makes them unavailable (608).
    bool streams = false;
    bool stream_constituent_eliminated = false;
    double stream_g = 0.0, stream_h = 0.0, stream_s = 0.0, stream_cp = 0.0, stream_v = 0.0;
    Equilibrium equilibrium;  // where TQCEN starts from
};

// An incoming amount varied by a target calculation or a map ("IA0"/"IA"/"IAF").
struct AmountVariable {
    int phase = -1;  // -1: component
    int index = 0;
    double low = 0.0;   // mol
    double high = 0.0;  // mol
};

// A phase map in progress: its points (the map variable: K, ln Pa, or the parameter 0..1 of
// its amounts), the phases that form at each (held at activity 1 and amount 0 there), and the
// next point to calculate.
struct MapProgress {
    enum class Variable { temperature, pressure, amount };
    bool active = false;
    Variable variable = Variable::temperature;
    std::vector<double> points;
    std::vector<std::vector<int>> forming;
    // Per point, an equilibrium calculated beside it while the map was planned: where the
    // point's own calculation starts from.
    std::vector<Equilibrium> starts;
    std::size_t next = 0;
    std::vector<AmountVariable> amounts;
};

struct CalculationState {
    Units units;
    Conditions conditions;
    Limits limits;
    Configuration configuration;
    std::vector<Stream> streams;
    MapProgress map;
    std::vector<AmountVariable> amount_variables;  // "IA0" calls collected so far
    std::vector<AmountVariable> map_amounts;  // "IA0" map substances recorded for the next "IAF"
    std::optional<Result> result;
    // The last calculation failed (and so left no result): TQCEN then calculates as TQCE does,
    // where before any calculation it gives 516.
    bool last_calculation_failed = false;

    // A calculation succeeded: its result is the one the routines read.
    void keep_result(Result&& calculated);
    // A calculation failed: no result until one succeeds.
    void drop_result();

    // TQREMC -1 (reset_units) and -2: every condition, target and configuration option.
    void remove_all_conditions(bool reset_units);
    // A new data-file: what belongs to the old system.
    void forget_system();
};

// The state of this image's library (created with it, cleared by TQINI).
CalculationState& calculation_state();

}  // namespace eqx::equilibrium
