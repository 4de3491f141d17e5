"""Value objects: the engine calls of get, set and the texts, through a recording engine."""

import pytest

from equilexproxy import entities
from entity_fakes import RecordingEngine, by_args


def constituent_of(engine, phase_index=3, index=2):
    return entities.Constituent(index, entities.Phase(phase_index, engine))


@pytest.mark.parametrize(
    "make, option, selector, text",
    [
        (entities.ValueH, "H", (1, 0, 0), "H298(<GAS>, <A2>) = -80000.5 J/mol"),
        (entities.ValueS, "S", (1, 0, 1), "S298(<GAS>, <A2>) = -80000.5 J/mol/K"),
    ],
)
def test_reference_values(make, option, selector, text):
    engine = RecordingEngine(tqgdat=(-80000.5, 7.0), tqgnp="GAS", tqgnpc="A2", tqcdat="dropped")
    value = make(constituent_of(engine))
    assert value.get() == -80000.5
    assert value.set(12.5) is None
    assert engine.calls == [("tqgdat", 3, 2, option, 1), ("tqcdat", *selector, 2, 3, 12.5)]
    engine.calls.clear()
    assert str(value) == text and repr(value) == text
    assert engine.names() == ["tqgnp", "tqgnpc", "tqgdat"] * 2


@pytest.mark.parametrize(
    "shown, value", [("0.0", 0.0), ("1e-07", 1e-07), ("-3", -3), ("12345678.9", 12345678.9)]
)
def test_reference_text_shows_the_value_as_str(shown, value):
    engine = RecordingEngine(tqgdat=(value,), tqgnp="P", tqgnpc="C")
    assert str(entities.ValueH(constituent_of(engine))) == f"H298(<P>, <C>) = {shown} J/mol"


def test_values_read_owners_and_indices_afresh():
    first, second = RecordingEngine(tqgdat=(1.0,)), RecordingEngine(tqgdat=(2.0,))
    constituent = constituent_of(first)
    value = entities.ValueS(constituent)
    constituent.index = 5
    constituent.parent.index = 7
    assert value.get() == 1.0
    constituent.parent.engine = second
    assert value.get() == 2.0
    assert first.calls == [("tqgdat", 7, 5, "S", 1)] and second.calls == [("tqgdat", 7, 5, "S", 1)]


@pytest.mark.parametrize(
    "index, expected", [(0, 40.0), (1, 10.0), (4, 40.0), (-1, 30.0)]
)
def test_cp_value_picks_by_python_rules(index, expected):
    engine = RecordingEngine(tqgdat=(10.0, 20.0, 30.0, 40.0))
    value = entities.ValueCp(constituent_of(engine), 2, index)
    assert value.get() == expected
    value.set(5.0)
    assert engine.calls == [("tqgdat", 3, 2, "Cp", 2), ("tqcdat", 1, 2, index, 2, 3, 5.0)]


def test_cp_value_failures():
    engine = RecordingEngine(tqgdat=(10.0, 20.0, 30.0, 40.0))
    with pytest.raises(IndexError):
        entities.ValueCp(constituent_of(engine), 1, 5).get()
    with pytest.raises(TypeError):
        entities.ValueCp(constituent_of(engine), 1, "2").get()
    with pytest.raises(AttributeError):
        entities.ValueCp(object(), 1, 1).get()


EXPRESSIONS = [[-160.0, 5.2, 0.5, 1e-05, -2.0, 7.0, 100.0, 0.25], [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]]


@pytest.mark.parametrize(
    "iexpr, iterm, expected, text",
    [
        (1, 1, -160.0, "1: *2 ( 1)-( 2): -160.0 [J]"),
        (1, 2, 5.2, "1: *2 ( 1)-( 2): 5.2*T [J]"),
        (1, 3, 0.5, "1: *2 ( 1)-( 2): 0.5*TlnT [J]"),
        (1, 4, 1e-05, "1: *2 ( 1)-( 2): 1e-05*T^2 [J]"),
        (1, 5, -2.0, "1: *2 ( 1)-( 2): -2.0*T^3 [J]"),
        (2, 6, 6.0, "1: *2 ( 1)-( 2): 6.0/T [J]"),
        # Term 0 is the last coefficient and shows the last suffix; expression 0 the last one.
        (1, 0, 0.25, "1: *2 ( 1)-( 2): 0.25/T [J]"),
        (0, 1, 1.0, "1: *2 ( 1)-( 2): 1.0 [J]"),
    ],
)
def test_excess_value(iexpr, iterm, expected, text):
    engine = RecordingEngine(tqgpar=EXPRESSIONS, tqlpar=["1: *2 ( 1)-( 2)", "2: *2 ( 1)-( 3)"])
    value = entities.ValueEx(entities.Phase(5, engine), 1, iexpr, iterm)
    assert value.get() == expected
    assert engine.calls == [("tqgpar", 5, "G", 1)]
    engine.calls.clear()
    assert str(value) == text and repr(value) == text
    assert engine.names() == ["tqlpar", "tqgpar"] * 2
    assert engine.calls[0] == ("tqlpar", 5, "G")


def test_excess_value_beyond_the_sixth_term():
    engine = RecordingEngine(tqgpar=EXPRESSIONS, tqlpar=["1: *2 ( 1)-( 2)"])
    value = entities.ValueEx(entities.Phase(5, engine), 1, 1, 7)
    assert value.get() == 100.0
    with pytest.raises(IndexError):
        str(value)


def test_excess_value_of_another_kind_still_writes_selector_13():
    engine = RecordingEngine(tqgpar=[[-450.0, -0.35]], tqlpar=["1: *2 ( 1)-( 2)"])
    value = entities.ValueEx(entities.Phase(6, engine), 1, 1, 2, type="M")
    assert value.get() == -0.35
    value.set(0.5)
    assert engine.calls == [("tqgpar", 6, "M", 1), ("tqcdat", 13, 1, 1, 2, 6, 0.5)]
    engine.calls.clear()
    assert str(value) == "1: *2 ( 1)-( 2): -0.35*T [J]"
    assert engine.calls == [("tqlpar", 6, "M"), ("tqgpar", 6, "M", 1)]


def test_excess_value_set_passes_the_value_unchanged():
    engine = RecordingEngine()
    marker = object()
    assert entities.ValueEx(entities.Phase(2, engine), 3, 4, 5).set(value=marker) is None
    assert engine.calls == [("tqcdat", 13, 3, 4, 5, 2, marker)]


def test_short_answers_raise_index_error():
    engine = RecordingEngine(tqgdat=(), tqgpar=[], tqgnp="P", tqgnpc="C")
    with pytest.raises(IndexError):
        entities.ValueH(constituent_of(engine)).get()
    with pytest.raises(IndexError):
        str(entities.ValueS(constituent_of(engine)))
    with pytest.raises(IndexError):
        entities.ValueEx(entities.Phase(1, engine), 1, 1, 1).get()


def test_units_stay_whatever_the_engine_answers():
    engine = RecordingEngine(tqgdat=by_args({(1, 1, "H", 1): (2.0,)}), tqgnp="P", tqgnpc="C")
    assert str(entities.ValueH(constituent_of(engine, 1, 1))).endswith(" J/mol")
