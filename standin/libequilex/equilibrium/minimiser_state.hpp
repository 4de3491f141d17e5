// The state the stages of the minimisation share (minimiser.hpp describes the method): the
// system as the mass balance sees it, the input, the assemblage with its amounts and
// compositions, the potentials, and the basis the equations are written over. One stage per
// file: minimiser_start (the linear programmes and column generation, or a previous
// equilibrium), minimiser_newton (the basis and Newton's method on an assemblage),
// minimiser_active_set (phases joining and leaving), minimiser_trace_potentials,
// minimiser_free_potentials, and minimiser.cpp (the whole iteration and its outcome).
#pragma once

#include <limits>
#include <utility>
#include <vector>

#include "equilibrium/eigen.hpp"
#include "equilibrium/minimiser.hpp"
#include "equilibrium/phase_model.hpp"

namespace eqx::equilibrium {

inline constexpr double activity_tolerance = 1e-9;  // ln a above which an outside phase joins
inline constexpr double potential_box = 50.0;       // reduced potential a free direction may move
inline constexpr double max_potential_step = 10.0;  // reduced potential change per Newton step
inline constexpr double converged_step = 1e-10;

class Minimiser {
  public:
    using MatrixXd = Eigen::MatrixXd;
    using VectorXd = Eigen::VectorXd;

    Minimiser(const CalculatedSystem& full, const VectorXd& b,
              const std::vector<Reservoir>& reservoirs, const MinimiserOptions& options);

    MinimiserResult run(const Equilibrium* start);

  private:
    // --- the start (minimiser_start.cpp) -----------------------------------------------------
    void exclude_unreachable();
    static void restrict_phase(CalculatedPhase& phase, const std::vector<int>& keep);
    int cold_start(const std::vector<std::pair<int, VectorXd>>& seeds = {});
    void independent_assemblage();
    void split_demixing_copies(std::vector<std::vector<std::pair<double, VectorXd>>>& parts) const;
    bool warm_start(const Equilibrium& start);

    // --- basis species and Newton's method (minimiser_newton.cpp) ----------------------------
    //
    // Pure and ideal phases take part in dual form: the amount of the phase is the unknown and
    // its composition follows from the potentials. Nonideal mixtures take part in primal form:
    // the amounts of their constituents are the unknowns, with "mu_j = a_j . zeta" for each;
    // near a critical point their composition is not a usable function of the potentials.
    enum class Step { moved, converged, failed };

    // The equations of the assemblage at potentials zw (work basis) and amounts: the mass
    // balance over the basis species, relative to the input (trace-species rows hardly count,
    // so the line search does not hold back the steps that balance them); "activity 1" of each
    // dual phase and "mu_j = a_j . zeta" of each primal constituent; the held potentials. Also
    // what the Newton system is built from.
    struct Equations {
        VectorXd residual;
        std::vector<TangentPlane> planes;          // dual phases
        std::vector<MixtureDerivatives> mixtures;  // primal phases
        bool finite = true;
    };

    void rebase();
    static VectorXd clean(VectorXd v);
    // Nonideal mixtures join in dual form, as everything else, and turn primal once they hold a
    // share of the input: their activity is then 1 by construction of the assemblage.
    bool is_primal(int p) const { return primal_[p]; }
    void turn_primal();
    int rows_of(int p) const { return is_primal(p) ? balance_.phases[p].size() : 1; }
    std::vector<VectorXd> current_moles() const;
    Equations equations(const VectorXd& zw, const std::vector<VectorXd>& moles,
                        const VectorXd& supplies, bool derivatives) const;
    Step newton_step();

    // --- the active set (minimiser_active_set.cpp) -------------------------------------------
    struct Worst {
        int phase = -1;
        double ln_activity = -std::numeric_limits<double>::infinity();
        VectorXd x;
    };

    bool drop_vanished();
    void drop(int index);
    void add(int p, const VectorXd& x);
    void pivot_dependent(int added);
    int least_consistent() const;
    int least_amount() const;
    int most_negative() const;
    bool split_in_spinodal();
    bool merge_copies();
    VectorXd unheld() const;
    bool holds_input() const;
    bool add_phase_for_unheld(const MatrixXd& z);
    Worst worst_outside() const;
    bool add_most_active();

    // --- trace potentials (minimiser_trace_potentials.cpp) -----------------------------------
    void settle_trace_potentials();

    // --- free potentials (minimiser_free_potentials.cpp) -------------------------------------
    //
    // What must stay below activity 1 while free potentials are placed: each phase outside the
    // assemblage, DORMANT ones included (their activity), and each assemblage phase that lost
    // species to exclude_unreachable (the share of those species: the phase's activity is 1
    // plus it).
    struct Constraint {
        int phase;
        bool excluded_part;
    };

    std::vector<Constraint> constraints() const;
    std::pair<double, VectorXd> constraint_value(const Constraint& c, const VectorXd& zeta) const;
    MatrixXd free_directions() const;
    void place_free_potentials(const MatrixXd& z, const std::vector<Constraint>& all);

    // --- the phases and the whole iteration (minimiser.cpp) ----------------------------------
    double input_scale() const;
    bool is_second_copy(int p) const;
    static VectorXd start_composition(VectorXd x);
    bool is_active(int p) const;
    TangentPlane activity(int p, const VectorXd& zeta, bool whole) const;
    TangentPlane full_activity(int p, const VectorXd& zeta) const;
    VectorXd full_composition(int p) const;
    int iterate();
    void first_copies_first();
    Equilibrium outcome();

    const CalculatedSystem& full_;
    CalculatedSystem balance_;
    CalculatedSystem work_;
    VectorXd b_;
    std::vector<Reservoir> reservoirs_;
    MinimiserOptions options_;
    int k_;
    int count_;

    MatrixXd basis_;
    MatrixXd basis_inverse_;
    std::vector<std::pair<int, int>> basis_species_;  // (phase, constituent), or phase < 0
    VectorXd b_work_;
    std::vector<VectorXd> reservoirs_work_;

    VectorXd zeta_;
    VectorXd supply_;
    std::vector<int> active_;
    std::vector<double> amount_;
    std::vector<bool> primal_;
    std::vector<VectorXd> composition_;
    int iterations_ = 0;
    int assemblies_ = 0;
    int unsettled_ = 0;  // Newton iterations since the assemblage last changed
    int restarts_ = 0;
    int stuck_ = 0;  // Newton steps in a row that the line search could not take
    double last_merit_ = 0.0;
    int last_dropped_ = -1;
    bool settle_pending_ = false;  // a new basis: trace potentials to settle before Newton
};

}  // namespace eqx::equilibrium
