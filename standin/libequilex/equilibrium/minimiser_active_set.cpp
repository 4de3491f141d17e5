// The active set: phases that join the assemblage, phases that leave it, de-mixing copies that
// split and merge, and the phase that an assemblage unable to hold the input needs.
#include <algorithm>
#include <cmath>
#include <limits>

#include "equilibrium/minimiser_state.hpp"

namespace eqx::equilibrium {

using Eigen::MatrixXd;
using Eigen::VectorXd;

// What each phase of the assemblage holds of each balance component, against what all of
// them and the reservoirs hold of it: the largest such share of each active phase (1 for a
// phase that alone holds some component).
std::vector<double> Minimiser::shares() const {
    const int kb = static_cast<int>(balance_components_.size());
    const int a = static_cast<int>(active_.size());
    MatrixXd held = MatrixXd::Zero(kb, a);
    VectorXd gross = VectorXd::Zero(kb);
    for (int r = 0; r < kb; ++r) {
        const int c = balance_components_[r];
        for (int i = 0; i < static_cast<int>(reservoirs_.size()); ++i)
            gross[r] += std::abs(supply_[i] * reservoirs_[i].stoichiometry[c]);
    }
    for (int i = 0; i < a; ++i) {
        const int p = active_[i];
        const CalculatedPhase& phase = balance_.phases[p];
        for (int r = 0; r < kb; ++r)
            held(r, i) =
                std::abs(amount_[p]) *
                phase.stoichiometry.row(balance_components_[r]).cwiseAbs().dot(composition_[p]);
    }
    gross += held.rowwise().sum();
    std::vector<double> share(a, 0.0);
    for (int i = 0; i < a; ++i)
        for (int r = 0; r < kb; ++r)
            if (gross[r] > 0.0) share[i] = std::max(share[i], held(r, i) / gross[r]);
    return share;
}

// The phase of the assemblage with the least share, or -1 when it is the only one.
int Minimiser::least_share() const {
    if (active_.size() < 2) return -1;
    const std::vector<double> share = shares();
    return static_cast<int>(std::min_element(share.begin(), share.end()) - share.begin());
}

// The phase of the assemblage but active_[but] with the least share; `but` itself where it is
// the only one.
int Minimiser::least_share_but(int but) const {
    const std::vector<double> share = shares();
    int least = but;
    for (int i = 0; i < static_cast<int>(active_.size()); ++i)
        if (i != but && (least == but || share[i] < share[least])) least = i;
    return least;
}

// In an assemblage that does not settle, where the steps move matter from some phases into
// others (some hold more than when the assemblage last changed, some less): of those that hold
// less, the one that at the rate since then reaches zero first. A liquid that joined at nothing
// beside a solid of nearly its composition, just below the melting point with a trace, grew
// thirty-fold in forty steps while the solid gave it what it took: the two-phase equations have
// their solution with the solid below zero, out of the steps' reach, and the liquid, holding
// the least, left and joined again until the iterations ran out. -1 where none has grown or
// none has fallen.
int Minimiser::emptying() const {
    int first = -1;
    double soonest = std::numeric_limits<double>::infinity();
    bool grown = false;
    for (int i = 0; i < static_cast<int>(active_.size()); ++i) {
        const int p = active_[i];
        const double before = amount_at_change_[p];
        grown = grown || amount_[p] > before;
        if (!(amount_[p] > 0.0 && amount_[p] < before)) continue;
        const double steps = amount_[p] / (before - amount_[p]);
        if (steps < soonest) {
            soonest = steps;
            first = i;
        }
    }
    return grown ? first : -1;
}

// After the Newton iteration of an assemblage: the phase with the most negative amount, by
// its share of what the balances move (an amount a rounding below zero is zero).
int Minimiser::most_negative() const {
    const std::vector<double> share = shares();
    int worst = -1;
    for (int i = 0; i < static_cast<int>(active_.size()); ++i)
        if (amount_[active_[i]] < 0.0 && share[i] > 1e-12 && (worst < 0 || share[i] > share[worst]))
            worst = i;
    return worst;
}

// After the Newton iteration of an assemblage: a phase that holds nothing beyond the rounding
// of the balances - in every basis row no more than the rounding of that row's input, which
// rebase takes as zero - at activity 1 where the potentials are free (as lime beside calcite),
// which the assemblage does not need.
int Minimiser::holding_nothing() const {
    if (active_.size() < 2) return -1;
    const VectorXd rounding =
        4.0 * std::numeric_limits<double>::epsilon() * (basis_inverse_.cwiseAbs() * b_.cwiseAbs());
    for (int i = 0; i < static_cast<int>(active_.size()); ++i) {
        const int p = active_[i];
        // The phase that joined a phase alone that could not hold the input is needed however
        // little it holds (graphite beside the C-H-O gas at CO's composition at 1e-20 bar holds
        // 6e-21 mol; without it the gas alone cannot meet the balances again, 705).
        if (p == lone_phase_partner_ && active_.size() == 2) continue;
        // Nor is a phase that alone holds one side of a row without input, beside a mixture on
        // the other (lime at 1e-29 mol beside calcite and a gas of O2 holding CO2 at 400 K):
        // without it that row cannot be met (one_sided_row).
        if (one_sided_row(p) >= 0 && one_sided_row() < 0) continue;
        const VectorXd held =
            std::abs(amount_[p]) * (work_.phases[p].stoichiometry.cwiseAbs() * composition_[p]);
        bool nothing = true;
        for (int row : balance_rows_) nothing = nothing && held[row] <= rounding[row];
        if (nothing) return i;
    }
    return -1;
}

void Minimiser::drop(int index) {
    const int p = active_[index];
    dropped_from_ = active_;
    std::sort(dropped_from_.begin(), dropped_from_.end());
    active_.erase(active_.begin() + index);
    amount_[p] = 0.0;
    primal_[p] = false;
    log_amount_[p] = false;
    if (second_way_) reproject_amounts();
    std::fill(dwindled_.begin(), dwindled_.end(), false);
    last_dropped_ = p;
    if (std::find(drops_.begin(), drops_.end(), std::make_pair(dropped_from_, p)) == drops_.end())
        drops_.emplace_back(dropped_from_, p);
    ++assemblies_;
    assemblage_changed();
}

// The amounts of the phases left, where one is below zero or any beyond a thousand times the
// input (or after every drop, reproject_every_drop_): the least-squares amounts that hold the
// input (with the supplies) at their compositions as they are, none below zero. The amounts the
// assemblage before left may be far from any of this one (it ran off along nearly dependent
// compositions: the carbide and graphite at -2e4 and -5e4 mol beside a liquid of 9e4 at 5100 K;
// or it converged with graphite below zero and the carbide and liquid beside it, at 4716 K,
// then ran from there to the liquid at -0.6 mol where the equilibrium has 0.066).
void Minimiser::reproject_amounts() {
    if (active_.empty()) return;
    if (!reproject_every_drop_ && !amounts_ran_off() &&
        std::none_of(active_.begin(), active_.end(), [&](int q) { return amount_[q] < 0.0; }))
        return;
    const int a = static_cast<int>(active_.size());
    MatrixXd columns(k_, a);
    for (int i = 0; i < a; ++i)
        columns.col(i) = balance_.phases[active_[i]].stoichiometry * composition_[active_[i]];
    VectorXd held = b_;
    for (int i = 0; i < static_cast<int>(reservoirs_.size()); ++i)
        held += supply_[i] * reservoirs_[i].stoichiometry;
    const VectorXd n = columns.completeOrthogonalDecomposition().solve(held);
    if (!n.allFinite()) return;
    for (int i = 0; i < a; ++i) amount_[active_[i]] = std::max(n[i], 0.0);
}

// The phase just dropped joins again: where it joins what it left, clearly above activity 1, its
// leaving led round, and it is remembered with the assemblage it left (leads_round).
void Minimiser::rejoining(int p) {
    if (p != last_dropped_) return;
    std::vector<int> assemblage = active_;
    assemblage.push_back(p);
    std::sort(assemblage.begin(), assemblage.end());
    if (assemblage != dropped_from_) return;
    if (std::find(round_trips_.begin(), round_trips_.end(), std::make_pair(assemblage, p)) ==
        round_trips_.end())
        round_trips_.emplace_back(std::move(assemblage), p);
}

// Whether active_[index] leaving this assemblage once led back to it: then it is not the one to
// leave again, as that would go round the same way. A liquid gone dual at nothing beside the
// FCC of the B-C binary, with no common tangent between them near the input, runs off along
// two nearly equal compositions or converges on the tie line at the far side of the binary,
// either way with the FCC below the plane or below zero: the FCC left, the liquid alone
// converged, the FCC (the more stable of the two at the input's composition) joined it again
// far above activity 1, and so on until the iterations ran out.
bool Minimiser::leads_round(int index) const {
    std::vector<int> assemblage = active_;
    std::sort(assemblage.begin(), assemblage.end());
    return std::find(round_trips_.begin(), round_trips_.end(),
                     std::make_pair(assemblage, active_[index])) != round_trips_.end();
}

// Whether active_[index], holding nothing, leaving the equilibrium leaves an assemblage no such
// drop has left before; it is then remembered. Where one has, the way from there led back here
// through other phases: the gas of the 30-component system holding an excess of 1e-9 of E01
// beside E01E09E30 leaves the balance of E09 against E30 to the rounding of the gas's traces,
// so a compound holding 8e-20 mol of E30 at activity 1 left, another joined above activity 1
// at the potentials the rounding gave, then the first in its place, round until 705.
bool Minimiser::empties_anew(int index) {
    std::vector<int> left = active_;
    left.erase(left.begin() + index);
    std::sort(left.begin(), left.end());
    if (std::find(emptied_into_.begin(), emptied_into_.end(), left) != emptied_into_.end())
        return false;
    emptied_into_.push_back(std::move(left));
    return true;
}

// An assemblage some phase left before, come back to by other phases joining and leaving:
// that phase's leaving led round as well, as in rejoining (a liquid and a carbide of nearly
// one composition with no common tangent near the input at 5774 K, A and C: the liquid, below
// zero where the amounts ran off, left; the carbide alone had graphite above activity 1, the
// carbide and graphite the liquid, which took graphite's place by the pivot, and so on until
// 705). Not called where the phase just dropped joins straight back what it left: that is
// rejoining's to judge (an assemblage flickering at a transition is no cycle).
void Minimiser::returned_to_after_drops(int p) {
    std::vector<int> assemblage = active_;
    std::sort(assemblage.begin(), assemblage.end());
    for (const auto& drop : drops_)
        if (drop.second == p && drop.first == assemblage &&
            std::find(round_trips_.begin(), round_trips_.end(), drop) == round_trips_.end())
            round_trips_.push_back(drop);
}

void Minimiser::add(int p, const VectorXd& x, bool past_traces) {
    active_.push_back(p);
    std::vector<int> joined = active_;
    std::sort(joined.begin(), joined.end());
    const bool rejoins_what_it_left = p == last_dropped_ && joined == dropped_from_;
    primal_[p] = false;
    log_amount_[p] = false;
    amount_[p] = 0.0;
    composition_[p] = x;
    std::fill(dwindled_.begin(), dwindled_.end(), false);
    ++assemblies_;
    split_with_partner(p);
    pivot_dependent(p, past_traces);
    if (!rejoins_what_it_left) returned_to_after_drops(p);
    assemblage_changed();
}

// A phase joining an assemblage whose compositions it depends on (more phases than the
// compositions can tell apart, as where a compound forms from two others): the amounts move
// along the dependency, keeping the mass balance, until one of the others reaches zero and
// leaves - the simplex method's pivot. past_traces: the dependency without the rows of inputs
// below 1e-6 of the whole (their balance then left to the iteration).
void Minimiser::pivot_dependent(int added, bool past_traces) {
    const std::vector<int>& holding = active_;
    const int a = static_cast<int>(holding.size());
    if (a < 2) return;
    MatrixXd columns(k_, a);
    VectorXd norms(a);
    for (int i = 0; i < a; ++i) {
        const int p = holding[i];
        VectorXd v = input_scale_.cwiseProduct(balance_.phases[p].stoichiometry * composition_[p]);
        if (past_traces) {
            const double whole = b_.cwiseAbs().sum();
            for (int c = 0; c < k_; ++c)
                if (b_[c] != 0.0 && std::abs(b_[c]) <= 1e-6 * whole) v[c] = 0.0;
        }
        norms[i] = v.stableNorm();  // entries up to 1e250 for a trace (unit_composition)
        columns.col(i) = norms[i] > 0.0 ? VectorXd(v / norms[i]) : v;
    }
    // Nearly dependent counts: a gas of CO2 with traces of CO and O2 beside CaO is, for the
    // amounts, the CO2 that CaCO3 is made of. Each component counts relative to its input (a
    // liquid that holds a trace of B beside A_S is not A_S), each phase by its direction.
    if (!columns.allFinite() || !(norms.array() > 0.0).all()) return;
    Eigen::JacobiSVD<MatrixXd> svd(columns, Eigen::ComputeFullV);
    const VectorXd& sigma = svd.singularValues();
    if (a <= k_ && sigma[a - 1] > 1e-5 * std::max(sigma[0], 1e-300)) return;
    // The same test on what the phases hold in moles: scaled up to its input, a trace's entry
    // outweighs the major components' in every phase that holds it, and two such phases can
    // look alike over the input though their compositions differ where the matter is (CaCO3
    // and CaO with a trace of Ca beside a gas of O2 and CO2, inside calcite's decomposition:
    // the pivot took out one of them each time the other joined, and the three phases of the
    // equilibrium were never tried). Dependent is what both measures find dependent.
    if (a <= k_ && !past_traces) {
        MatrixXd moles(k_, a);
        for (int i = 0; i < a; ++i) {
            const VectorXd v = balance_.phases[holding[i]].stoichiometry * composition_[holding[i]];
            const double norm = v.stableNorm();
            if (!(norm > 0.0)) return;
            moles.col(i) = v / norm;
        }
        const VectorXd s = moles.jacobiSvd().singularValues();
        if (s[a - 1] > 1e-5 * std::max(s[0], 1e-300)) return;
    }
    // The change of the amounts along the dependency.
    VectorXd v = svd.matrixV().col(a - 1).cwiseQuotient(norms);
    const int q =
        static_cast<int>(std::find(holding.begin(), holding.end(), added) - holding.begin());
    if (q >= a || std::abs(v[q]) < 1e-12 * v.cwiseAbs().maxCoeff()) return;
    v /= v[q];  // the added phase grows
    double t = std::numeric_limits<double>::infinity();
    int leaving = -1;
    for (int i = 0; i < a; ++i) {
        if (i == q || v[i] >= -1e-12) continue;
        const double ratio = amount_[holding[i]] / -v[i];
        if (ratio < t) {
            t = ratio;
            leaving = i;
        }
    }
    if (leaving < 0) return;
    for (int i = 0; i < a; ++i) amount_[holding[i]] += t * v[i];
    const int p = holding[leaving];
    dropped_from_ = active_;
    std::sort(dropped_from_.begin(), dropped_from_.end());
    active_.erase(active_.begin() + leaving);
    amount_[p] = 0.0;
    last_dropped_ = p;
}

// A phase that keeps rejoining just above activity 1, dropped each time below zero, may
// belong in the place of a phase of its composition but for the traces (nearly pure B as FCC
// rather than liquid just below B's melting point, the trace of C in either): a step that
// linear amounts take from beside the liquid would move all of B while the trace's potential
// falls by e-folds, and it stalls. Once per calculation it joins with the amounts moved along
// that dependency counted without the traces' rows, which then follow (the assemblage it left
// kept, for back_from_swap). False where it was tried already.
bool Minimiser::swap_past_traces(const Worst& worst) {
    if (before_swap_) return false;
    before_swap_ = Converged{active_,     amount_, composition_, primal_,
                             log_amount_, zeta_,   supply_,      worst.ln_activity};
    // From the other side: the phase that joins holds the matter, and a sole holder of the
    // traces that joins beside it (a pure solid cannot hold them) starts from nothing and must
    // stay near it, linear only in the logarithm of its amount (the liquid beside pure B_S
    // with two traces 7e-5 K below B's melting point: with linear amounts its step stalled at
    // 0.8 mol where the equilibrium has 1.2e-8, the solid left, and the liquid alone was
    // reported, 3.7e-8 RT above the solid's plane). The linear amounts the stuck iteration
    // chose before the swap were for the liquid giving its matter to the solid.
    sole_holders_linear_ = false;
    add(worst.phase, start_composition(worst.x), true);
    return true;
}

// Back to the assemblage swap_past_traces left where the phase it tried let another in further
// above activity 1 than ln_activity (infinity: where it led to no equilibrium), and only where
// that assemblage was an answer, the phase tried less than rejoin_rounding above 1 there (one
// further above, tried too, makes it no equilibrium). False where nothing was swapped or the
// swap stands.
bool Minimiser::back_from_swap(double ln_activity) {
    if (!before_swap_ || !(ln_activity > before_swap_->ln_activity) ||
        !(before_swap_->ln_activity < rejoin_rounding))
        return false;
    Converged& c = *before_swap_;
    active_ = c.active;
    amount_ = c.amount;
    composition_ = c.composition;
    primal_ = c.primal;
    log_amount_ = c.log_amount;
    zeta_ = c.zeta;
    supply_ = c.supply;
    before_swap_.reset();
    assemblage_changed();
    return true;
}

// After the Newton iteration of an assemblage whose equations have no exact solution (more
// phases at activity 1 than the potentials allow): the phase furthest below activity 1.
// -1 when every phase of the assemblage is at activity 1, or where the potentials could put
// them all there: the activity rows (each phase's composition and each reservoir over the
// balance rows, each of unit length) independent, their least singular value above 1e-9
// (stoichiometric phases that depend on each other give ~1e-16). Where the line search is
// stuck on an assemblage whose amounts ran off, the phases are off activity 1 because the
// potentials ran off with them, not because they cannot meet: the 30-component gas beside
// 14-26 compounds, its rows at least 3e-6 from dependent, lost one compound at a time, the one
// furthest below 1 there, until the iterations ran out.
int Minimiser::least_consistent() const {
    const Layout l = layout();
    Equations e;
    if (!equations(l, pack(l), false, e)) return -1;
    int worst = -1;
    double lowest = -1e-7;
    for (int i = 0; i < static_cast<int>(active_.size()); ++i) {
        if (is_primal(active_[i])) continue;
        if (e.residual[l.offset[i]] < lowest) {
            lowest = e.residual[l.offset[i]];
            worst = i;
        }
    }
    // The potentials share out the excess of a phase above activity 1 among the others, and
    // two of them may end about as far below it: a carbide above 1 beside a pure metal holding
    // the input and one holding a trace of 1e-240, both at -0.115 (equal to 2e-10 RT, or 3e-6
    // RT where the trace holder's amount had gone below zero). The one furthest below leaving
    // was the major metal then, and the carbide and the trace holder ran off with the input;
    // the trace holder leaving costs the balances next to nothing, and it joins again where it
    // belongs. So a phase holding a trace (below 1e-6 of the input, as the trace rows count
    // it) as far below 1 to within 1 % leaves in its place (not one merely comparably far: on
    // the 30-component gas with ultra traces, compounds at -65 and -83 beside one at -101
    // left in its place, and the calculation that had succeeded ended in 705).
    if (worst >= 0) {
        auto held = [&](int i) {
            const int p = active_[i];
            return std::abs(amount_[p]) *
                   (work_.phases[p].stoichiometry.cwiseAbs() * composition_[p]).sum();
        };
        const double trace = 1e-6 * b_work_.cwiseAbs().sum();
        const int furthest = worst;
        for (int i = 0; i < static_cast<int>(active_.size()); ++i) {
            if (i == furthest || is_primal(active_[i])) continue;
            if (e.residual[l.offset[i]] <= 0.99 * lowest && held(i) <= trace &&
                held(i) < held(worst))
                worst = i;
        }
    }
    const int a = static_cast<int>(active_.size());
    const int rows = a + static_cast<int>(reservoirs_.size());
    if (worst < 0 || rows > l.potentials) return worst;
    // Only amounts that ran off (beyond a thousand times the input) say the potentials ran off
    // with them; elsewhere the phase furthest below activity 1 leaves, as before the rank test
    // (with the test everywhere, the liquid of B with a trace of D of 2.5e-6 of the whole at
    // 1727.27 K, beside B's melting point, gave 705).
    if (!amounts_ran_off()) return worst;
    MatrixXd activity_rows(rows, l.potentials);
    for (int i = 0; i < rows; ++i) {
        const VectorXd v =
            i < a ? VectorXd(work_.phases[active_[i]].stoichiometry * e.compositions[i])
                  : reservoirs_work_[i - a];
        for (int r = 0; r < l.potentials; ++r) activity_rows(i, r) = v[balance_rows_[r]];
        const double length = activity_rows.row(i).norm();
        if (length > 0.0) activity_rows.row(i) /= length;
    }
    const Eigen::JacobiSVD<MatrixXd> svd(activity_rows);
    return svd.singularValues()[rows - 1] > 1e-9 ? -1 : worst;
}

// A mixture inside its spinodal (its Gibbs energy curves down along some composition change)
// cannot be at equilibrium; with a second copy it splits into the two local minima of its
// tangent-plane distance on either side, amounts by the lever rule - near a critical point
// Newton's method would otherwise drift to the one-phase saddle between them.
bool Minimiser::split_in_spinodal() {
    for (int p : active_) {
        if (!is_primal(p)) continue;
        const int q = balance_.phases[p].partner;
        if (q < 0 || balance_.phases[q].role != Role::balanced) continue;
        if (balance_.phases[q].size() != balance_.phases[p].size()) continue;
        const int m = balance_.phases[p].size();
        const VectorXd& x = composition_[p];
        const MixtureDerivatives d = mixture_derivatives(balance_, balance_.phases[p], x);
        // The Hessian on compositions that keep sum x = 1: along x_j - x_last.
        MatrixXd z = MatrixXd::Zero(m, m - 1);
        for (int j = 0; j + 1 < m; ++j) {
            z(j, j) = 1.0;
            z(m - 1, j) = -1.0;
        }
        Eigen::SelfAdjointEigenSolver<MatrixXd> eigen(z.transpose() * d.hessian * z);
        if (m < 2 || eigen.eigenvalues()[0] >= 0.0) continue;
        VectorXd direction = z * eigen.eigenvectors().col(0);
        direction /= direction.cwiseAbs().maxCoeff();
        TangentPlaneRequest request;
        VectorXd sides[2];
        for (int side = 0; side < 2; ++side) {
            double step = 0.05;
            VectorXd start = x + (side == 0 ? step : -step) * direction;
            while ((start.array() <= 0.0).any() && step > 1e-6) {
                step *= 0.5;
                start = x + (side == 0 ? step : -step) * direction;
            }
            start = start_composition(start);
            request.start = &start;
            sides[side] = tangent_plane(balance_, balance_.phases[p], zeta_, request).x;
        }
        if ((sides[0] - sides[1]).cwiseAbs().maxCoeff() < 1e-6) continue;
        // A few thousandths of a kelvin below the critical point the curvature at the minima
        // is of the rounding of the Hessian (~1e-7), which may call a minimum inside: where the
        // copies are at the two sides already (in either order), splitting again changes
        // nothing, and without a Newton step between went on until the assemblies ran out (702).
        if (is_active(q)) {
            const double apart = 1e-3 * (sides[0] - sides[1]).cwiseAbs().maxCoeff();
            auto at = [&](const VectorXd& a, const VectorXd& b) {
                return (a - b).cwiseAbs().maxCoeff() <= apart;
            };
            const VectorXd& y = composition_[q];
            if ((at(sides[0], x) && at(sides[1], y)) || (at(sides[0], y) && at(sides[1], x)))
                continue;
        }
        // What the two copies hold together, spread over the two sides.
        VectorXd held = amount_[p] * x;
        if (is_active(q)) held += amount_[q] * composition_[q];
        MatrixXd ends(m, 2);
        ends << sides[0], sides[1];
        const VectorXd lever = ends.colPivHouseholderQr().solve(held);
        if (!(lever.array() > 0.0).all()) continue;
        amount_[p] = lever[0];
        composition_[p] = start_composition(sides[0]);
        if (!is_active(q)) active_.push_back(q);
        primal_[q] = true;
        amount_[q] = lever[1];
        composition_[q] = start_composition(sides[1]);
        ++assemblies_;
        assemblage_changed();
        return true;
    }
    return false;
}

// Two copies of a de-mixing phase a few kelvin below its critical point: the one that holds
// most sits near the composition of the whole, which lies between the binodal and the
// spinodal, where the Gibbs energy is nearly flat along the composition the copies exchange.
// The linear model of the pair's equations then moves that composition many times too far for
// a change of the potentials, and the line search creeps or stalls (a second copy grew by
// 3e-4 mol a step towards 0.08). So what the pair holds is shared between them at the common
// tangent of their two basins: the potentials move along the difference of the copies'
// compositions until both local minima are equally deep, then put both at activity 1; the
// amounts follow by the lever rule, the mass balance kept. False where the basins merge on the
// way or what the pair holds lies outside the tie line found.
bool Minimiser::split_at_common_tangent(int p, int q) {
    const CalculatedPhase& phase = balance_.phases[p];
    const CalculatedPhase& other = balance_.phases[q];
    const int m = phase.size();
    if (other.size() != m || m < 2 || composition_[p].size() != m || composition_[q].size() != m)
        return false;
    // Each copy's local minimum at the potentials zeta, from its last composition.
    VectorXd starts[2] = {start_composition(composition_[p]), start_composition(composition_[q])};
    TangentPlane planes[2];
    auto minima = [&](const VectorXd& zeta) {
        TangentPlaneRequest request;
        for (int side = 0; side < 2; ++side) {
            request.start = &starts[side];
            planes[side] = tangent_plane(balance_, side == 0 ? phase : other, zeta, request);
        }
        return planes[0].converged && planes[1].converged && planes[0].x.allFinite() &&
               planes[1].x.allFinite() && std::isfinite(planes[0].ln_activity) &&
               std::isfinite(planes[1].ln_activity) &&
               (planes[0].x - planes[1].x).cwiseAbs().maxCoeff() > 1e-6;
    };
    // The search starts from the potentials at which the copy holding more is at its own
    // composition's tangent plane (the least change of the present ones): the present ones
    // are the pair's together, and a copy beside the spinodal may have no basin of its own at
    // them.
    const int major = amount_[q] > amount_[p] ? 1 : 0;
    const CalculatedPhase& held_most = major == 0 ? phase : other;
    const VectorXd off = mixture_derivatives(balance_, held_most, starts[major]).mu -
                         held_most.stoichiometry.transpose() * zeta_;
    const VectorXd base =
        zeta_ + held_most.stoichiometry.transpose().completeOrthogonalDecomposition().solve(off);
    if (!base.allFinite()) return false;
    if (!minima(base)) return false;
    const VectorXd direction = planes[1].m - planes[0].m;
    if (!(direction.squaredNorm() > 0.0)) return false;
    // depth(t), q's ln a over p's at base + t direction, rises with t at the rate
    // (m_q - m_p) . direction: Newton's method on it, kept inside the bracket once one is known,
    // and halved back towards the last point reached where the two minima have merged.
    double low = -std::numeric_limits<double>::infinity();
    double high = std::numeric_limits<double>::infinity();
    double t = 0.0;
    double depth = planes[1].ln_activity - planes[0].ln_activity;
    VectorXd zeta = base;
    for (int iteration = 0; std::abs(depth) >= 1e-13; ++iteration) {
        (depth > 0.0 ? high : low) = t;
        const double slope = direction.dot(planes[1].m - planes[0].m);
        if (iteration == 60 || !(slope > 0.0) || high - low <= 1e-15 * std::abs(t)) return false;
        double next = t - depth / slope;
        if (!(next > low && next < high))
            next = std::isfinite(low) && std::isfinite(high) ? 0.5 * (low + high) : t;
        bool valid = false;
        for (int halving = 0; halving < 30 && !valid && next != t; ++halving) {
            zeta = base + next * direction;
            valid = minima(zeta);
            if (!valid) next = 0.5 * (next + t);
        }
        if (!valid) return false;
        t = next;
        depth = planes[1].ln_activity - planes[0].ln_activity;
        starts[0] = start_composition(planes[0].x);
        starts[1] = start_composition(planes[1].x);
    }
    // Both at activity 1: the least change of the potentials that lifts both by their ln a.
    MatrixXd rows(2, k_);
    rows.row(0) = planes[0].m.transpose();
    rows.row(1) = planes[1].m.transpose();
    const Eigen::Vector2d lift(-planes[0].ln_activity, -planes[1].ln_activity);
    const VectorXd shift = rows.completeOrthogonalDecomposition().solve(lift);
    // The lever rule on what the pair holds, in moles of the constituents; p takes the rest of
    // it exactly (in more than two constituents the tie line found need not run through what
    // the pair holds).
    VectorXd held = std::max(amount_[p], 0.0) * composition_[p];
    if (amount_[q] > 0.0) held += amount_[q] * composition_[q];
    MatrixXd ends(m, 2);
    ends << planes[0].x, planes[1].x;
    const VectorXd lever = ends.colPivHouseholderQr().solve(held);
    if (!lever.allFinite() || !(lever.array() > 0.0).all() || !shift.allFinite()) return false;
    const VectorXd rest = held - lever[1] * planes[1].x;
    if (!(rest.array() > 0.0).all()) return false;
    const double threshold = 1e-6 * input_scale();
    amount_[p] = rest.sum();
    composition_[p] = start_composition(rest / amount_[p]);
    amount_[q] = lever[1];
    composition_[q] = start_composition(planes[1].x);
    for (int copy : {p, q})
        primal_[copy] = !dual_mixtures_ && !dual_copies_ && amount_[copy] > threshold;
    zeta_ = zeta + shift;
    return true;
}

// A copy joining beside its primal partner is shared with it at once (split_at_common_tangent).
void Minimiser::split_with_partner(int q) {
    const int p = balance_.phases[q].partner;
    if (p < 0 || dual_mixtures_ || dual_copies_ || !is_active(p) || !primal_[p]) return;
    split_at_common_tangent(p, q);
}

// Two copies both in the assemblage on which Newton's method does not settle: shared again at
// their common tangent, a few times in one calculation at most.
bool Minimiser::split_stuck_copies() {
    if (stuck_splits_ >= 3) return false;
    for (int p : active_) {
        const int q = balance_.phases[p].partner;
        if (q < p || !is_active(q) || !(primal_[p] || primal_[q])) continue;
        if (split_at_common_tangent(p, q)) {
            ++stuck_splits_;
            assemblage_changed();
            return true;
        }
    }
    return false;
}

// Two copies of a de-mixing phase that have come to one composition are one phase.
bool Minimiser::merge_copies() {
    for (std::size_t i = 0; i < active_.size(); ++i) {
        const int p = active_[i];
        const int q = balance_.phases[p].partner;
        if (q < 0 || q < p) continue;
        const auto other = std::find(active_.begin(), active_.end(), q);
        if (other == active_.end()) continue;
        if (composition_[p].size() != composition_[q].size()) continue;
        if ((composition_[p] - composition_[q]).cwiseAbs().maxCoeff() > 1e-5) continue;
        const double total = amount_[p] + amount_[q];
        if (total > 0.0)
            composition_[p] = (amount_[p] * composition_[p] + amount_[q] * composition_[q]) / total;
        amount_[p] = total;
        drop(static_cast<int>(other - active_.begin()));
        return true;
    }
    return false;
}

// Two primal copies of a de-mixing phase on which Newton's method is stuck: near the critical
// point their Gibbs energy is flat along the composition the copies exchange, the equations
// in their amounts nearly singular beyond what a line search can use. In dual form each copy's
// composition is the local tangent-plane minimum in its own basin, and the potentials that
// put both at activity 1 are well determined while the compositions differ.
bool Minimiser::copies_to_dual() {
    if (dual_copies_) return false;
    bool turned = false;
    for (int p : active_) {
        const int q = balance_.phases[p].partner;
        if (primal_[p] && q >= 0 && is_active(q)) {
            primal_[p] = false;
            turned = true;
        }
    }
    if (turned) {
        dual_copies_ = true;
        assemblage_changed();
    }
    return turned;
}

// A dual phase that alone can hold a component with input cannot balance it with an amount at
// or below zero: the row's two sides would lie on one side, and its potential would run off
// without end. Its amount starts again at what that input asks of it (the largest such
// share); it is then solved for the logarithm of its amount.
bool Minimiser::revive_sole_holders() {
    bool revived = false;
    for (int p : active_) {
        if (primal_[p] || amount_[p] > 0.0) continue;
        const VectorXd held = balance_.phases[p].stoichiometry * composition_[p];
        double needed = 0.0;
        for (int c : balance_components_) {
            if (!(b_[c] > 0.0) || !(held[c] > 0.0)) continue;
            const bool alone = std::none_of(active_.begin(), active_.end(), [&](int q) {
                return q != p &&
                       balance_.phases[q].stoichiometry.row(c).cwiseAbs().maxCoeff() > 0.0;
            });
            if (alone) needed = std::max(needed, b_[c] / held[c]);
        }
        if (needed > 0.0 && std::isfinite(needed)) {
            amount_[p] = needed;
            revived = true;
        }
    }
    return revived;
}

// Dual phases that hold next to nothing (below 1e-6 of the input) but ten times what they held
// when the assemblage last changed, in an assemblage that does not settle: solved for the logarithm
// of their amounts from here on, once each time they join. Their amount, linear, must grow
// many-fold through steps that the line search cuts to a few per cent each, where the potentials of
// the traces they hold richly fall by as many e-folds (the balance of the trace keeps their
// product); in the logarithm both are linear together.
bool Minimiser::creeping_amounts_to_logarithms() {
    // A phase below zero is on its way out (a trace's phases sorting themselves out): the
    // amounts are not creeping towards a lever but changing places.
    if (std::any_of(active_.begin(), active_.end(), [&](int p) { return amount_[p] < 0.0; }))
        return false;
    const double threshold = 1e-6 * input_scale();
    bool turned = false;
    for (int p : active_)
        if (!primal_[p] && !log_amount_[p] && amount_[p] > 10.0 * amount_at_change_[p] &&
            amount_[p] > 0.0 && amount_[p] < threshold) {
            log_amount_[p] = true;
            turned = true;
        }
    if (turned) assemblage_changed();
    return turned;
}

// The input the assemblage does not hold: b plus supplies minus what the phases hold.
VectorXd Minimiser::unheld() const {
    VectorXd r = b_;
    for (int i = 0; i < static_cast<int>(reservoirs_.size()); ++i)
        r += supply_[i] * reservoirs_[i].stoichiometry;
    for (int p : active_) {
        const CalculatedPhase& phase = balance_.phases[p];
        r -= amount_[p] * (phase.stoichiometry * composition_[p]);
    }
    return r;
}

// Whether the assemblage holds the input: every balance row met to 1e-9 of itself. A row that
// nothing in the assemblage can hold (one side empty) is not met, however small its input
// (an excess of B of a few units in the last place of 1e19 mol beside AB).
bool Minimiser::holds_input() const {
    const Layout l = layout();
    Equations e;
    if (!equations(l, pack(l), false, e)) return false;
    return e.residual.head(l.potentials).cwiseAbs().maxCoeff() <= 1e-9;
}

// Whether some active phase's amount ran off beyond a thousand times the input.
bool Minimiser::amounts_ran_off() const {
    const double far = 1e3 * b_.cwiseAbs().sum();
    return std::any_of(active_.begin(), active_.end(),
                       [&](int p) { return std::abs(amount_[p]) > far; });
}

// Whether some balance row has an input that no active species and no reservoir enters with
// a coefficient of its sign: the assemblage cannot hold it at any amounts.
bool Minimiser::lacks_a_holder() const {
    for (int row : balance_rows_) {
        const double input = b_work_[row];
        if (input == 0.0) continue;
        bool held = std::any_of(reservoirs_work_.begin(), reservoirs_work_.end(),
                                [&](const VectorXd& r) { return r[row] != 0.0; });
        for (int p : active_)
            held = held || (work_.phases[p].stoichiometry.row(row).array() * input > 0.0).any();
        if (!held) return true;
    }
    return false;
}

// A balance row without input (over the basis) that the active phases (but the one given)
// enter with one sign only, a mixture among them: the row is met only where that mixture's
// constituents in it have no amount, which no finite potentials give (calcite with an excess of
// O beside the gas: the gas's CO2 and CO hold C beyond what calcite's Ca leaves, and its C
// potential runs to minus infinity). A pure phase alone on such a side just leaves at zero. The
// row, or -1 where there is none.
int Minimiser::one_sided_row(int without) const {
    for (int row : balance_rows_) {
        if (b_work_[row] != 0.0) continue;
        if (std::any_of(reservoirs_work_.begin(), reservoirs_work_.end(),
                        [&](const VectorXd& r) { return r[row] != 0.0; }))
            continue;
        bool positive = false, negative = false, mixture = false;
        for (int p : active_) {
            if (p == without) continue;
            const auto coefficients = work_.phases[p].stoichiometry.row(row).array();
            positive = positive || (coefficients > 0.0).any();
            negative = negative || (coefficients < 0.0).any();
            mixture = mixture || (work_.phases[p].size() > 1 && (coefficients != 0.0).any());
        }
        if (mixture && positive != negative) return row;
    }
    return -1;
}

// The row's potential lowered on the side the assemblage holds (every other basis row's
// potential kept, so the phases that stay out of the row keep their activities) until the
// first phase outside with a species on the other side reaches activity 1 (one above it
// already: back along the line to where the first reached it), and that phase joins: the ratio
// test of the dual problem along the direction that shows the assemblage cannot meet the row.
// False where no phase outside enters the row with the other sign, or none reaches activity 1
// within reach.
bool Minimiser::add_phase_for_one_sided_row(int row) {
    double side = 0.0;
    for (int p : active_) {
        const auto coefficients = work_.phases[p].stoichiometry.row(row);
        if (coefficients.maxCoeff() > 0.0) side = 1.0;
        if (coefficients.minCoeff() < 0.0) side = -1.0;
    }
    std::vector<int> other_side;
    for (int p = 0; p < count_; ++p)
        if (balance_.phases[p].role == Role::balanced && !is_active(p) &&
            (side * work_.phases[p].stoichiometry.row(row).array() < 0.0).any())
            other_side.push_back(p);
    // Species potentials are a . zeta = (B^-1 a) . (B^T zeta): the row's potential alone moves
    // along B^-T e_row.
    VectorXd d = -side * basis_inverse_.row(row).transpose();
    if (other_side.empty() || !(d.norm() > 0.0) || !d.allFinite()) return false;
    d.normalize();
    return add_first_along(other_side, d, true);
}

// The potentials moved along d until the first of the phases `candidates` reaches activity 1,
// and that phase added (the ratio test of the dual problem): the step doubled from 1 until one
// reaches it, then halved down to where the first did; with `back`, where one is at or above
// activity 1 at the start already, back along the line to where the first reached it. False
// where none reaches activity 1 within reach. With `called_back` (matter the assemblage cannot
// hold), a phase just dropped that joins so counts as a round trip.
bool Minimiser::add_first_along(const std::vector<int>& candidates, const VectorXd& d, bool back,
                                bool called_back) {
    auto highest = [&](double t, int& which) {
        double best = -std::numeric_limits<double>::infinity();
        for (int p : candidates) {
            const double ln_a = activity(p, zeta_ + t * d, false).ln_activity;
            if (ln_a > best) {
                best = ln_a;
                which = p;
            }
        }
        return best;
    };
    int which = -1;
    double low = 0.0;
    double high = 1.0;
    if (back && !(highest(0.0, which) < 0.0)) {
        high = 0.0;
        low = -1.0;
        while (!(highest(low, which) < 0.0)) {
            high = low;
            low *= 2.0;
            if (low < -1e4) return false;
        }
    } else {
        while (highest(high, which) < 0.0) {
            low = high;
            high *= 2.0;
            if (high > 1e4) return false;
        }
    }
    for (int i = 0; i < 60 && high - low > 1e-12 * std::max(1.0, std::abs(high)); ++i) {
        const double middle = 0.5 * (low + high);
        int at = -1;
        if (highest(middle, at) < 0.0)
            low = middle;
        else
            high = middle;
    }
    highest(high, which);
    zeta_ += high * d;
    const TangentPlane tp = activity(which, zeta_, false);
    // The phase just dropped, called back by the assemblage it left, which cannot hold the input
    // without it, led round as much as one rejoining above activity 1 (B and C 1:1 at 4670 K:
    // the liquid beside B2C, of nearly its composition and with no common tangent near the
    // input, ran off and left; B2C alone called it back, and so on until 705).
    if (called_back) rejoining(which);
    add(which, start_composition(tp.x));
    return true;
}

// The assemblage cannot hold the input: raise the potentials along the free direction that
// the unheld matter points to until the first phase outside reaches activity 1, and add it
// (the ratio test of the dual problem).
bool Minimiser::add_phase_for_unheld(const MatrixXd& z) {
    if (z.cols() == 0) return false;
    // Only the direction counts: scaled to its largest entry first, so that the norm of an
    // input of 1e-200 mol does not underflow to zero.
    VectorXd r = unheld();
    const double largest = r.cwiseAbs().maxCoeff();
    if (!(largest > 0.0) || !std::isfinite(largest)) return false;
    r /= largest;
    VectorXd d = z * (z.transpose() * r);
    if (!(d.norm() > 0.0)) return false;
    d.normalize();
    std::vector<int> outside;
    for (int p = 0; p < count_; ++p)
        if (balance_.phases[p].role == Role::balanced && !is_active(p)) outside.push_back(p);
    return add_first_along(outside, d, false, true);
}

// The phase that can join the assemblage with the largest activity (over the species that
// can take part in the mass balance).
Minimiser::Worst Minimiser::worst_outside() const {
    Worst worst;
    outside_.zeta = zeta_;
    outside_.active = active_;
    outside_.planes.assign(count_, TangentPlane{});
    outside_.known.assign(count_, false);
    for (int p = 0; p < count_; ++p) {
        if (balance_.phases[p].role != Role::balanced || is_active(p)) continue;
        const TangentPlane tp = activity(p, zeta_, false);
        if (tp.ln_activity > worst.ln_activity) {
            worst.phase = p;
            worst.ln_activity = tp.ln_activity;
            worst.x = tp.x;
        }
        outside_.planes[p] = tp;
        outside_.known[p] = true;
    }
    return worst;
}

// Adds the phase outside the assemblage with the largest activity above 1, if there is one.
bool Minimiser::add_most_active() {
    const Worst worst = worst_outside();
    if (worst.phase < 0 || worst.ln_activity <= activity_tolerance) return false;
    add(worst.phase, start_composition(worst.x));
    return true;
}

}  // namespace eqx::equilibrium
