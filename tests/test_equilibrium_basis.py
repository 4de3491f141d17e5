"""Equilibria in other system components (TQCSC) where a component of the file has no input.

In the new components such a zero is most often a difference of inputs (oxygen 0 in CO, H2 and
O2 is CO +x, O2 -x/2), or a new component has none itself (calcium 0 in CaCO3, CO2 and CO). The
equilibrium is the same matter whatever the basis, so each state here is certified in the file's
components: the amounts as reported, the potentials of the new components converted back (each
new component's potential is its composition times the file's), and the zero-input rule - every
constituent with a positive coefficient on a file component without input at activity <= e^-50,
against those potentials and as "AC" reports it."""

import numpy as np
import pytest

from equilibrium_certificate import State, certify, open_system, read_result, set_state
from equilibrium_support import ok, tests_data_dir  # noqa: F401 - a fixture
from test_map_check import MapCase, merged, single_calculation_changes, step_map

CHO_GAS, CARBIDE, QUATERNARY = "cho_gas.dat", "carbide.dat", "quaternary.dat"
LIMESTONE, WATER, AB = "sample:limestone", "sample:water", "ab.dat"


def path_of(file_name, tests_data_dir, sample_data_dir):
    if file_name.startswith("sample:"):
        return sample_data_dir / f"{file_name.removeprefix('sample:')}.dat"
    return tests_data_dir / file_name


def composition(system, name):
    """A component's or a constituent's composition in the file's components."""
    if name in system.component_names:
        return np.eye(len(system.component_names))[system.component_names.index(name)]
    for phase in system.phases:
        if name in phase.constituent_names:
            return np.asarray(phase.stoichiometry[phase.constituent_names.index(name)], float)
    raise KeyError(name)


def calculate_in_basis(engine, system, state, basis):
    """The state's inputs set in the file's components, then TQCSC and TQCE; the result read
    in the new basis, its potentials converted to the file's components."""
    set_state(engine, system, state)
    engine.tqcsc(basis)
    ok(engine)
    engine.tqce(" ", 0, 0, (0.0, 0.0))
    error = engine.last_error
    engine.last_error = 0
    assert error == 0, f"{state} in {basis}: error {error}"
    result = read_result(engine, system, state)
    to_new = np.array([composition(system, name) for name in basis])
    result.potentials = np.linalg.solve(to_new, result.potentials)
    return result


# (data file, T, P, inputs in the file's components, other system components).
ZERO_INPUT_ELSEWHERE = [
    # Oxygen 0 as a difference of the new inputs: its potential was left unplaced (O2's at 0 J
    # exactly), and the gas over graphite reported CO2 at activity 6.5e29 (2.3e44 in the other
    # basis) with error 0.
    ("oxygen-CO-H2-O2", CHO_GAS, 1140.9084954941832, 2.9614010256859955,
     (0.8652193919057807, 0.6633719476682227, 0.0), ["CO", "H2", "O2"]),
    ("oxygen-CO2-H2O-H2", CHO_GAS, 1140.9084954941832, 2.9614010256859955,
     (0.8652193919057807, 0.6633719476682227, 0.0), ["CO2", "H2O", "H2"]),
    # A 0 in A, B, C, AD (A -x, AD +x): A's potential at +90923 J, the absent AD at activity
    # 1.2e6 and the FCC's own A at 4.1e5.
    ("A-A-B-C-AD", QUATERNARY, 1695.5448968410492, 13.310141478148507,
     (0.0, 0.2629347385741645, 0.6866521251776919, 0.9358625302183025), ["A", "B", "C", "AD"]),
    # D 0 in AD, B, C, D: AD at activity 0.31.
    ("D-AD-B-C-D", QUATERNARY, 1357.369519651286, 1.98032085968775,
     (0.9284373086772831, 0.37521752915125683, 0.928582570398481, 0.0), ["AD", "B", "C", "D"]),
    # C 0 with a trace of A: the carbide's A:C at activity 7.1.
    ("carbon-A-B2C-C", CARBIDE, 1221.9537533427965, 1.0,
     (7.859626693962407e-08, 0.8728469052183981, 0.0), ["A", "B2C", "C"]),
    # Calcium 0, so CaCO3 has no input itself: CaO held 3.2e-17 mol at activity 1.
    ("calcium-CaCO3-CO2-CO", LIMESTONE, 1592.2709735666037, 0.007230562338627902,
     (0.0, 0.4282937569966867, 0.6772256268759838), ["CaCO3", "CO2", "CO"]),
    # Oxygen 0: H2O in the gas 6 RT above e^-50.
    ("oxygen-H2O-H2", WATER, 1283.3731378596467, 708.4214805087677,
     (0.0, 0.19580711444941212), ["H2O", "H2"]),
    # A 0: AB_S at activity 0.007.
    ("A-A-AB", AB, 1949.7661690068608, 2.81953672295158, (0.0, 0.606628066004449),
     ["A", "AB"]),
    # 705 where the file's components calculate.
    ("carbon-A:C-B:C-C-705", CARBIDE, 1257.072443833374, 1.0,
     (0.36910556178329046, 0.016619400986069288, 0.0), ["A:C", "B:C", "C"]),
    ("carbon-CaCO3-CO2-CO-705", LIMESTONE, 2353.042914186265, 73.47968097414685,
     (0.03432485880241587, 0.0, 0.6383453856869185), ["CaCO3", "CO2", "CO"]),
    ("hydrogen-CO2-H2O-H2-705", CHO_GAS, 1661.4873782445795, 10.82880962408995,
     (0.9883319909372684, 0.0, 1.39137754706627e-10), ["CO2", "H2O", "H2"]),
    ("hydrogen-CH4-H2O-CO2-705", CHO_GAS, 1661.4873782445795, 10.82880962408995,
     (0.9883319909372684, 0.0, 1.39137754706627e-10), ["CH4", "H2O", "CO2"]),
]


@pytest.mark.parametrize("file_name, t, p, inputs, basis",
                         [pytest.param(*row[1:], id=row[0]) for row in ZERO_INPUT_ELSEWHERE])
def test_a_file_component_without_input_keeps_the_zero_input_rule_in_other_components(
        engine, tests_data_dir, sample_data_dir, file_name, t, p, inputs, basis):
    system = open_system(engine, path_of(file_name, tests_data_dir, sample_data_dir))
    result = calculate_in_basis(engine, system, State(t, p, inputs), basis)
    assert not certify(system, result)


def test_an_input_made_of_zeros_is_exactly_zero_in_other_components(engine, sample_data_dir):
    # Without calcium, CaCO3's amount in CaCO3, CO2 and CO draws on calcium alone: it is 0, not
    # the 3.2e-17 mol the rounding of the carbon and oxygen terms left, which CaO then held.
    carbon, oxygen = 0.4282937569966867, 0.6772256268759838
    system = open_system(engine, sample_data_dir / "limestone.dat")
    state = State(1592.2709735666037, 0.007230562338627902, (0.0, carbon, oxygen))
    result = calculate_in_basis(engine, system, state, ["CaCO3", "CO2", "CO"])
    # C = CaCO3 + CO2 + CO and O = 3 CaCO3 + 2 CO2 + CO with CaCO3 = 0.
    expected = (0.0, oxygen - carbon, 2.0 * carbon - oxygen)
    for k, amount in enumerate(expected, start=1):
        assert engine.tqgetr("IA", 0, k) == pytest.approx(amount, rel=1e-15, abs=0.0)
    calcium = composition(system, "Ca")
    for i, phase in enumerate(system.phases):
        for j, name in enumerate(phase.constituent_names):
            if np.asarray(phase.stoichiometry[j]) @ calcium > 0:
                assert result.amounts[i][j] == 0.0, name


# T maps in other components that missed or misplaced the liquid's forming: with carbon at 0
# (or 3e-14) in A, B2C, C or A:C, B, C, the kept-out liquid's carbon read 6e-6..2e-8 instead of
# e^-50, which raised the liquid's ln a that the map's root is taken on.
BASIS_MAPS = [
    ("liquid-with-carbide-A:C-B-C", (0.005183715189097771, 0.6440313346428853,
                                     3.360991350937659e-14), ["A:C", "B", "C"]),
    ("liquid-0.012K-early-A-B2C-C", (0.5197898321877995, 0.8307378285417364, 0.0),
     ["A", "B2C", "C"]),
    ("liquid-0.019K-early-A-B2C-C", (0.8044761780208888, 0.38171763168585904, 0.0),
     ["A", "B2C", "C"]),
]


@pytest.mark.parametrize("inputs, basis", [pytest.param(*row[1:], id=row[0]) for row in BASIS_MAPS])
def test_a_map_in_other_components_gives_every_change_of_single_calculations(
        engine, tests_data_dir, inputs, basis):
    c = MapCase(CARBIDE, "T", 900.0, 2600.0, inputs)
    system = open_system(engine, tests_data_dir / CARBIDE)
    changes = merged(c, single_calculation_changes(engine, system, c))
    open_system(engine, tests_data_dir / CARBIDE)
    set_state(engine, system, c.state(c.low))
    engine.tqcsc(basis)
    ok(engine)
    points = step_map(engine, system, c)
    to_new = np.array([composition(system, name) for name in basis])
    for value, result in points:
        result.potentials = np.linalg.solve(to_new, result.potentials)
        assert not certify(system, result), f"the map's point at {value} K"
    transitions = [u for u, _ in points[1:-1]]
    missing = [u for u in changes if not any(abs(u - t) <= c.place() for t in transitions)]
    extra = [t for t in transitions if not any(abs(u - t) <= c.place() for u in changes)]
    assert not missing and not extra, (
        f"single calculations change at {changes}, the map in {basis} at {transitions}")
