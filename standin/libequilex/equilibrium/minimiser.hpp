// Minimum Gibbs energy at fixed temperature, pressure and input, over the phases of a
// CalculatedSystem: the equilibrium amounts and compositions of the phases, and the component
// potentials (the Lagrange multipliers of the mass balance).
//
// Method: a linear programme over the pure phases and the end members of the mixtures gives the
// first potentials and phase assemblage; Newton's method then solves, for the active phases,
// the mass balance and "activity 1" of each active phase in the potentials and the phase
// amounts (each mixture's composition follows from the potentials through its minimum
// tangent-plane distance). Phases whose amount goes negative leave the assemblage, the phase
// with the largest activity above 1 joins it, until no phase outside has an activity above 1.
// The equations are written over basis species (the most abundant independent species of the
// assemblage) so that trace species are balanced to their own precision.
//
// Potentials that the assemblage does not fix (fewer independent stable compositions than
// components) are placed where the largest activity of the phases outside the assemblage is
// smallest; along directions that lower all of them without end they move 50 R T from their
// start (docs/standin.md).
#pragma once

#include <limits>
#include <vector>

#include "equilibrium/eigen.hpp"
#include "equilibrium/phase_model.hpp"

namespace eqx::equilibrium {

// An open-system condition: a species whose chemical potential is held (MU or AC), so that
// the amount of it that enters the system floats.
struct Reservoir {
    Eigen::VectorXd stoichiometry;  // over the components
    double potential = 0.0;         // mu / (R T)
};

struct PhaseOutcome {
    double amount = 0.0;  // mol of phase (sum of its constituents' amounts)
    Eigen::VectorXd x;    // mole fractions over CalculatedPhase::constituents
    double ln_activity = -std::numeric_limits<double>::infinity();
    bool active = false;  // part of the equilibrium assemblage (amount may be 0 at a boundary)
};

struct Equilibrium {
    Eigen::VectorXd zeta;              // component potentials / (R T)
    std::vector<PhaseOutcome> phases;  // one per phase of the system
    Eigen::VectorXd supplies;          // mol supplied by each reservoir
    int iterations = 0;
};

struct MinimiserOptions {
    int max_iterations = 500;  // Newton iterations over all assemblages
    int max_assemblies = 200;  // phase assemblages tried before giving up (702)
    // A phase kept out of the mass balance (observed) whose activity the placement of free
    // potentials makes the lowest the other phases allow (a formation target's), or -1.
    int least_activity_phase = -1;
};

struct MinimiserResult {
    int error = 0;  // 0, or 702, 703, 705
    Equilibrium equilibrium;
};

// b: incoming moles of each component. start: a previous equilibrium of the same system to
// begin from (its assemblage and potentials), or null for a start from the linear programme.
MinimiserResult minimise_gibbs_energy(const CalculatedSystem& system, const Eigen::VectorXd& b,
                                      const std::vector<Reservoir>& reservoirs,
                                      const Equilibrium* start, const MinimiserOptions& options);

}  // namespace eqx::equilibrium
