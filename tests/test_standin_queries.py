"""The stand-in library's routines over a loaded system, through ctypes alone.

Most tests read data/structure.dat (see data/README.md for what it holds). Phase numbers there:
1 GAS (A2, B, AB), 2 LIQUID (A, B, C, AB, LONG_CONSTITUENT_NAME_24), 3 C(s), 4 AB(s), 5 FCC,
6 BCC, 7 SIGMA (species A B C AB Va | A C Va), 8 HALITE#1, 9 HALITE#2, 10 AQUEOUS,
11 LONG_PHASE_NAME_24_CHARS; components A, B, C, e-.
"""

import ctypes
import math
import re
from pathlib import Path

import pytest

HEADER = Path(__file__).resolve().parents[1] / "standin" / "include" / "equilex.h"

INT_SENTINEL = -7777
DOUBLE_SENTINEL = 12345.5
BYTE_SENTINEL = b"\x5a"
INT_ROOM, DOUBLE_ROOM = 2000, 600
TEXT_SLACK = 64  # bytes after the passed length that must stay untouched

GAS, LIQUID, GRAPHITE, AB_SOLID, FCC, BCC, SIGMA, HALITE1, HALITE2, AQUEOUS, LONG_PHASE = range(
    1, 12
)
LONG_NAME = b"LONG_CONSTITUENT_NAME_24"
SIGMA_STRINGS = [
    b"1: *3 ( 1)-( 2)-( 4) : ( 8)",
    b"2: *2 ( 1)-( 2) : ( 6)",
    b"3: *2 ( 3) : ( 6)-( 7)^[2]",
    b"4: *R ( 1)-( 3) : ( 6)-( 8)",
    b"5: *2 ( 2)-( 5) : ( 8) (Guts)",
]


def parse_header():
    routines = {}
    text = HEADER.read_text()
    for name, params in re.findall(r"EQX_API\s+void\s+EQX_STDCALL\s+(TQ\w+)\((.*?)\);", text, re.S):
        routines[name] = [" ".join(p.split()).rsplit(" ", 1)[0] for p in params.split(",")]
    return routines


ROUTINES = parse_header()


class Result:
    def __init__(self, error, outputs):
        self.error = error
        self.outputs = outputs

    def int(self, k=0):
        return self.outputs[k][0]

    def text(self, k=0, length=None):
        raw = self.outputs[k].raw
        return raw[: length or len(raw)]

    def untouched(self):
        for output in self.outputs:
            if isinstance(output, ctypes.Array) and output._type_ is ctypes.c_char:
                if output.raw != BYTE_SENTINEL * len(output):
                    return False
            elif output._type_ is ctypes.c_int:
                if any(v != INT_SENTINEL for v in output):
                    return False
            elif any(v != DOUBLE_SENTINEL for v in output):
                return False
        return True


class Library:
    """The shared stand-in image, reset; call() fills a routine's inputs in order from `inputs`
    (ints, floats, bytes) and gives every output a holder preset to sentinels."""

    def __init__(self, path):
        self.dll = ctypes.CDLL(str(path))
        self.dll.eqx_standin_reset()
        assert self.call("TQINI").error == 0

    def call(self, routine, *inputs, length=25, room=None, null_outputs=False):
        inputs = list(inputs)
        arguments, outputs = [], []
        types = ROUTINES[routine][:-1]
        k = 0
        while k < len(types):
            kind = types[k]
            if kind == "const char*":
                data = inputs.pop(0)
                arguments += [data, len(data)]
                k += 2
                continue
            if kind == "char*":
                size = room or max(length, 0) + TEXT_SLACK
                buffer = ctypes.create_string_buffer(BYTE_SENTINEL * size, size)
                arguments += [None if null_outputs else buffer, length]
                outputs.append(buffer)
                k += 2
                continue
            if kind == "const int32_t*":
                arguments.append(ctypes.byref(ctypes.c_int(inputs.pop(0))))
            elif kind == "const double*":
                arguments.append(ctypes.byref(ctypes.c_double(inputs.pop(0))))
            elif kind == "int32_t*":
                holder = (ctypes.c_int * INT_ROOM)(*[INT_SENTINEL] * INT_ROOM)
                arguments.append(None if null_outputs else holder)
                outputs.append(holder)
            elif kind == "double*":
                holder = (ctypes.c_double * DOUBLE_ROOM)(*[DOUBLE_SENTINEL] * DOUBLE_ROOM)
                arguments.append(None if null_outputs else holder)
                outputs.append(holder)
            else:
                raise AssertionError(f"{routine}: unexpected parameter type {kind!r}")
            k += 1
        assert not inputs, f"{routine}: too many inputs"
        error = ctypes.c_int(INT_SENTINEL)
        getattr(self.dll, routine)(*arguments, ctypes.byref(error))
        return Result(error.value, outputs)

    def ok(self, routine, *inputs, **options):
        result = self.call(routine, *inputs, **options)
        assert result.error == 0, f"{routine}{inputs}: error {result.error}"
        return result

    def load(self, path, unit=10):
        routine, read = {
            ".dat": ("TQOPNA", "TQRFIL"),
            ".cst": ("TQOPNT", "TQRCST"),
            ".bin": ("TQOPNB", "TQRBIN"),
        }[Path(path).suffix]
        self.ok(routine, str(path).encode(), unit)
        self.ok(read)
        self.ok("TQCLOS", unit)

    def padding(self, blanks):
        self.dll.eqx_standin_set_padding(1 if blanks else 0)

    # Readers of the values tests compare.
    def stored(self, phase, constituent, option, cp_range=1):
        result = self.ok("TQGDAT", phase, constituent, option, cp_range)
        return [result.outputs[1][i] for i in range(result.int(0))]

    def parameter(self, phase, option, number):
        result = self.ok("TQGPAR", phase, option, number)
        rows, columns, table = result.int(0), result.int(1), result.outputs[2]
        return [[table[k + 20 * j] for j in range(columns)] for k in range(rows)]

    def interactions(self, phase, option, length=156):
        result = self.ok("TQLPAR", phase, option, length=length, room=1999 * length + TEXT_SLACK)
        raw = result.outputs[1].raw
        return [raw[k * length : (k + 1) * length] for k in range(result.int(0))]

    def status(self, phase, constituent=None):
        """The status text, without its NUL or blank padding."""
        if constituent is None:
            result = self.ok("TQGSP", phase)
        else:
            result = self.ok("TQGSPC", phase, constituent)
        return result.text(length=25).split(b"\0")[0].rstrip(b" ")

    def written(self, path):
        """The loaded system as TQWASC writes it: a full picture of the model."""
        self.ok("TQWASC", str(path).encode())
        return Path(path).read_bytes()


@pytest.fixture
def lib(libequilex_path):
    library = Library(libequilex_path)
    yield library
    library.dll.eqx_standin_reset()


@pytest.fixture
def structure(lib, sample_data_dir):
    lib.load(sample_data_dir / "structure.dat")
    return lib


# --- every routine with good inputs, then with each index out of range --------------------------

# One successful call of each routine on the structural system.
GOOD_CALLS = {
    "TQNOSC": (),
    "TQGNSC": (1,),
    "TQINSC": (b"C",),
    "TQSTSC": (2,),
    "TQCNSC": (1, b"A"),
    "TQNOP": (),
    "TQGSP": (1,),
    "TQCSP": (1, b"ENTERED"),
    "TQGNP": (1,),
    "TQMODL": (1,),
    "TQNOPC": (1,),
    "TQNOSL": (1,),
    "TQINP": (b"GAS",),
    "TQINPC": (b"A2", 1),
    "TQPCIS": (1, 1),
    "TQGNPC": (1, 1),
    "TQSTPC": (1, 1),
    "TQGSPC": (1, 1),
    "TQCSPC": (1, 1, b"ENTERED"),
    "TQGDPC": (b"H", 1, 1),
    "TQNOLC": (SIGMA, 1),
    "TQGNLC": (SIGMA, 1, 1),
    "TQINLC": (b"Va", SIGMA, 2),
    "TQGTLC": (SIGMA, 1, 1),
    "TQGDAT": (1, 1, b"H", 1),
    "TQCDAT": (1, 0, 0, 1, 1, 5.0),
    "TQLPAR": (SIGMA, b"G"),
    "TQGPAR": (FCC, b"G", 1),
}
# Buffers the binding gives beside the name buffers: 1999 fields of 156 bytes.
BUFFERS = {"TQLPAR": {"length": 156, "room": 1999 * 156}}

BIG, SMALL = 2**31 - 1, -(2**31)

# Index out of range -> its error number, each position in turn.
INDEX_ERRORS = [
    ("TQGNSC", (0,), 401),
    ("TQGNSC", (5,), 401),
    ("TQSTSC", (SMALL,), 401),
    ("TQCNSC", (5, b"X"), 401),
    ("TQGSP", (0,), 402),
    ("TQCSP", (12, b"DORMANT"), 402),
    ("TQGNP", (BIG,), 402),
    ("TQMODL", (-1,), 402),
    ("TQNOPC", (12,), 402),
    ("TQNOSL", (0,), 402),
    ("TQINPC", (b"A", 0), 402),
    ("TQPCIS", (0, 1), 402),
    ("TQPCIS", (1, 4), 403),
    ("TQGNPC", (LIQUID, 6), 403),
    ("TQGNPC", (FCC, 5), 403),  # FCC has 2: phase and constituent are not swapped
    ("TQSTPC", (GRAPHITE, 2), 403),
    ("TQGSPC", (12, 1), 402),
    ("TQGSPC", (FCC, 0), 403),
    ("TQCSPC", (LIQUID, BIG, b"DORMANT"), 403),
    ("TQGDPC", (b"H", 12, 1), 402),
    ("TQGDPC", (b"H", GAS, -3), 403),
    ("TQNOLC", (12, 1), 402),
    ("TQNOLC", (SIGMA, 3), 406),
    ("TQNOLC", (GRAPHITE, 1), 406),  # a stoichiometric phase has no sublattice
    ("TQNOLC", (FCC, 0), 406),
    ("TQGNLC", (SIGMA, 2, 4), 407),
    ("TQGNLC", (SIGMA, 0, 1), 406),
    ("TQGNLC", (LIQUID, 1, 6), 407),
    ("TQINLC", (b"A", SIGMA, 3), 406),
    ("TQINLC", (b"A", 0, 1), 402),
    ("TQGTLC", (SIGMA, 1, 6), 407),
    ("TQGTLC", (SIGMA, -1, 1), 406),
    ("TQGTLC", (12, 1, 1), 402),
    ("TQGDAT", (12, 1, b"H", 1), 402),
    ("TQGDAT", (GAS, 4, b"H", 1), 403),
    ("TQGDAT", (GRAPHITE, 1, b"Cp", 4), 1003),
    ("TQGDAT", (GRAPHITE, 1, b"Tt", 0), 1003),
    ("TQGDAT", (GRAPHITE, 1, b"Ht", SMALL), 1003),
    ("TQLPAR", (0, b"G"), 402),
    ("TQGPAR", (12, b"G", 1), 402),
    ("TQGPAR", (SIGMA, b"G", 6), 1021),
    ("TQGPAR", (SIGMA, b"G", 0), 1021),
]


@pytest.mark.parametrize("routine", sorted(GOOD_CALLS))
def test_each_routine_succeeds_on_good_inputs_and_survives_null_outputs(structure, routine):
    buffers = BUFFERS.get(routine, {})
    assert structure.call(routine, *GOOD_CALLS[routine], **buffers).error == 0
    assert structure.call(routine, *GOOD_CALLS[routine], null_outputs=True, **buffers).error == 0


@pytest.mark.parametrize("routine, inputs, number", INDEX_ERRORS)
def test_an_index_out_of_range_gives_its_number_and_writes_nothing(structure, routine, inputs,
                                                                  number):
    result = structure.call(routine, *inputs, **BUFFERS.get(routine, {}))
    assert result.error == number
    assert result.untouched()


def test_counts_of_the_loaded_system(structure):
    s = structure
    assert s.ok("TQNOSC").int() == 4
    assert s.ok("TQNOP").int() == 11
    constituents = [s.ok("TQNOPC", p).int() for p in range(1, 12)]
    assert constituents == [3, 5, 1, 1, 2, 2, 15, 2, 2, 3, 1]
    sublattices = [s.ok("TQNOSL", p).int() for p in range(1, 12)]
    assert sublattices == [1, 1, 0, 0, 1, 1, 2, 1, 1, 1, 0]
    assert [s.ok("TQNOLC", SIGMA, k).int() for k in (1, 2)] == [5, 3]
    assert s.ok("TQNOLC", LIQUID, 1).int() == 5, "one sublattice: the constituents"


# --- names: look-ups and output buffers -----------------------------------------------------------

LOOKUPS = [
    # routine, inputs, error, index found
    ("TQINSC", (b"C",), 0, 3),
    ("TQINSC", (b"e",), 0, 4),
    ("TQINSC", (b"b",), 0, 2),
    ("TQINSC", (b"X",), 305, None),
    ("TQINSC", (b"",), 305, None),
    ("TQINSC", (b"A" * 25,), 301, None),
    ("TQINP", (b"GAS",), 0, GAS),
    ("TQINP", (b"liq",), 0, LIQUID),
    ("TQINP", (b"C(s)   ",), 0, GRAPHITE),
    ("TQINP", (b"HALITE#2",), 0, HALITE2),
    ("TQINP", (b"HALITE",), 302, None),
    ("TQINP", (b"L",), 302, None),
    ("TQINP", (b"LONG_PHASE_NAME_24_CHARS",), 0, LONG_PHASE),
    ("TQINP", (b"LONG_PHASE_NAME_24_CHARSX",), 301, None),
    ("TQINP", (b"GAS\0",), 303, None),
    ("TQINP", (b"SOLID",), 303, None),
    ("TQINPC", (b"A", LIQUID), 0, 1),  # exact before the abbreviation of AB
    ("TQINPC", (LONG_NAME, LIQUID), 0, 5),
    ("TQINPC", (b"L", LIQUID), 0, 5),
    ("TQINPC", (b"A", SIGMA), 302, None),
    ("TQINPC", (b"A:V", SIGMA), 0, 3),
    ("TQINPC", (b"C", GRAPHITE), 0, 1),
    ("TQINPC", (b"D", LIQUID), 304, None),
    ("TQINPC", (b"x" * 1000, LIQUID), 301, None),
    ("TQINLC", (b"A", SIGMA, 1), 0, 1),
    ("TQINLC", (b"v", SIGMA, 2), 0, 3),
    ("TQINLC", (b"AB", SIGMA, 2), 311, None),
    ("TQINLC", (b"A", GAS, 1), 302, None),
    ("TQINLC", (b"AB", FCC, 1), 311, None),
    ("TQINLC", (b"B", FCC, 1), 0, 2),
]


@pytest.mark.parametrize("routine, inputs, error, index", LOOKUPS)
def test_name_lookups_exact_then_unique_abbreviation(structure, routine, inputs, error, index):
    result = structure.call(routine, *inputs)
    assert result.error == error
    if error:
        assert result.untouched(), "the index holder keeps the caller's value"
    else:
        assert result.int() == index


CASE_NAMES = """equilex-data: 1
components:
  - {name: C, mass: 12.011}
  - {name: O, mass: 15.999}
  - {name: Co, mass: 58.933}
phases:
  - name: CO
    model: PURE
    constituents:
      - {name: CO, stoichiometry: [1, 1, 0], H298: -110530, S298: 197.7, cp: [{a: 29, Tt: 3000}]}
  - name: Co
    model: PURE
    constituents:
      - {name: Co, stoichiometry: [0, 0, 1], H298: 0, S298: 30.0, cp: [{a: 25, Tt: 3000}]}
  - name: COBALT_OXIDE
    model: PURE
    constituents:
      - {name: CoO, stoichiometry: [0, 1, 1], H298: -237900, S298: 53.0, cp: [{a: 50, Tt: 3000}]}
"""


@pytest.mark.parametrize("routine, wanted, error, index", [
    ("TQINP", b"CO", 0, 1),  # names differing in case alone are each found as written
    ("TQINP", b"Co", 0, 2),
    ("TQINP", b"co", 302, None),  # equal to both in another case
    ("TQINP", b"cobalt_oxide", 0, 3),
    ("TQINP", b"COB", 0, 3),
    ("TQINPC", b"CO", 0, 1),
    ("TQINSC", b"co", 0, 3),  # one component equal in another case
    ("TQINSC", b"c", 0, 1),  # the equal name before the abbreviation of Co
])
def test_names_differing_in_case_alone_are_each_found(lib, tmp_path, routine, wanted, error,
                                                     index):
    datafile = tmp_path / "case.dat"
    datafile.write_text(CASE_NAMES)
    lib.load(datafile)
    inputs = (wanted, 1) if routine == "TQINPC" else (wanted,)
    result = lib.call(routine, *inputs)
    assert result.error == error
    if error:
        assert result.untouched()
    else:
        assert result.int() == index


NAMES = [
    # routine, inputs, the whole text
    ("TQGNSC", (4,), b"e-"),
    ("TQGNP", (LONG_PHASE,), b"LONG_PHASE_NAME_24_CHARS"),
    ("TQGNP", (HALITE1,), b"HALITE#1"),
    ("TQGNPC", (LIQUID, 5), LONG_NAME),
    ("TQGNPC", (SIGMA, 3), b"A:Va"),
    ("TQGNLC", (SIGMA, 1, 5), b"Va"),
    ("TQGNLC", (FCC, 1, 2), b"B"),
    ("TQMODL", (GRAPHITE,), b"PURE"),
    ("TQMODL", (SIGMA,), b"SUBL"),
    ("TQGSP", (LONG_PHASE,), b"DORMANT"),
    ("TQGSPC", (LIQUID, 1), b"ENTERED"),
]


@pytest.mark.parametrize("blanks", [False, True], ids=["nul", "blanks"])
@pytest.mark.parametrize("length", [3, 24, 25, 26, 40])
@pytest.mark.parametrize("routine, inputs, name", NAMES)
def test_texts_fit_the_passed_length(structure, routine, inputs, name, length, blanks):
    structure.padding(blanks)
    result = structure.ok(routine, *inputs, length=length)
    raw = result.text()
    expected = name[:length]
    if len(expected) < length:
        expected += b" " * (length - len(expected)) if blanks else b"\0"
    assert raw[: len(expected)] == expected
    assert raw[length:] == BYTE_SENTINEL * TEXT_SLACK, "nothing past the passed length"


def test_renaming_a_component(structure):
    s = structure
    twenty_four = b"COMPONENT_NAME_24_CHARS_"
    assert s.ok("TQCNSC", 4, twenty_four + b"   ").error == 0, "trailing blanks dropped"
    assert s.ok("TQGNSC", 4).text().split(b"\0")[0] == twenty_four
    assert s.ok("TQINSC", b"COMP").int() == 4
    refused = [
        (twenty_four + b"X", 301),
        (b"b", 302),  # another component's name, in any case: look-ups ignore case
        (b"", 201),
        (b"   ", 201),
        (b"X\0Y", 201),
        (b"X\tY", 201),
    ]
    for name, number in refused:
        assert s.call("TQCNSC", 4, name).error == number, name
    assert s.ok("TQGNSC", 4).text().split(b"\0")[0] == twenty_four, "unchanged after refusals"
    assert s.ok("TQCNSC", 1, b"a").error == 0, "its own name in another case"
    assert s.ok("TQINSC", b"a").int() == 1
    assert s.ok("TQCNSC", 2, b"  B").error == 0, "leading blanks belong to the name"
    assert s.ok("TQGNSC", 2).text()[:4] == b"  B\0"


# --- statuses -------------------------------------------------------------------------------------


def test_phase_status_round_trip_accepts_what_it_writes(structure):
    s = structure
    for text in (b"DORMANT", b"ELIMINATED", b"ENTERED", b"dormant"):
        s.ok("TQCSP", FCC, text)
        assert s.status(FCC) == text.upper()
    s.padding(blanks=True)
    written = s.ok("TQGSP", LONG_PHASE).text(length=25)
    assert written == b"DORMANT".ljust(25)
    s.ok("TQCSP", FCC, written)
    assert s.status(FCC) == b"DORMANT"
    for text in (b"ENTER", b"", b"DORMANT\0x", b"SUSPENDED"):
        assert s.call("TQCSP", FCC, text).error == 201
    assert s.status(FCC) == b"DORMANT", "a refused text leaves the status"
    s.ok("TQCSP", HALITE1, b"ELIMINATED")
    assert s.status(HALITE2) == b"ENTERED", "each de-mixing copy has its own status"


CONSTITUENT_STATUS_STEPS = [
    # phase, constituent, status, error: one sequence on one loaded system
    (LIQUID, 5, b"DORMANT", 309),  # marked as fixed in the data-file
    (LIQUID, 5, b"ENTERED", 0),  # the status it has: always accepted
    (GRAPHITE, 1, b"ELIMINATED", 309),  # a stoichiometric phase's status is the phase's
    (GRAPHITE, 1, b"ENTERED", 0),
    (FCC, 1, b"DORMANT", 0),
    (FCC, 2, b"ELIMINATED", 310),  # would leave FCC without an entered constituent
    (FCC, 2, b"DORMANT", 310),
    (FCC, 1, b"ELIMINATED", 0),  # a change among the not-entered ones
    (FCC, 1, b"entered", 0),
    (FCC, 2, b"ELIMINATED", 0),
    (FCC, 2, b"ACTIVE", 201),
]


def test_constituent_statuses_follow_the_309_310_rule(structure):
    s = structure
    for phase, constituent, status, error in CONSTITUENT_STATUS_STEPS:
        before = s.status(phase, constituent)
        assert s.call("TQCSPC", phase, constituent, status).error == error, (phase, status)
        after = s.status(phase, constituent)
        assert after == (status.upper() if error == 0 else before)
    assert s.status(FCC, 1) == b"ENTERED" and s.status(FCC, 2) == b"ELIMINATED"
    assert s.status(LIQUID, 5) == b"ENTERED"


# --- stoichiometry, flags, calculated properties --------------------------------------------------


@pytest.mark.parametrize(
    "sample, routine, inputs, coefficients, molar_mass",
    [
        ("structure", "TQSTSC", (3,), [0, 0, 1, 0], 12.011),
        ("structure", "TQSTSC", (4,), [0, 0, 0, 1], 0.00054858),
        ("structure", "TQSTPC", (SIGMA, 4), [3, 1, 0, 0], 3 * 10.5 + 20.25),
        ("structure", "TQSTPC", (AQUEOUS, 3), [0, 1, 0, 1], 20.25 + 0.00054858),
        ("water", "TQSTSC", (1,), [1, 0], None),
        ("water", "TQSTPC", (1, 3), None, None),
    ],
)
def test_stoichiometry_has_exactly_one_coefficient_per_component(
    lib, sample_data_dir, sample, routine, inputs, coefficients, molar_mass
):
    lib.load(sample_data_dir / f"{sample}.dat")
    components = lib.ok("TQNOSC").int()
    result = lib.ok(routine, *inputs)
    array, mass = result.outputs
    assert all(value != DOUBLE_SENTINEL for value in array[:components])
    assert all(value == DOUBLE_SENTINEL for value in array[components:])
    if coefficients is not None:
        assert list(array[:components]) == coefficients
    if molar_mass is not None:
        assert mass[0] == pytest.approx(molar_mass)
    assert all(value == DOUBLE_SENTINEL for value in mass[1:])


def test_incoming_species_flags(structure):
    assert [structure.ok("TQPCIS", GAS, c).int() for c in (1, 2, 3)] == [1, 1, 0]


def test_properties_at_the_current_temperature_of_1000_k(structure):
    s = structure

    def value(option, phase, constituent):
        return s.ok("TQGDPC", option, phase, constituent).outputs[0][0]

    # AB(s): one range, Cp = a + b T + d / T^2.
    a, b, d, t0, t = 48.2, 0.0084, -620000.0, 298.15, 1000.0
    h = -95000 + a * (t - t0) + b / 2 * (t * t - t0 * t0) - d * (1 / t - 1 / t0)
    entropy = 60.8 + a * math.log(t / t0) + b * (t - t0) - d / 2 * (1 / t**2 - 1 / t0**2)
    assert value(b"CP", AB_SOLID, 1) == pytest.approx(a + b * t + d / t**2)
    assert value(b"H", AB_SOLID, 1) == pytest.approx(h)
    assert value(b"S", AB_SOLID, 1) == pytest.approx(entropy)
    assert value(b"G", AB_SOLID, 1) == pytest.approx(h - t * entropy)
    assert value(b"T", AB_SOLID, 1) == 2000.0
    assert value(b"V", AB_SOLID, 1) == 0.0, "no molar-volume data"
    # C(s) at 1000 K lies in its second range; its last range ends at 4000 K.
    assert value(b"CP", GRAPHITE, 1) == pytest.approx(24.0 + 0.0011 * 1000)
    assert value(b"T", GRAPHITE, 1) == 4000.0
    # LIQUID A: M / density * exp(integral of the expansion), in dm3 at 1 bar.
    expansion = 6.5e-05 * (t - t0) + 1e-08 / 2 * (t * t - t0 * t0)
    volume = 10.5 / 1.9 * math.exp(expansion) / 1000
    assert value(b"V", LIQUID, 1) == pytest.approx(volume)
    assert value(b"CP   ", LIQUID, 1) == pytest.approx(31.4)
    for option in (b"cp", b"h", b"Cp", b"", b"CP\0", b"TT", b"X" * 300):
        result = s.call("TQGDPC", option, LIQUID, 1)
        assert result.error == 201 and result.untouched(), option


def test_initial_site_fractions_share_the_sites_among_the_species_that_take_part(structure):
    s = structure

    def fractions(phase, sublattice):
        count = s.ok("TQNOLC", phase, sublattice).int()
        return [s.ok("TQGTLC", phase, sublattice, k).outputs[0][0] for k in range(1, count + 1)]

    assert fractions(SIGMA, 1) == pytest.approx([0.2] * 5)
    assert fractions(SIGMA, 2) == pytest.approx([1 / 3] * 3)
    assert fractions(LIQUID, 1) == pytest.approx([0.2] * 5)
    for constituent in (13, 14, 15):  # Va:A, Va:C, Va:Va
        s.ok("TQCSPC", SIGMA, constituent, b"ELIMINATED")
    s.ok("TQCSPC", LIQUID, 1, b"DORMANT")
    assert fractions(SIGMA, 1) == pytest.approx([0.25, 0.25, 0.25, 0.25, 0.0])
    assert fractions(SIGMA, 2) == pytest.approx([1 / 3] * 3)
    assert fractions(LIQUID, 1) == pytest.approx([0.0, 0.25, 0.25, 0.25, 0.25])


# --- stored data ----------------------------------------------------------------------------------

STORED = [
    # phase, constituent, option, range, values (or an error number)
    (GRAPHITE, 1, b"Cp", 1, [17.15, 0.00427, -1e-07, -879000, -1.5e-09, 3, 150, -1, -0.025, 0.5]),
    (GRAPHITE, 1, b"Cp", 3, [26.5, 0, 0, 0]),
    (AB_SOLID, 1, b"Cp", 1, [48.2, 0.0084, 0, -620000]),
    (GRAPHITE, 1, b"Tt", 2, [1500]),
    (GRAPHITE, 1, b"Ht", 1, [1000]),
    (GRAPHITE, 1, b"Ht  ", 3, [0]),
    (LIQUID, 5, b"H", 999, [-120500]),  # no range needed
    (LIQUID, 1, b"S", 1, [45.3]),
    (LIQUID, 1, b"V", 1, [1.9, 6.5e-05, 1e-08, 0, 0, 5e-06, 0, 0, 0, 4.5, 0]),
    (LIQUID, 2, b"V", 1, [3.4] + [0] * 10),
    (LIQUID, 3, b"V", 1, 1004),
    (GAS, 1, b"V", 1, 1004),
    (GAS, 1, b"Gc", 1, [126.2, 33.98, 90.1, 0.037, 0]),
    (GAS, 2, b"Gc", 1, 1005),
    (LIQUID, 1, b"Gc", 1, 1005),
    (BCC, 2, b"M", 1, [-392, -0.8]),
    (FCC, 1, b"M", 1, 1006),
    (AQUEOUS, 3, b"Ch", 1, [-1]),
    (LIQUID, 1, b"Ch", 1, 1007),
    (GRAPHITE, 1, b"CP", 1, 201),
    (GRAPHITE, 1, b"h", 1, 201),
    (GRAPHITE, 1, b"H\0", 1, 201),
    (GRAPHITE, 1, b"", 1, 201),
]


@pytest.mark.parametrize("phase, constituent, option, cp_range, expected", STORED)
def test_stored_data_of_each_kind(structure, phase, constituent, option, cp_range, expected):
    result = structure.call("TQGDAT", phase, constituent, option, cp_range)
    if isinstance(expected, int):
        assert result.error == expected
        assert result.untouched(), "count and values keep the caller's presets"
        return
    assert result.error == 0
    count, values = result.outputs
    assert count[0] == len(expected) and count[1] == INT_SENTINEL
    assert list(values[: len(expected)]) == pytest.approx(expected)
    assert all(value == DOUBLE_SENTINEL for value in values[len(expected) :])


CHANGES = [
    # selector (i1..i5), read as (phase, constituent, option, range, position)
    ((1, 0, 0, 1, LIQUID), (LIQUID, 1, b"H", 1, 0)),
    ((1, 0, 1, 1, AB_SOLID), (AB_SOLID, 1, b"S", 1, 0)),
    ((1, 2, 2, 1, GRAPHITE), (GRAPHITE, 1, b"Cp", 2, 1)),
    ((1, 1, 6, 1, GRAPHITE), (GRAPHITE, 1, b"Cp", 1, 6)),  # coefficient of the 2nd extra term
    ((1, 1, 8, 1, GRAPHITE), (GRAPHITE, 1, b"Ht", 1, 0)),  # 5 + 3 extra terms
    ((1, 2, 5, 1, GRAPHITE), (GRAPHITE, 1, b"Ht", 2, 0)),  # no extra terms
    ((4, 1, 2, 3, GAS), (GAS, 3, b"Gc", 1, 1)),
    ((4, 1, 1, 2, LIQUID), (LIQUID, 2, b"V", 1, 0)),
    ((4, 3, 1, 1, LIQUID), (LIQUID, 1, b"V", 1, 5)),
    ((4, 4, 2, 1, GRAPHITE), (GRAPHITE, 1, b"V", 1, 10)),
    ((7, 1, 2, 1, BCC), (BCC, 1, b"M", 1, 1)),
]


@pytest.mark.parametrize("selector, read", CHANGES)
def test_a_changed_datum_is_what_the_next_read_gives(structure, selector, read):
    s = structure
    phase, constituent, option, cp_range, position = read
    before = s.stored(phase, constituent, option, cp_range)
    s.ok("TQCDAT", *selector, 2.5)
    after = s.stored(phase, constituent, option, cp_range)
    assert after[position] == 2.5
    assert after[:position] + after[position + 1 :] == before[:position] + before[position + 1 :]


@pytest.mark.parametrize(
    "selector, option, number, row, column",
    [
        ((13, 1, 2, 3, FCC), b"G", 1, 1, 2),
        ((13, 5, 1, 7, SIGMA), b"G", 5, 0, 6),  # a P term beyond A..F
        ((10, 1, 1, 2, BCC), b"M", 1, 0, 1),
    ],
)
def test_a_changed_excess_value_is_what_tqgpar_gives(structure, selector, option, number, row,
                                                     column):
    s = structure
    before = s.parameter(selector[4], option, number)
    s.ok("TQCDAT", *selector, -77.25)
    after = s.parameter(selector[4], option, number)
    before[row][column] = -77.25
    assert after == before


REFUSED_CHANGES = [
    ((0, 0, 0, 1, LIQUID), 1021),
    ((2, 0, 0, 1, LIQUID), 1021),
    ((1, 0, 0, 1, 12), 402),
    ((1, 0, 0, 6, LIQUID), 1024),
    ((1, 0, 2, 1, LIQUID), 1023),
    ((1, 4, 1, 1, GRAPHITE), 1003),
    ((1, -1, 1, 1, GRAPHITE), 1003),
    ((1, 1, 9, 1, GRAPHITE), 1023),
    ((1, 1, 0, 1, GRAPHITE), 1023),
    ((4, 1, 1, 3, LIQUID), 1004),
    ((4, 1, 1, 2, GAS), 1005),
    ((4, 5, 1, 1, LIQUID), 1022),
    ((4, 2, 5, 1, LIQUID), 1023),
    ((4, 1, 6, 1, GAS), 1023),
    ((4, 2, 1, 1, GAS), 1022),
    ((7, 1, 1, 1, FCC), 1006),
    ((7, 2, 1, 1, BCC), 1022),
    ((7, 1, 3, 1, BCC), 1023),
    ((13, 1, 1, 1, BCC), 1008),
    ((13, 1, 1, 1, GRAPHITE), 1008),
    ((10, 1, 1, 1, FCC), 1009),
    ((13, 2, 1, 1, FCC), 1022),
    ((13, 1, 3, 1, FCC), 1023),
    ((13, 1, 1, 7, FCC), 1024),
    ((10, 1, 1, 3, BCC), 1024),
]


def test_refused_changes_give_their_number_and_leave_the_model_as_it_was(structure, tmp_path):
    s = structure
    picture = s.written(tmp_path / "before.dat")
    for selector, number in REFUSED_CHANGES:
        assert s.call("TQCDAT", *selector, 1.0).error == number, selector
    # Values the model's rules refuse: the datum is found, the value is not taken.
    for selector, value in [
        ((1, 0, 0, 1, LIQUID), math.nan),
        ((1, 1, 1, 1, GRAPHITE), math.inf),
        ((4, 1, 1, 1, LIQUID), -1.0),  # a density must be positive
        ((13, 1, 1, 1, FCC), -math.inf),
    ]:
        assert s.call("TQCDAT", *selector, value).error == 201, selector
    assert s.written(tmp_path / "after.dat") == picture


def test_a_change_to_a_demixing_copy_belongs_to_both(structure):
    s = structure
    s.ok("TQCDAT", 1, 0, 0, 2, HALITE2, -140000.0)
    s.ok("TQCDAT", 13, 1, 1, 1, HALITE1, 25000.0)
    assert s.stored(HALITE1, 2, b"H") == s.stored(HALITE2, 2, b"H") == [-140000.0]
    assert s.parameter(HALITE1, b"G", 1) == s.parameter(HALITE2, b"G", 1)
    assert s.parameter(HALITE2, b"G", 1)[0][0] == 25000.0


def test_changed_data_reach_the_calculation_and_survive_writing_and_reading(structure, tmp_path):
    s = structure
    h_before = s.ok("TQGDPC", b"H", AB_SOLID, 1).outputs[0][0]
    s.ok("TQCDAT", 1, 0, 0, 1, AB_SOLID, -90000.5)
    s.ok("TQCDAT", 13, 4, 1, 2, SIGMA, -1.75)
    assert s.stored(AB_SOLID, 1, b"H") == [-90000.5]
    h_after = s.ok("TQGDPC", b"H", AB_SOLID, 1).outputs[0][0]
    assert h_after - h_before == pytest.approx(95000 - 90000.5)
    copy = tmp_path / "changed.dat"
    s.ok("TQWASC", str(copy).encode())
    s.load(copy)
    assert s.stored(AB_SOLID, 1, b"H") == [-90000.5]
    assert s.parameter(SIGMA, b"G", 4) == [[2000, -1.75, 0, 0, 0, 0]]
    assert s.ok("TQGDPC", b"H", AB_SOLID, 1).outputs[0][0] == pytest.approx(h_after)


# --- excess parameters ----------------------------------------------------------------------------


@pytest.mark.parametrize("blanks", [False, True], ids=["nul", "blanks"])
def test_interaction_strings_byte_for_byte(structure, blanks):
    s = structure
    s.padding(blanks)
    fields = s.interactions(SIGMA, b"G")
    assert len(fields) == 5
    for field, text in zip(fields, SIGMA_STRINGS):
        assert field[: len(text)] == text
        rest = field[len(text) :]
        assert rest == (b" " * len(rest) if blanks else b"\0" + BYTE_SENTINEL * (len(rest) - 1))
    assert [f.split(b"\0")[0].strip() for f in s.interactions(FCC, b"G")] == [b"1: *2 ( 1)-( 2)"]
    assert [f.split(b"\0")[0].strip() for f in s.interactions(BCC, b"M ")] == [b"1: *2 ( 1)-( 2)"]


def test_interaction_list_details(structure):
    s = structure
    narrow = s.interactions(SIGMA, b"G", length=30)
    assert [f.split(b"\0")[0] for f in narrow] == SIGMA_STRINGS, "fields at the passed stride"
    assert [f for f in s.interactions(SIGMA, b"G", length=10)] == [t[:10] for t in SIGMA_STRINGS]
    result = s.ok("TQLPAR", SIGMA, b"G", length=156, room=1999 * 156)
    assert list(result.outputs[2][:6]) == [1, 2, 1, 1, 1, INT_SENTINEL], "expressions each"
    for phase, option in [(FCC, b"M"), (BCC, b"G"), (GRAPHITE, b"G"), (GAS, b"M")]:
        result = s.ok("TQLPAR", phase, option, length=156, room=1999 * 156)
        assert result.int() == 0
        assert result.outputs[1].raw == BYTE_SENTINEL * (1999 * 156)
    for option in (b"g", b"GM", b"", b"E"):
        result = s.call("TQLPAR", SIGMA, option, length=156, room=1999 * 156)
        assert result.error == 201 and result.untouched()


def test_parameter_values_in_the_column_major_table(structure):
    s = structure
    result = s.ok("TQGPAR", FCC, b"G", 1)
    rows, columns, table = result.int(0), result.int(1), result.outputs[2]
    assert (rows, columns) == (2, 6)
    assert [table[20 * j] for j in range(6)] == [-12000, 4.5, 0, 0, 0, 0]
    assert [table[1 + 20 * j] for j in range(6)] == [3500, -1.25, 0, 0, 0, 0]
    used = {k + 20 * j for k in range(2) for j in range(6)}
    assert all(table[i] == DOUBLE_SENTINEL for i in range(DOUBLE_ROOM) if i not in used)
    assert s.parameter(BCC, b"M", 1) == [[-450, -0.35]]
    assert s.parameter(SIGMA, b"G", 5) == [[-1000, 0, 0.5, 0, 0, 0, 100, 0]]
    for phase, option, number in [(BCC, b"G", 1), (FCC, b"M", 1), (GRAPHITE, b"M", 1)]:
        result = s.call("TQGPAR", phase, option, number)
        assert result.error == (1008 if option == b"G" else 1009) and result.untouched()
    assert s.call("TQGPAR", FCC, b"m", 1).error == 201


# --- the data formats -----------------------------------------------------------------------------


@pytest.mark.parametrize("fmt", ["cst", "bin"])
def test_stored_data_routines_need_ascii_data_and_the_other_queries_do_not(lib, sample_data_dir,
                                                                          fmt):
    lib.load(sample_data_dir / f"structure.{fmt}")
    for routine, inputs in [
        ("TQGDAT", (1, 1, b"H", 1)),
        ("TQCDAT", (1, 0, 0, 1, 1, 5.0)),
        ("TQLPAR", (SIGMA, b"G")),
        ("TQGPAR", (FCC, b"G", 1)),
    ]:
        result = lib.call(routine, *inputs, **BUFFERS.get(routine, {}))
        assert result.error == 1000 and result.untouched(), routine
    for routine in sorted(set(GOOD_CALLS) - {"TQGDAT", "TQCDAT", "TQLPAR", "TQGPAR"}):
        assert lib.call(routine, *GOOD_CALLS[routine], **BUFFERS.get(routine, {})).error == 0
    assert lib.ok("TQGNPC", LIQUID, 5).text().split(b"\0")[0] == LONG_NAME
