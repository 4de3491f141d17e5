"""Global conditions, incoming amounts, phase targets and their removal: the routine calls each
member makes, the identifiers it resolves, and every exception it raises."""

import pytest

from convenience_support import Script
from query_support import define
from equilexproxy import raw

GLOBALS = [("set_global_T", "T"), ("set_global_P", "P"), ("set_global_VT", "VT"),
           ("set_global_CP", "CP"), ("set_global_H", "H"), ("set_global_S", "S"),
           ("set_global_G", "G")]


class Text(str):
    pass


@pytest.fixture
def script(make_engine):
    return Script(make_engine()).returns("tqsetc", 17)


@pytest.mark.parametrize("name, option", GLOBALS)
@pytest.mark.parametrize("value", [1000, 1000.0, True])
def test_global_condition(script, name, option, value):
    assert getattr(script.engine, name)(value) == 17
    assert script.calls == [("tqsetc", option, 0, 0, float(value))]
    assert type(script.calls[0][4]) is float


@pytest.mark.parametrize("name", [name for name, _ in GLOBALS])
def test_global_condition_refuses_a_text_before_any_call(script, name):
    with pytest.raises(TypeError):
        getattr(script.engine, name)("1")
    assert script.calls == []


def test_amount_of_a_component_by_index_and_by_name(script):
    script.returns("tqinsc", 3)
    assert script.engine.set_amount_syscomp(2, 1) == 17
    assert script.engine.set_amount_syscomp("O", amount=2.5) == 17
    assert script.calls == [("tqsetc", "IA", 0, 2, 1.0), ("tqinsc", "O"),
                            ("tqsetc", "IA", 0, 3, 2.5)]


@pytest.mark.parametrize("answer", [0, -1])
def test_amount_of_an_unknown_component(script, answer):
    script.returns("tqinsc", answer)
    with pytest.raises(Exception) as caught:
        script.engine.set_amount_syscomp("Xe", 1.0)
    assert type(caught.value) is Exception
    assert str(caught.value) == "No system component named Xe"
    assert script.calls == [("tqinsc", "Xe")]


@pytest.mark.parametrize("identifier", [True, 2.0, None, Text("O"), (1,)])
def test_identifiers_of_other_types_are_refused(script, identifier):
    # Exact types: bool and subclasses of str fall here too.
    for call in (lambda: script.engine.set_amount_syscomp(identifier, 1.0),
                 lambda: script.engine.set_amount_const(identifier, 1, 1.0),
                 lambda: script.engine.set_amount_const(1, identifier, 1.0),
                 lambda: script.engine.set_phase_target(identifier)):
        with pytest.raises(ValueError) as caught:
            call()
        assert str(caught.value) == f"{identifier} is not a suitable type"
    assert script.calls == []


def test_amount_is_converted_before_identifiers_are_examined(script):
    with pytest.raises(TypeError):
        script.engine.set_amount_syscomp(2, "x")
    with pytest.raises(TypeError):
        script.engine.set_amount_const("GAS", "CO2", "x")
    assert script.calls == []


def test_amount_of_a_constituent_by_names(script):
    script.returns("tqinp", 4).returns("tqinpc", 2)
    assert script.engine.set_amount_const("CaO", "CaO", 1) == 17
    assert script.calls == [("tqinp", "CaO"), ("tqinpc", 4, "CaO"), ("tqsetc", "IA", 4, 2, 1.0)]


@pytest.mark.parametrize(
    "phase_id, const_id, answers, message, calls",
    [
        ("SLAG", 1.5, {"tqinp": 0}, "No phase named SLAG", ["tqinp"]),
        (3, "Xe", {"tqinpc": 0}, "No constituent named Xe in phase 3", ["tqinpc"]),
        ("GAS", "Xe", {"tqinp": 1, "tqinpc": -1}, "No constituent named Xe in phase GAS",
         ["tqinp", "tqinpc"]),
    ],
)
def test_amount_of_an_unknown_phase_or_constituent(script, phase_id, const_id, answers, message,
                                                   calls):
    for name, answer in answers.items():
        script.returns(name, answer)
    with pytest.raises(Exception) as caught:
        script.engine.set_amount_const(phase_id, const_id, 1.0)
    assert type(caught.value) is Exception and str(caught.value) == message
    assert script.names() == calls


def test_amount_of_a_constituent_of_a_phase_of_another_type(script):
    with pytest.raises(ValueError) as caught:
        script.engine.set_amount_const(1.0, 1, 1.0)
    assert str(caught.value) == "1.0 is not a suitable type"


def test_phase_target(script):
    script.returns("tqinp", 5)
    assert script.engine.set_phase_target(2) == 17
    assert script.engine.set_phase_target("AB_S", -1) == 17
    marker = object()
    script.engine.set_phase_target(3, value=marker)
    assert script.calls == [("tqsetc", "A", 2, 0, 0.0), ("tqinp", "AB_S"),
                            ("tqsetc", "A", 5, 0, -1), ("tqsetc", "A", 3, 0, marker)]
    # The value is passed on as given: the int stays an int here.
    assert type(script.calls[2][4]) is int
    with pytest.raises(Exception, match="^No phase named SLAG$"):
        script.returns("tqinp", 0).engine.set_phase_target("SLAG")


def test_remove_condition(script):
    script.returns("tqremc", "removed")
    assert script.engine.remove_condition(5) == "removed"
    assert script.engine.remove_condition(numcon=-2) == "removed"
    assert script.calls == [("tqremc", 5), ("tqremc", -2)]


@pytest.mark.parametrize("numcon, given", [(True, "bool"), (None, "NoneType"), (5.0, "float")])
def test_remove_condition_takes_exactly_an_int(script, numcon, given):
    with pytest.raises(TypeError) as caught:
        script.engine.remove_condition(numcon)
    assert str(caught.value) == (
        f"Argument 'numcon' has incorrect type (expected int, got {given})")
    assert script.calls == []


def test_remove_amounts(script):
    script.returns("tqremc", 7)
    assert script.engine.remove_amounts() is None
    assert script.calls == [("tqremc", 0)]


@pytest.mark.parametrize("reported", [0, 123])
def test_remove_all_resets_last_error_first(script, reported):
    engine = script.engine
    engine.last_error = 504
    seen = []

    def tqremc(numcon):
        seen.append((numcon, engine.last_error))
        if reported:
            engine.last_error = reported  # as the engine records a removal's own error
        return 0

    engine.tqremc = tqremc
    assert engine.remove_all() is None
    assert seen == [(-1, 0)]
    assert engine.last_error == reported


def test_signatures_docstrings_and_annotations():
    cls = raw.EquilexProxy
    for name, _ in GLOBALS:
        assert getattr(cls, name).__annotations__ == {"value": "float"}
        assert getattr(cls, name).__doc__ is None
    assert cls.set_amount_syscomp.__annotations__ == {"amount": "float"}
    assert cls.set_amount_const.__annotations__ == {"amount": "float"}
    assert cls.remove_condition.__annotations__ == {"numcon": "int"}
    for name in ("set_phase_target", "remove_amounts", "remove_all"):
        assert getattr(cls, name).__annotations__ == {}
    assert cls.set_phase_target.__defaults__ == (0.0,)
    assert type(cls.set_phase_target.__defaults__[0]) is float
    assert cls.remove_condition.__doc__ == (
        "removes a condition, equivalent to `equilex.raw.Equilex.tqremc`; uses a condition "
        "number returned by `equilex.raw.Equilex.tqsetc` and derived functions")
    assert cls.remove_amounts.__doc__ == (
        "removes all input amounts but units and other input conditions are untouched")
    assert cls.remove_all.__doc__ == "removes all input conditions and sets the default units"


def test_routine_exceptions_pass_unchanged(script):
    script.returns("tqinp", 2).returns("tqsetc", raises=TypeError("must be real number"))
    with pytest.raises(TypeError, match="must be real number"):
        script.engine.set_phase_target("GAS", "x")
    assert script.names() == ["tqinp", "tqsetc"]


def test_through_the_library_routines(lib_engine, fake_lib):
    define(fake_lib, "TQSETC", "t i i d o e", [3])
    define(fake_lib, "TQREMC", "i e", error=5)
    assert lib_engine.set_global_T(1000) == 3
    lib_engine.last_error = 504
    assert lib_engine.remove_all() is None
    assert fake_lib.calls == [("TQSETC", (b"T\0", 1, 0, 0, 1000.0)), ("TQREMC", (-1,))]
    # The removal's own error is recorded after the reset.
    assert lib_engine.last_error == 5
