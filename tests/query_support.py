"""Helpers of the system-query tests: fake routines written as short signatures, the
enumerations a fake basic module needs, an engine on either road, and the stand-in loaded with a
sample data-file.

A signature lists a routine's arguments in the routine's order, one token each:

    i  int in        the value is recorded
    d  double in     the value is recorded
    t  text in       its bytes with the byte after them, and the length, are recorded
    o  int out       must arrive 0; gets the next value of `writes`
    s  int out       its starting value is recorded; gets the next value of `writes`
    D  double out    must arrive 0.0; gets the next value of `writes`
    b  text buffer   must arrive zero-filled; its length is recorded; gets the next bytes of
                     `writes`, cut at the length it came with
    f  text fields   as b, but the bytes are written whole (they may span several fields)
    a  double array  gets the next list of `writes`, after checking those places hold 0.0
    p  double pair   an input: its two values are recorded as a tuple
    N  text fields   an input of 30 fields of 25 bytes, then the field length: both recorded
    n  int array     must have an address; nothing is written
    e  error         must arrive 0; gets `error`
"""

import ctypes
import enum
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest

from fakes import ADDRESS, DOUBLE_P, INT_P, LENGTH, FakeBasic, FakeLibrary, text_at, write

REPO_ROOT = Path(__file__).resolve().parents[1]

_ARGTYPES = {
    "i": (INT_P,),
    "d": (DOUBLE_P,),
    "t": (ADDRESS, LENGTH),
    "o": (INT_P,),
    "s": (INT_P,),
    "p": (ADDRESS,),
    "N": (ADDRESS, LENGTH),
    "D": (DOUBLE_P,),
    "b": (ADDRESS, LENGTH),
    "f": (ADDRESS, LENGTH),
    "a": (ADDRESS,),
    "n": (ADDRESS,),
    "e": (INT_P,),
}
_OUTPUTS = set("osDbfa")


def address(argument):
    """The address an array or buffer argument points at, whichever way it arrived."""
    if argument is None or isinstance(argument, int):
        return argument
    return ctypes.cast(argument, ctypes.c_void_p).value


def define(fake, export, signature, writes=None, error=0):
    """Makes `export` of `fake` a routine of `signature`; it records the inputs it receives (and
    the lengths of buffers) as a tuple, writes `writes` into its outputs in order (nothing when
    `writes` is None) and reports `error`."""
    tokens = signature.split()
    argtypes = tuple(kind for token in tokens for kind in _ARGTYPES[token])
    if writes is not None:
        assert len(writes) == sum(token in _OUTPUTS for token in tokens), "one write per output"

    def body(*arguments):
        pending = list(writes) if writes is not None else None
        received = []
        given = iter(arguments)
        for token in tokens:
            if token in "id":
                received.append(next(given)[0])
            elif token == "t":
                where, length = next(given), next(given)
                received += [text_at(where, length), length]
            elif token == "s":
                holder = next(given)
                received.append(holder[0])
                if pending is not None:
                    holder[0] = pending.pop(0)
            elif token == "p":
                received.append(tuple((ctypes.c_double * 2).from_address(address(next(given)))))
            elif token == "N":
                where, length = address(next(given)), next(given)
                received += [ctypes.string_at(where, 30 * 25), length]
            elif token in "oDe":
                holder = next(given)
                assert holder[0] == 0, f"an output holder of {export} does not start at 0"
                if token == "e":
                    holder[0] = error
                elif pending is not None:
                    holder[0] = pending.pop(0)
            elif token in "bf":
                where, length = address(next(given)), next(given)
                assert ctypes.string_at(where, length) == bytes(length), "buffer not zero-filled"
                received.append(length)
                if pending is not None:
                    data = pending.pop(0)
                    write(where, data[:length] if token == "b" else data)
            elif token == "a":
                where = address(next(given))
                assert where, f"{export} got no array"
                if pending is not None:
                    values = list(pending.pop(0))
                    array = (ctypes.c_double * len(values)).from_address(where)
                    assert list(array) == [0.0] * len(values), "array not zero-filled"
                    array[:] = values
            elif token == "n":
                assert address(next(given)), f"{export} got no array"
        return tuple(received)

    return fake.define(export, argtypes, body)


def same(actual, expected):
    """Equal and of exactly the same types, all the way down (True is not 1, 1.0 is not 1)."""
    if type(actual) is not type(expected):
        return False
    if isinstance(expected, (tuple, list)):
        return len(actual) == len(expected) and all(map(same, actual, expected))
    return actual == expected


# --- one row of a routine table, on either road ------------------------------------------------
#
# A row names the method (`method`, `args` by parameter name in order), what the library routine
# `export` of `signature` receives (`received`) and makes of `writes` (`result`), what it gives
# when it writes nothing and reports an error (`empty`), and what the basic module receives
# (`basic_args`) and makes of `answer` (`basic_result`).


@dataclass
class Case:
    method: str
    args: dict  # by parameter name, in parameter order
    export: str
    signature: str
    writes: list
    received: tuple
    result: Any
    empty: Any  # the result when the routine writes nothing (and reports an error)
    basic_args: tuple
    answer: Any
    basic_result: Any

    def __str__(self):
        return self.method


def call(engine, case, by_keyword=False):
    method = getattr(engine, case.method)
    return method(**case.args) if by_keyword else method(*case.args.values())


def check_library_road(engine, fake, case):
    define(fake, case.export, case.signature, case.writes)
    heard = []
    engine.error_listeners.append(heard.append)
    result = call(engine, case)
    assert same(result, case.result), f"{result!r} is not {case.result!r}"
    assert fake.calls == [(case.export, case.received)]
    assert heard == [0] and engine.last_error == 0


def check_library_error(engine, fake, case, number):
    define(fake, case.export, case.signature, writes=None, error=number)
    heard = []
    engine.error_listeners.append(heard.append)
    result = call(engine, case)
    assert same(result, case.empty), f"{result!r} is not {case.empty!r}"
    assert heard == [number] and engine.last_error == number


def check_basic_road(engine, basic, case):
    basic.answer(case.method, case.answer)
    heard = []
    engine.error_listeners.append(heard.append)
    result = call(engine, case)
    assert same(result, case.basic_result), f"{result!r} is not {case.basic_result!r}"
    assert basic.calls == [(case.method, case.basic_args)]
    for got, expected in zip(basic.calls[0][1], case.basic_args):
        assert same(got, expected), f"eqb got {got!r} for {expected!r}"
    assert heard == [] and engine.last_error == 0


def check_by_keyword(engine, fake, basic, case):
    define(fake, case.export, case.signature, case.writes)
    basic.answer(case.method, case.answer)
    expected = case.basic_result if engine.use_eqpy else case.result
    assert same(call(engine, case, by_keyword=True), expected)
    assert (basic.calls if engine.use_eqpy else fake.calls) == [
        (case.method, case.basic_args) if engine.use_eqpy else (case.export, case.received)
    ]


# The TypeError texts of the argument checks.
def takes(method, count, given):
    plural = "s" if count != 1 else ""
    return f"{method}() takes exactly {count} positional argument{plural} ({given} given)"


def unexpected(method, keyword):
    return f"{method}() got an unexpected keyword argument '{keyword}'"


def incorrect(parameter, expected, got):
    return f"Argument '{parameter}' has incorrect type (expected {expected}, got {got})"


# --- what a fake basic module offers -------------------------------------------------------------

Status = enum.Enum("Status", {name: name for name in ("ENTERED", "DORMANT", "ELIMINATED")})
PhaseModel = enum.Enum("PhaseModel", {name: name for name in ("PURE", "IDMX", "SUBL")})
PhaseConstituentData = enum.Enum(
    "PhaseConstituentData",
    {name: name for name in ("H", "S", "Cp", "Tt", "Ht", "V", "Gc", "M", "Ch")},
)
InteractionVariable = enum.Enum("InteractionVariable", {"G": "G", "M": "M"})


def with_enumerations(module):
    module.Status = Status
    module.PhaseModel = PhaseModel
    module.PhaseConstituentData = PhaseConstituentData
    module.InteractionVariable = InteractionVariable
    return module


@pytest.fixture(params=["library", "basic"])
def any_road(request, make_engine, monkeypatch):
    """An engine on each road in turn, a fake library and a fake basic module that know no
    routine yet, and everything the engine's listeners heard."""
    from equilexproxy import raw

    basic = with_enumerations(FakeBasic())
    monkeypatch.setattr(raw, "eqb", basic, raising=False)
    fake = FakeLibrary()
    engine = make_engine(use_eqpy=request.param == "basic")
    engine.lib = fake
    heard = []
    engine.error_listeners.append(heard.append)
    engine.heard = heard
    yield engine, fake, basic
    assert not fake.failures, f"a fake routine failed: {fake.failures!r}"


# --- the stand-in with a sample data-file ------------------------------------------------------


@pytest.fixture
def sample(libequilex_path):
    """The path of a sample data-file: the build's copy (all three formats), else the .dat of
    the source tree."""

    def path(name):
        built = Path(os.environ.get("EQX_BUILD", REPO_ROOT / "build")) / "data" / name
        if built.is_file():
            return built
        source = REPO_ROOT / "data" / name
        if source.is_file():
            return source
        pytest.skip(f"sample data-file {name} is not built")

    return path


# One call per group of the stand-in's routines, made after loading: a routine that answers 203
# (not built) fails the test at once, with a clearer message than the test's own asserts.
_PROBES = {
    "components": lambda engine: engine.tqnosc(),
    "phases": lambda engine: engine.tqnop(),
    "constituents": lambda engine: engine.tqgnpc(1, 1),
    "sublattices": lambda engine: engine.tqnolc(7, 1),
    "stored data": lambda engine: engine.tqgdat(1, 1, "H", 1),
    "excess parameters": lambda engine: engine.tqlpar(7, "G"),
}


def load_sample(engine, sample, name, *groups, extension="dat"):
    """Loads a sample data-file on the library road and fails the test when a routine of the
    named groups answers 203 (not built). The probes suit the structural sample."""
    road = engine.use_eqpy
    engine.use_eqpy = False
    try:
        engine.load_datafile(str(sample(f"{name}.{extension}")))
        assert engine.last_error == 0, f"{name}.{extension} did not load: {engine.last_error}"
        for group in groups:
            _PROBES[group](engine)
            if engine.last_error == 203:
                pytest.fail(f"the stand-in's {group} routines answer 203 (not built)")
            engine.last_error = 0
    finally:
        engine.use_eqpy = road
    return engine


def load_structure(engine, sample, *groups, extension="dat"):
    return load_sample(engine, sample, "structure", *groups, extension=extension)
