"""The convenience members and module custom on the stand-in library, over the routine methods of
both roads: look-ups, statuses and phase lists, and conditions, calculations, the temperature map
and the formation-temperature search checked against closed forms computed here from the stored
data."""

import contextlib
import math
import re
from pathlib import Path

import pytest

from convenience_support import entities  # noqa: F401 - a fixture
from equilexproxy import custom
from query_support import load_sample, sample  # noqa: F401 - sample: a fixture


@pytest.fixture
def limestone(standin_engine, sample):
    return load_sample(standin_engine, sample, "limestone", "phases")


def test_look_ups_by_index_and_name(limestone, entities):
    engine = limestone
    calcite = engine.get_phase("CaCO3")
    assert type(calcite) is entities.Phase and calcite.index == 2 and calcite.engine is engine
    assert engine.get_phase(4).index == 4
    assert engine.get_phase(5) is None
    oxygen = engine.get_component("O")
    assert type(oxygen) is entities.SystemComponent and oxygen.index == 3
    assert engine.get_component(4) is None


def test_compounds_and_solutions(limestone, entities):
    engine = limestone
    assert [p.index for p in engine.compounds] == [2, 3, 4]
    assert [p.index for p in engine.solutions] == [1]
    assert [p.index for p in engine.phases] == [1, 2, 3, 4]
    assert [c.index for c in engine.components] == [1, 2, 3]
    assert engine.is_compound("CaO") is True and engine.is_compound("GAS") is False
    lime = engine.get_compound("CaO")
    assert type(lime) is entities.Constituent and lime.index == 1 and lime.parent.index == 3
    assert engine.get_compound("GAS") is None


def test_statuses_by_list_and_for_every_phase(limestone, entities):
    engine = limestone
    engine.set_status("DORMANT", ["CaO", 4])
    assert [engine.tqgsp(k) for k in (1, 2, 3, 4)] == ["ENTERED", "ENTERED", "DORMANT",
                                                       "DORMANT"]
    engine.set_status("ELIMINATED", [engine.get_phase("GAS")])
    assert engine.tqgsp(1) == "ELIMINATED"
    engine.set_status("ENTERED")
    assert [engine.tqgsp(k) for k in (1, 2, 3, 4)] == ["ENTERED"] * 4


def test_activity_refuses_an_index_that_is_not_an_int_before_any_change(limestone):
    engine = limestone
    with pytest.raises(TypeError) as caught:
        custom.ce_activity_isothermal(engine, 1000.0, 3.0)
    assert str(caught.value) == "Argument 'indexp' has incorrect type (expected int, got float)"
    assert [engine.tqgsp(k) for k in (1, 2, 3, 4)] == ["ENTERED"] * 4


def test_names_that_name_nothing_on_the_library_road(engine, sample, entities):
    load_sample(engine, sample, "limestone", "phases")
    assert engine.get_phase("SLAG") is None and engine.get_component("Xe") is None
    assert engine.get_compound("SLAG") is None
    with pytest.raises(Exception, match="^Phase SLAG does not exist.$"):
        engine.is_compound("SLAG")
    with pytest.raises(Exception, match="^No system component named Xe$"):
        engine.set_amount_syscomp("Xe", 1.0)
    with pytest.raises(Exception, match="^No constituent named Xe in phase GAS$"):
        engine.set_amount_const("GAS", "Xe", 1.0)
    assert engine.last_error != 0
    # An unknown name in set_status leaves the index at 0, which goes on to the library: its
    # error is recorded, not raised.
    engine.last_error = 0
    engine.set_status("DORMANT", ["SLAG"])
    assert engine.last_error != 0
    assert [engine.tqgsp(k) for k in (1, 2, 3, 4)] == ["ENTERED"] * 4


# --- the binary system AB: conditions, calculations, the map and the formation search ------------

AB = Path(__file__).resolve().parent / "data" / "ab.dat"
R = 8.3144621
T_REF = 298.15
A_S, B_S, AB_S = 3, 4, 5


@contextlib.contextmanager
def library_road(engine):
    """`engine` on the library road for a while: for loading, and for reading the stored data
    that the closed forms start from (the basic road's tqgdat prints a line)."""
    road = engine.use_eqpy
    engine.use_eqpy = False
    try:
        yield engine
    finally:
        engine.use_eqpy = road


def load_ab(engine, amounts=True):
    """The AB system on `engine`, conditions cleared on the engine's own road, with 1 mol A and
    2 mol B."""
    with library_road(engine):
        engine.load_datafile(str(AB))
        assert engine.last_error == 0, f"ab.dat did not load: {engine.last_error_message}"
    engine.remove_all()
    if amounts:
        engine.set_amount_syscomp("A", 1.0)
        engine.set_amount_syscomp("B", 2.0)
    return engine


class Pure:
    """G(T) of a pure constituent with one Cp range a + b*T + c*T^2 + d/T^2, from its stored
    data as tqgdat reports them."""

    def __init__(self, engine, indexp, indexc=1):
        with library_road(engine):
            self.h298 = engine.tqgdat(indexp, indexc, "H", 1)[0]
            self.s298 = engine.tqgdat(indexp, indexc, "S", 1)[0]
            self.a, self.b, self.c, self.d = engine.tqgdat(indexp, indexc, "Cp", 1)[:4]

    def g(self, t):
        a, b, c, d = self.a, self.b, self.c, self.d
        h = (self.h298 + a * (t - T_REF) + b / 2 * (t**2 - T_REF**2) + c / 3 * (t**3 - T_REF**3)
             - d * (1 / t - 1 / T_REF))
        s = (self.s298 + a * math.log(t / T_REF) + b * (t - T_REF) + c / 2 * (t**2 - T_REF**2)
             - d / 2 * (1 / t**2 - 1 / T_REF**2))
        return h - t * s


class Formation:
    """AB_S = A_S + B_S from the stored data: -dG(T) and its root in closed form."""

    def __init__(self, engine):
        self.a, self.b, self.ab = (Pure(engine, k) for k in (A_S, B_S, AB_S))
        # The closed form needs the a, c and d terms to cancel.
        assert self.ab.a == self.a.a + self.b.a
        assert self.a.c == self.b.c == self.ab.c == 0 and self.a.d == self.b.d == self.ab.d == 0
        self.dh = self.ab.h298 - self.a.h298 - self.b.h298
        self.ds = self.ab.s298 - self.a.s298 - self.b.s298
        self.db = self.ab.b - self.a.b - self.b.b

    def minus_dg(self, t):
        return -(self.ab.g(t) - self.a.g(t) - self.b.g(t))

    @property
    def root(self):
        if self.db == 0:
            return self.dh / self.ds
        alpha = self.dh - self.db / 2 * T_REF**2
        beta = self.db * T_REF - self.ds
        return (beta + math.sqrt(beta**2 + 2 * self.db * alpha)) / self.db


def phase_target_temperature(engine, estimate=500.0):
    engine.set_global_T(estimate)
    engine.set_phase_target("AB_S", 0.0)
    engine.calc_Ttarget(estimate=(estimate, 0))
    return engine.temperature


def searched_temperature(engine, capsys, *bounds):
    custom.ce_formation_binary_t(engine, AB_S, *bounds)
    return engine.temperature, capsys.readouterr().out.splitlines()


def test_activity_of_the_dormant_compound_is_minus_dg(standin_engine):
    engine = load_ab(standin_engine)
    formation = Formation(engine)
    for t in (300.0, 500.0, 1000.0, 1500.0, 3000.0):
        value = custom.ce_activity_isothermal(engine, t, AB_S)
        assert value == pytest.approx(formation.minus_dg(t), rel=1e-9, abs=1e-6), t
        assert engine.tqgsp(AB_S) == "ENTERED"
    # Below T* the compound is unstable (activity < 1), above it would form.
    assert formation.minus_dg(500.0) < 0 < formation.minus_dg(1500.0)


def test_activity_takes_the_temperature_in_the_current_unit(standin_engine):
    engine = load_ab(standin_engine)
    formation = Formation(engine)
    engine.unitT = "C"
    value = custom.ce_activity_isothermal(engine, 1226.85, AB_S)
    assert value == pytest.approx(1226.85 / 1500.0 * formation.minus_dg(1500.0), rel=1e-9)


@pytest.mark.parametrize(
    "datum, value",
    [(None, None),  # as stored: dH 10000, dS 10, b 0.005
     ((1, 1, 2, 1, 5), 0.0),  # Cp b of AB_S: the linear set, T* = dH/dS = 1000 K
     ((1, 0, 0, 1, 5), 12000.0)],  # H298 of AB_S
)
def test_formation_search_phase_target_and_closed_form_agree(standin_engine, capsys, datum,
                                                             value):
    engine = load_ab(standin_engine)
    if datum is not None:
        engine.tqcdat(*datum, value)
    formation = Formation(engine)
    expected = formation.root
    if datum == (1, 1, 2, 1, 5):
        assert expected == 1000.0

    found, lines = searched_temperature(engine, capsys)
    assert abs(found - expected) < 0.02
    # The final equilibrium, AB_S entered: at activity 1 above T*, below it the closed form's.
    assert engine.get_phase("AB_S").activity == pytest.approx(
        min(1.0, math.exp(formation.minus_dg(found) / (R * found))), rel=1e-9)
    assert lines[0] == "FORMATION_BINARY_T"
    form = re.compile(r"search interval (\d+\.\d{4})K <> \d+\.\d{4}K <> (\d+\.\d{4})K, ratio = ")
    for line in lines[1::2]:
        low, high = map(float, form.match(line).groups())
        assert low - 5e-5 <= expected <= high + 5e-5
    assert all(line.startswith("activity values ") for line in lines[2::2])

    engine.remove_all()
    engine.set_amount_syscomp("A", 1.0)
    engine.set_amount_syscomp("B", 2.0)
    target = phase_target_temperature(engine)
    assert target == pytest.approx(expected, abs=1e-6)
    assert abs(target - found) < 0.02
    assert engine.get_phase("AB_S").activity == pytest.approx(1.0, abs=1e-9)


def test_search_in_celsius(standin_engine, capsys):
    engine = load_ab(standin_engine)
    expected = Formation(engine).root - 273.15
    engine.unitT = "C"
    assert engine.unitT == "C"
    found, lines = searched_temperature(engine, capsys, 300.0, 2000.0)
    assert abs(found - expected) < 0.02
    assert all(line.count("C <> ") == 2 for line in lines[1::2])


@pytest.mark.parametrize(
    "bounds, verdict, middle",
    [((300.0, 800.0), "unstable", 550.0), ((1000.0, 3000.0), "stable", 2000.0)],
)
def test_both_ends_of_one_sign(standin_engine, capsys, bounds, verdict, middle):
    engine = load_ab(standin_engine)
    found, lines = searched_temperature(engine, capsys, *bounds)
    assert lines == ["FORMATION_BINARY_T",
                     f"Phase AB_S is {verdict} both at {bounds[0]} and {bounds[1]} K"]
    # No final calculation: the last one is the evaluation at the upper end; the condition is
    # the midpoint.
    assert found == bounds[1]
    engine.calc()
    assert engine.temperature == middle


def test_target_calculation_without_a_target_records_511(engine):
    load_ab(engine)
    engine.set_global_T(500)
    assert engine.calc_Ttarget(estimate=(500, 0)) is None
    assert engine.last_error == 511


def test_remove_all_is_what_clears_a_recorded_error(engine):
    """A constituent's molar-volume data fall back to 0 while last_error holds 1004 (no data
    for the gas), also for a constituent that has data, until remove_all clears the number."""
    from equilexproxy import entities

    load_ab(engine)
    density = engine.tqgdat(A_S, 1, "V", 1)[0]
    assert density != 0
    assert entities.Constituent(1, entities.Phase(1, engine)).density == 0
    assert engine.last_error == 1004
    solid = engine.get_compound("A_S")
    assert solid.density == 0
    engine.remove_all()
    assert engine.last_error == 0
    assert solid.density == density


def test_phases_stable_and_unstable_on_an_equilibrium(standin_engine, entities):
    engine = load_ab(standin_engine)
    formation = Formation(engine)
    engine.set_global_T(500.0)
    engine.calc()
    stable = engine.phases_stable
    assert [p.index for p in stable] == [B_S, A_S]
    assert [p.eq_amount for p in stable] == pytest.approx([2.0, 1.0])
    unstable = engine.phases_unstable
    assert unstable[0].index == AB_S
    assert unstable[0].activity == pytest.approx(
        math.exp(formation.minus_dg(500.0) / (R * 500.0)), rel=1e-9)
    assert {p.index for p in unstable} == {1, 2, AB_S, 6}
    # The ideal gas at 1 bar: a = sum of exp((mu_i - G_i)/RT), mu_A and mu_B those of A_S and B_S.
    gas = next(p for p in unstable if p.index == 1)
    ideal = sum(math.exp((solid.g(500.0) - Pure(engine, 1, k).g(500.0)) / (R * 500.0))
                for k, solid in ((1, formation.a), (2, formation.b)))
    assert gas.activity == pytest.approx(ideal, rel=1e-9)
    activities = [p.activity for p in unstable]
    assert activities == sorted(activities, reverse=True)
    assert all(0.0 < a < 1.0 for a in activities)

    # An eliminated phase has activity 0: in neither list.
    engine.set_status("ELIMINATED", ["LIQUID"])
    engine.calc()
    assert 2 not in [p.index for p in engine.phases_unstable + engine.phases_stable]

    # Above T*: AB_S forms from all of A, and mu(A) = G(AB_S) - G(B_S).
    engine.set_status("ENTERED", [2])
    engine.set_global_T(1500.0)
    engine.calc()
    stable = engine.phases_stable
    assert {p.index for p in stable} == {B_S, AB_S}
    assert [p.eq_amount for p in stable] == pytest.approx([1.0, 1.0])
    amounts = [p.eq_amount for p in stable]
    assert amounts[0] >= amounts[1]
    if amounts[0] == amounts[1]:
        assert [p.index for p in stable] == [B_S, AB_S]
    mu_a = engine.tqgetr("MU", 0, 1)
    assert mu_a == pytest.approx(formation.ab.g(1500.0) - formation.b.g(1500.0), rel=1e-9)


def test_amounts_of_constituents_give_the_same_equilibrium(standin_engine):
    engine = load_ab(standin_engine, amounts=False)
    assert isinstance(engine.set_amount_const("A_S", "A", 1.0), int)
    engine.set_amount_const(B_S, 1, 2.0)
    engine.set_global_T(500.0)
    engine.calc()
    assert [engine.tqgetr("A", k, 0) for k in (A_S, B_S)] == pytest.approx([1.0, 2.0])
    assert engine.equilibrium_amount == pytest.approx(3.0)


def test_units_through_the_properties(standin_engine):
    engine = load_ab(standin_engine)
    engine.unitT = "C"
    engine.unitE = "cal"
    assert (engine.unitT, engine.unitP, engine.unitV, engine.unitE, engine.unitA) == (
        "C", "bar", "dm3", "cal", "mol")
    engine.set_global_T(500.0)
    engine.calc()
    assert engine.temperature == pytest.approx(500.0)
    enthalpy_cal = engine.enthalpy
    engine.unitT = "K"
    engine.unitE = "J"
    assert engine.temperature == pytest.approx(773.15)
    assert engine.enthalpy == pytest.approx(enthalpy_cal * 4.184, rel=1e-12)
    # H of the system at 773.15 K: 1 mol A_S and 2 mol B_S, Cp 25 each.
    assert engine.enthalpy == pytest.approx(3 * 25.0 * (773.15 - T_REF), rel=1e-9)
    assert engine.pressure_total == pytest.approx(1.0)
    assert engine.heat_capacity == pytest.approx(75.0, rel=1e-9)
    assert engine.entropy == pytest.approx(30 + 2 * 40 + 75 * math.log(773.15 / T_REF), rel=1e-9)
    # remove_all also brings the default units back.
    engine.unitT = "F"
    engine.remove_all()
    assert engine.unitT == "K" and engine.last_error == 0


def test_remove_condition_and_amounts(standin_engine):
    engine = load_ab(standin_engine)
    number = engine.set_global_T(500.0)
    engine.calc()
    assert engine.temperature == 500.0
    assert engine.remove_condition(number) is None
    assert engine.last_error == 0
    engine.calc()
    assert engine.temperature != 500.0
    # The number names no condition any more: the library's error is recorded on the library
    # road; the basic road's binding raises it.
    if engine.use_eqpy:
        with pytest.raises(Exception, match="NUMCON"):
            engine.remove_condition(number)
    else:
        engine.remove_condition(number)
        assert engine.last_error != 0
        engine.last_error = 0
    engine.set_global_T(500.0)
    engine.remove_amounts()
    engine.set_amount_syscomp("A", 2.0)
    engine.set_amount_syscomp("B", 2.0)
    engine.calc()
    assert engine.last_error == 0
    assert engine.equilibrium_amount == pytest.approx(4.0)


def test_map_transition_agrees_with_the_search(standin_engine, capsys):
    engine = load_ab(standin_engine)
    expected = Formation(engine).root
    outvars = [("T", 0, 0), ("A", AB_S, 0), ("AC", AB_S, 0)]
    result = engine.map_temp(300, 3000, outvars)
    assert engine.last_error == 0
    temperatures = result[outvars[0]]
    assert temperatures[0] == pytest.approx(300.0) and temperatures[-1] == pytest.approx(3000.0)
    (transition,) = temperatures[1:-1]
    assert transition == pytest.approx(expected, abs=1e-4)
    assert result[outvars[1]] == pytest.approx([0.0, 0.0, 1.0], abs=1e-9)
    a300 = math.exp(Formation(engine).minus_dg(300.0) / (R * 300.0))
    assert result[outvars[2]] == pytest.approx([a300, 1.0, 1.0], rel=1e-6)
    found, _ = searched_temperature(engine, capsys)
    assert abs(found - transition) < 0.02
    # The default lower end lies below 298.15 K.
    assert engine.map_temp()[("T", 0, 0)][0] == pytest.approx(200.0)
