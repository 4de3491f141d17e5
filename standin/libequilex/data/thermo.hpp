// Standard thermodynamic functions of one constituent from its stored data, at 1 bar unless a
// pressure is given. Every calculation (TQGDPC, the equilibrium, targets, phase maps) uses these,
// so a change to the stored data takes effect in the next calculation.
//
// Units: T in K, P in bar, results in J/mol, J/(mol K) and cm3/mol. T must be > 0 K (otherwise
// the result is NaN). Outside 298.15 K .. the last upper temperature the nearest range is
// extrapolated.
#pragma once

#include "system.hpp"

namespace eqx::thermo {

struct StandardFunctions {
    double cp = 0.0;
    double h = 0.0;
    double s = 0.0;
    double g = 0.0;  // h - T s
};

// H(T) = H298 + integral of Cp from 298.15 K plus the transformation enthalpies of every range
// boundary below T; S likewise with Cp/T and Ht/Tt. At a boundary itself the lower range holds.
// The transformation enthalpy of the last range has no next range to lead into and is not used.
StandardFunctions standard_functions(const Constituent& constituent, double temperature);

double heat_capacity(const Constituent& constituent, double temperature);
double enthalpy(const Constituent& constituent, double temperature);
double entropy(const Constituent& constituent, double temperature);
double gibbs_energy(const Constituent& constituent, double temperature);

// Upper temperature of the last Cp range (TQGDPC "T").
double upper_temperature(const Constituent& constituent);

// Molar volume from the molar-volume data (see MolarVolumeData); 0 without such data.
double molar_volume(const Constituent& constituent, double molar_mass, double temperature,
                    double pressure);
// Integral of V dP from 1 bar to pressure, in J/mol: what condensed constituents add to G.
// 0 without molar-volume data.
double pressure_gibbs_term(const Constituent& constituent, double molar_mass, double temperature,
                           double pressure);

// The magnetic ordering contribution of a constituent with magnetic data in a phase whose
// magnetic structure factor p is given (0 < p < 1): G = R T ln(beta + 1) f(T / Tc), with the
// ordering polynomial f of p (data/README.md). A negative Tc or moment marks an antiferromagnet
// and is divided by -1 when p = 0.4 (bcc) and by -3 otherwise. Zero without data, without p, or
// when Tc or the moment is 0.
StandardFunctions magnetic_functions(const MagneticData& data, double structure_factor,
                                     double temperature);

// The functions a calculation uses for one constituent of a phase at T (K) and P (bar): the
// standard functions, plus for condensed phases the integral of V dP from 1 bar (with its
// entropy and enthalpy, so that g = h - T s holds), plus the magnetic contribution. An ideal
// gas constituent's own pressure term R T ln(P / 1 bar) is not included: it belongs to the
// mixture. cp is the heat capacity at constant pressure.
StandardFunctions constituent_functions(const System& system, const Phase& phase,
                                        const Constituent& constituent, double temperature,
                                        double pressure);

}  // namespace eqx::thermo
