// The results of a calculation: amounts, fractions, activities, potentials, and the molar,
// partial molar and extensive properties of phases and of the system, all in SI. They are
// computed once when a calculation succeeds; TQGETR only looks them up and converts units.
#pragma once

#include <vector>

#include "data/system.hpp"
#include "equilibrium/eigen.hpp"
#include "equilibrium/minimiser.hpp"
#include "equilibrium/phase_model.hpp"
#include "equilibrium/state.hpp"

namespace eqx::equilibrium {

// Molar G, H, S, Cp (J/mol, J/(mol K)) and V (m3/mol) of a phase at composition x over the
// listed constituents (indices into Phase::constituents), with ideal mixing, the excess model
// and, for the gas, R T ln(P / 1 bar). With partials, the partial molar values of each listed
// constituent too.
struct MolarProperties {
    double g = 0.0, h = 0.0, s = 0.0, cp = 0.0, v = 0.0;
    Eigen::VectorXd pg, ph, ps, pcp, pv;  // partial molar values, when asked for
};
MolarProperties molar_properties(const System& system, const Phase& phase,
                                 const std::vector<int>& constituents, const Eigen::VectorXd& x,
                                 double temperature, double pressure, bool partials);

// The extensive properties of a stream at its own temperature and pressure, each phase at the
// composition its constituents in the stream give it (J, J/K, m3, mol, kg). `eliminated` tells
// whether a constituent of the stream is ELIMINATED (or in an ELIMINATED phase).
struct StreamProperties {
    double g = 0.0, h = 0.0, s = 0.0, cp = 0.0, v = 0.0;
    double moles = 0.0, mass = 0.0;
    bool eliminated = false;
};
StreamProperties stream_properties(const System& system, const Stream& stream);

// What went into a calculation besides the phases: the incoming moles of each component, the
// constituents that were given as input, and the held potentials.
struct Input {
    Eigen::VectorXd components;
    std::vector<Result::ConstituentInput> constituents;
    std::vector<HeldPotential> potentials;
    std::vector<Reservoir> reservoirs;  // the potentials at the calculation's T and P
};

Result make_result(const System& system, const CalculatedSystem& calculated,
                   const Equilibrium& equilibrium, const Input& input,
                   const std::vector<Stream>& streams);

}  // namespace eqx::equilibrium
