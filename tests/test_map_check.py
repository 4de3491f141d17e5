"""Phase maps of the test systems and the samples against what single calculations show.

Each map is stepped from its first call to its last. Here, single calculations (tqce) on a grid
finer than the map's own scan show every change of assemblage, each located by bisection
(several in one grid step one after another); the map must give every one of them at its place
and no point that is not one of them. Changes closer together than ten of the map's
tolerances, or that close to a limit, make one point (or the limit).

Each transition point is also checked against the stored data, through the independent model:
the point is a certified equilibrium, and some phase is at its change there - one without matter
at a tangent-plane distance of zero against the point's potentials (the phase that forms, held
at activity 1), or one with next to no matter (the phase that goes). Each point is also the
equilibrium a single calculation from nothing gives there (the phases that form kept out). Two
transitions known in closed form close the file: a compound stable over less than one scan step,
found at both ends of its range, and a regular solution's gap closing at its critical point.
"""

import math
from dataclasses import dataclass

import numpy as np
import pytest

from equilibrium_certificate import (State, calculate, certify, open_system, read_result,
                                     set_state)
from equilibrium_reference import R, tangent_plane_distance
from equilibrium_support import bisect, load, write_dat
from equilibrium_support import tests_data_dir  # noqa: F401 - a fixture

GRID = 200  # intervals of the single calculations, the map's own scan has 100
SLOW_GRID = 120  # where single calculations take milliseconds each (the quaternary)
# Where the map is to place a change: 0.01 K; 1e-6 relative in pressure; 1e-6 mol. The map's
# tolerances (ten of them merge changes) and the bisection's here. The amounts' figures hold for
# a map over a mole or more; over less they are of its span (MapCase.amount_scale).
PLACE = {"T": 0.01, "P": 1e-6, "IA": 1e-6}
MAP_TOLERANCE = {"T": 1e-6, "P": 1e-6, "IA": 1e-6}
BISECTION = {"T": 1e-4, "P": 1e-9, "IA": 1e-8}
AT_CHANGE_DISTANCE = 1e-6  # RT: a forming phase's tangent-plane distance at the point
AT_CHANGE_AMOUNT = 1e-7  # of the total: a going phase's amount


@dataclass
class MapCase:
    file: str  # in tests/data, or "sample:" and a sample's name
    variable: str  # "T", "P" or "IA"
    low: float
    high: float
    amounts: tuple  # of the components
    t: float = 1000.0  # K, when the map varies something else
    p: float = 1.0  # bar
    component: int = 0  # the component an "IA" map varies (1-based)
    failing: str = ""  # why single calculations do not show the map's changes today
    uncertified: str = ""  # why the map's transition points fail the certificate today
    steps: int = GRID  # of the single calculations' grid

    def state(self, value):
        if self.variable == "T":
            return State(value, self.p, self.amounts)
        if self.variable == "P":
            return State(self.t, value, self.amounts)
        amounts = list(self.amounts)
        amounts[self.component - 1] = value
        return State(self.t, self.p, tuple(amounts))

    def grid(self):
        if self.variable == "P":
            return np.exp(np.linspace(math.log(self.low), math.log(self.high), self.steps + 1))
        return np.linspace(self.low, self.high, self.steps + 1)

    def distance(self, x, y):
        """How far apart two values of the map variable are, in the units of PLACE."""
        return abs(math.log(x / y)) if self.variable == "P" else abs(x - y)

    def amount_scale(self):
        """What the amounts' tolerances are of: a mole, or the map's span where that is less."""
        return min(1.0, self.high - self.low) if self.variable == "IA" else 1.0

    def place(self):
        return PLACE[self.variable] * self.amount_scale()

    def merge(self):
        return 10 * MAP_TOLERANCE[self.variable] * self.amount_scale()


def cases(maps, reason=lambda c: ""):
    """The maps as parameters of a test, marked where `reason` says why they fail today."""
    params = []
    for c in maps:
        name = f"{c.file.split(':')[-1].removesuffix('.dat')}-{c.variable}-" + "-".join(
            f"{a:g}" for a in c.amounts)
        marks = [pytest.mark.xfail(strict=True, reason=reason(c))] if reason(c) else []
        params.append(pytest.param(c, id=name, marks=marks))
    return params


# Single calculations take the second copy in where it is 1e-9 RT below the one phase's plane
# (the tolerance a phase joins by); so close to the critical point that is ~2e-6 mol of A past
# the gap's ends, more than the 1e-6 mol the map is held to here.
DEMIXING_ACROSS_GAP = MapCase(
    "demixing.dat", "IA", 0.0, 1.2004560870864152, (0.0, 0.9226086249268025),
    t=1102.1207938139141, component=1,
    failing="single calculations join the second copy 1e-9 RT past the binodal, 2e-6 mol here")

MAPS = [
    # One transition each: calcite's decomposition in temperature and in pressure.
    MapCase("sample:limestone", "T", 300.0, 2000.0, (1.0, 1.0, 3.0)),
    MapCase("sample:limestone", "P", 0.01, 10.0, (1.0, 1.0, 3.0), t=1100.0),
    MapCase("sample:water", "T", 300.0, 500.0, (2.0, 1.0), p=1.01325),
    # A trace of Ca in a gas of O2 and CO2: calcite, lime and the gas together over a band of
    # 1e-3 K (5e-7 mol of Ca), 2e-4 K (1e-7 mol) and 3e-5 K (1.3e-8 mol at 2.3 bar), where the
    # map's first call landed and gave 705 or 702.
    MapCase("sample:limestone", "T", 400.0, 2400.0, (5e-07, 0.02, 0.5)),
    MapCase("sample:limestone", "T", 400.0, 2400.0, (1e-07, 0.02, 0.5)),
    MapCase("sample:limestone", "T", 400.0, 2400.0,
            (1.2975708049704485e-08, 0.020707946694781487, 0.5408732162733239),
            p=2.2992585297591632),
    # The eutectic: at the middle, at either side, at nearly pure A (the eutectic and the
    # liquidus of a trace of B), and in the amount of B at the temperature of a liquid.
    MapCase("eutectic.dat", "T", 500.0, 2000.0, (0.5, 0.5)),
    MapCase("eutectic.dat", "T", 500.0, 2000.0, (0.2, 0.8)),
    MapCase("eutectic.dat", "T", 500.0, 1200.0, (1 - 1e-6, 1e-6)),
    MapCase("eutectic.dat", "IA", 0.0, 3.0, (1.0, 0.0), t=900.0, component=2),
    # Over small amounts, where a tolerance of 1e-6 mol took the map in a few steps and merged
    # its one change (B_S forming from the liquid at B = 0.679 A) into the upper limit: the same
    # map at 1e-5 mol of A and at a thousandth, 1e-5 and 1e-8 of that.
    *(MapCase("eutectic.dat", "IA", 0.0, 2e-5 * scale, (1e-5 * scale, 0.0), t=1200.0,
              component=2) for scale in (1.0, 1e-3, 1e-5, 1e-8)),
    # The de-mixing solid: the gap closing, the solidus and the liquidus (two transitions 3 K
    # apart inside one scan step of the map at 0.6849 A); the gap closing 3 K above its
    # critical point at 0.5243 A, where the second copy has no second minimum close above.
    MapCase("demixing.dat", "T", 600.0, 1800.0, (0.3, 0.7)),
    MapCase("demixing.dat", "T", 600.0, 1800.0, (0.8, 0.2)),
    MapCase("demixing.dat", "T", 600.0, 1800.0, (0.6849, 0.3151)),
    MapCase("demixing.dat", "T", 600.0, 1800.0, (0.5243, 0.4757)),
    MapCase("demixing.dat", "T", 600.0, 1800.0, (0.5, 0.5)),
    MapCase("demixing.dat", "T", 600.0, 1800.0, (0.05, 0.95)),
    MapCase("demixing.dat", "T", 600.0, 1800.0, (0.3999, 0.6001)),
    # The gap closing a kelvin below its critical point, at 0.36 A: both copies hold matter to
    # within a few kelvin of it.
    MapCase("demixing.dat", "T", 600.0, 1800.0, (0.11399496685564547, 0.2026009768288206)),
    # Nearly pure A: the solidus and the liquidus a tenth of a kelvin apart below A's melting.
    MapCase("demixing.dat", "T", 600.0, 1800.0, (0.99, 0.01)),
    # Across the gap in the amount of A, 1.7 K below the critical temperature: the map's points
    # are the common tangent (test_gap_ends_of_an_amount_map_are_the_common_tangent).
    DEMIXING_ACROSS_GAP,
    # Graphite under the gas: used up on heating, and in the amount of oxygen.
    MapCase("cho_gas.dat", "T", 400.0, 2500.0, (0.2126, 0.4129, 0.3746)),
    MapCase("cho_gas.dat", "T", 400.0, 2500.0, (1.0, 1.0, 1.0)),
    MapCase("cho_gas.dat", "IA", 0.0, 2.0, (1.0, 1.0, 0.0), component=3),
    # The carbide: a liquid forms beside it and the metal goes 21 K later; B2C gives way to the
    # carbide; in the amount of carbon, four changes.
    MapCase("carbide.dat", "T", 1500.0, 2500.0, (0.862, 0.0414, 0.0967)),
    MapCase("carbide.dat", "T", 1000.0, 2500.0, (0.3, 0.3, 0.4)),
    MapCase("carbide.dat", "IA", 0.01, 1.5, (0.5, 0.5, 0.0), t=1800.0, component=3),
    # B-rich with a trace of C: the carbide gives way to the liquid near 1766 K, shrinking
    # several hundred-fold as the C potential rises (the map's first call calculated that region).
    MapCase("carbide.dat", "T", 1000.0, 2600.0,
            (0.22486395434060935, 0.45831768588280397, 6.122083288422086e-08)),
    # Less A and a trace of C: the map's first call gave 705 near the A_S + liquid + carbide
    # invariant point (the liquid leaving the three and joining the two left again), while
    # single calculations over the range calculated.
    MapCase("carbide.dat", "T", 1000.0, 2600.0,
            (0.3759073223897912, 0.05578919257278514, 3.857770976623287e-13)),
    # In an input amount through a compound's own composition, where one phase goes as another
    # comes and the compound alone leaves the potentials free: B2C at C = B/2 (the liquid giving
    # way to the carbide; at B = 2 C the carbide to the liquid, or to solid B), the full carbide
    # at C = A + B (graphite forming), the gas at about CO (graphite forming).
    MapCase("carbide.dat", "IA", 0.0, 1.1381159668375493,
            (5.917979835976587e-12, 0.41832749458028384, 0.0), t=2539.29028781586, component=3),
    MapCase("carbide.dat", "IA", 0.0, 2.368750893446907,
            (5.295595293258016e-13, 0.0, 0.1844669427253699), t=2358.141213731995, component=2),
    MapCase("carbide.dat", "IA", 0.001, 2.6591218230604707,
            (6.815919776043774e-10, 0.0, 0.5194309491276563), t=1372.327701742095, component=2),
    MapCase("carbide.dat", "IA", 0.0, 2.578700771142255,
            (0.20996904797931648, 0.5148432730161642, 0.0), t=1137.751690081765, component=3),
    MapCase("cho_gas.dat", "IA", 0.0, 1.703773729538054,
            (0.0, 0.9262570127540541, 0.280414323675663), t=1977.7875148870032, component=1),
    # Carbon over lime with a little more oxygen than calcium: calcite holds the carbon from
    # C = 0.00654 to 0.01156 mol, inside the first of the map's scan steps (0.0141), where the
    # gas goes from O2 to CO2 and CO as the carbon uses up the oxygen; graphite forms at 0.0185.
    # From 0, calcite's ln a at the step's lower end is the zero-input rule's -50; from 0.001
    # there is none, and the parabola through the step's ends missed it all the same.
    *(MapCase("sample:limestone", "IA", low, 1.4095190800405233,
              (0.4743763167999675, 0.0, 0.4937397130280269), t=973.4605665301134,
              p=0.05021594021039722, component=2) for low in (0.0, 0.001)),
    # The quaternary: four changes (the compound, a pure solid, solidus, liquidus), and the
    # solidus and liquidus of another composition.
    MapCase("quaternary.dat", "T", 1200.0, 2400.0, (0.1, 0.1, 0.1, 0.7), steps=SLOW_GRID),
    MapCase("quaternary.dat", "T", 1700.0, 1850.0, (0.0424, 0.0324, 0.549, 0.3761),
            steps=SLOW_GRID),
    # The B-C binary, the other inputs 0: the FCC alone up to its solidus and liquidus, where
    # single calculations gave 705 over whole kelvins below them (the liquid beside the FCC,
    # dropped and joining again).
    MapCase("quaternary.dat", "T", 1300.0, 2000.0,
            (0.0, 0.5865945975793299, 0.02129633974332776, 0.0), p=5.372959279935944),
    # Diamond under pressure.
    MapCase("carbon_pressure.dat", "P", 1.0, 1e5, (1.0,), t=300.0),
    MapCase("carbon_pressure.dat", "P", 1.0, 1e5, (1.0,), t=2000.0),
]


def path_of(c, tests_data_dir, sample_data_dir):
    if c.file.startswith("sample:"):
        return sample_data_dir / f"{c.file.removeprefix('sample:')}.dat"
    return tests_data_dir / c.file


def assemblage(engine, system, state):
    engine.last_error = 0
    set_state(engine, system, state)
    engine.tqce(" ", 0, 0, (0.0, 0.0))
    assert engine.last_error == 0, f"{system.path.name}, {state}: error {engine.last_error}"
    return frozenset(p for p in range(1, len(system.phases) + 1) if engine.tqgetr("A", p, 0) > 0)


def single_calculation_changes(engine, system, c):
    """Every change of assemblage single calculations show on the grid: the middle of each
    change's bisection bracket. Within a grid step, changes are followed one after another until
    the assemblage is that of the step's upper end."""
    changes = []
    values = c.grid()
    tolerance = BISECTION[c.variable] * c.amount_scale()
    lower = assemblage(engine, system, c.state(values[0]))
    for a, b in zip(values[:-1], values[1:]):
        upper = assemblage(engine, system, c.state(b))
        low, below = a, lower
        while below != upper:
            high = b
            while c.distance(low, high) > tolerance:
                middle = 0.5 * (low + high)
                if middle in (low, high):
                    break
                if assemblage(engine, system, c.state(middle)) == below:
                    low = middle
                else:
                    high = middle
            changes.append(0.5 * (low + high))
            low, below = high, assemblage(engine, system, c.state(high))
        lower = upper
    return changes


def merged(c, changes):
    """The changes as a map gives them: none within ten tolerances of a limit or of the change
    kept before it."""
    merge = c.merge()
    kept = [c.low]
    for u in changes:
        if c.distance(u, kept[-1]) > merge and c.distance(c.high, u) > merge:
            kept.append(u)
    return kept[1:]


def step_map(engine, system, c):
    """The map's points from its first call to its last: (value, result) of each."""
    first, following = {"T": ("TF", "TN"), "P": ("PF", "PN"), "IA": ("IAF", "IAN")}[c.variable]
    index = c.component if c.variable == "IA" else 0
    engine.last_error = 0
    points = []
    left = engine.tqmap(first, 0, index, (c.low, c.high))
    while True:
        assert engine.last_error == 0, f"{c}: map error {engine.last_error}"
        value = engine.tqgetr(c.variable, 0, index)
        points.append((value, read_result(engine, system, c.state(value))))
        if left <= 0:
            return points
        left = engine.tqmap(following, 0, index, (c.low, c.high))


_STEPPED = {}  # the points of each map, stepped once for all the tests that read them


@pytest.fixture
def mapped(engine, tests_data_dir, sample_data_dir, request):
    """A map case, its system loaded in the engine, and the map's points."""
    c = request.param
    system = open_system(engine, path_of(c, tests_data_dir, sample_data_dir))
    key = repr(c)
    if key not in _STEPPED:
        set_state(engine, system, c.state(c.low))
        _STEPPED[key] = step_map(engine, system, c)
    return c, system, _STEPPED[key]


@pytest.mark.parametrize("mapped", cases(MAPS, lambda c: c.failing), indirect=True)
def test_map_gives_every_change_of_single_calculations_at_its_place(engine, mapped):
    c, system, points = mapped
    assert points[0][0] == pytest.approx(c.low, rel=1e-12)
    assert points[-1][0] == pytest.approx(c.high, rel=1e-12)
    transitions = [u for u, _ in points[1:-1]]
    assert transitions == sorted(transitions)
    changes = merged(c, single_calculation_changes(engine, system, c))
    place = c.place()
    missing = [u for u in changes if not any(c.distance(u, t) <= place for t in transitions)]
    extra = [t for t in transitions if not any(c.distance(u, t) <= place for u in changes)]
    assert not missing and not extra, (
        f"single calculations change at {changes}, the map at {transitions}")


def at_its_change(system, result, t, p):
    """Whether some phase is at its change in the result: one without matter at a
    tangent-plane distance of zero (the second copy of a de-mixing phase beside its first
    excepted: that is the same phase), or one with next to no matter."""
    total = float(np.sum(result.phase_amounts))
    rt = R * t
    for i, phase in enumerate(system.phases):
        if phase.status != "ENTERED":
            continue
        amount = result.phase_amounts[i]
        if amount > 0:
            if amount <= AT_CHANGE_AMOUNT * total:
                return True
            continue
        plane = phase.stoichiometry @ result.potentials
        if phase.copy == 2 and result.phase_amounts[i - 1] > 0:
            distance = distance_away(phase, t, p, plane, result.fractions[i - 1])
        else:
            distance, _ = tangent_plane_distance(phase, t, p, plane)
        if abs(distance) <= AT_CHANGE_DISTANCE * rt:
            return True
    return False


def distance_away(phase, t, p, plane, present, apart=0.01):
    """The lowest tangent-plane distance of a two-constituent phase at compositions at least
    `apart` (in the second fraction) from the present one's: the other side of its gap. A fine
    grid, then golden sections around its lowest point."""
    assert phase.size == 2, "the copies of the test systems have two constituents"

    def distance(y):
        x = np.stack([1 - np.asarray(y), np.asarray(y)], axis=-1)
        return phase.gibbs(x, t, p) - x @ plane

    grid = np.linspace(0.0, 1.0, 20001)[1:-1]
    grid = grid[np.abs(grid - present[1]) >= apart]
    values = distance(grid)
    k = int(np.argmin(values))
    low, high = grid[max(k - 1, 0)], grid[min(k + 1, len(grid) - 1)]
    ratio = (math.sqrt(5) - 1) / 2
    for _ in range(80):
        a, b = high - ratio * (high - low), low + ratio * (high - low)
        if distance(a) < distance(b):
            high = b
        else:
            low = a
    return float(min(values[k], distance(0.5 * (low + high))))


@pytest.mark.parametrize("mapped", cases(MAPS), indirect=True)
def test_each_transition_point_is_at_a_change_of_the_stored_data(mapped):
    c, system, points = mapped
    assert len(points) >= 3, "a transition in every map chosen here"
    away = [value for value, result in points[1:-1]
            if not at_its_change(system, result, result.state.t, result.state.p)]
    assert not away, f"no phase at its change at {c.variable} = {away}"


@pytest.mark.parametrize("mapped", cases(MAPS, lambda c: c.uncertified), indirect=True)
def test_each_transition_point_is_a_certified_equilibrium(mapped):
    c, system, points = mapped
    failures = [f"{c.variable} = {value}: " + "; ".join(certify(system, result))
                for value, result in points[1:-1] if certify(system, result)]
    assert not failures, "\n".join(failures)


WINDOW = """equilex-data: 1
components:
  - {{name: A, mass: 10.0}}
  - {{name: B, mass: 20.0}}
phases:
  - name: A_S
    model: PURE
    constituents:
      - {{name: A, stoichiometry: [1, 0], H298: 0, S298: 30, cp: [{{a: 25, Tt: 6000}}]}}
  - name: B_S
    model: PURE
    constituents:
      - {{name: B, stoichiometry: [0, 1], H298: 0, S298: 40, cp: [{{a: 25, Tt: 6000}}]}}
  - name: AB_S
    model: PURE
    constituents:
      - {{name: AB, stoichiometry: [1, 1], H298: {h}, S298: {s},
         cp: [{{a: 50, b: {b}, Tt: 6000}}]}}
"""


@pytest.mark.parametrize("first, second", [
    (1000.0, 1004.0),  # inside one step of the map's scan (300 + 17 k K)
    (1000.0, 1000.5),
    (995.0, 999.0),  # across the scan point at 997 K
])
def test_compound_stable_inside_one_scan_step_is_found_at_both_ends(engine, tmp_path, first,
                                                                      second):
    """With Cp(AB) - Cp(A) - Cp(B) = b T (b < 0), AB's Gibbs energy of formation is
    dH - b/2 T0^2 - T (dS - b T0) - b/2 T^2: a parabola open upwards, negative between two
    temperatures. H298 and S298 of AB are chosen to put them at `first` and `second`; the test
    finds them again from the stored data and asks the map for both."""
    b, t0 = -0.02, 298.15
    dh = -b / 2 * first * second + b / 2 * t0**2
    ds = -b / 2 * (first + second) + b * t0
    text = WINDOW.format(h=dh, s=ds + 30 + 40, b=b)  # S298 of A_S and B_S are 30 and 40
    system = open_system(engine, write_dat(tmp_path, "window.dat", text))
    formation = [system.phase(name).standard_gibbs for name in ("AB_S", "A_S", "B_S")]

    def dg(t):
        ab, a, b_ = (g(t, 1.0)[0] for g in formation)
        return ab - a - b_

    middle = 0.5 * (first + second)
    roots = [bisect(dg, 900.0, middle, tolerance=1e-12),
             bisect(dg, middle, 1100.0, tolerance=1e-12)]
    c = MapCase("window.dat", "T", 300.0, 2000.0, (1.0, 1.0))
    set_state(engine, system, c.state(c.low))
    points = step_map(engine, system, c)
    assert [u for u, _ in points[1:-1]] == pytest.approx(roots, abs=1e-6)
    assert [result.phase_amounts[2] for _, result in points] == pytest.approx([0, 0, 1, 0])


def kept_out_at(system, result):
    """The phases at activity 1 without matter at a map's point (1-based), by the model: those
    that form there, kept out (a second copy beside its present first one is that phase)."""
    t, p, rt = result.state.t, result.state.p, R * result.state.t
    kept = []
    for i, phase in enumerate(system.phases):
        if phase.status != "ENTERED" or result.phase_amounts[i] > 0:
            continue
        if phase.copy == 2 and result.phase_amounts[i - 1] > 0:
            continue
        distance, _ = tangent_plane_distance(phase, t, p, phase.stoichiometry @ result.potentials)
        if abs(distance) <= AT_CHANGE_DISTANCE * rt:
            kept.append(i + 1)
    return kept


@pytest.mark.parametrize("mapped", cases(MAPS), indirect=True)
def test_map_points_are_the_equilibria_single_calculations_give(engine, mapped):
    """Each point starts from an equilibrium of the map's plan; a single calculation from
    nothing, with the phases that form there kept out (DORMANT), must give the same."""
    c, system, points = mapped
    for value, result in points:
        kept = kept_out_at(system, result) if value not in (c.low, c.high) else []
        for p in kept:
            engine.tqcsp(p, "DORMANT")
        single = calculate(engine, system, result.state)
        for p in kept:
            engine.tqcsp(p, "ENTERED")
        assert single.error == 0
        rt = R * result.state.t
        total = float(np.sum(result.phase_amounts))
        assert single.potentials == pytest.approx(result.potentials, abs=1e-8 * rt), value
        assert single.phase_amounts == pytest.approx(result.phase_amounts, abs=1e-9 * total), value


def test_gap_of_a_regular_solution_closes_at_its_critical_temperature(engine, sample_data_dir):
    """The structure sample's HALITE is a symmetric regular solution of AC and BC, L = a + b T;
    with equal A and B it alone holds them at x = 1/2, and its gap closes where L = 2 R T:
    T_c = a / (2 R - b). Single calculations hold the two copies apart only to some hundredths
    of a kelvin below T_c; the map places the closing by the second copy's activity."""
    load(engine, sample_data_dir / "structure.dat")
    halite = 8
    a, b = engine.tqgpar(halite, "G", 1)[0][:2]
    critical = a / (2 * R - b)
    for k, amount in ((1, 1.0), (2, 1.0), (3, 3.0)):
        engine.tqsetc("IA", 0, k, amount)
    count = engine.tqmap("TF", 0, 0, (1100.0, 1300.0))
    points = [engine.tqgetr("T", 0, 0)]
    while count > 0:
        count = engine.tqmap("TN", 0, 0, (1100.0, 1300.0))
        points.append(engine.tqgetr("T", 0, 0))
    assert engine.last_error == 0
    assert min(abs(t - critical) for t in points[1:-1]) < 1e-5


def common_tangent(phase, t, p):
    """The two compositions (second fraction) of a two-constituent phase's miscibility gap: the
    widest edge of the lower convex hull of G over a fine grid, then Newton's method on equal
    chemical potentials of both constituents at its ends."""
    y = np.linspace(0.0, 1.0, 20001)[1:-1]
    g = phase.gibbs(np.stack([1 - y, y], axis=-1), t, p)
    hull = []
    for k in range(len(y)):
        while len(hull) >= 2:
            i, j = hull[-2], hull[-1]
            if (g[j] - g[i]) * (y[k] - y[i]) >= (g[k] - g[i]) * (y[j] - y[i]):
                hull.pop()
            else:
                break
        hull.append(k)
    widest = int(np.argmax(np.diff(y[hull])))
    ends = np.array([y[hull[widest]], y[hull[widest + 1]]])

    def unequal(ends):
        mu = [phase.potentials(np.array([1 - e, e]), t, p) for e in ends]
        return (mu[0] - mu[1]) / (R * t)

    for _ in range(50):
        residual = unequal(ends)
        jacobian = np.empty((2, 2))
        for j in range(2):
            moved = ends.copy()
            moved[j] += 1e-7
            jacobian[:, j] = (unequal(moved) - residual) / 1e-7
        step = np.linalg.solve(jacobian, -residual)
        ends = ends + step
        if np.max(np.abs(step)) < 1e-14:
            break
    assert ends[1] - ends[0] > 1e-3 and np.max(np.abs(unequal(ends))) < 1e-12
    return ends


@pytest.mark.parametrize("c", [
    DEMIXING_ACROSS_GAP,
    MapCase("demixing.dat", "IA", 0.0, 3.0, (0.0, 1.0), t=1000.0, component=1),
], ids=["1.7K-below-critical", "1000K"])
def test_gap_ends_of_an_amount_map_are_the_common_tangent(engine, tests_data_dir, c):
    """Varying A at fixed B, the map's two points are where the whole's composition reaches the
    gap's ends, computed here from the stored data: A = B (1 - y) / y at each end y."""
    system = open_system(engine, tests_data_dir / c.file)
    set_state(engine, system, c.state(c.low))
    points = step_map(engine, system, c)
    b = c.amounts[1]
    ends = common_tangent(system.phase("FCC#1"), c.t, c.p)
    expected = sorted(b * (1 - e) / e for e in ends)
    assert [u for u, _ in points[1:-1]] == pytest.approx(expected, abs=1e-8)
