// From the conditions to a result: the input (conditions or streams), held potentials as
// reservoirs, one equilibrium at a temperature and pressure or at a held total volume.
#pragma once

#include <vector>

#include "data/system.hpp"
#include "equilibrium/phase_model.hpp"
#include "equilibrium/results.hpp"
#include "equilibrium/state.hpp"

namespace eqx::equilibrium {

// The incoming moles from the "IA" conditions, or from the streams when any stream holds
// matter; the held potentials. 508 when nothing comes in, 513 for a negative or non-finite
// amount.
int gather_input(const System& system, const CalculationState& state, Input& input);
int gather_input(const System& system, const Conditions& conditions,
                 const std::vector<Stream>& streams, Input& input);

// Where one equilibrium is calculated, and under what.
struct Point {
    double temperature = 0.0;  // K
    double pressure = 0.0;     // Pa (ignored at constant volume)
    bool constant_volume = false;
    double volume = 0.0;          // m3
    std::vector<Role> overrides;  // per phase; empty: the statuses decide
    // A phase kept out whose activity is to be the lowest the others allow, or -1
    // (MinimiserOptions::least_activity_phase).
    int least_activity_phase = -1;
    const Equilibrium* start = nullptr;

    // The state variables of the conditions.
    static Point of(const Conditions& conditions) {
        Point point;
        point.temperature = conditions.temperature;
        point.pressure = conditions.pressure;
        point.constant_volume = conditions.volume_in_force;
        point.volume = conditions.volume;
        return point;
    }
};

// One equilibrium: 509/510 for a pressure or temperature that is not > 0, 701-706 when the
// equilibrium cannot be obtained.
int calculate_point(const System& system, const CalculationState& state, const Input& input,
                    const Point& point, Result& result);

// How a transition state's potentials are found: those of one side, fitted to the state's
// phases, or partitioned (below).
enum class LeverPotentials { one_side, fitted, partitioned };

// A state at a transition of the point's temperature and pressure (not at constant volume),
// where the system passes between two equilibria that are both minima of G there: `lower` and
// `upper`, calculated at that point. The phase amounts (and the held potentials' supplies) are
// (1 - share) times the lower side's plus share times the upper side's. One side: the potentials
// are those of the side whose phases fix more of their directions (of two that fix as many, the
// one under which the other side's phases are nearer activity 1), and each phase holding matter
// on one side only takes the composition they give it, the amounts corrected to hold the input.
// Fitted: each phase keeps its side's composition (one on both sides the mix of its two), and
// the potentials are the least-squares fit to the constituents' of the phases holding matter
// (the first side's along directions none of them fixes). Partitioned: from the fitted ones,
// where it settles, the potentials under which those phases, at their amounts and each at the
// composition the potentials give it, hold the input and are nearest activity 1 (a trace two
// phases share is partitioned between them so, where each side held all of it in one phase),
// the amounts corrected to hold the input. A phase without matter takes its activity under
// the fitted or partitioned potentials. 0, or 509/510/513 when its values are not
// representable.
int transition_state(const System& system, const CalculationState& state, const Input& input,
                     const Point& point, const Equilibrium& lower, const Equilibrium& upper,
                     double share, LeverPotentials potentials, Result& result);

}  // namespace eqx::equilibrium
