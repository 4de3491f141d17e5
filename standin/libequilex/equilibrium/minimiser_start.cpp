// The start of the minimisation: the linear programmes with column generation, or a previous
// equilibrium; and the reduced system for components that no phase can hold.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/library.hpp"
#include "equilibrium/linear_programme.hpp"
#include "equilibrium/minimiser_state.hpp"

namespace eqx::equilibrium {

using Eigen::MatrixXd;
using Eigen::VectorXd;

// Species that no amounts meeting the input can hold: every n >= 0 with A n = b (the
// reservoirs' supplies free) has n_j = 0 - a component without input that every species holds
// with one sign, or a species that only a constituent now ELIMINATED could balance (CO beside
// CaO and CO2 from CaCO3 without O2). By Farkas' lemma they are those with a_j . d > 0 for a
// direction d with b . d = 0, v . d = 0 for each reservoir and a . d >= 0 for every species.
// They leave the mass balance (their phases still get activities), so that no potential runs
// off while their amounts chase zero. The directions of components without input are where the
// zero-input rule places the potentials (place_zero_input_potentials).
void Minimiser::exclude_unreachable() {
    std::vector<VectorXd> directions;
    std::vector<bool> without_input(k_);
    for (int c = 0; c < k_; ++c) {
        without_input[c] = b_[c] == 0.0;
        for (const Reservoir& r : reservoirs_)
            without_input[c] = without_input[c] && r.stoichiometry[c] == 0.0;
    }
    int formulas = 0;
    for (const CalculatedPhase& phase : balance_.phases)
        if (phase.role == Role::balanced) formulas += phase.size();
    VectorXd a;
    for (int round = 0; round <= k_; ++round) {
        std::vector<VectorXd> species;
        species.reserve(formulas);
        for (const CalculatedPhase& phase : balance_.phases) {
            if (phase.role != Role::balanced) continue;
            for (int j = 0; j < phase.size(); ++j) {
                a = phase.stoichiometry.col(j);
                if (a.cwiseAbs().maxCoeff() == 0.0) continue;
                if (std::none_of(species.begin(), species.end(),
                                 [&](const VectorXd& s) { return s == a; }))
                    species.push_back(a);
            }
        }
        VectorXd d;
        if (!unreachable_direction(species, d)) break;
        bool removed = false;
        for (CalculatedPhase& phase : balance_.phases) {
            if (phase.role != Role::balanced) continue;
            std::vector<int> keep;
            for (int j = 0; j < phase.size(); ++j)
                if (!unreachable_along(phase.stoichiometry.col(j), d)) keep.push_back(j);
            if (static_cast<int>(keep.size()) == phase.size()) continue;
            removed = true;
            restrict_phase(phase, keep);
        }
        if (!removed) break;
        // Only a direction of components without input: along the programme's others the
        // species that cannot hold matter are placed as any free potential is (their activity
        // at most 1). A component's own direction is one; so is the programme's where every
        // component it moves has no input, as in other system components where a component
        // of the file has none and its species hold the new ones with both signs (CO and CO2
        // without C and O: graphite is 2 CO - CO2, and placed as a free potential it was
        // reported at activity e^1e4).
        bool of_components_without_input = true;
        for (int c = 0; c < k_; ++c)
            of_components_without_input =
                of_components_without_input && (d[c] == 0.0 || without_input[c]);
        if (of_components_without_input) directions.push_back(d);
    }
    // A component without input that no species of the mass balance holds, but DORMANT ones do
    // (phases or constituents, all with one sign): its own direction, so that the zero-input rule
    // places its potential too (left at 0, the dormant phases read activities up to 1e11).
    for (int c = 0; c < k_; ++c) {
        if (!without_input[c]) continue;
        bool held = false, positive = false, negative = false;
        const auto look = [&](const MatrixXd& stoichiometry) {
            for (int j = 0; j < stoichiometry.cols(); ++j) {
                positive = positive || stoichiometry(c, j) > 0.0;
                negative = negative || stoichiometry(c, j) < 0.0;
            }
        };
        for (const CalculatedPhase& phase : balance_.phases) {
            if (phase.role != Role::balanced) continue;
            for (int j = 0; j < phase.size(); ++j) held = held || phase.stoichiometry(c, j) != 0.0;
        }
        for (const VectorXd& d : directions) held = held || d[c] != 0.0;
        if (held) continue;
        for (const CalculatedPhase& phase : full_.phases) {
            look(phase.dormant_stoichiometry);
            if (phase.role != Role::absent) look(phase.stoichiometry);
        }
        if (positive != negative)
            directions.push_back((positive ? 1.0 : -1.0) * VectorXd::Unit(k_, c));
    }
    zero_directions_.resize(k_, static_cast<int>(directions.size()));
    for (int i = 0; i < static_cast<int>(directions.size()); ++i)
        zero_directions_.col(i) = directions[i];
}

// A direction d as exclude_unreachable describes with a . d > 0 for some species, or false.
// Components without input that every species holds with one sign are the common case and need
// no programme; otherwise one: maximise sum_j min(a_j . d, 1) over the directions allowed.
bool Minimiser::unreachable_direction(const std::vector<VectorXd>& species, VectorXd& d) const {
    // Without species (every phase kept out) nothing can hold matter and nothing is left out.
    if (species.empty()) return false;
    std::vector<bool> in_reservoir(k_, false);
    for (const Reservoir& r : reservoirs_)
        for (int c = 0; c < k_; ++c)
            if (r.stoichiometry[c] != 0.0) in_reservoir[c] = true;
    for (int c = 0; c < k_; ++c) {
        if (b_[c] != 0.0 || in_reservoir[c]) continue;
        bool positive = false, negative = false;
        for (const VectorXd& a : species) {
            positive = positive || a[c] > 0.0;
            negative = negative || a[c] < 0.0;
        }
        if (positive == negative) continue;
        d = (positive ? 1.0 : -1.0) * VectorXd::Unit(k_, c);
        return true;
    }
    // Every species can hold matter where the input is positive in every component and each
    // component has a species of its own (a positive multiple of it), all coefficients >= 0:
    // a little of any species beside those of the components meets the input.
    bool simple = reservoirs_.empty() && (b_.array() > 0.0).all();
    for (const VectorXd& a : species) simple = simple && (a.array() >= 0.0).all();
    for (int c = 0; simple && c < k_; ++c)
        simple = std::any_of(species.begin(), species.end(), [&](const VectorXd& a) {
            return a[c] > 0.0 && a.cwiseAbs().sum() == a[c];
        });
    if (simple) return false;
    // The programme's answer is a function of the species, the input and the reservoirs alone:
    // the last one is kept, for the same question asked again (a map's points, calculations
    // repeated at other temperatures).
    struct Answer {
        std::vector<VectorXd> species;
        VectorXd b;
        std::vector<VectorXd> reservoirs;
        bool found = false;
        VectorXd d;
    };
    thread_local Answer last;
    // Eigen compares only vectors of one size (another system may have asked last).
    const auto equal = [](const VectorXd& u, const VectorXd& v) {
        return u.size() == v.size() && u == v;
    };
    const bool same = std::equal(species.begin(), species.end(), last.species.begin(),
                                 last.species.end(), equal) &&
                      equal(last.b, b_) && last.reservoirs.size() == reservoirs_.size() &&
                      std::equal(reservoirs_.begin(), reservoirs_.end(), last.reservoirs.begin(),
                                 [&](const Reservoir& r, const VectorXd& v) {
                                     return equal(r.stoichiometry, v);
                                 });
    if (same) {
        d = last.d;
        return last.found;
    }
    last.species = species;
    last.b = b_;
    last.reservoirs.clear();
    for (const Reservoir& reservoir : reservoirs_)
        last.reservoirs.push_back(reservoir.stoichiometry);
    last.found = programme_direction(species, d);
    last.d = d;
    return last.found;
}

// The programme of unreachable_direction: maximise sum_j min(a_j . d, 1).
bool Minimiser::programme_direction(const std::vector<VectorXd>& species, VectorXd& d) const {
    // Variables d+ (k), d- (k), then a_j . d and 1 - a_j . d for each species; rows: b . d = 0,
    // v . d = 0 for each reservoir, and the two definitions per species.
    const int s = static_cast<int>(species.size());
    const int r = static_cast<int>(reservoirs_.size());
    const int rows = 1 + r + 2 * s;
    const int columns = 2 * k_ + 2 * s;
    MatrixXd a = MatrixXd::Zero(rows, columns);
    VectorXd rhs = VectorXd::Zero(rows), cost = VectorXd::Zero(columns);
    // d = input_scale d', so that b . d is the sum of d' over the components with input, and
    // each row over its own largest coefficient: a trace's row counts as the others do.
    auto direction_row = [&](int row, const VectorXd& v) {
        VectorXd scaled = v.cwiseProduct(input_scale_);
        const double size = scaled.cwiseAbs().maxCoeff();
        if (size > 0.0) scaled /= size;
        a.block(row, 0, 1, k_) = scaled.transpose();
        a.block(row, k_, 1, k_) = -scaled.transpose();
    };
    direction_row(0, b_);
    for (int i = 0; i < r; ++i) direction_row(1 + i, reservoirs_[i].stoichiometry);
    for (int j = 0; j < s; ++j) {
        const int row = 1 + r + 2 * j;
        direction_row(row, species[j]);
        a(row, 2 * k_ + j) = -1.0;
        direction_row(row + 1, species[j]);
        a(row + 1, 2 * k_ + s + j) = 1.0;
        rhs[row + 1] = 1.0;
        cost[2 * k_ + j] = -1.0;
    }
    const LinearSolution lp = solve_linear_programme(a, rhs, cost);
    if (lp.status != LinearSolution::Status::optimal) return false;
    if (!(lp.x.segment(2 * k_, s).maxCoeff() > 1e-9)) return false;
    const VectorXd vertex = lp.x.head(k_) - lp.x.segment(k_, k_);
    // The programme meets its rows to its tolerance, 1e-9 of each: an input within that of a
    // face of the species' cone passes for one on it (CaO with an excess of O of 1e-12 of the
    // input, which O2 in the gas holds: the direction that keeps the gas out has CaO . d at
    // -1e-12 of its terms). Its direction is a vertex of a system of the species' small
    // coefficients, exact but for rounding: only one that meets b . d = 0, v . d = 0 for each
    // reservoir and a . d >= 0 for every species to the rounding of those products (as
    // unreachable_along measures them) is one.
    const auto is_direction = [&](const VectorXd& candidate) {
        if (!(std::abs(b_.dot(candidate)) <= direction_rounding(b_, candidate))) return false;
        for (const Reservoir& reservoir : reservoirs_)
            if (!(std::abs(reservoir.stoichiometry.dot(candidate)) <=
                  direction_rounding(reservoir.stoichiometry, candidate)))
                return false;
        for (const VectorXd& a : species)
            if (!(a.dot(candidate) >= -direction_rounding(a, candidate))) return false;
        return true;
    };
    // The vertex's rounding shows as entries of a few epsilon of its largest where the exact
    // vertex has 0; such an entry alone makes a . d positive for a species that holds matter
    // (CO2 in a basis of CO2, H2O and H2 without hydrogen: d = (6e-16, 1, 1) kept it out, and
    // the gas held the carbon as CO with error 0). Without them, where that is still a
    // direction; a species that only they kept out and that cannot hold matter is found by
    // the next round's programme.
    const double noise = 1e-12 * vertex.cwiseAbs().maxCoeff();
    d = vertex.unaryExpr([&](double v) { return std::abs(v) <= noise ? 0.0 : v; })
            .cwiseProduct(input_scale_);
    if ((d.array() != 0.0).any() && is_direction(d)) return true;
    d = vertex.cwiseProduct(input_scale_);
    return is_direction(d);
}

// The rounding of a . d as computed: 4 epsilon times the sum of the magnitudes it is made of, as
// the balances take the rounding of what they write over their basis (round_to_zero).
double Minimiser::direction_rounding(const VectorXd& a, const VectorXd& d) const {
    return 4.0 * std::numeric_limits<double>::epsilon() * a.cwiseProduct(d).cwiseAbs().sum();
}

// Whether a species with stoichiometry a cannot hold matter by the direction d: along a
// component's own direction, any coefficient; along one of the programme's, a . d above the
// rounding of its terms. (Measured against the species' largest coefficient times the input's
// scale, as the programme measures its rows, with the programme's tolerance, a trace of C of
// 1e-12 beside exact CaO made CaCO3's a . d = 2 look like nothing beside its C coefficient
// 1e12 as scaled: CaCO3 stayed in the balance, the start held the trace in it with the O row
// off by 2e-12, and the iteration ran out.)
bool Minimiser::unreachable_along(const VectorXd& a, const VectorXd& d) const {
    if ((d.array() != 0.0).count() == 1) return a.dot(d) > 0.0;
    return a.dot(d) > direction_rounding(a, d);
}

void Minimiser::restrict_phase(CalculatedPhase& phase, const std::vector<int>& keep) {
    if (keep.empty()) {
        phase.role = Role::absent;
        return;
    }
    const int m = static_cast<int>(keep.size());
    MatrixXd a(phase.stoichiometry.rows(), m);
    VectorXd g(m);
    std::vector<int> constituents(m);
    for (int j = 0; j < m; ++j) {
        a.col(j) = phase.stoichiometry.col(keep[j]);
        g[j] = phase.g[keep[j]];
        constituents[j] = phase.constituents[keep[j]];
    }
    if (phase.kind == CalculatedPhase::Kind::nonideal) {
        phase.excess = phase.excess.restricted(keep);
        if (phase.excess.empty()) phase.kind = CalculatedPhase::Kind::ideal;
    }
    phase.stoichiometry = std::move(a);
    phase.g = std::move(g);
    phase.constituents = std::move(constituents);
}

// The start: linear programmes over pure phases, reservoirs and points of the mixtures
// (their end members first), each round adding for every mixture above activity 1 the
// composition of its minimum tangent-plane distance (column generation), until no mixture
// is above activity 1 by more than a little, at the programme's duals or at the potentials
// that its solution's points imply. The last programme's solution gives the assemblage, the
// amounts, the compositions and the potentials Newton's method starts from.
int Minimiser::cold_start(const std::vector<std::pair<int, VectorXd>>& seeds) {
    // ln a above which a mixture's point joins the programme.
    constexpr double generation_tolerance = 1e-4;
    struct Column {
        int phase;   // or -1 - reservoir
        VectorXd x;  // composition over the phase's calculated constituents
        double direction;
    };
    std::vector<Column> columns;
    std::vector<VectorXd> vectors;
    std::vector<double> costs;
    // Room for the first round's columns (a mixture's points add more).
    std::size_t first_columns = seeds.size() + 2 * reservoirs_.size();
    for (int p = 0; p < count_; ++p)
        if (balance_.phases[p].role == Role::balanced && !is_second_copy(p))
            first_columns += balance_.phases[p].size();
    columns.reserve(first_columns);
    vectors.reserve(first_columns);
    costs.reserve(first_columns);
    auto add_column = [&](int p, VectorXd x) {
        const CalculatedPhase& phase = balance_.phases[p];
        vectors.push_back(phase.stoichiometry * x);
        costs.push_back(reduced_gibbs_energy(balance_, phase, x));
        columns.push_back({p, std::move(x), 1.0});
    };
    for (int p = 0; p < count_; ++p) {
        const CalculatedPhase& phase = balance_.phases[p];
        if (phase.role != Role::balanced || is_second_copy(p)) continue;
        for (int j = 0; j < phase.size(); ++j) add_column(p, VectorXd::Unit(phase.size(), j));
    }
    for (const auto& [p, x] : seeds)
        add_column(is_second_copy(p) ? balance_.phases[p].partner : p, x);
    for (int r = 0; r < static_cast<int>(reservoirs_.size()); ++r) {
        for (double direction : {1.0, -1.0}) {
            columns.push_back({-1 - r, VectorXd(), direction});
            vectors.push_back(direction * reservoirs_[r].stoichiometry);
            costs.push_back(direction * reservoirs_[r].potential);
        }
    }
    // Each balance row scaled by its own input, so that a trace is as much a constraint as
    // the rest (the programme's tolerances are relative to its largest numbers); the duals
    // are scaled back.
    const VectorXd& row_scale = input_scale_;
    const VectorXd scaled_b = row_scale.cwiseProduct(b_);
    LinearSolution lp;
    // Whether column i at amount x holds some component beyond the programme's rounding
    // (against that component's input).
    auto holds = [&](int i, double x) {
        return (row_scale.cwiseProduct(vectors[i]) * x).cwiseAbs().maxCoeff() > 1e-14;
    };
    // Each mixture's last new column: its minimum moves little from one round to the next.
    std::vector<VectorXd> last_column(count_);
    // The mixtures whose points the rounds generate: each ENTERED nonideal one (a second copy
    // by its first), and in a restart an ideal gas too. An ideal gas's end members alone
    // leave out its entropy of mixing: the programme holds each gaseous component as a pure
    // species at activity 1, its potential up to ln(1/x) too high, so that compounds the mixed
    // gas would take apart may join the start. Newton's method mostly mends that at once (the
    // first start stays the programme of the end members: generating costs a limestone tqce
    // twice its time); where it led to no equilibrium, the restart has the mixed gas. On 30
    // components with 100 compounds (a gas of one species each) such a start held one compound
    // too many, whose equations have no finite solution: the amounts ran off to 1e21 mol, the
    // phases that left were the wrong ones, and each restart led back there until 705.
    auto generated = [&](int p) {
        const CalculatedPhase& phase = balance_.phases[p];
        const bool mixture =
            phase.kind == CalculatedPhase::Kind::nonideal ||
            (restarts_ > 0 && phase.gas && phase.kind == CalculatedPhase::Kind::ideal);
        return phase.role == Role::balanced && mixture && !is_second_copy(p);
    };
    bool generating = false;
    end_member_gas_ = false;
    for (int p = 0; p < count_; ++p) {
        generating = generating || generated(p);
        const CalculatedPhase& phase = balance_.phases[p];
        end_member_gas_ =
            end_member_gas_ || (phase.role == Role::balanced && phase.gas &&
                                phase.kind == CalculatedPhase::Kind::ideal && !generated(p));
    }
    // The mixtures above activity 1 by more than the tolerance at the potentials zeta, each
    // searched from its last new column (local) or over all its compositions (global); with
    // `add`, their minima join the columns. Whether there was one.
    auto price = [&](const VectorXd& zeta, bool global, bool add) {
        bool found = false;
        for (int p = 0; p < count_; ++p) {
            if (!generated(p)) continue;
            TangentPlaneRequest request;
            if (global)
                request.global = true;
            else if (last_column[p].size() > 0)
                request.start = &last_column[p];
            else
                continue;
            const TangentPlane tp = tangent_plane(balance_, balance_.phases[p], zeta, request);
            if (!(tp.ln_activity > generation_tolerance) || !tp.x.allFinite()) continue;
            found = true;
            if (!add) return true;
            last_column[p] = start_composition(tp.x);
            add_column(p, tp.x);
        }
        return found;
    };
    // Whether some column is above activity 1 by more than the tolerance at zeta.
    auto column_above = [&](const VectorXd& zeta) {
        for (std::size_t i = 0; i < columns.size(); ++i)
            if (vectors[i].dot(zeta) - costs[i] > generation_tolerance) return true;
        return false;
    };
    // The potentials at which what the solution x holds is at activity 1: each pure phase
    // and end member of an ideal mixture it holds, each nonideal mixture at the point it holds
    // (held), each reservoir. False unless the programme's points determine them, to the
    // tolerance.
    auto implied_potentials = [&](const VectorXd& x, const std::vector<VectorXd>& held,
                                  VectorXd& zeta) {
        std::vector<VectorXd> rows;
        std::vector<double> values;
        auto at_activity_one = [&](const CalculatedPhase& phase, const VectorXd& point) {
            VectorXd mu = phase.g;
            if (phase.kind == CalculatedPhase::Kind::nonideal)
                mu += mixture_excess(balance_, phase, point, false).mu;
            for (int j = 0; j < phase.size(); ++j) {
                if (!(point[j] > 0.0)) continue;
                rows.push_back(phase.stoichiometry.col(j));
                values.push_back(mu[j] + (phase.size() > 1 ? std::log(point[j]) : 0.0));
            }
        };
        for (const Reservoir& reservoir : reservoirs_) {
            rows.push_back(reservoir.stoichiometry);
            values.push_back(reservoir.potential);
        }
        for (int i = 0; i < static_cast<int>(x.size()); ++i) {
            const Column& column = columns[i];
            if (column.phase >= 0 && holds(i, x[i]) &&
                balance_.phases[column.phase].kind != CalculatedPhase::Kind::nonideal)
                at_activity_one(balance_.phases[column.phase], column.x);
        }
        for (int p = 0; p < count_; ++p)
            if (held[p].size() > 0) at_activity_one(balance_.phases[p], held[p]);
        const int r = static_cast<int>(rows.size());
        if (r < k_) return false;
        MatrixXd m(r, k_);
        VectorXd rhs(r);
        for (int i = 0; i < r; ++i) {
            m.row(i) = rows[i].transpose();
            rhs[i] = values[i];
        }
        const Eigen::CompleteOrthogonalDecomposition<MatrixXd> cod(m);
        if (cod.rank() < k_) return false;
        zeta = cod.solve(rhs);
        return zeta.allFinite() && (m * zeta - rhs).cwiseAbs().maxCoeff() <= generation_tolerance;
    };
    for (int round = 0; round < 40; ++round) {
        const int n = static_cast<int>(columns.size());
        MatrixXd a(k_, n);
        VectorXd c(n);
        for (int i = 0; i < n; ++i) {
            a.col(i) = row_scale.cwiseProduct(vectors[i]);
            c[i] = costs[i];
        }
        lp = solve_linear_programme(a, scaled_b, c);
        if (lp.status == LinearSolution::Status::optimal)
            lp.duals = row_scale.cwiseProduct(lp.duals);
        if (lp.status == LinearSolution::Status::unbounded) return err::unbounded_input;
        if (lp.status != LinearSolution::Status::optimal) return err::balance_unsolved;
        // Each programme's solution is an assemblage tried.
        if (++assemblies_ > options_.max_assemblies) return err::too_many_assemblies;
        // The point each nonideal mixture holds in the programme's solution. Where that
        // combines several of its columns, the mixture's own Gibbs energy there lies below the
        // programme's chord wherever it is one phase: a column that lowers the programme from
        // the primal side, as the tangent planes lower it from the dual side.
        std::vector<VectorXd> held(count_);
        std::vector<int> used(count_, 0);
        for (int i = 0; i < static_cast<int>(lp.x.size()); ++i) {
            const int p = columns[i].phase;
            if (p < 0 || balance_.phases[p].kind != CalculatedPhase::Kind::nonideal ||
                !holds(i, lp.x[i]))
                continue;
            if (held[p].size() == 0) held[p] = VectorXd::Zero(balance_.phases[p].size());
            held[p] += lp.x[i] * columns[i].x;
            ++used[p];
        }
        bool added = false;
        for (int p = 0; p < count_; ++p) {
            if (held[p].size() == 0) continue;
            held[p] /= held[p].sum();
            if (used[p] < 2) continue;
            const CalculatedPhase& phase = balance_.phases[p];
            const double g = reduced_gibbs_energy(balance_, phase, held[p]);
            if (g - (phase.stoichiometry * held[p]).dot(lp.duals) <
                -1e-10 * std::max(1.0, std::abs(g))) {
                add_column(p, held[p]);
                added = true;
            }
        }
        // A solution that cannot be lowered that way is often optimal while the programme's
        // duals are not yet the potentials (a mixture held at one point leaves them
        // degenerate, and further tangent planes only move them about): the potentials its
        // points imply, where they are unique and leave every column and every mixture at
        // activity 1 or below, end the rounds. Not in a restart: after Newton's method failed
        // from such a start, the rounds go on to the programme's own end.
        VectorXd implied;
        if (!added && generating && restarts_ == 0 && implied_potentials(lp.x, held, implied) &&
            !column_above(implied) && !price(implied, false, false) &&
            !price(implied, true, false)) {
            lp.duals = implied;
            break;
        }
        // New columns from each mixture's last new column first; the global searches only
        // where those find none, so that the rounds end with no mixture above activity 1.
        if (!(price(lp.duals, false, true) || price(lp.duals, true, true) || added)) break;
    }
    zeta_ = lp.duals;
    supply_ = VectorXd::Zero(static_cast<int>(reservoirs_.size()));
    std::vector<std::vector<std::pair<double, VectorXd>>> parts(count_);
    // When the rounds run out, the last round's new columns were never solved for: they
    // hold nothing, and Newton's method adds those phases by their driving force.
    const int solved = static_cast<int>(lp.x.size());
    for (int i = 0; i < solved; ++i) {
        const Column& column = columns[i];
        if (column.phase < 0) {
            supply_[-1 - column.phase] += column.direction * lp.x[i];
            continue;
        }
        if (holds(i, lp.x[i])) parts[column.phase].push_back({lp.x[i], column.x});
    }
    split_demixing_copies(parts);
    std::vector<VectorXd> compositions(count_);
    for (int p = 0; p < count_; ++p) {
        if (parts[p].empty()) continue;
        double total = 0.0;
        VectorXd x = VectorXd::Zero(balance_.phases[p].size());
        for (const auto& [amount, composition] : parts[p]) {
            total += amount;
            x += amount * composition;
        }
        amount_[p] = total;
        compositions[p] = x / total;
        composition_[p] = start_composition(compositions[p]);
        active_.push_back(p);
    }
    start_potentials(compositions);
    return 0;
}

// The programme's potentials put every end member it holds of a mixture at activity 1,
// whatever its share, and leave a trace's potential where a column with next to none of it
// happens to put it. The start's compositions are the programme's: the potentials are moved
// (least change, least squares) so that each constituent the start holds has its chemical
// potential at them - a trace's potential then starts where its balance is met.
// Where the constituents held determine every potential, those are solved for directly: a
// trace of 1e-22 of the input, weighted by its row's scale in the programme, may leave its
// potential at -1e21 RT, and a shift back from there keeps only its rounding (2^19 RT).
void Minimiser::start_potentials(const std::vector<VectorXd>& compositions) {
    std::vector<VectorXd> rows;
    std::vector<double> values;
    std::size_t count = reservoirs_.size();
    for (int p : active_) count += balance_.phases[p].size();
    rows.reserve(count);
    values.reserve(count);
    for (int p : active_) {
        const CalculatedPhase& phase = balance_.phases[p];
        const VectorXd& x = compositions[p];
        VectorXd mu = phase.g;
        if (phase.kind != CalculatedPhase::Kind::pure)
            mu += mixture_excess(balance_, phase, x, false).mu;
        for (int j = 0; j < phase.size(); ++j) {
            if (!(x[j] > 0.0)) continue;
            rows.push_back(phase.stoichiometry.col(j));
            const double ideal = phase.kind == CalculatedPhase::Kind::pure ? 0.0 : std::log(x[j]);
            values.push_back(mu[j] + ideal);
        }
    }
    for (const Reservoir& reservoir : reservoirs_) {
        rows.push_back(reservoir.stoichiometry);
        values.push_back(reservoir.potential);
    }
    if (rows.empty()) return;
    MatrixXd m(static_cast<int>(rows.size()), k_);
    VectorXd rhs(static_cast<int>(rows.size()));
    for (int i = 0; i < m.rows(); ++i) {
        m.row(i) = rows[i].transpose();
        rhs[i] = values[i];
    }
    // (A decomposition of its own: the Newton steps' has a threshold of theirs.)
    Eigen::CompleteOrthogonalDecomposition<MatrixXd>& cod = newton_.start_cod;
    cod.compute(m);
    if (cod.rank() == k_) {
        const VectorXd zeta = cod.solve(rhs);
        if (zeta.allFinite()) zeta_ = zeta;
        return;
    }
    rhs -= m * zeta_;
    const VectorXd shift = cod.solve(rhs);
    if (shift.allFinite()) zeta_ += shift;
}

// A start (a previous equilibrium) whose phases' compositions depend on one another cannot
// be solved as it is: the phases with the least amounts leave until the rest are independent.
// A previous equilibrium's mixtures are judged by the compositions it had, not by the start's,
// which give every constituent at least 1e-6 (start_composition): from the equilibrium without
// a trace of C of 6e-56 of the whole, the two copies of a de-mixing solid each held C at 3e-6,
// 5e49 times the input's share, and over the input both looked made of C, so one copy left the
// start; the other alone could not hold the input as two, and no way found the gap again (705).
void Minimiser::independent_assemblage() {
    while (active_.size() > 1) {
        const int a = static_cast<int>(active_.size());
        MatrixXd columns(k_, a);
        for (int i = 0; i < a; ++i) {
            const int p = active_[i];
            const bool previous = start_fractions_.size() == static_cast<std::size_t>(count_) &&
                                  start_fractions_[p].size() == composition_[p].size();
            columns.col(i) = unit_composition(p, previous ? start_fractions_[p] : composition_[p]);
        }
        // Non-finite compositions give no singular values to judge by.
        if (!columns.allFinite()) return;
        if (a <= k_) {
            Eigen::JacobiSVD<MatrixXd> svd(columns);
            const VectorXd& sigma = svd.singularValues();
            if (sigma[a - 1] > 1e-10 * std::max(sigma[0], 1e-300)) return;
        }
        int least = 0;
        for (int i = 1; i < a; ++i)
            if (amount_[active_[i]] < amount_[active_[least]]) least = i;
        amount_[active_[least]] = 0.0;
        active_.erase(active_.begin() + least);
    }
    start_fractions_.clear();
}

// What a mole of an active phase holds of each component, each against its input, as a unit
// vector: phases compared by the directions of their compositions, a trace counting as the rest.
// The norm is taken without squaring the entries: a trace of 1e-250 of the input scales its
// entry by 1e250, whose square overflows, and a zero vector made the phase that holds the
// trace look dependent, so that it left the start and nothing held the trace.
VectorXd Minimiser::unit_composition(int p, const VectorXd& x) const {
    const VectorXd v = input_scale_.cwiseProduct(balance_.phases[p].stoichiometry * x);
    const double norm = v.stableNorm();
    return norm > 0.0 ? VectorXd(v / norm) : v;
}

// Points of one de-mixing phase far apart in the start: the two sides of a miscibility gap,
// one for each copy (each point goes with the nearer of the two farthest apart).
void Minimiser::split_demixing_copies(
    std::vector<std::vector<std::pair<double, VectorXd>>>& parts) const {
    for (int p = 0; p < count_; ++p) {
        const int q = balance_.phases[p].partner;
        if (q < p || parts[p].size() < 2 || balance_.phases[q].role != Role::balanced) continue;
        const auto& points = parts[p];
        std::size_t first = 0, second = 0;
        double widest = 0.0;
        for (std::size_t i = 0; i < points.size(); ++i)
            for (std::size_t j = i + 1; j < points.size(); ++j) {
                const double d = (points[i].second - points[j].second).cwiseAbs().maxCoeff();
                if (d > widest) {
                    widest = d;
                    first = i;
                    second = j;
                }
            }
        if (widest < 1e-3) continue;
        std::vector<std::pair<double, VectorXd>> mine, theirs;
        for (const auto& point : points) {
            const double to_first = (point.second - points[first].second).squaredNorm();
            const double to_second = (point.second - points[second].second).squaredNorm();
            (to_first <= to_second ? mine : theirs).push_back(point);
        }
        parts[p] = std::move(mine);
        parts[q] = std::move(theirs);
    }
}

bool Minimiser::warm_start(const Equilibrium& start) {
    if (start.zeta.size() != k_ || static_cast<int>(start.phases.size()) != count_) return false;
    if (!start.zeta.allFinite()) return false;
    zeta_ = start.zeta;
    supply_ = start.supplies.size() == static_cast<int>(reservoirs_.size())
                  ? start.supplies
                  : VectorXd::Zero(static_cast<int>(reservoirs_.size()));
    start_fractions_.assign(count_, VectorXd());
    for (int p = 0; p < count_; ++p) {
        const PhaseOutcome& previous = start.phases[p];
        const CalculatedPhase& phase = balance_.phases[p];
        if (!previous.active || phase.role != Role::balanced) continue;
        const CalculatedPhase& whole = full_.phases[p];
        VectorXd x = VectorXd::Zero(phase.size());
        for (int j = 0; j < phase.size(); ++j) {
            const auto at = std::find(whole.constituents.begin(), whole.constituents.end(),
                                      phase.constituents[j]);
            const int index = static_cast<int>(at - whole.constituents.begin());
            if (index < previous.x.size()) x[j] = previous.x[index];
        }
        if (x.sum() <= 0.0) continue;
        amount_[p] = std::max(previous.amount, 0.0);
        start_fractions_[p] = x / x.sum();
        composition_[p] = start_composition(start_fractions_[p]);
        active_.push_back(p);
    }
    return true;
}

}  // namespace eqx::equilibrium
