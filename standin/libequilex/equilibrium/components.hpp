// The system components a calculation works in. After TQCSC the routines speak the new
// components, while equilibria are calculated in the components the data-file gave: whether
// a component has an input, the zero-input rule and the start's scaling are questions about
// the file's components, and a new component's zero is often a difference of inputs.
#pragma once

#include "data/system.hpp"
#include "equilibrium/eigen.hpp"

namespace eqx::equilibrium {

// Coefficients that are whole numbers but for rounding become those numbers, and those within
// 1e-14 of 0 become 0.
double tidy_coefficient(double x);

// tidy_coefficient of every entry.
Eigen::MatrixXd tidied(const Eigen::MatrixXd& a);

// Each component's composition in the file's components, one column per component; an empty
// matrix while the components are the file's own.
Eigen::MatrixXd file_basis(const System& system);

// `moles` of component c in the file's components.
Eigen::VectorXd component_in_file(const System& system, int c, double moles);

}  // namespace eqx::equilibrium
