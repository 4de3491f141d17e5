"""The test systems of the equilibrium calculator's sweeps (tests/data): each loads, the library
holds the phases and constituents the file writes, and the two generated systems are what
tests/large_systems.py writes."""

import pytest
import yaml

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
