"""The library road calls a loaded library's routine with ctypes holders made through module raw's
`ctypes`, looked up when the call runs. The engine may call a function pointer through its address
instead, but only where that gives what the ctypes call would: these tests change what a ctypes
call depends on (the module, its names, the function pointer's attributes, its type, its flags)
and check that the change is honoured, on the stand-in library itself.
"""

import ctypes
import errno
import importlib
import types

import pytest

from equilexproxy import raw
from fakes import without

COMPONENT_ROOM = 30  # see test_call_road.py


@pytest.fixture
def heard(engine):
    numbers = []
    engine.error_listeners.append(numbers.append)
    return numbers


def recorder(real, seen, label):
    def recording(*arguments):
        seen.append((label, arguments))
        return real(*arguments)

    return recording


# --- module raw's ctypes and the names it offers -------------------------------------------------


def test_ctypes_rebound_to_none_fails_with_attribute_error(engine, heard, monkeypatch):
    with monkeypatch.context() as patch, pytest.raises(AttributeError):
        patch.setattr(raw, "ctypes", None)
        engine.tqvers()
    assert heard == [] and engine.last_error == 0


def test_ctypes_unbound_fails_with_name_error(engine, heard):
    with without(vars(raw), "ctypes"), pytest.raises(NameError) as caught:
        engine.tqvers()
    assert str(caught.value) == "name 'ctypes' is not defined"
    assert heard == []


def test_ctypes_rebound_to_another_module(engine, heard, monkeypatch):
    seen = []
    other = types.ModuleType("other_ctypes")
    vars(other).update(vars(ctypes))
    other.byref = recorder(ctypes.byref, seen, "byref")
    monkeypatch.setattr(raw, "ctypes", other)
    assert engine.tqvers() == 634
    assert [type(holder) for _, (holder,) in seen] == [ctypes.c_int, ctypes.c_int]
    assert heard == [0]


def patched_calls():
    """(name patched in the ctypes module, the call that must use it, what it must be given)."""
    return [
        ("c_int", lambda e: e.tqvers(), [(0,), (0,)]),
        ("byref", lambda e: e.tqvers(), "two holders"),
        ("c_char_p", lambda e: e.tqgio("LIST"), [(b"LIST",)]),
        ("create_string_buffer", lambda e: e.tqgnsc(1), [(25,)]),
        ("addressof", lambda e: e.tqgnsc(1), "one buffer"),
        ("c_void_p", lambda e: e.tqgnsc(1), "one address"),
    ]


@pytest.mark.parametrize(
    "name, call, expected", patched_calls(), ids=lambda v: v if isinstance(v, str) else ""
)
def test_a_name_patched_in_ctypes_is_used(engine, heard, monkeypatch, name, call, expected):
    seen = []
    monkeypatch.setattr(ctypes, name, recorder(getattr(ctypes, name), seen, name))
    call(engine)
    arguments = [arguments for _, arguments in seen]
    if isinstance(expected, list):
        assert arguments == expected
    else:
        assert len(arguments) == {"two holders": 2}.get(expected, 1)
    assert heard and all(number in (0, 104) for number in heard)


def test_a_patched_double_type_makes_the_holders_and_arrays(engine, sample_data_dir, monkeypatch):
    engine.load_datafile(str(sample_data_dir / "limestone.dat"))
    made = []
    real_double = ctypes.c_double

    class Double(real_double):
        def __init__(self, *value):
            made.append(value)
            real_double.__init__(self, *value)

    monkeypatch.setattr(ctypes, "c_double", Double)
    mass, coefficients = engine.tqstsc(1)
    assert mass == pytest.approx(40.078) and coefficients == (1.0, 0.0, 0.0)
    assert made == [(0.0,)]
    seen = []
    engine.lib.TQSTSC.errcheck = lambda result, function, arguments: seen.append(arguments)
    engine.tqstsc(1)
    (index, coefficients, mass, error), = seen
    assert type(coefficients)._type_ is Double and type(mass._obj) is Double


@pytest.fixture
def made(engine, monkeypatch):
    """What the ctypes road makes, in order, through a module raw's ctypes that records it: the
    holders with their values, the c_char_p of texts, buffers, byref, the routine's fetch, the
    reads of a pair and the count of components."""
    events = []
    recording = types.ModuleType("recording_ctypes")
    vars(recording).update(vars(ctypes))

    def holder_type(base):
        def __init__(self, value=base().value):
            events.append((base.__name__, value))
            base.__init__(self, value)

        return type(base.__name__, (base,), {"__init__": __init__})

    def recorded(name, real, shown=lambda *arguments: arguments):
        def call(*arguments):
            events.append((name, *shown(*arguments)))
            return real(*arguments)

        return call

    recording.c_int = holder_type(ctypes.c_int)
    recording.c_double = holder_type(ctypes.c_double)
    recording.c_char_p = recorded("c_char_p", ctypes.c_char_p)
    recording.create_string_buffer = recorded("buffer", ctypes.create_string_buffer)
    recording.byref = recorded("byref", ctypes.byref, lambda holder: ())
    monkeypatch.setattr(raw, "ctypes", recording)
    library = engine.lib

    class Fetching:
        def __getattr__(self, name):
            events.append(("fetch", name))
            return getattr(library, name)

    engine.lib = Fetching()
    engine.tqnosc = lambda: events.append(("tqnosc",)) or 2
    yield events
    engine.lib = library


class Pair:
    """Two limits that tell when they are read."""

    def __init__(self, events):
        self.events = events

    def __getitem__(self, k):
        self.events.append(("vals", k))
        return [300.0, 3000.0][k]

    def __iter__(self):
        self.events.append(("vals",))
        return iter([300.0, 3000.0])


BYREF = ("byref",)


@pytest.mark.parametrize(
    "method, args, expected",
    [
        ("tqchar", (5, 7), [("fetch", "TQCHAR"), ("c_int", 5), ("c_int", 7), ("c_int", -1),
                            ("c_int", 0), BYREF, BYREF, BYREF, BYREF]),
        ("tqcio", ("FILE", 10), [("fetch", "TQCIO"), ("c_int", 10), ("c_int", 0),
                                 ("c_char_p", b"FILE"), BYREF, BYREF]),
        ("tqclim", ("T", 5), [("fetch", "TQCLIM"), ("c_double", 5), ("c_int", 0),
                              ("c_char_p", b"T"), BYREF, BYREF]),
        ("tqsize", (), [("c_int", 0)] * 12 + [("fetch", "TQSIZE")] + [BYREF] * 12),
        ("tqgsp", (5,), [("fetch", "TQGSP"), ("c_int", 5), ("c_int", 0), ("buffer", 25), BYREF,
                         BYREF]),
        ("tqnopc", (5,), [("fetch", "TQNOPC"), ("c_int", 5), ("c_int", 0), ("c_int", 0), BYREF,
                          BYREF, BYREF]),
        ("tqinp", ("GAS",), [("fetch", "TQINP"), ("c_int", 0), ("c_int", 0),
                             ("c_char_p", b"GAS"), BYREF, BYREF]),
        ("tqstsc", (5,), [("fetch", "TQSTSC"), ("c_int", 5), ("c_int", 0), ("c_double", 0.0),
                          ("tqnosc",), BYREF, BYREF, BYREF]),
        ("tqstpc", (5, 7), [("fetch", "TQSTPC"), ("c_int", 5), ("c_int", 7), ("c_int", 0),
                            ("c_double", 0.0), ("tqnosc",), BYREF, BYREF, BYREF, BYREF]),
        ("tqsetc", ("T", 5, 7, 900), [("fetch", "TQSETC"), ("c_int", 0), ("c_int", 0),
                                      ("c_int", 5), ("c_int", 7), ("c_double", 900.0),
                                      ("c_char_p", b"T")] + [BYREF] * 5),
        ("tqgetr", ("T", 5, 7), [("fetch", "TQGETR"), ("c_int", 0), ("c_double", 0.0),
                                 ("c_int", 5), ("c_int", 7), ("c_char_p", b"T")] + [BYREF] * 4),
        ("tqce", (" ", 5, 7, "pair"), [("fetch", "TQCE"), ("c_int", 0), ("vals", 0), ("vals", 1),
                                       ("c_char_p", b" "), ("c_int", 5), BYREF, ("c_int", 7),
                                       BYREF, BYREF]),
        ("tqcenl", (" ", 5, 7, "pair"), [("fetch", "TQCENL"), ("c_int", 0), ("vals", 0),
                                         ("vals", 1), ("c_char_p", b" "), ("c_int", 5), BYREF,
                                         ("c_int", 7), BYREF, BYREF]),
        ("tqgsu", ("Pressure",), [("fetch", "TQGSU"), ("c_int", 0), ("buffer", 25),
                                  ("c_char_p", b"Pressure"), BYREF]),
        ("tqmap", ("TF", 5, 7, "pair"), [("fetch", "TQMAP"), ("c_int", 5), ("c_int", 7),
                                         ("c_int", 0), ("vals",), ("c_int", 0),
                                         ("c_char_p", b"TF")] + [BYREF] * 4),
    ],
    ids=lambda v: v if isinstance(v, str) else "",
)
def test_holders_are_made_in_the_order_of_their_method(engine, made, method, args, expected):
    # Each holder before the call is put together, in the order the method makes them;
    # byref, c_char_p and the holders made with the call come in argument order.
    args = tuple(Pair(made) if arg == "pair" else arg for arg in args)
    made.clear()
    getattr(engine, method)(*args)
    assert made == expected


@pytest.fixture
def evaluated(engine, monkeypatch):
    """What the ctypes road does, in order, through a module raw's ctypes that records every name
    read from it ("get"), the holders made with their values, the c_char_p of texts, buffers, the
    routine's fetch and the reads of the arguments the test gives."""
    events = []

    class Recording(types.ModuleType):
        def __getattribute__(self, name):
            if not name.startswith("__"):
                events.append(("get", name))
            return super().__getattribute__(name)

    recording = Recording("recording_ctypes")
    vars(recording).update(vars(ctypes))

    def holder_type(base):
        def __init__(self, value=base().value):
            events.append((base.__name__, value))
            base.__init__(self, value)

        return type(base.__name__, (base,), {"__init__": __init__})

    def recorded(name, real):
        def call(*arguments):
            events.append((name, *arguments))
            return real(*arguments)

        return call

    recording.c_int = holder_type(ctypes.c_int)
    recording.c_double = holder_type(ctypes.c_double)
    recording.c_char_p = recorded("c_char_p", ctypes.c_char_p)
    recording.create_string_buffer = recorded("buffer", ctypes.create_string_buffer)
    monkeypatch.setattr(raw, "ctypes", recording)
    library = engine.lib

    class Fetching:
        def __getattr__(self, name):
            events.append(("fetch", name))
            return getattr(library, name)

    engine.lib = Fetching()
    yield events
    engine.lib = library


class Names:
    """Two names of tqcsc that tell when they are counted and read."""

    def __init__(self, events):
        self.events = events

    def __len__(self):
        self.events.append(("names",))
        return 2

    def __getitem__(self, k):
        self.events.append(("names", k))
        return ["Ca", "O"][k]


def get(*names):
    return [("get", name) for name in names]


def by_reference(*made):
    """ctypes.byref(ctypes.c_int(value)) made with the call, for each value."""
    return [event for value in made for event in (*get("byref", "c_int"), ("c_int", value))]


PASSED = get("byref")  # ctypes.byref(holder) of a holder made before the call


@pytest.mark.parametrize(
    "method, args, expected",
    [
        # The error holder, then (c_double * 2)() before vals[0] and vals[1] are read; the
        # index holders with the call, each byref looked up before its c_int.
        ("tqce", (" ", 5, 7, "pair"),
         [("fetch", "TQCE"), *get("c_int"), ("c_int", 0), *get("c_double"), ("vals", 0),
          ("vals", 1), *get("c_char_p"), ("c_char_p", b" "), *by_reference(5, 7), *PASSED]),
        ("tqcel", (" ", 5, 7, "pair"),
         [("fetch", "TQCEL"), *get("c_int"), ("c_int", 0), *get("c_double"), ("vals", 0),
          ("vals", 1), *get("c_char_p"), ("c_char_p", b" "), *by_reference(5, 7),
          *get("c_void_p", "addressof"), *PASSED]),
        # The pair made and filled, then the error holder; the name encoded before the call.
        ("tqsttp", ("S1", "pair"),
         [("fetch", "TQSTTP"), *get("c_double"), ("vals",), *get("c_int"), ("c_int", 0),
          *get("c_char_p"), ("c_char_p", b"S1"), *PASSED]),
        # Index holders, the count, the pair, and only then the error holder.
        ("tqmap", ("TF", 5, 7, "pair"),
         [("fetch", "TQMAP"), *get("c_int"), ("c_int", 5), *get("c_int"), ("c_int", 7),
          *get("c_int"), ("c_int", 0), *get("c_double"), ("vals",), *get("c_int"), ("c_int", 0),
          *get("c_char_p"), ("c_char_p", b"TF"), *PASSED * 2, *PASSED * 2]),
        ("tqstca", ("S1", 5, 7, 2.5),
         [("fetch", "TQSTCA"), *get("c_int"), ("c_int", 5), *get("c_int"), ("c_int", 7),
          *get("c_double"), ("c_double", 2.5), *get("c_int"), ("c_int", 0), *get("c_char_p"),
          ("c_char_p", b"S1"), *PASSED * 4]),
        ("tqchar", (5, 7),
         [("fetch", "TQCHAR"), *get("c_int"), ("c_int", 5), *get("c_int"), ("c_int", 7),
          *get("c_int"), ("c_int", -1), *get("c_int"), ("c_int", 0), *PASSED * 4]),
        # ((c_char * 25) * 30)() before the names are counted and read; the error holder after.
        ("tqcsc", ("names",),
         [("fetch", "TQCSC"), *get("c_char"), ("names",), ("names", 0), ("names", 1),
          *get("c_int"), ("c_int", 0), *PASSED]),
        # create_string_buffer looked up before string_buffer_length is read.
        ("tqgsu", ("Pressure",),
         [("fetch", "TQGSU"), *get("c_int"), ("c_int", 0), *get("create_string_buffer"),
          ("buffer", 25), *get("c_char_p"), ("c_char_p", b"Pressure"),
          *get("c_void_p", "addressof"), *PASSED]),
    ],
    ids=lambda v: v if isinstance(v, str) else "",
)
def test_each_holder_is_made_as_its_expression_evaluates(engine, evaluated, method, args,
                                                         expected):
    stand_ins = {"pair": Pair(evaluated), "names": Names(evaluated)}
    args = tuple(stand_ins.get(arg, arg) if isinstance(arg, str) else arg for arg in args)
    evaluated.clear()
    getattr(engine, method)(*args)
    assert evaluated == expected


@pytest.fixture
def lacking(engine):
    """Module raw's ctypes as a copy of ctypes without one name, until the engine is done."""

    def without_name(name):
        partial = types.ModuleType("partial_ctypes")
        vars(partial).update(vars(ctypes))
        delattr(partial, name)
        raw.ctypes = partial

    yield without_name
    raw.ctypes = ctypes


@pytest.mark.parametrize(
    "missing, method, args, failure",
    [
        # The holder's type is looked up before the argument that fills it is read.
        ("c_double", "tqce", (" ", 0, 0, None), AttributeError),
        ("c_double", "tqcenl", (" ", 0, 0, ()), AttributeError),
        ("c_double", "tqsttp", ("S1", None), AttributeError),
        ("c_double", "tqmap", ("TF", 0, 0, None), AttributeError),
        ("c_double", "tqclim", ("T", None), AttributeError),
        ("c_int", "tqchar", (None, 1), AttributeError),
        ("c_int", "tqstca", ("S1", 1.5, 1, 1.0), AttributeError),
        ("c_char", "tqcsc", (None,), AttributeError),
        # Error holders made after the arguments were read stay after.
        ("c_int", "tqsttp", ("S1", (1, 2, 3)), ValueError),
        ("c_int", "tqcsc", (["X" * 26],), ValueError),
    ],
    ids=lambda v: v if isinstance(v, str) else "",
)
def test_a_missing_ctypes_name_fails_where_its_holder_is_made(engine, heard, lacking, missing,
                                                              method, args, failure):
    lacking(missing)
    with pytest.raises(failure) as caught:
        getattr(engine, method)(*args)
    assert (missing in str(caught.value)) == (failure is AttributeError)
    assert heard == [] and engine.last_error == 0


def test_a_routine_fetched_after_its_holders_is_missed_after_them(engine, made):
    made.clear()
    with without(raw.func_aliases, "tqused"), pytest.raises(KeyError):
        engine.tqused()
    assert made == [("c_int", 0)] * 12


def test_outputs_are_read_only_after_the_error_number_was_recorded(engine, monkeypatch):
    reads = []

    class Int(ctypes.c_int):
        @property
        def value(self):
            reads.append(ctypes.c_int.value.__get__(self))
            return reads[-1]

    recording = types.ModuleType("recording_ctypes")
    vars(recording).update(vars(ctypes))
    recording.c_int = Int
    monkeypatch.setattr(raw, "ctypes", recording)

    def listener(number):
        reads.append(("heard", number))
        raise ArithmeticError("the version is never read")

    engine.error_listeners.append(listener)
    with pytest.raises(ArithmeticError):
        engine.tqvers()
    engine.error_listeners.remove(listener)
    assert reads == [0, ("heard", 0)]


def test_ctypes_changed_and_restored_serves_as_before(engine, monkeypatch):
    monkeypatch.setattr(ctypes, "c_int", ctypes.c_int)
    importlib.import_module("ctypes.wintypes")  # binds a name in the ctypes module

    assert engine.tqvers() == 634
    monkeypatch.undo()
    assert engine.tqvers() == 634


# --- the function pointer's own attributes, type and flags ---------------------------------------


@pytest.fixture
def tqvers(engine):
    """The library's TQVERS as the engine fetches it; its attributes are reset afterwards."""
    function = engine.lib.TQVERS
    yield function
    for attribute in ("errcheck", "argtypes", "restype"):
        delattr(function, attribute)


def test_errcheck_is_called(engine, heard, tqvers):
    seen = []

    def errcheck(result, function, arguments):
        seen.append((function, [type(a).__name__ for a in arguments], arguments[0]._obj.value))
        return "ignored"

    tqvers.errcheck = errcheck
    assert engine.tqvers() == 634
    assert seen == [(tqvers, ["CArgObject", "CArgObject"], 634)]
    assert heard == [0]


def test_errcheck_that_raises_leaves_nothing_recorded(engine, heard, tqvers):
    def errcheck(result, function, arguments):
        raise ArithmeticError("refused by errcheck")

    tqvers.errcheck = errcheck
    with pytest.raises(ArithmeticError):
        engine.tqvers()
    assert heard == []


def test_restype_is_honoured(engine, heard, tqvers):
    results = []
    tqvers.restype = lambda value: results.append(value)
    assert engine.tqvers() == 634
    assert len(results) == 1 and heard == [0]


def test_argtypes_are_honoured(engine, heard, tqvers):
    int_p = ctypes.POINTER(ctypes.c_int)
    tqvers.argtypes = [int_p, int_p]
    assert engine.tqvers() == 634
    tqvers.argtypes = [ctypes.c_double, ctypes.c_double]
    with pytest.raises(ctypes.ArgumentError):
        engine.tqvers()
    assert heard == [0]


def test_a_function_type_with_its_own_call(engine, heard):
    seen = []
    base = type(engine.lib.TQVERS)

    class Watched(base):
        _flags_ = base._flags_
        _restype_ = base._restype_

        def __call__(self, *arguments):
            seen.append(len(arguments))
            return base.__call__(self, *arguments)

    library = engine.lib
    engine.lib = types.SimpleNamespace(TQVERS=Watched(("TQVERS", library)))
    try:
        assert engine.tqvers() == 634
    finally:
        engine.lib = library
    assert seen == [2] and heard == [0]


def library_of(engine, **routines):
    """Swaps the engine's library for `routines` until the test ends."""
    library = engine.lib
    engine.lib = types.SimpleNamespace(**routines)
    return library


def test_a_function_asking_for_errno_gets_it(engine, heard):
    libc = ctypes.CDLL(None)
    # isatty() sets errno for a number that is no terminal (here the holder's address) and
    # writes nothing through its arguments.
    address = ctypes.cast(libc.isatty, ctypes.c_void_p).value
    library = library_of(engine, TQCLOS=ctypes.CFUNCTYPE(None, use_errno=True)(address))
    ctypes.set_errno(0)
    engine.tqclos(6)
    engine.lib = library
    assert ctypes.get_errno() in (errno.EBADF, errno.ENOTTY)
    assert heard == [0]


def test_a_function_asking_for_the_python_api_keeps_it(engine, heard):
    # PyErr_NoMemory() takes no arguments and raises: ctypes holds the interpreter for such a
    # function and raises what it left.
    address = ctypes.cast(ctypes.pythonapi.PyErr_NoMemory, ctypes.c_void_p).value
    library = library_of(engine, TQCLOS=ctypes.PYFUNCTYPE(None)(address))
    try:
        with pytest.raises(MemoryError):
            engine.tqclos(6)
    finally:
        engine.lib = library
    assert heard == [] and engine.last_error == 0


def test_a_foreign_routine_on_the_ctypes_road_gets_room_for_every_component(
    make_engine, sample_data_dir
):
    class Counting(raw.EquilexProxy):
        def tqnosc(self):
            return 3  # the structure sample has 4 components

    engine = make_engine(engine_class=Counting)
    engine.tqini()
    engine.load_datafile(str(sample_data_dir / "structure.dat"))
    lengths = []
    engine.lib.TQSTSC.errcheck = lambda result, function, arguments: lengths.append(
        len(arguments[1])
    )
    assert engine.tqstsc(2) == (pytest.approx(20.25), (0.0, 1.0, 0.0))
    assert lengths == [COMPONENT_ROOM]
    assert engine.dimensions_max["components"] <= COMPONENT_ROOM
