"""Test doubles for the two roads of a routine call.

``FakeLibrary`` stands where the engine's ``lib`` stands: its exports are ctypes callbacks behind
function pointers without declared argument types (called natively by the engine, as a loaded
library's routines are) or plain Python callables (which the engine hands ctypes holder objects).
Both kinds run the same body, written against the native view of the arguments:
``POINTER(c_int)`` for holders, plain ints for addresses and lengths.

``FakeBasic`` stands where ``equilex.basic`` stands: a module object whose functions record their
arguments and answer what the test says.
"""

import contextlib
import ctypes
import types

INT_P = ctypes.POINTER(ctypes.c_int)
DOUBLE_P = ctypes.POINTER(ctypes.c_double)
ADDRESS = ctypes.c_void_p
LENGTH = ctypes.c_int

_CArgObject = type(ctypes.byref(ctypes.c_int()))


def text_at(address, length):
    """An input text as the routine sees it, with the byte that follows it."""
    return ctypes.string_at(address, length + 1)


def write(address, data):
    ctypes.memmove(address, data, len(data))


def as_native(argument):
    """What a native routine would receive for one argument of a ctypes call."""
    if isinstance(argument, _CArgObject):
        return ctypes.pointer(argument._obj)
    if isinstance(argument, ctypes.c_char_p):
        return ctypes.cast(argument, ctypes.c_void_p).value
    if isinstance(argument, ctypes.c_void_p):
        return argument.value
    if isinstance(argument, ctypes.Array):
        element = ctypes.POINTER(argument._type_)
        return ctypes.cast(argument, element)
    return argument


class FakeLibrary:
    """A library object whose routines are defined by the test."""

    def __init__(self, plain=False):
        self.plain = plain
        self.calls = []  # (export name, what the body returned), in call order
        self.received = []  # plain callables: the raw argument tuples
        self.failures = []  # exceptions raised inside bodies (a callback cannot raise)

    def define(self, export, argtypes, body):
        """Makes `export` a routine; `body(*native_arguments)` returns what to record."""

        def run(arguments):
            try:
                self.calls.append((export, body(*arguments)))
            except BaseException as failure:  # noqa: B036 - reported by the fixture
                self.failures.append(failure)

        if self.plain:

            def routine(*arguments):
                self.received.append(arguments)
                run([as_native(argument) for argument in arguments])

        else:
            callback = ctypes.CFUNCTYPE(None, *argtypes)(lambda *arguments: run(arguments))
            # Seen through a prototype without argument types, as a loaded library's routine
            # is, so the engine calls it through its address (the cast keeps the callback).
            routine = ctypes.cast(callback, ctypes.CFUNCTYPE(None))
        setattr(self, export, routine)
        return routine

    def names(self):
        return [name for name, _ in self.calls]

    def errors(self, export, numbers, argtypes=(INT_P,)):
        """A routine whose arguments are `argtypes` then the error holder; it reports the
        numbers in turn (the last one again once they run out) and records the first argument."""
        numbers = list(numbers)

        def body(*arguments):
            *inputs, error = arguments
            assert error[0] == 0, "the error holder must start at 0"
            error[0] = numbers.pop(0) if len(numbers) > 1 else numbers[0]
            return inputs[0][0] if inputs and isinstance(inputs[0], INT_P) else None

        return self.define(export, (*argtypes, INT_P), body)

    def name_buffer(self, export, data, error=0, inputs=1):
        """A routine of `inputs` int ins, a text buffer and its length, and the error: it checks
        that the buffer arrives zero-filled, writes `data` (at most the length given) and
        records the length."""

        def body(*arguments):
            address, length, error_holder = arguments[inputs:]
            assert ctypes.string_at(address, length) == bytes(length), "buffer not zero-filled"
            write(address, data[:length])
            error_holder[0] = error
            return length

        return self.define(export, (INT_P,) * inputs + (ADDRESS, LENGTH, INT_P), body)


class Claiming(str):
    """A text whose len() says what the test wants."""

    def __new__(cls, text, length):
        made = super().__new__(cls, text)
        made.length = length
        return made

    def __len__(self):
        return self.length


class FakeBasic(types.ModuleType):
    """An ``equilex.basic`` whose functions record their calls."""

    def __init__(self):
        super().__init__("equilex.basic")
        self.calls = []
        # The destructor of every engine on the basic road closes unit 6.
        self.answer("tqclos")

    def answer(self, name, result=None, raises=None):
        def function(*arguments, **keywords):
            assert not keywords, "the basic road passes positional arguments only"
            self.calls.append((name, arguments))
            if raises is not None:
                raise raises
            return result

        setattr(self, name, function)
        return function


@contextlib.contextmanager
def without(mapping, key):
    """`mapping` (a table or a module's namespace) without `key` meanwhile. The key comes back in
    its old place, so that the order of the mapping is the same afterwards."""
    keys = list(mapping)
    value = mapping.pop(key)
    try:
        yield
    finally:
        mapping[key] = value
        for later in keys[keys.index(key) + 1 :]:
            if later in mapping:
                mapping[later] = mapping.pop(later)
