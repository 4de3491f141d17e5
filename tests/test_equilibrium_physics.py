"""The stand-in's equilibria against numbers computed here: closed forms (a melting point at
dH/dS, a regular solution's activity coefficient, a compound forming at a known temperature) and
roots of Gibbs-energy differences evaluated from the stored data that tqgdat reports."""

import math

import pytest

from equilibrium_support import R, T0, bisect, load, ok, standard_g, standard_hs, write_dat
from equilibrium_support import tests_data_dir  # noqa: F401 - a fixture

# One component: a solid and a liquid with zero heat capacities. dH = 10000 J/mol, dS = 10 J/(mol
# K): the liquid forms at 1000 K exactly. An ideal gas of the same component for the volume targets.
MELT = """\
equilex-data: 1
components:
  - {name: X, mass: 10}
phases:
  - name: GAS
    model: IDMX
    gas: true
    status: DORMANT
    constituents:
      - {name: X(g), stoichiometry: [1], H298: 200000, S298: 120, cp: [{a: 30, Tt: 6000}]}
  - name: SOLID
    model: PURE
    constituents:
      - {name: X, stoichiometry: [1], H298: 0, S298: 20, cp: [{Tt: 6000}]}
  - name: LIQUID
    model: PURE
    constituents:
      - {name: X, stoichiometry: [1], H298: 10000, S298: 30, cp: [{Tt: 6000}]}
"""
DH, DS = 10000.0, 10.0
GAS, SOLID, LIQUID = 1, 2, 3


@pytest.fixture
def melt(standin_engine, tmp_path):
    engine = load(standin_engine, write_dat(tmp_path, "melt.dat", MELT))
    engine.tqsetc("IA", SOLID, 1, 1.0)
    return engine


def test_melting_by_the_formation_target_is_dh_over_ds(melt):
    melt.tqsetc("T", 0, 0, 400.0)
    melt.set_phase_target(LIQUID, 0.0)
    melt.calc_Ttarget(estimate=(400.0, 0.0))
    ok(melt)
    assert melt.temperature == pytest.approx(DH / DS, rel=1e-10)
    assert melt.tqgetr("AC", LIQUID, 0) == pytest.approx(1.0, abs=1e-9)
    assert melt.tqgetr("A", LIQUID, 0) == 0.0
    assert melt.tqgetr("A", SOLID, 0) == pytest.approx(1.0)


def test_melting_is_the_transition_of_the_temperature_map(melt):
    result = melt.map_temp(300, 3000, [("T", 0, 0), ("A", SOLID, 0), ("A", LIQUID, 0),
                                       ("AC", LIQUID, 0)])
    ok(melt)
    temperatures = result[("T", 0, 0)]
    assert temperatures[0] == 300.0 and temperatures[-1] == 3000.0
    assert temperatures[1] == pytest.approx(DH / DS, abs=1e-6)
    assert len(temperatures) == 3
    # The transition reports the lower side with the liquid at activity 1 and amount 0.
    assert result[("A", SOLID, 0)] == pytest.approx([1.0, 1.0, 0.0])
    assert result[("A", LIQUID, 0)] == pytest.approx([0.0, 0.0, 1.0])
    assert result[("AC", LIQUID, 0)][1] == pytest.approx(1.0, abs=1e-9)


@pytest.mark.parametrize("temperature", [300.0, 700.0, 999.0, 1001.0, 2500.0])
def test_dormant_liquid_activity_is_minus_the_driving_force(melt, temperature):
    melt.tqcsp(LIQUID, "DORMANT")
    melt.tqsetc("T", 0, 0, temperature)
    melt.calc()
    ok(melt)
    rt_ln_a = R * temperature * math.log(melt.tqgetr("AC", LIQUID, 0))
    assert rt_ln_a == pytest.approx(-(DH - temperature * DS), rel=1e-9, abs=1e-7)
    assert melt.tqgetr("MU", LIQUID, 0) == pytest.approx(rt_ln_a, rel=1e-9, abs=1e-7)


def test_enthalpy_and_entropy_targets_of_a_constant_heat_capacity(tmp_path, engine):
    text = MELT.replace("cp: [{Tt: 6000}]}\n  - name: LIQUID", "cp: [{a: 30, Tt: 6000}]}\n  - name: LIQUID")
    load(engine, write_dat(tmp_path, "cp.dat", text))
    engine.tqsetc("IA", SOLID, 1, 2.0)
    engine.tqcsp(LIQUID, "ELIMINATED")
    engine.set_global_H(2 * 30.0 * (700.0 - T0))
    engine.calc_Ttarget(estimate=(2000.0, 0.0))
    ok(engine)
    assert engine.temperature == pytest.approx(700.0, rel=1e-10)
    engine.set_global_S(2 * (20.0 + 30.0 * math.log(450.0 / T0)))
    engine.calc_Ttarget(estimate=(300.0, 0.0))
    ok(engine)
    assert engine.temperature == pytest.approx(450.0, rel=1e-10)


def test_volume_target_of_an_ideal_gas(tmp_path, engine):
    load(engine, write_dat(tmp_path, "gas.dat", MELT.replace("status: DORMANT", "status: ENTERED")))
    engine.tqcsp(SOLID, "ELIMINATED")
    engine.tqcsp(LIQUID, "ELIMINATED")
    engine.tqsetc("IA", GAS, 1, 0.5)
    engine.tqsetc("P", 0, 0, 2.0)  # bar
    volume = 0.5 * R * 900.0 / 2e5 * 1000.0  # dm3 at 900 K
    engine.tqsetc("V", 0, 0, volume)
    engine.calc_Ttarget(estimate=(500.0, 0.0))
    ok(engine)
    assert engine.temperature == pytest.approx(900.0, rel=1e-10)
    assert engine.volume_total == pytest.approx(volume, rel=1e-12)
    # The pressure as the target variable: the pressure that gives the volume at 600 K.
    engine.tqsetc("T", 0, 0, 600.0)
    engine.calc_Ptarget(estimate=(1.0, 0.0))
    ok(engine)
    assert engine.pressure_total == pytest.approx(0.5 * R * 600.0 / (volume / 1000.0) / 1e5,
                                                  rel=1e-10)


def test_limestone_decomposes_where_the_gibbs_energies_cross(standin_engine, sample_data_dir):
    engine = load(standin_engine, sample_data_dir / "limestone.dat")
    gas, calcite, lime = 1, 2, 3
    # A gas of CO2 alone: 1 bar of CO2 exactly.
    engine.tqcspc(gas, 2, "ELIMINATED")
    engine.tqcspc(gas, 3, "ELIMINATED")
    engine.tqsetc("IA", lime, 1, 1.0)
    engine.tqsetc("IA", gas, 1, 1.0)
    engine.set_phase_target(calcite, 0.0)
    engine.calc_Ttarget(estimate=(1000.0, 0.0))
    ok(engine)

    def difference(t):
        return (standard_g(engine, calcite, 1, t) - standard_g(engine, lime, 1, t)
                - standard_g(engine, gas, 1, t))

    expected = bisect(difference, 800.0, 1500.0)
    assert engine.temperature == pytest.approx(expected, abs=1e-6)
    assert 1150.0 < expected < 1175.0  # the decomposition of calcite at 1 bar
    # The same temperature as the transition of a map from calcite.
    engine.remove_amounts()
    engine.tqsetc("IA", calcite, 1, 1.0)
    temperatures = engine.map_temp(300, 2000)[("T", 0, 0)]
    ok(engine)
    assert temperatures[1] == pytest.approx(expected, abs=1e-6)


@pytest.mark.parametrize("temperature", [1200.0, 1500.0, 1800.0])
def test_limestone_traces_of_co_and_o2(standin_engine, sample_data_dir, temperature):
    """Calcite gives CaO and CO2 with traces of CO and O2. The traces balance each other exactly
    (what CO2 lacks in oxygen is in O2: n(CO) = 2 n(O2)), and 2 CO + O2 = 2 CO2 holds at the
    equilibrium constant of the stored data, though the traces are orders of magnitude below
    the CO2."""
    engine = load(standin_engine, sample_data_dir / "limestone.dat")
    gas, calcite = 1, 2
    co2, co, o2 = 1, 2, 3
    engine.tqsetc("IA", calcite, 1, 1.0)
    engine.tqsetc("P", 0, 0, 1.0)
    engine.tqsetc("T", 0, 0, temperature)
    engine.tqce(" ", 0, 0, (0.0, 0.0))
    ok(engine)
    n_co, n_o2 = engine.tqgetr("A", gas, co), engine.tqgetr("A", gas, o2)
    assert 0.0 < n_o2 < 0.01 * engine.tqgetr("A", gas, co2)
    assert n_co == pytest.approx(2.0 * n_o2, rel=1e-9)
    x = {j: engine.tqgetr("AC", gas, j) for j in (co2, co, o2)}  # fugacities in bar
    dg = 2 * standard_g(engine, gas, co2, temperature) - 2 * standard_g(
        engine, gas, co, temperature) - standard_g(engine, gas, o2, temperature)
    assert math.log(x[co2] ** 2 / (x[co] ** 2 * x[o2])) == pytest.approx(
        -dg / (R * temperature), rel=1e-9)


def test_water_boils_where_the_gibbs_energies_cross(standin_engine, sample_data_dir):
    engine = load(standin_engine, sample_data_dir / "water.dat")
    gas, liquid = 1, 2
    engine.tqcspc(gas, 1, "ELIMINATED")
    engine.tqcspc(gas, 2, "ELIMINATED")
    engine.tqcsu("Pressure", "atm")
    engine.tqsetc("P", 0, 0, 1.0)
    engine.tqsetc("IA", liquid, 1, 1.0)
    engine.set_phase_target(gas, 0.0)
    engine.calc_Ttarget(estimate=(300.0, 0.0))
    ok(engine)

    # The liquid's molar volume M / density (no expansion data) adds V dP from 1 bar on:
    # cm3 bar = 0.1 J.
    molar_mass = engine.tqstpc(liquid, 1)[0]
    density = engine.tqgdat(liquid, 1, "V", 1)[0]
    pressure_term = 0.1 * molar_mass / density * (1.01325 - 1.0)

    def difference(t):
        gas_g = standard_g(engine, gas, 3, t) + R * t * math.log(1.01325)
        return standard_g(engine, liquid, 1, t) + pressure_term - gas_g

    expected = bisect(difference, 300.0, 500.0)
    assert engine.temperature == pytest.approx(expected, abs=1e-6)
    assert expected == pytest.approx(373.57, abs=0.01)


def test_water_stays_gaseous_above_the_boiling_point(engine, sample_data_dir):
    load(engine, sample_data_dir / "water.dat")
    engine.tqsetc("IA", 2, 1, 1.0)

    def difference(t):  # G(liquid) - G(gas), both at 1 bar
        return standard_g(engine, 2, 1, t) - standard_g(engine, 1, 3, t)

    for t in range(400, 6001, 100):
        assert difference(t) > 0, t
        engine.tqsetc("T", 0, 0, float(t))
        engine.calc()
        ok(engine)
        assert engine.tqgetr("A", 2, 0) == 0.0, t


REGULAR = """\
equilex-data: 1
components:
  - {name: A, mass: 10}
  - {name: B, mass: 20}
phases:
  - name: MIX
    model: RKMP
    constituents:
      - {name: A, stoichiometry: [1, 0], H298: 0, S298: 0, cp: [{Tt: 6000}]}
      - {name: B, stoichiometry: [0, 1], H298: 0, S298: 0, cp: [{Tt: 6000}]}
    excess_gibbs:
      - species: [[A, B]]
        expressions:
          - [L0, 0, 0, 0, 0, 0]
          - [L1, 0, 0, 0, 0, 0]
"""


@pytest.mark.parametrize("l0, l1", [(5000.0, 0.0), (0.0, 3000.0), (-4000.0, 2500.0)])
@pytest.mark.parametrize("x1", [0.2, 0.5, 0.8])
def test_redlich_kister_activity_coefficients(standin_engine, tmp_path, l0, l1, x1):
    text = REGULAR.replace("L0", str(l0)).replace("L1", str(l1))
    engine = load(standin_engine, write_dat(tmp_path, "regular.dat", text))
    t = 1000.0
    engine.tqsetc("T", 0, 0, t)
    engine.tqsetc("IA", 1, 1, x1)
    engine.tqsetc("IA", 1, 2, 1.0 - x1)
    engine.calc()
    ok(engine)
    x2 = 1.0 - x1
    # RT ln g1 = x2^2 (L0 + L1 (3 x1 - x2)), RT ln g2 = x1^2 (L0 - L1 (3 x2 - x1)).
    ln_g1 = x2 * x2 * (l0 + l1 * (3 * x1 - x2)) / (R * t)
    ln_g2 = x1 * x1 * (l0 - l1 * (3 * x2 - x1)) / (R * t)
    assert math.log(engine.tqgetr("AC", 1, 1) / x1) == pytest.approx(ln_g1, rel=1e-9, abs=1e-12)
    assert math.log(engine.tqgetr("AC", 1, 2) / x2) == pytest.approx(ln_g2, rel=1e-9, abs=1e-12)
    g_excess = x1 * x2 * (l0 + l1 * (x1 - x2))
    g_ideal = R * t * (x1 * math.log(x1) + x2 * math.log(x2))
    assert engine.tqgetr("G", 0, 0) == pytest.approx(g_ideal + g_excess, rel=1e-10)


# Three constituents: a binary parameter with a power and a pressure term, a ternary one with
# one expression or with three (the fractions of each species' share); the stored expressions
# are read in the test and the excess Gibbs energy written out here.
TERNARY = """\
equilex-data: 1
components:
  - {name: A, mass: 10}
  - {name: B, mass: 20}
  - {name: C, mass: 30}
phases:
  - name: MIX
    model: RKMP
    constituents:
      - {name: A, stoichiometry: [1, 0, 0], H298: 0, S298: 0, cp: [{Tt: 6000}]}
      - {name: B, stoichiometry: [0, 1, 0], H298: 0, S298: 0, cp: [{Tt: 6000}]}
      - {name: C, stoichiometry: [0, 0, 1], H298: 0, S298: 0, cp: [{Tt: 6000}]}
    excess_gibbs:
      - species: [[{name: A, power: 2}, C]]
        expressions:
          - [3000, -1, 0, 0, 0, 0, 150, 0]
          - [-2000, 0, 0, 0, 0, 0]
      - species: [[A, B, C]]
        expressions:
TERNARY_EXPRESSIONS
"""


def excess_gibbs(x, t, p_bar, binary, ternary):
    """G_ex (J/mol) of the phase above: x_A^2 x_C (L0 + L1 (x_A - x_C)) + x_A x_B x_C times
    L0 (one expression) or sum_m nu_m L_m, nu_m = x_m + (1 - x_A - x_B - x_C) / 3."""
    def value(e):
        return e[0] + e[1] * t + e[6] * p_bar
    a, b, c = x
    g = a * a * c * sum(value(e) * (a - c) ** v for v, e in enumerate(binary))
    if len(ternary) == 1:
        return g + a * b * c * value(ternary[0])
    rest = (1.0 - a - b - c) / 3.0
    return g + a * b * c * sum((xm + rest) * value(e) for xm, e in zip(x, ternary))


@pytest.mark.parametrize("ternary", [
    [[4000, 0, 0, 0, 0, 0, 0, 0]],
    [[4000, 0, 0, 0, 0, 0, 0, 0], [-3000, 1, 0, 0, 0, 0, 0, 0], [1500, 0, 0, 0, 0, 0, 0, 0]],
])
def test_excess_gibbs_energy_conventions(standin_engine, tmp_path, ternary):
    expressions = "\n".join(f"          - {e}" for e in ternary)
    text = TERNARY.replace("TERNARY_EXPRESSIONS", expressions)
    engine = load(standin_engine, write_dat(tmp_path, "ternary.dat", text))
    binary = [[3000, -1, 0, 0, 0, 0, 150, 0], [-2000, 0, 0, 0, 0, 0, 0, 0]]
    t, p_bar, n = 900.0, 10.0, (0.5, 0.3, 0.2)
    engine.tqsetc("T", 0, 0, t)
    engine.tqsetc("P", 0, 0, p_bar)
    for j, amount in enumerate(n, start=1):
        engine.tqsetc("IA", 1, j, amount)
    engine.calc()
    ok(engine)
    # ln g_j = d(N G_ex / RT) / d n_j, by central differences on the amounts.
    def total(amounts):
        size = sum(amounts)
        x = [a / size for a in amounts]
        return size * excess_gibbs(x, t, p_bar, binary, ternary) / (R * t)

    h = 1e-5
    for j in range(3):
        up = [a + (h if i == j else 0.0) for i, a in enumerate(n)]
        down = [a - (h if i == j else 0.0) for i, a in enumerate(n)]
        ln_g = (total(up) - total(down)) / (2 * h)
        assert math.log(engine.tqgetr("AC", 1, j + 1) / n[j]) == pytest.approx(ln_g, abs=1e-8)
    g_ideal = R * t * sum(x * math.log(x) for x in n)
    assert engine.tqgetr("G", 0, 0) == pytest.approx(
        g_ideal + excess_gibbs(n, t, p_bar, binary, ternary), rel=1e-10)


def magnetic_g(t, tc, moment, p):
    """R T ln(moment + 1) f(T / Tc), negative values (antiferromagnets) divided by -1 for
    p = 0.4 and by -3 otherwise."""
    factor = -1.0 if p == 0.4 else -3.0
    tc, moment = (v / factor if v < 0 else v for v in (tc, moment))
    tau = t / tc
    d = 518 / 1125 + 11692 / 15975 * (1 / p - 1)
    if tau <= 1:
        f = 1 - (79 / (140 * p * tau)
                 + 474 / 497 * (1 / p - 1) * (tau**3 / 6 + tau**9 / 135 + tau**15 / 600)) / d
    else:
        f = -(tau**-5 / 10 + tau**-15 / 315 + tau**-25 / 1500) / d
    return R * t * math.log(moment + 1) * f


@pytest.mark.parametrize("t", [300.0, 392.0, 700.0, 1043.0, 1500.0])
def test_magnetic_gibbs_energy(standin_engine, sample_data_dir, t):
    """The BCC phase of the structural sample (p = 0.4): A ferromagnetic (Tc 1043 K, 2.22), B
    antiferromagnetic (-392 K, -0.8). Its constituents' Gibbs energy at the conditions is the
    standard one from the stored data plus the magnetic term written out here, and the
    entropy is minus its derivative."""
    engine = load(standin_engine, sample_data_dir / "structure.dat")
    bcc = engine.tqinp("BCC")
    engine.tqsetc("T", 0, 0, t)
    for constituent, (tc, moment) in ((1, (1043.0, 2.22)), (2, (-392.0, -0.8))):
        expected = standard_g(engine, bcc, constituent, t) + magnetic_g(t, tc, moment, 0.4)
        assert engine.tqgdpc("G", bcc, constituent) == pytest.approx(expected, rel=1e-12)
        step = 1e-3
        s_magnetic = -(magnetic_g(t + step, tc, moment, 0.4)
                       - magnetic_g(t - step, tc, moment, 0.4)) / (2 * step)
        s = standard_hs(engine, bcc, constituent, t)[1] + s_magnetic
        assert engine.tqgdpc("S", bcc, constituent) == pytest.approx(s, rel=1e-7, abs=1e-7)
        ok(engine)


def test_compound_ab_forms_at_its_closed_form_temperature(standin_engine, tests_data_dir):
    engine = load(standin_engine, tests_data_dir / "ab.dat")
    a_s, b_s, ab_s = 3, 4, 5
    h, s = standard_hs(engine, ab_s, 1, T0)
    dh = h - standard_hs(engine, a_s, 1, T0)[0] - standard_hs(engine, b_s, 1, T0)[0]
    ds = s - standard_hs(engine, a_s, 1, T0)[1] - standard_hs(engine, b_s, 1, T0)[1]
    b = engine.tqgdat(ab_s, 1, "Cp", 1)[1]
    alpha, beta = dh - b / 2 * T0**2, b * T0 - ds
    t_star = (beta + math.sqrt(beta * beta + 2 * b * alpha)) / b
    engine.tqsetc("IA", 0, 1, 1.0)
    engine.tqsetc("IA", 0, 2, 2.0)
    result = engine.map_temp(300, 3000, [("T", 0, 0), ("A", ab_s, 0), ("AC", ab_s, 0)])
    ok(engine)
    assert result[("T", 0, 0)] == pytest.approx([300.0, t_star, 3000.0], rel=1e-10)
    assert result[("A", ab_s, 0)] == pytest.approx([0.0, 0.0, 1.0])
    assert result[("AC", ab_s, 0)][1:] == pytest.approx([1.0, 1.0], abs=1e-9)
    engine.set_phase_target(ab_s, 0.0)
    engine.calc_Ttarget(estimate=(500.0, 0.0))
    ok(engine)
    assert engine.temperature == pytest.approx(t_star, rel=1e-10)
    engine.remove_condition(3)
    engine.tqcsp(ab_s, "DORMANT")
    for t in (300.0, 500.0, 1500.0, 3000.0):
        engine.tqsetc("T", 0, 0, t)
        engine.calc()
        minus_dg = -(dh + b / 2 * (t * t - T0 * T0) - t * (ds + b * (t - T0)))
        assert R * t * math.log(engine.tqgetr("AC", ab_s, 0)) == pytest.approx(minus_dg, rel=1e-9)


@pytest.mark.parametrize("option", ["XT", "XPT"])  # constituent A, or component A: the same here
def test_an_incoming_amount_as_target_variable(tmp_path, standin_engine, option):
    text = REGULAR.replace("model: RKMP", "model: IDMX\n    gas: true").split("    excess_gibbs")[0]
    engine = load(standin_engine, write_dat(tmp_path, "ideal.dat", text))
    engine.tqsetc("IA", 1, 2, 1.0)
    engine.tqsetc(option, 1, 1, 0.25)
    engine.tqce("IA", 1, 1, (0.0, 10.0))
    ok(engine)
    assert engine.tqgetr("IA", 1, 1) == pytest.approx(1.0 / 3.0, rel=1e-10)
    assert engine.tqgetr("AC", 1, 1) == pytest.approx(0.25, rel=1e-10)  # x P at 1 bar


@pytest.mark.parametrize("t, p_bar", [(400.0, 1.0), (700.0, 5.0), (2500.0, 0.1)])
def test_molar_functions_at_the_conditions(melt, t, p_bar):
    # Zero heat capacities for the condensed phases, a constant one of 30 J/(mol K) for the gas
    # (a standard state at 1 bar, so no pressure term): every function a closed form.
    melt.tqsetc("T", 0, 0, t)
    melt.tqsetc("P", 0, 0, p_bar)
    gas_h = 200000.0 + 30.0 * (t - T0)
    gas_s = 120.0 + 30.0 * math.log(t / T0)
    expected = {
        "H": [gas_h, 0.0, 10000.0],
        "S": [gas_s, 20.0, 30.0],
        "CP": [30.0, 0.0, 0.0],
        "G": [gas_h - t * gas_s, -20.0 * t, 10000.0 - 30.0 * t],
    }
    for option, values in expected.items():
        assert [melt.tqgdpc(option, p, 1) for p in (GAS, SOLID, LIQUID)] == pytest.approx(
            values, rel=1e-12, abs=1e-9), option
    melt.tqcsu("Energy", "cal")
    assert melt.tqgdpc("G", LIQUID, 1) == pytest.approx((10000.0 - 30.0 * t) / 4.184, rel=1e-12)
    melt.tqcsu("Amount", "gram")  # a constituent's function stays per mole of its formula
    assert melt.tqgdpc("G", LIQUID, 1) == pytest.approx((10000.0 - 30.0 * t) / 4.184, rel=1e-12)
    ok(melt)


@pytest.mark.parametrize("h_liquid, s_liquid", [(12000.0, 30.0), (10000.0, 25.0)])
def test_changed_stored_data_move_the_melting_point(melt, h_liquid, s_liquid):
    melt.tqcdat(1, 0, 0, 1, LIQUID, h_liquid)  # H298 of the liquid
    melt.tqcdat(1, 0, 1, 1, LIQUID, s_liquid)  # S298 of the liquid
    ok(melt)
    melt.tqsetc("T", 0, 0, 400.0)
    melt.set_phase_target(LIQUID, 0.0)
    melt.calc_Ttarget(estimate=(400.0, 0.0))
    ok(melt)
    assert melt.temperature == pytest.approx(h_liquid / (s_liquid - 20.0), rel=1e-10)


# An ideal liquid of A and B over pure solid A, zero heat capacities: the liquidus of A at
# x_A lies where R T ln x_A = -(dH - T dS), T = dH / (dS - R ln x_A).
LIQUIDUS = """\
equilex-data: 1
components:
  - {name: A, mass: 10}
  - {name: B, mass: 20}
phases:
  - name: LIQUID
    model: IDMX
    constituents:
      - {name: A, stoichiometry: [1, 0], H298: 10000, S298: 30, cp: [{Tt: 6000}]}
      - {name: B, stoichiometry: [0, 1], H298: 0, S298: 0, cp: [{Tt: 6000}]}
  - name: SOLID_A
    model: PURE
    constituents:
      - {name: A, stoichiometry: [1, 0], H298: 0, S298: 20, cp: [{Tt: 6000}]}
"""


@pytest.mark.parametrize("x_a", [0.8, 0.5, 0.3])
def test_precipitation_target_finds_the_liquidus(standin_engine, tmp_path, x_a):
    engine = load(standin_engine, write_dat(tmp_path, "liquidus.dat", LIQUIDUS))
    liquid, solid = 1, 2
    engine.tqsetc("IA", liquid, 1, x_a)
    engine.tqsetc("IA", liquid, 2, 1.0 - x_a)
    engine.tqsetc("A", liquid, 0, -1.0)  # the liquid alone, the next phase at activity 1
    engine.calc_Ttarget(estimate=(1500.0, 0.0))
    ok(engine)
    assert engine.temperature == pytest.approx(DH / (DS - R * math.log(x_a)), rel=1e-10)
    assert engine.tqgetr("A", liquid, 0) == pytest.approx(1.0, rel=1e-12)
    assert engine.tqgetr("A", solid, 0) == 0.0
    assert engine.tqgetr("AC", solid, 0) == pytest.approx(1.0, abs=1e-9)


def melt_g(t):
    """G of 1 mol of X at 1 bar: the solid or the liquid, whichever is lower."""
    return min(-20.0 * t, DH - (20.0 + DS) * t)


def vapour_at_1_percent_of_a_bar(t):
    gas_g = 200000.0 + 30.0 * (t - T0) - t * (120.0 + 30.0 * math.log(t / T0))
    return gas_g + R * t * math.log(0.01) - melt_g(t)


@pytest.mark.parametrize("option, index, value, expected", [
    ("G", 0, -16000.0, lambda: 800.0),
    ("G", 0, -40000.0, lambda: (DH + 40000.0) / (20.0 + DS)),
    ("AT", 1, 0.01, lambda: bisect(vapour_at_1_percent_of_a_bar, 300.0, 5000.0, tolerance=1e-14)),
])
def test_targets_with_the_temperature_varied(standin_engine, tmp_path, option, index, value,
                                             expected):
    # The gas dormant: it takes no matter, while its activity still follows the potentials.
    engine = load(standin_engine, write_dat(tmp_path, "melt.dat", MELT))
    engine.tqsetc("IA", SOLID, 1, 1.0)
    engine.tqsetc(option, GAS if index else 0, index, value)
    engine.calc_Ttarget(estimate=(1200.0, 0.0))
    ok(engine)
    assert engine.temperature == pytest.approx(expected(), rel=1e-10)
    if option == "AT":  # the fugacity of the vapour over the condensed phase, in bar
        assert engine.tqgetr("AC", GAS, 1) == pytest.approx(value, rel=1e-9)
        assert engine.tqgetr("A", GAS, 0) == 0.0
    else:
        assert engine.tqgetr("G", 0, 0) == pytest.approx(value, rel=1e-10)


@pytest.mark.parametrize("temperature", [1000.0, 1100.0, 1200.0])
@pytest.mark.parametrize("option", ["AC", "MU"])
def test_lime_under_a_held_carbon_dioxide_fugacity(standin_engine, sample_data_dir, option,
                                                   temperature):
    """Lime in an open system at 0.5 bar of CO2 (held as a fugacity, or as mu - mu0 =
    R T ln 0.5): calcite forms where its own CO2 pressure, from the stored data, lies below
    0.5 bar; the CO2 taken up is the incoming amount that results."""
    engine = load(standin_engine, sample_data_dir / "limestone.dat")
    gas, calcite, lime = 1, 2, 3
    t = temperature
    engine.tqsetc("IA", lime, 1, 1.0)
    engine.tqsetc(option, gas, 1, 0.5 if option == "AC" else R * t * math.log(0.5))
    engine.tqsetc("T", 0, 0, t)
    engine.calc()
    ok(engine)
    p_calcite = math.exp(-(standard_g(engine, lime, 1, t) + standard_g(engine, gas, 1, t)
                           - standard_g(engine, calcite, 1, t)) / (R * t))
    forms = p_calcite < 0.5
    assert engine.tqgetr("IA", gas, 1) == pytest.approx(1.0 if forms else 0.0, abs=1e-12)
    assert engine.tqgetr("A", calcite, 0) == pytest.approx(1.0 if forms else 0.0, abs=1e-12)
    assert engine.tqgetr("A", lime, 0) == pytest.approx(0.0 if forms else 1.0, abs=1e-12)
    assert engine.tqgetr("AC", gas, 1) == pytest.approx(0.5, rel=1e-12)
    assert engine.tqgetr("AC", calcite, 0) == pytest.approx(min(1.0, 0.5 / p_calcite), rel=1e-9)
