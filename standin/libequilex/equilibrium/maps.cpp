// One-dimensional phase maps: TQMAP and TQMAPL.
//
// Options: "TF"/"TN" (temperature), "PF"/"PN" (pressure), "IA0"/"IAF"/"IAN" (incoming amounts:
// "IA0" records a substance, "IAF" adds the last one and starts; all vary together from their
// lower to their upper limit). vals are the limits in the current units, read on the first call
// only. The first call calculates the equilibrium at the lower limit and plans the map: it scans
// the interval and locates every change of the stable assemblage to 1e-6 (K for temperature,
// relative for pressure, mol for amounts), then to the precision of the calculation (the root of
// ln a of a phase that changes, calculated with that phase kept out). Each call
// calculates the next point - the transitions in order, then the upper limit - and gives the
// number of points still to come (0 after the last). At a transition point the assemblage is
// that of the lower side, and the phases that form there have activity 1 and amount 0.
// "IA0" calculates nothing and gives 1. The conditions keep the value of the last point.
// Targets are not part of a map: each point is a plain equilibrium.
#include <algorithm>
#include <boost/math/tools/roots.hpp>
#include <cmath>

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

// Calculates equilibria along the map variable u (K; ln Pa; the amount parameter 0..1).
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

    int assemblage_at(double u, std::vector<int>& phases) {
        Result result;
        const int error = at(u, {}, result);
        if (error == 0) phases = stable_phases(result);
        return error;
    }

    // Present phases, with amounts that are not rounding.
    static std::vector<int> stable_phases(const Result& result) {
        std::vector<int> present;
        double total = 0.0;
        for (const PhaseResult& phase : result.phases) total += std::max(phase.moles, 0.0);
        for (std::size_t p = 0; p < result.phases.size(); ++p)
            if (result.phases[p].present && result.phases[p].moles > 1e-10 * total)
                present.push_back(static_cast<int>(p));
        return present;
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

    // A change of assemblage between a (assemblage `below`) and b (`above`): the root of ln a of
    // a phase that changes, calculated with that phase kept out of the mass balance, found to
    // the precision of the calculation; failing that, bisection on the assemblage to the
    // tolerance. The phases that form there go into `forming`.
    int locate(double a, const std::vector<int>& below, double b, const std::vector<int>& above,
               double tolerance, double& transition, std::vector<int>& forming) {
        std::vector<int> changing;
        std::set_symmetric_difference(below.begin(), below.end(), above.begin(), above.end(),
                                      std::back_inserter(changing));
        // A phase that forms is the surest to follow (kept out, its activity rises through 1),
        // a stoichiometric one the surest of those.
        auto rank = [&](int p) {
            const bool forms = std::count(above.begin(), above.end(), p) > 0;
            return (forms ? 0 : 2) + (system_.phases[p].is_mixture() ? 1 : 0);
        };
        std::stable_sort(changing.begin(), changing.end(),
                         [&](int x, int y) { return rank(x) < rank(y); });
        for (int q : changing) {
            const bool appears = std::count(above.begin(), above.end(), q) > 0;
            const std::vector<Role> without = kept_out({q});
            int failure = 0;
            auto f = [&](double u) {
                Result result;
                if (failure != 0) return 0.0;
                failure = at(u, without, result);
                if (failure != 0) return 0.0;
                const double ln_a = result.phases[q].ln_activity;
                return appears ? ln_a : -ln_a;
            };
            const double fa = f(a);
            const double fb = f(b);
            if (failure != 0 || !(fa < 0.0 && fb > 0.0)) continue;
            std::uintmax_t iterations = 80;
            try {
                const auto root = boost::math::tools::toms748_solve(
                    f, a, b, fa, fb, boost::math::tools::eps_tolerance<double>(50), iterations);
                if (failure != 0) continue;
                const double u = 0.5 * (root.first + root.second);
                // The assemblage just below the root must still be the lower one.
                std::vector<int> phases;
                if (assemblage_at(std::max(a, u - tolerance), phases) != 0 || phases != below)
                    continue;
                transition = u;
                forming.clear();
                std::vector<int> upper;
                if (assemblage_at(std::min(b, u + tolerance), upper) != 0) continue;
                for (int p : upper)
                    if (!std::count(below.begin(), below.end(), p)) forming.push_back(p);
                return 0;
            } catch (const std::exception&) {
            }
        }
        // Bisection on the assemblage.
        while (b - a > tolerance) {
            const double middle = 0.5 * (a + b);
            // Far from zero the doubles lie further apart than the tolerance: once no double
            // is left between the ends, the bracket is as narrow as it can be.
            if (!(middle > a && middle < b)) break;
            std::vector<int> phases;
            const int error = assemblage_at(middle, phases);
            if (error != 0) return error;
            (phases == below ? a : b) = middle;
        }
        transition = a;  // the lower side, within the tolerance
        forming.clear();
        return 0;
    }

  private:
    const System& system_;
    const CalculationState& state_;
    Variable variable_;
    std::vector<AmountVariable> amounts_;
    Equilibrium start_;
    bool have_start_ = false;
};

// The SI value of the map variable for the conditions and for "T"/"P" results.
void keep_point(const System& system, CalculationState& state, Variable variable, double u) {
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
            apply_amounts(system, state.map_amounts, u, c, state.streams);
            break;
    }
}

int begin_map(const System& system, CalculationState& state, Variable variable, double low,
              double high, std::vector<AmountVariable> amounts, std::int32_t& count) {
    MapCalculator calculator(system, state, variable, amounts);
    Result first;
    int error = calculator.at(low, {}, first);
    if (error != 0) return error;
    MapProgress plan;
    plan.active = true;
    plan.variable = variable;
    plan.points.push_back(low);
    plan.forming.emplace_back();
    if (high > low) {
        const double tolerance = variable == Variable::temperature ? 1e-6
                                 : variable == Variable::pressure
                                     ? 1e-6
                                     : 1e-6 / std::max(1e-300, [&] {
                                           double span = 0.0;
                                           for (const AmountVariable& a : amounts)
                                               span = std::max(span, std::abs(a.high - a.low));
                                           return span;
                                       }());
        std::vector<int> below = MapCalculator::stable_phases(first);
        double a = low;
        for (int i = 1; i <= scan_intervals; ++i) {
            const double b = i == scan_intervals ? high : low + (high - low) * i / scan_intervals;
            std::vector<int> above;
            if ((error = calculator.assemblage_at(b, above)) != 0) return error;
            // Every change inside [a, b], the first one found each time.
            while (above != below) {
                double transition = 0.0;
                std::vector<int> forming;
                if ((error = calculator.locate(a, below, b, above, tolerance, transition,
                                               forming)) != 0)
                    return error;
                // Changes closer together than ten times the tolerance make one point (at an
                // exact stoichiometry one phase goes as another comes).
                if (transition - plan.points.back() > 10 * tolerance &&
                    high - transition > 10 * tolerance) {
                    plan.points.push_back(transition);
                    plan.forming.push_back(forming);
                }
                // What lies just above the transition, and on towards b.
                const double after = std::min(b, transition + tolerance);
                std::vector<int> next;
                if ((error = calculator.assemblage_at(after, next)) != 0) return error;
                if (next == below) break;  // a change that does not hold above the point
                below = std::move(next);
                a = after;
            }
            below = std::move(above);
            a = b;
        }
        plan.points.push_back(high);
        plan.forming.emplace_back();
    }
    plan.next = 1;
    plan.amounts = std::move(amounts);
    state.map = std::move(plan);
    state.map_amounts = state.map.amounts;
    keep_point(system, state, variable, low);
    state.result = std::move(first);
    count = static_cast<std::int32_t>(state.map.points.size() - state.map.next);
    return 0;
}

int continue_map(const System& system, CalculationState& state, Variable variable,
                 std::int32_t& count) {
    MapProgress& map = state.map;
    if (!map.active || map.variable != variable || map.next >= map.points.size())
        return err::bad_option;
    MapCalculator calculator(system, state, variable, map.amounts);
    const double u = map.points[map.next];
    Result result;
    const int error = calculator.at(u, calculator.kept_out(map.forming[map.next]), result);
    if (error != 0) return error;
    ++map.next;
    keep_point(system, state, variable, u);
    state.result = std::move(result);
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
