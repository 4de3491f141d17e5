"""Streams (input at their own temperature and pressure, results as balances), system
components chosen with TQCSC, charges and the listings of TQSHOW, TQCEL and TQMAPL, on the
stand-in, checked against the stored data and against one another."""

import math

import numpy as np
import pytest

from equilibrium_support import R, load, ok, standard_hs, tests_data_dir, write_dat  # noqa: F401

GAS, CALCITE, LIME, GRAPHITE = 1, 2, 3, 4


@pytest.fixture
def limestone(standin_engine, sample_data_dir):
    return load(standin_engine, sample_data_dir / "limestone.dat")


def test_a_stream_at_its_own_temperature_and_pressure(limestone):
    e = limestone
    e.tqsttp("carbon dioxide", (500.0, 2.0))
    e.tqstca("carbon dioxide", GAS, 1, 0.75)
    e.tqstca("carbon dioxide", GAS, 2, 0.25)
    ok(e)
    h1, s1 = standard_hs(e, GAS, 1, 500.0)
    h2, s2 = standard_hs(e, GAS, 2, 500.0)
    assert e.tqstxp("carbon dioxide", "H") == pytest.approx(0.75 * h1 + 0.25 * h2, rel=1e-12)
    mixing = -R * (0.75 * math.log(0.75 * 2.0) + 0.25 * math.log(0.25 * 2.0))
    assert e.tqstxp("carbon dioxide", "S") == pytest.approx(0.75 * s1 + 0.25 * s2 + mixing, rel=1e-12)
    assert e.tqstxp("carbon dioxide", "V") == pytest.approx(R * 500.0 / 2e5 * 1000.0, rel=1e-12)
    assert e.tqstxp("carbon dioxide", "A") == pytest.approx(1.0)
    assert (e.tqstxp("carbon dioxide", "T"), e.tqstxp("carbon dioxide", "P")) == (500.0, 2.0)
    e.tqsttp("carbon dioxide", (600.0, 2.0))  # the same stream, another temperature
    assert e.tqstxp("carbon dioxide", "T") == 600.0
    e.tqstrm("carbon dioxide")
    ok(e)


def test_with_streams_the_extensive_results_are_balances(limestone):
    e = limestone
    e.tqsttp("calcite", (298.15, 1.0))
    e.tqstca("calcite", CALCITE, 1, 1.0)
    e.tqstec("T", 0, 1200.0)
    e.calc()
    ok(e)
    assert e.temperature == 1200.0
    h_stream = standard_hs(e, CALCITE, 1, 298.15)[0]
    assert e.tqstxp("calcite", "H") == pytest.approx(h_stream)
    phases = [e.tqgetr("H", p, 0) for p in range(1, 5)]
    assert e.tqgetr("H", 0, 0) == pytest.approx(sum(phases) - h_stream, rel=1e-12)
    volumes = [e.tqgetr("V", p, 0) for p in range(1, 5)]
    assert e.tqgetr("VT", 0, 0) == pytest.approx(sum(volumes), rel=1e-12)  # not a balance
    assert e.tqgetr("V", 0, 0) == pytest.approx(sum(volumes) - e.tqstxp("calcite", "V"))
    # An enthalpy target of the reaction: no heat taken up or given off, the calcite fed at
    # 298.15 K stays calcite at 298.15 K.
    e.tqstec("H", 0, 0.0)
    e.calc_Ttarget(estimate=(1000.0, 0.0))
    ok(e)
    assert e.tqgetr("H", 0, 0) == pytest.approx(0.0, abs=1e-6)
    assert e.temperature == pytest.approx(298.15, abs=1e-6)
    assert e.tqgetr("A", CALCITE, 0) == pytest.approx(1.0)


def test_a_150_character_stream_name(limestone):
    name = "n" * 150
    limestone.tqsttp(name, (300.0, 1.0))
    limestone.tqstca(name.upper(), CALCITE, 1, 1.0)  # names ignore letter case
    ok(limestone)
    assert limestone.tqstxp(name, "A") == pytest.approx(1.0)


def test_other_system_components(limestone):
    e = limestone
    e.tqsetc("IA", 0, 1, 1.0)
    e.tqsetc("IA", 0, 2, 1.0)
    e.tqsetc("IA", 0, 3, 3.0)
    e.tqsetc("T", 0, 0, 1200.0)
    e.calc()
    amounts = [e.tqgetr("A", p, 0) for p in range(1, 5)]
    g = e.tqgetr("G", 0, 0)
    e.tqcsc(["CaO", "CO2", "O2"])
    ok(e)
    assert e.tqnosc() == 3 and [e.tqgnsc(k) for k in (1, 2, 3)] == ["CaO", "CO2", "O2"]
    masses = [40.078 + 15.999, 12.011 + 2 * 15.999, 2 * 15.999]
    assert [e.tqstsc(k)[0] for k in (1, 2, 3)] == pytest.approx(masses)
    assert list(e.tqstpc(CALCITE, 1)[1]) == [1.0, 1.0, 0.0]
    assert list(e.tqstpc(GAS, 2)[1]) == [0.0, 1.0, -0.5]  # CO = CO2 - O2 / 2
    e.calc()
    ok(e)
    assert [e.tqgetr("A", p, 0) for p in range(1, 5)] == pytest.approx(amounts, rel=1e-9)
    assert e.tqgetr("G", 0, 0) == pytest.approx(g, rel=1e-12)
    assert [e.tqgetr("IA", 0, k) for k in (1, 2, 3)] == pytest.approx([1.0, 1.0, 0.0], abs=1e-12)
    mu = [e.tqgetr("MU", 0, k) for k in (1, 2, 3)]
    assert g == pytest.approx(mu[0] + mu[1], rel=1e-10)
    assert e.tqgetr("AC", LIME, 0) == pytest.approx(1.0)


# Inputs in Ca, C, O re-expressed in CaO, CO2, O2: small amounts, and amounts a hair off a whole
# number, are inputs to be held, not rounding (CaO alone holds Ca, so its amount is Ca's input).
@pytest.mark.parametrize("t, p, inputs, in_new_basis", [
    (1200.0, 1.0, (5e-13, 0.0, 1.0), (5e-13, 0.0, 0.5 - 2.5e-13)),
    (1500.0, 1.0, (1e-13, 0.0, 1e-13), (1e-13, 0.0, 0.0)),
    (2355.200670169159, 40.70497627903267,
     (9.44872312265238e-13, 1.8575761971264837e-14, 0.022087702602476892), None),
])
def test_other_system_components_keep_small_inputs(limestone, t, p, inputs, in_new_basis):
    e = limestone
    for k, amount in enumerate(inputs, 1):
        e.tqsetc("IA", 0, k, amount)
    e.tqsetc("T", 0, 0, t)
    e.tqsetc("P", 0, 0, p)
    e.tqcsc(["CaO", "CO2", "O2"])
    ok(e)
    ca, c, o = inputs
    expected = in_new_basis or (ca, c, (o - ca - 2 * c) / 2)
    e.calc()
    ok(e)
    assert [e.tqgetr("IA", 0, k) for k in (1, 2, 3)] == pytest.approx(expected, rel=1e-12, abs=0)
    assert e.tqgetr("A", LIME, 0) == pytest.approx(ca, rel=1e-6)


def test_a_constituent_that_holds_no_component_is_no_input(engine, tests_data_dir):
    """The empty end member of a sublattice phase brings no matter: nothing to calculate (508),
    as with no input at all, rather than a minimisation over nothing."""
    e = load(engine, tests_data_dir / "carbide.dat")
    carbide = e.tqinp("CARBIDE")
    e.tqsetc("IA", carbide, e.tqinpc(carbide, "Va:Va"), 1.0)
    e.last_error = 0
    e.calc()
    assert e.last_error == 508


def test_charges(engine, sample_data_dir, tmp_path):
    load(engine, sample_data_dir / "structure.dat")
    aqueous = 10
    assert [engine.tqchar(aqueous, c) for c in (1, 2, 3)] == [0, 1, -1]
    assert engine.tqchar(2, 1) == 0
    plasma = """\
equilex-data: 1
components:
  - {name: A, mass: 10}
  - {name: e-, mass: 0.00054858}
phases:
  - name: PLASMA
    model: IDMX
    gas: true
    constituents:
      - {name: A, stoichiometry: [1, 0], H298: 0, S298: 100, cp: [{Tt: 6000}]}
      - {name: A+, stoichiometry: [1, -1], H298: 500000, S298: 100, cp: [{Tt: 6000}]}
      - {name: A2-, stoichiometry: [1, 2], H298: 500000, S298: 100, cp: [{Tt: 6000}]}
"""
    load(engine, write_dat(tmp_path, "plasma.dat", plasma))
    assert [engine.tqchar(1, c) for c in (1, 2, 3)] == [0, 1, -2]
    ok(engine)
    assert engine.tqchar(1, 4) == -1 and engine.last_error == 403


def read_log(path):
    return path.read_text(encoding="latin-1")


@pytest.fixture
def logged(engine, sample_data_dir, tmp_path):
    """The limestone sample with the list unit 6 on a log file."""
    log = tmp_path / "list.log"
    engine.tqopen(str(log), 6)
    ok(engine)
    load(engine, sample_data_dir / "limestone.dat")
    engine.log_path = log
    return engine


def test_tqshow_lists_the_present_settings(logged):
    e = logged
    e.tqsetc("IA", CALCITE, 1, 1.0)
    e.tqsetc("T", 0, 0, 1100.0)
    e.tqshow()
    text = read_log(e.log_path)
    assert "Present settings" in text and "CaCO3 CaCO3" in text
    assert "Quantity" not in text and "TLOW" not in text and "DORMANT" not in text
    e.unitT = "C"
    e.tqclim("THIGH", 3000.0)
    e.tqcsp(GRAPHITE, "DORMANT")
    e.tqsttp("feed", (25.0, 1.0))
    e.tqshow()
    ok(e)
    text = read_log(e.log_path)
    assert "Temperature" in text and "THIGH" in text and "3000" in text
    assert "C(graphite)" in text and "DORMANT" in text and "feed" in text


def test_listings_of_calculations_and_maps(logged):
    e = logged
    e.tqsetc("IA", CALCITE, 1, 1.0)
    e.tqsetc("T", 0, 0, 1200.0)
    e.calc(show=True)
    ok(e)
    text = read_log(e.log_path)
    assert text.count("Equilibrium") == 1
    rows = [line for line in text.splitlines() if line.startswith("  CaO")]
    assert rows and "1" in rows[0]
    for name in ("GAS", "CO2", "CaCO3", "Potential/J"):
        assert name in text
    e.map_temp(1000, 1300, show=True)
    ok(e)
    assert read_log(e.log_path).count("Equilibrium") == 1 + 3
    e.tqconf("OUTPUT", 0, 4, 0)
    e.calc(show=True, from_previous=True)
    last = read_log(e.log_path).split("Equilibrium")[-1]
    assert "CaCO3" not in last.split("System")[0] and "CaO" in last


def test_listings_read_the_same_in_a_locale_with_a_decimal_comma(libequilex_path, sample_data_dir,
                                                                  tmp_path):
    # The host program may set a locale whose numbers print with a comma; the library's lists
    # are written with a point whatever the process's locale. The locale is compiled here into a
    # folder of the test's own (LOCPATH), so the machine needs only the locale sources.
    import os
    import shutil
    import subprocess
    import sys
    import textwrap

    localedef = shutil.which("localedef")
    compiled = subprocess.run([localedef, "-i", "de_DE", "-f", "UTF-8",
                               str(tmp_path / "de_DE.UTF-8")], capture_output=True)
    assert (tmp_path / "de_DE.UTF-8").is_dir(), compiled.stderr
    script = f"""
        import ctypes, locale
        locale.setlocale(locale.LC_ALL, "de_DE.UTF-8")
        buffer = ctypes.create_string_buffer(32)
        ctypes.CDLL(None).snprintf(buffer, 32, b"%.2f", ctypes.c_double(1.5))
        assert buffer.value == b"1,50", buffer.value  # the C library's numbers take the comma
        from equilexproxy.raw import EquilexProxy
        e = EquilexProxy({str(libequilex_path)!r})
        e.tqini()
        e.tqopen({str(tmp_path / 'list.log')!r}, 6)
        e.load_datafile({str(sample_data_dir / 'limestone.dat')!r})
        e.tqsetc("IA", 2, 1, 1.25)
        e.tqsetc("T", 0, 0, 1234.5)
        e.tqcel(" ", 0, 0, (0.0, 0.0))
        assert e.last_error == 0, e.last_error
        e.tqclos(6)
    """
    environment = dict(os.environ, LOCPATH=str(tmp_path))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], env=environment,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    text = read_log(tmp_path / "list.log")
    assert "1234.5" in text and "1.25" in text
    assert "1234,5" not in text and "1,25" not in text


# (data file, T, P, inputs in the file's components, other system components): the equilibrium
# is the same in any basis. Each has a component without input (hydrogen, carbon) whose
# amount in the new basis is the difference of two inputs: the programme that finds the species
# without matter (those holding it) gave a direction with rounding of a few 1e-16 in another
# component, which kept CO2 (or B2C, CaCO3) out as well; the gas held the carbon as CO with
# error 0, 12 % above the minimum, or the calculation failed with 705.
OTHER_BASES = [
    ("tests/data/cho_gas.dat", 1486.7914519103365, 2.4396003705477542,
     (0.41970702798724846, 0.0, 2.0175450590549833), ["CO2", "H2O", "H2"]),
    ("tests/data/carbide.dat", 2179.439136870331, 1.0,
     (0.014663927341030966, 1.2440058251637243, 0.0), ["A", "B2C", "C"]),
    ("tests/data/carbide.dat", 955.3536049094824, 1.0,
     (0.05170075104203311, 0.11374342210157765, 0.0), ["A", "B2C", "C"]),
    ("data/limestone.dat", 1424.0669819214086, 0.132829883442686,
     (0.03333794592867275, 0.0, 0.11440481984675044), ["CaCO3", "CO", "O2"]),
    # Calcite's own composition in a basis of calcite: the inputs' terms cancel in CO and O2,
    # and the 2e-16 mol of O2 their rounding left was taken for an input (703, "unbounded").
    ("data/limestone.dat", 600.0, 1.0, (1.0, 1.0, 3.0), ["CaCO3", "CO", "O2"]),
    ("data/limestone.dat", 1500.0, 1.0, (1.0, 1.0, 3.0), ["CaCO3", "CO", "O2"]),
]


@pytest.mark.parametrize("file_name, t, p, inputs, basis", OTHER_BASES,
                         ids=[f"{f.split('/')[-1][:-4]}-{t:.0f}K" for f, t, *_ in OTHER_BASES])
def test_the_equilibrium_is_the_same_in_other_system_components(engine, file_name, t, p, inputs,
                                                                basis):
    from pathlib import Path

    from equilibrium_certificate import State, calculate, certify, open_system

    path = Path(__file__).resolve().parent.parent / file_name
    system = open_system(engine, path)
    default = calculate(engine, system, State(t, p, inputs))
    assert default.error == 0 and not certify(system, default)
    stoichiometry = {name: phase.stoichiometry[j] for phase in system.phases
                     for j, name in enumerate(phase.constituent_names)}
    engine.tqcsc(basis)
    ok(engine)
    engine.calc()
    ok(engine)
    total = sum(inputs)
    for i, phase in enumerate(system.phases, start=1):
        for j in range(phase.size):
            assert engine.tqgetr("A", i, j + 1) == pytest.approx(default.amounts[i - 1][j],
                                                                 abs=1e-9 * total)
    assert engine.tqgetr("G", 0, 0) == pytest.approx(default.g, rel=1e-10)
    # A system component's potential is its formula's in the file's components, where the
    # phases present fix the potentials (else they are placed, in either basis) and it holds
    # no component without input (placed by the zero-input rule).
    holding = [phase.stoichiometry[j] for phase, amounts in zip(system.phases, default.amounts)
               for j in range(phase.size) if amounts[j] > 0]
    if np.linalg.matrix_rank(np.array(holding)) < sum(1 for b in inputs if b != 0):
        return
    for k, name in enumerate(basis, start=1):
        if any(a != 0 and b == 0 for a, b in zip(stoichiometry[name], inputs)):
            continue
        assert engine.tqgetr("MU", 0, k) == pytest.approx(
            stoichiometry[name] @ default.potentials, abs=1e-8 * R * t)


@pytest.mark.parametrize("t, p, hydrogen", [
    (1882.58521916026, 0.44634229098024336, 0.015125467531926864),
    (673.7820691736196, 0.1407982110347078, 0.5747328708850576),
])
def test_the_zero_input_rule_holds_in_other_system_components(engine, tests_data_dir, t, p,
                                                              hydrogen):
    # Hydrogen alone in CO, CO2 and H2: the species of C and O, which nothing can hold, hold the
    # new components with both signs (graphite is 2 CO - CO2). Their potentials were placed as
    # free ones and went to +1.6e8 J/mol with error 0: graphite, H2O and CH4 far above
    # activity 1, reading graphite's activity gave 606.
    from equilibrium_certificate import open_system

    system = open_system(engine, tests_data_dir / "cho_gas.dat")
    for k, amount in enumerate((0.0, hydrogen, 0.0), start=1):
        engine.tqsetc("IA", 0, k, amount)
    engine.tqsetc("T", 0, 0, t)
    engine.tqsetc("P", 0, 0, p)
    engine.tqcsc(["CO", "CO2", "H2"])
    engine.calc()
    ok(engine)
    for i, phase in enumerate(system.phases, start=1):
        for j, name in enumerate(phase.constituent_names, start=1):
            activity = engine.tqgetr("AC", i, j)
            ok(engine)
            if phase.stoichiometry[j - 1][1] == 0:  # no hydrogen: its species stay at e^-50
                assert activity <= math.exp(-50.0) * (1 + 1e-9), name
            else:
                assert activity <= 1.0 + 1e-9, name
