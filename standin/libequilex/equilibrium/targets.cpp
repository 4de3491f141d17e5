#include "equilibrium/targets.hpp"

#include <algorithm>
#include <boost/math/tools/roots.hpp>
#include <cmath>
#include <map>

#include "core/library.hpp"
#include "equilibrium/access.hpp"
#include "equilibrium/components.hpp"

namespace eqx::equilibrium {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The phases present in a result, in phase order: what tells the two sides of a jump apart.
std::vector<int> present_phases(const Result& result) {
    std::vector<int> present;
    for (std::size_t i = 0; i < result.phases.size(); ++i)
        if (result.phases[i].present) present.push_back(static_cast<int>(i));
    return present;
}

// The search coordinate: T itself, ln P, ln V, or the parameter of amounts and potentials.
struct Domain {
    double low = 0.0;
    double high = 0.0;
    double start = 0.0;
    double first_step = 0.0;
};

class TargetSearch {
  public:
    TargetSearch(const System& system, const CalculationState& state, const Target& target,
                 const TargetVariable& variable, const Equilibrium* start)
        : system_(system),
          state_(state),
          target_(target),
          variable_(variable),
          start_(start),
          budget_(state.configuration.target_iterations) {}

    int run(TargetSolution& solution) {
        int error = prepare();
        if (error != 0) return error;
        const Domain domain = make_domain();
        Bracket bracket;
        Evaluation final;
        error = search(domain, bracket, final);
        if (error != 0) {
            // A target met over a whole interval of the variable (a phase alone holds the input,
            // so its fractions are the input's wherever it does) has no sign change there, and
            // the search may end on a jump elsewhere: a trial that met the target is then the
            // state, the one nearest the start.
            const auto trial = nearest_met(domain.start);
            if (trial == searched_.end()) return error;
            bracket.root = trial->first;
            final = trial->second;
        }
        solution.result = std::move(final.result);
        solution.value = variable_value(bracket.root);
        return 0;
    }

  private:
    struct Evaluation {
        int error = 0;
        double value = nan;
        Result result;
    };

    // The root the search settled on and the bracket it closed around it (both ends equal when
    // a sample met the target exactly).
    struct Bracket {
        double root = 0.0;
        double low = 0.0;
        double high = 0.0;
    };

    // The root between the limits and the state there.
    int search(const Domain& domain, Bracket& bracket, Evaluation& final) {
        int error = find_root(domain, bracket);
        if (error != 0) return error;
        // A trial that met the target exactly is the state; else the bracket's middle is, or an
        // end of the bracket that meets the target better: where the function is steep, the
        // middle of a bracket 1e-12 wide may lie further off than an end (graphite's ln a beside
        // limestone's gas at the composition of CO: 4.3e-7 in the middle, -2.7e-10 at the lower
        // end). A phase kept out for its target (or the others, for a precipitation target) is
        // above activity 1 where the function is above 0, and such a state is no equilibrium:
        // an end is taken only where it is not, and in place of a middle that is.
        const Evaluation* exact = bracket.low == bracket.high ? searched(bracket.root) : nullptr;
        final = exact ? *exact : evaluate(bracket.root, true);
        if (final.error != 0) return final.error;
        auto better = [&](const Evaluation& end, const Evaluation& than) {
            return met_below_plane(end) &&
                   (!met_below_plane(than) || std::abs(end.value) < std::abs(than.value));
        };
        if (!exact)
            for (const double end : {bracket.low, bracket.high})
                if (const Evaluation* trial = searched(end); trial && better(*trial, final)) {
                    final = *trial;
                    bracket.root = end;
                }
        if (!met(final)) {
            // The root-finder closes its bracket on a jump as readily as on a root: the bracket
            // is narrowed until a trial meets the target or no double lies between its ends.
            // A function still not met there jumps past the value; only an extensive property
            // at a transition is met then (the lever between the two sides), else none is.
            if ((error = narrow(bracket, final)) != 0) return error;
            if (!met(final) && (error = target_.kind == TargetKind::formation
                                            ? forms_at_jump(bracket, final)
                                            : across_transition(domain, bracket, final)) != 0)
                return error;
        }
        return 0;
    }

    // Met, and with no phase kept out for the target above activity 1: the function of a
    // formation target (or of a precipitation target's other phases) is above 0 where it is.
    bool met_below_plane(const Evaluation& e) const {
        const bool kept_out =
            target_.kind == TargetKind::formation || target_.kind == TargetKind::precipitation;
        return met(e) && !(kept_out && e.value > 0.0);
    }

    // The search's trial nearest u that met the target (with no kept-out phase above activity
    // 1), or the end of the trials.
    std::map<double, Evaluation>::const_iterator nearest_met(double u) const {
        auto best = searched_.end();
        for (auto it = searched_.begin(); it != searched_.end(); ++it)
            if (it->second.error == 0 && met_below_plane(it->second) &&
                (best == searched_.end() || std::abs(it->first - u) < std::abs(best->first - u)))
                best = it;
        return best;
    }

    int prepare() {
        // A formation target reads only the sign of its value, so an infinite one would pass
        // for a value of 0: every target's value must be finite.
        if (!std::isfinite(target_.value)) return err::target_not_found;
        const int phases = static_cast<int>(system_.phases.size());
        overrides_.assign(phases, Role::absent);
        for (int p = 0; p < phases; ++p) {
            const Status status = system_.phases[p].status;
            overrides_[p] = status == Status::entered   ? Role::balanced
                            : status == Status::dormant ? Role::observed
                                                        : Role::absent;
        }
        if (target_.kind == TargetKind::formation) {
            if (overrides_[target_.phase] == Role::absent) return err::bad_target_phase;
            overrides_[target_.phase] = Role::observed;
            // The first copy of a de-mixing phase keeps its second copy out too, as a map does:
            // else that takes the first one's place wherever the phase is stable, and the
            // first copy is at activity 1 with amount 0 at every temperature there.
            const int second = target_.phase + 1;
            if (system_.phases[target_.phase].demixing_copy == 1 && second < phases &&
                overrides_[second] != Role::absent)
                overrides_[second] = Role::observed;
        } else if (target_.kind == TargetKind::precipitation) {
            const Phase& phase = system_.phases[target_.phase];
            if (!phase.is_mixture() || overrides_[target_.phase] != Role::balanced)
                return err::bad_target_phase;
            for (int p = 0; p < phases; ++p) {
                if (p == target_.phase || overrides_[p] != Role::balanced) continue;
                overrides_[p] = Role::observed;
                others_.push_back(p);
            }
            if (others_.empty()) return err::bad_target_phase;
        } else if (target_.kind == TargetKind::activity && !(target_.value > 0.0)) {
            return err::bad_target_phase;
        }
        if (variable_.kind == TargetVariable::Kind::amounts ||
            variable_.kind == TargetVariable::Kind::potential)
            return 0;
        return gather_input(system_, state_, base_input_);
    }

    Domain make_domain() const {
        const Limits& limits = state_.limits;
        Domain d;
        switch (variable_.kind) {
            case TargetVariable::Kind::temperature:
                d = {limits.temperature_low, limits.temperature_high, variable_.estimate, 25.0};
                break;
            case TargetVariable::Kind::pressure:
                d = {std::log(limits.pressure_low), std::log(limits.pressure_high),
                     std::log(variable_.estimate), 0.5};
                break;
            case TargetVariable::Kind::volume:
                d = {std::log(limits.volume_low), std::log(limits.volume_high),
                     std::log(variable_.estimate), 0.5};
                break;
            case TargetVariable::Kind::amounts:
                d = {0.0, 1.0, 0.0, 1.0};
                break;
            case TargetVariable::Kind::potential:
                d = {variable_.low, variable_.high, variable_.low, variable_.high - variable_.low};
                break;
        }
        if (!std::isfinite(d.start)) d.start = 0.5 * (d.low + d.high);
        d.start = std::clamp(d.start, d.low, d.high);
        return d;
    }

    double variable_value(double u) const {
        switch (variable_.kind) {
            case TargetVariable::Kind::pressure:
            case TargetVariable::Kind::volume:
                return std::exp(u);
            default:
                return u;
        }
    }

    // The point and the input of a trial at u, with the roles given, starting from `start` (null:
    // from the linear programme, as a plain calculation).
    int trial(double u, const std::vector<Role>& roles, const Equilibrium* start, Point& point,
              Input& input) const {
        point = Point::of(state_.conditions);
        point.overrides = roles;
        // The phase a formation target keeps out forms only where it must: its activity the
        // lowest the others allow where they leave potentials free.
        if (target_.kind == TargetKind::formation) point.least_activity_phase = target_.phase;
        point.start = start;
        input = base_input_;
        switch (variable_.kind) {
            case TargetVariable::Kind::temperature:
                point.temperature = u;
                break;
            case TargetVariable::Kind::pressure:
                point.pressure = std::exp(u);
                point.constant_volume = false;
                break;
            case TargetVariable::Kind::volume:
                point.volume = std::exp(u);
                point.constant_volume = true;
                break;
            case TargetVariable::Kind::amounts: {
                Conditions conditions = state_.conditions;
                std::vector<Stream> streams = state_.streams;
                apply_amounts(system_, variable_.amounts, u, conditions, streams);
                return gather_input(system_, conditions, streams, input);
            }
            case TargetVariable::Kind::potential: {
                Conditions conditions = state_.conditions;
                HeldPotential* held = nullptr;
                for (HeldPotential& h : conditions.potentials)
                    if (h.phase == variable_.phase && h.index == variable_.index) held = &h;
                if (!held) {
                    held = &conditions.potentials.emplace_back();
                    held->phase = variable_.phase;
                    held->index = variable_.index;
                }
                held->activity = false;
                held->value = u;
                return gather_input(system_, conditions, state_.streams, input);
            }
        }
        return 0;
    }

    // One trial: an equilibrium at u, from the previous trial's, and the target function there.
    // `final` trials (the found state and what checks it) are not counted against the budget.
    Evaluation evaluate(double u, bool final = false) {
        return evaluate_at(u, final, overrides_, have_previous_ ? &previous_ : start_);
    }

    Evaluation evaluate_at(double u, bool final, const std::vector<Role>& roles,
                           const Equilibrium* start) {
        Evaluation e;
        if (!final && budget_-- <= 0) {
            e.error = err::target_iterations;
            return e;
        }
        Point point;
        Input input;
        e.error = trial(u, roles, start, point, input);
        if (e.error != 0) return e;
        e.error = calculate_point(system_, state_, input, point, e.result);
        if (e.error != 0) {
            if (target_.kind == TargetKind::precipitation) e.error = err::bad_target_phase;
            return e;
        }
        previous_ = e.result.equilibrium;
        have_previous_ = true;
        e.value = target_value(e.result);
        if (!std::isfinite(e.value)) e.error = err::target_not_found;
        return e;
    }

    // The target phase is a second de-mixing copy at the composition of its first copy, which
    // holds matter (the tangent plane's search beside the first found no other minimum).
    bool on_its_first_copy(const Result& r) const {
        const int p = target_.phase;
        if (system_.phases[p].demixing_copy != 2 || p == 0 || !r.phases[p - 1].present)
            return false;
        const std::vector<ConstituentResult>& second = r.phases[p].constituents;
        const std::vector<ConstituentResult>& first = r.phases[p - 1].constituents;
        for (std::size_t j = 0; j < second.size(); ++j)
            if (std::abs(second[j].fraction - first[j].fraction) >= 1e-4) return false;
        return true;
    }

    // The function whose root meets the target.
    double target_value(const Result& r) const {
        switch (target_.kind) {
            case TargetKind::formation:
                // Where the second copy of a de-mixing phase has no minimum of its own beside
                // the first copy holding matter, its activity is the first's, 1, and it forms
                // nowhere: taken as 1 there, the target would be met anywhere in the one-phase
                // field. Any value below the tolerance keeps the sign that says so.
                if (on_its_first_copy(r)) return -1.0;
                return r.phases[target_.phase].ln_activity;
            case TargetKind::precipitation: {
                double worst = -std::numeric_limits<double>::infinity();
                for (int p : others_) worst = std::max(worst, r.phases[p].ln_activity);
                return worst;
            }
            case TargetKind::activity:
                return r.phases[target_.phase].constituents[target_.index].ln_activity -
                       std::log(system_.phases[target_.phase].gas
                                    ? target_.value / standard_pressure
                                    : target_.value);
            case TargetKind::fraction:
                return r.phases[target_.phase].constituents[target_.index].fraction - target_.value;
            case TargetKind::component_fraction: {
                const Eigen::VectorXd& m = r.phases[target_.phase].components;
                const double total = m.sum();
                return (total != 0.0 ? m[target_.index] / total : 0.0) - target_.value;
            }
            default:
                break;
        }
        double g = 0, h = 0, s = 0, cp = 0, v = 0;
        if (target_.phase >= 0) {
            const PhaseResult& pr = r.phases[target_.phase];
            g = pr.moles * pr.gm;
            h = pr.moles * pr.hm;
            s = pr.moles * pr.sm;
            cp = pr.moles * pr.cpm;
            v = pr.moles * pr.vm;
        } else {
            g = r.g - r.stream_g;
            h = r.h - r.stream_h;
            s = r.s - r.stream_s;
            cp = r.cp - r.stream_cp;
            v = r.v - r.stream_v;
        }
        switch (target_.kind) {
            case TargetKind::heat_capacity:
                return cp - target_.value;
            case TargetKind::enthalpy:
                return h - target_.value;
            case TargetKind::entropy:
                return s - target_.value;
            case TargetKind::gibbs_energy:
                return g - target_.value;
            default:
                return v - target_.value;
        }
    }

    // Samples outwards from the estimate, alternating sides with doubling steps, until two
    // neighbouring samples differ in sign; then narrows the bracket.
    int find_root(const Domain& d, Bracket& found) {
        // Limits of amounts or a potential are the caller's range, the lower one the start, so
        // one step reaches the upper limit. Where the two limits show no sign change, the target
        // may still be met inside (a phase that forms and leaves again as an amount grows): the
        // range is halved, every interval's middle tried lowest first, until a sign change shows
        // or a further halving would take more than half the search's trials. A trial of such a
        // range that ends in an error leaves its point unknown, and the scan goes on. With a
        // formation target's phase kept out, the others may not hold the input where that phase
        // must form (graphite kept out beside a gas that cannot hold the carbon, 705): such a
        // point stands for the phase formed, f = +inf, and a bracket with it is bisected until
        // both ends are calculated (the root lies where the others still hold the input, graphite
        // forming at an oxygen input 1.003 times the carbon's, from CO and a little CO2, while
        // below the carbon's the gas cannot hold it). The first such error is the search's when
        // no sign change shows and a limit's trial failed, or where the bisection closes on it.
        const bool scanned = variable_.kind == TargetVariable::Kind::amounts ||
                             variable_.kind == TargetVariable::Kind::potential;
        const bool formed_where_failed = scanned && target_.kind == TargetKind::formation;
        constexpr double formed = std::numeric_limits<double>::infinity();
        std::map<double, double> samples;  // u -> f(u)
        int unknown = 0;                   // the first error of a scan's trial
        bool limit_failed = false;
        // T, P or V: the nearest failed trial on each side of the estimate, where the system's
        // equilibria end (a held potential the phases cannot take there: unbounded, 703). Such a
        // trial is no answer, as the root may lie on the other side or nearer the estimate: the
        // search halves back from it and goes on, and its error is the search's only where no
        // sign change shows. A failed trial at the estimate itself ends the search.
        double low_wall = -std::numeric_limits<double>::infinity();
        double high_wall = std::numeric_limits<double>::infinity();
        auto sample = [&](double u) -> int {
            Evaluation e = evaluate(u);
            if (e.error != 0) {
                if (e.error == err::target_iterations) return e.error;
                if (!scanned) {
                    if (u == d.start) return e.error;
                    if (unknown == 0) unknown = e.error;
                    if (u > d.start)
                        high_wall = std::min(high_wall, u);
                    else
                        low_wall = std::max(low_wall, u);
                    return 0;
                }
                if (unknown == 0) unknown = e.error;
                if (u == d.low || u == d.high) limit_failed = true;
                if (formed_where_failed) samples[u] = formed;
                return 0;
            }
            samples[u] = e.value;
            searched_.insert_or_assign(u, std::move(e));
            return 0;
        };
        int error = sample(d.start);
        if (error != 0) return error;
        if (const auto at_start = samples.find(d.start);
            at_start != samples.end() && at_start->second == 0.0) {
            found = {d.start, d.start, d.start};
            return 0;
        }
        double step = d.first_step;
        bool reached_low = d.start <= d.low;
        bool reached_high = d.start >= d.high;
        double a = 0.0, b = 0.0, fa = 0.0, fb = 0.0;
        auto bracketed = [&]() {
            if (samples.size() < 2) return false;
            for (auto it = samples.begin(); std::next(it) != samples.end(); ++it) {
                const auto next = std::next(it);
                if ((it->second > 0.0) != (next->second > 0.0) || next->second == 0.0) {
                    a = it->first;
                    fa = it->second;
                    b = next->first;
                    fb = next->second;
                    return true;
                }
            }
            return false;
        };
        const int scan_trials = state_.configuration.target_iterations / 2;
        int intervals = 1;
        auto halve = [&]() -> int {
            for (int i = 0; i < intervals; ++i) {
                const double u = d.low + (d.high - d.low) * (2.0 * i + 1.0) / (2.0 * intervals);
                if (!(u > d.low && u < d.high)) continue;
                if (const int failed = sample(u); failed != 0) return failed;
                if (bracketed()) break;
            }
            intervals *= 2;
            return 0;
        };
        // Where the scan (or the steps of T, P or V) shows no sign change, the function may
        // still reach the value between two samples (graphite beside a gas with O2 held is
        // stable over a window of P between two doubling steps, both without it): H of the carbide
        // over A's input falls past where graphite leaves to its least 1.5e-3 mol further, and a
        // value just below the kink's is met inside that dip. The sample nearest the value inside
        // the range is refined by golden sections between its neighbours towards the function's
        // extreme, until a trial crosses the value, the section is 1e-12 of the range, or a fifth
        // of the search's trials is left for the root.
        auto approach = [&]() -> int {
            auto nearest = samples.end();
            for (auto it = samples.begin(); it != samples.end(); ++it)
                if (std::isfinite(it->second) &&
                    (nearest == samples.end() || std::abs(it->second) < std::abs(nearest->second)))
                    nearest = it;
            if (nearest == samples.end() || nearest == samples.begin() ||
                std::next(nearest) == samples.end())
                return 0;
            const double sign = nearest->second > 0.0 ? 1.0 : -1.0;
            double low = std::prev(nearest)->first;
            double high = std::next(nearest)->first;
            int failed = 0;
            auto distance = [&](double u) {  // towards the value, > 0 until it is crossed
                if ((failed = sample(u)) != 0) return 0.0;
                const auto found = samples.find(u);
                return found == samples.end() ? formed : sign * found->second;
            };
            const double section = 0.5 * (3.0 - std::sqrt(5.0));
            const int reserve = state_.configuration.target_iterations / 5;
            double x1 = low + section * (high - low);
            double x2 = high - section * (high - low);
            double g1 = distance(x1);
            if (failed != 0) return failed;
            double g2 = distance(x2);
            if (failed != 0) return failed;
            while (!bracketed() && high - low > 1e-12 * (d.high - d.low) && budget_ > reserve) {
                if (g1 < g2) {
                    high = x2;
                    x2 = x1;
                    g2 = g1;
                    x1 = low + section * (high - low);
                    g1 = distance(x1);
                } else {
                    low = x1;
                    x1 = x2;
                    g1 = g2;
                    x2 = high - section * (high - low);
                    g2 = distance(x2);
                }
                if (failed != 0) return failed;
            }
            return 0;
        };
        bool approached = false;
        auto no_sign_change = [&]() {
            return limit_failed || (!scanned && unknown != 0) ? unknown : out_of_range(samples, d);
        };
        while (!bracketed()) {
            if (reached_low && reached_high) {
                if (scanned && 2 * intervals + 1 <= scan_trials) {
                    if ((error = halve()) != 0) return error;
                } else if (!approached) {
                    approached = true;
                    if ((error = approach()) != 0) return error;
                } else {
                    return no_sign_change();
                }
                continue;
            }
            // A side whose step reached a failed trial is halved back from there towards its
            // outermost calculated sample, until the two lie within 1/64 of the first step.
            auto step_out = [&](bool up, bool& reached) -> int {
                const double wall = up ? high_wall : low_wall;
                double u = up ? std::min(d.start + step, d.high) : std::max(d.start - step, d.low);
                if (std::isfinite(wall)) {
                    const double edge =
                        up ? std::prev(samples.end())->first : samples.begin()->first;
                    if (!(std::abs(wall - edge) > d.first_step / 64.0)) {
                        reached = true;
                        return 0;
                    }
                    u = edge + 0.5 * (wall - edge);
                } else {
                    reached = up ? u >= d.high : u <= d.low;
                }
                return sample(u);
            };
            if (!reached_high) {
                if ((error = step_out(true, reached_high)) != 0) return error;
                if (bracketed()) break;
            }
            if (!reached_low && (error = step_out(false, reached_low)) != 0) return error;
            step *= 2.0;
        }
        for (;;) {
            while (fa == formed || fb == formed) {
                const double middle = a + 0.5 * (b - a);
                if (!(middle > a && middle < b)) return unknown;
                if ((error = sample(middle)) != 0) return error;
                const double value = samples[middle];
                if (value == 0.0) {
                    found = {middle, middle, middle};
                    return 0;
                }
                ((value > 0.0) == (fa > 0.0) ? a : b) = middle;
                ((value > 0.0) == (fa > 0.0) ? fa : fb) = value;
            }
            if (fb == 0.0) {
                found = {b, b, b};
                return 0;
            }
            int failure = 0;
            double failed_at = 0.0;
            auto f = [&](double u) {
                if (failure != 0) return 0.0;
                Evaluation e = evaluate(u);
                if (e.error != 0) {
                    failure = e.error;
                    failed_at = u;
                    return 0.0;  // ends the root-finder; the failure is judged below
                }
                const double value = e.value;
                searched_.insert_or_assign(u, std::move(e));
                return value;
            };
            const double width = std::max(1.0, std::max(std::abs(a), std::abs(b)));
            auto tolerance = [width](double x, double y) {
                return std::abs(y - x) <= 1e-12 * width;
            };
            std::uintmax_t iterations = static_cast<std::uintmax_t>(std::max(budget_, 1));
            std::pair<double, double> result{a, b};
            try {
                result = boost::math::tools::toms748_solve(f, a, b, fa, fb, tolerance, iterations);
            } catch (const std::exception&) {
                if (failure == 0) return err::target_iterations;
            }
            if (failure != 0) {
                // Inside the bracket too, a formation target's failed trial stands for its phase
                // formed: it takes the place of the bracket's end where the phase would form.
                if (!formed_where_failed || failure == err::target_iterations) return failure;
                if (unknown == 0) unknown = failure;
                (fa > 0.0 ? a : b) = failed_at;
                (fa > 0.0 ? fa : fb) = formed;
                continue;
            }
            if (!tolerance(result.first, result.second)) return err::target_iterations;
            found = {0.5 * (result.first + result.second), result.first, result.second};
            return 0;
        }
    }

    // How closely a state must meet the target, by what the calculation itself resolves: ln a
    // to 1e-6 (potentials that the assemblage leaves free are placed to about 1e-7 of RT), a
    // fraction to 1e-6 of the value; an extensive property to 1e-9 of the value plus the sum of
    // the magnitudes it is made of (the phases' contributions, the streams' of a balance), so
    // that a value of 0 reached as a difference is judged by the size of what it differs from.
    double tolerance(const Result& r) const {
        constexpr double potential = 1e-6;
        constexpr double relative = 1e-9;
        switch (target_.kind) {
            case TargetKind::formation:
            case TargetKind::precipitation:
            case TargetKind::activity:
                return potential;
            case TargetKind::fraction:
            case TargetKind::component_fraction:
                return potential * std::abs(target_.value);
            default:
                break;
        }
        auto magnitude = [&](const PhaseResult& phase) {
            const double molar = target_.kind == TargetKind::heat_capacity  ? phase.cpm
                                 : target_.kind == TargetKind::enthalpy     ? phase.hm
                                 : target_.kind == TargetKind::entropy      ? phase.sm
                                 : target_.kind == TargetKind::gibbs_energy ? phase.gm
                                                                            : phase.vm;
            return std::abs(phase.moles * molar);
        };
        double size = std::abs(target_.value);
        if (target_.phase >= 0) return relative * (size + magnitude(r.phases[target_.phase]));
        for (const PhaseResult& phase : r.phases) size += magnitude(phase);
        const double streams = target_.kind == TargetKind::heat_capacity  ? r.stream_cp
                               : target_.kind == TargetKind::enthalpy     ? r.stream_h
                               : target_.kind == TargetKind::entropy      ? r.stream_s
                               : target_.kind == TargetKind::gibbs_energy ? r.stream_g
                                                                          : r.stream_v;
        return relative * (size + std::abs(streams));
    }

    // A fraction is met only in a phase that holds matter: an absent phase's composition is that
    // of its tangent plane's minimum, which moves with the variable and met the value where the
    // phase was absent (at 4288 K, a liquid holding everything, for a solid alone at 1197 K),
    // with error 0 and a fraction that TQGETR does not give (605).
    bool met(const Evaluation& e) const {
        const bool fraction =
            target_.kind == TargetKind::fraction || target_.kind == TargetKind::component_fraction;
        if (fraction && !e.result.phases[target_.phase].present) return false;
        return std::abs(e.value) <= tolerance(e.result);
    }

    bool extensive() const {
        return target_.kind == TargetKind::heat_capacity || target_.kind == TargetKind::enthalpy ||
               target_.kind == TargetKind::entropy || target_.kind == TargetKind::gibbs_energy ||
               target_.kind == TargetKind::volume;
    }

    // The trial the search made at an end of its bracket. Near a transition the equilibrium
    // found there depends on where it started (within its tolerance both sides are minima of
    // G), so the two ends are taken as the search saw them, one on each side of the value.
    const Evaluation* searched(double u) const {
        const auto found = searched_.find(u);
        return found == searched_.end() ? nullptr : &found->second;
    }

    // Bisects the bracket from the trials at its ends until a trial meets the target (`found`
    // is then that trial) or the ends are neighbouring doubles, with the trials counted against
    // the search's budget.
    int narrow(Bracket& bracket, Evaluation& found) {
        const Evaluation* low = searched(bracket.low);
        if (!low || !searched(bracket.high)) return 0;
        const bool low_positive = low->value > 0.0;
        for (;;) {
            const double middle = bracket.low + 0.5 * (bracket.high - bracket.low);
            if (!(middle > bracket.low && middle < bracket.high)) return 0;
            Evaluation e = evaluate(middle);
            if (e.error != 0) return e.error;
            const bool met_here = met(e);
            const bool positive = e.value > 0.0;
            const auto& trial = searched_.insert_or_assign(middle, std::move(e)).first->second;
            if (met_here) {
                found = trial;
                bracket.root = middle;
                return 0;
            }
            (positive == low_positive ? bracket.low : bracket.high) = middle;
        }
    }

    // A formation target whose function jumps past zero between neighbouring doubles: with the
    // phase kept out, the potentials jump where the others' assemblage changes at one value of
    // the variable (an amount reaching a compound's composition: below it the compound and one
    // neighbour fix them, above it the compound and the other, and the compound alone leaves
    // them free between, placed where the target phase's activity is lowest). The phase forms
    // there: let into the assemblage at the end where it would form, it holds what the
    // assemblage of the others resolves at most (1e-12 of the input), at activity 1. 711 where
    // it holds more (the function jumped between two states of the others) or may not hold
    // matter.
    int forms_at_jump(Bracket& bracket, Evaluation& found) {
        const Evaluation* low = searched(bracket.low);
        const Evaluation* high = searched(bracket.high);
        const int p = target_.phase;
        if (!low || !high || std::nextafter(bracket.low, bracket.high) != bracket.high ||
            system_.phases[p].status != Status::entered)
            return err::target_not_found;
        const double u = low->value > 0.0 ? bracket.low : bracket.high;
        std::vector<Role> roles = overrides_;
        roles[p] = Role::balanced;
        Evaluation e = evaluate_at(u, true, roles, nullptr);
        if (e.error != 0) return e.error;
        constexpr double rounding = 1e-12;  // of the input
        const double input = e.result.incoming.cwiseAbs().sum();
        if (!met(e) || !(e.result.phases[p].moles <= rounding * input))
            return err::target_not_found;
        found = std::move(e);
        bracket.root = u;
        return 0;
    }

    // An extensive target inside the jump of its property at a transition: both sides are
    // minima of G there (the lower side's equilibrium, and the upper side's with the phases that
    // leave at the transition kept out), and the target is met with the phase amounts that
    // give it, the reaction partly made, as at any invariant point. The state is placed at the
    // lower end of the bracket, or as little below it as it takes for a plain calculation
    // (from the linear programme) to find the lower side there: within its tolerance the
    // minimisation may take either side, and a later plain calculation at the found value
    // gives the lower side, as at any transition point. 711 for every other target, or when
    // the two sides are not such a pair.
    int across_transition(const Domain& d, Bracket& bracket, Evaluation& found) {
        if (!extensive() || variable_.kind == TargetVariable::Kind::volume ||
            state_.conditions.volume_in_force)
            return err::target_not_found;
        const Evaluation* low = searched(bracket.low);
        const Evaluation* high = searched(bracket.high);
        if (!low || !high) return err::target_not_found;
        const std::vector<int> below_phases = present_phases(low->result);
        const std::vector<int> above_phases = present_phases(high->result);
        std::vector<Role> without_leaving = overrides_;
        bool leaving = false;
        auto above = [&](int p) {
            return std::count(above_phases.begin(), above_phases.end(), p) > 0;
        };
        for (int p : below_phases) {
            if (above(p)) continue;
            without_leaving[p] = Role::observed;
            leaving = true;
            // A copy of a de-mixing phase leaves with its other copy where that holds nothing
            // above: else the other takes its place, the same phase below the transition
            // (the solid of pure B melting, its second copy standing in for the first).
            const int copy = system_.phases[p].demixing_copy;
            const int other = copy == 1 ? p + 1 : copy == 2 ? p - 1 : -1;
            if (other >= 0 && !above(other) && without_leaving[other] == Role::balanced)
                without_leaving[other] = Role::observed;
        }
        if (!leaving) return within_bracket(bracket, found);
        const bool lower_positive = low->value > 0.0;
        double u = bracket.low;
        double step = bracket.high - bracket.low;
        Evaluation lower;
        for (int tries = 0;; ++tries) {
            lower = evaluate_at(u, true, overrides_, nullptr);
            if (lower.error != 0) return lower.error;
            if ((lower.value > 0.0) == lower_positive) break;
            if (tries == 60 || u - step < d.low) return err::target_not_found;
            u -= step;
            step *= 2.0;
        }
        // The upper side where the lower one holds: it must lie across the value from it.
        const Evaluation upper = evaluate_at(u, true, without_leaving, &high->result.equilibrium);
        if (upper.error != 0) return upper.error;
        if ((upper.value > 0.0) == lower_positive) return err::target_not_found;
        Point point;
        Input input;
        int error = trial(u, overrides_, nullptr, point, input);
        if (error != 0) return error;
        // The lever takes phases at compositions that may differ from a side's own by what
        // the minimisation resolves (and a phase on both sides at the mix of the two): the
        // share is the root of the target's function over the lever's states themselves. With
        // one side's potentials first; where that is no state, with potentials fitted to the
        // lever's phases: a trace melting over fewer kelvin than the energies resolve (a
        // 1e-12 share of A in the liquid of B: 4e-10 K) ends on two sides that hold the liquid,
        // its trace at compositions 1e-9 and 1e-12, and the trace's potential is the mixed
        // liquid's, neither side's. Then with the potentials partitioning a trace that phases
        // on the two sides hold (B in the solid of A below, in its liquid above).
        error = err::target_not_found;
        for (const LeverPotentials potentials :
             {LeverPotentials::one_side, LeverPotentials::fitted, LeverPotentials::partitioned}) {
            error = lever_state(point, input, lower.result.equilibrium, upper.result.equilibrium,
                                potentials, found);
            if (error != err::target_not_found) break;
        }
        if (error != 0) return error;
        bracket.root = u;
        return 0;
    }

    // No phase of the bracket's lower end is missing at its upper end, and the function jumps
    // between them: the phase amounts a trace sets are resolved no finer than its potential (a
    // 1e-9 share of B in the liquid of A gave 0.003 J of H between neighbouring temperatures,
    // where the target is met to 4e-5 J), or a phase forms there (the carbide's liquid beside
    // CARBIDE and A_S with 3.3e-13 of C). The two ends' states are equilibria there, and the
    // lever between them, its potentials fitted to its phases (or partitioning a trace), is
    // one that meets it.
    int within_bracket(Bracket& bracket, Evaluation& found) {
        const Evaluation* low = searched(bracket.low);
        const Evaluation* high = searched(bracket.high);
        Point point;
        Input input;
        int error = trial(bracket.low, overrides_, nullptr, point, input);
        if (error != 0) return error;
        for (const LeverPotentials potentials :
             {LeverPotentials::fitted, LeverPotentials::partitioned}) {
            error = lever_state(point, input, low->result.equilibrium, high->result.equilibrium,
                                potentials, found);
            if (error != err::target_not_found) break;
        }
        if (error == 0) bracket.root = bracket.low;
        return error;
    }

    // The lever state between two sides at one point that meets the target: 711 where the
    // target lies outside the lever's states or the state meeting it is no equilibrium.
    int lever_state(const Point& point, const Input& input, const Equilibrium& lower,
                    const Equilibrium& upper, LeverPotentials potentials, Evaluation& found) {
        auto lever = [&](double share, Evaluation& state) {
            const int failed = transition_state(system_, state_, input, point, lower, upper, share,
                                                potentials, state.result);
            if (failed == 0) state.value = target_value(state.result);
            return failed;
        };
        Evaluation all_below, all_above;
        int error = 0;
        if ((error = lever(0.0, all_below)) != 0 || (error = lever(1.0, all_above)) != 0)
            return error;
        if ((all_below.value > 0.0) == (all_above.value > 0.0)) return err::target_not_found;
        int failure = 0;
        auto f = [&](double share) {
            Evaluation e;
            if (failure == 0) failure = lever(share, e);
            return failure == 0 ? e.value : 0.0;  // a failure ends the search; it is reported
        };
        std::uintmax_t iterations = 100;
        double share = 0.0;
        try {
            const auto root = boost::math::tools::toms748_solve(
                f, 0.0, 1.0, all_below.value, all_above.value,
                boost::math::tools::eps_tolerance<double>(50), iterations);
            share = 0.5 * (root.first + root.second);
        } catch (const std::exception&) {
            return failure != 0 ? failure : err::target_not_found;
        }
        if (failure != 0) return failure;
        if ((error = lever(share, found)) != 0) return error;
        const bool outside_checked = potentials != LeverPotentials::one_side;
        if (!met(found) || !at_equilibrium(found.result, outside_checked))
            return err::target_not_found;
        return 0;
    }

    // Whether a lever state is an equilibrium, as a minimisation's result is: each constituent
    // of a phase holding matter at its stoichiometry times the component potentials to 1e-8 RT,
    // each component held as it came in to 1e-8 of its input. The two sides' phases meet at
    // their planes only as far as the sides agree: beside a critical point a phase on both
    // sides, at the mix of its two compositions, is off its plane by more than that, and the
    // lever is then no state. With `outside` also no phase that may hold matter above
    // activity 1 by more than 1e-8 (potentials fitted to the lever's phases move those of the
    // sides along the directions a trace fixes by several RT; one side's leave each phase
    // outside where that side's minimisation found it).
    bool at_equilibrium(const Result& r, bool outside) const {
        constexpr double potential = 1e-8;
        constexpr double balance = 1e-8;
        const double rt = gas_constant * r.temperature;
        const int k = static_cast<int>(r.potentials.size());
        Eigen::VectorXd held = Eigen::VectorXd::Zero(k);
        for (std::size_t p = 0; p < r.phases.size(); ++p) {
            const PhaseResult& phase = r.phases[p];
            if (outside && !phase.present && overrides_[p] == Role::balanced &&
                !(phase.ln_activity <= potential))
                return false;
            if (!phase.present) continue;
            held += phase.moles * phase.components;
            for (std::size_t c = 0; c < phase.constituents.size(); ++c) {
                const ConstituentResult& constituent = phase.constituents[c];
                // Below 1e-300 the mixing term is not the fraction's (it is cut off there).
                if (!constituent.calculated || !(constituent.fraction > 1e-300)) continue;
                const std::vector<double>& a = system_.phases[p].constituents[c].stoichiometry;
                double plane = 0.0;
                for (int q = 0; q < k && q < static_cast<int>(a.size()); ++q)
                    plane += a[q] * r.potentials[q];
                if (!(std::abs(constituent.g - plane) <= potential * rt)) return false;
            }
        }
        const double total = r.incoming.cwiseAbs().sum();
        for (int q = 0; q < k; ++q)
            if (!(std::abs(held[q] - r.incoming[q]) <=
                  balance * std::abs(r.incoming[q]) + 1e-20 * total))
                return false;
        return true;
    }

    // No sign change between the limits: the root lies beyond the limit where the target is
    // closer to being met (712 below the lowest, 713 above the highest permitted value).
    int out_of_range(const std::map<double, double>& samples, const Domain& d) const {
        const double at_low = std::abs(samples.begin()->second);
        const double at_high = std::abs(std::prev(samples.end())->second);
        if (at_low == at_high) return err::target_not_found;
        if (at_low < at_high) {
            // Incoming amounts below zero cannot be entered.
            if (variable_.kind == TargetVariable::Kind::amounts && d.low == 0.0 &&
                negative_amounts_possible())
                return err::target_negative_amount;
            return err::target_below_lowest;
        }
        return err::target_above_highest;
    }

    bool negative_amounts_possible() const {
        return std::any_of(variable_.amounts.begin(), variable_.amounts.end(),
                           [](const AmountVariable& a) { return a.low <= 0.0; });
    }

    const System& system_;
    const CalculationState& state_;
    const Target& target_;
    const TargetVariable& variable_;
    const Equilibrium* start_;
    int budget_;
    Input base_input_;
    std::vector<Role> overrides_;
    std::vector<int> others_;
    Equilibrium previous_;
    bool have_previous_ = false;
    std::map<double, Evaluation> searched_;  // the search's trials by their u
};

}  // namespace

void apply_amounts(const System& system, const std::vector<AmountVariable>& amounts, double s,
                   Conditions& conditions, std::vector<Stream>& streams) {
    const bool from_streams = std::any_of(streams.begin(), streams.end(),
                                          [](const Stream& st) { return !st.amounts.empty(); });
    for (const AmountVariable& variable : amounts) {
        const double moles = std::max(0.0, variable.low + s * (variable.high - variable.low));
        if (from_streams && variable.phase >= 0) {
            Stream& last = streams.back();
            auto found = std::find_if(last.amounts.begin(), last.amounts.end(), [&](const auto& a) {
                return a.phase == variable.phase && a.constituent == variable.index;
            });
            if (found == last.amounts.end())
                last.amounts.push_back({variable.phase, variable.index, moles});
            else
                found->moles = moles;
            continue;
        }
        auto found = std::find_if(conditions.amounts.begin(), conditions.amounts.end(),
                                  [&](const IncomingAmount& a) {
                                      return a.phase == variable.phase && a.index == variable.index;
                                  });
        if (found == conditions.amounts.end()) {
            found = conditions.amounts.insert(conditions.amounts.end(), IncomingAmount{});
            found->number = conditions.next_number++;
            found->phase = variable.phase;
            found->index = variable.index;
        }
        found->moles = moles;
        if (variable.phase < 0) {
            found->components = Eigen::VectorXd::Zero(static_cast<int>(system.components.size()));
            found->components[variable.index] = moles;
            found->file_components = component_in_file(system, variable.index, moles);
        }
    }
}

int read_amount_variable(std::int32_t* error, const System& system, const CalculationState& state,
                         std::int32_t phase, std::int32_t index, const double* vals,
                         bool held_refused, AmountVariable& variable) {
    const double low = vals ? vals[0] : 0.0;
    const double high = vals ? vals[1] : 0.0;
    double molar_mass = 0.0;
    if (phase == 0) {
        const int k = component_index(error, system, index);
        if (k < 0) return -1;
        variable.phase = -1;
        variable.index = k;
        molar_mass = component_molar_mass(system, k);
    } else {
        const int p = phase_index(error, system, phase);
        if (p < 0) return -1;
        const int c = constituent_index(error, system, p, index);
        if (c < 0) return -1;
        if (held_refused)
            for (const HeldPotential& held : state.conditions.potentials)
                if (held.phase == p && held.index == c) return err::target_held_potential;
        variable.phase = p;
        variable.index = c;
        molar_mass = constituent_molar_mass_kg(system, p, c);
    }
    const int limits = check_limits(low, high);
    if (limits != 0) return limits;
    variable.low = state.units.amount_in(low, molar_mass);
    variable.high = state.units.amount_in(high, molar_mass);
    return 0;
}

int check_limits(double low, double high) {
    if (!std::isfinite(low) || !std::isfinite(high)) return err::limits_reversed;
    if (low == high) return err::limits_equal;
    if (high < 0.0) return err::upper_limit_negative;
    if (low > high) return err::limits_reversed;
    return 0;
}

int solve_target(const System& system, const CalculationState& state, const Target& target,
                 const TargetVariable& variable, const Equilibrium* start,
                 TargetSolution& solution) {
    TargetSearch search(system, state, target, variable, start);
    return search.run(solution);
}

}  // namespace eqx::equilibrium
