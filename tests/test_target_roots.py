"""Which state a target search returns where its range holds more than one: a target with an
incoming amount as the variable takes the root nearest the amount's lower limit, also where the
two limits show no sign change; a target met over an interval of the variable is met where the
search meets it; a pressure target with a held potential passes over pressures without an
equilibrium and finds a phase's window of stability between its steps. Every root is located here by bisection of single calculations, every state
found certified."""

import math

import pytest

from equilibrium_certificate import State, calculate, certify, open_system, read_result, set_state
from equilibrium_reference import R
from equilibrium_support import bisect, ok
from equilibrium_support import tests_data_dir  # noqa: F401 - a fixture


def amount_search(engine, system, t, p, amounts, component, limits, target):
    """The input of the component (1-based) at which the target (option, phase, value) is met,
    searched between the limits, and the result there (kept once the target is removed)."""
    set_state(engine, system, State(t, p, amounts))
    ok(engine)
    option, phase, value = target
    number = engine.tqsetc(option, phase, 0, value)
    engine.tqce("IA", 0, component, limits)
    ok(engine)
    found = engine.tqgetr("IA", 0, component)
    state = list(amounts)
    state[component - 1] = found
    result = read_result(engine, system, State(t, p, tuple(state)))
    engine.tqremc(number)
    ok(engine)
    return found, result


def presence_change(engine, system, t, p, amounts, phase, component, low, high):
    """Where single calculations change whether the phase holds matter, between low and high."""

    def present(value):
        state = list(amounts)
        state[component - 1] = value
        result = calculate(engine, system, State(t, p, tuple(state)))
        assert result.error == 0
        return 1.0 if result.phase_amounts[phase - 1] > 0.0 else -1.0

    return bisect(present, low, high, 1e-12)


CARBIDE = ("carbide.dat", 1902.7218122985846, 1.0,
           (0.5926390386439759, 0.4123240794486305, 0.41124332319441836), "B2C", 1)
CHO_GAS = ("cho_gas.dat", 1215.7802167772145, 0.16556227232332216,
           (0.6728365329126367, 0.8426122412539531, 0.0), "GRAPHITE", 1)
CHO_GAS_O = ("cho_gas.dat", 1395.7493009843884, 1.6973523223976559,
             (0.331036583966558, 2.0030140942317573e-12, 0.8986117897313752), "GRAPHITE", 3)
LIMESTONE = ("data/limestone.dat", 1873.260961548764, 0.012595216637536603,
             (1.3212387909007914e-13, 0.07854395399429537, 0.37113721838663993), "C(graphite)", 2)
CARBIDE_B_S = ("carbide.dat", 1299.7689775934612, 1.0,
               (3.2819680064788387e-10, 0.5466040844042966, 0.6220899123251782), "B_S", 3)
DEMIXING = ("demixing.dat", 324.01730365908844, 1.0, (3.930374247429824e-13, 0.9376618860799),
            "FCC#2", 1)

# (system, T, P, inputs, phase, component; limits of the component's input; a window holding
# one change of the phase's presence in single calculations). B2C forms at about 0.022 mol of
# A and leaves again at about 0.34: over (0, 1.285) and (0, 0.5) both limits' trials are without
# B2C, and the search ended there with 709 and 713. Graphite forms at 6.5e-4 mol of C beside the
# gas of H; kept out, the gas cannot hold the carbon of the upper limit, whose trial's 705 ended
# the search. With O the variable, graphite forms where the gas's CO and a little CO2 reach its
# activity, at 1.003 times the carbon's input; below the carbon's the gas kept apart from it
# cannot hold the carbon (705, from the lower limit up to there), and the search ended on the
# lower limit's trial. In limestone's gas graphite forms at C just below the oxygen's input, its
# ln a so steep there that the middle of the final bracket was 4.3e-7 off. FCC#2 forms at 7e-5
# of A at 324 K; kept out, FCC#1 alone across the gap failed (705) inside the bracket. B_S leaves
# the carbide's B2C + B_S + CARBIDE field where its ln a, B_S kept out, runs down steeply: an end
# of the final bracket lies 6e-7 above 0 there, a state with B_S above activity 1.
AMOUNT_ROOTS = [
    (CARBIDE, (0.0, 1.2852780772879517), (0.0, 0.043)),
    (CARBIDE, (0.0, 0.5), (0.0, 0.043)),
    (CARBIDE, (0.05, 1.2852780772879517), (0.05, 1.0)),  # B2C at the lower limit: it leaves
    (CHO_GAS, (0.0, 1.7852245064), (0.0, 0.01)),
    (CHO_GAS_O, (0.0, 1.8972235795627505), (0.331, 0.36)),
    (LIMESTONE, (0.0, 0.8422744367732799), (0.35, 0.38)),
    (DEMIXING, (0.0, 1.9753237721598), (0.0, 0.01)),
    (CARBIDE_B_S, (0.0, 1.3441798246503564), (0.26, 0.41)),
]


@pytest.mark.parametrize("system_state, limits, window", AMOUNT_ROOTS,
                         ids=["carbide-0-1.285", "carbide-0-0.5", "carbide-0.05-1.285",
                              "cho_gas-graphite-by-C", "cho_gas-graphite-by-O",
                              "limestone-graphite", "demixing-FCC#2", "carbide-B_S-by-C"])
def test_an_amount_target_takes_the_root_nearest_the_lower_limit(engine, tests_data_dir,
                                                                 sample_data_dir, system_state,
                                                                 limits, window):
    file_name, t, p, amounts, phase_name, component = system_state
    directory, file_name = ((sample_data_dir, file_name[5:]) if file_name.startswith("data/")
                            else (tests_data_dir, file_name))
    system = open_system(engine, directory / file_name)
    phase = [q.name for q in system.phases].index(phase_name) + 1
    found, result = amount_search(engine, system, t, p, amounts, component, limits,
                                  ("A", phase, 0.0))
    assert certify(system, result) == []
    assert result.phase_amounts[phase - 1] == 0.0
    assert engine.tqgetr("AC", phase, 0) == pytest.approx(1.0, abs=1e-6)
    change = presence_change(engine, system, t, p, amounts, phase, component, *window)
    assert found == pytest.approx(change, abs=1e-7)


# (data file, inputs, P, fraction target (phase, constituent, its component, value), estimate of
# T): the phase alone holds the input over a range of T, where its fraction is the input's (the
# value, to its last digits) and the target is met at every T, at the estimate too. The only sign
# change the search found lay where the phase is absent (4288 K, 576 K), and it ended with 711.
FRACTION_OVER_AN_INTERVAL = [
    ("demixing.dat", (0.9021313681408976, 0.0260125531981088), 1.0, (2, 1, 1, 0.9719735780194722),
     1167.4140824464282),
    ("quaternary.dat", (0.14945056591971662, 0.6670708871748086, 0.7209081350745514,
                        0.47725755675712367), 6689.401775552216,
     (1, 3, 3, 0.3578263438519923), 2517.788799840649),
]


@pytest.mark.parametrize("file_name, amounts, p, target, estimate", FRACTION_OVER_AN_INTERVAL)
def test_a_fraction_target_met_over_an_interval_is_met_where_the_phase_holds_the_input(
        engine, tests_data_dir, file_name, amounts, p, target, estimate):
    system = open_system(engine, tests_data_dir / file_name)
    phase, constituent, component, value = target
    assert value == pytest.approx(amounts[component - 1] / sum(amounts), rel=1e-15)
    set_state(engine, system, State(estimate, p, amounts))
    number = engine.tqsetc("XT", phase, constituent, value)
    engine.calc_Ttarget(estimate=(estimate, 0.0))
    ok(engine)
    t = engine.temperature
    result = read_result(engine, system, State(t, p, amounts))
    engine.tqremc(number)
    ok(engine)
    assert certify(system, result) == []
    assert result.phase_amounts[phase - 1] == pytest.approx(sum(amounts), rel=1e-12)
    assert result.fractions[phase - 1][constituent - 1] == pytest.approx(value, rel=1e-6)


# (T, P, inputs, the solid that forms): of ab.dat's solids, with A's input the variable, A_S forms
# where A reaches B and AB_S alone holds the input, and B_S leaves there. Kept out, its ln a jumps
# there from what AB_S and B_S fix to what AB_S and an A-rich other phase fix (-1.29 to +0.96
# for A_S here), and the search ended with 711 on neighbouring doubles.
COMPOUND_COMPOSITION = [
    (2477.4220993279077, 0.03180035678742643, (0.9067240532726011, 0.8304643984138624), "A_S"),
    (2477.4220993279077, 0.03180035678742643, (0.9067240532726011, 0.8304643984138624), "B_S"),
]


@pytest.mark.parametrize("t, p, amounts, solid", COMPOUND_COMPOSITION)
def test_an_amount_target_across_a_compounds_composition_forms_the_phase_there(
        engine, tests_data_dir, t, p, amounts, solid):
    system = open_system(engine, tests_data_dir / "ab.dat")
    phase = [q.name for q in system.phases].index(solid) + 1
    found, result = amount_search(engine, system, t, p, amounts, 1,
                                  (0.0, 2.0 * max(amounts) + 0.1), ("A", phase, 0.0))
    assert found == pytest.approx(amounts[1], rel=1e-12)  # AB_S's composition
    assert certify(system, result) == []
    assert result.phase_amounts[phase - 1] <= 1e-12 * sum(amounts)
    assert result.activities[phase - 1][0] == pytest.approx(1.0, abs=1e-6)


# (system, T, P, inputs, the phase whose leaving is the kink, the component varied, a window of
# the component's input holding the lower root, from above the kink's value to the least H):
# H over A's input falls past where graphite leaves the carbide, over 1.5e-3 mol, to its least,
# and rises again. Between the limits it is far above the value half-way across the
# kink, both limits' trials above it (713); the target is met twice, within that dip.
ENTHALPY_DIP = [
    (("carbide.dat", 1651.5449809195925, 1.0, (0.5566356146929263, 0.0, 0.4444092740082929),
      "GRAPHITE", 1), (0.4441, 0.4449)),
]


@pytest.mark.parametrize("system_state, window", ENTHALPY_DIP)
def test_an_amount_target_met_inside_a_narrow_dip_of_its_function(engine, tests_data_dir,
                                                                  system_state, window):
    file_name, t, p, amounts, phase_name, component = system_state
    system = open_system(engine, tests_data_dir / file_name)
    phase = [q.name for q in system.phases].index(phase_name) + 1
    limits = (0.0, 2.0 * max(amounts) + 0.1)

    def enthalpy(value):
        state = list(amounts)
        state[component - 1] = value
        result = calculate(engine, system, State(t, p, tuple(state)))
        assert result.error == 0
        return result.h

    change = presence_change(engine, system, t, p, amounts, phase, component, 0.0, window[0] +
                             0.5 * (window[1] - window[0]))
    step = 1e-6 * (limits[1] - limits[0])
    value = 0.5 * (enthalpy(change - step) + enthalpy(change + step))
    root = bisect(lambda a: enthalpy(a) - value, *window, 1e-13)
    found, result = amount_search(engine, system, t, p, amounts, component, limits,
                                  ("H", 0, value))
    assert certify(system, result) == []
    assert found == pytest.approx(root, abs=1e-9)


def held_pressure_change(engine, system, t, amounts, held, phase, low, high):
    """Where single calculations with the potential held change whether the phase holds matter,
    between the pressures low and high (bisected in ln P)."""
    held_phase, constituent, value = held

    def present(ln_p):
        set_state(engine, system, State(t, math.exp(ln_p), amounts))
        number = engine.tqsetc("MU", held_phase, constituent, value)
        engine.tqce(" ", 0, 0, (0.0, 0.0))
        ok(engine)
        amount = engine.tqgetr("A", phase, 0)
        engine.tqremc(number)
        ok(engine)
        return 1.0 if amount > 0.0 else -1.0

    return math.exp(bisect(present, math.log(low), math.log(high), 1e-13))


# (data file, T, inputs with the held component's 0, the held species (phase, constituent) and
# its "MU", the phase that forms, the estimate of P, a lower pressure limit or None, a window of
# P holding the phase's appearance in single calculations). Below about 1e-4 bar (water) and
# 1e-13 bar (cho_gas) the held O2 is above what the gas can take at that total pressure: no
# equilibrium (703). The searches' steps below the estimate reached there and ended with that
# trial's 703, though the liquid forms at 695 bar and graphite at 265 bar. With the lower limit
# above that region, graphite's window of stability (265 bar to about 5e4 bar) lay between two
# doubling steps above the estimate, both without it, and the search ended with 713.
HELD_POTENTIAL_PRESSURE = [
    ("data/water.dat", 1504.5726588735822, (0.8786638300202444, 0.0), ("GAS", "O2"),
     -96322.8158735241, "H2O(liquid)", 0.0025534929761198803, None, (100.0, 1000.0)),
    ("cho_gas.dat", 1423.2090824597612, (0.17854043200293135, 0.765962381534182, 0.0),
     ("GAS", "O2"), -375062.5662837408, "GRAPHITE", 0.03562050641911932, None, (100.0, 1000.0)),
    ("cho_gas.dat", 1423.2090824597612, (0.17854043200293135, 0.765962381534182, 0.0),
     ("GAS", "O2"), -375062.5662837408, "GRAPHITE", 0.03562050641911932, 1e-12, (100.0, 1000.0)),
]


@pytest.mark.parametrize("file_name, t, amounts, species, value, phase_name, estimate, low, "
                         "window", HELD_POTENTIAL_PRESSURE,
                         ids=["water-liquid", "cho_gas-graphite", "cho_gas-graphite-window"])
def test_a_pressure_target_with_a_held_potential_passes_where_no_equilibrium_exists(
        engine, tests_data_dir, sample_data_dir, file_name, t, amounts, species, value,
        phase_name, estimate, low, window):
    directory, file_name = ((sample_data_dir, file_name[5:]) if file_name.startswith("data/")
                            else (tests_data_dir, file_name))
    system = open_system(engine, directory / file_name)
    names = [q.name for q in system.phases]
    held_phase = names.index(species[0]) + 1
    constituent = system.phases[held_phase - 1].constituent_names.index(species[1]) + 1
    phase = names.index(phase_name) + 1
    held_component = amounts.index(0.0)
    set_state(engine, system, State(t, estimate, amounts))
    if low is not None:
        engine.tqclim("PLOW", low)
    held = engine.tqsetc("MU", held_phase, constituent, value)
    number = engine.tqsetc("A", phase, 0, 0.0)
    engine.tqce("P", 0, 0, (estimate, 0.0))
    ok(engine)
    found = engine.tqgetr("P", 0, 0)
    result = read_result(engine, system, State(t, found, amounts))
    engine.tqremc(number)
    engine.tqremc(held)
    ok(engine)
    # The held component's input is what the phases hold of it.
    supplied = sum(float(a @ q.stoichiometry[:, held_component])
                   for a, q in zip(result.amounts, system.phases))
    state = list(amounts)
    state[held_component] = supplied
    result.state = State(t, found, tuple(state))
    assert certify(system, result) == []
    # "MU" of a constituent is mu - mu0: the certified component potentials give mu, the data mu0.
    held_species = system.phases[held_phase - 1]
    mu0 = held_species.standard_gibbs(t, found)[constituent - 1]
    mu = held_species.stoichiometry[constituent - 1] @ result.potentials
    assert mu - mu0 == pytest.approx(value, abs=1e-9 * R * t)
    assert result.phase_amounts[phase - 1] == 0.0
    assert result.activities[phase - 1][0] == pytest.approx(1.0, abs=1e-6)
    change = held_pressure_change(engine, system, t, amounts, (held_phase, constituent, value),
                                  phase, *window)
    # A pure phase forms in single calculations where its ln a, with the others', crosses 0 to
    # what the minimisation resolves (1e-9): about 1e-9 of P here.
    assert found == pytest.approx(change, rel=1e-8)
