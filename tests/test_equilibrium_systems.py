"""The test systems of the equilibrium calculator's sweeps (tests/data) and the independent model
of them (equilibrium_reference): each file loads with the phases and constituents it writes, the
two generated systems are what tests/large_systems.py writes, the model's standard Gibbs
energies are the library's, its potentials are the derivatives of its Gibbs energy, and its
tangent-plane search finds what closed forms say."""

from pathlib import Path

import numpy as np
import pytest
import yaml

from equilibrium_reference import R, load_system, simplex_grid, tangent_plane_distance
from equilibrium_support import load
from equilibrium_support import tests_data_dir  # noqa: F401 - a fixture
from large_systems import LARGE_SYSTEMS

SYSTEMS = ["cho_gas.dat", "eutectic.dat", "quaternary.dat", "demixing.dat", "carbide.dat",
           "carbon_pressure.dat", "gas30.dat", "wide100.dat"]


@pytest.mark.parametrize("file_name", SYSTEMS)
def test_system_loads_with_every_phase_and_constituent(engine, tests_data_dir, file_name):
    path = tests_data_dir / file_name
    document = yaml.safe_load(path.read_text())
    load(engine, path)
    expected = []
    for phase in document["phases"]:
        names = [c["name"] for c in phase["constituents"]]
        if phase.get("copies", 1) == 2:
            expected += [(f"{phase['name']}#{k}", names) for k in (1, 2)]
        else:
            expected.append((phase["name"], names))
    assert engine.tqnosc() == len(document["components"])
    held = [(engine.tqgnp(p), [engine.tqgnpc(p, c) for c in range(1, engine.tqnopc(p) + 1)])
            for p in range(1, engine.tqnop() + 1)]
    assert held == expected
    assert engine.last_error == 0


@pytest.mark.parametrize("file_name", sorted(LARGE_SYSTEMS))
def test_generated_system_is_what_the_generator_writes(tests_data_dir, file_name):
    assert (tests_data_dir / file_name).read_text() == LARGE_SYSTEMS[file_name]()


# --- the independent model of equilibrium_reference -------------------------------------------

CONDITIONS = [(250.0, 1.0), (298.15, 1.0), (700.0, 1.0), (650.0, 7.0), (1000.0, 1000.0),
              (1500.0, 1e5), (3000.0, 0.01)]


@pytest.mark.parametrize("file_name", SYSTEMS)
def test_model_standard_gibbs_energies_are_the_library_s(engine, tests_data_dir, file_name):
    """The model's G of every constituent (Cp ranges with their transformations, extrapolated
    below 298.15 K; magnetic term; V dP with expansion and compressibility) is tqgdpc's: the
    model and the library read the documented formulas the same way."""
    path = tests_data_dir / file_name
    load(engine, path)
    system = load_system(path)
    for t, p in CONDITIONS:
        engine.tqsetc("T", 0, 0, t)
        engine.tqsetc("P", 0, 0, p)
        for i, phase in enumerate(system.phases, start=1):
            library = [engine.tqgdpc("G", i, c) for c in range(1, phase.size + 1)]
            assert phase.standard_gibbs(t, p) == pytest.approx(library, rel=1e-12, abs=1e-9), (
                phase.name, t, p)
    assert engine.last_error == 0


def _non_ideal_phases():
    for file_name in ("eutectic.dat", "quaternary.dat", "demixing.dat", "wide100.dat"):
        system = load_system(Path(__file__).resolve().parent / "data" / file_name)
        for phase in system.phases:
            if phase.excess and phase.copy < 2:
                yield pytest.param(system, phase, id=f"{file_name[:-4]}-{phase.name}")


@pytest.mark.parametrize("system, phase", list(_non_ideal_phases()))
def test_model_excess_potentials_are_the_derivatives_of_the_total(system, phase):
    """RT ln gamma_i = d(N G_ex)/dn_i by central differences on the amounts, at random
    compositions and at infinite dilution of the first constituent (a trace's coefficient): the
    excess gradients and the Darken relation agree. (The ideal part, RT ln x_i, is exact.)"""
    rng = np.random.default_rng(7)
    t, p = 1300.0, 500.0
    compositions = [rng.dirichlet(np.ones(phase.size)) for _ in range(3)]
    dilute = rng.dirichlet(np.ones(phase.size))
    dilute[0] = 0.0
    compositions.append(dilute / dilute.sum())
    h = 1e-5

    def total(n):
        return np.sum(n) * phase.excess_gibbs(n / np.sum(n), t, p)[0]

    for n in compositions:
        ln_gamma = phase.excess_potentials(n, t, p)
        for i in range(phase.size) if phase.size <= 4 else range(0, phase.size, 9):
            step = np.zeros(phase.size)
            step[i] = h
            derivative = (total(n + step) - total(n - step)) / (2 * h)
            assert ln_gamma[i] == pytest.approx(derivative, abs=1e-7 * R * t), (phase.name, i, n)


def test_model_tangent_plane_distance_of_an_ideal_phase_is_its_closed_form():
    """The closed form -RT ln sum exp(-(G_i - plane_i)/RT) is the lowest point of a fine grid."""
    system = load_system(Path(__file__).resolve().parent / "data" / "carbide.dat")
    liquid = system.phase("LIQUID")
    t, p = 1900.0, 1.0
    plane = liquid.standard_gibbs(t, p) + np.array([-3000.0, 4000.0, -9000.0])
    value, x = tangent_plane_distance(liquid, t, p, plane)
    grid = simplex_grid(3, 300)
    on_grid = liquid.gibbs(grid, t, p) - grid @ plane
    assert value <= on_grid.min()
    assert value == pytest.approx(on_grid.min(), abs=1e-4 * R * t)
    assert value == pytest.approx(float(liquid.gibbs(x, t, p) - x @ plane), rel=1e-12)


@pytest.mark.parametrize("t, negative", [(600.0, True), (1400.0, False)])
def test_model_tangent_plane_distance_sees_a_miscibility_gap(t, negative):
    """The de-mixing solid against the tangent at x = 0.5: inside the spinodal at 600 K
    (G'' < 0 there) some composition lies below it; at 1400 K the solid is convex (G'' > 0 for
    every x, from L0 and L1) and the lowest distance is the tangent point's, 0."""
    system = load_system(Path(__file__).resolve().parent / "data" / "demixing.dat")
    fcc = system.phase("FCC#1")
    (parameter,) = fcc.excess
    (a0, b0), (a1, b1) = parameter.expressions[:, :2]
    y = np.linspace(1e-6, 1 - 1e-6, 10001)
    curvature = (R * t / (y * (1 - y)) - 2 * (a0 + b0 * t) + 6 * (a1 + b1 * t)
                 - 12 * (a1 + b1 * t) * y)
    assert (curvature[5000] < 0) == negative and (curvature.min() > 0) == (not negative)
    plane = fcc.potentials(np.array([0.5, 0.5]), t, 1.0)
    value, _ = tangent_plane_distance(fcc, t, 1.0, plane)
    if negative:
        assert value < -1e-3 * R * t
    else:
        assert abs(value) < 1e-12 * R * t


def test_model_tangent_plane_distance_of_a_hundred_constituents_touches_at_the_tangent_point():
    """The 100-constituent solution (one binary parameter, negative: convex) against the tangent
    at a composition of its own: the search, started from every vertex, finds distance 0 there."""
    system = load_system(Path(__file__).resolve().parent / "data" / "wide100.dat")
    solution = system.phase("SOLUTION")
    t, p = 1000.0, 1.0
    x0 = np.random.default_rng(3).dirichlet(np.ones(solution.size))
    value, x = tangent_plane_distance(solution, t, p, solution.potentials(x0, t, p))
    assert abs(value) < 1e-10 * R * t
    assert x == pytest.approx(x0, rel=1e-5, abs=1e-12)
