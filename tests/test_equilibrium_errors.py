"""Every error number the stand-in's equilibrium routines give, each from the smallest case that
shows it; a call refused for its arguments changes nothing, a failed calculation leaves the
conditions as they were and no result until one succeeds."""

import ast
import math
import subprocess
import sys
import textwrap

import pytest

from equilibrium_support import load, write_dat
from equilibrium_support import tests_data_dir  # noqa: F401 - a fixture

GAS, CALCITE, LIME, GRAPHITE = 1, 2, 3, 4

# A gas of two ideal species for the amount targets; a massless electron-like constituent for
# 204; a constituent without stoichiometry whose Gibbs energy falls without end for 703.
TWO_GASES = """\
equilex-data: 1
components:
  - {name: A, mass: 10}
  - {name: B, mass: 20}
phases:
  - name: GAS
    model: IDMX
    gas: true
    constituents:
      - {name: A(g), stoichiometry: [1, 0], H298: 0, S298: 100, cp: [{a: 20, Tt: 6000}]}
      - {name: B(g), stoichiometry: [0, 1], H298: 0, S298: 100, cp: [{a: 20, Tt: 6000}]}
"""
MASSLESS = """\
equilex-data: 1
components:
  - {name: A, mass: 10}
  - {name: EL, mass: 0}
phases:
  - name: PLASMA
    model: IDMX
    gas: true
    constituents:
      - {name: A, stoichiometry: [1, 0], H298: 0, S298: 100, cp: [{Tt: 6000}]}
      - {name: EL, stoichiometry: [0, 1], H298: 0, S298: 10, cp: [{Tt: 6000}]}
"""
BOTTOMLESS = """\
equilex-data: 1
components:
  - {name: A, mass: 10}
phases:
  - name: SOLID
    model: PURE
    constituents:
      - {name: A, stoichiometry: [1], H298: 0, S298: 10, cp: [{Tt: 6000}]}
  - name: NOTHING
    model: PURE
    constituents:
      - {name: VOID, stoichiometry: [0], H298: -1000, S298: 0, cp: [{Tt: 6000}]}
"""


@pytest.fixture
def limestone(engine, sample_data_dir):
    return load(engine, sample_data_dir / "limestone.dat")


def calcite_at(engine, temperature=1200.0):
    engine.tqsetc("IA", CALCITE, 1, 1.0)
    engine.tqsetc("T", 0, 0, temperature)
    return engine


def fields(*names):
    """The 30 fields of 25 bytes TQCSC takes, as the engine builds them."""
    return list(names)


def set_stream(engine, name="feed", amount=1.0):
    engine.tqsttp(name, (298.15, 1.0))
    engine.tqstca(name, CALCITE, 1, amount)


# (number, what is done first, the call that fails) on the limestone sample, library road.
CASES = [
    (201, None, lambda e: e.tqsetc("Q", 0, 0, 1.0)),
    (201, None, lambda e: e.tqgetr("Q", 0, 0)),
    (201, None, lambda e: e.tqce("Q", 0, 0, (0, 0))),
    (201, None, lambda e: e.tqgsu("Mass")),
    (201, None, lambda e: e.tqcsu("Pressure", "K")),
    (201, None, lambda e: e.tqclim("TMAX", 300.0)),
    (201, None, lambda e: e.tqclim("TLOW", -1.0)),
    (201, None, lambda e: e.tqclim("PHIGH", math.nan)),
    (201, None, lambda e: e.tqconf("COLOUR", 1, 1, 1)),
    (201, None, lambda e: e.tqconf("ITERATIONS", 500, 100, 0)),
    (201, None, lambda e: e.tqmap("XF", 0, 0, (300, 400))),
    (201, None, lambda e: e.tqmap("TN", 0, 0, (300, 400))),
    (201, lambda e: e.tqsttp("s", (300, 1)), lambda e: e.tqstxp("s", "Q")),
    (201, None, lambda e: e.tqstec("Q", 0, 1.0)),
    (202, None, lambda e: e.tqstca("nowhere", CALCITE, 1, 1.0)),
    (202, None, lambda e: e.tqstxp("nowhere", "H")),
    (202, None, lambda e: e.tqstrm("nowhere")),
    (202, None, lambda e: e.tqsttp("s" * 151, (300, 1))),
    (301, None, lambda e: e.tqcsc(fields("CaO", "CO2", "X" * 25))),
    (306, None, lambda e: e.tqcsc(fields("CaO", "CO2", "Unobtainium"))),
    (307, None, lambda e: e.tqcsc(fields("CaO", "CO2"))),
    (307, None, lambda e: e.tqcsc(fields())),
    (308, None, lambda e: e.tqcsc(fields("CaO", "CO2", "CaCO3"))),
    (401, None, lambda e: e.tqsetc("IA", 0, 9, 1.0)),
    (401, None, lambda e: e.tqsetc("XPT", GAS, 4, 0.5)),
    (402, None, lambda e: e.tqsetc("A", 9, 0, 0.0)),
    (402, None, lambda e: e.tqsetc("T", 1, 0, 1000.0)),
    (402, None, lambda e: e.tqchar(0, 1)),
    (402, None, lambda e: e.tqbond(-1, 1, 1, 1, 1)),
    (403, None, lambda e: e.tqsetc("IA", CALCITE, 2, 1.0)),
    (403, None, lambda e: e.tqchar(GAS, 9)),
    (404, None, lambda e: e.tqremc(99)),
    (404, None, lambda e: e.tqremc(-3)),
    (404, None, lambda e: e.tqremc(3)),
    (501, set_stream, lambda e: e.tqsetc("IA", CALCITE, 1, 1.0)),
    (501, lambda e: e.tqsetc("IA", LIME, 1, 1.0), set_stream),
    (502, None, lambda e: e.tqsetc("MU", 0, 1, -1000.0)),
    (503, lambda e: e.tqsttp("s", (300, 1)), lambda e: e.tqstca("s", CALCITE, 1, -1.0)),
    (504, None, lambda e: e.tqstec("IA", 0, 1.0)),
    (505, calcite_at, lambda e: e.tqce("IA", CALCITE, 1, (2.0, 1.0))),
    (505, None, lambda e: e.tqclim("TLOW", 7000.0)),
    (506, calcite_at, lambda e: e.tqce("IA", CALCITE, 1, (1.0, 1.0))),
    (507, calcite_at, lambda e: e.tqce("IA", CALCITE, 1, (-2.0, -1.0))),
    (508, None, lambda e: e.tqce(" ", 0, 0, (0, 0))),
    (509, lambda e: calcite_at(e).tqsetc("P", 0, 0, 0.0), lambda e: e.calc()),
    (509, lambda e: calcite_at(e).tqsetc("P", 0, 0, math.inf), lambda e: e.calc()),
    (510, lambda e: calcite_at(e, -5.0), lambda e: e.calc()),
    (510, lambda e: calcite_at(e, math.nan), lambda e: e.calc()),
    (510, None, lambda e: e.tqmap("TF", 0, 0, (0, 400))),
    (511, calcite_at, lambda e: e.calc_Ttarget()),
    (512, lambda e: calcite_at(e).set_phase_target(LIME), lambda e: e.calc()),
    (513, lambda e: e.tqsetc("IA", CALCITE, 1, -1.0), lambda e: e.calc()),
    (513, lambda e: e.tqsetc("IA", CALCITE, 1, math.inf), lambda e: e.calc()),
    (516, None, lambda e: e.calc(from_previous=True)),
    (516, None, lambda e: e.tqgetr("T", 0, 0)),
    (601, calcite_at, lambda e: (e.calc(), e.tqgetr("IA", 0, 0))),
    (601, calcite_at, lambda e: (e.calc(), e.tqgetr("IA", CALCITE, 0))),
    (602, calcite_at, lambda e: (e.calc(), e.tqgetr("AC", 0, 0))),
    (603, calcite_at, lambda e: (e.calc(), e.tqgetr("H", 0, 1))),
    (604, calcite_at, lambda e: (e.calc(), e.tqgetr("XP", 0, 1))),
    (605, calcite_at, lambda e: (e.calc(), e.tqgetr("X", CALCITE, 1))),
    (607, None, lambda e: e.tqbond(GAS, 1, 2, 0, 0)),
    (608, lambda e: (set_stream(e), e.tqcspc(GAS, 2, "ELIMINATED"), e.tqsttp("b", (298.15, 1)),
                     e.tqstca("b", GAS, 2, 0.1), e.tqsetc("T", 0, 0, 1200.0), e.calc()),
     lambda e: e.tqgetr("H", 0, 0)),
    (609, calcite_at, lambda e: (e.calc(), e.tqgetr("pH", 0, 0))),
    (702, lambda e: (e.tqsetc("IA", 0, 1, 1.0), e.tqsetc("IA", 0, 2, 1.0), e.tqsetc("IA", 0, 3, 5.0),
                     e.tqconf("ASSEMBLIES", 1, 0, 0)),
     lambda e: e.calc()),
    (705, lambda e: e.tqsetc("IA", 0, 1, 1.0), lambda e: e.calc()),  # calcium alone
    (705, lambda e: (calcite_at(e), [e.tqcsp(p, "ELIMINATED") for p in (1, 2, 3, 4)]),
     lambda e: e.calc()),
    (706, lambda e: calcite_at(e).tqsetc("VT", 0, 0, 0.0), lambda e: e.calc()),
    (706, lambda e: calcite_at(e).tqsetc("VT", 0, 0, 1e30), lambda e: e.calc()),
    (707, lambda e: (calcite_at(e), e.set_phase_target(CALCITE), e.tqconf("ITERATIONS", 500, 2, 0)),
     lambda e: e.calc_Ttarget(estimate=(300, 0))),
    (708, lambda e: (e.tqsetc("AC", GAS, 1, 0.5), e.tqsetc("H", 0, 0, 0.0)),
     lambda e: e.tqce("IA", GAS, 1, (0.0, 1.0))),
    (710, lambda e: (calcite_at(e), e.tqsetc("A", LIME, 0, -1.0)), lambda e: e.calc_Ttarget()),
    (710, lambda e: (calcite_at(e), e.tqcsp(LIME, "ELIMINATED"), e.set_phase_target(LIME)),
     lambda e: e.calc_Ttarget()),
    (711, lambda e: (calcite_at(e), e.tqcspc(GAS, 3, "ELIMINATED"), e.tqsetc("AT", GAS, 3, 0.5)),
     lambda e: e.calc_Ttarget()),
    (712, lambda e: (e.tqsetc("IA", LIME, 1, 1.0), e.tqsetc("IA", GAS, 1, 1.0),
                     e.set_phase_target(CALCITE), e.tqclim("TLOW", 1200.0)),
     lambda e: e.calc_Ttarget(estimate=(1500, 0))),
    (713, lambda e: (e.tqsetc("IA", LIME, 1, 1.0), e.tqsetc("IA", GAS, 1, 1.0),
                     e.set_phase_target(CALCITE), e.tqclim("THIGH", 1000.0)),
     lambda e: e.calc_Ttarget(estimate=(500, 0))),
]


@pytest.mark.parametrize("number, setup, call", CASES)
def test_error_numbers(limestone, number, setup, call):
    if setup:
        setup(limestone)
        assert limestone.last_error == 0, (limestone.last_error, limestone.last_error_message)
    call(limestone)
    assert limestone.last_error == number, limestone.last_error_message


@pytest.mark.parametrize(
    "text, number, setup, call",
    [
        (MASSLESS, 204, None, lambda e: e.tqcsu("Amount", "gram")),
        (BOTTOMLESS, 703, lambda e: e.tqsetc("IA", 1, 1, 1.0), lambda e: e.calc()),
        (TWO_GASES, 709, lambda e: (e.tqsetc("IA", 1, 2, 1.0), e.tqsetc("XT", 1, 1, -0.1)),
         lambda e: e.tqce("IA", 1, 1, (-1.0, 0.2))),
        (TWO_GASES, 713, lambda e: (e.tqsetc("IA", 1, 2, 1.0), e.tqsetc("XT", 1, 1, 0.25)),
         lambda e: e.tqce("IA", 1, 1, (-1.0, 0.2))),
        (TWO_GASES, 514, None, lambda e: e.tqsetc("IA", 1, 1, 1.0)),
    ],
)
def test_error_numbers_of_small_systems(engine, tmp_path, text, number, setup, call):
    if number == 514:  # a constituent that cannot be an incoming species
        text = text.replace("{name: A(g), stoichiometry: [1, 0],",
                            "{name: A(g), stoichiometry: [1, 0], incoming: false,")
    load(engine, write_dat(tmp_path, "small.dat", text))
    if setup:
        setup(engine)
        assert engine.last_error == 0, engine.last_error_message
    call(engine)
    assert engine.last_error == number, engine.last_error_message
    if number == 204:
        assert engine.unitA == "mol"


def test_the_amount_unit_refused_keeps_mol_and_others_change(engine, tmp_path):
    load(engine, write_dat(tmp_path, "small.dat", TWO_GASES))
    engine.tqcsu("Amount", "kg")
    assert engine.last_error == 0 and engine.unitA == "kg"


def read_all(engine, reads):
    """(value, error) of each tqgetr read."""
    out = []
    for read in reads:
        engine.last_error = 0
        out.append((engine.tqgetr(*read), engine.last_error))
    engine.last_error = 0
    return out


def test_a_failed_calculation_leaves_no_result_and_the_conditions(limestone):
    e = calcite_at(limestone)
    e.calc()
    assert e.last_error == 0
    reads = [("T", 0, 0), ("A", GAS, 0), ("A", LIME, 0), ("G", 0, 0), ("MU", 0, 3)]
    before = [e.tqgetr(*r) for r in reads]
    e.set_phase_target(CALCITE)
    e.tqclim("THIGH", 1000.0)
    e.calc_Ttarget(estimate=(500, 0))
    assert e.last_error == 713
    # No result until a calculation succeeds: every read is refused, its output left unwritten.
    assert read_all(e, reads) == [(0.0, 516)] * len(reads)
    # The target calculation changed no condition: without the target, a calculation from the
    # (missing) last result is the plain one at the temperature set.
    e.remove_condition(3)
    e.calc(from_previous=True)
    assert e.last_error == 0
    assert [e.tqgetr(*r) for r in reads] == pytest.approx(before, rel=1e-9)
    e.tqsetc("T", 0, 0, -1.0)
    e.calc()
    assert e.last_error == 510
    assert read_all(e, reads) == [(0.0, 516)] * len(reads)
    e.tqsetc("T", 0, 0, 1200.0)
    e.calc(from_previous=True)
    assert [e.tqgetr(*r) for r in reads] == pytest.approx(before, rel=1e-9)


# --- what a calculation leaves: its result, or none ---------------------------------------------

READS = [("T", 0, 0), ("A", GAS, 0), ("A", CALCITE, 0), ("G", 0, 0), ("MU", 0, 3), ("AC", GAS, 1),
         ("X", 0, 2), ("HM", LIME, 0)]


def no_input(engine):
    engine.tqremc(0)


# (number, what is set first, the option and values of the calculation that fails): each ran,
# so no result is left.
FAILED_CALCULATIONS = [
    (510, lambda e: e.tqsetc("T", 0, 0, -5.0), " ", (0, 0)),
    (513, lambda e: e.tqsetc("IA", CALCITE, 1, math.inf), " ", (0, 0)),
    (508, no_input, " ", (0, 0)),
    (713, lambda e: (e.set_phase_target(CALCITE), e.tqclim("THIGH", 1000.0)), "T", (500, 0)),
    (711, lambda e: e.tqsetc("AT", GAS, 1, math.inf), "T", (1000, 0)),
]

# (number, what is set first, the call refused for its own arguments): nothing changes.
REFUSED_CALLS = [
    (201, None, lambda e: e.tqce("Q", 0, 0, (0, 0))),
    (505, lambda e: e.set_phase_target(CALCITE), lambda e: e.tqce("IA", CALCITE, 1, (2.0, 1.0))),
    (511, None, lambda e: e.calc_Ttarget()),
    (512, lambda e: e.set_phase_target(LIME), lambda e: e.calc()),
]


@pytest.mark.parametrize("number, setup, option, vals", FAILED_CALCULATIONS)
def test_a_failed_calculation_replaces_the_last_result_with_none(limestone, number, setup, option,
                                                                 vals):
    e = calcite_at(limestone)
    e.calc()
    assert e.last_error == 0
    setup(e)
    e.tqce(option, 0, 0, vals)
    assert e.last_error == number
    assert read_all(e, READS) == [(0.0, 516)] * len(READS)
    # TQCEN has no result to start from: it calculates as TQCE does, to the same refusal.
    e.tqcen(option, 0, 0, vals)
    assert e.last_error == number
    assert read_all(e, READS) == [(0.0, 516)] * len(READS)


@pytest.mark.parametrize("number, setup, call", REFUSED_CALLS)
def test_a_call_refused_for_its_arguments_keeps_the_last_result(limestone, number, setup, call):
    e = calcite_at(limestone)
    e.calc()
    before = read_all(e, READS)
    assert all(error == 0 for _, error in before)
    if setup:
        setup(e)
    call(e)
    assert e.last_error == number
    assert read_all(e, READS) == before


@pytest.mark.parametrize("step", ["TF", "TN"])
def test_a_map_call_that_fails_leaves_no_result_and_the_map_its_place(limestone, step):
    e = calcite_at(limestone)
    limits = (1100.0, 1300.0)
    assert e.tqmap("TF", 0, 0, limits) == 2  # calcite's decomposition, then 1300 K
    transition = e.tqmap("TN", 0, 0, limits) == 1 and e.tqgetr("T", 0, 0)
    assert e.tqmap("TF", 0, 0, limits) == 2
    e.tqsetc("IA", CALCITE, 1, math.inf)  # accepted: conditions are read when calculated
    e.tqmap(step, 0, 0, limits)
    assert e.last_error == 513
    assert read_all(e, READS) == [(0.0, 516)] * len(READS)
    e.tqsetc("IA", CALCITE, 1, 1.0)
    e.last_error = 0
    if step == "TN":  # the step failed, the map is where it was
        assert e.tqmap("TN", 0, 0, limits) == 1 and e.tqgetr("T", 0, 0) == transition
    else:  # the first call failed, the map started before is still there
        assert e.tqmap("TN", 0, 0, limits) == 1
    assert e.last_error == 0 and e.tqgetr("A", CALCITE, 0) == pytest.approx(1.0)


def test_before_any_calculation_tqcen_is_refused_and_after_a_failed_one_it_calculates(limestone):
    e = calcite_at(limestone)
    e.calc(from_previous=True)
    assert e.last_error == 516
    e.calc(from_previous=True)  # a refused TQCEN is no calculation: still none to start from
    assert e.last_error == 516
    e.tqsetc("T", 0, 0, -5.0)
    e.calc()
    assert e.last_error == 510
    e.tqsetc("T", 0, 0, 1200.0)
    e.last_error = 0
    e.calc(from_previous=True)
    assert e.last_error == 0
    after_tqcen = read_all(e, READS)
    e.calc()
    assert read_all(e, READS) == pytest.approx(after_tqcen, rel=1e-12)


def test_a_failed_listed_calculation_lists_nothing(engine, sample_data_dir, tmp_path):
    log = tmp_path / "list.log"
    engine.tqopen(str(log), 6)
    e = calcite_at(load(engine, sample_data_dir / "limestone.dat"))
    e.calc(show=True)
    assert e.last_error == 0 and log.read_text().count("Equilibrium") == 1
    e.tqsetc("T", 0, 0, -5.0)
    e.calc(show=True)
    e.calc(show=True, from_previous=True)
    assert e.last_error == 510
    assert log.read_text().count("Equilibrium") == 1


def test_custom_calculations_read_no_stale_result(standin_engine, sample_data_dir, capsys):
    # After a refused calculation the activity read has no result to answer from: on the
    # library road it is the unwritten output 0.0 (R T ln 0 then is not finite, the engine
    # recording 516), on the basic road the refusal raises; neither is a number from the state
    # calculated before.
    import numpy as np

    from equilexproxy import custom

    e = load(standin_engine, sample_data_dir / "limestone.dat")
    for k, amount in ((1, 1.0), (2, 1.0), (3, 3.0)):
        e.tqsetc("IA", 0, k, amount)
    e.tqsetc("T", 0, 0, 3000.0)
    e.calc()  # a result in which CaCO3 is unstable
    if e.use_eqpy:
        from equilex.basic import EquilexError

        with pytest.raises(EquilexError) as refused:
            custom.ce_activity_isothermal(e, -5.0, CALCITE)
        assert refused.value.number == 510
        e.tqcsp(CALCITE, "ENTERED")
        with pytest.raises(EquilexError) as refused:
            custom.ce_formation_binary_t(e, CALCITE, 5e-324, 3000.0)
        assert refused.value.number == 510
        assert "both" not in capsys.readouterr().out
        return
    e.last_error = 0
    with np.errstate(divide="ignore"):
        value = custom.ce_activity_isothermal(e, -5.0, CALCITE)
        assert not np.isfinite(value) and e.last_error == 516
        e.last_error = 0
        assert not np.isfinite(custom.ce_activity_isothermal(e, 5e-324, CALCITE))
    assert e.last_error == 516


def test_refused_conditions_write_no_number(limestone):
    e = limestone
    assert e.tqsetc("Q", 0, 0, 1.0) == 0 and e.last_error == 201
    assert e.tqsetc("IA", 0, -1, 1.0) == 0 and e.last_error == 401
    assert e.tqsetc("IA", -2, 1, 1.0) == 0 and e.last_error == 402


def test_condition_numbers(limestone):
    e = limestone
    first = e.tqsetc("IA", CALCITE, 1, 1.0)
    second = e.tqsetc("IA", GAS, 1, 1.0)
    assert first >= 4 and second not in (first, 1, 2, 3)
    assert e.tqsetc("IA", CALCITE, 1, 2.0) == first  # replaced, same number
    assert e.tqsetc("T", 0, 0, 1000.0) == 2 and e.tqsetc("P", 0, 0, 1.0) == 1
    assert e.tqsetc("VT", 0, 0, 10.0) == 1
    assert e.tqsetc("A", LIME, 0, 0.0) == 3 and e.tqsetc("H", 0, 0, 0.0) == 3
    assert e.tqsetc("MU", GAS, 2, -1e5) not in (first, second)
    e.tqremc(first)
    assert e.last_error == 0
    e.tqremc(first)
    assert e.last_error == 404
    for numcon in (0, -1, -2):
        e.last_error = 0
        e.tqremc(numcon)
        assert e.last_error == 0


def test_remove_all_on_a_library_without_data(engine):
    engine.tqremc(-1)
    engine.tqremc(-2)
    engine.tqremc(0)
    assert engine.last_error == 0
    engine.tqremc(5)
    assert engine.last_error == 104


def test_without_data_104_and_units_need_only_tqini(engine):
    for call in (lambda: engine.tqsetc("T", 0, 0, 1.0), lambda: engine.tqgetr("T", 0, 0),
                 lambda: engine.tqce(" ", 0, 0, (0, 0)), lambda: engine.tqmap("TF", 0, 0, (1, 2)),
                 lambda: engine.tqsttp("s", (300, 1)), lambda: engine.tqchar(1, 1),
                 lambda: engine.tqshow()):
        engine.last_error = 0
        call()
        assert engine.last_error == 104
    engine.last_error = 0
    engine.tqcsu("Temperature", "C")
    engine.tqclim("TLOW", 100.0)
    engine.tqconf("OUTPUT", 0, 8, 0)
    assert engine.last_error == 0 and engine.unitT == "C"


def test_too_many_streams(limestone):
    e = limestone
    for k in range(e.tqsize()[0]):
        e.tqsttp(f"stream {k}", (300, 1))
    assert e.last_error == 0
    e.tqsttp("one more", (300, 1))
    assert e.last_error == 405


def test_errors_on_the_basic_road_raise(standin_engine, sample_data_dir):
    engine = load(standin_engine, sample_data_dir / "limestone.dat")
    if not engine.use_eqpy:
        pytest.skip("library road: numbers are recorded (the cases above)")
    from equilex.basic import EquilexError

    with pytest.raises(EquilexError) as refused:
        engine.tqce(" ", 0, 0, (0, 0))
    assert refused.value.number == 508
    with pytest.raises(EquilexError) as refused:
        engine.tqbond(1, 1, 2, 0, 0)
    assert refused.value.number == 607


def renew_by_reading_again(engine, sample_data_dir):
    load(engine, sample_data_dir / "limestone.dat")


def renew_by_tqini(engine, sample_data_dir):
    engine.tqini()
    load(engine, sample_data_dir / "limestone.dat")


@pytest.mark.parametrize("renew, keeps_settings",
                         [(renew_by_reading_again, True), (renew_by_tqini, False)])
def test_a_new_system_starts_without_the_old_ones_state(limestone, sample_data_dir, renew,
                                                         keeps_settings):
    e = calcite_at(limestone, 900.0)
    e.tqcsu("Temperature", "C")
    e.tqsttp("feed", (25.0, 1.0))
    assert e.tqmap("TF", 0, 0, (600.0, 1000.0)) > 0
    assert e.last_error == 0
    renew(e, sample_data_dir)
    after = []
    for call in (lambda: e.tqgetr("T", 0, 0), lambda: e.calc(from_previous=True),
                 lambda: e.tqmap("TN", 0, 0, (600.0, 1000.0)), lambda: e.tqstxp("feed", "H"),
                 lambda: e.calc()):
        e.last_error = 0
        call()
        after.append(e.last_error)
    # No result, no map in progress, no stream, no incoming amount.
    assert after == [516, 516, 201, 202, 508]
    assert e.unitT == ("C" if keeps_settings else "K")


# --- amounts near the largest double -------------------------------------------------------------


def run_fresh(script, libequilex_path, *arguments):
    """Runs `script` in a fresh interpreter with LIBRARY bound to the stand-in's path and `ARGS` to
    `arguments`; it must end normally within the time limit. Returns its standard output."""
    prelude = f"LIBRARY = {str(libequilex_path)!r}\nARGS = {[str(a) for a in arguments]!r}\n"
    done = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(script)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode >= 0, f"ended by signal {-done.returncode}:\n{done.stderr}"
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_a_calculation_whose_equations_overflow_fails_instead_of_crashing(libequilex_path,
                                                                          sample_data_dir):
    # From a previous equilibrium with a stream and a dormant phase, an incoming amount of 1e308
    # makes the Newton matrix non-finite; its decomposition once read past its arrays.
    out = run_fresh(
        """
        from equilexproxy.raw import EquilexProxy

        e = EquilexProxy(LIBRARY)
        e.tqini()
        e.load_datafile(ARGS[0])
        e.tqsttp("S1", (1e12, 298.15))
        e.tqcsp(4, "DORMANT")
        e.tqstca("S1", 1, 3, 2157.5216082136167)
        e.tqsetc("H", 1, 0, 0.0)
        e.tqce("T", 4, 1, (-0.0, -0.0))
        e.tqremc(-1)
        e.tqsetc("IA", 0, 2, 1e308)
        e.tqsetc("G", 4, 0, 45025.045710891805)
        e.tqsetc("IA", 1, 3, 1342.6609228355233)
        e.last_error = 0
        e.tqcen("T", -1, 3, (298.15, -1e308))
        print(e.last_error)
        """,
        libequilex_path, sample_data_dir / "limestone.dat")
    assert int(out.split()[-1]) != 0


def test_a_start_whose_mixtures_never_settle_fails_instead_of_reading_past_its_solution(
        libequilex_path, sample_data_dir):
    # At a temperature of 1e-12 K the start's rounds of mixture compositions run out while
    # still adding some; the columns of the last round were once read from a solution that
    # did not have them.
    out = run_fresh(
        """
        from equilexproxy.raw import EquilexProxy

        e = EquilexProxy(LIBRARY)
        e.tqini()
        e.load_datafile(ARGS[0])
        e.tqsetc("IA", 0, 1, 5e-324)
        e.tqmap("TF", 1, 4, (1e-12, 3135.9138095625876))
        e.tqsetc("IA", 11, 1, 2e9)
        e.tqce(" ", -1, 1, (3721.862899016035, 298.15))
        print(e.last_error)
        """,
        libequilex_path, sample_data_dir / "structure.dat")
    # Whether the minimisation ends out of Newton iterations (705) or of assemblages (702)
    # follows the rounding of the balance rows; either is an honest failure.
    assert int(out.split()[-1]) in (0, 702, 705)


@pytest.mark.parametrize("amount_a", [1e19, 1e100])
def test_an_amount_map_where_doubles_are_coarser_than_its_tolerance_ends(libequilex_path,
                                                                         tests_data_dir,
                                                                         amount_a):
    # B varies from 0 to ten times A at 1000 K, where AB is stable: A + AB below B = A, AB + B
    # above. So far from zero no double lies within the map's tolerance of the transition; the
    # search for it once never ended.
    out = run_fresh(
        """
        from equilexproxy.raw import EquilexProxy

        e = EquilexProxy(LIBRARY)
        e.tqini()
        e.load_datafile(ARGS[0])
        a = float(ARGS[1])
        e.tqsetc("T", 0, 0, 1000.0)
        e.tqsetc("IA", 0, 1, a)
        e.tqsetc("IA", 0, 2, 0.0)
        points = []
        steps = e.tqmap("IAF", 0, 2, (0.0, 10 * a))
        points.append((e.last_error, e.tqgetr("IA", 0, 2)))
        while steps > 0:
            steps = e.tqmap("IAN", 0, 2, (0.0, 10 * a))
            points.append((e.last_error, e.tqgetr("IA", 0, 2)))
        print(points)
        """,
        libequilex_path, tests_data_dir / "ab.dat", amount_a)
    points = ast.literal_eval(out.splitlines()[-1])
    assert all(error == 0 for error, _ in points)
    amounts = [amount for _, amount in points]
    assert amounts[-1] == 10 * amount_a
    assert any(amount == pytest.approx(amount_a, rel=1e-9) for amount in amounts)
