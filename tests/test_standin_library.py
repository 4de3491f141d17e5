"""The stand-in Equilex library through ctypes alone: what the engine's own tests cannot see.

Every test loads its own copy of libequilex.so under a name of its own, so each starts from a
freshly loaded, uninitialised library (copies under other names are independent libraries).
"""

import ctypes
import re
import shutil
from pathlib import Path

import pytest

HEADER = Path(__file__).resolve().parents[1] / "standin" / "include" / "equilex.h"

# Routines that work before TQINI; every other routine answers 101 until it has been called.
WITHOUT_TQINI = {"TQVERS", "TQSIZE", "TQCPRT", "TQERR", "TQCLOS"}

# The queries of a loaded system: after TQINI and before any data-file, 104.
SYSTEM_QUERIES = """TQNOSC TQGNSC TQINSC TQSTSC TQCNSC TQNOP TQGSP TQCSP TQGNP TQMODL TQNOPC TQNOSL
    TQINP TQINPC TQPCIS TQGNPC TQSTPC TQGSPC TQCSPC TQGDPC TQNOLC TQGNLC TQINLC TQGTLC TQGDAT
    TQCDAT TQLPAR TQGPAR""".split()

UNIT_ROUTINES = ["TQOPEN", "TQOPNA", "TQOPNT", "TQOPNB"]

INT_SENTINEL = -7777
DOUBLE_SENTINEL = 12345.5
BYTE_SENTINEL = b"\x5a"
TEXT_ROOM = 1999 * 156  # the largest text buffer a routine is given


def parse_header():
    """Routine name -> list of parameter types, from the header's declarations."""
    text = HEADER.read_text()
    routines = {}
    for name, params in re.findall(r"EQX_API\s+void\s+EQX_STDCALL\s+(TQ\w+)\((.*?)\);", text, re.S):
        types = [" ".join(p.split()).rsplit(" ", 1)[0] for p in params.split(",")]
        routines[name] = types
    return routines


ROUTINES = parse_header()


class Library:
    """One loaded image, with a call helper that returns the error number."""

    def __init__(self, path):
        self.path = path
        self.dll = ctypes.CDLL(str(path))

    def call(self, routine, *arguments):
        error = ctypes.c_int(INT_SENTINEL)
        getattr(self.dll, routine)(*arguments, ctypes.byref(error))
        return error.value

    def ini(self):
        assert self.call("TQINI") == 0

    def gio(self, option):
        value = ctypes.c_int(INT_SENTINEL)
        error = self.call("TQGIO", option, len(option), ctypes.byref(value))
        return error, value.value

    def cio(self, option, value):
        return self.call("TQCIO", option, len(option), ctypes.byref(ctypes.c_int(value)))

    def open(self, routine, path, unit):
        name = bytes(path) if isinstance(path, (bytes, bytearray)) else str(path).encode()
        return self.call(routine, name, len(name), ctypes.byref(ctypes.c_int(unit)))

    def close(self, unit):
        return self.call("TQCLOS", ctypes.byref(ctypes.c_int(unit)))

    def err(self, length=240, room=None):
        """The raw bytes TQERR leaves in a block of `room` bytes (default: length)."""
        block = ctypes.create_string_buffer(BYTE_SENTINEL * (room or length), room or length)
        assert self.call("TQERR", block, length) == 0
        return block.raw

    def report(self, code):
        self.dll.eqx_standin_report(code)


@pytest.fixture
def load(libequilex_path, tmp_path):
    """Loads a private copy of the library; load("name") gives the copy of that name."""

    def loader(name="libequilex_test.so"):
        copy = tmp_path / name
        if not copy.exists():
            shutil.copyfile(libequilex_path, copy)
        return Library(copy)

    return loader


@pytest.fixture
def lib(load):
    return load()


@pytest.fixture
def log(lib, tmp_path):
    """An initialised library with an empty log file open on unit 6, as an engine opens it."""
    path = tmp_path / "run.log"
    path.write_bytes(b"")
    lib.ini()
    assert lib.open("TQOPNA", path, 6) == 0
    return path


def make_arguments(types, null_pointers=False):
    """Arguments for one call of a routine, outputs preset to sentinels; and the outputs."""
    arguments, outputs = [], []
    for kind in types[:-1]:  # the error number is added by Library.call
        if kind == "int32_t":  # the length after a text or buffer
            arguments.append(0 if null_pointers else TEXT_ROOM)
        elif null_pointers:
            arguments.append(None)
        elif kind == "const char*":
            arguments.append(ctypes.create_string_buffer(b"X" * TEXT_ROOM, TEXT_ROOM))
        elif kind == "char*":
            buffer = ctypes.create_string_buffer(BYTE_SENTINEL * TEXT_ROOM, TEXT_ROOM)
            arguments.append(buffer)
            outputs.append(buffer)
        elif kind == "const int32_t*":
            arguments.append(ctypes.byref(ctypes.c_int(1)))
        elif kind == "int32_t*":
            holder = (ctypes.c_int * 2000)(*([INT_SENTINEL] * 2000))
            arguments.append(holder)
            outputs.append(holder)
        elif kind == "const double*":
            arguments.append((ctypes.c_double * 2)(1.0, 2.0))
        elif kind == "double*":
            holder = (ctypes.c_double * 600)(*([DOUBLE_SENTINEL] * 600))
            arguments.append(holder)
            outputs.append(holder)
        else:
            raise AssertionError(f"unexpected parameter type {kind!r}")
    return arguments, outputs


def untouched(output):
    if isinstance(output, ctypes.Array) and output._type_ is ctypes.c_char:
        return output.raw == BYTE_SENTINEL * len(output)
    sentinel = INT_SENTINEL if output._type_ is ctypes.c_int else DOUBLE_SENTINEL
    return all(value == sentinel for value in output)


def test_header_declares_every_routine_and_the_library_exports_it(lib):
    assert len(ROUTINES) == 67
    for name, types in ROUTINES.items():
        assert types[-1] == "int32_t*", f"{name}: the error number comes last"
        for position, kind in enumerate(types):
            if kind.endswith("char*"):
                assert types[position + 1] == "int32_t", f"{name}: a length follows each text"
        assert hasattr(lib.dll, name), f"{name} is not exported"


@pytest.mark.parametrize("name", sorted(set(ROUTINES) - WITHOUT_TQINI - {"TQINI"}))
def test_routines_answer_101_before_tqini_and_write_nothing_else(lib, name):
    arguments, outputs = make_arguments(ROUTINES[name])
    assert lib.call(name, *arguments) == 101
    assert all(untouched(output) for output in outputs)


@pytest.mark.parametrize("name", SYSTEM_QUERIES)
def test_system_queries_answer_104_without_data_and_write_nothing_else(lib, name):
    lib.ini()
    arguments, outputs = make_arguments(ROUTINES[name])
    assert lib.call(name, *arguments) == 104
    assert all(untouched(output) for output in outputs)


@pytest.mark.parametrize("initialised", [False, True], ids=["before TQINI", "after TQINI"])
def test_null_pointers_and_zero_lengths_never_crash(lib, initialised):
    if initialised:
        lib.ini()
    for name, types in ROUTINES.items():
        arguments, _ = make_arguments(types, null_pointers=True)
        assert lib.call(name, *arguments) >= 0, name
        getattr(lib.dll, name)(*arguments, None)  # no error holder: nothing to report to


def test_routines_without_tqini(lib):
    version = ctypes.c_int(0)
    assert lib.call("TQVERS", ctypes.byref(version)) == 0
    assert version.value >= 634
    sizes = [ctypes.c_int(0) for _ in range(11)]
    assert lib.call("TQSIZE", *map(ctypes.byref, sizes)) == 0
    assert all(size.value > 0 for size in sizes)
    assert lib.call("TQCPRT") == 0
    assert lib.err().split(b"\0")[0].startswith(b"Equilex")


# --- TQERR and the message on the ERROR unit ----------------------------------------------------


def fields(raw, width=80):
    return [raw[i : i + width] for i in range(0, 3 * width, width)]


def message_of_fields(raw, field):
    """Each field up to its NUL (or whole), checked to begin and end with no blank, and the
    fields joined as a reader that strips them must join them: with nothing between."""
    pieces = []
    for k in range(3):
        piece = raw[k * field : (k + 1) * field].split(b"\0")[0]
        assert piece == piece.strip(), "a blank at a cut would be lost to the reader"
        if len(piece) < field:
            assert raw[k * field + len(piece)] == 0, "a shorter field ends in a NUL"
        pieces.append(piece)
    return b"".join(pieces)


@pytest.mark.parametrize(
    "code, lines",
    [
        (107, [b"The file cannot be opened"]),
        (
            156,  # the first line fills its field exactly
            [
                b"The size of the thermochemical system is different from what is specified in the",
                b"header",
            ],
        ),
        (
            514,
            [
                b"Incoming amounts for metallic constituents of phases described by the",
                b"two-sublattice ionic formalism and for constituents of phases described by the",
                b"species chemical potential/bond energy formalism cannot be entered",
            ],
        ),
    ],
)
def test_tqerr_gives_the_message_as_80_byte_fields_and_the_log_the_same_lines(
    lib, log, code, lines
):
    lib.report(code)
    assert message_of_fields(lib.err(), 80) == b" ".join(lines)
    # The log, read by a person, keeps lines broken at blanks.
    assert log.read_bytes() == b"".join(line + b"\n" for line in lines), "flushed at once"


@pytest.mark.parametrize("length", [240, 90, 300, 2, 0, -5])
def test_tqerr_fields_are_a_third_of_the_length_and_nothing_is_written_past_it(lib, length):
    room = 400
    lib.report(156)
    raw = lib.err(length, room)
    written = max(length, 0)
    field = written // 3
    message = (b"The size of the thermochemical system is different from what is specified in the"
               b" header")
    assert raw[written:] == BYTE_SENTINEL * (room - written)
    if field == 0:
        assert raw[:written] == BYTE_SENTINEL * written
        return
    joined = message_of_fields(raw, field)
    assert message.startswith(joined)
    if 3 * field >= len(message) + 6:  # room enough for cuts moved back from a blank
        assert joined == message


def test_tqerr_without_a_message_gives_three_empty_fields(lib):
    lib.report(107)
    lib.ini()  # TQINI forgets the message
    assert [field[0] for field in fields(lib.err())] == [0, 0, 0]


def test_blank_padding_fills_each_field(lib):
    lib.dll.eqx_standin_set_padding(1)
    assert lib.dll.eqx_standin_padding() == 1
    lib.report(107)
    first, second, third = fields(lib.err())
    assert first == b"The file cannot be opened".ljust(80)
    assert second == third == b" " * 80
    lib.dll.eqx_standin_set_padding(0)
    assert fields(lib.err())[0].startswith(b"The file cannot be opened\0")


def test_messages_go_to_the_error_unit_only_while_a_file_is_open_there(lib, log):
    lib.report(107)
    assert lib.cio(b"ERROR", 7) == 0  # nothing open on unit 7
    lib.report(108)
    assert lib.cio(b"ERROR", 6) == 0
    assert lib.close(6) == 0
    lib.report(201)
    assert log.read_bytes() == b"The file cannot be opened\n"


def test_a_failed_open_writes_the_message_and_the_file_name(lib, log, tmp_path):
    missing = tmp_path / "missing.dat"
    assert lib.open("TQOPNA", missing, 10) == 107
    assert log.read_bytes() == b"The file cannot be opened\n" + str(missing).encode() + b"\n"


def test_a_file_name_with_bytes_above_127_opens_and_is_logged_in_ascii(lib, log, tmp_path,
                                                                      monkeypatch):
    # Paths are the file system's bytes (the basic road passes them as it finds them); the log
    # quotes each byte above 127 as \xNN, so that it stays ASCII.
    monkeypatch.chdir(tmp_path)
    name = b"caf\xc3\xa9_\xe9t\xe9.dat"
    assert lib.open("TQOPNA", name, 10) == 107
    assert log.read_bytes() == b"The file cannot be opened\ncaf\\xc3\\xa9_\\xe9t\\xe9.dat\n"
    with open(name, "wb"):
        pass
    assert lib.open("TQOPNA", name, 10) == 0


# --- languages -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "language, text",
    [
        (1, b"The file cannot be opened"),
        (2, b"Die Datei kann nicht geoeffnet werden"),
        (3, b"Le fichier ne peut pas etre ouvert"),
        (4, b"Filen kan inte oppnas"),
        (5, b"Tiedostoa ei voida avata"),
    ],
)
def test_messages_follow_the_language_in_ascii(lib, log, tmp_path, language, text):
    assert lib.cio(b"LANGUAGE", language) == 0
    assert lib.open("TQOPNA", tmp_path / "missing.dat", 10) == 107
    assert lib.err().split(b"\0")[0] == text
    assert log.read_bytes().splitlines()[0] == text
    assert lib.cio(b"LANGUAGE", 1) == 0
    assert lib.err().split(b"\0")[0] == text, "a message keeps the language it was made in"


@pytest.mark.parametrize("language", [0, 6, -1, 2**31 - 1])
def test_an_unknown_language_is_refused_and_the_language_kept(lib, language):
    lib.ini()
    assert lib.cio(b"LANGUAGE", 2) == 0
    assert lib.cio(b"LANGUAGE", language) == 106
    assert lib.gio(b"LANGUAGE") == (0, 2)
    german = b"Der eingegebene Sprachindex liegt ausserhalb des zulaessigen Bereichs"
    assert lib.err().split(b"\0")[0] == german


# --- options and units ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "option, expected",
    [
        (b"FILE", (0, 10)),
        (b"ERROR", (0, 6)),
        (b"LIST", (0, 6)),
        (b"LANGUAGE", (0, 1)),
        (b"language", (0, 1)),
        (b"FILE   ", (0, 10)),
        (b"FIL", (201, INT_SENTINEL)),
        (b" FILE", (201, INT_SENTINEL)),
        (b"FILE\0", (201, INT_SENTINEL)),
        (b"", (201, INT_SENTINEL)),
    ],
)
def test_io_options_after_tqini(lib, option, expected):
    lib.ini()
    assert lib.gio(option) == expected


def test_tqini_resets_the_options_but_keeps_open_units(lib, log):
    assert lib.cio(b"FILE", 20) == 0
    assert lib.cio(b"LIST", 1) == 0
    assert lib.cio(b"LANGUAGE", 3) == 0
    lib.ini()
    assert [lib.gio(o)[1] for o in (b"FILE", b"ERROR", b"LIST", b"LANGUAGE")] == [10, 6, 6, 1]
    lib.report(107)
    assert log.read_bytes() == b"The file cannot be opened\n", "unit 6 stayed open"


BAD_UNITS = [11, 15, 19, 0, -1, -(2**31)]
GOOD_UNITS = [1, 6, 10, 20, 2**31 - 1]


@pytest.mark.parametrize("unit", BAD_UNITS + GOOD_UNITS)
def test_unit_numbers_11_to_19_and_below_1_are_refused_everywhere(lib, tmp_path, unit):
    lib.ini()
    expected = 105 if unit in BAD_UNITS else 0
    data = tmp_path / "data.dat"
    data.write_bytes(b"x")
    for option in (b"FILE", b"ERROR", b"LIST"):
        assert lib.cio(option, unit) == expected
    for routine in UNIT_ROUTINES:
        assert lib.open(routine, data, unit) == expected
        assert lib.close(unit) == expected


@pytest.mark.parametrize("initialised", [False, True], ids=["before TQINI", "after TQINI"])
def test_closing_a_unit_with_nothing_open_succeeds(lib, initialised):
    if initialised:
        lib.ini()
    assert lib.close(6) == 0
    assert lib.close(6) == 0


def test_tqopna_opens_only_existing_files_and_tqopen_creates_them(lib, tmp_path):
    lib.ini()
    existing = tmp_path / "a.dat"
    existing.write_bytes(b"x")
    new = tmp_path / "new.txt"
    assert lib.open("TQOPNA", tmp_path / "none.dat", 10) == 107
    assert lib.open("TQOPNT", tmp_path / "none.cst", 10) == 107
    assert lib.open("TQOPNA", tmp_path, 10) == 107, "a directory is no data-file"
    assert lib.open("TQOPNA", b"", 10) == 107
    # An embedded NUL would otherwise open the file named by the bytes before it.
    assert lib.open("TQOPNA", str(existing).encode() + b"\0junk", 10) == 107
    assert lib.open("TQOPNA", existing, 10) == 0
    assert lib.open("TQOPEN", new, 20) == 0 and new.exists()
    assert lib.close(20) == 0 and lib.close(10) == 0


def test_a_failed_reopen_keeps_the_file_open_on_the_unit(lib, log, tmp_path):
    assert lib.open("TQOPNA", tmp_path / "none.dat", 6) == 107
    lib.report(108)
    assert log.read_bytes().splitlines()[-1] == b"The file cannot be closed"


def test_reopening_a_unit_replaces_its_file(lib, log, tmp_path):
    second = tmp_path / "second.log"
    second.write_bytes(b"")
    assert lib.open("TQOPNA", second, 6) == 0
    lib.report(108)
    assert b"closed" not in log.read_bytes()
    assert second.read_bytes() == b"The file cannot be closed\n"


# --- names taken in --------------------------------------------------------------------------------


def names_block(*names):
    """The 30 fields of 25 bytes TQCSC takes."""
    return b"".join(name.ljust(25, b"\0") for name in names).ljust(30 * 25, b"\0")


# The routines that take a name into the library: a name with a byte above 127 is refused,
# since every name the library hands out again must be ASCII; without that byte it is taken.
NAMES_TAKEN_IN = {
    "TQCNSC": (lambda name: (ctypes.byref(ctypes.c_int(1)), name, len(name)), b"Ca\xe9", 201),
    "TQSTTP": (lambda name: (name, len(name), (ctypes.c_double * 2)(300.0, 1.0)), b"feed\xe9",
               202),
    "TQCSC": (lambda name: (names_block(b"Ca", b"C", name), 25), b"O\xc3\xa9", 306),
}


@pytest.mark.parametrize("routine", NAMES_TAKEN_IN)
def test_a_name_with_a_byte_above_127_is_refused(lib, log, sample_data_dir, routine):
    arguments, name, number = NAMES_TAKEN_IN[routine]
    assert lib.open("TQOPNA", sample_data_dir / "limestone.dat", 10) == 0
    assert lib.call("TQRFIL") == 0
    assert lib.call(routine, *arguments(name)) == number
    components = []
    for index in (1, 2, 3):
        buffer = ctypes.create_string_buffer(25)
        assert lib.call("TQGNSC", ctypes.byref(ctypes.c_int(index)), buffer, 25) == 0
        components.append(buffer.value)
    assert components == [b"Ca", b"C", b"O"], "nothing renamed"
    assert log.read_bytes().isascii()
    assert lib.call(routine, *arguments(bytes(b for b in name if b < 128))) == 0


# --- one state per image -------------------------------------------------------------------------


def test_copies_under_other_names_are_independent_and_one_path_shares_its_state(load):
    first = load("libequilex_a.so")
    second = load("libequilex_b.so")
    first_again = Library(first.path)
    first.ini()
    assert first.cio(b"LANGUAGE", 4) == 0
    assert second.gio(b"LANGUAGE")[0] == 101, "the copy was never initialised"
    assert first_again.gio(b"LANGUAGE") == (0, 4)
    second.ini()
    assert second.gio(b"LANGUAGE") == (0, 1)
    assert first.gio(b"LANGUAGE") == (0, 4)


def test_reset_hook_returns_to_a_freshly_loaded_image(lib, log):
    lib.dll.eqx_standin_set_padding(1)
    lib.dll.eqx_standin_reset()
    assert lib.gio(b"FILE")[0] == 101
    assert lib.dll.eqx_standin_padding() == 0
    lib.ini()
    lib.report(107)
    assert log.read_bytes() == b"", "reset closed unit 6"


def test_equilibria_hook_counts_each_single_equilibrium(engine, libequilex_path, sample_data_dir):
    from equilibrium_support import load as load_data

    counter = ctypes.CDLL(str(libequilex_path)).eqx_standin_equilibria  # the engine's image
    counter.restype = ctypes.c_int64
    load_data(engine, sample_data_dir / "limestone.dat")
    engine.tqsetc("IA", 2, 1, 1.0)
    for call in (engine.tqce, engine.tqcen):
        before = counter()
        call(" ", 0, 0, (0.0, 0.0))
        assert engine.last_error == 0
        assert counter() - before == 1
    engine.tqremc(0)
    before = counter()
    engine.tqce(" ", 0, 0, (0.0, 0.0))
    assert engine.last_error == 508 and counter() == before  # refused before any equilibrium
