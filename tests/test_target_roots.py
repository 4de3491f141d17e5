"""Which state a target search returns where its range holds more than one: a target with an
incoming amount as the variable takes the root nearest the amount's lower limit, also where the
two limits show no sign change; a target met over an interval of the variable is met where the
search meets it. Every root is located here by bisection of single calculations, every state
found certified."""

import pytest

from equilibrium_certificate import State, calculate, certify, open_system, read_result, set_state
from equilibrium_support import bisect, ok
from equilibrium_support import tests_data_dir  # noqa: F401 - a fixture

CARBIDE_T = 1902.7218122985846
CARBIDE_INPUT = (0.5926390386439759, 0.4123240794486305, 0.41124332319441836)


def amount_target(engine, system, t, amounts, phase, component, limits):
    """The input of the component (1-based) at which the phase forms ("A" = 0), searched between
    the limits, and the result there, read before the target is removed."""
    set_state(engine, system, State(t, 1.0, amounts))
    ok(engine)
    number = engine.tqsetc("A", phase, 0, 0.0)
    engine.tqce("IA", 0, component, limits)
    ok(engine)
    found = engine.tqgetr("IA", 0, component)
    state = list(amounts)
    state[component - 1] = found
    result = read_result(engine, system, State(t, 1.0, tuple(state)))
    engine.tqremc(number)
    ok(engine)
    return found, result


def presence_change(engine, system, t, amounts, phase, component, low, high):
    """Where single calculations change whether the phase holds matter, between low and high."""

    def present(value):
        state = list(amounts)
        state[component - 1] = value
        result = calculate(engine, system, State(t, 1.0, tuple(state)))
        assert result.error == 0
        return 1.0 if result.phase_amounts[phase - 1] > 0.0 else -1.0

    return bisect(present, low, high, 1e-12)


# (limits of A's input, a window holding one change of B2C's presence in single calculations):
# B2C forms at about 0.022 mol of A and leaves again at about 0.34. Over (0, 1.285) and (0, 0.5)
# both limits' trials are without B2C; the search ended there with 709 and 713.
CARBIDE_ROOTS = [
    ((0.0, 1.2852780772879517), (0.0, 0.043)),
    ((0.0, 0.5), (0.0, 0.043)),
    ((0.05, 1.2852780772879517), (0.05, 1.0)),  # B2C present at the lower limit: where it leaves
]


@pytest.mark.parametrize("limits, window", CARBIDE_ROOTS)
def test_an_amount_target_takes_the_root_nearest_the_lower_limit(engine, tests_data_dir, limits,
                                                                 window):
    system = open_system(engine, tests_data_dir / "carbide.dat")
    b2c = [p.name for p in system.phases].index("B2C") + 1
    found, result = amount_target(engine, system, CARBIDE_T, CARBIDE_INPUT, b2c, 1, limits)
    assert certify(system, result) == []
    assert result.phase_amounts[b2c - 1] == 0.0
    assert result.activities[b2c - 1][0] == pytest.approx(1.0, abs=1e-6)
    change = presence_change(engine, system, CARBIDE_T, CARBIDE_INPUT, b2c, 1, *window)
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
