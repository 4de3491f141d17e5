#include "equilibrium/calculation.hpp"

#include <algorithm>
#include <boost/math/tools/roots.hpp>
#include <cmath>
#include <limits>
#include <vector>

#include "core/library.hpp"
#include "data/thermo.hpp"
#include "equilibrium/components.hpp"

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

// The minimisation in the file's components of a system re-based by TQCSC, its potentials
// then in the system's own (zeta = F^T zeta_file, F the components' compositions in the
// file's). The matter, the energies and so the equilibrium are the same in any basis, but
// what the minimiser decides by components is not: which components have no input and where
// the zero-input rule places their potentials, which inputs are traces, how rows are scaled.
// In the new components a file component without input is a difference of inputs and has no
// direction of its own: its potential was left unplaced, and the species made only of it were
// reported far above e^-50 (CO2 at activity 6.5e29 over graphite without oxygen in CO, H2 and
// O2), and states the file's components calculate gave 705.
MinimiserResult minimise_in_file_components(const System& system,
                                            const CalculatedSystem& calculated, const Input& input,
                                            const Equilibrium* start,
                                            const MinimiserOptions& options) {
    const Eigen::MatrixXd to_file = file_basis(system);
    const auto in_file = [&](const Eigen::MatrixXd& a) { return tidied(to_file * a); };
    CalculatedSystem file_system = calculated;
    for (CalculatedPhase& phase : file_system.phases)
        if (phase.stoichiometry.size() > 0) phase.stoichiometry = in_file(phase.stoichiometry);
    std::vector<Reservoir> reservoirs = input.reservoirs;
    for (Reservoir& reservoir : reservoirs)
        reservoir.stoichiometry = in_file(reservoir.stoichiometry);
    Equilibrium file_start;
    if (start) {
        file_start = *start;
        file_start.zeta = to_file.transpose().fullPivLu().solve(start->zeta);
    }
    MinimiserResult outcome = minimise_gibbs_energy(file_system, input.file_components, reservoirs,
                                                    start ? &file_start : nullptr, options);
    if (outcome.error == 0)
        outcome.equilibrium.zeta = to_file.transpose() * outcome.equilibrium.zeta;
    return outcome;
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
    // The magnitudes each component's sum is made of: in other system components the amounts
    // of several conditions may cancel (1 mol each of Ca, C and 3 of O in CaCO3, CO and O2),
    // and what their rounding leaves is no input.
    Eigen::VectorXd magnitudes = Eigen::VectorXd::Zero(k);
    // In other system components, the input in the file's components too, summed from each
    // amount's own composition there (an amount set before TQCSC as it was set).
    const Eigen::MatrixXd to_file = file_basis(system);
    const bool other_basis = to_file.size() > 0;
    Eigen::VectorXd in_file, file_magnitudes;
    if (other_basis) {
        in_file = Eigen::VectorXd::Zero(k);
        file_magnitudes = Eigen::VectorXd::Zero(k);
    }
    auto add_in_file = [&](const Eigen::VectorXd& amounts) {
        in_file += amounts;
        file_magnitudes += amounts.cwiseAbs();
    };
    auto add = [&](int phase, int index, double moles) {
        if (!std::isfinite(moles) || moles < 0.0) return false;
        const Eigen::VectorXd held = moles * constituent_vector(system, phase, index);
        input.components += held;
        magnitudes += held.cwiseAbs();
        if (other_basis)
            add_in_file(moles * tidied(to_file * constituent_vector(system, phase, index)));
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
                magnitudes += amount.components.cwiseAbs();
                if (other_basis)
                    add_in_file(amount.file_components.size() == k
                                    ? amount.file_components
                                    : Eigen::VectorXd(to_file * amount.components));
            } else if (!add(amount.phase, amount.index, amount.moles)) {
                return err::bad_input;
            }
        }
    }
    // Where the terms cancel, what is left within their rounding (4 epsilon of their
    // magnitudes, as system components re-express each amount) becomes 0: 2e-16 mol of O2 left
    // so was taken for an input of its own, its row scaled by 1e16, and the start's programme
    // reported the input unbounded (703) for calcite in CaCO3, CO and O2.
    const auto cancelled = [](Eigen::VectorXd& sums, const Eigen::VectorXd& terms) {
        for (Eigen::Index c = 0; c < sums.size(); ++c)
            if (std::isfinite(terms[c]) &&
                std::abs(sums[c]) <= 4.0 * std::numeric_limits<double>::epsilon() * terms[c])
                sums[c] = 0.0;
    };
    cancelled(input.components, magnitudes);
    if (other_basis) {
        cancelled(in_file, file_magnitudes);
        input.file_components = std::move(in_file);
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
    // An input below the smallest normal double beside the largest is, once the input is scaled
    // to a largest entry near 1 (the minimisation's units), a subnormal with fewer digits than
    // the balance holds it to, and no double can carry its balance (a trace of 1e-320 in the
    // 100-constituent solution, or of H at 1e-308 in the C-H-O gas: 705 after the iterations
    // ran out). It is refused as an input the calculation cannot represent, not lost.
    const double largest = input.components.cwiseAbs().maxCoeff();
    for (int c = 0; c < k; ++c)
        if (input.components[c] != 0.0 &&
            std::abs(input.components[c]) < std::numeric_limits<double>::min() * largest)
            return err::bad_input;
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
        input.file_components.size() == 0
            ? minimise_gibbs_energy(calculated, input.components, input.reservoirs, start, options)
            : minimise_in_file_components(system, calculated, input, start, options);
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

namespace {

// How many independent directions of the component potentials a side's phases fix: the rank of
// the stoichiometry of the constituents that hold matter there. The minimiser places the
// potentials along the other directions where no other phase forms, a choice, not a result.
int fixed_directions(const CalculatedSystem& calculated, const Equilibrium& side) {
    std::vector<Eigen::VectorXd> rows;
    for (std::size_t i = 0; i < side.phases.size() && i < calculated.phases.size(); ++i) {
        const PhaseOutcome& outcome = side.phases[i];
        const CalculatedPhase& cp = calculated.phases[i];
        if (!outcome.active || !(outcome.amount > 0.0) || outcome.x.size() != cp.size()) continue;
        for (int j = 0; j < cp.size(); ++j)
            if (outcome.x[j] > 0.0) rows.push_back(cp.stoichiometry.col(j));
    }
    if (rows.empty()) return 0;
    Eigen::MatrixXd a(calculated.components, static_cast<Eigen::Index>(rows.size()));
    for (std::size_t r = 0; r < rows.size(); ++r) a.col(static_cast<Eigen::Index>(r)) = rows[r];
    return static_cast<int>(Eigen::FullPivLU<Eigen::MatrixXd>(a).rank());
}

bool holds_matter(const PhaseOutcome& outcome) {
    return outcome.active && outcome.amount > 0.0;
}

// The largest |ln a| under a side's potentials of the phases that hold matter only on the other.
double misfit(const Equilibrium& side, const Equilibrium& other) {
    double worst = 0.0;
    for (std::size_t i = 0; i < side.phases.size() && i < other.phases.size(); ++i)
        if (holds_matter(other.phases[i]) && !holds_matter(side.phases[i]))
            worst = std::max(worst, std::abs(side.phases[i].ln_activity));
    return worst;
}

// A phase that takes a composition other than its side's own holds a little more or less of
// each component: the amounts of the phases holding matter (and the held potentials' supplies)
// are corrected by the least change that holds the input again.
void hold_the_input(const CalculatedSystem& calculated, const Input& input, Equilibrium& state) {
    std::vector<int> holding;
    for (std::size_t i = 0; i < state.phases.size() && i < calculated.phases.size(); ++i)
        if (holds_matter(state.phases[i]) &&
            state.phases[i].x.size() == calculated.phases[i].size())
            holding.push_back(static_cast<int>(i));
    const int supplies = state.supplies.size() == static_cast<Eigen::Index>(input.reservoirs.size())
                             ? static_cast<int>(state.supplies.size())
                             : 0;
    const int n = static_cast<int>(holding.size()) + supplies;
    if (n == 0) return;
    Eigen::MatrixXd columns(calculated.components, n);
    Eigen::VectorXd amounts(n);
    for (std::size_t h = 0; h < holding.size(); ++h) {
        const PhaseOutcome& phase = state.phases[holding[h]];
        const int c = static_cast<int>(h);
        columns.col(c) = calculated.phases[holding[h]].stoichiometry * phase.x;
        amounts[c] = phase.amount;
    }
    for (int r = 0; r < supplies; ++r) {
        const int c = static_cast<int>(holding.size()) + r;
        columns.col(c) = -input.reservoirs[r].stoichiometry;
        amounts[c] = state.supplies[r];
    }
    const Eigen::VectorXd missing = input.components - columns * amounts;
    const Eigen::VectorXd change = columns.completeOrthogonalDecomposition().solve(missing);
    if (!change.allFinite()) return;
    for (std::size_t h = 0; h < holding.size(); ++h)
        state.phases[holding[h]].amount += change[static_cast<int>(h)];
    for (int r = 0; r < supplies; ++r)
        state.supplies[r] += change[static_cast<int>(holding.size()) + r];
}

// The potentials that put the constituents of the phases holding matter in `made` (its own
// state) at their planes: the least-squares fit of stoichiometry times the potentials to the
// constituents' potentials at their compositions, from the state's own potentials, which keep
// the directions no constituent fixes.
void fit_potentials(const System& system, const CalculatedSystem& calculated, const Result& made,
                    Equilibrium& state) {
    const int k = calculated.components;
    const double rt = calculated.rt();
    std::vector<Eigen::VectorXd> rows;
    std::vector<double> misses;
    for (std::size_t i = 0; i < state.phases.size() && i < made.phases.size(); ++i) {
        if (!made.phases[i].present) continue;
        for (std::size_t c = 0; c < made.phases[i].constituents.size(); ++c) {
            const ConstituentResult& constituent = made.phases[i].constituents[c];
            // Below 1e-300 the mixing term is not the fraction's (it is cut off there).
            if (!constituent.calculated || !(constituent.fraction > 1e-300)) continue;
            Eigen::VectorXd a = Eigen::VectorXd::Zero(k);
            const std::vector<double>& s = system.phases[i].constituents[c].stoichiometry;
            for (int q = 0; q < k && q < static_cast<int>(s.size()); ++q) a[q] = s[q];
            misses.push_back(constituent.g / rt - a.dot(state.zeta));
            rows.push_back(std::move(a));
        }
    }
    if (rows.empty()) return;
    Eigen::MatrixXd a(static_cast<Eigen::Index>(rows.size()), k);
    Eigen::VectorXd miss(static_cast<Eigen::Index>(rows.size()));
    for (std::size_t r = 0; r < rows.size(); ++r) {
        a.row(static_cast<Eigen::Index>(r)) = rows[r].transpose();
        miss[static_cast<Eigen::Index>(r)] = misses[r];
    }
    const Eigen::VectorXd change = a.completeOrthogonalDecomposition().solve(miss);
    if (change.allFinite()) state.zeta += change;
}

// Each phase without matter takes its least tangent-plane distance under the state's
// potentials (the second copy of a de-mixing phase beside its first).
void place_outside(const CalculatedSystem& calculated, Equilibrium& state) {
    for (std::size_t i = 0; i < state.phases.size() && i < calculated.phases.size(); ++i) {
        PhaseOutcome& outcome = state.phases[i];
        const CalculatedPhase& cp = calculated.phases[i];
        if (holds_matter(outcome) || cp.role == Role::absent || cp.size() == 0) continue;
        TangentPlaneRequest request;
        request.global = true;
        if (cp.partner >= 0 && holds_matter(state.phases[cp.partner]) &&
            state.phases[cp.partner].x.size() == cp.size())
            request.avoid = &state.phases[cp.partner].x;
        TangentPlane plane = tangent_plane(calculated, cp, state.zeta, request);
        outcome.ln_activity = plane.ln_activity;
        outcome.x = std::move(plane.x);
    }
}

// A nonideal phase's search for its least tangent-plane distance stops where its gradient is
// 1e-8, which leaves a trace constituent's fraction 1e-7 of itself off the potentials' (C at
// 1.4e-14 in the quaternary FCC and liquid: its balance stalled 8e-8 off). At the minimum each
// constituent's potential is its stoichiometry times the potentials less ln a, and a trace's
// activity coefficient is the majors': one step on its logarithm puts it there.
void refine_traces(const CalculatedSystem& calculated, const CalculatedPhase& phase,
                   const Eigen::VectorXd& zeta, TangentPlane& plane) {
    constexpr double trace = 1e-6;
    if (phase.kind != CalculatedPhase::Kind::nonideal) return;
    if (!((plane.x.array() > 0.0) && (plane.x.array() < trace)).any()) return;
    const Eigen::VectorXd mu = mixture_derivatives(calculated, phase, plane.x).mu;
    for (int j = 0; j < phase.size(); ++j) {
        if (!(plane.x[j] > 0.0 && plane.x[j] < trace)) continue;
        const double miss = phase.stoichiometry.col(j).dot(zeta) - plane.ln_activity - mu[j];
        if (std::isfinite(miss)) plane.x[j] *= std::exp(std::clamp(miss, -1.0, 1.0));
    }
    plane.x /= plane.x.sum();
    plane.m = phase.stoichiometry * plane.x;
}

// The potentials under which the phases holding matter, at their amounts in `state` and each
// at the composition of its least tangent-plane distance, hold the input and are nearest
// activity 1 (least squares, the balance first): a trace two phases share is then partitioned
// between them as its potential says, where each side held all of it in one phase. Gauss-Newton
// from the state's potentials, each step at most 1 (RT) in any of them; a component without
// input has no balance to hold and keeps its potential. False where it does not settle, or with
// held potentials (their supplies are amounts of their own).
bool partition_potentials(const CalculatedSystem& calculated, const Input& input,
                          Equilibrium& state) {
    if (!input.reservoirs.empty()) return false;
    const int k = calculated.components;
    std::vector<int> holding;
    for (std::size_t i = 0; i < state.phases.size() && i < calculated.phases.size(); ++i)
        if (holds_matter(state.phases[i]) && calculated.phases[i].role != Role::absent &&
            state.phases[i].x.size() == calculated.phases[i].size())
            holding.push_back(static_cast<int>(i));
    std::vector<int> balanced;
    for (int c = 0; c < k; ++c)
        if (input.components[c] != 0.0) balanced.push_back(c);
    if (holding.empty() || balanced.empty()) return false;
    const int nb = static_cast<int>(balanced.size());
    const int rows = nb + static_cast<int>(holding.size());
    constexpr double balance_weight = 1e6;  // of a relative balance against ln a
    constexpr int iterations = 60;
    Eigen::MatrixXd jacobian(rows, k);
    Eigen::VectorXd residual(rows);
    for (int iteration = 0; iteration < iterations; ++iteration) {
        Eigen::VectorXd held = Eigen::VectorXd::Zero(k);
        Eigen::MatrixXd held_sensitivity = Eigen::MatrixXd::Zero(k, k);
        for (std::size_t h = 0; h < holding.size(); ++h) {
            PhaseOutcome& phase = state.phases[holding[h]];
            Eigen::VectorXd start = phase.x.cwiseMax(1e-300);
            start /= start.sum();
            TangentPlaneRequest request;
            request.start = &start;
            request.sensitivity = true;
            TangentPlane plane =
                tangent_plane(calculated, calculated.phases[holding[h]], state.zeta, request);
            // A search stopped short of its tolerance by a trace is mended here and judged by
            // the state it leads to.
            if (!plane.x.allFinite() || !plane.sensitivity.allFinite()) return false;
            refine_traces(calculated, calculated.phases[holding[h]], state.zeta, plane);
            held += phase.amount * plane.m;
            held_sensitivity += phase.amount * plane.sensitivity;
            const int r = nb + static_cast<int>(h);
            residual[r] = plane.ln_activity;
            jacobian.row(r) = plane.m.transpose();
            phase.x = std::move(plane.x);
        }
        for (int b = 0; b < nb; ++b) {
            const int c = balanced[b];
            const double scale = balance_weight / std::abs(input.components[c]);
            residual[b] = scale * (held[c] - input.components[c]);
            jacobian.row(b) = scale * held_sensitivity.row(c);
        }
        Eigen::MatrixXd columns(rows, nb);
        for (int b = 0; b < nb; ++b) columns.col(b) = jacobian.col(balanced[b]);
        const Eigen::VectorXd solved = columns.completeOrthogonalDecomposition().solve(-residual);
        if (!solved.allFinite()) return false;
        Eigen::VectorXd step = Eigen::VectorXd::Zero(k);
        for (int b = 0; b < nb; ++b) step[balanced[b]] = solved[b];
        const double largest = step.cwiseAbs().maxCoeff();
        if (largest > 1.0) step /= largest;
        state.zeta += step;
        if (largest <= 1e-13) return true;
    }
    return false;
}

}  // namespace

int transition_state(const System& system, const CalculationState& state, const Input& given,
                     const Point& point, const Equilibrium& lower, const Equilibrium& upper,
                     double share, LeverPotentials potentials, Result& result) {
    Input input = given;
    hold_potentials(system, point.temperature, point.pressure, input);
    const CalculatedSystem calculated =
        calculate_system(system, point.temperature, point.pressure, point.overrides);
    // The state's potentials are one side's, and a phase that holds matter on one side only
    // takes the composition those potentials give it (its own there, or where it is absent on
    // that side the composition of its least tangent-plane distance): so each is at its plane
    // to what the minimisation resolved on that side. The side whose phases fix more directions of
    // the potentials gives them (calcite alone leaves the oxygen potential to a placement that lime
    // and the gas, on the other side, fix); of two that fix as many, the one under whose
    // potentials the other side's phases are nearer activity 1.
    const int fixed_below = fixed_directions(calculated, lower);
    const int fixed_above = fixed_directions(calculated, upper);
    const bool from_above =
        fixed_above > fixed_below ||
        (fixed_above == fixed_below && misfit(upper, lower) < misfit(lower, upper));
    const Equilibrium& fixing = from_above ? upper : lower;
    const Equilibrium& other = from_above ? lower : upper;
    const bool fitted = potentials != LeverPotentials::one_side;
    Equilibrium mixed = fixing;
    mixed.iterations = std::max(lower.iterations, upper.iterations);
    for (std::size_t i = 0; i < mixed.phases.size() && i < other.phases.size(); ++i) {
        const PhaseOutcome& below = lower.phases[i];
        const PhaseOutcome& above = upper.phases[i];
        PhaseOutcome& out = mixed.phases[i];
        const double n_below = below.active ? (1.0 - share) * below.amount : 0.0;
        const double n_above = above.active ? share * above.amount : 0.0;
        out.active = below.active || above.active;
        out.amount = n_below + n_above;
        if (!(out.amount > 0.0)) continue;
        out.ln_activity = 0.0;
        // A phase holding matter on both sides: the mix of its two compositions, which keeps
        // the balance (beside a solvus they differ by far more than the potentials resolve,
        // where the phase's potentials hardly move with its composition).
        if (holds_matter(below) && holds_matter(above) && below.x.size() == above.x.size()) {
            out.x = ((n_below * below.x + n_above * above.x) / out.amount).eval();
            continue;
        }
        // Fitted: the composition of the side that holds it, so that the state, a mix of
        // two that hold the input, holds it too.
        if (fitted && holds_matter(other.phases[i])) out.x = other.phases[i].x;
        // A phase the fixing side keeps out entirely (no composition there): the other's.
        if (out.x.size() != calculated.phases[i].size()) out.x = other.phases[i].x;
    }
    if (lower.supplies.size() == upper.supplies.size())
        mixed.supplies = (1.0 - share) * lower.supplies + share * upper.supplies;
    if (!fitted) hold_the_input(calculated, input, mixed);
    Result made = make_result(system, calculated, mixed, input, state.streams);
    if (fitted && representable(made)) {
        fit_potentials(system, calculated, made, mixed);
        if (potentials == LeverPotentials::partitioned &&
            partition_potentials(calculated, input, mixed))
            hold_the_input(calculated, input, mixed);
        place_outside(calculated, mixed);
        made = make_result(system, calculated, mixed, input, state.streams);
    }
    if (!representable(made)) return calculation_error(system, calculated, state.streams);
    result = std::move(made);
    return 0;
}

}  // namespace eqx::equilibrium
