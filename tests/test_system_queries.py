"""The system-query routine methods on both roads, from one table.

Each row calls one method and says what the library routine must receive (its inputs in the
routine's order, and the lengths that follow buffers) and what the method returns from the
outputs the fake routine writes; and what the basic module must receive and what the method
makes of its answer. The stoichiometry methods, which make two routine calls, are in
test_components.py and test_constituents.py.
"""

import pytest

from equilexproxy import raw
from query_support import (
    Case,
    InteractionVariable,
    PhaseConstituentData,
    PhaseModel,
    Status,
    any_road,  # noqa: F401 - a fixture
    check_basic_road,
    check_by_keyword,
    check_library_error,
    check_library_road,
    define,
    incorrect,
    load_structure,
    same,
    sample,  # noqa: F401 - a fixture
    takes,
    unexpected,
    with_enumerations,
)


def fields(*texts, length):
    return b"".join(text.ljust(length, b"\0") for text in texts)


EXAMPLE_1 = b"1: *3 ( 1)-( 2)-( 4) : ( 8)"
EXAMPLE_4 = b"4: *R ( 1)-( 3) : ( 6)-( 8)"

CASES = [
    # System components.
    Case("tqnosc", {}, "TQNOSC", "o e", [4], (), 4, 0, (), 4, 4),
    Case("tqgnsc", {"index": 2}, "TQGNSC", "i b e", [b"Ca"], (2, 25), "Ca", "", (1,), "Ca", "Ca"),
    Case("tqinsc", {"name": "O"}, "TQINSC", "t o e", [3], (b"O\0", 1), 3, 0, ("O",), 2, 3),
    Case("tqcnsc", {"indexs": 3, "name": "Ox"}, "TQCNSC", "i t e", [], (3, b"Ox\0", 2), None,
         None, (2, "Ox"), "renamed", "renamed"),
    # Phases.
    Case("tqnop", {}, "TQNOP", "o e", [11], (), 11, 0, (), 11, 11),
    Case("tqgsp", {"indexp": 2}, "TQGSP", "i b e", [b"DORMANT"], (2, 25), "DORMANT", "", (1,),
         Status.DORMANT, "DORMANT"),
    Case("tqcsp", {"indexp": 2, "option": "ELIMINATED"}, "TQCSP", "i t e", [],
         (2, b"ELIMINATED\0", 10), None, None, (1, Status.ELIMINATED), "changed", "changed"),
    Case("tqgnp", {"indexp": 1}, "TQGNP", "i b e", [b"GAS"], (1, 25), "GAS", "", (0,), "GAS",
         "GAS"),
    Case("tqmodl", {"pid": 3}, "TQMODL", "i b e", [b"PURE"], (3, 25), "PURE", "", (2,),
         PhaseModel.PURE, "PURE"),
    Case("tqnopc", {"indexp": 2}, "TQNOPC", "i o e", [5], (2,), 5, 0, (1,), 5, 5),
    Case("tqnosl", {"indexp": 7}, "TQNOSL", "i o e", [2], (7,), 2, 0, (6,), 2, 2),
    Case("tqinp", {"name": "HALITE#2"}, "TQINP", "t o e", [9], (b"HALITE#2\0", 8), 9, 0,
         ("HALITE#2",), 8, 9),
    # Phase constituents: the phase's index first, the constituent's second.
    Case("tqinpc", {"indexp": 3, "name": "C"}, "TQINPC", "t i o e", [1], (b"C\0", 1, 3), 1, 0,
         ("C", 2), 0, 1),
    Case("tqpcis", {"indexp": 2, "index": 5}, "TQPCIS", "i i o e", [1], (2, 5), True, False,
         (1, 4), 1, 1),
    Case("tqgnpc", {"indexp": 2, "index": 5}, "TQGNPC", "i i b e", [b"AB"], (2, 5, 25), "AB", "",
         (1, 4), "AB", "AB"),
    Case("tqgspc", {"indexp": 2, "indexc": 5}, "TQGSPC", "i i b e", [b"ENTERED"], (2, 5, 25),
         "ENTERED", "", (1, 4), Status.ENTERED, Status.ENTERED),
    Case("tqcspc", {"indexp": 2, "indexc": 5, "option": "DORMANT"}, "TQCSPC", "i i t e", [],
         (2, 5, b"DORMANT\0", 7), None, None, (1, 4, "DORMANT"), "changed", "changed"),
    Case("tqgdpc", {"option": "cp", "indexp": 2, "index": 5}, "TQGDPC", "t i i D e", [12.5],
         (b"cp\0", 2, 2, 5), 12.5, 0.0, ("cp", 1, 4), 12.5, 12.5),
    # Sublattices.
    Case("tqnolc", {"indexp": 7, "index": 2}, "TQNOLC", "i i o e", [3], (7, 2), 3, 0, (6, 1), 3,
         3),
    Case("tqgnlc", {"indexp": 7, "indexs": 2, "index": 3}, "TQGNLC", "i i i b e", [b"Va"],
         (7, 2, 3, 26), "Va", "", (6, 1, 2), "Va", "Va"),
    Case("tqinlc", {"name": "Va", "indexp": 7, "indexl": 2}, "TQINLC", "t i i o e", [3],
         (b"Va\0", 2, 7, 2), 3, 0, ("Va", 6, 1), 2, 3),
    Case("tqgtlc", {"indexp": 7, "indexl": 1, "indexc": 2}, "TQGTLC", "i i i D e", [0.25],
         (7, 1, 2), 0.25, 0.0, (6, 0, 1), 0.25, 0.25),
    # Stored data.
    Case("tqgdat", {"indexp": 3, "indexc": 1, "option": "Cp", "indexr": 2}, "TQGDAT",
         "i i t i o a e", [4, [24.0, 0.0011, 0.0, 0.0]], (3, 1, b"Cp\0", 2, 2),
         (24.0, 0.0011, 0.0, 0.0), (), (2, 0, PhaseConstituentData.Cp, 1), [24.0], [24.0]),
    Case("tqcdat", {"i1": 1, "i2": 0, "i3": 0, "i4": 5, "i5": 2, "val": 100.0}, "TQCDAT",
         "i i i i i d e", [], (1, 0, 0, 5, 2, 100.0), None, None, (0, -1, -1, 4, 1, 100.0),
         "changed", "changed"),
    Case("tqwasc", {"file": "out.dat"}, "TQWASC", "t e", [], (b"out.dat\0", 7), None, None,
         ("out.dat",), "written", "written"),
    # Excess parameters.
    Case("tqlpar", {"indexp": 7, "option": "G"}, "TQLPAR", "i t o f n e",
         [2, fields(EXAMPLE_1, EXAMPLE_4, length=156)], (7, b"G\0", 1, 156),
         [EXAMPLE_1.decode(), EXAMPLE_4.decode()], [], (6, InteractionVariable.G),
         (2, ["1: *2 ( 1)-( 2)"]), ["1: *2 ( 1)-( 2)"]),
    Case("tqgpar", {"indexp": 6, "option": "M", "indexx": 1}, "TQGPAR", "i t i o o a e",
         [1, 2, [-450.0] + [0.0] * 19 + [-0.35]], (6, b"M\0", 1, 1), [[-450.0, -0.35]], [],
         (5, InteractionVariable.M, 0), [[-450.0, -0.35]], [[-450.0, -0.35]]),
    # Message text.
    Case("tqerr", {}, "TQERR", "f e", [fields(b"The entered phase index is out of range",
                                               length=80)],
         (240,), "The entered phase index is out of range", "", (), "message", "message"),
]


@pytest.mark.parametrize("case", CASES, ids=str)
def test_library_road(lib_engine, fake_lib, case):
    check_library_road(lib_engine, fake_lib, case)


@pytest.mark.parametrize("case", CASES, ids=str)
def test_library_road_after_an_error_gives_what_the_holders_started_with(
    lib_engine, fake_lib, case
):
    check_library_error(lib_engine, fake_lib, case, 402)


@pytest.mark.parametrize("case", CASES, ids=str)
def test_basic_road(basic_engine, fake_basic, case):
    check_basic_road(basic_engine, with_enumerations(fake_basic), case)


@pytest.mark.parametrize("case", CASES, ids=str)
def test_arguments_by_keyword_under_the_parameter_names(any_road, case):
    check_by_keyword(*any_road, case)


class MyStr(str):
    pass


# (method, positional arguments, keyword arguments, the TypeError's text)
ARGUMENT_ERRORS = [
    ("tqcdat", (1, 2, 3, 4, 5), {}, takes("tqcdat", 7, 6)),
    ("tqgdat", (1, 2, "H"), {}, takes("tqgdat", 5, 4)),
    ("tqnosc", (1,), {}, takes("tqnosc", 1, 2)),
    ("tqwasc", (), {}, takes("tqwasc", 2, 1)),
    ("tqlpar", (1,), {}, takes("tqlpar", 3, 2)),
    ("tqgpar", (1, "G"), {}, takes("tqgpar", 4, 3)),
    ("tqcspc", (2, 5), {}, takes("tqcspc", 4, 3)),
    ("tqgspc", (), {"indexp": 2}, takes("tqgspc", 3, 2)),
    # A keyword of another method's parameter leaves this one's missing, which is told first.
    ("tqmodl", (), {"indexp": 1}, takes("tqmodl", 2, 1)),
    ("tqmodl", (1,), {"indexp": 1}, unexpected("tqmodl", "indexp")),
    ("tqgspc", (), {"indexp": 2, "index": 5}, takes("tqgspc", 3, 2)),
    ("tqgspc", (2, 5), {"index": 5}, unexpected("tqgspc", "index")),
    ("tqgnpc", (2, 5), {"indexc": 5}, unexpected("tqgnpc", "indexc")),
    ("tqinlc", ("A", 7), {"indexs": 1}, takes("tqinlc", 4, 3)),
    ("tqgnlc", (7, 2, 3), {"indexp": 3},
     "tqgnlc() got multiple values for keyword argument 'indexp'"),
    ("tqgsp", (True,), {}, incorrect("indexp", "int", "bool")),
    ("tqmodl", (None,), {}, incorrect("pid", "int", "NoneType")),
    ("tqinsc", (MyStr("C"),), {}, incorrect("name", "str", "MyStr")),
    ("tqinp", (b"GAS",), {}, incorrect("name", "str", "bytes")),
    ("tqinpc", ("C", 3), {}, incorrect("indexp", "int", "str")),
    ("tqinpc", (3, None), {}, incorrect("name", "str", "NoneType")),
    ("tqgspc", (True, 1), {}, incorrect("indexp", "int", "bool")),
    ("tqcspc", (2, 5.0, 7), {}, incorrect("indexc", "int", "float")),
    ("tqgdpc", (1, 2, 5), {}, incorrect("option", "str", "int")),
    ("tqnolc", (7, None), {}, incorrect("index", "int", "NoneType")),
    ("tqgnlc", (7, 2.0, 3), {}, incorrect("indexs", "int", "float")),
    ("tqinlc", (7, 7, 2), {}, incorrect("name", "str", "int")),
    ("tqgtlc", (7, 1, False), {}, incorrect("indexc", "int", "bool")),
]


@pytest.mark.parametrize("method, args, keywords, message", ARGUMENT_ERRORS)
def test_argument_errors_reach_nothing(any_road, method, args, keywords, message):
    engine, fake, basic = any_road
    with pytest.raises(TypeError) as caught:
        getattr(engine, method)(*args, **keywords)
    assert str(caught.value) == message
    assert fake.calls == [] and basic.calls == [] and engine.heard == []


# Untyped parameters are refused only by the holder the library road makes of them.
HOLDER_REFUSALS = [
    (lambda e: e.tqpcis(1.5, 1), TypeError),
    (lambda e: e.tqgnpc(2, "5"), TypeError),
    (lambda e: e.tqgdat(1, 1, "H", None), TypeError),
    (lambda e: e.tqgdat(1, 1, b"H", 1), AttributeError),
    (lambda e: e.tqgdat(1, 1, "H\u00e9", 1), UnicodeEncodeError),
    (lambda e: e.tqcdat(1, 0, 0, 1, 2, "100"), TypeError),
    (lambda e: e.tqcdat(1, 0, 0, None, 2, 100.0), TypeError),
    (lambda e: e.tqcnsc("1", b"Ca"), TypeError),  # the index's holder is made first
    (lambda e: e.tqlpar(7, 71), AttributeError),
    (lambda e: e.tqgpar(7, "G", 1.0), TypeError),
    (lambda e: e.tqwasc(None), AttributeError),
]


@pytest.mark.parametrize("call_with, failure", HOLDER_REFUSALS)
def test_untyped_arguments_the_holders_refuse(lib_engine, fake_lib, call_with, failure):
    for case in CASES:
        define(fake_lib, case.export, case.signature)
    with pytest.raises(failure):
        call_with(lib_engine)
    assert fake_lib.calls == []


def test_untyped_index_takes_what_the_holder_takes(lib_engine, fake_lib, basic_engine, fake_basic):
    define(fake_lib, "TQGNPC", "i i b e", [b"A2"])
    assert lib_engine.tqgnpc(True, 1) == "A2"
    assert fake_lib.calls == [("TQGNPC", (1, 1, 25))]
    fake_basic.answer("tqgnpc", "A2")
    assert basic_engine.tqgnpc(2.0, 1) == "A2"
    assert same(fake_basic.calls[-1], ("tqgnpc", (1.0, 0)))


@pytest.mark.parametrize(
    "method, args",
    [("tqgnsc", (1,)), ("tqgsp", (1,)), ("tqgnp", (1,)), ("tqmodl", (1,)), ("tqgnpc", (1, 1))],
)
@pytest.mark.parametrize("length", [40, 3, 25])
def test_name_buffers_follow_string_buffer_length(
    lib_engine, fake_lib, monkeypatch, method, args, length
):
    monkeypatch.setattr(raw, "string_buffer_length", length)
    export = method.upper()
    define(fake_lib, export, "i " * len(args) + "b e", [b"N" * 60])
    assert getattr(lib_engine, method)(*args) == "N" * length
    assert fake_lib.calls == [(export, (*args, length))]


@pytest.mark.parametrize(
    "method, args, fixed", [("tqgspc", (1, 1), 25), ("tqgnlc", (1, 1, 1), 26)]
)
@pytest.mark.parametrize("length", [40, 3])
def test_fixed_buffers_ignore_string_buffer_length(
    lib_engine, fake_lib, monkeypatch, method, args, fixed, length
):
    monkeypatch.setattr(raw, "string_buffer_length", length)
    export = method.upper()
    define(fake_lib, export, "i " * len(args) + "b e", [b"N" * 60])
    assert getattr(lib_engine, method)(*args) == "N" * fixed
    assert fake_lib.calls == [(export, (*args, fixed))]


@pytest.mark.parametrize(
    "method, args", [("tqgnsc", (1,)), ("tqgnpc", (2, 5)), ("tqgnlc", (7, 1, 4)), ("tqgnp", (11,))]
)
@pytest.mark.parametrize(
    "written, name",
    [
        (b"LONG_CONSTITUENT_NAME_24\0", "LONG_CONSTITUENT_NAME_24"),
        (b"LONG_CONSTITUENT_NAME_24", "LONG_CONSTITUENT_NAME_24"),
        (b"  AB  ".ljust(26), "AB"),
        (b"", ""),
    ],
    ids=["24-nul", "24-full", "blank-padded", "untouched"],
)
def test_names(lib_engine, fake_lib, method, args, written, name):
    define(fake_lib, method.upper(), "i " * len(args) + "b e", [written])
    assert getattr(lib_engine, method)(*args) == name


@pytest.mark.parametrize(
    "method, args",
    [("tqgnsc", (1,)), ("tqgnp", (1,)), ("tqgnpc", (1, 1)), ("tqgspc", (1, 1)),
     ("tqgnlc", (7, 1, 1))],
)
def test_name_with_a_byte_above_127_fails_after_the_number_was_recorded(
    lib_engine, fake_lib, method, args
):
    define(fake_lib, method.upper(), "i " * len(args) + "b e", [b"Fe\xe9"], error=403)
    heard = []
    lib_engine.error_listeners.append(heard.append)
    with pytest.raises(UnicodeDecodeError):
        getattr(lib_engine, method)(*args)
    assert heard == [403] and lib_engine.last_error == 403


@pytest.mark.parametrize(
    "method, args, answer, message",
    [
        ("tqinp", ("GAS",), 0.0, "Expected int, got float"),
        ("tqinpc", (1, "A"), 1.5, "Expected int, got float"),
        ("tqnopc", (1,), None, None),
        ("tqnosl", (1,), 2.0, "Expected int, got float"),
        ("tqgsp", (1,), type("Member", (), {"name": 1})(), "Expected unicode, got int"),
        ("tqmodl", (1,), type("Member", (), {"name": b"PURE"})(), "Expected unicode, got bytes"),
        ("tqmodl", (1,), type("Member", (), {"name": None})(), None),
    ],
)
def test_declared_results_on_the_basic_road(
    basic_engine, fake_basic, method, args, answer, message
):
    fake_basic.answer(method, answer)
    if message is None:
        assert getattr(basic_engine, method)(*args) is None
        return
    with pytest.raises(TypeError) as caught:
        getattr(basic_engine, method)(*args)
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "method, args, answer",
    [("tqinlc", ("Va", 7, 2), 1.5), ("tqgnsc", (1,), 7), ("tqgtlc", (7, 1, 1), "x")],
)
def test_undeclared_results_pass_on_the_basic_road(basic_engine, fake_basic, method, args, answer):
    fake_basic.answer(method, answer)
    expected = answer + 1 if method == "tqinlc" else answer
    assert getattr(basic_engine, method)(*args) == expected


@pytest.mark.parametrize(
    "call_with, eqb_name",
    [
        (lambda e: e.tqcsp(2, "SLEEPING"), "tqcsp"),
        (lambda e: e.tqcsp(2, "dormant"), "tqcsp"),
        (lambda e: e.tqlpar(7, "X"), "tqlpar"),
        (lambda e: e.tqgpar(7, "g", 1), "tqgpar"),
        (lambda e: e.tqgdat(1, 1, "CP", 1), "tqgdat"),
    ],
)
def test_basic_road_options_name_enumeration_members(basic_engine, fake_basic, call_with, eqb_name):
    with_enumerations(fake_basic)
    fake_basic.answer(eqb_name, None)
    with pytest.raises(KeyError):
        call_with(basic_engine)
    assert fake_basic.calls == []


def test_basic_road_passes_constituent_status_and_property_options_as_texts(
    basic_engine, fake_basic
):
    fake_basic.answer("tqcspc")
    fake_basic.answer("tqgdpc", 1.0)
    basic_engine.tqcspc(1, 1, "whatever")
    basic_engine.tqgdpc("xyz", 1, 1)
    assert fake_basic.calls == [("tqcspc", (0, 0, "whatever")), ("tqgdpc", ("xyz", 0, 0))]


@pytest.mark.parametrize(
    "prop, export", [("number_components", "TQNOSC"), ("number_phases", "TQNOP")]
)
def test_counts_as_properties_ask_at_every_read(any_road, prop, export):
    engine, fake, basic = any_road
    reads = []
    for count in (3, 5):
        define(fake, export, "o e", [count])
        basic.answer(export.lower(), count)
        reads.append(getattr(engine, prop))
    assert reads == [3, 5]
    with pytest.raises(AttributeError):
        setattr(engine, prop, 1)
    setattr(engine, export.lower(), lambda: 9)  # the engine's own method, looked up at the read
    assert getattr(engine, prop) == 9


ANNOTATIONS = {
    "tqnosc": {}, "tqgnsc": {"index": "int"}, "tqinsc": {"name": "str", "return": "int"},
    "tqstsc": {"index": "int"}, "tqcnsc": {}, "tqnop": {"return": "int"},
    "tqgsp": {"indexp": "int", "return": "str"}, "tqcsp": {"indexp": "int", "option": "str"},
    "tqgnp": {"indexp": "int", "return": "str"}, "tqmodl": {"pid": "int", "return": "str"},
    "tqnopc": {"indexp": "int", "return": "int"}, "tqnosl": {"indexp": "int", "return": "int"},
    "tqinp": {"name": "str", "return": "int"},
    "tqinpc": {"indexp": "int", "name": "str", "return": "int"},
    "tqpcis": {}, "tqgnpc": {}, "tqstpc": {},
    "tqgspc": {"indexp": "int", "indexc": "int"},
    "tqcspc": {"indexp": "int", "indexc": "int", "option": "str"},
    "tqgdpc": {"option": "str", "indexp": "int", "index": "int"},
    "tqnolc": {"indexp": "int", "index": "int"},
    "tqgnlc": {"indexp": "int", "indexs": "int", "index": "int"},
    "tqinlc": {"name": "str", "indexp": "int", "indexl": "int"},
    "tqgtlc": {"indexp": "int", "indexl": "int", "indexc": "int"},
    "tqgdat": {}, "tqcdat": {}, "tqwasc": {}, "tqlpar": {}, "tqgpar": {}, "tqerr": {},
}


@pytest.mark.parametrize("method", ANNOTATIONS)
def test_annotations(method):
    assert getattr(raw.EquilexProxy, method).__annotations__ == ANNOTATIONS[method]


@pytest.mark.parametrize(
    "length, names",
    [
        (3, ["LIQ", "LON", "ENTERED", "AB"]),
        (40, ["LIQUID", "LONG_CONSTITUENT_NAME_24", "ENTERED", "AB"]),
    ],
)
def test_stand_in_fills_the_buffer_length_it_is_given(
    engine, sample, monkeypatch, length, names
):
    load_structure(engine, sample, "phases", "constituents", "sublattices")
    monkeypatch.setattr(raw, "string_buffer_length", length)
    got = [engine.tqgnp(2), engine.tqgnpc(2, 5), engine.tqgspc(2, 5), engine.tqgnlc(7, 1, 4)]
    assert got == names and engine.last_error == 0


def test_basic_road_takes_result_items_by_subscription(basic_engine, fake_basic, monkeypatch):
    """Items of the basic module's answers are taken as subscription takes them, so a mapping
    keyed by position serves as well as a tuple, and a missing item raises its own error."""
    from equilexproxy import raw

    answers = {1: ["1: *2 ( 1)-( 2)"], 0: 12}
    fake = type("Basic", (), {})()
    fake.InteractionVariable = {"G": "member G"}
    fake.tqlpar = lambda indexp, option: answers
    fake.tqstpc = lambda indexp, index: {0: (1.0, 2.0), 1: 58.4}
    monkeypatch.setattr(raw, "eqb", fake)
    assert basic_engine.tqlpar(1, "G") == ["1: *2 ( 1)-( 2)"]
    assert basic_engine.tqstpc(1, 1) == (58.4, (1.0, 2.0))
    fake.tqlpar = lambda indexp, option: {0: 12}
    with pytest.raises(KeyError):
        basic_engine.tqlpar(1, "G")
