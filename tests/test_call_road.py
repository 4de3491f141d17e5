"""The road of one routine call, observed through a fake library and a fake basic module.

The fake library's routines see exactly what the engine passes (holders, buffers and the lengths
after them, the error holder) and can answer what a sane library never would. Each library-road
test runs twice: with the routines as ctypes callbacks (called natively) and as plain Python
callables (which get ctypes holder objects).
"""

import contextlib
import ctypes
import fractions
import types

import numpy as np
import pytest

from equilexproxy import raw
from fakes import (
    ADDRESS,
    DOUBLE_P,
    INT_P,
    LENGTH,
    Claiming,
    FakeBasic,
    FakeLibrary,
    text_at,
    without,
    write,
)


class MyInt(int):
    pass


class MyStr(str):
    pass


def text_routine(fake, export, answer=0, error=0, more_inputs=0):
    """A routine of a text in, `more_inputs` int ins, an int out and the error; it records the
    text with the byte after it, the length, and the int ins."""

    def body(address, length, *rest):
        *inputs, out, error_holder = rest
        assert out[0] == 0, "an int out starts at 0"
        out[0] = answer
        error_holder[0] = error
        return text_at(address, length), length, [p[0] for p in inputs]

    fake.define(export, (ADDRESS, LENGTH) + (INT_P,) * more_inputs + (INT_P, INT_P), body)


@pytest.fixture(params=["library", "basic"])
def either_road(request, make_engine, fake_basic):
    """An engine on each road in turn, and a function that lists every call either fake saw."""
    fake = FakeLibrary()
    engine = make_engine(use_eqpy=request.param == "basic")
    engine.lib = fake
    heard = []
    engine.error_listeners.append(heard.append)
    return engine, lambda: fake.calls + fake_basic.calls + heard


# --- what the library receives ---------------------------------------------------------------


@pytest.mark.parametrize(
    "value, arrives",
    [(6, 6), (2**32 + 1, 1), (-1, -1), (2**31, -(2**31)), (2**64 + 7, 7), (-(2**32) - 2, -2)],
)
def test_int_in_arrives_as_its_low_32_bits(lib_engine, fake_lib, value, arrives):
    fake_lib.errors("TQCLOS", [0])
    assert lib_engine.tqclos(value) is None
    assert fake_lib.calls == [("TQCLOS", arrives)]


def test_int_in_reaches_the_basic_module_unchanged(basic_engine, fake_basic):
    basic_engine.tqclos(2**32 + 1)
    assert fake_basic.calls == [("tqclos", (2**32 + 1,))]


@pytest.mark.parametrize(
    "text",
    ["FILE", "", "A\0B", "\0", "LANGUAGE  ", "x" * 1000],
    ids=["plain", "empty", "embedded-NUL", "only-NUL", "trailing-blanks", "long"],
)
def test_text_in_comes_with_its_length_and_a_nul_after_it(lib_engine, fake_lib, text):
    text_routine(fake_lib, "TQGIO", answer=7)
    assert lib_engine.tqgio(text) == 7
    assert fake_lib.calls == [("TQGIO", (text.encode() + b"\0", len(text), []))]


def test_text_in_and_int_in_in_routine_order(lib_engine, fake_lib):
    fake_lib.define(
        "TQCIO",
        (ADDRESS, LENGTH, INT_P, INT_P),
        lambda address, length, unit, error: (text_at(address, length), length, unit[0]),
    )
    assert lib_engine.tqcio(unitno=2**32 + 20, option="FILE") is None
    assert fake_lib.calls == [("TQCIO", (b"FILE\0", 4, 20))]


@pytest.mark.parametrize(
    "method, args, export, inputs, buffer_length, expected",
    [
        ("tqgnsc", (1,), "TQGNSC", 1, 25, 25),
        ("tqgnsc", (1,), "TQGNSC", 1, 40, 40),
        ("tqgnsc", (1,), "TQGNSC", 1, 1, 1),
        ("tqgnsc", (1,), "TQGNSC", 1, 0, 0),
        ("tqgnp", (1,), "TQGNP", 1, 40, 40),
        ("tqgnlc", (1, 1, 1), "TQGNLC", 3, 40, 26),
        ("tqgspc", (1, 1), "TQGSPC", 2, 40, 25),
        ("tqerr", (), "TQERR", 0, 40, 240),
    ],
)
def test_buffer_sizes(
    lib_engine, fake_lib, monkeypatch, method, args, export, inputs, buffer_length, expected
):
    monkeypatch.setattr(raw, "string_buffer_length", buffer_length)
    fake_lib.name_buffer(export, b"", inputs=inputs)
    assert getattr(lib_engine, method)(*args) == ""
    assert fake_lib.calls == [(export, expected)]


@pytest.mark.parametrize(
    "length, failure",
    [(-1, ValueError), (25.0, TypeError), ("25", TypeError), (None, TypeError),
     (2**40, OverflowError)],
)
def test_unusable_buffer_length_is_refused_before_the_call(
    lib_engine, fake_lib, monkeypatch, length, failure
):
    monkeypatch.setattr(raw, "string_buffer_length", length)
    fake_lib.name_buffer("TQGNSC", b"Fe")
    heard = []
    lib_engine.error_listeners.append(heard.append)
    with pytest.raises(failure):
        lib_engine.tqgnsc(1)
    assert fake_lib.calls == [] and heard == []


def unit_routine(fake_lib, unit):
    """TQGSU: writes `unit`, at most the length it is given, into the buffer; records the
    length."""

    def body(option, option_length, address, length, error):
        write(address, unit[:length])
        error[0] = 0
        return length

    fake_lib.define("TQGSU", (ADDRESS, LENGTH, ADDRESS, LENGTH, INT_P), body)


def test_the_unit_buffer_takes_string_buffer_length_as_it_stands(lib_engine, fake_lib,
                                                                 monkeypatch):
    # create_string_buffer(True) makes one byte, and True itself goes on as the length.
    monkeypatch.setattr(raw, "string_buffer_length", True)
    unit_routine(fake_lib, b"degF")
    assert lib_engine.tqgsu("Temperature") == "d"
    assert fake_lib.calls == [("TQGSU", 1)]
    if fake_lib.plain:
        assert fake_lib.received[-1][3] is True


@pytest.mark.parametrize("length", [25.0, "25", None, -1, b"25"])
def test_the_unit_buffer_refuses_what_create_string_buffer_refuses(lib_engine, fake_lib,
                                                                   monkeypatch, length):
    if isinstance(length, bytes):
        # create_string_buffer would take bytes as the contents; the same object would then
        # reach the library as the buffer's length. Refused as any other non-integer.
        expected = TypeError(length)
    else:
        with pytest.raises(Exception) as refused:
            ctypes.create_string_buffer(length)
        expected = refused.value
    monkeypatch.setattr(raw, "string_buffer_length", length)
    unit_routine(fake_lib, b"K")
    heard = []
    lib_engine.error_listeners.append(heard.append)
    with pytest.raises(type(expected)) as caught:
        lib_engine.tqgsu("Temperature")
    assert str(caught.value) == str(expected)
    assert fake_lib.calls == [] and heard == []


@pytest.mark.parametrize(
    "written, buffer_length, expected",
    [
        (b"Fe\0garbage", 25, "Fe"),
        (b"Fe" + b" " * 23, 25, "Fe"),
        (b"   Fe  \0", 25, "Fe"),
        (b"\tO2\r\n\x0b\x0c\x1c\0", 25, "O2"),
        (b"X" * 25, 25, "X" * 25),
        (b"Y" * 40, 40, "Y" * 40),
        (b"Z" * 60, 40, "Z" * 40),
        (b"\0Fe", 25, ""),
        (b" " * 25, 25, ""),
    ],
    ids=["nul-ended", "blank-padded", "blanks-around", "white-space", "full-field",
         "full-40", "cut-at-length", "leading-nul", "all-blanks"],
)
def test_text_outputs(lib_engine, fake_lib, monkeypatch, written, buffer_length, expected):
    monkeypatch.setattr(raw, "string_buffer_length", buffer_length)
    fake_lib.name_buffer("TQGNSC", written)
    assert lib_engine.tqgnsc(1) == expected


def test_message_fields_are_read_one_by_one(lib_engine, fake_lib):
    block = b"A" * 80 + b"  second line\0junk".ljust(80, b"?") + b"third".ljust(80)
    fake_lib.name_buffer("TQERR", block, inputs=0)
    assert lib_engine.tqerr() == "A" * 80 + "second line" + "third"


def test_byte_above_127_fails_after_the_number_was_recorded(lib_engine, fake_lib):
    fake_lib.name_buffer("TQGNSC", b"F\xe9", error=104)
    heard = []
    lib_engine.error_listeners.append(heard.append)
    with pytest.raises(UnicodeDecodeError):
        lib_engine.tqgnsc(1)
    assert lib_engine.last_error == 104 and heard == [104]


def test_outputs_start_at_zero_and_come_back_in_argument_order(lib_engine, fake_lib):
    def body(*holders):
        assert all(holder[0] == 0 for holder in holders), "holders start at 0"
        for value, holder in enumerate(holders[:11], start=1):
            holder[0] = value * 10
        return len({ctypes.addressof(holder.contents) for holder in holders})

    fake_lib.define("TQSIZE", (INT_P,) * 12, body)
    assert lib_engine.tqsize() == tuple(range(10, 111, 10))
    assert fake_lib.calls == [("TQSIZE", 12)]  # twelve distinct holders


@pytest.mark.parametrize(
    "value, arrives",
    [(7, 7.0), (2.5, 2.5), (fractions.Fraction(1, 4), 0.25), (True, 1.0), (-0.0, -0.0)],
)
def test_double_in_takes_anything_convertible_to_float(lib_engine, fake_lib, value, arrives):
    fake_lib.define(
        "TQCDAT", (INT_P,) * 5 + (DOUBLE_P, INT_P), lambda *a: ([p[0] for p in a[:5]], a[5][0])
    )
    lib_engine.tqcdat(1, 2, 3, 4, 5, value)
    assert fake_lib.calls == [("TQCDAT", ([1, 2, 3, 4, 5], arrives))]
    assert type(fake_lib.calls[0][1][1]) is float


@pytest.mark.parametrize("value", ["1.5", None, 1j, b"1"])
def test_double_in_refuses_what_is_not_a_real_number(lib_engine, fake_lib, value):
    fake_lib.define("TQCDAT", (INT_P,) * 5 + (DOUBLE_P, INT_P), lambda *a: None)
    with pytest.raises(TypeError):
        lib_engine.tqcdat(1, 2, 3, 4, 5, value)
    assert fake_lib.calls == []


class Encodable:
    """Not a text, but encodes like one."""

    def __init__(self, data, length=None):
        self.data, self.length = data, length

    def encode(self, codec):
        assert codec == "ascii"
        return self.data

    def __len__(self):
        if self.length is None:
            raise TypeError("no length")
        return self.length


@pytest.mark.parametrize(
    "name, passed",
    [
        (Claiming("Calcium", 2), (b"Calcium\0", 2)),
        (Claiming("Calcium", 0), (b"Calcium\0", 0)),
        (Claiming("Calcium", 7), (b"Calcium\0", 7)),
        (Claiming("Calcium", 100), (b"Calcium\0", 7)),
        (Encodable(b"Ca", 1), (b"Ca\0", 1)),
        (Encodable(b"Ca", 5), (b"Ca\0", 2)),
    ],
    ids=["shorter", "empty", "equal", "longer", "encodable-shorter", "encodable-longer"],
)
def test_a_text_passes_its_len_but_never_more_than_its_bytes(lib_engine, fake_lib, name, passed):
    fake_lib.define(
        "TQCNSC",
        (INT_P, ADDRESS, LENGTH, INT_P),
        lambda index, address, length, error: (ctypes.string_at(address, len(passed[0])), length),
    )
    lib_engine.tqcnsc(1, name)
    assert fake_lib.calls == [("TQCNSC", passed)]


def test_a_text_without_a_length_is_refused_before_the_call(lib_engine, fake_lib):
    fake_lib.errors("TQCNSC", [0], argtypes=(INT_P, ADDRESS, LENGTH))
    with pytest.raises(TypeError) as caught:
        lib_engine.tqcnsc(1, Encodable(b"Ca"))
    assert str(caught.value) == "no length"
    assert fake_lib.calls == []


# Room for every component a library can hold: the most components any library reports (the
# stand-in's TQSIZE says 30, the field count of TQCSC's names) whatever tqnosc() answered.
COMPONENT_ROOM = 30


@pytest.mark.parametrize("count", [0, 1, 3, COMPONENT_ROOM, 40])
@pytest.mark.parametrize(
    "method, args, export, indices",
    [("tqstsc", (2,), "TQSTSC", 1), ("tqstpc", (2, 3), "TQSTPC", 2)],
)
def test_stoichiometry_arrays_have_room_for_every_component(
    lib_engine, fake_lib, method, args, export, indices, count
):
    fake_lib.define("TQNOSC", (INT_P, INT_P), lambda number, error: number.__setitem__(0, count))

    def body(*arguments):
        coefficients, mass, error = arguments[indices:]
        mass[0] = 55.5
        error[0] = 0
        if not fake_lib.plain:
            # A library writes one value per component it holds, whatever the count was.
            for k in range(max(count, COMPONENT_ROOM)):
                coefficients[k] = k + 1.0

    fake_lib.define(export, (INT_P,) * indices + (DOUBLE_P, DOUBLE_P, INT_P), body)
    heard = []
    lib_engine.error_listeners.append(heard.append)
    mass, coefficients = getattr(lib_engine, method)(*args)
    assert mass == 55.5 and heard == [0, 0]
    if fake_lib.plain:
        # A Python callable gets an array of exactly the count.
        assert type(fake_lib.received[-1][indices]) is ctypes.c_double * count
        assert coefficients == (0.0,) * count
    else:
        assert coefficients == tuple(k + 1.0 for k in range(count))


@pytest.mark.parametrize(
    "count, failure, message",
    [
        (np.int64(2), None, None),
        (True, None, None),
        (2.0, TypeError, "can't multiply sequence by non-int of type 'float'"),
        (None, TypeError, "can't multiply sequence by non-int of type 'NoneType'"),
        (-1, ValueError, "Array length must be >= 0, not -1"),
    ],
)
def test_the_component_count_is_taken_as_an_array_length_takes_it(
    lib_engine, fake_lib, count, failure, message
):
    # A count tqnosc() answers through an override sizes the array as `c_double * count` would.
    lib_engine.tqnosc = lambda: count
    fake_lib.define("TQSTSC", (INT_P, DOUBLE_P, DOUBLE_P, INT_P), lambda *arguments: None)
    if failure is None:
        assert lib_engine.tqstsc(1) == (0.0, (0.0,) * int(count))
    else:
        with pytest.raises(failure, match=message):
            lib_engine.tqstsc(1)
        assert fake_lib.calls == []


# --- plain Python callables as routines --------------------------------------------------------


def test_plain_callables_receive_ctypes_holders(make_engine):
    engine = make_engine()
    fake = types.SimpleNamespace()
    seen = {}

    def tqgio(option, length, value, error):
        seen["gio"] = (type(option), option.value, length, type(value._obj), value._obj.value)
        value._obj.value = 20
        error._obj.value = 0

    def tqgnsc(index, address, length, error):
        seen["gnsc"] = (index._obj.value, type(address), length)
        ctypes.memmove(address.value, b"Fe\0", 3)

    def tqnosc(count, error):
        count._obj.value = 3

    def tqstsc(index, coefficients, mass, error):
        seen["stsc"] = (type(coefficients), type(mass._obj))
        coefficients[:] = [1.0, 2.0, 3.0]
        mass._obj.value = 55.8
        error._obj.value = 1004

    def tqerr(address, length, error):
        seen["err"] = (type(address), length)

    for name, routine in dict(TQGIO=tqgio, TQGNSC=tqgnsc, TQNOSC=tqnosc, TQSTSC=tqstsc,
                              TQERR=tqerr).items():
        setattr(fake, name, routine)
    engine.lib = fake
    assert engine.tqgio("FILE") == 20
    assert engine.tqgnsc(2) == "Fe"
    assert engine.tqstsc(1) == (55.8, (1.0, 2.0, 3.0))
    assert engine.last_error == 1004
    assert engine.tqerr() == ""
    assert seen == {
        "gio": (ctypes.c_char_p, b"FILE", 4, ctypes.c_int, 0),
        "gnsc": (2, ctypes.c_void_p, 25),
        "stsc": (ctypes.c_double * 3, ctypes.c_double),
        "err": (ctypes.c_void_p, 240),
    }


def test_an_exception_of_a_plain_routine_passes_through_unrecorded(make_engine):
    engine = make_engine()
    failure = LookupError("from the routine")

    def tqclos(unit, error):
        raise failure

    engine.lib = types.SimpleNamespace(TQCLOS=tqclos)
    heard = []
    engine.error_listeners.append(heard.append)
    with pytest.raises(LookupError) as caught:
        engine.tqclos(6)
    assert caught.value is failure and heard == [] and engine.last_error == 0


# --- recording error numbers ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "numbers, last_error",
    [
        ([0], 0),
        ([104], 104),
        ([104, 0], 104),
        ([-3], 0),
        ([104, -3], 104),
        ([104, 7], 7),
        ([2**31 - 1], 2**31 - 1),
        ([-(2**31)], 0),
    ],
)
def test_error_numbers_reach_listeners_and_last_error(lib_engine, fake_lib, numbers, last_error):
    fake_lib.errors("TQCLOS", numbers)
    heard = []
    lib_engine.error_listeners.append(heard.append)
    for _ in numbers:
        lib_engine.tqclos(6)
    assert heard == numbers
    assert lib_engine.last_error == last_error


def test_listeners_are_read_anew_and_may_be_any_iterable(lib_engine, fake_lib):
    fake_lib.errors("TQCLOS", [5])
    first, second = [], []
    lib_engine.error_listeners = (first.append, second.append)
    lib_engine.tqclos(6)
    lib_engine.error_listeners = iter([second.append])
    lib_engine.tqclos(6)
    assert first == [5] and second == [5, 5]


def test_listeners_may_change_their_own_list(lib_engine, fake_lib):
    fake_lib.errors("TQCLOS", [5])
    heard = []

    def clearing(number):
        heard.append(("clearing", number))
        lib_engine.error_listeners.clear()

    def adding(number):
        heard.append(("adding", number))
        lib_engine.error_listeners.append(lambda n: heard.append(("added", n)))

    lib_engine.error_listeners[:] = [adding, clearing, heard.append]
    lib_engine.tqclos(6)
    assert heard == [("adding", 5), ("clearing", 5)]
    lib_engine.error_listeners[:] = [adding]
    lib_engine.tqclos(6)
    lib_engine.error_listeners.pop()
    assert heard[2:] == [("adding", 5), ("added", 5)]


@pytest.mark.parametrize("number, last_error", [(104, 104), (0, 0)])
def test_a_listener_that_raises(lib_engine, fake_lib, number, last_error):
    fake_lib.name_buffer("TQGNSC", b"Fe", error=number)
    heard, later = [], []

    def raising(n):
        raise ZeroDivisionError(n)

    lib_engine.error_listeners[:] = [heard.append, raising, later.append]
    with pytest.raises(ZeroDivisionError):
        lib_engine.tqgnsc(1)
    assert lib_engine.last_error == last_error
    assert heard == [number] and later == []


def test_a_listener_that_is_not_callable(lib_engine, fake_lib):
    fake_lib.errors("TQCLOS", [104])
    lib_engine.error_listeners.append(None)
    with pytest.raises(TypeError):
        lib_engine.tqclos(6)
    assert lib_engine.last_error == 104


@pytest.mark.parametrize(
    "value, last_error, heard",
    [(104, 104, [104]), (0, 0, [0]), (-2, 0, [-2]), (ctypes.c_int(9).value, 9, [9])],
)
def test_check_error_records_whatever_holds_a_value(lib_engine, value, last_error, heard):
    listened = []
    lib_engine.error_listeners.append(listened.append)
    holder = types.SimpleNamespace(value=value)
    assert lib_engine._check_error(holder, "anything") is None
    assert lib_engine._check_error(cnoerr=holder, name=None) is None
    assert lib_engine.last_error == last_error and listened == heard * 2


def test_check_error_without_a_value(lib_engine):
    listened = []
    lib_engine.error_listeners.append(listened.append)
    with pytest.raises(AttributeError):
        lib_engine._check_error(object(), "tqclos")
    assert listened == [] and lib_engine.last_error == 0


def test_overridden_check_error_gets_a_ctypes_holder(fake_lib, make_engine):
    seen = []

    class Recording(raw.EquilexProxy):
        def _check_error(self, cnoerr, name):
            seen.append((type(cnoerr), cnoerr.value, name))
            seen.append(cnoerr)
            return super()._check_error(cnoerr, name)

    engine = make_engine(engine_class=Recording)
    engine.lib = fake_lib
    heard = []
    engine.error_listeners.append(heard.append)
    fake_lib.name_buffer("TQGNSC", b"Fe", error=104)
    assert engine.tqgnsc(3) == "Fe"
    assert seen[0] == (ctypes.c_int, 104, "tqgnsc")
    assert engine.last_error == 104 and heard == [104]
    if fake_lib.plain:
        # The routine's own error holder is what the override gets.
        assert fake_lib.received[0][-1]._obj is seen[1]


def test_check_error_on_the_instance_and_one_that_records_nothing(lib_engine, fake_lib):
    fake_lib.errors("TQCLOS", [104])
    seen = []
    lib_engine._check_error = lambda cnoerr, name: seen.append((type(cnoerr), cnoerr.value, name))
    heard = []
    lib_engine.error_listeners.append(heard.append)
    lib_engine.tqclos(6)
    assert seen == [(ctypes.c_int, 104, "tqclos")]
    assert lib_engine.last_error == 0 and heard == []


def test_check_error_that_raises_prevents_the_result(lib_engine, fake_lib):
    fake_lib.name_buffer("TQGNSC", b"Fe")

    def refusing(cnoerr, name):
        raise KeyError(name)

    lib_engine._check_error = refusing
    with pytest.raises(KeyError):
        lib_engine.tqgnsc(1)


# --- fetching the routine ----------------------------------------------------------------------


def test_rebinding_func_aliases_takes_effect_at_the_next_call(lib_engine, fake_lib, monkeypatch):
    fake_lib.errors("TQCLOS", [0])
    fake_lib.errors("OTHER", [0])
    fake_lib.errors("_TQCLOS@8", [0])
    lib_engine.tqclos(1)
    monkeypatch.setattr(raw, "func_aliases", {"tqclos": "OTHER"})
    lib_engine.tqclos(2)
    monkeypatch.setattr(raw, "func_aliases", raw.func_aliases_x32)
    lib_engine.tqclos(3)
    monkeypatch.setitem(raw.func_aliases_x32, "tqclos", "TQCLOS")
    lib_engine.tqclos(4)
    assert fake_lib.calls == [("TQCLOS", 1), ("OTHER", 2), ("_TQCLOS@8", 3), ("TQCLOS", 4)]


def test_routine_is_fetched_afresh_at_every_call(lib_engine, fake_lib):
    fake_lib.errors("TQCLOS", [1])
    lib_engine.tqclos(6)
    fake_lib.errors("TQCLOS", [2])
    lib_engine.tqclos(6)
    assert lib_engine.last_error == 2


def refused_calls():
    """Ways a routine cannot be reached, each a context giving the exception it causes."""

    @contextlib.contextmanager
    def missing_row(engine):
        with without(raw.func_aliases, "tqclos"):
            yield KeyError, "'tqclos'"

    @contextlib.contextmanager
    def missing_export(engine):
        with replaced(raw.func_aliases, "tqclos", "TQNOWHERE"):
            yield AttributeError, "TQNOWHERE"

    @contextlib.contextmanager
    def row_not_a_text(engine):
        with replaced(raw.func_aliases, "tqclos", ["TQCLOS"]):
            yield TypeError, "attribute name must be string, not 'list'"

    @contextlib.contextmanager
    def no_library(engine):
        engine.lib = None
        yield AttributeError, "TQCLOS"

    @contextlib.contextmanager
    def no_table(engine):
        with without(vars(raw), "func_aliases"):
            yield NameError, "func_aliases"

    return [missing_row, missing_export, row_not_a_text, no_library, no_table]


@contextlib.contextmanager
def replaced(mapping, key, value):
    old = mapping[key]
    mapping[key] = value
    try:
        yield
    finally:
        mapping[key] = old


@pytest.mark.parametrize("refuse", refused_calls(), ids=lambda f: f.__name__)
def test_nothing_is_recorded_for_a_refused_call(lib_engine, fake_lib, refuse):
    fake_lib.errors("TQCLOS", [104])
    heard = []
    lib_engine.error_listeners.append(heard.append)
    with refuse(lib_engine) as (failure, text), pytest.raises(failure) as caught:
        lib_engine.tqclos(6)
    assert text in str(caught.value)
    assert fake_lib.calls == [] and heard == [] and lib_engine.last_error == 0


# --- argument checks, on both roads ------------------------------------------------------------

ARGUMENT_ERRORS = [
    (lambda e: e.tqclos(), "tqclos() takes exactly 2 positional arguments (1 given)"),
    (lambda e: e.tqclos(6, 7), "tqclos() takes exactly 2 positional arguments (3 given)"),
    (lambda e: type(e).tqclos(), "tqclos() takes exactly 2 positional arguments (0 given)"),
    (lambda e: e.tqvers(1), "tqvers() takes exactly 1 positional argument (2 given)"),
    (lambda e: e.tqcio("FILE"), "tqcio() takes exactly 3 positional arguments (2 given)"),
    (lambda e: e.tqcio(unitno=6), "tqcio() takes exactly 3 positional arguments (1 given)"),
    (lambda e: e.tqcio("FILE", 6, unit=6), "tqcio() got an unexpected keyword argument 'unit'"),
    (
        lambda e: e.tqcio("FILE", option="ERROR", unitno=6),
        "tqcio() got multiple values for keyword argument 'option'",
    ),
    (
        lambda e: e.load_datafile(),
        "load_datafile() takes at least 2 positional arguments (1 given)",
    ),
    (
        lambda e: e.load_datafile("a.dat", 10, 11),
        "load_datafile() takes at most 3 positional arguments (4 given)",
    ),
    (
        lambda e: e._generate_free_name(),
        "_generate_free_name() takes exactly 2 positional arguments (1 given)",
    ),
    (lambda e: e.__del__(6), "__del__() takes exactly 1 positional argument (2 given)"),
    (lambda e: e.tqclos(True), "Argument 'unit' has incorrect type (expected int, got bool)"),
    (lambda e: e.tqclos(6.0), "Argument 'unit' has incorrect type (expected int, got float)"),
    (lambda e: e.tqclos(None), "Argument 'unit' has incorrect type (expected int, got NoneType)"),
    (lambda e: e.tqclos(MyInt(6)), "Argument 'unit' has incorrect type (expected int, got MyInt)"),
    (
        lambda e: e.tqcio(None, 6),
        "Argument 'option' has incorrect type (expected str, got NoneType)",
    ),
    (
        lambda e: e.tqcio(None, None),
        "Argument 'option' has incorrect type (expected str, got NoneType)",
    ),
    (
        lambda e: e.tqcio("FILE", False),
        "Argument 'unitno' has incorrect type (expected int, got bool)",
    ),
    (lambda e: e.tqgio(b"FILE"), "Argument 'option' has incorrect type (expected str, got bytes)"),
    (
        lambda e: e.tqgio(MyStr("FILE")),
        "Argument 'option' has incorrect type (expected str, got MyStr)",
    ),
    (
        lambda e: e.tqopen("a.txt", True),
        "Argument 'unit' has incorrect type (expected int, got bool)",
    ),
    (
        lambda e: e.tqopna(None, 6),
        "Argument 'filename' has incorrect type (expected str, got NoneType)",
    ),
    (
        lambda e: e.load_datafile(None),
        "Argument 'filename' has incorrect type (expected str, got NoneType)",
    ),
]


@pytest.mark.parametrize("call, message", ARGUMENT_ERRORS)
def test_argument_errors_reach_nothing(either_road, call, message):
    engine, calls = either_road
    with pytest.raises(TypeError) as caught:
        call(engine)
    assert str(caught.value) == message
    assert calls() == []
    assert engine.last_error == 0


def test_keywords_that_are_not_texts(either_road):
    # Python code cannot pass such keywords; a C caller can, through vectorcall.
    engine, calls = either_road
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                           ctypes.py_object]
    arguments = (ctypes.py_object * 3)(engine, 6, 7)
    with pytest.raises(TypeError) as caught:
        vectorcall(raw.EquilexProxy.tqclos, arguments, 2, (1,))
    assert str(caught.value) == "tqclos() keywords must be strings"
    assert calls() == []


def test_arguments_by_keyword(make_engine, fake_basic):
    engine = make_engine()
    fake = FakeLibrary()
    fake.define(
        "TQCIO",
        (ADDRESS, LENGTH, INT_P, INT_P),
        lambda address, length, unit, error: (text_at(address, length), unit[0]),
    )
    engine.lib = fake
    engine.tqcio(unitno=20, option="FILE")
    raw.EquilexProxy.tqcio(engine, "LIST", unitno=21)
    engine.use_eqpy = True
    fake_basic.answer("tqcio")
    engine.tqcio(unitno=20, option="FILE")
    assert fake.calls == [("TQCIO", (b"FILE\0", 20)), ("TQCIO", (b"LIST\0", 21))]
    assert fake_basic.calls == [("tqcio", ("FILE", 20))]


@pytest.mark.parametrize(
    "call",
    [
        lambda e: e.tqgio("FIL\u00c9"),
        lambda e: e.tqcio("LANGUAGE\u00a0", 2),
        lambda e: e.tqopna("d\u0430ta.dat", 10),
        lambda e: e.tqinsc("F\u00e9"),
        lambda e: e.tqcnsc(1, "F\u00e9"),
        lambda e: e.tqgio("\udc80"),
    ],
)
def test_non_ascii_text_is_refused_before_the_call(lib_engine, fake_lib, call):
    for export in ("TQGIO", "TQCIO", "TQOPNA", "TQINSC", "TQCNSC"):
        fake_lib.errors(export, [0])
    lib_engine.last_error = 104
    heard = []
    lib_engine.error_listeners.append(heard.append)
    with pytest.raises(UnicodeEncodeError):
        call(lib_engine)
    assert fake_lib.calls == [] and heard == [] and lib_engine.last_error == 104


@pytest.mark.parametrize("name", [b"Fe", 5, None])
def test_untyped_text_without_encode(lib_engine, fake_lib, name):
    fake_lib.errors("TQCNSC", [0], argtypes=(INT_P, ADDRESS, LENGTH))
    with pytest.raises(AttributeError):
        lib_engine.tqcnsc(1, name)
    assert fake_lib.calls == []


def test_untyped_text_takes_a_text_subclass(lib_engine, fake_lib):
    fake_lib.define(
        "TQCNSC",
        (INT_P, ADDRESS, LENGTH, INT_P),
        lambda index, address, length, error: (index[0], text_at(address, length)),
    )
    lib_engine.tqcnsc(2, MyStr("Ca"))
    assert fake_lib.calls == [("TQCNSC", (2, b"Ca\0"))]


@pytest.mark.parametrize("value", [1.0, None, "1"])
def test_untyped_int_in_refuses_what_the_holder_refuses(lib_engine, fake_lib, value):
    fake_lib.errors("TQPCIS", [0], argtypes=(INT_P, INT_P, INT_P))
    with pytest.raises(TypeError):
        lib_engine.tqpcis(1, value)
    assert fake_lib.calls == []


# --- results -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "method, args, answer, message",
    [
        ("tqnop", (), 3.0, "Expected int, got float"),
        ("tqnop", (), True, "Expected int, got bool"),
        ("tqnop", (), MyInt(3), "Expected int, got MyInt"),
        ("tqnopc", (1,), "2", "Expected int, got str"),
        ("tqinsc", ("Fe",), 2.5, "Expected int, got float"),
        ("tqgnp", (1,), 5, "Expected unicode, got int"),
        ("tqgnp", (1,), b"gas", "Expected unicode, got bytes"),
        ("tqgnp", (1,), MyStr("gas"), "Expected unicode, got MyStr"),
    ],
)
def test_declared_results_are_checked_on_the_basic_road(
    basic_engine, fake_basic, method, args, answer, message
):
    fake_basic.answer(method, answer)
    with pytest.raises(TypeError) as caught:
        getattr(basic_engine, method)(*args)
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "method, args, answer, result",
    [
        ("tqnop", (), None, None),
        ("tqnop", (), 4, 4),
        ("tqinsc", ("Fe",), 0, 1),
        ("tqgnp", (1,), None, None),
        ("tqgnp", (1,), "gas", "gas"),
        ("tqgio", ("FILE",), 2.5, 2.5),
        ("tqgnsc", (1,), 7, 7),
        ("tqvers", (), "six", "six"),
    ],
)
def test_results_that_pass_on_the_basic_road(
    basic_engine, fake_basic, method, args, answer, result
):
    fake_basic.answer(method, answer)
    assert getattr(basic_engine, method)(*args) == result


# --- the basic road ------------------------------------------------------------------------------


def test_basic_road_touches_nothing_of_the_library_road(basic_engine, fake_basic):
    fake_basic.answer("tqgio", 10)
    basic_engine.lib = None

    def raising(number):
        raise AssertionError("no listener on the basic road")

    basic_engine.error_listeners.append(raising)
    basic_engine._check_error = raising
    with without(vars(raw), "func_aliases"):
        assert basic_engine.tqgio("FILE") == 10
    assert basic_engine.last_error == 0
    assert fake_basic.calls == [("tqgio", ("FILE",))]


def test_basic_exceptions_pass_through_unchanged(basic_engine, fake_basic):
    failure = RuntimeError("Equilex error 107")
    fake_basic.answer("tqopna", raises=failure)
    with pytest.raises(RuntimeError) as caught:
        basic_engine.tqopna("missing.dat", 10)
    assert caught.value is failure and basic_engine.last_error == 0


def test_eqb_is_looked_up_at_every_call(basic_engine, fake_basic, monkeypatch):
    fake_basic.answer("tqvers", 1)
    assert basic_engine.tqvers() == 1
    other = FakeBasic()
    other.answer("tqvers", 2)
    monkeypatch.setattr(raw, "eqb", other)
    assert basic_engine.tqvers() == 2
    monkeypatch.delattr(raw, "eqb")
    with pytest.raises(NameError) as caught:
        basic_engine.tqvers()
    assert str(caught.value) == "name 'eqb' is not defined"


def test_tqini_and_tqcprt_on_the_basic_road(basic_engine, fake_basic, monkeypatch):
    fake_basic.answer("tqini", "something")
    fake_basic.answer("tqcprt", "copyright")
    assert basic_engine.tqini() is None
    assert basic_engine.tqcprt() is None
    assert fake_basic.calls == [("tqini", ())]
    monkeypatch.delattr(raw, "eqb")
    assert basic_engine.tqcprt() is None


@pytest.mark.parametrize(
    "flag, road",
    [(False, "library"), (0, "library"), ([], "library"), ("", "library"), (None, "library"),
     (True, "basic"), (1, "basic"), ("no", "basic"), ([0], "basic")],
)
def test_use_eqpy_chooses_the_road_at_every_call(lib_engine, fake_lib, fake_basic, flag, road):
    fake_lib.errors("TQCLOS", [0])
    lib_engine.use_eqpy = flag
    lib_engine.tqclos(7)
    assert (fake_lib.calls, fake_basic.calls) == (
        ([("TQCLOS", 7)], []) if road == "library" else ([], [("tqclos", (7,))])
    )


def test_use_eqpy_whose_truth_fails(lib_engine, fake_lib, fake_basic):
    class Undecided:
        def __bool__(self):
            raise ArithmeticError("neither")

    fake_lib.errors("TQCLOS", [0])
    lib_engine.use_eqpy = Undecided()
    with pytest.raises(ArithmeticError):
        lib_engine.tqclos(6)
    assert fake_lib.calls == [] and fake_basic.calls == []


def test_engine_made_for_the_basic_road_has_no_library(basic_engine):
    assert basic_engine.lib is None
    basic_engine.use_eqpy = False
    with pytest.raises(AttributeError):
        basic_engine.tqclos(6)


# --- the road reads attributes by Python's rules, however often it has read them before ----------


def routine_reporting(number):
    return lambda unit, error: setattr(error._obj, "value", number)


def library_answering(number):
    return types.SimpleNamespace(TQCLOS=routine_reporting(number))


def test_a_data_descriptor_for_lib_wins_over_the_instance_dict(make_engine, monkeypatch):
    class Routed(raw.EquilexProxy):
        pass

    engine = make_engine(engine_class=Routed)
    engine.lib = library_answering(1)
    engine.tqclos(6)
    assert engine.last_error == 1
    # A property added to the class after calls were made, and an instance entry it hides.
    monkeypatch.setattr(Routed, "lib", property(lambda self: library_answering(2)), raising=False)
    vars(engine)["lib"] = library_answering(3)
    engine.tqclos(6)
    assert engine.last_error == 2
    monkeypatch.delattr(Routed, "lib")
    engine.tqclos(6)
    assert engine.last_error == 3


def test_a_class_attribute_for_use_eqpy_added_later(make_engine, fake_basic, monkeypatch):
    class Switched(raw.EquilexProxy):
        pass

    engine = make_engine(engine_class=Switched)
    engine.lib = library_answering(4)
    engine.tqclos(6)
    monkeypatch.setattr(Switched, "use_eqpy", property(lambda self: True), raising=False)
    engine.tqclos(6)
    assert fake_basic.calls == [("tqclos", (6,))] and engine.last_error == 4


def test_the_instance_dict_may_be_replaced_or_edited(make_engine, fake_basic):
    engine = make_engine()
    engine.lib = library_answering(5)
    engine.tqclos(6)
    engine.__dict__ = dict(vars(engine), lib=library_answering(6))
    engine.tqclos(6)
    assert engine.last_error == 6
    vars(engine)["use_eqpy"] = True
    engine.tqclos(6)
    assert fake_basic.calls == [("tqclos", (6,))]


def test_check_error_overrides_come_and_go(make_engine, monkeypatch):
    engine = make_engine()
    engine.lib = library_answering(7)
    seen = []
    engine.tqclos(6)
    engine._check_error = lambda cnoerr, name: seen.append(("instance", cnoerr.value))
    engine.tqclos(6)
    del engine._check_error
    engine.tqclos(6)
    monkeypatch.setattr(
        raw.EquilexProxy, "_check_error", lambda self, cnoerr, name: seen.append(("class", name))
    )
    engine.tqclos(6)
    monkeypatch.undo()
    engine.last_error = 0
    engine.tqclos(6)
    assert seen == [("instance", 7), ("class", "tqclos")]
    assert engine.last_error == 7


def test_library_objects_with_their_own_attribute_rules(make_engine):
    class Dispatching:
        """Answers every export name with one routine, whatever its instance dict holds."""

        def __init__(self):
            self.TQCLOS = routine_reporting(8)

        def __getattribute__(self, name):
            return routine_reporting(9)

    module = types.ModuleType("library")
    module.__getattr__ = lambda name: routine_reporting(10)
    engine = make_engine()
    for library, number in [(library_answering(8), 8), (Dispatching(), 9), (module, 10)]:
        engine.lib = library
        engine.tqclos(6)
        engine.tqclos(6)
        assert engine.last_error == number
    module.TQCLOS = routine_reporting(11)
    engine.tqclos(6)
    assert engine.last_error == 11
