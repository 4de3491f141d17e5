#include "equilibrium/minimiser.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/library.hpp"
#include "equilibrium/minimiser_state.hpp"

namespace eqx::equilibrium {

using Eigen::MatrixXd;
using Eigen::VectorXd;

// The storage that minimisations on this thread gave back (at most as many as ran at once).
std::vector<std::unique_ptr<Minimiser::Storage>>& Minimiser::spare_storage() {
    thread_local std::vector<std::unique_ptr<Storage>> spare;
    return spare;
}

std::unique_ptr<Minimiser::Storage> Minimiser::borrow_storage() {
    std::vector<std::unique_ptr<Storage>>& spare = spare_storage();
    if (spare.empty()) {
        // Room for every storage made on this thread, so that giving one back never allocates.
        thread_local std::size_t made = 0;
        spare.reserve(++made);
        return std::make_unique<Storage>();
    }
    std::unique_ptr<Storage> storage = std::move(spare.back());
    spare.pop_back();
    return storage;
}

Minimiser::Minimiser(const CalculatedSystem& full, const VectorXd& b,
                     const std::vector<Reservoir>& reservoirs, const MinimiserOptions& options)
    : full_(full),
      storage_(borrow_storage()),
      balance_(storage_->balance),
      b_(b),
      reservoirs_(reservoirs),
      options_(options),
      k_(full.components),
      count_(static_cast<int>(full.phases.size())),
      work_(storage_->work),
      newton_(storage_->newton) {
    balance_ = full;
    amount_.assign(count_, 0.0);
    primal_.assign(count_, false);
    dwindled_.assign(count_, false);
    log_amount_.assign(count_, false);
    composition_.resize(count_);
    primal_logs_.resize(count_);
    const double largest = std::max(b_.cwiseAbs().maxCoeff(), 1e-300);
    input_scale_.resize(k_);
    for (int c = 0; c < k_; ++c) input_scale_[c] = b_[c] != 0.0 ? largest / std::abs(b_[c]) : 1.0;
    exclude_unreachable();
    find_balance_components();
}

Minimiser::~Minimiser() {
    spare_storage().push_back(std::move(storage_));
}

MinimiserResult Minimiser::run(const Equilibrium* start) {
    MinimiserResult result;
    if (start && warm_start(*start)) {
        programme_instead_of_start();
    } else if (const int error = cold_start(); error != 0) {
        result.error = error;
        return result;
    }
    independent_assemblage();
    result.error = iterate();
    // A swap that led to no equilibrium: the assemblage before it is the answer, where the
    // phase it tried was taken as rounding there (back_from_swap).
    if (result.error != 0 && back_from_swap(std::numeric_limits<double>::infinity()))
        result.error = 0;
    if (result.error != 0) return result;
    result.equilibrium = outcome();
    // The balances are written over the species most abundant when the assemblage last changed;
    // where the compositions have moved far since (a carbide that joined rich in B:C and ends
    // nearly A:Va), a trace may be written as the difference of two large rows and held only to
    // their rounding: the iteration goes on once over the basis of the equilibrium itself.
    if (!sound(result.equilibrium)) {
        result.error = iterate();
        if (result.error != 0) return result;
        result.equilibrium = outcome();
    }
    // No success with a lost or non-finite result.
    if (!sound(result.equilibrium))
        result.error = err::balance_unsolved;
    else if (supply_without_bound(result.equilibrium))
        result.error = err::unbounded_input;
    return result;
}

// Whether a held species makes up nearly all of an active mixture at a held value that is its
// pure state's to the rounding of the held potential (a few units in its last place): the share
// it leaves the rest is then a rounding of zero, and the supply that share fixes has no bound
// (the liquid of A at an A activity of exactly 1 beside 1 mol of B calculated with a supply of
// 1.7e13 mol, a number made of rounding). The held value is then the pure species', whose
// reservoir would supply without end.
bool Minimiser::supply_without_bound(const Equilibrium& e) const {
    constexpr double eps = std::numeric_limits<double>::epsilon();
    for (const Reservoir& reservoir : reservoirs_) {
        for (int p = 0; p < count_; ++p) {
            if (!e.phases[p].active) continue;
            const CalculatedPhase& phase = full_.phases[p];
            // (A pure phase of the held species leaves no share to anything.)
            for (int j = 0; j < phase.size() && phase.size() > 1; ++j) {
                if (phase.stoichiometry.col(j) != reservoir.stoichiometry) continue;
                if (!(e.phases[p].x[j] > 1.0 - held_rest_share)) continue;
                const double own = reservoir.potential - phase.g[j];
                if (own >= -4.0 * eps * (std::abs(reservoir.potential) + std::abs(phase.g[j])))
                    return true;
            }
        }
    }
    return false;
}

// A start from a previous equilibrium whose phases leave potentials free, in a system whose
// cold start is one linear programme (no non-ideal mixture to generate points of), gives way to
// that programme's start where the programme's phases are others: from the previous
// equilibrium each assemblage on the way places the potentials again (calcite alone from below
// its decomposition, above it: ~25 times a cold start), while the programme has the new
// assemblage at once. Where the phases are the same, the previous equilibrium stands (its
// placed potentials are nearer the new ones than the programme's).
void Minimiser::programme_instead_of_start() {
    for (const CalculatedPhase& phase : balance_.phases)
        if (phase.role == Role::balanced && phase.kind == CalculatedPhase::Kind::nonideal) return;
    if (free_directions().cols() == 0) return;
    const std::vector<int> warm_active = active_;
    const std::vector<double> warm_amount = amount_;
    const std::vector<VectorXd> warm_composition = composition_;
    const VectorXd warm_zeta = zeta_;
    const VectorXd warm_supply = supply_;
    active_.clear();
    std::fill(amount_.begin(), amount_.end(), 0.0);
    const int assemblies = assemblies_;
    const int error = cold_start();
    std::vector<int> programme = active_, previous = warm_active;
    std::sort(programme.begin(), programme.end());
    std::sort(previous.begin(), previous.end());
    if (error == 0 && programme != previous) {
        start_fractions_.clear();
        return;
    }
    assemblies_ = assemblies;
    end_member_gas_ = false;
    active_ = warm_active;
    amount_ = warm_amount;
    composition_ = warm_composition;
    zeta_ = warm_zeta;
    supply_ = warm_supply;
}

// The outcome checked on its own terms: finite potentials, amounts and compositions, and each
// component's input held - to 1e-9 of the input itself, plus 1e-12 of what its balance moves
// (where a basis with coefficients of both signs cancels terms).
bool Minimiser::sound(const Equilibrium& e) const {
    if (!e.zeta.allFinite() || !e.supplies.allFinite()) return false;
    NewtonWork& w = newton_;
    VectorXd& held = w.held;
    VectorXd& gross = w.gross;
    held.setZero(k_);
    gross = b_.cwiseAbs();
    for (int i = 0; i < static_cast<int>(reservoirs_.size()); ++i) {
        held += e.supplies[i] * reservoirs_[i].stoichiometry;
        gross += (e.supplies[i] * reservoirs_[i].stoichiometry).cwiseAbs();
    }
    for (int p = 0; p < count_; ++p) {
        const PhaseOutcome& out = e.phases[p];
        if (!out.active) continue;
        const CalculatedPhase& phase = full_.phases[p];
        if (!std::isfinite(out.amount) || out.amount < 0.0 || out.x.size() != phase.size() ||
            !out.x.allFinite())
            return false;
        w.moles = out.amount * out.x;
        held -= phase.stoichiometry * w.moles;
        gross += phase.stoichiometry.cwiseAbs() * w.moles;
    }
    // held is now supplies minus what the phases hold; with the input it is the imbalance.
    for (int c = 0; c < k_; ++c)
        if (!(std::abs(held[c] + b_[c]) <= 1e-9 * std::abs(b_[c]) + 1e-12 * gross[c])) {
            return false;
        }
    return compositions_at_potentials();
}

// Whether each active non-ideal mixture in dual form has its composition where its
// constituents' potentials are the component potentials: its composition follows from them by
// a search that may stop short (the FCC alone holding traces of 2e-14 of A and D, 1e-3 K from
// B's melting point: the search stopped with D's potential 1.4e-3 RT off, and the balances,
// met through that composition, were met with the potentials off as far).
bool Minimiser::compositions_at_potentials() const {
    for (int p : active_) {
        const CalculatedPhase& phase = balance_.phases[p];
        if (primal_[p] || phase.kind != CalculatedPhase::Kind::nonideal) continue;
        const VectorXd& x = composition_[p];
        const VectorXd off =
            mixture_derivatives(balance_, phase, x).mu - phase.stoichiometry.transpose() * zeta_;
        for (int j = 0; j < phase.size(); ++j)
            if (x[j] > 0.0 && !(std::abs(off[j]) <= rejoin_rounding)) return false;
    }
    return true;
}

double Minimiser::input_scale() const {
    double scale = b_.cwiseAbs().sum();
    for (int p : active_) scale += amount_[p];
    return std::max(scale, 1e-300);
}

// The second copy of a de-mixing phase: the first stands for both in the start.
bool Minimiser::is_second_copy(int p) const {
    const int q = balance_.phases[p].partner;
    return q >= 0 && q < p && balance_.phases[q].role == Role::balanced;
}

VectorXd Minimiser::start_composition(VectorXd x) {
    const double floor = x.size() > 1 ? 1e-6 : 0.0;
    x = x.cwiseMax(floor);
    return x / x.sum();
}

bool Minimiser::is_active(int p) const {
    return std::find(active_.begin(), active_.end(), p) != active_.end();
}

// The activity of a phase at its global minimum, over all its calculated constituents
// (`whole`) or over those that can take part in the mass balance; the second copy of a
// de-mixing phase looks beside the composition of an active first copy.
TangentPlane Minimiser::activity(int p, const VectorXd& zeta, bool whole, bool sensitivity) const {
    const CalculatedSystem& system = whole ? full_ : balance_;
    const CalculatedPhase& phase = system.phases[p];
    TangentPlaneRequest request;
    request.global = true;
    request.sensitivity = sensitivity;
    VectorXd avoid;
    if (phase.partner >= 0 && is_active(phase.partner)) {
        avoid = whole ? full_composition(phase.partner) : composition_[phase.partner];
        request.avoid = &avoid;
    }
    VectorXd start;
    if (is_active(p) && composition_[p].size() > 0) {
        start = start_composition(whole ? full_composition(p) : composition_[p]);
        request.start = &start;
        request.global = false;
    }
    return tangent_plane(system, phase, zeta, request);
}

TangentPlane Minimiser::full_activity(int p, const VectorXd& zeta, bool sensitivity) const {
    return activity(p, zeta, true, sensitivity);
}

// An active phase's composition over all of its calculated constituents.
VectorXd Minimiser::full_composition(int p) const {
    const CalculatedPhase& whole = full_.phases[p];
    const CalculatedPhase& part = balance_.phases[p];
    if (whole.size() == part.size()) return composition_[p];
    VectorXd x = VectorXd::Zero(whole.size());
    for (int j = 0; j < part.size(); ++j) {
        const auto at =
            std::find(whole.constituents.begin(), whole.constituents.end(), part.constituents[j]);
        x[at - whole.constituents.begin()] = composition_[p][j];
    }
    return x;
}

int Minimiser::iterate() {
    assemblage_changed();
    while (iterations_ < options_.max_iterations) {
        if (assemblies_ > options_.max_assemblies) return err::too_many_assemblies;
        ++iterations_;
        if (merge_copies() || turn_dual()) continue;
        turn_primal();
        if (split_in_spinodal()) continue;
        revive_sole_holders();
        const Step step = newton_step();
        if (step == Step::failed) return err::balance_unsolved;
        if (step == Step::moved && stuck_ >= 3) {
            // The line search finds no way down: phases with next to no amount whose
            // compositions (nearly) depend on the others make the equations singular (as a
            // carbide holding a trace of carbon beside the pure metal and the liquid). The
            // linear programmes, the phases found so far among their columns, choose the
            // assemblage again; past their restarts, the phase that holds the least leaves.
            stuck_ = 0;
            // An assemblage that has nothing to hold some balance row's input with (calcite and
            // lime with an excess of 1e-14 mol Ca: the excess needs graphite or the gas beside
            // them) gets the phase that the unheld matter calls for; dropping one of its phases
            // led back to it.
            if (lacks_a_holder() && add_phase_for_unheld(free_directions())) continue;
            // Likewise a row without input that the assemblage holds on one side only, a
            // mixture among its holders (one_sided_row): the phase the other side calls for.
            if (const int row = one_sided_row(); row >= 0 && add_phase_for_one_sided_row(row))
                continue;
            if (split_stuck_copies() || copies_to_dual()) continue;
            // The ideal gas beside phases the programme of its end members chose: that
            // programme held each gaseous component as a pure species at activity 1, and may
            // have put beside the gas compounds the mixed gas takes apart, whose equations then
            // have no solution near the start. The point the amounts ran off to says nothing
            // about which phase leaves (30 components: the gas and 26 compounds, one dropped at
            // each stuck point, the iterations ran out before the restart); the restart, with
            // the mixed gas, chooses the assemblage again at once.
            if (end_member_gas_ && restarts_ < 3 &&
                std::any_of(active_.begin(), active_.end(), [&](int p) {
                    return balance_.phases[p].gas &&
                           balance_.phases[p].kind == CalculatedPhase::Kind::ideal;
                })) {
                const int error = restart_from_programmes(-1, VectorXd());
                if (error != 0) return error;
                continue;
            }
            // The balances written over species that held the most when the basis was chosen
            // but next to nothing now: a component that they held alone is written as rows of
            // which the other species make up nearly all, and is lost in their rounding (one
            // ideal solution of M4, M5, M8, M9 whose start held M5 in M4M5 and M5M8: the steps
            // took the M5 potential 36 e-folds too low, and the two rows, each the M5 balance
            // plus cancelling terms of the rest, were 2 % off with a slope of e^-36 in it, a
            // least-squares point and no root). Over the species abundant now each is its own.
            if (rebase_past_emptied_basis()) continue;
            // More phases at activity 1 than the potentials allow (a carbide above activity 1
            // beside both pure metals): the one furthest below it leaves.
            if (const int inconsistent = least_consistent();
                inconsistent >= 0 && !leads_round(inconsistent)) {
                drop(inconsistent);
                continue;
            }
            // Else, the activity rows independent (the potentials could put every phase at
            // activity 1; it is the amounts that have no solution), the phase the amounts ran
            // off with furthest below zero leaves, by its share, as where an assemblage
            // converged with a phase below zero.
            if (const int worst = most_negative(); worst >= 0 && !leads_round(worst)) {
                drop(worst);
                continue;
            }
            // The phase the first step on this assemblage took below zero: an assemblage
            // that cannot move with it may have no solution at all (a liquid gone dual at
            // nothing beside the FCC it has no common tangent with: their amounts run off
            // along two nearly equal compositions), and the programmes would lead back to it.
            if (const auto first = std::find(active_.begin(), active_.end(), first_leaving_);
                first != active_.end() && !leads_round(static_cast<int>(first - active_.begin()))) {
                drop(static_cast<int>(first - active_.begin()));
                continue;
            }
            // Mixtures solved for the logarithms of their constituents' amounts, whose amounts
            // must change many-fold (a liquid just formed beside a solid of nearly its
            // composition, a tenth of a kelvin wide two-phase region: by the lever rule the
            // liquid takes nearly all): the step, linear in the logarithms, asks a change
            // thousands of times too large, which the line search cuts to nothing. In dual form
            // the amounts are linear unknowns (and may reach zero); the compositions follow the
            // potentials. They stay in that form for the rest of the calculation.
            if (active_.size() > 1 && !dual_mixtures_ &&
                std::any_of(active_.begin(), active_.end(), [&](int p) { return primal_[p]; })) {
                dual_mixtures_ = true;
                for (int p : active_) primal_[p] = false;
                assemblage_changed();
                continue;
            }
            // A sole holder of a trace, solved for the logarithm of its amount, beside a phase
            // of nearly its composition that joined at nothing (a pure solid forming 1e-4 K
            // below its melting point beside its liquid holding a trace of B): the lever rule
            // moves most of the matter, and the mass balance of the major component, linear in
            // the amounts, is exponential in that logarithm; the step overshoots by far more
            // than the tiny residual it starts from, and the line search cuts it to nothing.
            // For the rest of the calculation sole holders keep linear amounts (but for a swap
            // from the other side, swap_past_traces).
            if (active_.size() > 1 && !sole_holders_linear_) {
                sole_holders_linear_ = true;
                assemblage_changed();
                continue;
            }
            if (active_.size() > 1 && restarts_ < 3) {
                const int error = restart_from_programmes(-1, VectorXd());
                if (error != 0) return error;
                continue;
            }
            if (const int least = least_share(); least >= 0) {
                drop(least);
                continue;
            }
            // A phase alone that cannot hold the input: the phase it needs beside it.
            if (!holds_input() && add_phase_for_unheld(free_directions())) continue;
            // A phase alone that cannot hold the input, where no free direction leads to the
            // phase it needs: a mixture at the composition of one of its species holds it only
            // at the edge of its compositions (the C-H-O gas at exactly CO's composition,
            // without hydrogen: the CO2 it holds takes more O than C, and graphite, at a few
            // 1e-5 mol, takes the rest), and Newton's method creeps towards potentials at
            // infinity. The phase nearest activity 1 joins, once; where it does not belong, it
            // leaves by the usual rules.
            if (active_.size() == 1 && lone_phase_partner_ < 0 && !holds_input()) {
                const Worst nearest = worst_outside();
                if (nearest.phase >= 0) {
                    lone_phase_partner_ = nearest.phase;
                    add(nearest.phase, start_composition(nearest.x));
                    continue;
                }
            }
        }
        // Near a critical point the equations are nearly singular and Newton's method
        // slows down to linear steps: equations met to rounding are met.
        const bool met = last_merit_ < 1e-24;
        if (step == Step::moved && !(met && unsettled_ > 20)) {
            // An assemblage that does not settle cannot be the equilibrium: take in the phase
            // most above activity 1 (a mixture inside its miscibility gap needs its other
            // copy), or let go of the phase that holds the least.
            if (++unsettled_ > settle_steps) {
                // Two primal copies of a de-mixing phase a few kelvin below its critical point
                // creep towards their compositions by steps the line search takes but that
                // lower the residual by a thousandth each: in dual form, as where they are
                // stuck (copies_to_dual), rather than one copy leaving and coming back.
                if (split_stuck_copies() || copies_to_dual()) continue;
                // A phase that joined at nothing and creeps up by a few per cent a step (a
                // carbide beside the liquid of its binary, holding a trace of C millions of
                // times richer): its amount must grow a million-fold while the C potential
                // falls by as many e-folds, linear together only in the logarithm.
                if (creeping_amounts_to_logarithms()) continue;
                // Steps cut to the largest potential step on their way to a root that the full
                // step shows within reach (a primal FCC alone holding a trace of C whose
                // potential must fall by hundreds of e-folds): as many steps again, once.
                if (crawl_on_within_reach()) continue;
                // First the phase the first step on this assemblage took below zero: the
                // assemblage it left (a liquid beside a carbide, the carbide alone holding the
                // input) is the one to return to; amounts that then ran off to +-1e15 say
                // nothing about who leaves.
                const auto first = std::find(active_.begin(), active_.end(), first_leaving_);
                if (first != active_.end() &&
                    !leads_round(static_cast<int>(first - active_.begin()))) {
                    drop(static_cast<int>(first - active_.begin()));
                    continue;
                }
                if (const int worst = most_negative(); worst >= 0 && !leads_round(worst)) {
                    drop(worst);
                    continue;
                }
                // The second way: the phase the steps have been emptying into another leaves
                // first (pure A_S beside a liquid holding a trace of C 1e-5 K below A's melting
                // point, the liquid alone the equilibrium: the two crept by 1e-4 mol a step, and
                // the carbide taken in instead led back to them).
                if (second_way_ && leaving_ < 0) {
                    if (const int empty = emptying(); empty >= 0 && !leads_round(empty)) {
                        drop(empty);
                        continue;
                    }
                }
                if (add_most_active()) continue;
                // The phase Newton's step keeps taking below zero (the assemblage's others
                // would have to hold more than the input), else the one the steps have been
                // emptying into another, else the one that holds the least.
                int least = leaving_ >= 0 ? leaving_ : emptying();
                if (least < 0) least = least_share();
                if (least < 0) return err::balance_unsolved;
                drop(least);
            }
            continue;
        }
        if (merge_copies()) continue;
        if (const int worst = most_negative(); worst >= 0) {
            // A phase below zero whose leaving led back here belongs: of the others, the one
            // with the least share gives way (the liquid of the B-C binary converged beside the
            // FCC on the tie line at the far side, the FCC below zero: the FCC alone holds the
            // input).
            drop(leads_round(worst) ? least_share_but(worst) : worst);
            continue;
        }
        if (const int inconsistent = least_consistent(); inconsistent >= 0) {
            drop(inconsistent);
            continue;
        }
        const MatrixXd z = free_directions();
        if (!holds_input()) {
            if (!add_phase_for_unheld(z)) return err::balance_unsolved;
            continue;
        }
        place_potentials(z);
        const Worst worst = worst_outside();
        if (worst.phase < 0 || worst.ln_activity <= activity_tolerance) {
            // The equilibrium: without the phases that hold nothing (at activity 1 where the
            // potentials are free, as lime beside calcite), which it does not need - but for
            // one whose leaving led round: without it the potentials were not free, and it
            // joined again above activity 1 (a compound of the 30-component gas holding 7e-17
            // mol beside the gas and the compound of nearly the input's composition, 705), or
            // whose leaving would return to an assemblage such a drop has left before (there
            // another phase joined, and the way led back here through it).
            if (const int empty = holding_nothing();
                empty >= 0 && !leads_round(empty) && empties_anew(empty)) {
                drop(empty);
                continue;
            }
            return 0;
        }
        // A phase just dropped that comes back barely above activity 1 may cycle (dropped
        // below zero, back above 1): it rejoins a few times, each time from the assemblage the
        // drop left; then it is tried once in the place of the phase of its composition but
        // for the traces (FCC for the liquid of nearly pure B holding a trace of C, 1e-4 K below
        // B's melting point: the liquid alone was reported, the FCC 7e-8 RT below its plane; at
        // 1.3e-7 RT, 2e-4 K below, the FCC joined and left until 702), and only then is one less
        // than rejoin_rounding above 1 taken as rounding, in whichever of the two assemblages
        // it is the less above 1.
        if (worst.phase == last_dropped_ && worst.ln_activity <= 1.0 && rejoins_ >= 4) {
            if (swap_past_traces(worst)) continue;
            if (worst.ln_activity < rejoin_rounding) {
                back_from_swap(worst.ln_activity);
                return 0;
            }
        }
        if (worst.phase == last_dropped_) ++rejoins_;
        if (worst.ln_activity >= rejoin_rounding) rejoining(worst.phase);
        // Far above activity 1 the new assemblage lies far away: start again from the linear
        // programmes, with the phases found so far among their columns.
        if (worst.ln_activity > 1.0 && restarts_ < 3) {
            const int error = restart_from_programmes(worst.phase, worst.x);
            if (error != 0) return error;
            continue;
        }
        add(worst.phase, start_composition(worst.x));
    }
    return err::balance_unsolved;
}

// The start again from the linear programmes, with the compositions of the mixtures found so
// far (and of the outside phase p at x, if p >= 0) among their columns.
int Minimiser::restart_from_programmes(int p, const VectorXd& x) {
    ++restarts_;
    std::vector<std::pair<int, VectorXd>> seeds;
    for (int q : active_)
        if (balance_.phases[q].kind != CalculatedPhase::Kind::pure)
            seeds.emplace_back(q, composition_[q]);
    if (p >= 0 && balance_.phases[p].kind != CalculatedPhase::Kind::pure) seeds.emplace_back(p, x);
    active_.clear();
    std::fill(amount_.begin(), amount_.end(), 0.0);
    std::fill(primal_.begin(), primal_.end(), false);
    std::fill(dwindled_.begin(), dwindled_.end(), false);
    std::fill(log_amount_.begin(), log_amount_.end(), false);
    const int error = cold_start(seeds);
    if (error != 0) return error;
    assemblage_changed();
    return 0;
}

// A de-mixing phase left with one copy holds it in the first; with two, the first holds the
// larger amount (so that the copies are named the same however the iteration found them).
void Minimiser::first_copies_first() {
    for (int p = 0; p < count_; ++p) {
        const int q = balance_.phases[p].partner;
        if (q < 0 || q < p || !is_active(q)) continue;
        if (balance_.phases[p].role != Role::balanced) continue;
        if (composition_[q].size() != balance_.phases[p].size()) continue;
        if (!is_active(p)) {
            *std::find(active_.begin(), active_.end(), q) = p;
        } else if (!(amount_[q] > amount_[p])) {
            continue;
        }
        std::swap(amount_[p], amount_[q]);
        std::swap(composition_[p], composition_[q]);
        const bool primal = primal_[p];
        primal_[p] = primal_[q];
        primal_[q] = primal;
        const bool log_amount = log_amount_[p];
        log_amount_[p] = log_amount_[q];
        log_amount_[q] = log_amount;
    }
}

Equilibrium Minimiser::outcome() {
    first_copies_first();
    const bool reused = outside_.zeta.size() == zeta_.size() && outside_.zeta == zeta_ &&
                        outside_.active == active_;
    Equilibrium e;
    e.zeta = zeta_;
    e.supplies = supply_;
    e.iterations = iterations_;
    e.phases.resize(count_);
    for (int p = 0; p < count_; ++p) {
        PhaseOutcome& out = e.phases[p];
        if (full_.phases[p].role == Role::absent) continue;
        if (is_active(p)) {
            out.active = true;
            // A phase left a rounding below zero (most_negative) holds nothing.
            out.amount = std::max(amount_[p], 0.0);
        }
        // A phase outside whose global search the last check ran at these potentials and
        // this assemblage, over all of its constituents, has its answer already.
        const bool known = !out.active && reused && outside_.known[p] &&
                           full_.phases[p].size() == balance_.phases[p].size();
        const TangentPlane tp = known ? outside_.planes[p] : full_activity(p, zeta_);
        out.ln_activity = tp.ln_activity;
        out.x = out.active ? full_composition(p) : tp.x;
    }
    return e;
}

namespace {

// The input with its traces (inputs below 1e-6 of the whole, as the trace rows count them) set
// to zero; false where it has none.
bool without_traces(const VectorXd& b, VectorXd& major) {
    const double whole = b.cwiseAbs().sum();
    major = b;
    bool traces = false;
    for (double& v : major)
        if (v != 0.0 && std::abs(v) <= 1e-6 * whole) {
            v = 0.0;
            traces = true;
        }
    return traces;
}

MinimiserResult minimise_at_scale(const CalculatedSystem& system, const VectorXd& b,
                                  const std::vector<Reservoir>& reservoirs,
                                  const Equilibrium* start, const MinimiserOptions& options) {
    Minimiser minimiser(system, b, reservoirs, options);
    MinimiserResult result = minimiser.run(start);
    if (result.error != 0 && start) {
        Minimiser cold(system, b, reservoirs, options);
        result = cold.run(nullptr);
    }
    // Traces can lead the iteration from the start far from the equilibrium (a trace of B that
    // the start gives to pure B_S fixes B's potential there, the liquid beside it converges
    // B-rich with B_S at -10 mol, and once B_S has left, the liquid and the carbide run off or
    // creep until 705), while the equilibrium without them is found at once and differs from
    // the one with them by the traces alone: that one is the start, as for a calculation from a
    // previous equilibrium. The error stands where either finds none.
    const bool unsolved =
        result.error == err::balance_unsolved || result.error == err::too_many_assemblies;
    if (VectorXd major; unsolved && without_traces(b, major)) {
        Minimiser bare(system, major, reservoirs, options);
        const MinimiserResult first = bare.run(nullptr);
        if (first.error == 0) {
            Minimiser traced(system, b, reservoirs, options);
            MinimiserResult continued = traced.run(&first.equilibrium);
            if (continued.error == 0) return continued;
        }
    }
    // An assemblage that ran off along nearly dependent compositions, or left phases below
    // zero, hands those amounts to the next one, whose Newton's method starts from there (the
    // carbide and graphite at -2e4 and -5e4 mol beside a liquid of 9e4 at 5100 K; the carbide
    // left at -49 mol beside the liquid it then crept away from; the liquid alone is the
    // equilibrium): once more from nothing, the amounts after each drop made to hold the input
    // again (and a creeping assemblage lets go of the phase it empties first: take_second_way).
    // Only where the first way found none: elsewhere the amounts on the way out are the ones its
    // rules were made with.
    if (unsolved) {
        Minimiser again(system, b, reservoirs, options);
        again.take_second_way(false);
        MinimiserResult second = again.run(nullptr);
        if (second.error == 0) return second;
        // And where that too finds none, with the amounts made again after every drop (at 4716 K
        // graphite left a converged assemblage below zero with the others' amounts positive, and
        // the carbide and the liquid ran from those). Not on the second way itself: there it
        // gave 705 for a carbide state with traces of A and B at 3534 K that the second way
        // calculates.
        Minimiser third(system, b, reservoirs, options);
        third.take_second_way(true);
        MinimiserResult last = third.run(nullptr);
        if (last.error == 0) return last;
        // A trace of a mixture of nearly one species's composition beside a major phase
        // (calcite with a trace of CO2): the row that balances the mixture's minor species
        // against each other (CO against O2, no input) starts tens of e-folds off where the
        // programme's start left them, and the gas's activity row, a sum of exponentials, is
        // far from linear while that row is: the steps threw the O potential by ~100 RT and
        // the amounts ran off (705 for 2-5 % of such states, which ones chaotic). With that row
        // met at each point, the rest is nearly linear. Only here: beside lime with a trace of
        // CO the first way's steps find the equilibrium and these do not.
        Minimiser balanced(system, b, reservoirs, options);
        balanced.meet_balanced_rows();
        MinimiserResult met = balanced.run(nullptr);
        if (met.error == 0) return met;
    }
    if (result.error != err::balance_unsolved) return result;
    // Within a few hundredths of a kelvin of a critical point the two sides of a miscibility
    // gap are too close for the iteration to hold apart: there the one phase is calculated, its
    // second copy observed (the Gibbs energies differ by far less than the rounding of G). That
    // is the equilibrium only where the second copy, looking beside the first, stays at activity
    // 1 to the tolerance a phase joins by; further below the critical point it lies below the
    // tangent plane of the one phase (-4e-5 RT 3.6 K below), which is no equilibrium, and the
    // error stands.
    CalculatedSystem single = system;
    std::vector<int> observed;
    for (CalculatedPhase& phase : single.phases) {
        if (phase.partner >= 0 && phase.partner < phase.phase && phase.role == Role::balanced) {
            phase.role = Role::observed;
            observed.push_back(phase.phase);
        }
    }
    if (observed.empty()) return result;
    Minimiser one(single, b, reservoirs, options);
    MinimiserResult retried = one.run(nullptr);
    if (retried.error != 0) return result;
    for (int p : observed)
        if (!(retried.equilibrium.phases[p].ln_activity <= activity_tolerance)) return result;
    return retried;
}

}  // namespace

// The equilibrium does not depend on the size of the input, only on its proportions: the
// minimisation runs on the input scaled by a power of two to a largest entry in [1, 2) (exact,
// and the identity for such an input), and its amounts are scaled back. Its tolerances then hold
// whatever the total (1e-14 mol in all, or 1e-300).
MinimiserResult minimise_gibbs_energy(const CalculatedSystem& system, const VectorXd& b,
                                      const std::vector<Reservoir>& reservoirs,
                                      const Equilibrium* start, const MinimiserOptions& options) {
    const double largest = b.size() > 0 ? b.cwiseAbs().maxCoeff() : 0.0;
    if (!(largest > 0.0) || !std::isfinite(largest) || std::ilogb(largest) == 0)
        return minimise_at_scale(system, b, reservoirs, start, options);
    const int exponent = std::ilogb(largest);
    auto scaled = [](double v, int e) { return std::ldexp(v, e); };
    VectorXd scaled_b = b;
    for (double& v : scaled_b) v = scaled(v, -exponent);
    Equilibrium scaled_start;
    if (start) {
        scaled_start = *start;
        for (PhaseOutcome& phase : scaled_start.phases)
            phase.amount = scaled(phase.amount, -exponent);
        for (double& v : scaled_start.supplies) v = scaled(v, -exponent);
    }
    MinimiserResult result =
        minimise_at_scale(system, scaled_b, reservoirs, start ? &scaled_start : nullptr, options);
    for (PhaseOutcome& phase : result.equilibrium.phases)
        phase.amount = scaled(phase.amount, exponent);
    for (double& v : result.equilibrium.supplies) v = scaled(v, exponent);
    return result;
}

}  // namespace eqx::equilibrium
