"""Input/output options and file units, the language setting, and load_datafile's choices.

The stand-in library is reached on both roads: directly, and through the stand-in equilex.basic,
which calls the same library file and raises its errors instead of recording them.
"""

import gc

import numpy as np
import pytest

from equilexproxy import entities, raw
from fakes import ADDRESS, INT_P, LENGTH

Language = entities.Language


def refused(engine, call, number):
    """Makes a call that the library refuses with `number`: recorded on the library road, raised
    by equilex.basic on the basic road. Returns what the call returned."""
    if engine.use_eqpy:
        before = engine.last_error
        with pytest.raises(Exception) as caught:
            call()
        assert caught.value.number == number
        assert engine.last_error == before
        return None
    result = call()
    assert engine.last_error == number
    return result


# --- options and units on the stand-in ---------------------------------------------------------


@pytest.mark.parametrize(
    "option, value", [("FILE", 10), ("ERROR", 6), ("LIST", 6), ("LANGUAGE", 1)]
)
def test_defaults_after_tqini(standin_engine, option, value):
    standin_engine.tqcio(option, 2 if option == "LANGUAGE" else 20)
    standin_engine.tqini()
    assert standin_engine.tqgio(option) == value


@pytest.mark.parametrize("option", ["FILE", "ERROR", "LIST"])
@pytest.mark.parametrize("unit", [11, 15, 19])
def test_units_11_to_19_are_refused(standin_engine, option, unit):
    assert refused(standin_engine, lambda: standin_engine.tqcio(option, unit), 105) is None
    assert standin_engine.tqgio(option) == (10 if option == "FILE" else 6)


@pytest.mark.parametrize("unit", [1, 10, 20, 99])
def test_permitted_units(standin_engine, unit):
    standin_engine.tqcio("LIST", unit)
    assert standin_engine.tqgio("LIST") == unit
    assert standin_engine.last_error == 0


def test_language_round_trip(standin_engine):
    standin_engine.tqcio("LANGUAGE", 2)
    assert standin_engine.tqgio("LANGUAGE") == 2
    refused(standin_engine, lambda: standin_engine.tqcio("LANGUAGE", 9), 106)
    assert standin_engine.tqgio("LANGUAGE") == 2


def test_opening_a_missing_file(standin_engine, tmp_path):
    missing = str(tmp_path / "missing.dat")
    for method in ("tqopna", "tqopnt", "tqopnb"):
        opening = getattr(standin_engine, method)
        assert refused(standin_engine, lambda: opening(missing, 10), 107) is None


def test_opening_under_a_refused_unit(standin_engine, tmp_path):
    existing = tmp_path / "existing.dat"
    existing.write_text("")
    refused(standin_engine, lambda: standin_engine.tqopna(str(existing), 15), 105)


def test_closing_a_unit_with_nothing_open(engine):
    heard = []
    engine.error_listeners.append(heard.append)
    assert engine.tqclos(6) is None
    assert engine.tqclos(6) is None
    assert len(heard) == 2


def test_open_and_close_a_file_for_output(engine, tmp_path):
    output = tmp_path / "lists.txt"
    assert engine.tqopen(str(output), 21) is None
    assert engine.tqclos(21) is None
    assert engine.last_error == 0 and output.exists()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda e: e.tqopen("lists.txt", True),
         "Argument 'unit' has incorrect type (expected int, got bool)"),
        (lambda e: e.tqcio(None, 6),
         "Argument 'option' has incorrect type (expected str, got NoneType)"),
        (lambda e: e.tqclos(6.0), "Argument 'unit' has incorrect type (expected int, got float)"),
        (lambda e: e.tqgio(1), "Argument 'option' has incorrect type (expected str, got int)"),
        (lambda e: e.tqopnb("a.bin", np.int32(10)),
         "Argument 'unit' has incorrect type (expected int, got numpy.int32)"),
    ],
)
def test_type_errors_reach_nothing(standin_engine, call, message):
    standin_engine.last_error = 104
    heard = []
    standin_engine.error_listeners.append(heard.append)
    with pytest.raises(TypeError) as caught:
        call(standin_engine)
    assert str(caught.value) == message
    assert heard == [] and standin_engine.last_error == 104


def test_non_ascii_file_name(engine):
    engine.last_error = 104
    heard = []
    engine.error_listeners.append(heard.append)
    with pytest.raises(UnicodeEncodeError):
        engine.tqopna("donn\u00e9es.dat", 10)
    assert heard == [] and engine.last_error == 104


def test_the_log_file_receives_the_library_messages(standin_dir, tmp_path):
    gc.collect()  # no other engine may close unit 6 meanwhile
    engine = raw.EquilexProxy("libequilex", logfile=str(tmp_path / "run.log"))
    assert engine.logfile == str(tmp_path / "run.log")
    engine.tqcio("FILE", 15)
    engine.tqopna(str(tmp_path / "missing.dat"), 10)
    logged = (tmp_path / "run.log").read_bytes().decode("ascii")
    assert raw.equilex_errors[105] in logged and raw.equilex_errors[107] in logged
    assert logged.index(raw.equilex_errors[105]) < logged.index(raw.equilex_errors[107])
    del engine
    gc.collect()
    # Unit 6 was closed with the engine: later messages go elsewhere.
    other = raw.EquilexProxy("libequilex")
    other.tqcio("FILE", 15)
    assert (tmp_path / "run.log").read_bytes().decode("ascii") == logged


# --- the basic road: unit numbers and options unchanged ----------------------------------------


@pytest.mark.parametrize(
    "method, args",
    [
        ("tqopen", ("lists.txt", 21)),
        ("tqopna", ("a.dat", 10)),
        ("tqopnt", ("a.cst", 10)),
        ("tqopnb", ("a.bin", 20)),
        ("tqclos", (10,)),
        ("tqclos", (6,)),
        ("tqcio", ("FILE", 20)),
        ("tqcio", ("language", 2)),
        ("tqgio", ("LIST",)),
        ("tqrfil", ()),
        ("tqrcst", ()),
        ("tqrbin", ()),
        ("tqvers", ()),
        ("tqsize", ()),
        ("tqused", ()),
    ],
)
def test_basic_road_passes_arguments_unchanged(basic_engine, fake_basic, method, args):
    answer = object()
    fake_basic.answer(method, answer)
    assert getattr(basic_engine, method)(*args) is answer
    assert fake_basic.calls == [(method, args)]


# --- the language descriptor -------------------------------------------------------------------


class Carrier:
    """Any object with tqgio and tqcio can carry the descriptor."""

    language = entities.LanguageDesc()

    def __init__(self, code=1):
        self.code = code
        self.calls = []

    def tqgio(self, option):
        self.calls.append(("tqgio", option))
        return self.code

    def tqcio(self, option, unitno):
        self.calls.append(("tqcio", option, unitno))
        return "dropped"


@pytest.mark.parametrize(
    "value, code",
    [
        ("german", 2), ("German", 2), ("GERMAN", 2), ("fInNiSh", 5),
        (Language.FRENCH, 3), (4, 4), (9, 9), (0, 0), (-1, -1),
    ],
)
def test_language_assignment_sends_a_code(value, code):
    carrier = Carrier()
    carrier.language = value
    assert carrier.calls == [("tqcio", "LANGUAGE", code)]
    assert "language" not in vars(carrier)


class MyInt(int):
    pass


class MyStr(str):
    pass


@pytest.mark.parametrize(
    "value", [True, 2.0, None, MyInt(2), MyStr("GERMAN"), np.int64(2), b"GERMAN", [2]]
)
def test_language_assignment_refuses_other_types(value):
    carrier = Carrier()
    with pytest.raises(ValueError) as caught:
        carrier.language = value
    assert str(caught.value) == (
        "value must be a language code, language name or a member of Language enumeration"
    )
    assert carrier.calls == []


@pytest.mark.parametrize("name", [" german", "german ", "DEUTSCH", ""])
def test_language_assignment_of_an_unknown_name(name):
    carrier = Carrier()
    with pytest.raises(KeyError) as caught:
        carrier.language = name
    assert caught.value.args == (name.upper(),)
    assert carrier.calls == []


@pytest.mark.parametrize("code, name", [(1, "ENGLISH"), (2, "GERMAN"), (5, "FINNISH")])
def test_language_read(code, name):
    carrier = Carrier(code)
    assert carrier.language == name
    assert carrier.calls == [("tqgio", "LANGUAGE")]


@pytest.mark.parametrize("code", [0, 6, None, "1"])
def test_language_read_of_a_code_without_member(code):
    with pytest.raises(ValueError):
        Carrier(code).language


def test_language_descriptor_calls():
    descriptor = vars(Carrier)["language"]
    carrier = Carrier(3)
    assert descriptor.__get__(carrier, Carrier) == "FRENCH"
    assert descriptor.__get__(instance=carrier, owner=None) == "FRENCH"
    assert descriptor.__set__(carrier, "swedish") is None
    assert descriptor.__set__(instance=carrier, value=1) is None
    assert carrier.calls[2:] == [("tqcio", "LANGUAGE", 4), ("tqcio", "LANGUAGE", 1)]


def test_language_without_an_engine():
    with pytest.raises(AttributeError):
        raw.EquilexProxy.language
    with pytest.raises(AttributeError):
        Carrier.language

    class Mute:
        language = entities.LanguageDesc()

    # tqcio is looked up before the value is worked out.
    with pytest.raises(AttributeError):
        Mute().language = "no such language"


def test_language_cannot_be_deleted(make_engine):
    engine = make_engine()
    with pytest.raises(AttributeError):
        del engine.language


def test_language_on_the_stand_in(standin_engine):
    assert standin_engine.language == "ENGLISH"
    standin_engine.language = "german"
    assert standin_engine.language == "GERMAN" and standin_engine.tqgio("LANGUAGE") == 2
    standin_engine.language = Language.FINNISH
    assert standin_engine.language == "FINNISH"
    assert "language" not in vars(standin_engine)


def test_language_code_the_library_refuses(engine):
    engine.language = 9
    assert engine.last_error == 106
    assert engine.language == "ENGLISH"


# --- load_datafile: choosing the format ---------------------------------------------------------


def recorder(engine):
    """Replaces the six methods load_datafile calls on the engine with recording ones."""
    calls = []
    for name in ("tqopna", "tqopnt", "tqopnb", "tqrfil", "tqrcst", "tqrbin", "tqclos"):
        setattr(engine, name, lambda *args, _name=name: calls.append((_name, *args)))
    return calls


@pytest.mark.parametrize(
    "filename, opening, reading",
    [
        ("system.dat", "tqopna", "tqrfil"),
        ("SYSTEM.DAT", "tqopna", "tqrfil"),
        ("a.Cst", "tqopnt", "tqrcst"),
        ("dir.bin/b.BIN", "tqopnb", "tqrbin"),
        (".dat", "tqopna", "tqrfil"),
        ("x.cst.dat", "tqopna", "tqrfil"),
    ],
)
def test_load_datafile_chooses_by_extension(make_engine, filename, opening, reading):
    engine = make_engine()
    calls = recorder(engine)
    assert engine.load_datafile(filename) is None
    assert calls == [(opening, filename, 10), (reading,), ("tqclos", 10)]


@pytest.mark.parametrize("filename", ["system.txt", "dat", "", "archive.dat.gz", "a.da", "a.dat "])
def test_load_datafile_refuses_other_extensions(lib_engine, fake_lib, filename):
    heard = []
    lib_engine.error_listeners.append(heard.append)
    lib_engine.last_error = 104
    with pytest.raises(Exception) as caught:
        lib_engine.load_datafile(filename)
    assert type(caught.value) is Exception
    assert str(caught.value) == f"{filename} is not a suitable database format"
    assert fake_lib.calls == [] and heard == [] and lib_engine.last_error == 104


def test_load_datafile_passes_the_file_unit(make_engine):
    engine = make_engine()
    calls = recorder(engine)
    engine.load_datafile("a.bin", 20)
    engine.load_datafile(fileunit=2**32 + 10, filename="a.dat")
    assert calls == [
        ("tqopnb", "a.bin", 20), ("tqrbin",), ("tqclos", 20),
        ("tqopna", "a.dat", 2**32 + 10), ("tqrfil",), ("tqclos", 2**32 + 10),
    ]


@pytest.mark.parametrize(
    "fileunit, type_name", [(10.0, "float"), (True, "bool"), (None, "NoneType")]
)
def test_load_datafile_with_a_file_unit_that_is_not_an_int(
    lib_engine, fake_lib, fileunit, type_name
):
    heard = []
    lib_engine.error_listeners.append(heard.append)
    with pytest.raises(TypeError) as caught:
        lib_engine.load_datafile("system.dat", fileunit)
    assert str(caught.value) == (
        f"Argument 'unit' has incorrect type (expected int, got {type_name})"
    )
    assert fake_lib.calls == [] and heard == []


def test_load_datafile_of_a_missing_file(engine, tmp_path):
    heard = []
    engine.error_listeners.append(heard.append)
    assert engine.load_datafile(str(tmp_path / "missing.dat")) is None
    assert len(heard) == 3 and heard[0] == 107
    assert engine.last_error == [n for n in heard if n > 0][-1]


def test_load_datafile_makes_every_step_whatever_the_library_reports(lib_engine, fake_lib):
    fake_lib.errors("TQOPNA", [107], argtypes=(ADDRESS, LENGTH, INT_P))
    fake_lib.errors("TQRFIL", [102], argtypes=())
    fake_lib.errors("TQCLOS", [0])
    heard = []
    lib_engine.error_listeners.append(heard.append)
    lib_engine.load_datafile("missing.dat", 20)
    assert fake_lib.names() == ["TQOPNA", "TQRFIL", "TQCLOS"]
    assert fake_lib.calls[-1] == ("TQCLOS", 20)
    assert heard == [107, 102, 0] and lib_engine.last_error == 102


def test_load_datafile_non_ascii_name(lib_engine, fake_lib):
    fake_lib.errors("TQOPNA", [0], argtypes=(ADDRESS, LENGTH, INT_P))
    heard = []
    lib_engine.error_listeners.append(heard.append)
    with pytest.raises(UnicodeEncodeError):
        lib_engine.load_datafile("donn\u00e9es.dat")
    assert fake_lib.calls == [] and heard == []


@pytest.mark.parametrize(
    "filename, names",
    [
        ("a.dat", ["tqopna", "tqrfil", "tqclos"]),
        ("a.CST", ["tqopnt", "tqrcst", "tqclos"]),
        ("a.bin", ["tqopnb", "tqrbin", "tqclos"]),
    ],
)
def test_load_datafile_on_the_basic_road(basic_engine, fake_basic, filename, names):
    for name in names:
        fake_basic.answer(name)
    basic_engine.load_datafile(filename, 20)
    assert fake_basic.calls == [(names[0], (filename, 20)), (names[1], ()), ("tqclos", (20,))]


def test_load_datafile_stops_at_an_exception(basic_engine, fake_basic):
    fake_basic.answer("tqopna")
    fake_basic.answer("tqrfil", raises=OSError("read failed"))
    with pytest.raises(OSError):
        basic_engine.load_datafile("a.dat")
    assert [name for name, _ in fake_basic.calls] == ["tqopna", "tqrfil"]


def test_load_datafile_on_the_stand_in_basic_road(engine, standin_basic, tmp_path):
    engine.use_eqpy = True
    with pytest.raises(Exception) as caught:
        engine.load_datafile(str(tmp_path / "missing.dat"))
    assert caught.value.number == 107
    engine.use_eqpy = False


def test_unknown_option(engine):
    assert engine.tqgio("NO SUCH OPTION") == 0
    assert engine.last_error == 201
    engine.tqcio("NO SUCH OPTION", 20)
    assert engine.last_error == 201
    assert engine.tqgio("FILE") == 10


def test_a_listener_may_call_the_engine_again(engine):
    # The usual listener: it reads the library's own message for every failure it hears of.
    messages = []
    engine.error_listeners.append(lambda number: number and messages.append(engine.tqerr()))
    engine.tqcio("FILE", 15)
    engine.tqcio("LANGUAGE", 9)
    assert messages == [raw.equilex_errors[105], raw.equilex_errors[106]]
