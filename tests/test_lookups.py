"""Look-ups of components, phases and compounds by index or name: the routine calls, the entity
objects handed out and how they are made, None for what names nothing."""

from unittest import mock

import pytest

from convenience_support import Posing, Script, entities, entity_classes  # noqa: F401 - a fixture
from equilexproxy import raw


@pytest.fixture
def script(make_engine):
    return Script(make_engine())


LOOKUPS = [("get_component", "tqinsc", "tqnosc", "SystemComponent"),
           ("get_phase", "tqinp", "tqnop", "Phase")]


@pytest.mark.parametrize("method, by_name, count, kind", LOOKUPS)
@pytest.mark.parametrize("identifier", [0, -2, False])
def test_index_below_one_names_nothing_without_a_call(script, entities, method, by_name, count,
                                                      kind, identifier):
    assert getattr(script.engine, method)(identifier) is None
    assert script.calls == []


@pytest.mark.parametrize("method, by_name, count, kind", LOOKUPS)
def test_by_index(script, entities, method, by_name, count, kind):
    script.returns(count, 4)
    assert getattr(script.engine, method)(5) is None
    found = getattr(script.engine, method)(id=4)
    assert type(found) is getattr(entities, kind)
    assert found.index == 4 and found.engine is script.engine
    assert script.calls == [(count,), (count,)]
    # Two look-ups give two objects.
    assert getattr(script.engine, method)(4) is not found


@pytest.mark.parametrize("method, by_name, count, kind", LOOKUPS)
def test_by_name(script, entities, method, by_name, count, kind):
    script.returns(by_name, 2).returns(count, 3)
    found = getattr(script.engine, method)("CO2")
    assert type(found) is getattr(entities, kind) and found.index == 2
    assert found.engine is script.engine
    assert script.calls == [(by_name, "CO2"), (count,)]


@pytest.mark.parametrize("method, by_name, count, kind", LOOKUPS)
def test_unknown_name_gives_none_without_the_count(script, entities, method, by_name, count,
                                                   kind):
    script.returns(by_name, 0).returns(count, 3)
    assert getattr(script.engine, method)("Xe") is None
    assert script.calls == [(by_name, "Xe")]


@pytest.mark.parametrize("method", ["get_component", "get_phase"])
def test_entities_are_made_by_keywords(script, method, monkeypatch):
    module = entity_classes("fake", monkeypatch)
    script.returns("tqnosc", 3).returns("tqnop", 3)
    getattr(script.engine, method)(True)
    (made,) = module.made
    assert made.args == () and made.keywords == {"index": True, "engine": script.engine}


@pytest.mark.parametrize("method, by_name", [("get_component", "tqinsc"), ("get_phase", "tqinp")])
def test_a_text_of_a_subclass_goes_to_the_look_up_which_refuses_it(make_engine, method, by_name):
    class Name(str):
        pass

    script = Script(make_engine()).returns(by_name, 2).returns("tqnosc", 3).returns("tqnop", 3)
    getattr(script.engine, method)(Name("CO2"))
    assert script.calls[0] == (by_name, "CO2") and type(script.calls[0][1]) is Name
    # The routine method's own exact check, on an engine without scripted routines.
    with pytest.raises(TypeError) as caught:
        getattr(make_engine(), method)(Name("CO2"))
    assert str(caught.value) == "Argument 'name' has incorrect type (expected str, got Name)"


@pytest.mark.parametrize("method, by_name, count, kind", LOOKUPS)
def test_index_and_name_are_told_apart_as_isinstance_does(script, entities, method, by_name,
                                                          count, kind):
    # An object whose __class__ reports int is the index itself; one that reports str (a mock
    # with spec=str) is looked up by name.
    index, name = Posing(2), mock.Mock(spec=str)
    script.returns(by_name, 3).returns(count, 4)
    found = getattr(script.engine, method)(index)
    assert type(found) is getattr(entities, kind) and found.index is index
    assert getattr(script.engine, method)(name).index == 3
    assert script.calls == [(count,), (by_name, name), (count,)]
    script.calls.clear()
    assert getattr(script.engine, method)(Posing(0)) is None
    with pytest.raises(ValueError):
        getattr(script.engine, method)(Posing(1.0))
    assert script.calls == []


class Unreadable:
    @property
    def __class__(self):
        raise ArithmeticError("no class to report")


@pytest.mark.parametrize("method", ["get_component", "get_phase"])
def test_a_failing_class_look_up_passes_out(script, method):
    with pytest.raises(ArithmeticError):
        getattr(script.engine, method)(Unreadable())
    assert script.calls == []


@pytest.mark.parametrize("method", ["get_component", "get_phase"])
@pytest.mark.parametrize("identifier", [1.0, None, b"GAS"])
def test_other_identifiers_are_refused_before_any_call(script, method, identifier):
    with pytest.raises(ValueError) as caught:
        getattr(script.engine, method)(identifier)
    assert str(caught.value) == f"{identifier} is not a suitable type"
    assert script.calls == []


def test_compound(script, entities):
    script.returns("tqinp", 4).returns("tqmodl", "PURE").returns("tqnop", 6)
    constituent = script.engine.get_compound("CaO")
    assert type(constituent) is entities.Constituent and constituent.index == 1
    assert type(constituent.parent) is entities.Phase and constituent.parent.index == 4
    assert constituent.parent.engine is script.engine
    assert script.calls == [("tqinp", "CaO"), ("tqmodl", 4), ("tqnop",)]
    assert script.engine.is_compound("CaO") is True


def test_solution_is_no_compound(script, entities):
    script.returns("tqinp", 1).returns("tqmodl", "IDMX")
    assert script.engine.get_compound("GAS") is None
    assert script.engine.is_compound(name="GAS") is False
    assert script.calls == [("tqinp", "GAS"), ("tqmodl", 1)] * 2


def test_unknown_phase(script, entities):
    script.returns("tqinp", 0)
    assert script.engine.get_compound("SLAG") is None
    with pytest.raises(Exception) as caught:
        script.engine.is_compound("SLAG")
    assert type(caught.value) is Exception and str(caught.value) == "Phase SLAG does not exist."
    assert script.calls == [("tqinp", "SLAG")] * 2


def test_none_as_phase_name(script):
    assert script.engine.get_compound(None) is None
    with pytest.raises(Exception) as caught:
        script.engine.is_compound(None)
    assert type(caught.value) is Exception and str(caught.value) == "Phase name cannot be None."
    assert script.calls == []


def test_compound_goes_through_the_engines_own_get_phase(script, monkeypatch):
    entity_classes("fake", monkeypatch)
    script.returns("tqinp", 3).returns("tqmodl", "PURE")

    class Found:
        def get_constituent(self, id):
            return ("constituent", id)

    script.returns("get_phase", Found())
    assert script.engine.get_compound("CaO") == ("constituent", 1)
    assert script.calls == [("tqinp", "CaO"), ("tqmodl", 3), ("get_phase", 3)]


def test_is_compound_returns_the_comparison_itself(script):
    class Model(str):
        def __eq__(self, other):
            return "compared"

        __hash__ = str.__hash__

    script.returns("tqinp", 2).returns("tqmodl", Model("PURE"))
    assert script.engine.is_compound("X") == "compared"


def test_docstrings():
    assert raw.EquilexProxy.get_component.__doc__ == (
        "returns a SystemComponent object with a corresponding index")
    assert raw.EquilexProxy.get_phase.__doc__ == (
        "returns a Phase object with a corresponding id, can be index or name")
    assert raw.EquilexProxy.get_compound.__doc__ is None
    assert raw.EquilexProxy.is_compound.__doc__ is None


def test_entity_class_is_taken_from_the_module_at_each_call(script, monkeypatch):
    first = entity_classes("fake", monkeypatch)
    script.returns("tqnop", 5)
    assert type(script.engine.get_phase(1)) is first.Phase
    second = entity_classes("fake", monkeypatch)
    assert type(script.engine.get_phase(1)) is second.Phase
