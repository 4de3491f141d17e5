// The results of a calculation: amounts, fractions, activities, potentials, and the molar,
// partial molar and extensive properties of phases and of the system, all in SI. They are
// computed once when a calculation succeeds; TQGETR only looks them up and converts units.
#pragma once

#include <cmath>
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
    // The same input in the file's components, where the system has other components (TQCSC);
    // else empty.
    Eigen::VectorXd file_components;
    std::vector<Result::ConstituentInput> constituents;
    std::vector<HeldPotential> potentials;
    std::vector<Reservoir> reservoirs;  // the potentials at the calculation's T and P
};

Result make_result(const System& system, const CalculatedSystem& calculated,
                   const Equilibrium& equilibrium, const Input& input,
                   const std::vector<Stream>& streams);

// No routine reports success with a value that is not finite. A value the library reports is
// representable when its magnitude leaves room for every unit conversion (see
// limits::largest_reported_value).
using limits::representable;

// Whether every value of a result is representable. The one exception is documented: the
// ln a of an ELIMINATED phase, of an ELIMINATED constituent and of a constituent that is not
// calculated is minus infinity (TQGETR "AC" 0, "MU" minus infinity).
bool representable(const Result& result);

// Whether the functions a calculation reads for one constituent (G, H, S, Cp, the molar volume)
// are representable at T (K) and P (Pa), both > 0: 0 when they are, 510 when they are not at
// that temperature already at 1 bar, 509 when only the pressure makes them so.
int state_point_error(const System& system, const Phase& phase, const Constituent& constituent,
                      double temperature, double pressure);

// The properties of a stream that are not representable, explained: 510 or 509 by the stream's
// own temperature or pressure (state_point_error of a constituent it holds), else 513: its
// amounts are too large for them.
int stream_error(const System& system, const Stream& stream);

// A calculation at the state of `calculated` whose values are not representable, explained:
// 510 or 509 when the temperature or the pressure itself is not, or the functions of a
// constituent it reads are not (the excess Gibbs energy of a mixture included), or those of a
// stream; else 513, the input amounts or held potentials being too large for its values.
int calculation_error(const System& system, const CalculatedSystem& calculated,
                      const std::vector<Stream>& streams);

}  // namespace eqx::equilibrium
