"""set_status and the lists of components and phases: the routine calls they make through the
entities, selection by model and by activity, ordering, and every exception text."""

import math
from unittest import mock

import pytest

from convenience_support import Posing, Script, entities, entity_classes  # noqa: F401 - a fixture
from equilexproxy import raw


@pytest.fixture
def script(make_engine):
    return Script(make_engine())


def phase_results(script, activities, amounts=None):
    """A system of len(activities) phases whose results of the last calculation are given."""
    amounts = amounts or [0.0] * len(activities)

    def tqgetr(option, indexp, index):
        return {"AC": activities, "A": amounts}[option][indexp - 1]

    script.returns("tqnop", len(activities)).computes("tqgetr", tqgetr)


def indices(phases):
    return [phase.index for phase in phases]


def test_status_of_every_phase(script, entities):
    script.returns("tqnop", 3).returns("tqcsp")
    assert script.engine.set_status("DORMANT") is None
    assert script.calls == [("tqnop",)] + [("tqcsp", k, "DORMANT") for k in (1, 2, 3)]


def test_status_of_listed_phases(script, entities):
    script.returns("tqinp", 7).returns("tqcsp")
    phase = entities.Phase(5, script.engine)
    assert script.engine.set_status("ENTERED", [2, "GAS", phase, True]) is None
    assert script.calls == [("tqcsp", 2, "ENTERED"), ("tqinp", "GAS"), ("tqcsp", 7, "ENTERED"),
                            ("tqcsp", 5, "ENTERED"), ("tqcsp", True, "ENTERED")]


def test_listed_names_and_indices_are_told_apart_as_isinstance_does(script, entities):
    # __class__ decides: a proxy reporting int is the index itself, a mock with spec=str a name.
    script.returns("tqinp", 7).returns("tqcsp")
    index, name = Posing(2), mock.Mock(spec=str)
    script.engine.set_status("ENTERED", [index, name])
    assert script.calls == [("tqcsp", index, "ENTERED"), ("tqinp", name),
                            ("tqcsp", 7, "ENTERED")]
    with pytest.raises(Exception) as caught:
        script.engine.set_status("ENTERED", [Posing(-1)])
    assert str(caught.value) == "no phase named Posing(-1) exists"


def test_status_with_index_zero_goes_on_and_below_zero_raises(script, entities):
    script.returns("tqcsp").returns("tqinp", 0, -1)
    script.engine.set_status("DORMANT", [0, "Xe"])
    assert script.calls == [("tqcsp", 0, "DORMANT"), ("tqinp", "Xe"), ("tqcsp", 0, "DORMANT")]
    for element, calls in ((-1, []), ("Kr", [("tqinp", "Kr")])):
        script.calls.clear()
        with pytest.raises(Exception) as caught:
            script.engine.set_status("DORMANT", [element])
        assert type(caught.value) is Exception
        assert str(caught.value) == f"no phase named {element} exists"
        assert script.calls == calls


@pytest.mark.parametrize("element", [1.5, None, b"GAS"])
def test_status_refuses_other_elements(script, entities, element):
    script.returns("tqcsp")
    with pytest.raises(Exception) as caught:
        script.engine.set_status("DORMANT", [3, element, 4])
    assert type(caught.value) is Exception
    assert str(caught.value) == (
        f"{element} has an unacceptable type (must be string, Phase object or integer)")
    # What came before keeps its new status.
    assert script.calls == [("tqcsp", 3, "DORMANT")]


def test_status_list_is_any_iterable(script, entities):
    script.returns("tqcsp").computes("tqinp", lambda name: ord(name) - ord("A") + 1)
    script.engine.set_status("DORMANT", "AC")
    assert script.calls == [("tqinp", "A"), ("tqcsp", 1, "DORMANT"), ("tqinp", "C"),
                            ("tqcsp", 3, "DORMANT")]
    script.calls.clear()
    script.engine.set_status("DORMANT", [])
    script.engine.set_status("DORMANT", list=iter(()))
    assert script.calls == []


def test_status_passes_unchanged_to_the_routines(script, entities):
    status = object()
    script.returns("tqcsp")
    script.engine.set_status(status, [1])
    assert script.calls == [("tqcsp", 1, status)]
    with pytest.raises(TypeError) as caught:
        raw.EquilexProxy.set_status(script.engine)
    assert str(caught.value) == "set_status() takes at least 2 positional arguments (1 given)"


def test_components_and_phases(script, entities):
    script.returns("tqnosc", 2).returns("tqnop", 3)
    components = script.engine.components
    phases = script.engine.phases
    assert [type(c) for c in components] == [entities.SystemComponent] * 2
    assert indices(components) == [1, 2] and indices(phases) == [1, 2, 3]
    assert all(entity.engine is script.engine for entity in components + phases)
    assert script.calls == [("tqnosc",), ("tqnop",)]
    again = script.engine.phases
    assert again is not phases and all(a is not b for a, b in zip(again, phases))


def test_entities_are_made_positionally(script, monkeypatch):
    module = entity_classes("fake", monkeypatch)
    script.returns("tqnosc", 1).returns("tqnop", 1)
    script.engine.components
    script.engine.phases
    assert [(m.kind, m.args, m.keywords) for m in module.made] == [
        ("SystemComponent", (1, script.engine), {}), ("Phase", (1, script.engine), {})]


def test_compounds_and_solutions(script, entities):
    models = ["IDMX", "PURE", "RKMP", "PURE", "pure"]
    script.returns("tqnop", len(models)).computes("tqmodl", lambda pid: models[pid - 1])
    assert indices(script.engine.compounds) == [2, 4]
    assert script.calls == [("tqnop",)] + [("tqmodl", k) for k in range(1, 6)]
    assert indices(script.engine.solutions) == [1, 3, 5]


@pytest.mark.parametrize("name", ["components", "phases", "compounds", "solutions",
                                  "phases_stable", "phases_unstable"])
def test_empty_system(script, entities, name):
    script.returns("tqnosc", 0).returns("tqnop", 0).returns("tqcsp")
    assert getattr(script.engine, name) == []
    script.engine.set_status("DORMANT")
    assert "tqcsp" not in script.names()


def test_stable_phases_by_amount_largest_first(script, entities):
    phase_results(script, [1.0, 0.5, 0.9999, 1.0, 1.2], [1.0, 0.0, 2.0, 1.0, 0.5])
    stable = script.engine.phases_stable
    # Equal amounts keep index order.
    assert indices(stable) == [3, 1, 4, 5]
    reads = [call[1:] for call in script.calls if call[0] == "tqgetr"]
    # One activity read per phase in index order, then one amount read per kept phase.
    assert reads == [("AC", k, 0) for k in range(1, 6)] + [("A", k, 0) for k in (1, 3, 4, 5)]


def test_unstable_phases_by_activity_largest_first(script, entities):
    activities = [0.3, 1.0, 0.0, 0.9999, 0.5, -0.1, math.nan, 0.3, 0.99989]
    phase_results(script, activities)
    unstable = script.engine.phases_unstable
    assert indices(unstable) == [9, 5, 1, 8]
    reads = [call[2] for call in script.calls if call[0] == "tqgetr"]
    # A kept phase is read three times, one failing the first test once, the second twice.
    assert {k: reads.count(k) for k in range(1, 10)} == {
        1: 3, 2: 1, 3: 2, 4: 1, 5: 3, 6: 2, 7: 1, 8: 3, 9: 3}


def test_selections_read_the_phases_property(script, entities):
    phase_results(script, [1.0, 0.5])
    script.engine.phases_stable
    script.engine.phases_unstable
    assert script.names().count("tqnop") == 2
    # An override of phases on the engine is honoured.
    script.engine.__class__ = type("Engine", (raw.EquilexProxy,),
                                   {"phases": property(lambda self: [])})
    try:
        assert script.engine.phases_stable == [] and script.engine.phases_unstable == []
        script.calls.clear()
        script.engine.set_status("DORMANT")
        assert script.calls == []
    finally:
        script.engine.__class__ = raw.EquilexProxy


def test_collections_have_no_docstrings():
    for name in ("components", "phases", "compounds", "solutions", "phases_stable",
                 "phases_unstable"):
        member = vars(raw.EquilexProxy)[name]
        assert type(member) is property and member.fset is None and member.__doc__ is None
    assert raw.EquilexProxy.set_status.__doc__ is None
    assert raw.EquilexProxy.set_status.__defaults__ == (None,)
