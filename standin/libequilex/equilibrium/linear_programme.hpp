// A dense two-phase simplex method with Bland's rule: minimise c.x subject to A x = b, x >= 0.
// The equilibrium calculation starts from its solution over the pure phases and the end
// members of the mixtures, whose dual values are a first set of component potentials.
#pragma once

#include "equilibrium/eigen.hpp"

namespace eqx::equilibrium {

struct LinearSolution {
    enum class Status { optimal, infeasible, unbounded, iteration_limit };
    Status status = Status::iteration_limit;
    Eigen::VectorXd x;      // the primal solution
    Eigen::VectorXd duals;  // y with A^T y <= c and b.y = c.x at the optimum
};

LinearSolution solve_linear_programme(const Eigen::MatrixXd& a, const Eigen::VectorXd& b,
                                      const Eigen::VectorXd& c);

}  // namespace eqx::equilibrium
