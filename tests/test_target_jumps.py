"""Targets whose function jumps at a phase change. An extensive property runs across its jump at
one temperature, the transition's: the target is met there with the reaction partly made, the
lever between the two sides computed here from the stored data. Any other target that the
function jumps past is not met (711), never reported met where it is not."""

import math

import numpy as np
import pytest

from equilibrium_certificate import (State, calculate, certify, locate, open_system, read_result,
                                     set_state)
from equilibrium_reference import load_system, tangent_plane_distance
from equilibrium_support import R, bisect, load, ok, standard_g, standard_hs
from equilibrium_support import tests_data_dir  # noqa: F401 - a fixture

# Water: H2O gas (phase 1, constituent 3) over liquid water (phase 2), 1 mol H2O. Limestone:
# CaCO3 (phase 2) = CaO (phase 3) + CO2 (gas, phase 1, constituent 1), 1 mol CaCO3.
SYSTEMS = {
    "water": {"amounts": (2.0, 1.0), "lower": [(2, 1)], "upper": [(1, 3)], "gas": 1,
              "window": (300.0, 450.0)},
    "limestone": {"amounts": (1.0, 1.0, 3.0), "lower": [(2, 1)], "upper": [(3, 1), (1, 1)],
                  "gas": 1, "window": (1000.0, 1300.0)},
}


def loaded(engine, sample_data_dir, name):
    load(engine, sample_data_dir / f"{name}.dat")
    for k, amount in enumerate(SYSTEMS[name]["amounts"], start=1):
        engine.tqsetc("IA", 0, k, amount)
    return engine


def side(engine, substances, t, quantity):
    """H (J), S (J/K) or V (dm3) of one mole of each substance at t and 1 bar, from the stored
    data: the gas ideal, condensed phases M / density (no expansion data in the samples)."""
    total = 0.0
    for phase, constituent in substances:
        h, s = standard_hs(engine, phase, constituent, t)
        if quantity == "H":
            total += h
        elif quantity == "S":
            total += s
        elif phase == 1:
            total += R * t / 1e5 * 1e3
        else:
            molar_mass = engine.tqstpc(phase, constituent)[0]
            total += molar_mass / engine.tqgdat(phase, constituent, "V", 1)[0] * 1e-3
    return total


def transition(engine, name):
    """The temperature at which the two sides have the same G (both at 1 bar)."""
    system = SYSTEMS[name]

    def difference(t):
        return (sum(standard_g(engine, p, c, t) for p, c in system["upper"]) -
                sum(standard_g(engine, p, c, t) for p, c in system["lower"]))

    return bisect(difference, *system["window"])


# (system, target, share of the way from the lower side's value to the upper side's, tolerance of
# the amounts). The sides' values move with the temperature's resolution (below): by Cp dT, 1e-8
# of the jump for water. In limestone's gas CO2 holds some 7e-6 CO and O2, which the sides here
# leave out: the amounts there are checked to 1e-4, the temperature to 1e-6 of itself.
CASES = [
    ("water", "H", 0.3, 1e-7),
    ("water", "S", 0.6, 1e-7),
    ("water", "V", 0.5, 1e-7),
    ("limestone", "H", None, 1e-4),  # -1.0e6 J
    ("limestone", "S", 0.25, 1e-4),
    ("limestone", "V", 0.8, 1e-4),
]


@pytest.mark.parametrize("name, quantity, share, tolerance", CASES)
def test_an_extensive_target_inside_the_jump_is_met_at_the_transition(engine, sample_data_dir,
                                                                     name, quantity, share,
                                                                     tolerance):
    e = loaded(engine, sample_data_dir, name)
    system = SYSTEMS[name]
    t = transition(e, name)
    low = side(e, system["lower"], t, quantity)
    high = side(e, system["upper"], t, quantity)
    value = -1.0e6 if share is None else low + share * (high - low)
    expected_share = (value - low) / (high - low)
    assert 0.0 < expected_share < 1.0
    e.tqsetc(quantity, 0, 0, value)
    e.calc_Ttarget(estimate=(t - 150.0, 0.0))
    ok(e)
    # The calculation places potentials to about 1e-7 of R T, and so a transition to where ln a
    # of the side that is not stable is that close to 0: within 1e-6 of R T here.
    resolution = R * t * 1e-6 / abs(side(e, system["upper"], t, "S") -
                                    side(e, system["lower"], t, "S"))
    assert e.temperature == pytest.approx(t, abs=resolution if name == "water" else t * 1e-6)
    assert e.tqgetr(quantity, 0, 0) == pytest.approx(value, rel=1e-9)
    lower_phase = system["lower"][0][0]
    upper_phase = system["upper"][0][0]
    assert e.tqgetr("A", lower_phase, 0) == pytest.approx(1.0 - expected_share, abs=tolerance)
    assert e.tqgetr("A", upper_phase, 0) == pytest.approx(expected_share, abs=tolerance)
    assert e.tqgetr("A", system["gas"], 0) == pytest.approx(expected_share, abs=tolerance)
    # A plain calculation at the found temperature gives the lower side of the transition.
    e.remove_condition(3)
    e.calc()
    ok(e)
    assert e.tqgetr("A", lower_phase, 0) == pytest.approx(1.0, abs=tolerance)


def test_a_phase_target_inside_its_jump_is_met_at_the_transition(engine, sample_data_dir):
    # The gas phase's H: nothing below the boiling point, one mole of vapour above.
    e = loaded(engine, sample_data_dir, "water")
    t = transition(e, "water")
    vapour = standard_hs(e, 1, 3, t)[0]
    e.tqsetc("H", 1, 0, 0.4 * vapour)
    e.calc_Ttarget(estimate=(350.0, 0.0))
    ok(e)
    assert e.temperature == pytest.approx(t, abs=1e-4)
    assert e.tqgetr("A", 1, 0) == pytest.approx(0.4, abs=1e-7)
    assert e.tqgetr("A", 2, 0) == pytest.approx(0.6, abs=1e-7)


# (system, target option, phase, constituent, value): functions that jump past the value at the
# transition. At the boiling point of pure water the fugacities of O2 and H2 go from what the
# placed potentials of liquid water alone give to what the vapour's dissociation gives, many
# orders apart; the value lies between.
JUMPS = [
    ("water", "AT", 1, 2, 1e-12),  # O2: about 2e-7 bar below, 6e-22 bar above
    ("water", "AT", 1, 1, 1e-25),  # H2: about 7e-29 bar below, 1e-21 bar above
]


@pytest.mark.parametrize("name, option, phase, constituent, value", JUMPS)
def test_a_target_its_function_jumps_past_is_not_met(engine, sample_data_dir, name, option, phase,
                                                     constituent, value):
    e = loaded(engine, sample_data_dir, name)
    low, high = SYSTEMS[name]["window"]
    e.tqclim("TLOW", low)
    e.tqclim("THIGH", high)
    e.tqsetc(option, phase, constituent, value)
    e.calc_Ttarget(estimate=(0.5 * (low + high), 0.0))
    assert e.last_error == 711
    e.last_error = 0
    e.tqgetr("T", 0, 0)
    assert e.last_error == 516  # no result, as after any failed calculation


@pytest.mark.parametrize("fugacity", [0.1, 0.01, 1e-3, 1e-4, 1e-5, 5e-6, 4.8e-6, 1e-6])
def test_a_fugacity_target_across_the_decomposition_is_met_or_refused(engine, sample_data_dir,
                                                                      fugacity):
    # CO over calcite, from 1000 K: wherever the search ends, a success meets the target.
    e = loaded(engine, sample_data_dir, "limestone")
    e.tqsetc("AT", 1, 2, fugacity)
    e.calc_Ttarget(estimate=(1000.0, 0.0))
    if e.last_error == 711:
        return
    ok(e)
    assert math.log(e.tqgetr("AC", 1, 2) / fugacity) == pytest.approx(0.0, abs=1e-6)


def widest_co2_fugacity(engine, t):
    """The largest CO2 fugacity (bar) of a gas of CO2, CO and O2 below activity 1 at t: along
    the free oxygen potential p(CO) + p(O2) is least where p(CO) = 2 p(O2) (its derivative in
    ln p(O2) vanishes there), and p(CO) sqrt(p(O2)) = K p(CO2); so with p(O2) = q,
    2 q^1.5 = K (1 - 3 q)."""
    k = math.exp(-(standard_g(engine, 1, 2, t) + 0.5 * standard_g(engine, 1, 3, t) -
                   standard_g(engine, 1, 1, t)) / (R * t))
    q = bisect(lambda q: 2.0 * q**1.5 - k * (1.0 - 3.0 * q), 0.0, 1.0 / 3.0, 1e-17)
    return 1.0 - 3.0 * q


def lime_ln_activity(engine, t):
    """ln a of CaO beside calcite alone at t, the least the gas allows: CO2 at its widest."""
    return ((standard_g(engine, 2, 1, t) - standard_g(engine, 3, 1, t) -
             standard_g(engine, 1, 1, t)) / (R * t) - math.log(widest_co2_fugacity(engine, t)))


def limestone_amounts(engine, sample_data_dir):
    load(engine, sample_data_dir / "limestone.dat")
    for k, amount in enumerate((1.0, 1.0, 3.0), start=1):
        engine.tqsetc("IA", 0, k, amount)
    return engine


# (phase the target forms, estimate): lime and the gas both form at calcite's decomposition.
FORMING = [(phase, estimate) for phase in (3, 1) for estimate in (300.0, 1000.0, 1500.0, 2000.0)]


@pytest.mark.parametrize("phase, estimate", FORMING,
                         ids=[f"{'lime' if p == 3 else 'gas'}-from-{t:g}K" for p, t in FORMING])
def test_a_formation_target_over_calcite_lands_on_its_decomposition(engine, sample_data_dir,
                                                                    phase, estimate):
    # Calcite alone leaves the potentials along CO2 free. The phase a formation target keeps
    # out is at the lowest activity the other phases allow there, and so reaches 1 only at the
    # decomposition, from any estimate (not where a placement of the free potentials happens
    # to put it): lime when CO2 is at the widest fugacity the gas allows, the gas when CO2 is
    # at the least that lime allows - the same temperature.
    e = limestone_amounts(engine, sample_data_dir)
    decomposition = bisect(lambda t: lime_ln_activity(e, t), 1000.0, 1300.0, 1e-13)
    h = [standard_hs(e, p, 1, decomposition)[0] for p in (1, 2, 3)]
    # The target's tolerance, 1e-6 in ln a, in kelvin: d ln a / dT = dH / (R T^2).
    resolution = 1e-6 * R * decomposition**2 / (h[0] + h[2] - h[1])
    e.tqsetc("A", phase, 0, 0.0)
    e.calc_Ttarget(estimate=(estimate, 0.0))
    ok(e)
    found = e.temperature
    assert found == pytest.approx(decomposition, abs=resolution)
    for forming in (1, 3):
        assert math.log(e.tqgetr("AC", forming, 0)) == pytest.approx(0.0, abs=1e-6)
    assert e.tqgetr("AC", 1, 1) == pytest.approx(widest_co2_fugacity(e, found), rel=1e-6)
    assert e.tqgetr("A", phase, 0) == 0.0
    # Plain calculations: calcite alone just below, all of it decomposed just above (the gas
    # a mole of CO2 and the few 1e-6 mol that its dissociation adds).
    for t, decomposed in ((found - 1e-3, 0.0), (found + 1e-3, 1.0)):
        plain = limestone_amounts(engine, sample_data_dir)
        plain.tqsetc("T", 0, 0, t)
        plain.calc()
        ok(plain)
        assert plain.tqgetr("A", 2, 0) == pytest.approx(1.0 - decomposed, abs=1e-9)
        assert plain.tqgetr("A", 3, 0) == pytest.approx(decomposed, abs=1e-9)
        assert plain.tqgetr("A", 1, 0) == pytest.approx(decomposed, abs=1e-5)


# The de-mixing system's first FCC copy (phase 2; phase 3 is its second copy) forms from the liquid
# of the input's composition, on cooling. Below that the solid holds everything: there a target
# that kept out only the first copy found the second in its place and the first at activity 1
# with amount 0 at any temperature (1277.5 K from an estimate of 1327.5 K).
DEMIXING_INPUT = (1.9605719171244003, 0.3790000772532235)


def formation_temperature(engine, path, amounts, phase, estimate):
    """The temperature a formation target ("A" = 0) on the phase finds from the estimate."""
    load(engine, path)
    for k, amount in enumerate(amounts, start=1):
        engine.tqsetc("IA", 0, k, amount)
    engine.tqsetc("A", phase, 0, 0.0)
    engine.calc_Ttarget(estimate=(estimate, 0.0))
    ok(engine)
    return engine.temperature


@pytest.mark.parametrize("estimate", [1277.5, 1300.0, 1327.5, 1335.0, 1400.0])
def test_a_formation_target_on_a_demixing_phase_finds_where_it_forms(engine, tests_data_dir,
                                                                     estimate):
    path = tests_data_dir / "demixing.dat"
    model = load_system(path)
    liquid, fcc = model.phase("LIQUID"), model.phase("FCC#1")
    x = np.array(DEMIXING_INPUT) / sum(DEMIXING_INPUT)

    def fcc_ln_activity(t):
        # At the potentials of the liquid alone, the solid's lowest tangent-plane distance.
        return -tangent_plane_distance(fcc, t, 1.0, liquid.potentials(x, t, 1.0))[0] / (R * t)

    forms = bisect(fcc_ln_activity, 1300.0, 1337.0, 1e-13)
    found = formation_temperature(engine, path, DEMIXING_INPUT, 2, estimate)
    assert fcc_ln_activity(found) == pytest.approx(0.0, abs=1e-6)
    assert found == pytest.approx(forms, abs=1e-3)
    assert engine.tqgetr("A", 2, 0) == 0.0 and engine.tqgetr("A", 3, 0) == 0.0
    assert engine.tqgetr("A", 1, 0) == pytest.approx(sum(DEMIXING_INPUT), rel=1e-12)


def second_minimum(phase, t, x):
    """Of the binary solid at t, on the tangent plane at composition x, the lowest distance (J/mol)
    of a local minimum apart from x itself (inf where there is none): a fine scan of x_B, each
    minimum refined by golden sections."""
    plane = phase.potentials(x, t, 1.0)
    y = np.linspace(1e-9, 1.0 - 1e-9, 4001)

    def distance(b):
        x = np.stack([1.0 - np.asarray(b, dtype=float), np.asarray(b, dtype=float)], axis=-1)
        return phase.gibbs(x, t, 1.0) - x @ plane

    d = distance(y)
    best = math.inf
    for i in np.nonzero((d[1:-1] < d[:-2]) & (d[1:-1] < d[2:]))[0] + 1:
        low, high = y[i - 1], y[i + 1]
        for _ in range(100):
            a, b = high - 0.618 * (high - low), low + 0.618 * (high - low)
            if distance(a) < distance(b):
                high = b
            else:
                low = a
        if abs(0.5 * (low + high) - x[1]) > 1e-3:
            best = min(best, float(distance(0.5 * (low + high))))
    return best


# (input, temperature at which the solid alone holds it, bracket of its solvus): the second copy
# (phase 3) forms where the gap reaches the input's composition on cooling. Above that, inside
# the solid's one-phase field, it has no minimum of its own beside the first copy: the target
# took its activity there, that of the first copy, 1, and was met at any temperature.
SOLVUS = [((0.06706117912398014, 0.08190200291262617), (1065.0, 1130.0)),
          ((0.3975003055338631, 0.6144117253787384), (1080.0, 1135.0))]


@pytest.mark.parametrize("amounts, window", SOLVUS)
@pytest.mark.parametrize("estimate", [1000.0, 1150.0, 1250.0])
def test_a_formation_target_on_the_second_copy_finds_the_gap(engine, tests_data_dir, amounts,
                                                             window, estimate):
    path = tests_data_dir / "demixing.dat"
    fcc = load_system(path).phase("FCC#1")
    x = np.array(amounts) / sum(amounts)
    solvus = bisect(lambda t: -second_minimum(fcc, t, x), *window, 1e-9)
    found = formation_temperature(engine, path, amounts, 3, estimate)
    assert found == pytest.approx(solvus, abs=1e-4)
    assert engine.tqgetr("A", 3, 0) == 0.0
    assert engine.tqgetr("A", 2, 0) == pytest.approx(sum(amounts), rel=1e-12)


def decomposition_gas(engine, t):
    """The gas calcite gives off at t, per mole of C: CO2 with its dissociation at the CO2
    fugacity lime allows, p(CO) = 2 p(O2) (C and O as in CO2): (moles, H in J)."""
    q = (1.0 - widest_co2_fugacity(engine, t)) / 3.0
    moles = 1.0 / (1.0 - q)
    fractions = (1.0 - 3.0 * q, 2.0 * q, q)
    h = sum(x * standard_hs(engine, 1, c, t)[0] for c, x in enumerate(fractions, start=1))
    return moles, moles * h


@pytest.mark.parametrize("estimate", [1161.4430798538344, 1011.0])
def test_the_lever_state_across_calcites_decomposition_is_an_equilibrium(engine, sample_data_dir,
                                                                         estimate):
    # Calcite alone fixes one combination of the potentials and leaves the oxygen potential to a
    # placement; lime and the gas on the other side fix all three. The lever state holds all
    # three phases, and so carries the potentials lime and the gas fix: with the placed ones
    # its gas was 0.004 RT (CO) and 0.009 RT (O2) off them, reported with error 0.
    system = open_system(engine, sample_data_dir / "limestone.dat")
    e = limestone_amounts(engine, sample_data_dir)
    decomposition = bisect(lambda t: lime_ln_activity(e, t), 1000.0, 1300.0, 1e-13)
    gas_moles, gas_h = decomposition_gas(e, decomposition)
    below = standard_hs(e, 2, 1, decomposition)[0]
    above = standard_hs(e, 3, 1, decomposition)[0] + gas_h
    share = 0.3
    e.tqsetc("H", 0, 0, below + share * (above - below))
    e.calc_Ttarget(estimate=(estimate, 0.0))
    ok(e)
    t = e.temperature
    # The sides change within ln a 1e-8 of each other's phases: in kelvin, by dH / (R T^2).
    assert t == pytest.approx(decomposition, abs=1e-8 * R * decomposition**2 / (above - below))
    result = read_result(e, system, State(t, 1.0, (1.0, 1.0, 3.0)))
    assert certify(system, result) == []
    # The lever rule over the two sides' amounts at the decomposition.
    assert result.phase_amounts[1] == pytest.approx(1.0 - share, abs=1e-7)
    assert result.phase_amounts[2] == pytest.approx(share, abs=1e-7)
    assert result.phase_amounts[0] == pytest.approx(share * gas_moles, abs=1e-7)


def enthalpy_of(system, result, t, p=1.0, dt=1e-3):
    """H of a result's phases at their reported amounts and compositions, from the stored data:
    G - T dG/dT of each phase at its composition, the derivative a central difference."""
    total = 0.0
    for phase, amounts in zip(system.phases, result.amounts):
        moles = float(np.sum(amounts))
        if moles > 0:
            x = amounts / moles
            slope = (phase.gibbs(x, t + dt, p) - phase.gibbs(x, t - dt, p)) / (2 * dt)
            total += moles * (phase.gibbs(x, t, p) - t * slope)
    return total


# Lever states whose sides both fix the potentials, each within what the minimisation resolves
# of the other's phases (the leaving ones 1e-8 RT off the forming phase's potentials on the other
# side): each phase takes the composition the state's potentials give it. The change is located
# here by bisection of single calculations; H is the target half-way across its jump.
LEVERS = [
    ("eutectic.dat", (6.366120703209483, 0.1391633080219018), 775.5443161459308, 1.0),
    ("carbide.dat", (0.0053070798741335235, 0.9724693419342253, 0.02859302326034275),
     2161.0389947192, 1.0),
    # The solvus beside the critical point: the lever between the two sides mixes the copies'
    # compositions 0.005 apart, off their plane; the state shares A between them anew (711
    # before).
    ("demixing.dat", (3.25, 5.0), 1103.817740590317, 1.0),
    # FCC leaves and D_S forms with 1.4e-14 of C in the FCC and the liquid: the search for a
    # phase's least tangent-plane distance left C's fraction 1e-7 of itself off, and its balance
    # could not be held (711 before).
    ("quaternary.dat", (0.7215036061451342, 0.15937704427945254, 1.4419281365282475e-14,
                        0.8842702470050603), 1699.6725577826383, 8.309074979770978),
    # The liquid forms beside CARBIDE and A_S with 3.3e-13 of C, no phase leaving: the search
    # ended on neighbouring temperatures without and with it (711 before).
    ("carbide.dat", (0.6666399146533888, 0.05425013074342133, 3.301063174784285e-13),
     1566.2306966382107, 1.0),
]


@pytest.mark.parametrize("file_name, amounts, near, p", LEVERS, ids=[c[0] for c in LEVERS])
def test_the_lever_state_of_an_enthalpy_target_is_an_equilibrium(engine, tests_data_dir,
                                                                  file_name, amounts, near, p):
    system = open_system(engine, tests_data_dir / file_name)
    low, high, below, above = locate(engine, system, lambda t: State(t, p, amounts), near - 1.0,
                                     near + 1.0, 1e-13)
    h = [calculate(engine, system, State(t, p, amounts)).h for t in (low - 1e-3, high + 1e-3)]
    set_state(engine, system, State(low - 20.0, p, amounts))
    engine.tqsetc("H", 0, 0, 0.5 * (h[0] + h[1]))
    engine.calc_Ttarget(estimate=(low, 0.0))
    ok(engine)
    t = engine.temperature
    assert low - 1e-6 <= t <= high + 1e-6
    result = read_result(engine, system, State(t, p, amounts))
    assert certify(system, result) == []
    assert result.assemblage == below | above  # both sides' phases: the reaction partly made
    assert enthalpy_of(system, result, t, p) == pytest.approx(0.5 * (h[0] + h[1]), rel=1e-8)


# (data file, inputs, the liquid and the solid constituent of the component that melts, H target
# (J), estimate of T). A trace of A (1e-12, 1e-10 of B) spreads B's melting over ~4e-10 K, fewer
# kelvin than the energies resolve: the two sides the search ends on both hold the liquid, its
# trace at compositions 1e-9 and 1e-12, so the state meeting the target is a liquid whose trace
# potential is neither side's. A de-mixing solid melting pure: its second copy stood in for the
# first above the melting point, so no upper side was found. A trace of B in the solid and the
# liquid of A: each side held all of it in one phase, the lever state shares it between the two.
# 1e-9 of B in A: the search ended on two neighbouring temperatures both beside the liquid, H
# 0.003 J apart. Each ended with 711.
MELTING_LEVERS = [
    ("eutectic.dat", (1e-12, 1.0), ("LIQUID", 1), ("B_S", 0), 57688.901804330024,
     1532.119656351927),
    ("eutectic.dat", (1e-10, 1.0), ("LIQUID", 1), ("B_S", 0), 60029.96641954617,
     1532.1196563149128),
    ("demixing.dat", (0.0, 1.0), ("LIQUID", 1), ("FCC#1", 1), 54655.93037157465,
     1727.4403383386718),
    ("demixing.dat", (1.0, 0.0), ("LIQUID", 0), ("FCC#1", 0), 35629.28406631388,
     1336.528221502701),
    ("demixing.dat", (0.2972552983555117, 4.842471252966945e-12), ("LIQUID", 0), ("FCC#1", 0),
     10590.993465603056, 1300.0),
    ("eutectic.dat", (0.9063309441259652, 1.6762349741630322e-09), ("LIQUID", 0), ("A_S", 0),
     18857.05936270155, 800.0),
]


@pytest.mark.parametrize("file_name, amounts, liquid, solid, target, estimate", MELTING_LEVERS,
                         ids=["eutectic-A-1e-12", "eutectic-A-1e-10", "demixing-B", "demixing-A",
                              "demixing-B-shared", "eutectic-B-1.7e-9"])
def test_an_enthalpy_target_across_a_melting_is_met_by_liquid_and_solid(
        engine, tests_data_dir, file_name, amounts, liquid, solid, target, estimate):
    system = open_system(engine, tests_data_dir / file_name)
    (liquid_name, j), (solid_name, i) = liquid, solid
    liquid_phase, solid_phase = system.phase(liquid_name), system.phase(solid_name)

    def g_liquid_minus_solid(t):
        return liquid_phase.standard_gibbs(t, 1.0)[j] - solid_phase.standard_gibbs(t, 1.0)[i]

    melting = bisect(g_liquid_minus_solid, estimate - 50.0, estimate + 50.0, 1e-15)
    dt = 1e-3
    latent = -melting * (g_liquid_minus_solid(melting + dt) -
                         g_liquid_minus_solid(melting - dt)) / (2 * dt)
    set_state(engine, system, State(estimate - 20.0, 1.0, amounts))
    engine.tqsetc("H", 0, 0, target)
    engine.calc_Ttarget(estimate=(estimate, 0.0))
    ok(engine)
    t = engine.temperature
    result = read_result(engine, system, State(t, 1.0, amounts))
    assert certify(system, result) == []
    assert enthalpy_of(system, result, t) == pytest.approx(target, rel=1e-8)
    assert {name.split("#")[0] for name in result.assemblage} == {
        liquid_name, solid_name.split("#")[0]}
    # The liquid's trace x lowers the melting by x R T^2 / dH (x <= 4e-9 here): within ln a
    # 1e-8 of the pure component's.
    assert t == pytest.approx(melting, abs=1e-8 * R * melting**2 / latent)


def test_an_enthalpy_target_with_the_pressure_as_the_variable_is_met_across_a_trace_change(
        engine, tests_data_dir):
    # ab.dat at 2328.889 K with 2.4e-13 of B: A_S goes into the SL phase at ~19825.5 bar, the
    # trace held by SL on both sides at compositions the lever's SL does not have (711 before).
    system = open_system(engine, tests_data_dir / "ab.dat")
    t, amounts = 2328.8891113898735, (0.8196637622803685, 2.3534422207234164e-13)
    low, high, below, above = locate(engine, system, lambda p: State(t, p, amounts), 19825.0,
                                     19826.0, 1e-13)
    assert below == {"SL", "A_S"} and above == {"SL"}
    h = [calculate(engine, system, State(t, p, amounts)).h
         for p in (low * (1 - 1e-6), high * (1 + 1e-6))]
    target = 0.5 * (h[0] + h[1])
    set_state(engine, system, State(t, 8576.95898590896, amounts))
    engine.tqsetc("H", 0, 0, target)
    engine.tqce("P", 0, 0, (15848.931924611175, 0.0))
    ok(engine)
    p = engine.tqgetr("P", 0, 0)
    assert p == pytest.approx(low, rel=1e-6)
    result = read_result(engine, system, State(t, p, amounts))
    assert certify(system, result) == []
    assert result.assemblage == below
    assert enthalpy_of(system, result, t, p) == pytest.approx(target, rel=1e-8)


# (data file, inputs, P, fraction target (phase, constituent, value), estimate of T): the phase
# alone holds the input over a range of T, where its fraction is the input's and the target is
# met at every T. The search ended where the phase was absent (4288 K, 576 K), its composition
# there that of its tangent plane's minimum, and reported that state with error 0.
FRACTION_WHERE_ABSENT = [
    ("demixing.dat", (0.9021313681408976, 0.0260125531981088), 1.0, (2, 1, 0.9719735780194722),
     1167.4140824464282),
    ("quaternary.dat", (0.14945056591971662, 0.6670708871748086, 0.7209081350745514,
                        0.47725755675712367), 6689.401775552216, (1, 3, 0.3578263438519923),
     2517.788799840649),
]


@pytest.mark.parametrize("file_name, amounts, p, target, estimate", FRACTION_WHERE_ABSENT)
def test_a_fraction_target_is_never_met_in_an_absent_phase(engine, tests_data_dir, file_name,
                                                          amounts, p, target, estimate):
    load(engine, tests_data_dir / file_name)
    for k, amount in enumerate(amounts, start=1):
        engine.tqsetc("IA", 0, k, amount)
    engine.tqsetc("P", 0, 0, p)
    phase, constituent, value = target
    engine.tqsetc("XT", phase, constituent, value)
    engine.calc_Ttarget(estimate=(estimate, 0.0))
    if engine.last_error == 0:
        assert engine.tqgetr("A", phase, 0) > 0.0
        assert engine.tqgetr("A", phase, constituent) / engine.tqgetr("A", phase, 0) == \
            pytest.approx(value, rel=1e-6)
        ok(engine)
    else:
        assert engine.last_error == 711
