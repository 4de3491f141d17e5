"""The convenience members and module custom on the stand-in library: look-ups, statuses and
phase lists over the routine methods of both roads, and (once the stand-in calculates) conditions,
calculations, the temperature map and the formation-temperature search checked against closed
forms computed here from the stored data."""

import pytest

from convenience_support import entities  # noqa: F401 - a fixture
from query_support import load_sample, sample  # noqa: F401 - sample: a fixture

LIMESTONE_PHASES = ["GAS", "CaCO3", "CaO", "C(graphite)"]


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
