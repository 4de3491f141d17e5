// The state the stages of the minimisation share (minimiser.hpp describes the method): the
// system as the mass balance sees it, the input, the assemblage with its amounts and
// compositions, and the potentials. One stage per file: minimiser_start (the linear programmes
// and column generation, or a previous equilibrium), minimiser_newton (Newton's method on an
// assemblage), minimiser_active_set (phases joining and leaving), minimiser_free_potentials,
// and minimiser.cpp (the whole iteration and its outcome).
#pragma once

#include <limits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "equilibrium/eigen.hpp"
#include "equilibrium/minimiser.hpp"
#include "equilibrium/phase_model.hpp"

namespace eqx::equilibrium {

inline constexpr double activity_tolerance = 1e-9;  // ln a above which an outside phase joins
// ln a below which a phase that keeps rejoining is taken as rounding: the tolerance an
// equilibrium is held to (no phase outside further below the potentials' plane, no constituent's
// potential further off), a hundred times what the placement and Newton's method leave.
inline constexpr double rejoin_rounding = 1e-8;
inline constexpr double potential_box = 50.0;       // reduced potential a free direction may move
inline constexpr double max_potential_step = 10.0;  // reduced potential change per Newton step
inline constexpr int settle_steps = 40;             // Newton steps an assemblage may take to settle
inline constexpr double max_amount_step = 40.0;     // change of ln(amount) per Newton step
inline constexpr double converged_step = 1e-10;
// The share of a phase below which what a held species leaves of it is its equations' measure
// (equations: near nothing, ln x of the held species is a rounding of that share's size).
inline constexpr double held_rest_share = 1e-3;
// Where the potential of a component with no input is kept while the others are placed, and
// how far below activity 1 the constituents that hold it end (ln a).
inline constexpr double far_potential = 1e4;
inline constexpr double zero_input_ln_activity = -50.0 - 1e-7;

class Minimiser {
  public:
    using MatrixXd = Eigen::MatrixXd;
    using VectorXd = Eigen::VectorXd;

    Minimiser(const CalculatedSystem& full, const VectorXd& b,
              const std::vector<Reservoir>& reservoirs, const MinimiserOptions& options);
    ~Minimiser();
    Minimiser(const Minimiser&) = delete;
    Minimiser& operator=(const Minimiser&) = delete;

    MinimiserResult run(const Equilibrium* start);
    // The second way through, where the first found no equilibrium: the amounts left after
    // each drop made to hold the input again (reproject_amounts) where one is below zero or any
    // beyond a thousand times the input, or after every drop (`every_drop`), and an assemblage
    // that does not settle lets go of the phase its steps empty before it takes in another
    // (iterate).
    void take_second_way(bool every_drop) {
        second_way_ = true;
        reproject_every_drop_ = every_drop;
    }

    // The way through where the others found no equilibrium: balance rows without input that
    // dual mixtures hold on both sides (balanced_within_dual_mixtures) are met at each point
    // of Newton's method as trace rows are (trace_block).
    void meet_balanced_rows() { meet_balanced_rows_ = true; }

  private:
    // --- the start (minimiser_start.cpp) -----------------------------------------------------
    void exclude_unreachable();
    bool unreachable_direction(const std::vector<VectorXd>& species, VectorXd& d) const;
    bool programme_direction(const std::vector<VectorXd>& species, VectorXd& d) const;
    bool unreachable_along(const VectorXd& a, const VectorXd& d) const;
    double direction_rounding(const VectorXd& a, const VectorXd& d) const;
    static void restrict_phase(CalculatedPhase& phase, const std::vector<int>& keep);
    int cold_start(const std::vector<std::pair<int, VectorXd>>& seeds = {});
    void start_potentials(const std::vector<VectorXd>& compositions);
    void independent_assemblage();
    VectorXd unit_composition(int p, const VectorXd& x) const;
    void split_demixing_copies(std::vector<std::vector<std::pair<double, VectorXd>>>& parts) const;
    bool warm_start(const Equilibrium& start);
    void programme_instead_of_start();

    // --- Newton's method on an assemblage (minimiser_newton.cpp) ----------------------------
    //
    // Pure and ideal phases take part in dual form: the amount of the phase is the unknown and
    // its composition follows from the potentials. Nonideal mixtures take part in primal form
    // once they hold a share of the input: the logarithms of their constituents' amounts are
    // the unknowns, with "mu_j = a_j . zeta" for each; near a critical point their composition
    // is not a usable function of the potentials. Until then they too are dual.
    enum class Step { moved, converged, failed };

    // Where each unknown is: the potentials of the balance components first, each active
    // phase's block from offset[i] (dual: its amount or the logarithm of it; primal: the
    // logarithms of its constituents' amounts), the supplies last.
    struct Layout {
        int potentials = 0;
        std::vector<int> offset;
        std::vector<bool> log_amount;  // dual phases solved for ln(amount)
        std::vector<bool> log_supply;  // reservoirs solved for ln(supply)
        // The equations of a constituent or phase that a held species makes up nearly all of
        // written in what the held species leaves (newton_step's equations only): chosen at
        // the step's start (`choose`, into NewtonWork::held_rows), then kept for its trials.
        enum class HeldRest { off, choose, keep };
        HeldRest held_rest = HeldRest::off;
        int reservoirs = 0;
        int size = 0;
    };

    // The equations of the assemblage: the balance rows (ln of what holds each component
    // against ln of what brings it in), "activity 1" of each dual phase, "mu_j = a_j . zeta"
    // of each primal constituent, the held potentials; the compositions they imply.
    struct Equations {
        VectorXd residual;
        MatrixXd jacobian;
        std::vector<VectorXd> compositions;  // per active phase
        bool held_rest = false;              // some equation written in what a held species leaves
    };

    // Storage the Newton steps and the basis reuse from one iteration to the next (sizes change
    // only with the assemblage): the equations at the step's start and at its trials, and the
    // scaled system with its decompositions.
    struct NewtonWork {
        Layout layout;
        std::vector<int> holders;
        Equations now, trial;
        VectorXd gain, loss;
        VectorXd gain_rounding, loss_rounding, rest_w, rest_m;  // equations
        VectorXd rounding, beyond;                              // newton_step
        std::vector<char> held_rows;  // the rows written in what a held species leaves
        MatrixXd d_gain, d_loss;
        VectorXd row_scale, column_scale, scaled_rhs, rhs, solution;
        MatrixXd scaled;
        Eigen::FullPivLU<MatrixXd> lu;
        Eigen::CompleteOrthogonalDecomposition<MatrixXd> cod;
        // The basis's decomposition and the vectors rebase and the equations write.
        Eigen::FullPivLU<MatrixXd> basis_lu;
        VectorXd best, bound, basis_potentials, equation_potentials;
        VectorXd held, gross, moles;  // the balance check of an outcome (sound)
        // newton_step, where the trace rows are met at each point (trace_block).
        std::vector<int> trace_rows;
        MatrixXd trace_jacobian;
        Eigen::CompleteOrthogonalDecomposition<MatrixXd> trace_cod;
        VectorXd trace_residual, trace_step;
        MatrixXd gram;  // free_directions
        Eigen::SelfAdjointEigenSolver<MatrixXd> gram_eigen;
        Eigen::CompleteOrthogonalDecomposition<MatrixXd> start_cod;  // start_potentials
    };

    // The storage of the copies of the system and of the Newton work: borrowed from those that
    // earlier minimisations on the same thread gave back, so that their buffers keep their sizes
    // from one calculation to the next (a tqce repeated on one system allocates them once).
    // Everything in it is written before it is read.
    struct Storage {
        CalculatedSystem balance, work;
        NewtonWork newton;
    };
    static std::vector<std::unique_ptr<Storage>>& spare_storage();
    static std::unique_ptr<Storage> borrow_storage();

    // Solves J delta = rhs (minimiser_newton.cpp describes how), in the storage of w.
    static void solve_newton_system(const MatrixXd& jacobian, const VectorXd& rhs, int potentials,
                                    NewtonWork& w, VectorXd& delta);
    // The Newton step delta with the potentials that move too far held at their bound.
    static VectorXd bounded_step(const MatrixXd& jacobian, const VectorXd& residual,
                                 const VectorXd& delta, int potentials, NewtonWork& w,
                                 std::vector<bool>& held);
    void find_balance_components();
    void rebase();
    bool rebase_past_emptied_basis();
    void round_to_zero(Eigen::Ref<VectorXd> written, const Eigen::Ref<const VectorXd>& v) const;
    void round_input_to_zero();
    void assemblage_changed();
    bool is_primal(int p) const { return primal_[p]; }
    void turn_primal();
    bool turn_dual();
    int rows_of(int p) const { return is_primal(p) ? balance_.phases[p].size() : 1; }
    Layout layout() const;
    void lay_out(Layout& l) const;  // the layout in l's storage
    VectorXd pack(const Layout& l) const;
    void potentials_of(const Layout& l, const VectorXd& y, VectorXd& zw) const;
    void unpack(const Layout& l, const VectorXd& y, const Equations& at);
    // With `rounding`, also each equation's rounding: what its evaluation at y cannot tell from
    // zero (its terms' magnitudes times a few units in the last place).
    bool equations(const Layout& l, const VectorXd& y, bool jacobian, Equations& e,
                   VectorXd* rounding = nullptr) const;
    bool held_species(const CalculatedPhase& phase, int j) const;
    bool is_trace_row(int row) const;
    bool held_by_dual_mixtures(int row) const;
    bool balanced_within_dual_mixtures(int row) const;
    bool crawl_on_within_reach();
    bool trace_block(const Layout& l, const Equations& at, NewtonWork& w) const;
    bool meet_trace_rows(const Layout& l, VectorXd& y, Equations& e, bool& current) const;
    Step newton_step();

    // --- the active set (minimiser_active_set.cpp) -------------------------------------------
    struct Worst {
        int phase = -1;
        double ln_activity = -std::numeric_limits<double>::infinity();
        VectorXd x;
    };

    std::vector<double> shares() const;
    int least_share() const;
    int least_share_but(int but) const;
    int emptying() const;
    int most_negative() const;
    int holding_nothing() const;
    void drop(int index);
    void reproject_amounts();
    void rejoining(int p);
    void returned_to_after_drops(int p);
    bool leads_round(int index) const;
    bool empties_anew(int index);
    void add(int p, const VectorXd& x, bool past_traces = false);
    void pivot_dependent(int added, bool past_traces = false);
    bool swap_past_traces(const Worst& worst);
    bool back_from_swap(double ln_activity);
    int least_consistent() const;
    bool split_in_spinodal();
    bool split_at_common_tangent(int p, int q);
    void split_with_partner(int q);
    bool split_stuck_copies();
    bool merge_copies();
    bool copies_to_dual();
    bool revive_sole_holders();
    bool creeping_amounts_to_logarithms();
    VectorXd unheld() const;
    bool holds_input() const;
    bool lacks_a_holder() const;
    int one_sided_row(int without = -1) const;
    bool add_phase_for_one_sided_row(int row);
    bool amounts_ran_off() const;
    bool add_phase_for_unheld(const MatrixXd& z);
    bool add_first_along(const std::vector<int>& candidates, const VectorXd& d, bool back,
                         bool called_back = false);
    Worst worst_outside() const;
    bool add_most_active();

    // --- free potentials (minimiser_free_potentials.cpp) -------------------------------------
    std::vector<int> outside_phases() const;
    MatrixXd free_directions() const;
    void place_potentials(const MatrixXd& free);  // free: free_directions() now
    void place_zero_input_potentials();
    void place_free_potentials(const MatrixXd& z, const std::vector<int>& outside);

    // --- the phases and the whole iteration (minimiser.cpp) ----------------------------------
    double input_scale() const;
    bool is_second_copy(int p) const;
    static VectorXd start_composition(VectorXd x);
    bool is_active(int p) const;
    TangentPlane activity(int p, const VectorXd& zeta, bool whole, bool sensitivity = false) const;
    TangentPlane full_activity(int p, const VectorXd& zeta, bool sensitivity = false) const;
    VectorXd full_composition(int p) const;
    int iterate();
    int restart_from_programmes(int p, const VectorXd& x);
    void first_copies_first();
    Equilibrium outcome();
    bool sound(const Equilibrium& e) const;
    bool compositions_at_potentials() const;
    bool supply_without_bound(const Equilibrium& e) const;

    const CalculatedSystem& full_;
    std::unique_ptr<Storage> storage_;
    CalculatedSystem& balance_;
    VectorXd b_;
    std::vector<Reservoir> reservoirs_;
    MinimiserOptions options_;
    int k_;
    int count_;

    std::vector<int> balance_components_;  // components some species or reservoir holds
    // The basis the balances are written over (species as columns), its inverse, the system,
    // input and reservoirs written over it, and the rows of it that the balance solves.
    MatrixXd basis_;
    MatrixXd basis_inverse_;
    // The species of the basis (phase, constituent) and the amounts they held when chosen.
    struct BasisSpecies {
        int phase;
        int constituent;
        double amount;
    };
    std::vector<BasisSpecies> basis_species_;
    bool rebased_since_change_ = false;  // rebase_past_emptied_basis, until the assemblage changes
    CalculatedSystem& work_;
    VectorXd b_work_;
    std::vector<VectorXd> reservoirs_work_;
    // The rows of the basis that are reservoirs' species, and their held potentials (0
    // elsewhere).
    std::vector<bool> reservoir_row_;
    VectorXd held_potential_;
    std::vector<int> balance_rows_;
    // The largest input over each component's input (1 for one without): a balance row
    // measured against its own input, the largest as it is.
    VectorXd input_scale_;
    // The directions (+-1 for one component) of the components without input along which
    // exclude_unreachable found species that cannot hold matter.
    MatrixXd zero_directions_;

    VectorXd zeta_;
    VectorXd supply_;
    std::vector<int> active_;
    std::vector<double> amount_;
    std::vector<bool> primal_;
    std::vector<bool> dwindled_;  // gone dual at a trace, until the assemblage changes (turn_dual)
    // Dual phases solved for the logarithm of their amounts since those crept up from next to
    // nothing through an assemblage that did not settle (minimiser_active_set.cpp).
    std::vector<bool> log_amount_;
    std::vector<double> amount_at_change_;  // each phase's amount when the assemblage last changed
    // Sole holders of a component keep linear amounts (where the line search is stuck, iterate),
    // until a swap (swap_past_traces) starts from the other side.
    bool sole_holders_linear_ = false;
    // The phase that joined a phase alone that could not hold the input, nearest activity 1
    // (once in a calculation, iterate); -1 before.
    int lone_phase_partner_ = -1;
    // An unsettled assemblage given as many steps again (crawl_on_within_reach), until it changes.
    bool crawled_on_ = false;
    std::vector<VectorXd> composition_;
    // The mixtures' compositions in the previous equilibrium a start was taken from, before
    // start_composition (warm_start, for independent_assemblage only; empty after it).
    std::vector<VectorXd> start_fractions_;
    // Each primal phase's logarithms of its constituents' amounts as Newton's method last left
    // them, with the amount and composition they gave (pack takes from them the logarithms of
    // amounts below the smallest normal double, which the amount and composition cannot hold).
    struct PrimalLogs {
        VectorXd ln_moles;
        double amount = 0.0;
        VectorXd x;
    };
    std::vector<PrimalLogs> primal_logs_;
    int iterations_ = 0;
    int assemblies_ = 0;
    int unsettled_ = 0;  // Newton iterations since the assemblage last changed
    int restarts_ = 0;
    // The start is the programme of an ideal gas's end members alone (cold_start): each
    // gaseous component it held stood as a pure species at activity 1.
    bool end_member_gas_ = false;
    int stuck_ = 0;           // Newton steps in a row that the line search could not take
    int leaving_ = -1;        // the active phase the last full Newton step took below zero first
    int first_leaving_ = -1;  // the phase the first step on this assemblage took below zero first
    double last_merit_ = 0.0;
    double full_potential_step_ = 0.0;  // the largest potential change of the last full step
    int last_dropped_ = -1;
    std::vector<int> dropped_from_;  // the assemblage (sorted) the last phase dropped left
    // Phases whose leaving an assemblage (sorted) led back to it: they rejoined what they left
    // clearly above activity 1 (leads_round).
    std::vector<std::pair<std::vector<int>, int>> round_trips_;
    // Every drop of the calculation: the assemblage (sorted) and the phase that left it.
    std::vector<std::pair<std::vector<int>, int>> drops_;
    int rejoins_ = 0;  // times the phase just dropped was added again
    // The assemblages (sorted) that phases holding nothing left by their drops (empties_anew).
    std::vector<std::vector<int>> emptied_into_;
    // The converged assemblage a phase just above activity 1 kept rejoining, kept while the
    // phase is tried in its place (swap_past_traces): ln_activity is that phase's.
    struct Converged {
        std::vector<int> active;
        std::vector<double> amount;
        std::vector<VectorXd> composition;
        std::vector<bool> primal, log_amount;
        VectorXd zeta, supply;
        double ln_activity;
    };
    std::optional<Converged> before_swap_;
    // The last check of the phases outside: the potentials and assemblage it ran at and each
    // phase's tangent plane, which the outcome reports where nothing has moved since.
    struct Outside {
        VectorXd zeta;
        std::vector<int> active;
        std::vector<TangentPlane> planes;
        std::vector<bool> known;
    };
    mutable Outside outside_;
    NewtonWork& newton_;
    // Every mixture held in dual form from here on (Newton's method stuck on the logarithms
    // of constituent amounts that must change many-fold).
    bool dual_mixtures_ = false;
    bool second_way_ = false;
    bool meet_balanced_rows_ = false;
    bool reproject_every_drop_ = false;
    bool dual_copies_ = false;  // de-mixing copies held in dual form (near a critical point)
    int stuck_splits_ = 0;      // copies shared again at their common tangent (stuck or unsettled)
};

}  // namespace eqx::equilibrium
