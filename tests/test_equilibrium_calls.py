"""The equilibrium-calculation routine methods on both roads, from one table.

Each row calls one method and says what the library routine must receive (its inputs in the
routine's order, the lengths after texts, the starting value of a preset output) and what the
method returns from the outputs the fake routine writes; and what the basic module must receive
and what the method makes of its answer. The arguments particular to these methods (pairs
unpacked or subscripted, the 30 x 25 name fields, the unit enumeration of tqcsu) have tests of
their own below, and the end of the file calls the stand-in library's probe routines to see
every argument kind arrive through the C calling convention.
"""

import ctypes
import enum
import types

import pytest

from equilexproxy import raw
from fakes import Claiming, FakeBasic, FakeLibrary
from query_support import (
    Case,
    call,
    check_basic_road,
    check_by_keyword,
    check_library_error,
    check_library_road,
    define,
    incorrect,
    same,
    takes,
)


def members(name, *texts):
    return enum.Enum(name, {text: text for text in texts})


ENUMERATIONS = {
    "ConditionVariable": members("ConditionVariable", "P", "VT", "T", "A", "IA", "MU", "AC",
                                 "CP", "H", "S", "G", "V", "AT", "XT", "XPT"),
    "TargetVariable": members("TargetVariable", "NoTarget", "P", "V", "T", "IA", "IA0", "MU"),
    "ResultVariable": members("ResultVariable", "P", "VT", "T", "A", "IA", "MU", "AC", "pH", "Eh",
                              "CP", "H", "S", "G", "V", "CPM", "HM", "SM", "GM", "VM", "X", "XP",
                              "AP"),
    "Quantity": members("Quantity", "Pressure", "Volume", "Temperature", "Energy", "Amount"),
    "TemperatureUnit": members("TemperatureUnit", "K", "C", "F"),
    "PressureUnit": members("PressureUnit", "bar", "atm", "Pa", "kPa", "psi", "torr"),
    "VolumeUnit": members("VolumeUnit", "dm3", "cm3", "m3", "ft3", "in3"),
    "EnergyUnit": members("EnergyUnit", "J", "cal", "Btu", "kWh"),
    "AmountUnit": members("AmountUnit", "mol", "gram", "kg", "tonne", "pound"),
    "StreamVariable": members("StreamVariable", "T", "P", "A", "CP", "H", "S", "G", "V"),
    "PhaseMapVariable": members("PhaseMapVariable", "TF", "TN", "PF", "PN", "IA0", "IAF", "IAN"),
    "LimitVariable": members("LimitVariable", "T", "P", "V", "IA"),
    "ConfigurationOption": members("ConfigurationOption", "SC", "LS"),
}
E = types.SimpleNamespace(**ENUMERATIONS)


@pytest.fixture
def eqb(monkeypatch):
    """A fake equilex.basic with the enumerations these methods subscript."""
    module = FakeBasic()
    vars(module).update(ENUMERATIONS)
    monkeypatch.setattr(raw, "eqb", module, raising=False)
    return module


@pytest.fixture
def basic(eqb, make_engine):
    return make_engine(use_eqpy=True)


@pytest.fixture(params=["library", "basic"])
def either(request, eqb, make_engine):
    """An engine on each road in turn over a fake library and the fake basic module, with
    everything its listeners hear."""
    fake = FakeLibrary()
    engine = make_engine(use_eqpy=request.param == "basic")
    engine.lib = fake
    engine.heard = []
    engine.error_listeners.append(engine.heard.append)
    yield engine, fake, eqb
    assert not fake.failures, f"a fake routine failed: {fake.failures!r}"


NAMES_BLOCK = b"Ca".ljust(25) + b"CO2".ljust(25) + bytes(28 * 25)

CASES = [
    # Conditions.
    Case("tqsetc", {"option": "T", "indexp": 0, "index": 0, "value": 1000},
         "TQSETC", "t i i d o e", [7],
         (b"T\0", 1, 0, 0, 1000.0), 7, 0, (E.ConditionVariable.T, -1, -1, 1000.0), 7, 7),
    Case("tqshow", {}, "TQSHOW", "e", [], (), None, None, (), "shown", "shown"),
    Case("tqremc", {"numcon": -2},
         "TQREMC", "i e", [], (-2,), None, None, (-2,), "removed", "removed"),
    # Calculations: the pair by subscription, handed over as the array or from its address.
    Case("tqce", {"option": " ", "indexp": 0, "index": 0, "vals": (2000, 0)},
         "TQCE", "t i i p e", [],
         (b" \0", 1, 0, 0, (2000.0, 0.0)), None, None,
         (E.TargetVariable.NoTarget, -1, -1, [2000, 0]), "done", "done"),
    Case("tqcel", {"option": "T", "indexp": 0, "index": 0, "vals": [1200.5, 1]},
         "TQCEL", "t i i p e", [],
         (b"T\0", 1, 0, 0, (1200.5, 1.0)), None, None,
         (E.TargetVariable.T, -1, -1, [1200.5, 1]), "done", "done"),
    Case("tqcen", {"option": "IA", "indexp": 2, "index": 5, "vals": (0, 10)},
         "TQCEN", "t i i p e", [],
         (b"IA\0", 2, 2, 5, (0.0, 10.0)), None, None, (E.TargetVariable.IA, 1, 4, [0, 10]),
         None, None),
    Case("tqcenl", {"option": "IA0", "indexp": 1, "index": 1, "vals": (1.5, 2.5, 99)},
         "TQCENL", "t i i p e", [], (b"IA0\0", 3, 1, 1, (1.5, 2.5)), None, None,
         (E.TargetVariable.IA0, 0, 0, [1.5, 2.5]), None, None),
    # Results.
    Case("tqgetr", {"option": "AC", "indexp": 2, "index": 0}, "TQGETR", "t i i D e", [0.75],
         (b"AC\0", 2, 2, 0), 0.75, 0.0, (E.ResultVariable.AC, 1, -1), 0.75, 0.75),
    # System units.
    Case("tqgsu", {"option": "Temperature"}, "TQGSU", "t b e", [b"K" + b" " * 24],
         (b"Temperature\0", 11, 25), "K", "", (E.Quantity.Temperature,), E.TemperatureUnit.K,
         "K"),
    Case("tqcsu", {"option": "Energy", "unit": "kWh"}, "TQCSU", "t t e", [],
         (b"Energy\0", 6, b"kWh\0", 3), None, None, (E.Quantity.Energy, E.EnergyUnit.kWh),
         "set", "set"),
    # Target limits and configuration: numbers pass to the basic module as given.
    Case("tqclim", {"option": "T", "val": 300},
         "TQCLIM", "t d e", [], (b"T\0", 1, 300.0), None, None,
         (E.LimitVariable.T, 300), "limited", "limited"),
    Case("tqconf", {"option": "SC", "valuea": 2**33 + 1, "valueb": -2, "valuec": 0},
         "TQCONF", "t i i i e",
         [], (b"SC\0", 2, 1, -2, 0), None, None,
         (E.ConfigurationOption.SC, 2**33 + 1, -2, 0), None, None),
    # Streams.
    Case("tqsttp", {"idents": "feed", "vals": [1000, 1]}, "TQSTTP", "t p e", [],
         (b"feed\0", 4, (1000.0, 1.0)), None, None, ("feed", [1000, 1]), None, None),
    Case("tqstrm", {"idents": "feed"},
         "TQSTRM", "t e", [], (b"feed\0", 4), None, None, ("feed",), None,
         None),
    Case("tqstca", {"idents": "feed", "indexp": 2, "indexc": 3, "val": 0.5},
         "TQSTCA", "t i i d e", [],
         (b"feed\0", 4, 2, 3, 0.5), None, None, ("feed", 1, 2, 0.5), None, None),
    Case("tqstec", {"option": "H", "indexp": 0, "val": -1000}, "TQSTEC", "t i d e", [],
         (b"H\0", 1, 0, -1000.0), None, None, (E.StreamVariable.H, -1, -1000), None, None),
    Case("tqstxp", {"idents": "feed", "option": "H"}, "TQSTXP", "t t D e", [-1.5e5],
         (b"feed\0", 4, b"H\0", 1), -1.5e5, 0.0, ("feed", E.StreamVariable.H), -1.5e5, -1.5e5),
    # Phase maps: the pair unpacked, the count returned.
    Case("tqmap", {"option": "TF", "indexp": 0, "indexc": 0, "vals": (200, 3000)},
         "TQMAP", "t i i p o e", [3], (b"TF\0", 2, 0, 0, (200.0, 3000.0)), 3, 0,
         (E.PhaseMapVariable.TF, -1, -1, (200, 3000)), 3, 3),
    Case("tqmapl", {"option": "IAF", "indexp": 2, "indexc": 3, "vals": [0, 1]},
         "TQMAPL", "t i i p o e",
         [0], (b"IAF\0", 3, 2, 3, (0.0, 1.0)), 0, 0,
         (E.PhaseMapVariable.IAF, 1, 2, [0, 1]), 0, 0),
    # Charges, system components, bond fractions.
    Case("tqchar", {"indexp": 2, "indexc": 3},
         "TQCHAR", "i i s e", [2], (2, 3, -1), 2, -1, (1, 2), 2, 2),
    Case("tqcsc", {"names": ["Ca", "CO2"]}, "TQCSC", "N e", [], (NAMES_BLOCK, 25), None, None,
         (["Ca", "CO2"],), None, None),
    Case("tqbond", {"indexp": 1, "indexa": 1, "indexb": 2, "indexc": 0, "indexd": 0},
         "TQBOND", "i i i i i D e", [0.25], (1, 1, 2, 0, 0), 0.25, 0.0, (0, 0, 1, -1, -1), 0.25,
         0.25),
]


@pytest.mark.parametrize("case", CASES, ids=str)
def test_library_road(lib_engine, fake_lib, case):
    check_library_road(lib_engine, fake_lib, case)


@pytest.mark.parametrize("case", CASES, ids=str)
def test_library_road_after_an_error_gives_what_the_holders_started_with(
    lib_engine, fake_lib, case
):
    check_library_error(lib_engine, fake_lib, case, 511)
    define(fake_lib, case.export, case.signature, writes=None, error=0)
    call(lib_engine, case)
    assert lib_engine.last_error == 511, "a later success leaves last_error"


@pytest.mark.parametrize("case", CASES, ids=str)
def test_basic_road(basic, eqb, case):
    check_basic_road(basic, eqb, case)


@pytest.mark.parametrize("case", CASES, ids=str)
def test_arguments_by_keyword(either, case):
    check_by_keyword(*either, case)


@pytest.mark.parametrize("method", ["tqsttp", "tqmap", "tqmapl"])
def test_an_unpacked_pair_reaches_the_basic_module_as_given(basic, eqb, method):
    vals = iter([1, 2, 3])
    eqb.answer(method)
    args = ("feed", vals) if method == "tqsttp" else ("TN", 0, 0, vals)
    getattr(basic, method)(*args)
    assert eqb.calls[0][1][-1] is vals


def test_the_library_road_names_no_enumeration_and_the_basic_road_no_holder(either):
    engine, fake, eqb = either
    define(fake, "TQGSU", "t b e", [b"bar\0"])
    eqb.answer("tqgsu", E.PressureUnit.bar)
    assert engine.tqgsu("Pressure") == "bar"
    if engine.use_eqpy:
        assert fake.calls == [] and engine.heard == []
    else:
        assert eqb.calls == [] and engine.heard == [0]


# --- how the arrays are handed over --------------------------------------------------------------


@pytest.mark.parametrize(
    "method, args, position, kind",
    [
        ("tqce", (" ", 0, 0, (1.0, 2.0)), 4, "array"),
        ("tqcel", (" ", 0, 0, (1.0, 2.0)), 4, "address"),
        ("tqcen", (" ", 0, 0, (1.0, 2.0)), 4, "address"),
        ("tqcenl", (" ", 0, 0, (1.0, 2.0)), 4, "address"),
        ("tqsttp", ("feed", (1.0, 2.0)), 2, "array"),
        ("tqmap", ("TF", 0, 0, (1.0, 2.0)), 4, "array"),
        ("tqmapl", ("TF", 0, 0, (1.0, 2.0)), 4, "array"),
    ],
)
def test_a_plain_routine_gets_the_pair_as_the_array_or_its_address(
    make_engine, method, args, position, kind
):
    seen = []

    def routine(*arguments):
        pair = arguments[position]
        # Read during the call: the array an address points to is the call's own, gone after it.
        if type(pair) is ctypes.c_void_p:
            seen.append((type(pair), list((ctypes.c_double * 2).from_address(pair.value))))
        else:
            seen.append((type(pair), list(pair)))
        arguments[-1]._obj.value = 0

    engine = make_engine()
    engine.lib = types.SimpleNamespace(**{method.upper(): routine})
    getattr(engine, method)(*args)
    expected_type = ctypes.c_double * 2 if kind == "array" else ctypes.c_void_p
    assert seen == [(expected_type, [1.0, 2.0])]


def test_a_plain_routine_gets_the_names_as_a_30_by_25_array(make_engine):
    seen = []

    def tqcsc(names, length, error):
        seen.append((type(names), bytes(names[0]), length))

    engine = make_engine()
    engine.lib = types.SimpleNamespace(TQCSC=tqcsc)
    engine.tqcsc(["Ca"])
    assert seen == [((ctypes.c_char * 25) * 30, b"Ca" + b" " * 23, 25)]


# --- pairs: unpacked (streams, phase maps) and subscripted (calculations) ------------------------


def generated(*items, fails=None):
    yield from items
    if fails is not None:
        raise fails


# (a maker of the pair, the failure, its text); generators are made afresh for every test.
UNPACKING = [
    (lambda: (1, 2, 3), ValueError, "too many values to unpack (expected 2)"),
    (lambda: [1, 2, 3, 4], ValueError, "too many values to unpack (expected 2)"),
    (lambda: (1,), ValueError, "need more than 1 value to unpack"),
    (lambda: [], ValueError, "need more than 0 values to unpack"),
    (lambda: generated(1, 2, 3), ValueError, "too many values to unpack (expected 2)"),
    (lambda: generated(1), ValueError, "need more than 1 value to unpack"),
    (lambda: generated(), ValueError, "need more than 0 values to unpack"),
    (lambda: generated(1, 2, fails=LookupError("from the iterator")), LookupError,
     "from the iterator"),
    (lambda: 5, TypeError, "'int' object is not iterable"),
    (lambda: None, TypeError, "'NoneType' object is not iterable"),
    (lambda: (1, "2"), TypeError, None),
    (lambda: ("1", 2), TypeError, None),
]


@pytest.mark.parametrize("method", ["tqsttp", "tqmap", "tqmapl"])
@pytest.mark.parametrize("make, failure, message", UNPACKING)
def test_pairs_are_unpacked_like_a_tuple_assignment(
    lib_engine, fake_lib, method, make, failure, message
):
    vals = make()
    define(fake_lib, method.upper(), "t p e" if method == "tqsttp" else "t i i p o e")
    heard = []
    lib_engine.error_listeners.append(heard.append)
    args = ("feed", vals) if method == "tqsttp" else ("TF", 0, 0, vals)
    with pytest.raises(failure) as caught:
        getattr(lib_engine, method)(*args)
    if message is not None:
        assert str(caught.value) == message
    assert fake_lib.calls == [] and heard == [] and lib_engine.last_error == 0


@pytest.mark.parametrize(
    "make, received",
    [
        (lambda: iter([200, 3000]), (200.0, 3000.0)),
        (lambda: generated(1.5, 2.5), (1.5, 2.5)),
        (lambda: range(4, 6), (4.0, 5.0)),
        (lambda: {7: "x", 8: "y"}, (7.0, 8.0)),
    ],
)
def test_any_iterable_of_two_items_serves_as_a_pair(lib_engine, fake_lib, make, received):
    define(fake_lib, "TQMAP", "t i i p o e", [1])
    assert lib_engine.tqmap("TF", 0, 0, make()) == 1
    assert fake_lib.calls == [("TQMAP", (b"TF\0", 2, 0, 0, received))]


@pytest.mark.parametrize(
    "vals, failure",
    [
        ((1,), IndexError),
        ((), IndexError),
        (None, TypeError),
        (5, TypeError),
        (("x",), TypeError),  # vals[0] is stored before vals[1] is looked at
        ((1, "x"), TypeError),
        ({0: 1.0}, KeyError),
    ],
)
@pytest.mark.parametrize("method", ["tqce", "tqcel", "tqcen", "tqcenl"])
def test_calculations_subscript_their_pair(lib_engine, fake_lib, method, vals, failure):
    define(fake_lib, method.upper(), "t i i p e")
    heard = []
    lib_engine.error_listeners.append(heard.append)
    with pytest.raises(failure):
        getattr(lib_engine, method)(" ", 0, 0, vals)
    assert fake_lib.calls == [] and heard == [] and lib_engine.last_error == 0


def test_calculations_take_numpy_arrays_and_mappings_by_subscription(lib_engine, fake_lib):
    numpy = pytest.importorskip("numpy")
    define(fake_lib, "TQCE", "t i i p e")
    lib_engine.tqce("T", 0, 0, numpy.array([1500.0, 0.0, 7.0]))
    lib_engine.tqce("T", 0, 0, {0: 1.0, 1: numpy.float32(2.5), 2: "ignored"})
    assert [received[-1] for _, received in fake_lib.calls] == [(1500.0, 0.0), (1.0, 2.5)]


@pytest.mark.parametrize("vals, failure", [((1,), IndexError), (None, TypeError)])
def test_calculations_on_the_basic_road_read_two_items_first(basic, eqb, vals, failure):
    eqb.answer("tqce")
    with pytest.raises(failure):
        basic.tqce(" ", 0, 0, vals)
    assert eqb.calls == []


def test_calculations_on_the_basic_road_pass_the_items_as_they_are(basic, eqb):
    eqb.answer("tqce")
    basic.tqce("T", 0, 0, ("1500", None, "third"))
    assert eqb.calls == [("tqce", (E.TargetVariable.T, -1, -1, ["1500", None]))]


@pytest.mark.parametrize("option, failure", [("", KeyError), ("  ", KeyError), ("NoTarget", None)])
def test_only_the_one_blank_option_means_no_target(basic, eqb, option, failure):
    eqb.answer("tqce")
    if failure:
        with pytest.raises(failure):
            basic.tqce(option, 0, 0, (0, 0))
        assert eqb.calls == []
    else:
        basic.tqce(option, 0, 0, (0, 0))
        assert eqb.calls[0][1][0] is E.TargetVariable.NoTarget


def test_the_empty_option_reaches_the_library_with_length_0(lib_engine, fake_lib):
    define(fake_lib, "TQCE", "t i i p e")
    lib_engine.tqce("", 0, 0, (0, 0))
    assert fake_lib.calls == [("TQCE", (b"\0", 0, 0, 0, (0.0, 0.0)))]


# --- tqcsc's 30 fields of 25 bytes ---------------------------------------------------------------


def block(*names):
    return b"".join(name.ljust(25) for name in names).ljust(30 * 25, b"\0")


@pytest.mark.parametrize(
    "names, expected",
    [
        ([], bytes(750)),
        (["A" * 25], block(b"A" * 25)),
        ("ab", block(b"a", b"b")),
        (("Ca", "", "O"), block(b"Ca", b"", b"O")),
        ([f"C{k}" for k in range(30)], block(*[f"C{k}".encode() for k in range(30)])),
        (["Ca\0x"], block(b"Ca\0x")),
    ],
    ids=["none", "25-characters", "text-as-sequence", "empty-name", "thirty", "embedded-nul"],
)
def test_names_fill_their_fields(lib_engine, fake_lib, names, expected):
    define(fake_lib, "TQCSC", "N e")
    assert lib_engine.tqcsc(names) is None
    assert fake_lib.calls == [("TQCSC", (expected, 25))]


@pytest.mark.parametrize(
    "names, failure",
    [
        (["B" * 26], ValueError),
        ([f"C{k}" for k in range(31)], IndexError),
        ([f"C{k}" for k in range(30)] + [b"x"], AttributeError),
        ([f"C{k}" for k in range(30)] + ["\u00e9"], UnicodeEncodeError),
        (["Ca", b"O"], AttributeError),
        (["Ca", 5], AttributeError),
        (["F\u00e9"], UnicodeEncodeError),
        ([Claiming("Ca", 3)], ValueError),
        (5, TypeError),
        (iter(["Ca"]), TypeError),
        (None, TypeError),
    ],
)
def test_names_that_do_not_fit_reach_nothing(lib_engine, fake_lib, names, failure):
    define(fake_lib, "TQCSC", "N e")
    heard = []
    lib_engine.error_listeners.append(heard.append)
    with pytest.raises(failure):
        lib_engine.tqcsc(names)
    assert fake_lib.calls == [] and heard == []


def test_a_name_claiming_fewer_characters_is_blank_padded_from_there(lib_engine, fake_lib):
    define(fake_lib, "TQCSC", "N e")
    lib_engine.tqcsc([Claiming("", 0), Claiming("Ca", 2)])
    assert fake_lib.calls == [("TQCSC", (block(b"", b"Ca"), 25))]


def test_names_reach_the_basic_module_unchanged(basic, eqb):
    names = ("x" * 40,) * 31
    eqb.answer("tqcsc", "changed")
    assert basic.tqcsc(names) == "changed"
    assert eqb.calls[0][1][0] is names


# --- tqcsu's unit enumeration --------------------------------------------------------------------


@pytest.mark.parametrize(
    "option, unit, enumeration",
    [
        ("Temperature", "C", "TemperatureUnit"),
        ("Pressure", "psi", "PressureUnit"),
        ("Volume", "ft3", "VolumeUnit"),
        ("Amount", "pound", "AmountUnit"),
        ("Energy", "Btu", "EnergyUnit"),
    ],
)
def test_the_quantity_chooses_the_unit_enumeration(basic, eqb, option, unit, enumeration):
    eqb.answer("tqcsu")
    basic.tqcsu(option, unit)
    assert eqb.calls == [("tqcsu", (E.Quantity[option], ENUMERATIONS[enumeration][unit]))]


def test_a_unit_of_another_quantity_is_refused_before_the_call(basic, eqb):
    eqb.answer("tqcsu")
    with pytest.raises(KeyError):
        basic.tqcsu("Pressure", "K")
    assert eqb.calls == []


class Reading(FakeBasic):
    """A fake equilex.basic that notes which of its functions and enumerations are read."""

    def __init__(self):
        super().__init__()
        vars(self).update(ENUMERATIONS)
        self.read = []

    def __getattribute__(self, name):
        if name in ENUMERATIONS or name.startswith("tq"):
            object.__getattribute__(self, "read").append(name)
        return super().__getattribute__(name)


@pytest.mark.parametrize(
    "method, args, read",
    [
        ("tqsetc", ("T", 0, 0, 1.0), ["tqsetc", "ConditionVariable"]),
        ("tqgsu", ("Energy",), ["tqgsu", "Quantity"]),
        ("tqmap", ("TF", 0, 0, (1, 2)), ["tqmap", "PhaseMapVariable"]),
        # The calculations and tqcsu take their function once the arguments are made.
        ("tqce", (" ", 0, 0, (1, 2)), ["TargetVariable", "tqce"]),
        ("tqcenl", ("T", 0, 0, (1, 2)), ["TargetVariable", "tqcenl"]),
        ("tqcsu", ("Energy", "J"), ["Quantity"] * 5 + ["EnergyUnit", "tqcsu"]),
    ],
)
def test_when_the_basic_function_is_taken(make_engine, monkeypatch, method, args, read):
    module = Reading()
    module.answer(method, types.SimpleNamespace(name="J") if method == "tqgsu" else None)
    monkeypatch.setattr(raw, "eqb", module, raising=False)
    engine = make_engine(use_eqpy=True)
    module.read.clear()
    getattr(engine, method)(*args)
    assert module.read == read


@pytest.mark.parametrize(
    "method, args, failure",
    [("tqce", (" ", 0, 0, None), TypeError), ("tqcen", ("X", 0, 0, (1, 2)), KeyError),
     ("tqcsu", ("Pressure", "K"), KeyError), ("tqsetc", ("X", 0, 0, 1.0), AttributeError)],
)
def test_a_missing_basic_function_after_or_before_a_bad_argument(basic, eqb, method, args,
                                                                 failure):
    with pytest.raises(failure):
        getattr(basic, method)(*args)


class QuantityTable:
    """Subscriptable by name, with the members as attributes too, as an enumeration is."""

    def __init__(self, table):
        self.table = table
        vars(self).update(table)

    def __getitem__(self, name):
        return self.table[name]


def test_quantities_are_compared_by_equality_in_order(basic, eqb):
    """A member equal to Volume (and to Amount) takes VolumeUnit; one equal to none of the
    four takes EnergyUnit, whatever it is."""
    compared = []

    class Loose:
        def __init__(self, equal):
            self.equal = equal

        def __eq__(self, other):
            compared.append(other.name)
            return self.equal(other.name)

    table = dict(E.Quantity.__members__)
    table["Odd"] = Loose(lambda name: name in ("Volume", "Amount"))
    table["Plain"] = Loose(lambda name: False)
    eqb.Quantity = QuantityTable(table)
    eqb.answer("tqcsu")
    basic.tqcsu("Odd", "m3")
    assert compared == ["Temperature", "Pressure", "Volume"]
    compared.clear()
    basic.tqcsu("Plain", "kWh")
    assert compared == ["Temperature", "Pressure", "Volume", "Amount"]
    assert [arguments[1] for _, arguments in eqb.calls] == [E.VolumeUnit.m3, E.EnergyUnit.kWh]


def test_the_unit_of_tqgsu_comes_back_by_name(basic, eqb):
    eqb.answer("tqgsu", types.SimpleNamespace(name=5))
    with pytest.raises(TypeError) as caught:
        basic.tqgsu("Pressure")
    assert str(caught.value) == "Expected unicode, got int"
    eqb.answer("tqgsu", types.SimpleNamespace(name=None))
    assert basic.tqgsu("Pressure") is None


# --- arguments and results -----------------------------------------------------------------------


ARGUMENT_ERRORS = [
    ("tqsetc", ("T", 0, 0), takes("tqsetc", 5, 4)),
    ("tqshow", (1,), takes("tqshow", 1, 2)),
    ("tqremc", (), takes("tqremc", 2, 1)),
    ("tqce", (" ", 0, 0), takes("tqce", 5, 4)),
    ("tqgetr", ("T", 0), takes("tqgetr", 4, 3)),
    ("tqgsu", (), takes("tqgsu", 2, 1)),
    ("tqcsu", ("Energy",), takes("tqcsu", 3, 2)),
    ("tqclim", ("T",), takes("tqclim", 3, 2)),
    ("tqconf", ("SC", 1, 2), takes("tqconf", 5, 4)),
    ("tqsttp", ("feed",), takes("tqsttp", 3, 2)),
    ("tqstrm", (), takes("tqstrm", 2, 1)),
    ("tqstca", ("feed", 1, 1), takes("tqstca", 5, 4)),
    ("tqstec", ("H", 0), takes("tqstec", 4, 3)),
    ("tqstxp", ("feed",), takes("tqstxp", 3, 2)),
    ("tqmap", ("TF", 0, 0), takes("tqmap", 5, 4)),
    ("tqchar", (1,), takes("tqchar", 3, 2)),
    ("tqcsc", (), takes("tqcsc", 2, 1)),
    ("tqbond", (1, 1, 1, 1), takes("tqbond", 6, 5)),
    ("tqsetc", (None, 0, 0, 1.0), incorrect("option", "str", "NoneType")),
    ("tqsetc", ("T", True, 0, 1.0), incorrect("indexp", "int", "bool")),
    ("tqsetc", ("T", 0, 0.0, 1.0), incorrect("index", "int", "float")),
    ("tqremc", (True,), incorrect("numcon", "int", "bool")),
    ("tqce", (None, 0, 0, (0, 0)), incorrect("option", "str", "NoneType")),
    ("tqcenl", (" ", 0, False, (0, 0)), incorrect("index", "int", "bool")),
    ("tqgetr", ("T", 0, None), incorrect("index", "int", "NoneType")),
    ("tqgsu", (None,), incorrect("option", "str", "NoneType")),
    ("tqcsu", ("Temperature", 5), incorrect("unit", "str", "int")),
    ("tqcsu", (b"Energy", 5), incorrect("option", "str", "bytes")),
    ("tqbond", (True, 1, 1, 1, 1), incorrect("indexp", "int", "bool")),
    ("tqbond", (1, 1, 1, 1.0, 1), incorrect("indexc", "int", "float")),
]


@pytest.mark.parametrize("method, args, message", ARGUMENT_ERRORS)
def test_argument_errors_reach_nothing(either, method, args, message):
    engine, fake, eqb = either
    with pytest.raises(TypeError) as caught:
        getattr(engine, method)(*args)
    assert str(caught.value) == message
    assert fake.calls == [] and eqb.calls == [] and engine.heard == []


@pytest.mark.parametrize("value", [None, "1000", object()])
def test_the_value_of_tqsetc_is_converted_before_the_type_tests(either, value):
    engine, fake, eqb = either
    with pytest.raises(TypeError) as caught:
        engine.tqsetc(None, True, 0, value)
    assert "float" in str(caught.value) or "number" in str(caught.value)
    assert fake.calls == [] and eqb.calls == []


@pytest.mark.parametrize("value, arrives", [(7, 7.0), (True, 1.0), (2.5, 2.5)])
def test_the_value_of_tqsetc_arrives_as_a_float_on_both_roads(either, value, arrives):
    engine, fake, eqb = either
    define(fake, "TQSETC", "t i i d o e", [1])
    eqb.answer("tqsetc", 1)
    engine.tqsetc("T", 0, 0, value)
    got = eqb.calls[0][1][3] if engine.use_eqpy else fake.calls[0][1][4]
    assert same(got, arrives)


@pytest.mark.parametrize(
    "call, failure",
    [
        # Holders first, then the texts.
        (lambda e: e.tqclim(None, "300"), TypeError),
        (lambda e: e.tqclim(None, 300), AttributeError),
        (lambda e: e.tqclim("T\u00e9", 300), UnicodeEncodeError),
        (lambda e: e.tqconf("SC", 1, 2.0, 3), TypeError),
        (lambda e: e.tqconf(b"SC", 1, 2, 3), AttributeError),
        (lambda e: e.tqstca("f\u00e9ed", None, 1, 1.0), TypeError),
        (lambda e: e.tqstec(5, 0, "x"), TypeError),
        (lambda e: e.tqmap(5, None, 0, (1, 2, 3)), TypeError),
        (lambda e: e.tqmap(5, 0, 0, (1, 2, 3)), ValueError),
        (lambda e: e.tqmap(5, 0, 0, (1, 2)), AttributeError),
        (lambda e: e.tqsttp(b"feed", (1, 2, 3)), ValueError),
        (lambda e: e.tqstxp("feed", 5), AttributeError),
        (lambda e: e.tqstrm(None), AttributeError),
        (lambda e: e.tqchar(1.0, 1), TypeError),
        (lambda e: e.tqsetc("T\u00e9", 0, 0, 1.0), UnicodeEncodeError),
        (lambda e: e.tqce("\u00e9", 0, 0, ("x", 2)), TypeError),
        (lambda e: e.tqce("\u00e9", 0, 0, (1, 2)), UnicodeEncodeError),
    ],
)
def test_the_first_failing_step_decides_on_the_library_road(lib_engine, fake_lib, call, failure):
    for case in CASES:
        define(fake_lib, case.export, case.signature)
    heard = []
    lib_engine.error_listeners.append(heard.append)
    with pytest.raises(failure):
        call(lib_engine)
    assert fake_lib.calls == [] and heard == []


@pytest.mark.parametrize(
    "method, args, answer, message",
    [
        ("tqsetc", ("T", 0, 0, 1.0), 7.0, "Expected int, got float"),
        ("tqsetc", ("T", 0, 0, 1.0), True, "Expected int, got bool"),
        ("tqgsu", ("Energy",), types.SimpleNamespace(name=b"J"), "Expected unicode, got bytes"),
    ],
)
def test_declared_results_are_checked_on_the_basic_road(basic, eqb, method, args, answer,
                                                        message):
    eqb.answer(method, answer)
    with pytest.raises(TypeError) as caught:
        getattr(basic, method)(*args)
    assert str(caught.value) == message


@pytest.mark.parametrize("answer", [None, "anything", 3, [1.0]])
def test_tqgetr_returns_what_the_basic_module_gives(basic, eqb, answer):
    eqb.answer("tqgetr", answer)
    assert basic.tqgetr("T", 0, 0) is answer


def test_tqchar_returns_its_preset_when_the_routine_writes_nothing(lib_engine, fake_lib):
    define(fake_lib, "TQCHAR", "i i s e", None)
    assert lib_engine.tqchar(2, 3) == -1
    assert fake_lib.calls == [("TQCHAR", (2, 3, -1))] and lib_engine.last_error == 0


@pytest.mark.parametrize("method", ["tqsetc", "tqgetr", "tqmap", "tqstxp"])
def test_a_listener_that_raises_loses_the_result(lib_engine, fake_lib, method):
    case = next(case for case in CASES if case.method == method)
    define(fake_lib, case.export, case.signature, case.writes, error=511)

    def raising(number):
        raise ArithmeticError(number)

    lib_engine.error_listeners.append(raising)
    with pytest.raises(ArithmeticError):
        call(lib_engine, case)
    assert lib_engine.last_error == 511


# --- the methods themselves ----------------------------------------------------------------------

SIGNATURES = {
    "tqsetc": ("(self, option, indexp, index, value)",
               {"option": "str", "indexp": "int", "index": "int", "value": "float",
                "return": "int"}, "**SET-EQUILIBRIUM-CONDITION**"),
    "tqshow": ("(self)", {}, "**SHOW-PRESENT-SETTINGS**"),
    "tqremc": ("(self, numcon)", {"numcon": "int"}, "**REMOVE-EQUILIBRIUM-CONDITION**"),
    "tqce": ("(self, option, indexp, index, vals)",
             {"option": "str", "indexp": "int", "index": "int"}, "**CALCULATE-EQUILIBRIUM**"),
    "tqgetr": ("(self, option, indexp, index)",
               {"option": "str", "indexp": "int", "index": "int", "return": "float"},
               "**GET-RESULT**"),
    "tqgsu": ("(self, option)", {"option": "str", "return": "str"}, "**GET-SYSTEM-UNIT**"),
    "tqclim": ("(self, option, val)", {}, "**CHANGE-LIMIT-OF-TARGET-VARIABLE**"),
    "tqconf": ("(self, option, valuea, valueb, valuec)", {}, "**SET-CONFIGURATION-OPTION**"),
    "tqsttp": ("(self, idents, vals)", {}, "**SET-NAME-TEMPERATURE-PRESSURE-FOR-A-STREAM**"),
    "tqstrm": ("(self, idents)", {}, "**REMOVE-STREAM**"),
    "tqstca": ("(self, idents, indexp, indexc, val)", {},
               "**SET-CONSTITUENT-AMOUNTS-FOR-A-STREAM**"),
    "tqstec": ("(self, option, indexp, val)", {},
               "**SET-EQUILIBRIUM-CONDITION-WHEN-STREAM-INPUT**"),
    "tqstxp": ("(self, idents, option)", {}, "**GET-THERMODYNAMIC-PROPERTY-OF-A-STREAM**"),
    "tqmap": ("(self, option, indexp, indexc, vals)", {},
              "**CALCULATE-ONE-DIMENSIONAL-PHASE-MAP**"),
    "tqchar": ("(self, indexp, indexc)", {}, "**GET-CHARGE-OF-PHASE-CONSTITUENT**"),
    "tqcsc": ("(self, names)", {}, "**CHANGE-SYSTEM-COMPONENTS**"),
    "tqbond": ("(self, indexp, indexa, indexb, indexc, indexd)",
               dict.fromkeys(["indexp", "indexa", "indexb", "indexc", "indexd"], "int"),
               "**GET-CALCULATED-QUADRUPLET-OR-PAIR-FRACTION**"),
}
WHOLE_DOCSTRINGS = {
    "tqcel": "perform calculation and print out the results (to stdout)",
    "tqcen": "perform calculation and print out the results (to stdout)",
    "tqcenl": "perform calculation and print out the results (to stdout)",
    "tqcsu": "change system unit",
    "tqmapl": "**CALCULATE-ONE-DIMENSIONAL-PHASE-MAP**",
    "tqclim": "**CHANGE-LIMIT-OF-TARGET-VARIABLE**",
    "tqconf": "**SET-CONFIGURATION-OPTION**",
    "tqstrm": "**REMOVE-STREAM**",
    "tqchar": "**GET-CHARGE-OF-PHASE-CONSTITUENT**",
    "tqcsc": "**CHANGE-SYSTEM-COMPONENTS**",
    "tqbond": "**GET-CALCULATED-QUADRUPLET-OR-PAIR-FRACTION**",
}


@pytest.mark.parametrize("method", SIGNATURES)
def test_signatures_annotations_and_headings(method):
    import inspect

    function = getattr(raw.EquilexProxy, method)
    text, annotations, heading = SIGNATURES[method]
    assert str(inspect.signature(function)) == text
    assert function.__annotations__ == annotations
    assert function.__doc__.splitlines()[0] == heading


@pytest.mark.parametrize("method, doc", WHOLE_DOCSTRINGS.items())
def test_whole_docstrings(method, doc):
    assert getattr(raw.EquilexProxy, method).__doc__ == doc


@pytest.mark.parametrize(
    "method, words",
    [
        ("tqgsu", ["Pressure", "bar", "torr", "Volume", "in3", "Temperature", "F", "Energy",
                   "kWh", "Amount", "pound", "default"]),
        ("tqmap", ["TF", "TN", "PF", "PN", "IA0", "IAF", "IAN", "indexp", "vals"]),
        ("tqsttp", ["150", "temperature", "pressure", "stream"]),
        ("tqce", ["IA0", "MU", "tqclim", "estimate"]),
        ("tqsetc", ["XPT", "AC", "numb"]),
    ],
)
def test_docstrings_tell_the_options(method, words):
    doc = getattr(raw.EquilexProxy, method).__doc__
    assert all(word in doc for word in words), [word for word in words if word not in doc]


# --- end to end through the stand-in library's probe routines ------------------------------------


def probed(engine):
    line = ctypes.create_string_buffer(2000)
    engine.lib.eqx_standin_probe_last(line, 2000)
    return line.value.decode()


@pytest.fixture(params=["native", "ctypes"])
def probe_engine(request, engine, monkeypatch):
    """The engine on the stand-in with routine methods pointed at probe routines; on the
    ctypes road the probes carry an errcheck, so ctypes calls them."""
    exports = {}

    def point(method, probe):
        monkeypatch.setitem(raw.func_aliases, method, probe)
        if request.param == "ctypes":
            routine = getattr(engine.lib, probe)
            routine.errcheck = lambda result, function, arguments: exports.setdefault(
                probe, arguments
            )

    engine.point = point
    yield engine
    for name in ("eqx_standin_probe_" + kind for kind in
                 ("setc", "ce", "map", "gsu", "csu", "char", "csc", "bond")):
        routine = getattr(engine.lib, name)
        del routine.errcheck
    assert request.param == "native" or exports, "the ctypes road was not taken"


PROBES = [
    ("tqsetc", "setc", ("T", 0, 0, 1000), 7,
     "setc option='T'/1+nul indexp=0 index=0 value=1000 numcon=0 error=0"),
    ("tqsetc", "setc", ("IA", 2**32 + 3, -1, 2.5), 7,
     "setc option='IA'/2+nul indexp=3 index=-1 value=2.5 numcon=0 error=0"),
    ("tqce", "ce", (" ", 0, 0, (2000, 0)), None,
     "ce option=' '/1+nul indexp=0 index=0 vals=2000,0 error=0"),
    ("tqcel", "ce", ("T", 2, 5, [1234.5, -1]), None,
     "ce option='T'/1+nul indexp=2 index=5 vals=1234.5,-1 error=0"),
    ("tqcenl", "ce", ("", 0, 0, (0.1, 0.2)), None,
     "ce option=''/0+nul indexp=0 index=0 vals=0.10000000000000001,0.20000000000000001 error=0"),
    ("tqmap", "map", ("TF", 0, 0, range(200, 3001, 2800)), 3,
     "map option='TF'/2+nul indexp=0 indexc=0 vals=200,3000 icont=0 error=0"),
    ("tqgsu", "gsu", ("Temperature",), "degF",
     "gsu option='Temperature'/11+nul unit=25+zeroed error=0"),
    ("tqcsu", "csu", ("Energy", "kWh"), None,
     "csu option='Energy'/6+nul unit='kWh'/3+nul error=0"),
    ("tqchar", "char", (2, 3), -1, "char indexp=2 indexc=3 charge=-1 error=0"),
    ("tqcsc", "csc", (["Ca", "A" * 25, "", "O"],), None,
     "csc field=25 0='Ca                       ' 1='AAAAAAAAAAAAAAAAAAAAAAAAA'"
     " 2='                         ' 3='O                        ' error=0"),
    ("tqbond", "bond", (1, 2, 3, 4, 5), 0.125, "bond i=1 i=2 i=3 i=4 i=5 value=0 error=0"),
]


@pytest.mark.parametrize("method, probe, args, result, line", PROBES, ids=lambda v: str(v)[:20])
def test_every_argument_kind_through_the_c_calling_convention(
    probe_engine, method, probe, args, result, line
):
    probe_engine.point(method, "eqx_standin_probe_" + probe)
    heard = []
    probe_engine.error_listeners.append(heard.append)
    assert getattr(probe_engine, method)(*args) == result
    assert probed(probe_engine) == line
    assert heard == [0]


def test_a_buffer_follows_string_buffer_length_end_to_end(probe_engine, monkeypatch):
    monkeypatch.setattr(raw, "string_buffer_length", 40)
    probe_engine.point("tqgsu", "eqx_standin_probe_gsu")
    assert probe_engine.tqgsu("Pressure") == "degF"
    assert probed(probe_engine) == "gsu option='Pressure'/8+nul unit=40+zeroed error=0"
