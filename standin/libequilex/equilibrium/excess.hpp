// Excess Gibbs energy of a mixture phase without sublattices, built from its stored excess Gibbs
// parameters (so that changes made with TQCDAT take effect in the next calculation). The
// conventions (data/README.md): a parameter of two species i, j (in the order the data-file
// lists them) contributes x_i^p_i x_j^p_j sum_v L_v (x_i - x_j)^v, expression v being the
// Redlich-Kister order v; one of three species contributes x_i x_j x_k L_0, or with several
// expressions x_i x_j x_k sum_m nu_m L_m with nu_m = x_m + (1 - x_i - x_j - x_k) / 3; any other
// number of species contributes the product of the fractions times L_0. A species power p
// raises that species' fraction to the power p (none written: 1). Each L is
// A + B T + C T ln T + D T^2 + E T^3 + F / T + G P + H P^2 (P in bar); further values are kept
// and not used.
#pragma once

#include <array>
#include <vector>

#include "data/system.hpp"
#include "equilibrium/eigen.hpp"

namespace eqx::equilibrium {

struct ExcessTerm {
    enum class Form { binary, ternary, product };
    Form form = Form::product;
    std::vector<int> species;     // local indices into the phase's calculated constituents
    std::vector<int> on_support;  // the same species as indices into ExcessModel::support()
    std::vector<int> powers;      // exponents, at least 1
    std::vector<std::array<double, 8>> expressions;
    std::vector<double> prepared;  // each expression's L at the prepared temperature and pressure
};

// Which derivative of the excess Gibbs energy to evaluate: none, the first or second in
// temperature, or the first in pressure (the excess volume, J/bar).
enum class ExcessDerivative { none, temperature, temperature_second, pressure };

class ExcessModel {
  public:
    // The terms of a phase over the constituents listed in `calculated` (indices into
    // phase.constituents, in order); terms naming another constituent are left out (its
    // fraction is 0). Only the models RKMP and QKTO have an excess Gibbs energy; every other
    // mixture model, sublattice phases included, mixes ideally.
    static ExcessModel build(const Phase& phase, const std::vector<int>& calculated);

    bool empty() const { return terms_.empty(); }

    // The model over a subset of its constituents: `keep` lists the local indices that stay,
    // in their new order; terms naming any other constituent are left out.
    ExcessModel restricted(const std::vector<int>& keep) const;

    // Evaluates every L once at this temperature and pressure (bar), for the calls of
    // `evaluate` at that state and for `evaluate_on_support`.
    void prepare(double temperature, double pressure_bar);

    // The local indices of the constituents some term names, ascending: G_ex depends on their
    // fractions alone.
    const std::vector<int>& support() const { return support_; }

    // G_ex per mole of phase (J/mol) at mole fractions x, as a polynomial in all the fractions
    // (not only on the simplex), or one of its derivatives in temperature or pressure; adds the
    // gradient and the Hessian with respect to x when asked.
    double evaluate(const Eigen::VectorXd& x, double temperature, double pressure_bar,
                    ExcessDerivative derivative, Eigen::VectorXd* gradient,
                    Eigen::MatrixXd* hessian) const;

    // G_ex (J/mol) at the prepared state, from the fractions of the support's constituents
    // (xs[i] that of support()[i]); adds the gradient and the Hessian over those fractions to
    // the leading entries of `gradient` and `hessian`, which may be larger.
    double evaluate_on_support(const Eigen::VectorXd& xs, Eigen::VectorXd* gradient,
                               Eigen::MatrixXd* hessian) const;

  private:
    void index_support();

    std::vector<ExcessTerm> terms_;
    std::vector<int> support_;
    bool prepared_ = false;
    double prepared_temperature_ = 0.0;
    double prepared_pressure_ = 0.0;
};

// Partial molar values from a molar value q(x) of a phase and its gradient:
// q_j = q + dq/dx_j - sum_l x_l dq/dx_l.
Eigen::VectorXd partial_molar(double value, const Eigen::VectorXd& gradient,
                              const Eigen::VectorXd& x);

}  // namespace eqx::equilibrium
