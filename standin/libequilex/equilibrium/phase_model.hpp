// The phases of the loaded system as a calculation sees them at one temperature and pressure:
// their calculated constituents, stoichiometry, reduced standard Gibbs energies and excess
// model; and for a given set of component potentials, the phase's minimum tangent-plane
// distance, which gives its activity, its composition and how that composition moves with the
// potentials.
//
// Potentials are reduced: zeta_k = lambda_k / (R T), so every Gibbs energy below is divided by
// R T too.
#pragma once

#include <vector>

#include "data/system.hpp"
#include "equilibrium/eigen.hpp"
#include "equilibrium/excess.hpp"

namespace eqx::equilibrium {

// What a phase may do in a calculation.
enum class Role {
    absent,    // ELIMINATED, or no constituent to calculate: activity 0
    observed,  // DORMANT: outside the mass balance, its activity is calculated
    balanced,  // ENTERED: may hold matter
};

struct CalculatedPhase {
    enum class Kind { pure, ideal, nonideal };

    int phase = 0;  // index into System::phases
    Kind kind = Kind::pure;
    Role role = Role::absent;
    bool gas = false;
    // The other copy of a de-mixing phase (index into System::phases), or -1.
    int partner = -1;
    std::vector<int> constituents;  // indices into Phase::constituents: the calculated ones
    Eigen::MatrixXd stoichiometry;  // components x constituents
    Eigen::VectorXd g;              // g / (R T), gas constituents with ln(P / 1 bar)
    ExcessModel excess;             // nonideal phases only
    // DORMANT constituents: never in the phase, but their activities are reported against the
    // potentials (as pure), so the zero-input rule holds them too. As stoichiometry and g.
    Eigen::MatrixXd dormant_stoichiometry;
    Eigen::VectorXd dormant_g;

    int size() const { return static_cast<int>(constituents.size()); }
};

struct CalculatedSystem {
    double temperature = 0.0;  // K
    double pressure = 0.0;     // Pa
    int components = 0;
    std::vector<CalculatedPhase> phases;  // one per phase of the system, in order

    double rt() const;
    double pressure_bar() const;
};

// Roles from the statuses of the phases and constituents; `overrides` (one per phase, may be
// empty) replaces a phase's role, e.g. to keep a target phase out of the mass balance.
CalculatedSystem calculate_system(const System& system, double temperature, double pressure,
                                  const std::vector<Role>& overrides = {});

// The minimum of the tangent-plane distance of one phase under the potentials zeta.
struct TangentPlane {
    double ln_activity = 0.0;     // -(minimum distance) / (R T); the phase's activity is its exp
    Eigen::VectorXd x;            // composition at the minimum (mole fractions)
    Eigen::VectorXd m;            // moles of each component per mole of phase
    Eigen::MatrixXd sensitivity;  // dm / dzeta, when asked for
    // dx / dzeta (constituents x components), when asked for.
    Eigen::MatrixXd composition_sensitivity;
    bool converged = true;
};

struct TangentPlaneRequest {
    const Eigen::VectorXd* start = nullptr;  // composition to start from (nonideal phases)
    bool sensitivity = false;
    // Nonideal phases: search every start for the global minimum, not only the local one near
    // `start`; `avoid` (may be null) is a composition whose own minimum is taken only when no
    // other exists (the second copy of a de-mixing phase looks beside the first).
    bool global = false;
    const Eigen::VectorXd* avoid = nullptr;
};

TangentPlane tangent_plane(const CalculatedSystem& system, const CalculatedPhase& phase,
                           const Eigen::VectorXd& zeta, const TangentPlaneRequest& request = {});

// ln sum exp(w_j), without overflow: an ideal mixture's ln a at w = a^T zeta - g.
double log_sum_exp(const Eigen::VectorXd& w);

// out = exp(v - shift), entry by entry, exact where below the smallest normal double: Eigen's
// vectorised exp gives ~5.6e-309 for every argument from about -709.8 down to far below -745,
// where the result is a smaller subnormal or 0 (a fraction of e^-738 came out as e^-709).
void exp_entries(const Eigen::VectorXd& v, double shift, Eigen::VectorXd& out);

// The tangent plane of an ideal mixture at w = a^T zeta - g (tangent_plane's, in closed form),
// written into out's storage: a caller that evaluates it over and over keeps its buffers.
void ideal_tangent_plane(const CalculatedPhase& phase, const Eigen::VectorXd& w, bool sensitivity,
                         TangentPlane& out);

// A mixture at composition x: the reduced chemical potentials mu_j / (R T) of its calculated
// constituents, and the Hessian of its reduced molar Gibbs energy over the fractions (as a
// function of all of them): diag(1/x) plus the excess part.
struct MixtureDerivatives {
    Eigen::VectorXd mu;
    Eigen::MatrixXd hessian;
};
MixtureDerivatives mixture_derivatives(const CalculatedSystem& system, const CalculatedPhase& phase,
                                       const Eigen::VectorXd& x);

// The excess part alone of a mixture at composition x: the excess chemical potentials
// mu_j^E / (R T) of its calculated constituents and, when asked, the Hessian of the reduced
// molar excess Gibbs energy over the fractions (empty for an ideal mixture).
struct MixtureExcess {
    Eigen::VectorXd mu;
    Eigen::MatrixXd hessian;
};
MixtureExcess mixture_excess(const CalculatedSystem& system, const CalculatedPhase& phase,
                             const Eigen::VectorXd& x, bool hessian);

// Molar Gibbs energy of the phase at composition x, reduced (G / (R T)), with ideal mixing and
// excess: sum x_j (g_j + ln x_j) + G_ex / (R T).
double reduced_gibbs_energy(const CalculatedSystem& system, const CalculatedPhase& phase,
                            const Eigen::VectorXd& x);

}  // namespace eqx::equilibrium
