"""The engine's unit properties and whole-system result properties: one routine call per read or
assignment, nothing kept on the engine."""

import pytest

from convenience_support import Script
from equilexproxy import raw

UNITS = [("unitT", "Temperature"), ("unitP", "Pressure"), ("unitV", "Volume"),
         ("unitE", "Energy"), ("unitA", "Amount")]
RESULTS = [("pressure_total", "P"), ("volume_total", "VT"), ("temperature", "T"),
           ("equilibrium_amount", "A"), ("heat_capacity", "CP"), ("enthalpy", "H"),
           ("entropy", "S")]


@pytest.fixture
def script(make_engine):
    return Script(make_engine())


def test_properties_lead_the_class_in_order():
    names = list(vars(raw.EquilexProxy))
    start = names.index("language") + 1
    assert names[start:start + 12] == [name for name, _ in UNITS + RESULTS]
    for name, _ in UNITS + RESULTS:
        member = vars(raw.EquilexProxy)[name]
        assert type(member) is property
        assert (member.fset is not None) == name.startswith("unit")
        assert member.fdel is None
        assert member.__doc__ is None


@pytest.mark.parametrize("name, quantity", UNITS)
def test_unit_read_asks_the_library_every_time(script, name, quantity):
    script.returns("tqgsu", "K", "C")
    assert getattr(script.engine, name) == "K"
    assert getattr(script.engine, name) == "C"
    assert script.calls == [("tqgsu", quantity)] * 2


@pytest.mark.parametrize("name, quantity", UNITS)
def test_unit_assignment_passes_the_value_unexamined(script, name, quantity):
    script.returns("tqcsu", "dropped")
    value = object()
    setattr(script.engine, name, value)
    assert script.calls == [("tqcsu", quantity, value)]
    assert name not in vars(script.engine)


@pytest.mark.parametrize("name, option", RESULTS)
def test_result_read_is_one_tqgetr_of_the_whole_system(script, name, option):
    answer = object()  # returned unchanged, whatever it is
    script.returns("tqgetr", answer)
    assert getattr(script.engine, name) is answer
    assert script.calls == [("tqgetr", option, 0, 0)]


@pytest.mark.parametrize("name", [name for name, _ in RESULTS])
def test_results_cannot_be_assigned(script, name):
    script.returns("tqgetr", 1.0).returns("tqcsu")
    with pytest.raises(AttributeError):
        setattr(script.engine, name, 1.0)
    with pytest.raises(AttributeError):
        delattr(script.engine, name)
    assert script.calls == []


def test_routine_exceptions_pass_unchanged(script):
    script.returns("tqcsu", raises=TypeError("refused"))
    with pytest.raises(TypeError, match="refused"):
        script.engine.unitE = 4
