"""Phases of the stand-in's structural sample, on both roads."""

import pytest

from query_support import load_structure, sample  # noqa: F401 - sample: a fixture

PHASES = [
    ("GAS", "IDMX"), ("LIQUID", "IDMX"), ("C(s)", "PURE"), ("AB(s)", "PURE"), ("FCC", "RKMP"),
    ("BCC", "RKMP"), ("SIGMA", "SUBL"), ("HALITE#1", "RKMP"), ("HALITE#2", "RKMP"),
    ("AQUEOUS", "IDWZ"), ("LONG_PHASE_NAME_24_CHARS", "PURE"),
]


@pytest.fixture
def structure(standin_engine, sample):
    return load_structure(standin_engine, sample, "phases")


@pytest.mark.parametrize("extension", ["dat", "cst", "bin"])
def test_phases_of_the_structural_sample(standin_engine, sample, extension):
    structure = load_structure(standin_engine, sample, "phases", extension=extension)
    assert structure.number_phases == structure.tqnop() == len(PHASES)
    for index, (name, model) in enumerate(PHASES, start=1):
        assert (structure.tqgnp(index), structure.tqmodl(index)) == (name, model)
        assert structure.tqinp(name) == index
    assert structure.tqgsp(11) == "DORMANT"
    assert [structure.tqnopc(p) for p in (1, 2, 3)] == [3, 5, 1]
    assert structure.tqnosl(7) == 2


@pytest.mark.parametrize("status", ["DORMANT", "ELIMINATED", "ENTERED"])
def test_phase_status_round_trip(structure, status):
    before = structure.tqgsp(2)
    structure.tqcsp(2, status)
    assert structure.tqgsp(2) == status
    structure.tqcsp(2, before)
    assert structure.tqgsp(2) == before == "ENTERED"


def test_phase_failures_on_the_library_road(engine, sample):
    load_structure(engine, sample, "phases")
    assert engine.tqinp("NO_SUCH_PHASE") == 0
    assert engine.last_error == 303
    assert engine.tqinp("HALITE") == 0  # both copies answer to it
    assert engine.last_error == 302
    assert engine.tqgnp(12) == "" and engine.last_error == 402
    engine.last_error = 0
    assert engine.tqgnp(0) == "" and engine.last_error == 402
