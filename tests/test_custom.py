"""Module custom on scripted engines: the isothermal activity and the formation-temperature search.

The scripted engine is a plain object with the engine's members whose phase activity is a known
function of the temperature condition, so every number the search prints is checked against the
closed form of a binary compound AB formed from A and B with Cp(AB) - Cp(A) - Cp(B) = b*T:
R*T*ln(a) = -dG(T) = -[dH + b/2*(T^2 - T0^2) - T*(dS + b*(T - T0))].
"""

import math
import re
import warnings

import numpy as np
import pytest

from equilexproxy import custom

R = 8.3144621
T_REF = 298.15


def minus_dg(temperature, dh=10000.0, ds=10.0, b=0.005):
    return -(dh + b / 2 * (temperature**2 - T_REF**2)
             - temperature * (ds + b * (temperature - T_REF)))


def formation_root(dh=10000.0, ds=10.0, b=0.005):
    if b == 0:
        return dh / ds
    alpha = dh - b / 2 * T_REF**2
    beta = b * T_REF - ds
    return (beta + math.sqrt(beta**2 + 2 * b * alpha)) / b


QUADRATIC_ROOT = formation_root()


class ScriptedEngine:
    """An engine of plain methods: `value(T)` is R*T*ln(a) of phase `index` at the temperature
    condition, returned through the activity that tqgetr reports. Every member use is logged."""

    def __init__(self, value=minus_dg, index=5, name="AB_S", unit="K", status="ENTERED"):
        self.value = value
        self.index = index
        self.name = name
        self.unit = unit
        self.status = status
        self.temperature = None
        self.calls = []

    @property
    def unitT(self):
        self.calls.append(("unitT",))
        return self.unit

    def tqgnp(self, indexp):
        self.calls.append(("tqgnp", indexp))
        return self.name

    def tqgsp(self, indexp):
        self.calls.append(("tqgsp", indexp))
        return self.status

    def tqcsp(self, indexp, option):
        self.calls.append(("tqcsp", indexp, option))
        self.status = option

    def tqsetc(self, option, indexp, index, value):
        self.calls.append(("tqsetc", option, indexp, index, value))
        self.temperature = value
        return 1

    def tqce(self, option, indexp, index, vals):
        self.calls.append(("tqce", option, indexp, index, vals))

    def tqcel(self, option, indexp, index, vals):
        self.calls.append(("tqcel", option, indexp, index, vals))

    def tqgetr(self, option, indexp, index):
        self.calls.append(("tqgetr", option, indexp, index))
        t = float(self.temperature)
        return math.exp(self.value(t) / (R * t))

    def names(self):
        return [call[0] for call in self.calls]


@pytest.fixture
def constants():
    """Restores the module's constants and functions after a test rebinds them."""
    saved = dict(vars(custom))
    yield custom
    for name in ("np", "GAS_CONSTANT", "NITER_MAX", "TOL_TEMPERATURE", "ce_activity_isothermal",
                 "ce_formation_binary_t", "print"):
        if name in saved:
            setattr(custom, name, saved[name])
        elif name in vars(custom):
            delattr(custom, name)


def search(engine, capsys, *args, **keywords):
    assert custom.ce_formation_binary_t(engine, engine.index, *args, **keywords) is None
    return capsys.readouterr().out.splitlines()


# --- the module ---------------------------------------------------------------------------------


def test_namespace_in_binding_order():
    names = [n for n in vars(custom) if not n.startswith("__")]
    assert names == ["np", "GAS_CONSTANT", "NITER_MAX", "TOL_TEMPERATURE",
                     "ce_activity_isothermal", "ce_formation_binary_t"]
    assert custom.np is np
    assert type(custom.GAS_CONSTANT) is float and custom.GAS_CONSTANT == 8.3144621
    assert type(custom.NITER_MAX) is int and custom.NITER_MAX == 100
    assert type(custom.TOL_TEMPERATURE) is float and custom.TOL_TEMPERATURE == 0.001
    for name in ("ce_activity_isothermal", "ce_formation_binary_t"):
        function = getattr(custom, name)
        assert function.__module__ == "equilexproxy.custom"
        assert function.__name__ == function.__qualname__ == name
    assert custom.ce_activity_isothermal.__defaults__ is None
    assert custom.ce_formation_binary_t.__defaults__ == (300.0, 3000.0, False)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: custom.ce_activity_isothermal(1, 2),
         "ce_activity_isothermal() takes exactly 3 positional arguments (2 given)"),
        (lambda: custom.ce_activity_isothermal(1, 2, 3, 4),
         "ce_activity_isothermal() takes exactly 3 positional arguments (4 given)"),
        (lambda: custom.ce_formation_binary_t(1),
         "ce_formation_binary_t() takes at least 2 positional arguments (1 given)"),
        (lambda: custom.ce_formation_binary_t(1, 2, 3, 4, 5, 6),
         "ce_formation_binary_t() takes at most 5 positional arguments (6 given)"),
        (lambda: custom.ce_formation_binary_t(1, 2, tlow=1, bounds=2),
         "ce_formation_binary_t() got an unexpected keyword argument 'bounds'"),
    ],
)
def test_argument_counts(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


# --- ce_activity_isothermal ---------------------------------------------------------------------


@pytest.mark.parametrize("status", ["ENTERED", "DORMANT"])
def test_activity_calls_and_result(status):
    engine = ScriptedEngine(status=status, index=3)
    result = custom.ce_activity_isothermal(engine=engine, temperature=1500.0, indexp=3)
    assert engine.calls == [
        ("tqgsp", 3),
        ("tqcsp", 3, "DORMANT"),
        ("tqsetc", "T", 0, 0, 1500.0),
        ("tqce", " ", 0, 0, (1500.0, 2500.0)),
        ("tqgetr", "AC", 3, 0),
        ("tqcsp", 3, status),
    ]
    assert type(result) is np.float64
    assert result == pytest.approx(minus_dg(1500.0), rel=1e-12)
    assert engine.status == status


def test_activity_is_r_t_ln_a_in_the_unit_as_given():
    # No conversion of the temperature: in Celsius the product takes the number as it is.
    engine = ScriptedEngine(value=lambda t: 5000.0 * t / 1500.0)
    result = custom.ce_activity_isothermal(engine, 1226.85, 5)
    assert result == pytest.approx(1226.85 / 1500 * 5000.0, rel=1e-12)
    assert engine.calls[3] == ("tqce", " ", 0, 0, (1226.85, 1226.85 + 1000.0))


@pytest.mark.parametrize(
    "activity, expected, warns",
    [(1.0, 0.0, False), (2.0, R * 800 * math.log(2.0), False), (0.0, -math.inf, True),
     (-1.0, math.nan, True)],
)
def test_activity_logarithm_is_numpys(activity, expected, warns):
    engine = ScriptedEngine()
    engine.tqgetr = lambda option, indexp, index: activity
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = custom.ce_activity_isothermal(engine, 800.0, 5)
    assert type(result) is np.float64
    if math.isnan(expected):
        assert math.isnan(result)
    else:
        assert result == pytest.approx(expected)
    assert any(issubclass(w.category, RuntimeWarning) for w in caught) == warns


def test_activity_order_of_evaluation_and_module_look_ups(constants):
    """(R*T) first, then np.log fetched, then the activity read, then the log taken; each name
    found in the module at the call."""
    log = []
    engine = ScriptedEngine()
    engine.tqgetr = lambda *args: log.append("tqgetr") or 4.0

    class Constant(float):
        def __mul__(self, other):
            log.append(("R*T", other))
            return float(self) * other

    class Numpy:
        def __getattr__(self, name):
            log.append(("np." + name,))
            return lambda value: log.append(("log", value)) or 0.5

    custom.GAS_CONSTANT = Constant(2.0)
    custom.np = Numpy()
    assert custom.ce_activity_isothermal(engine, 10.0, 5) == 10.0
    assert log == [("R*T", 10.0), ("np.log",), "tqgetr", ("log", 4.0)]


class FetchLoggingEngine(ScriptedEngine):
    """Logs every fetch of a routine method among the calls, as ("get", name)."""

    def __getattribute__(self, name):
        if name.startswith("tq"):
            object.__getattribute__(self, "calls").append(("get", name))
        return object.__getattribute__(self, name)


def test_activity_fetches_each_routine_before_forming_its_arguments():
    engine = FetchLoggingEngine()

    class Temperature(float):
        def __add__(self, other):
            engine.calls.append(("+", other))
            return float(self) + other

    custom.ce_activity_isothermal(engine, Temperature(800.0), 5)
    assert engine.calls == [
        ("get", "tqgsp"), ("tqgsp", 5), ("get", "tqcsp"), ("tqcsp", 5, "DORMANT"),
        ("get", "tqsetc"), ("tqsetc", "T", 0, 0, 800.0),
        ("get", "tqce"), ("+", 1000.0), ("tqce", " ", 0, 0, (800.0, 1800.0)),
        ("get", "tqgetr"), ("tqgetr", "AC", 5, 0), ("get", "tqcsp"), ("tqcsp", 5, "ENTERED")]


def test_activity_exception_after_dormant_leaves_the_phase_dormant():
    engine = ScriptedEngine()

    def refuse(*args):
        raise TypeError("no such temperature")

    engine.tqsetc = refuse
    with pytest.raises(TypeError, match="no such temperature"):
        custom.ce_activity_isothermal(engine, "x", 5)
    assert engine.status == "DORMANT"
    assert engine.calls == [("tqgsp", 5), ("tqcsp", 5, "DORMANT")]


# --- ce_formation_binary_t ----------------------------------------------------------------------

VALUES_LINE = re.compile(r"activity values (-?\d+\.\d{4}) <> (-?\d+\.\d{4}) <> (-?\d+\.\d{4})$")


def pairs(lines, unit="K"):
    """The (search, values) line pairs after the heading, parsed."""
    number = r"(\d+\.\d{4})" + unit
    search_line_form = re.compile(
        rf"search interval {number} <> {number} <> {number}, ratio = (\S+)$")
    assert lines[0] == "FORMATION_BINARY_T"
    body = lines[1:]
    assert len(body) % 2 == 0
    found = []
    for search_line, values_line in zip(body[::2], body[1::2]):
        temperatures = search_line_form.match(search_line)
        values = VALUES_LINE.match(values_line)
        assert temperatures and values, (search_line, values_line)
        found.append(([float(x) for x in temperatures.groups()[:3]], temperatures.group(4),
                      [float(x) for x in values.groups()]))
    return found


def test_search_on_the_quadratic_set(capsys):
    engine = ScriptedEngine()
    lines = search(engine, capsys)
    steps = pairs(lines)
    n = len(steps)

    # The first trial point is the straight line's zero between the closed-form end values.
    a0, a2 = minus_dg(300.0), minus_dg(3000.0)
    first = 300.0 + 2700.0 * (0 - a0) / (a2 - a0)
    assert lines[1].startswith(f"search interval 300.0000K <> {first:.4f}K <> 3000.0000K, ")
    assert float(steps[0][1]) == pytest.approx((3000.0 - first) / (first - 300.0), rel=1e-12)
    assert lines[2] == (f"activity values {a0:.4f} <> {minus_dg(first):.4f} <> {a2:.4f}")

    # Every printed bracket holds the root and every printed value is the closed form there.
    for (t0, t1, t2), _, (v0, v1, v2) in steps:
        # (printed to four decimals)
        assert t0 - 5e-5 <= QUADRATIC_ROOT <= t2 + 5e-5 and t0 <= t1 <= t2
        for t, v in ((t0, v0), (t1, v1), (t2, v2)):
            assert v == pytest.approx(minus_dg(t), abs=0.02 + 1e-4 * abs(v))
    # The safeguard moved the second trial point: its ratio exceeds 10.
    assert float(steps[1][1]) > 10.0
    # The search simulated apart with these formulas in float64: 13 trial points, the second
    # judged by the ratio 16.0498... (so moved a fifth of the way to the upper end).
    assert n == 13 and float(steps[1][1]) == pytest.approx(16.0498745, rel=1e-7)

    assert len(engine.calls) == 2 + 12 + 6 * n + 2
    assert engine.names()[:2] == ["tqgnp", "unitT"]
    final_setc, final_ce = engine.calls[-2:]
    assert final_setc[:4] == ("tqsetc", "T", 0, 0)
    assert abs(final_setc[4] - QUADRATIC_ROOT) < 0.02
    assert type(final_setc[4]) is np.float64
    assert final_ce[:4] == ("tqce", " ", 0, 0)
    low, high = final_ce[4]
    assert low <= QUADRATIC_ROOT <= high and high - low < 0.02
    assert all(type(t) is np.float64 for t in final_ce[4])
    # The phase's status comes back after every evaluation.
    assert engine.status == "ENTERED"


def test_search_in_celsius(capsys):
    engine = ScriptedEngine(value=lambda c: minus_dg(c + 273.15), unit="C")
    steps = pairs(search(engine, capsys, 300.0, 2000.0), unit="C")
    root = QUADRATIC_ROOT - 273.15
    assert all(t0 - 5e-5 <= root <= t2 + 5e-5 for (t0, _, t2), _, _ in steps)
    final = engine.calls[-2][4]
    assert abs(final - (QUADRATIC_ROOT - 273.15)) < 0.02
    assert len(engine.calls) == 2 + 12 + 6 * len(steps) + 2


def test_search_with_listing_ends_in_tqcel(capsys):
    engine = ScriptedEngine()
    search(engine, capsys, isshowcalc=1)
    assert engine.names()[-1] == "tqcel"
    assert "tqce" not in engine.names()[-3:]
    assert engine.calls[-1][:4] == ("tqcel", " ", 0, 0)


@pytest.mark.parametrize(
    "low, high, verdict",
    [(300.0, 800.0, "unstable"), (1000.0, 3000.0, "stable"), (300, 800, "unstable")],
)
def test_both_ends_of_one_sign(capsys, low, high, verdict):
    engine = ScriptedEngine()
    lines = search(engine, capsys, low, high)
    assert lines == ["FORMATION_BINARY_T",
                     f"Phase AB_S is {verdict} both at {float(low)} and {float(high)} K"]
    assert len(engine.calls) == 2 + 12 + 1
    assert engine.calls[-1] == ("tqsetc", "T", 0, 0, 0.5 * (low + high))
    assert type(engine.calls[-1][4]) is np.float64


def test_lower_end_value_exactly_zero(capsys):
    # Activity exactly 1 at the lower end: no early return; the first trial point is the lower
    # end itself, its ratio infinite, and the safeguard moves it a fifth into the bracket.
    engine = ScriptedEngine(value=lambda t: 0.0 if t == 1000.0 else 10.0 * t - 10000.0)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        lines = search(engine, capsys, 1000.0, 2000.0)
    assert lines[1] == "search interval 1000.0000K <> 1200.0000K <> 2000.0000K, ratio = inf"
    assert any(issubclass(w.category, RuntimeWarning) for w in caught)
    assert lines[2] == f"activity values 0.0000 <> {minus_dg(1200.0, b=0):.4f} <> 10000.0000"


def exact_linear(engine, temperature, indexp):
    """R*T*ln(a) without the rounding of a logarithm: T - 1000 exactly."""
    return np.float64(temperature - 1000.0)


@pytest.mark.parametrize("limit", [7, None])
def test_trial_value_exactly_zero_repeats_until_the_limit(capsys, constants, limit):
    # Exact end values -700 and 2000: the first trial point is exactly 1000 K, where the value
    # is exactly 0. Neither end is replaced, so the same point recurs until NITER_MAX, which is
    # read from the module when the loop starts.
    custom.ce_activity_isothermal = exact_linear
    if limit is not None:
        custom.NITER_MAX = limit
    engine = ScriptedEngine()
    lines = search(engine, capsys)
    iterations = limit or 100
    assert len(lines) == 1 + 2 * iterations
    assert lines[1] == ("search interval 300.0000K <> 1000.0000K <> 3000.0000K, ratio = "
                        f"{2000.0 / 700.0}")
    assert lines[2] == "activity values -700.0000 <> 0.0000 <> 2000.0000"
    assert set(lines[1::2]) == {lines[1]} and set(lines[2::2]) == {lines[2]}
    assert engine.calls == [("tqgnp", 5), ("unitT",), ("tqsetc", "T", 0, 0, 1000.0),
                            ("tqce", " ", 0, 0, (300.0, 3000.0))]


def test_first_trial_point_within_tolerance_of_the_upper_end(capsys):
    engine = ScriptedEngine(value=lambda t: t - 1000.0)
    lines = search(engine, capsys, 999.9995, 1000.0004)
    assert lines == ["FORMATION_BINARY_T"]
    assert len(engine.calls) == 2 + 12 + 2
    trial = engine.calls[-2][4]
    assert 999.9995 < trial < 1000.0004
    assert engine.calls[-1] == ("tqce", " ", 0, 0, (999.9995, 1000.0004))


def test_not_a_number_never_raises(capsys, constants):
    engine = ScriptedEngine()
    engine.tqgetr = lambda *args: -1.0  # log of a negative activity: nan at every point
    custom.NITER_MAX = 2
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        lines = search(engine, capsys)
    # Comparisons with nan are false: no early return, no end replaced, no convergence.
    assert len(lines) == 1 + 2 * 2
    assert lines[1] == "search interval 300.0000K <> nanK <> 3000.0000K, ratio = nan"
    assert lines[2] == "activity values nan <> nan <> nan"
    assert math.isnan(engine.calls[-2][4])


def test_activity_function_and_tolerance_found_in_the_module(capsys, constants):
    seen = []

    def scripted(**keywords):
        seen.append(keywords)
        return np.float64(keywords["temperature"] ** 2 - 1500.0**2)

    custom.ce_activity_isothermal = scripted
    custom.TOL_TEMPERATURE = 1000.0
    engine = ScriptedEngine()
    lines = search(engine, capsys, 1000, 2000)
    # Called by keyword with the float64 temperatures of the work array.
    assert [list(k) for k in seen] == [["engine", "temperature", "indexp"]] * 2
    assert all(k["engine"] is engine and k["indexp"] == 5 for k in seen)
    assert [(type(k["temperature"]), k["temperature"]) for k in seen] == [
        (np.float64, 1000.0), (np.float64, 2000.0)]
    # The first trial point lies within the (rebound) tolerance of the upper end: no line.
    assert lines == ["FORMATION_BINARY_T"]
    first = 1000.0 + 1000.0 * 1.25e6 / 3.0e6
    assert engine.names() == ["tqgnp", "unitT", "tqsetc", "tqce"]
    assert engine.calls[2][4] == pytest.approx(first, rel=1e-15)


def test_unit_is_formatted_in_each_line_as_it_is_printed(capsys, constants):
    """The unit, read once, is formatted with each temperature of a search line, and only when
    that line is formed: after the trial point's evaluation, and after print was found."""
    engine = ScriptedEngine()
    first, later = [], []

    class Unit(str):
        def __format__(self, spec):
            engine.calls.append(("format unit",))
            custom.print = later.append  # the line being formed goes to the print found before
            return str.__format__(self, spec)

    engine.unit = Unit("K")
    custom.print = first.append
    custom.ce_formation_binary_t(engine, 5)
    assert len(first) == 2 and first[1].startswith("search interval 300.0000K <> 717.6793K <> ")
    assert later[0].startswith("activity values ")
    trials = (1 + len(later)) // 2
    names = engine.names()
    # The name, the unit, the two ends, the first trial point, then the first line's formats.
    assert names[:20] == ["tqgnp", "unitT"] + ["tqgsp", "tqcsp", "tqsetc", "tqce", "tqgetr",
                                               "tqcsp"] * 3
    assert names[20:23] == ["format unit"] * 3
    assert names.count("format unit") == 3 * trials


def test_module_print_is_used_when_bound(constants):
    printed = []
    custom.print = printed.append
    engine = ScriptedEngine()
    custom.ce_formation_binary_t(engine, 5, 300.0, 800.0)
    assert printed == ["FORMATION_BINARY_T", "Phase AB_S is unstable both at 300.0 and 800.0 K"]
