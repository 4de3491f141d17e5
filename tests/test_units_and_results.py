"""The engine's unit properties and whole-system result properties: one routine call per read or
assignment, nothing kept on the engine."""

import pytest

from convenience_support import Script
from query_support import define
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


def test_through_the_library_routines(lib_engine, fake_lib):
    define(fake_lib, "TQGSU", "t b e", [b"K"])
    define(fake_lib, "TQCSU", "t t e")
    define(fake_lib, "TQGETR", "t i i D e", [1234.5])
    assert lib_engine.unitT == "K"
    lib_engine.unitP = "atm"
    assert lib_engine.temperature == 1234.5
    assert fake_lib.calls == [("TQGSU", (b"Temperature\0", 11, 25)),
                              ("TQCSU", (b"Pressure\0", 8, b"atm\0", 3)),
                              ("TQGETR", (b"T\0", 1, 0, 0))]
    # A unit that is not exactly a text is refused by tqcsu's own check.
    with pytest.raises(TypeError):
        lib_engine.unitE = 4
    assert len(fake_lib.calls) == 3
