#include "equilibrium/calculation.hpp"

#include <boost/math/tools/roots.hpp>
#include <cmath>

#include "core/library.hpp"
#include "data/thermo.hpp"

namespace eqx::equilibrium {

namespace {

Eigen::VectorXd constituent_vector(const System& system, int phase, int constituent) {
    const int k = static_cast<int>(system.components.size());
    Eigen::VectorXd v = Eigen::VectorXd::Zero(k);
    const auto& s = system.phases[phase].constituents[constituent].stoichiometry;
    for (int c = 0; c < k && c < static_cast<int>(s.size()); ++c) v[c] = s[c];
    return v;
}

bool streams_hold_matter(const std::vector<Stream>& streams) {
    for (const Stream& stream : streams)
        if (!stream.amounts.empty()) return true;
    return false;
}

// The reservoirs of the held potentials at T and P.
void hold_potentials(const System& system, double temperature, double pressure, Input& input) {
    input.reservoirs.clear();
    const double rt = gas_constant * temperature;
    for (const HeldPotential& held : input.potentials) {
        const Phase& phase = system.phases[held.phase];
        const Constituent& constituent = phase.constituents[held.index];
        const double mu0 = thermo::constituent_functions(system, phase, constituent, temperature,
                                                         pressure / pascal_per_bar)
                               .g /
                           rt;
        Reservoir reservoir;
        reservoir.stoichiometry = constituent_vector(system, held.phase, held.index);
        if (!held.activity) {
            reservoir.potential = mu0 + held.value / rt;
        } else {
            // A gas constituent's activity is its fugacity, relative to 1 bar.
            const double relative = phase.gas ? held.value / standard_pressure : held.value;
            reservoir.potential = mu0 + std::log(relative);
        }
        input.reservoirs.push_back(std::move(reservoir));
    }
}

bool reduced_energies_representable(const CalculatedSystem& calculated) {
    for (const CalculatedPhase& phase : calculated.phases)
        for (Eigen::Index j = 0; j < phase.g.size(); ++j)
            if (!representable(phase.g[j])) return false;
    return true;
}

}  // namespace

int gather_input(const System& system, const CalculationState& state, Input& input) {
    return gather_input(system, state.conditions, state.streams, input);
}

int gather_input(const System& system, const Conditions& conditions,
                 const std::vector<Stream>& streams, Input& input) {
    const int k = static_cast<int>(system.components.size());
    input = Input{};
    input.components = Eigen::VectorXd::Zero(k);
    auto add = [&](int phase, int index, double moles) {
        if (!std::isfinite(moles) || moles < 0.0) return false;
        input.components += moles * constituent_vector(system, phase, index);
        input.constituents.push_back({phase, index, moles});
        return true;
    };
    if (streams_hold_matter(streams)) {
        for (const Stream& stream : streams)
            for (const StreamAmount& amount : stream.amounts)
                if (!add(amount.phase, amount.constituent, amount.moles)) return err::bad_input;
    } else {
        for (const IncomingAmount& amount : conditions.amounts) {
            if (!std::isfinite(amount.moles) || amount.moles < 0.0) return err::bad_input;
            if (amount.phase < 0) {
                input.components += amount.components;
            } else if (!add(amount.phase, amount.index, amount.moles)) {
                return err::bad_input;
            }
        }
    }
    for (const HeldPotential& held : conditions.potentials) {
        if (!std::isfinite(held.value) || (held.activity && held.value <= 0.0))
            return err::bad_input;
        input.potentials.push_back(held);
    }
    // No matter: no positive amount, or amounts only of a constituent that holds no component
    // (the empty Va:Va of a sublattice phase).
    if ((input.components.array() == 0.0).all() && input.potentials.empty()) return err::no_input;
    // Finite amounts whose component sums overflow (1e308 mol of CaCO3 holds 3e308 mol O).
    if (!input.components.allFinite()) return err::bad_input;
    return 0;
}

namespace {

int equilibrium_at(const System& system, const CalculationState& state, const Input& given,
                   double temperature, double pressure, const Point& point,
                   const Equilibrium* start, Result& result) {
    ++library().equilibria;
    Input input = given;
    hold_potentials(system, temperature, pressure, input);
    const CalculatedSystem calculated =
        calculate_system(system, temperature, pressure, point.overrides);
    // The minimiser works only on finite energies: data that are not representable at this
    // temperature and pressure are refused before it starts (the reduced energies g / RT may
    // overflow where g does not: the temperature's fault then), and so is a state that the
    // result could not report (1e298 bar is 1e303 Pa, with every function finite).
    if (!reduced_energies_representable(calculated) || !representable(calculated.temperature) ||
        !representable(calculated.pressure)) {
        const int cause = calculation_error(system, calculated, {});
        return cause == err::bad_pressure ? cause : err::bad_temperature;
    }
    for (std::size_t r = 0; r < input.reservoirs.size(); ++r) {
        if (representable(input.reservoirs[r].potential)) continue;
        const HeldPotential& held = input.potentials[r];
        const Phase& phase = system.phases[held.phase];
        const int cause =
            state_point_error(system, phase, phase.constituents[held.index], temperature, pressure);
        return cause != 0 ? cause : err::bad_input;  // a held value too large
    }
    MinimiserOptions options;
    options.max_iterations = state.configuration.iterations;
    options.max_assemblies = state.configuration.assemblies;
    options.least_activity_phase = point.least_activity_phase;
    const MinimiserResult outcome =
        minimise_gibbs_energy(calculated, input.components, input.reservoirs, start, options);
    if (outcome.error != 0) return outcome.error;
    Result made = make_result(system, calculated, outcome.equilibrium, input, state.streams);
    if (!representable(made)) return calculation_error(system, calculated, state.streams);
    result = std::move(made);
    return 0;
}

}  // namespace

int calculate_point(const System& system, const CalculationState& state, const Input& input,
                    const Point& point, Result& result) {
    if (!(point.temperature > 0.0) || !std::isfinite(point.temperature))
        return err::bad_temperature;
    if (!point.constant_volume) {
        if (!(point.pressure > 0.0) || !std::isfinite(point.pressure)) return err::bad_pressure;
        return equilibrium_at(system, state, input, point.temperature, point.pressure, point,
                              point.start, result);
    }
    // Constant volume: the pressure at which the equilibrium has that volume, searched in
    // ln P within the pressure limits.
    if (!(point.volume > 0.0) || !std::isfinite(point.volume)) return err::constant_volume_failed;
    const Equilibrium* start = point.start;
    Result last;
    bool have_last = false;
    int failure = 0;
    auto residual = [&](double ln_p) {
        Result r;
        const int error = equilibrium_at(system, state, input, point.temperature, std::exp(ln_p),
                                         point, start, r);
        if (error != 0) {
            failure = error;
            return std::numeric_limits<double>::quiet_NaN();
        }
        const double value = std::log(r.volume / point.volume);
        last = std::move(r);
        have_last = true;
        start = &last.equilibrium;
        return value;
    };
    const double low = std::log(state.limits.pressure_low);
    const double high = std::log(state.limits.pressure_high);
    double a = std::log(state.conditions.pressure > 0.0 ? state.conditions.pressure : 1e5);
    a = std::clamp(a, low, high);
    double fa = residual(a);
    if (!std::isfinite(fa)) return err::constant_volume_failed;
    if (fa == 0.0) {
        result = std::move(last);
        return 0;
    }
    // The volume falls as the pressure rises: step towards the sign change.
    double b = a;
    double fb = fa;
    double step = 1.0;
    while ((fa > 0.0) == (fb > 0.0)) {
        const double next = fa > 0.0 ? std::min(b + step, high) : std::max(b - step, low);
        if (next == b) return err::constant_volume_failed;
        a = b;
        fa = fb;
        b = next;
        fb = residual(b);
        if (!std::isfinite(fb)) return err::constant_volume_failed;
        step *= 2.0;
    }
    std::uintmax_t iterations = 100;
    try {
        const auto bracket = boost::math::tools::toms748_solve(
            residual, std::min(a, b), std::max(a, b), a < b ? fa : fb, a < b ? fb : fa,
            boost::math::tools::eps_tolerance<double>(50), iterations);
        const double root = 0.5 * (bracket.first + bracket.second);
        if (!std::isfinite(residual(root))) return err::constant_volume_failed;
    } catch (const std::exception&) {
        return err::constant_volume_failed;
    }
    (void)failure;
    if (!have_last) return err::constant_volume_failed;
    result = std::move(last);
    return 0;
}

int transition_state(const System& system, const CalculationState& state, const Input& given,
                     const Point& point, const Equilibrium& lower, const Equilibrium& upper,
                     double share, Result& result) {
    Input input = given;
    hold_potentials(system, point.temperature, point.pressure, input);
    const CalculatedSystem calculated =
        calculate_system(system, point.temperature, point.pressure, point.overrides);
    Equilibrium mixed = lower;
    mixed.iterations = std::max(lower.iterations, upper.iterations);
    for (std::size_t i = 0; i < mixed.phases.size() && i < upper.phases.size(); ++i) {
        const PhaseOutcome& below = lower.phases[i];
        const PhaseOutcome& above = upper.phases[i];
        PhaseOutcome& out = mixed.phases[i];
        const double n_below = below.active ? (1.0 - share) * below.amount : 0.0;
        const double n_above = above.active ? share * above.amount : 0.0;
        out.active = below.active || above.active;
        out.amount = n_below + n_above;
        if (n_above > 0.0 && above.x.size() == below.x.size()) {
            out.x = n_below > 0.0 ? ((n_below * below.x + n_above * above.x) / out.amount).eval()
                                  : above.x;
            if (!(n_below > 0.0)) out.ln_activity = above.ln_activity;
        }
    }
    if (lower.supplies.size() == upper.supplies.size())
        mixed.supplies = (1.0 - share) * lower.supplies + share * upper.supplies;
    Result made = make_result(system, calculated, mixed, input, state.streams);
    if (!representable(made)) return calculation_error(system, calculated, state.streams);
    result = std::move(made);
    return 0;
}

}  // namespace eqx::equilibrium
