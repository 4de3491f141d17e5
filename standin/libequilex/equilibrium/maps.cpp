// One-dimensional phase maps: TQMAP and TQMAPL.
//
// Options: "TF"/"TN" (temperature), "PF"/"PN" (pressure), "IA0"/"IAF"/"IAN" (incoming amounts:
// "IA0" records a substance, "IAF" adds the last one and starts; all vary together from their
// lower to their upper limit). vals are the limits in the current units, read on the first call
// only. The first call calculates the equilibrium at the lower limit and plans the map (see
// MapPlanner): every change of the stable assemblage in the interval, each at the root of ln a
// of a phase that changes, calculated with that phase kept out. Each call calculates the next
// point - the transitions in order, then the upper limit - and gives the number of points still
// to come (0 after the last). At a transition point the assemblage is that of the lower side,
// and the phases that form there have activity 1 and amount 0 (where, kept out, they would be
// above it, the point is the plain equilibrium).
// "IA0" calculates nothing and gives 1. The conditions keep the value of the last point.
// Targets are not part of a map: each point is a plain equilibrium.
#include <algorithm>
#include <boost/math/tools/roots.hpp>
#include <cmath>
#include <iterator>

#include "equilex.h"
#include "equilibrium/access.hpp"
#include "equilibrium/calculation.hpp"
#include "equilibrium/listings.hpp"
#include "equilibrium/targets.hpp"

using namespace eqx;
using namespace eqx::equilibrium;

namespace {

constexpr int scan_intervals = 100;

enum class Option { tf, tn, pf, pn, ia0, iaf, ian };

std::optional<Option> map_option(std::string_view text) {
    static constexpr std::pair<std::string_view, Option> options[] = {
        {"TF", Option::tf},   {"TN", Option::tn},   {"PF", Option::pf},   {"PN", Option::pn},
        {"IA0", Option::ia0}, {"IAF", Option::iaf}, {"IAN", Option::ian},
    };
    for (const auto& [name, option] : options)
        if (is_option(text, name)) return option;
    return std::nullopt;
}

using Variable = MapProgress::Variable;

// ln a below which a phase with an amount is not taken as present: a stable phase has
// activity 1 to the precision of the calculation, one below it holds no matter at equilibrium.
constexpr double present_activity = -1e-7;

// ln a above which a phase kept out at the point where it forms is past its bound: the point
// without it is no equilibrium (the certificate's bound is 1e-8).
constexpr double forming_above_bound = 1e-9;

// One plain equilibrium of the map, with what tells where its assemblage may change: the phases
// present (a positive amount, whatever its size, at activity 1), the activities of the others,
// the amounts.
struct Sample {
    double u = 0.0;
    std::vector<int> phases;
    std::vector<double> ln_activity;         // per phase (0 for a present one)
    std::vector<double> moles;               // per phase
    std::vector<Eigen::VectorXd> fractions;  // per phase: its constituents' (empty if absent)
    Equilibrium equilibrium;                 // to start the next calculation near it from
    bool potentials_fixed = false;           // by the phases present and the held potentials
    // Beside a change placed already: the phases that change there (rising to it, their
    // activities or amounts say nothing of another change).
    std::vector<int> placed;

    static Sample of(double u, Result&& result) {
        Sample sample;
        sample.u = u;
        for (std::size_t p = 0; p < result.phases.size(); ++p) {
            const PhaseResult& phase = result.phases[p];
            const bool present = phase.present && phase.ln_activity >= present_activity;
            if (present) sample.phases.push_back(static_cast<int>(p));
            sample.ln_activity.push_back(present ? 0.0 : phase.ln_activity);
            sample.moles.push_back(present ? phase.moles : 0.0);
            Eigen::VectorXd& x = sample.fractions.emplace_back();
            if (!present) continue;
            x.resize(static_cast<Eigen::Index>(phase.constituents.size()));
            for (std::size_t c = 0; c < phase.constituents.size(); ++c)
                x[static_cast<Eigen::Index>(c)] = phase.constituents[c].fraction;
        }
        sample.equilibrium = std::move(result.equilibrium);
        return sample;
    }

    bool holds(int p) const { return std::binary_search(phases.begin(), phases.end(), p); }

    // Negative while phase p keeps its presence: minus its amount, or its ln a; zero or
    // above where it would change.
    double indicator(int p) const { return holds(p) ? -moles[p] : ln_activity[p]; }
};

// Calculates equilibria along the map variable u (K; ln Pa; the amount parameter 0..1), each
// starting from the one before.
class MapCalculator {
  public:
    MapCalculator(const System& system, const CalculationState& state, Variable variable,
                  std::vector<AmountVariable> amounts)
        : system_(system), state_(state), variable_(variable), amounts_(std::move(amounts)) {}

    int at(double u, const std::vector<Role>& overrides, Result& result) {
        Conditions conditions = state_.conditions;
        std::vector<Stream> streams = state_.streams;
        Point point = Point::of(conditions);
        switch (variable_) {
            case Variable::temperature:
                point.temperature = u;
                break;
            case Variable::pressure:
                point.pressure = std::exp(u);
                point.constant_volume = false;
                break;
            case Variable::amount:
                apply_amounts(system_, amounts_, u, conditions, streams);
                break;
        }
        Input input;
        int error = gather_input(system_, conditions, streams, input);
        if (error != 0) return error;
        point.overrides = overrides;
        point.start = have_start_ ? &start_ : nullptr;
        error = calculate_point(system_, state_, input, point, result);
        if (error != 0) return error;
        start_ = result.equilibrium;
        have_start_ = true;
        return 0;
    }

    int sample(double u, Sample& sample) {
        Result result;
        const int error = at(u, {}, result);
        if (error == 0) sample = sample_of(u, std::move(result));
        return error;
    }

    Sample sample_of(double u, Result&& result) const {
        const bool fixed = potentials_fixed(result);
        Sample sample = Sample::of(u, std::move(result));
        sample.potentials_fixed = fixed;
        return sample;
    }

    // Whether the species the result holds (and those whose potentials are held) span the
    // components. Where they do not, the calculation places the potentials left free, and
    // where it places them depends on where it starts from.
    bool potentials_fixed(const Result& result) const {
        const int k = static_cast<int>(system_.components.size());
        std::vector<const std::vector<double>*> species;
        for (std::size_t p = 0; p < result.phases.size(); ++p) {
            if (!result.phases[p].present) continue;
            const auto& constituents = result.phases[p].constituents;
            for (std::size_t c = 0; c < constituents.size(); ++c)
                if (constituents[c].moles > 0.0)
                    species.push_back(&system_.phases[p].constituents[c].stoichiometry);
        }
        for (const HeldPotential& held : state_.conditions.potentials)
            species.push_back(&system_.phases[held.phase].constituents[held.index].stoichiometry);
        Eigen::MatrixXd m = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(species.size()), k);
        for (std::size_t i = 0; i < species.size(); ++i)
            for (int j = 0; j < k && j < static_cast<int>(species[i]->size()); ++j)
                m(static_cast<Eigen::Index>(i), j) = (*species[i])[j];
        return species.size() >= static_cast<std::size_t>(k) &&
               Eigen::FullPivLU<Eigen::MatrixXd>(m).rank() == k;
    }

    // The next calculation starts from this equilibrium (a point near the one it calculates).
    void start_from(const Equilibrium& equilibrium) {
        start_ = equilibrium;
        have_start_ = true;
    }

    // Roles that keep the given phases out of the mass balance.
    std::vector<Role> kept_out(const std::vector<int>& phases) const {
        std::vector<Role> roles(system_.phases.size());
        for (std::size_t p = 0; p < roles.size(); ++p) {
            const Status status = system_.phases[p].status;
            roles[p] = status == Status::entered   ? Role::balanced
                       : status == Status::dormant ? Role::observed
                                                   : Role::absent;
        }
        for (int p : phases)
            if (roles[p] == Role::balanced) roles[p] = Role::observed;
        return roles;
    }

  private:
    const System& system_;
    const CalculationState& state_;
    Variable variable_;
    std::vector<AmountVariable> amounts_;
    Equilibrium start_;
    bool have_start_ = false;
};

// Plans a map: scans its interval and places every change of the stable assemblage between
// the scan points, each at the root of ln a of a phase that changes, calculated with that
// phase kept out of the mass balance.
//
// A phase's presence is the sign of that function: kept out where it would hold matter, its
// activity is above 1; where it holds none, the calculation without it is the equilibrium
// itself, and its activity is at most 1. So each change is a sign change of one continuous
// function, found by a bracketing root-finder wherever the ends of an interval differ. Where
// several changes lie in one interval, the root found splits it and each side is resolved in
// turn. Where the ends agree, the phases' activities (and the present phases' amounts) are
// extrapolated from the points around: an interval where one may reach its change in between
// is halved, down to a 32nd of a scan step.
class MapPlanner {
  public:
    MapPlanner(const System& system, MapCalculator& calculator, double tolerance, double high)
        : system_(system), calculator_(calculator), tolerance_(tolerance), high_(high) {}

    // Every change in [first.u, high]: the points (the first, the transitions, the upper
    // limit) and the phases that form at each.
    int plan(Sample first, MapProgress& plan) {
        const double low = first.u;
        plan.points.assign(1, low);
        plan.forming.assign(1, {});
        plan.starts.assign(1, first.equilibrium);
        if (high_ > low) {
            std::vector<Sample> scan;
            scan.push_back(std::move(first));
            for (int i = 1; i <= scan_intervals; ++i) {
                const double u =
                    i == scan_intervals ? high_ : low + (high_ - low) * i / scan_intervals;
                Sample next;
                if (const int error = calculator_.sample(u, next); error != 0) return error;
                scan.push_back(std::move(next));
            }
            minimum_width_ = (high_ - low) / scan_intervals / 32;
            for (int i = 0; i < scan_intervals; ++i) {
                const Sample* before = i > 0 ? &scan[i - 1] : nullptr;
                const Sample* after = i + 2 <= scan_intervals ? &scan[i + 2] : nullptr;
                if (const int error = resolve(scan[i], scan[i + 1], before, after, plan);
                    error != 0)
                    return error;
            }
            plan.points.push_back(high_);
            plan.forming.emplace_back();
            const Sample& last = scan.back();
            plan.starts.push_back(last.potentials_fixed ? last.equilibrium : Equilibrium{});
        }
        return 0;
    }

  private:
    // A change between a and b: the root of ln a of a phase that changes there, calculated
    // with it kept out, to the precision of the calculation, and the calculation at the end
    // of the root's bracket where that phase holds nothing - a plain equilibrium.
    struct Change {
        int phase = 0;
        bool appears = false;  // present above the root, absent below
        double root = 0.0;
        Sample beside;
        bool beside_above = false;
    };

    static constexpr int max_depth = 60;
    // ln a at an end of an interval within which a phase that does not hold matter counts as
    // near enough to form inside.
    static constexpr double near_activity = 2.0;
    // |ln a| within which a phase without matter is at activity 1, the bound the placement of
    // free potentials holds it to (that placement's own tolerance is 1e-10).
    static constexpr double placed_at_bound = 1e-8;

    // Every change between a and b (plain equilibria), in order. before and after are the
    // points beside them (or null), for the extrapolation.
    int resolve(const Sample& a, const Sample& b, const Sample* before, const Sample* after,
                MapProgress& plan, int depth = 0) {
        if (a.phases == b.phases) {
            if (depth >= max_depth || b.u - a.u <= minimum_width_ ||
                (!swings_between(a, b) && !may_change_between(a, b, before, after)))
                return 0;
            return halve(a, b, before, after, plan, depth);
        }
        if (b.u - a.u <= tolerance_ || depth >= max_depth) {
            record(a.u, a, b, plan);
            return 0;
        }
        calculator_.start_from(a.equilibrium);
        Change change;
        if (!root_of_a_change(a, b, change)) return halve(a, b, before, after, plan, depth);
        // The plain equilibria just below and above the root (one of them calculated already);
        // what lies between them and the ends is resolved on its own.
        Sample below, above;
        if (change.beside_above) {
            above = std::move(change.beside);
            if (const int error = beside_root(change, a, below); error != 0) return error;
        } else {
            below = std::move(change.beside);
            if (const int error = beside_root(change, b, above); error != 0) return error;
        }
        std::set_symmetric_difference(below.phases.begin(), below.phases.end(),
                                      above.phases.begin(), above.phases.end(),
                                      std::back_inserter(below.placed));
        above.placed = below.placed;
        if (below.u > a.u) {
            if (const int error = resolve(a, below, before, &above, plan, depth + 1); error != 0)
                return error;
        }
        record(change.root, below, above, plan);
        if (above.u < b.u) return resolve(above, b, &below, after, plan, depth + 1);
        return 0;
    }

    // The plain equilibrium beside a root on the side of end (its lower or upper end), a
    // tolerance away: where the calculation itself puts the change a little to that side of
    // the root (it takes a phase in or out within its own precision), further out, up to a
    // thousand tolerances, until the phase of the root is present or absent there as its
    // root says. Beyond that the root decides: the phase is taken as it says.
    int beside_root(const Change& change, const Sample& end, Sample& sample) {
        const bool upper = end.u > change.root;
        const bool present = change.appears == upper;
        bool calculated = false;
        for (double distance = tolerance_; distance <= 1e3 * tolerance_; distance *= 10) {
            const double u = upper ? change.root + distance : change.root - distance;
            if (upper ? u >= end.u : u <= end.u) break;
            // From the end on that side: the assemblage it is to have, rather than the one
            // the root-finder's calculations held without the phase.
            calculator_.start_from(end.equilibrium);
            if (const int error = calculator_.sample(u, sample); error != 0) return error;
            if (sample.holds(change.phase) == present) return 0;
            calculated = true;
        }
        if (!calculated) {
            sample = end;
            return 0;
        }
        std::vector<int>& phases = sample.phases;
        if (present)
            phases.insert(std::upper_bound(phases.begin(), phases.end(), change.phase),
                          change.phase);
        else
            phases.erase(std::find(phases.begin(), phases.end(), change.phase));
        return 0;
    }

    int halve(const Sample& a, const Sample& b, const Sample* before, const Sample* after,
              MapProgress& plan, int depth) {
        const double u = 0.5 * (a.u + b.u);
        // Far from zero the doubles lie further apart than the tolerance: once no double is
        // left between the ends, the interval is as narrow as it can be.
        if (!(u > a.u && u < b.u)) {
            if (a.phases != b.phases) record(a.u, a, b, plan);
            return 0;
        }
        calculator_.start_from(a.equilibrium);
        Sample middle;
        if (const int error = calculator_.sample(u, middle); error != 0) return error;
        if (const int error = resolve(a, middle, before, &b, plan, depth + 1); error != 0)
            return error;
        return resolve(middle, b, &a, after, plan, depth + 1);
    }

    // A change at u from the assemblage of below to that of above. Changes closer together
    // than ten tolerances make one point (at an exact stoichiometry one phase goes as another
    // comes), and so do a change that close to either limit and the limit.
    void record(double u, const Sample& below, const Sample& above, MapProgress& plan) const {
        if (below.phases == above.phases) return;
        if (!(u - plan.points.back() > 10 * tolerance_ && high_ - u > 10 * tolerance_)) return;
        std::vector<int> forming;
        for (int p : above.phases)
            if (!below.holds(p)) forming.push_back(p);
        plan.points.push_back(u);
        plan.forming.push_back(std::move(forming));
        plan.starts.push_back(below.potentials_fixed ? above.equilibrium : Equilibrium{});
    }

    // Whether a phase may reach its change between a and b, where both have the same
    // assemblage: its indicator (minus the amount of a present phase, ln a of another), taken
    // as the parabola through a, b and a point beside them, rises to zero in between. With
    // points on both sides the two parabolas' difference is added as the extrapolation's
    // uncertainty.
    bool may_change_between(const Sample& a, const Sample& b, const Sample* before,
                            const Sample* after) const {
        for (std::size_t q = 0; q < system_.phases.size(); ++q) {
            const int p = static_cast<int>(q);
            const Phase& phase = system_.phases[q];
            if (phase.status != Status::entered) continue;
            // A second copy beside its present first one is the same phase: its activity of 1
            // there says nothing of a change.
            if (phase.demixing_copy == 2 && (a.holds(p - 1) || b.holds(p - 1))) continue;
            if (std::count(a.placed.begin(), a.placed.end(), p) ||
                std::count(b.placed.begin(), b.placed.end(), p))
                continue;
            const double fa = a.indicator(p), fb = b.indicator(p);
            if (!std::isfinite(fa) || !std::isfinite(fb)) continue;
            const bool present = a.holds(p);
            // A phase without matter that the placement of free potentials holds at activity 1
            // at both ends (the gas beside calcite alone: the potentials rise until some phase
            // outside reaches 1) stays at that bound between; its activity says nothing of a
            // change.
            if (!present && !a.potentials_fixed && !b.potentials_fixed &&
                std::abs(fa) <= placed_at_bound && std::abs(fb) <= placed_at_bound)
                continue;
            // An activity far below 1 at both ends is no sign of a change: where the phases do
            // not fix the potentials, the activities of the others follow where the potentials
            // are placed, and need not be smooth.
            if (!present && std::max(fa, fb) < -near_activity) continue;
            auto usable = [&](const Sample* s) {
                return s && s->holds(p) == present && std::isfinite(s->indicator(p));
            };
            std::vector<double> peaks;
            std::vector<double> curvatures;
            for (const Sample* side : {before, after}) {
                if (!usable(side)) continue;
                const double c = curvature(a.u, fa, b.u, fb, side->u, side->indicator(p));
                curvatures.push_back(c);
                peaks.push_back(parabola_peak(a.u, fa, b.u, fb, c));
            }
            double top = std::max(fa, fb);
            for (double peak : peaks) top = std::max(top, peak);
            if (curvatures.size() == 2) {
                const double h = b.u - a.u;
                top += std::abs(curvatures[0] - curvatures[1]) * h * h / 8;
            }
            if (top >= 0.0) return true;
        }
        return false;
    }

    // Whether a phase present at both ends changes its composition by more than half its range
    // between them: the others' activities follow the present phases' potentials, and where
    // those swing (at an equivalence point of the input, a gas going from O2 to CO2 and CO as
    // carbon uses up the oxygen) they need not be smooth enough for a parabola to follow: a
    // phase may come and go inside the interval (calcite, over a third of a scan step of an
    // amount map of carbon over lime, its ln a -50 by the zero-input rule at one end and -0.6
    // at the other).
    bool swings_between(const Sample& a, const Sample& b) const {
        constexpr double swing = 0.5;
        for (int p : a.phases) {
            const Eigen::VectorXd& xa = a.fractions[p];
            const Eigen::VectorXd& xb = b.fractions[p];
            if (xa.size() == xb.size() && xa.size() > 1 && (xa - xb).cwiseAbs().maxCoeff() > swing)
                return true;
        }
        return false;
    }

    // Half the second derivative of the parabola through three points.
    static double curvature(double x0, double f0, double x1, double f1, double x2, double f2) {
        return ((f2 - f1) / (x2 - x1) - (f1 - f0) / (x1 - x0)) / (x2 - x0);
    }

    // The largest value on [x0, x1] of the parabola through (x0, f0), (x1, f1) with half
    // second derivative c.
    static double parabola_peak(double x0, double f0, double x1, double f1, double c) {
        // p(x) = f0 + s (x - x0) + c (x - x0) (x - x1), s the chord's slope.
        const double s = (f1 - f0) / (x1 - x0);
        double top = std::max(f0, f1);
        if (c < 0.0) {
            const double x = 0.5 * (x0 + x1) - s / (2 * c);
            if (x > x0 && x < x1) top = std::max(top, f0 + s * (x - x0) + c * (x - x0) * (x - x1));
        }
        return top;
    }

    // The phases whose presence differs between a and b, in the order their roots are tried.
    // Kept out, a phase leaves the calculation the assemblage of its other side: the side with
    // more phases is taken first (there the potentials are fixed by the phases, not placed),
    // and stoichiometric phases before mixtures.
    std::vector<int> changing(const Sample& a, const Sample& b) const {
        std::vector<int> phases;
        std::set_symmetric_difference(a.phases.begin(), a.phases.end(), b.phases.begin(),
                                      b.phases.end(), std::back_inserter(phases));
        const bool leaving_first = b.phases.size() >= a.phases.size();
        auto rank = [&](int p) {
            const bool leaves = a.holds(p);
            return (leaves == leaving_first ? 0 : 2) + (system_.phases[p].is_mixture() ? 1 : 0);
        };
        std::stable_sort(phases.begin(), phases.end(),
                         [&](int x, int y) { return rank(x) < rank(y); });
        return phases;
    }

    // The phases kept out to follow phase q: q, and with the first copy of a de-mixing phase
    // the second too (else it would take the first one's place). The second copy alone is
    // kept out: its activity is that of the phase away from the first copy's composition.
    std::vector<int> kept_out_for(int q) const {
        if (system_.phases[q].demixing_copy == 1) return {q, q + 1};
        return {q};
    }

    bool root_of_a_change(const Sample& a, const Sample& b, Change& change) {
        const double precision = 1e-3 * tolerance_;
        constexpr double rounding = 1e-12;
        for (int q : changing(a, b)) {
            const bool appears = b.holds(q);
            const std::vector<int> out = kept_out_for(q);
            const std::vector<Role> roles = calculator_.kept_out(out);
            std::vector<Sample> tried;
            int failure = 0;
            auto f = [&](double u) {
                if (failure != 0) return 0.0;
                Result result;
                failure = calculator_.at(u, roles, result);
                if (failure != 0) return 0.0;
                const double ln_a = result.phases[q].ln_activity;
                tried.push_back(calculator_.sample_of(u, std::move(result)));
                return appears ? ln_a : -ln_a;
            };
            // Where none of the phases kept out is present, the calculation without them is
            // the plain equilibrium already at hand.
            auto at_end = [&](const Sample& s) {
                const bool none =
                    std::none_of(out.begin(), out.end(), [&](int p) { return s.holds(p); });
                if (!none) return f(s.u);
                return appears ? s.ln_activity[q] : -s.ln_activity[q];
            };
            const double fa = at_end(a);
            const double fb = at_end(b);
            // An end where ln a is zero to rounding brackets nothing: the second copy of a
            // de-mixing phase has activity 1 wherever the phase has no second minimum.
            if (failure != 0 || !(fa < -rounding && fb > rounding)) continue;
            std::uintmax_t iterations = 60;
            const auto bracket = boost::math::tools::toms748_solve(
                f, a.u, b.u, fa, fb,
                [&](double x, double y) { return std::abs(x - y) <= precision; }, iterations);
            if (failure != 0 || !(bracket.second - bracket.first <= tolerance_)) continue;
            change.phase = q;
            change.appears = appears;
            change.root = 0.5 * (bracket.first + bracket.second);
            // The phase holds nothing below the root where it appears, above it where it goes.
            change.beside_above = !appears;
            const double end = appears ? bracket.first : bracket.second;
            if (end == a.u || end == b.u) {
                change.beside = end == a.u ? a : b;
            } else {
                const auto at = std::find_if(tried.begin(), tried.end(), [&](const Sample& s) {
                    return s.u == end && !s.holds(q) && !(s.ln_activity[q] > 0.0);
                });
                if (at == tried.end()) continue;
                change.beside = std::move(*at);
            }
            return true;
        }
        return false;
    }

    const System& system_;
    MapCalculator& calculator_;
    double tolerance_;
    double high_;
    double minimum_width_ = 0.0;
};

// The SI value of the map variable for the conditions and for "T"/"P" results.
void keep_point(const System& system, CalculationState& state, Variable variable, double u,
                const std::vector<AmountVariable>& amounts) {
    Conditions& c = state.conditions;
    switch (variable) {
        case Variable::temperature:
            c.temperature = u;
            c.temperature_set = true;
            break;
        case Variable::pressure:
            c.pressure = std::exp(u);
            c.pressure_set = true;
            c.volume_in_force = false;
            break;
        case Variable::amount:
            apply_amounts(system, amounts, u, c, state.streams);
            break;
    }
}

int begin_map(const System& system, CalculationState& state, Variable variable, double low,
              double high, std::vector<AmountVariable> amounts, std::int32_t& count) {
    // A calculation that fails leaves no result (a refusal before any is made by map_step).
    MapCalculator calculator(system, state, variable, amounts);
    Result first;
    int error = calculator.at(low, {}, first);
    if (error != 0) {
        state.drop_result();
        return error;
    }
    // 1e-6 K; 1e-6 relative in pressure; 1e-6 mol, or 1e-6 of the amounts' span where that is
    // less than a mole: an absolute tolerance would take a map over small amounts in a few steps
    // and merge every change inside it into its limits (the map is over the parameter 0..1).
    double tolerance = 1e-6;
    if (variable == Variable::amount) {
        double span = 0.0;
        for (const AmountVariable& a : amounts) span = std::max(span, std::abs(a.high - a.low));
        if (span > 1.0) tolerance /= span;
    }
    MapProgress plan;
    plan.active = true;
    plan.variable = variable;
    Result kept = first;
    MapPlanner planner(system, calculator, tolerance, high);
    if ((error = planner.plan(Sample::of(low, std::move(kept)), plan)) != 0) {
        state.drop_result();
        return error;
    }
    plan.next = 1;
    plan.amounts = std::move(amounts);
    state.map = std::move(plan);
    // The recorded "IA0" substances belong to this map alone: the next one records its own.
    keep_point(system, state, variable, low, state.map.amounts);
    state.keep_result(std::move(first));
    count = static_cast<std::int32_t>(state.map.points.size() - state.map.next);
    return 0;
}

int continue_map(const System& system, CalculationState& state, Variable variable,
                 std::int32_t& count) {
    MapProgress& map = state.map;
    if (!map.active || map.variable != variable || map.next >= map.points.size())
        return err::bad_option;
    MapCalculator calculator(system, state, variable, map.amounts);
    // A point whose potentials its phases leave free is calculated from nothing (the plan
    // keeps no start for it): there the potentials placed depend on the start.
    if (map.starts[map.next].zeta.size() > 0) calculator.start_from(map.starts[map.next]);
    const double u = map.points[map.next];
    Result result;
    int error = calculator.at(u, calculator.kept_out(map.forming[map.next]), result);
    // Where a phase that forms here is above activity 1 with it kept out, the point is no
    // equilibrium: at a composition where one phase goes as another comes (the input passing a
    // compound's own), the phases left do not fix the potentials, and kept out the forming phase
    // lets them be placed past its bound. There the point is the plain equilibrium.
    const bool above_bound =
        error == 0 &&
        std::any_of(map.forming[map.next].begin(), map.forming[map.next].end(),
                    [&](int p) { return result.phases[p].ln_activity > forming_above_bound; });
    if (above_bound) {
        MapCalculator plain(system, state, variable, map.amounts);
        if (map.starts[map.next].zeta.size() > 0) plain.start_from(map.starts[map.next]);
        result = Result{};
        error = plain.at(u, {}, result);
    }
    if (error != 0) {
        state.drop_result();  // the map keeps its place: the same step may be called again
        return error;
    }
    ++map.next;
    keep_point(system, state, variable, u, map.amounts);
    state.keep_result(std::move(result));
    count = static_cast<std::int32_t>(map.points.size() - map.next);
    if (count == 0) map.active = false;
    return 0;
}

void map_step(const char* option, std::int32_t option_len, const std::int32_t* phase_ptr,
              const std::int32_t* index_ptr, const double* vals, std::int32_t* count_ptr,
              std::int32_t* error, bool listing) {
    with_calculation(error, [&](System& system, CalculationState& state) {
        const std::optional<Option> chosen = map_option(text_in(option, option_len));
        if (!chosen) return fail(error, err::bad_option);
        const Units& units = state.units;
        std::int32_t count = 0;
        int code = 0;
        switch (*chosen) {
            case Option::tf:
            case Option::pf: {
                const bool temperature = *chosen == Option::tf;
                double low = vals ? vals[0] : 0.0;
                double high = vals ? vals[1] : 0.0;
                if (temperature) {
                    low = units.temperature_in(low);
                    high = units.temperature_in(high);
                    if (!(low > 0.0) || !std::isfinite(high))
                        return fail(error, err::bad_temperature);
                } else {
                    low *= units.pressure_factor();
                    high *= units.pressure_factor();
                    if (!(low > 0.0) || !std::isfinite(high)) return fail(error, err::bad_pressure);
                    low = std::log(low);
                    high = std::log(high);
                }
                if (!(low <= high)) return fail(error, err::limits_reversed);
                code = begin_map(system, state,
                                 temperature ? Variable::temperature : Variable::pressure, low,
                                 high, {}, count);
                break;
            }
            case Option::tn:
            case Option::pn:
                code = continue_map(
                    system, state,
                    *chosen == Option::tn ? Variable::temperature : Variable::pressure, count);
                break;
            case Option::ia0:
            case Option::iaf: {
                AmountVariable amount;
                const int checked = read_amount_variable(error, system, state, value_of(phase_ptr),
                                                         value_of(index_ptr), vals, false, amount);
                if (checked < 0) return;
                if (checked != 0) return fail(error, checked);
                if (*chosen == Option::ia0) {
                    state.map_amounts.push_back(amount);
                    put(count_ptr, 1);
                    return ok(error);
                }
                std::vector<AmountVariable> amounts = state.map_amounts;
                amounts.push_back(amount);
                state.map_amounts.clear();
                code =
                    begin_map(system, state, Variable::amount, 0.0, 1.0, std::move(amounts), count);
                break;
            }
            case Option::ian:
                code = continue_map(system, state, Variable::amount, count);
                break;
        }
        if (code != 0) return fail(error, code);
        if (listing) list_result(system, state, *state.result);
        put(count_ptr, count);
        ok(error);
    });
}

}  // namespace

extern "C" {

EQX_API void TQMAP(const char* option, std::int32_t option_len, const std::int32_t* phase,
                   const std::int32_t* constituent, const double* vals, std::int32_t* count,
                   std::int32_t* error) {
    const LibraryLock lock;
    map_step(option, option_len, phase, constituent, vals, count, error, false);
}

EQX_API void TQMAPL(const char* option, std::int32_t option_len, const std::int32_t* phase,
                    const std::int32_t* constituent, const double* vals, std::int32_t* count,
                    std::int32_t* error) {
    const LibraryLock lock;
    map_step(option, option_len, phase, constituent, vals, count, error, true);
}

}  // extern "C"
