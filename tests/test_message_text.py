"""tqerr: three fields of 80 bytes in one block of 240, each read up to its NUL and stripped,
joined with nothing between them."""

import ctypes

import pytest

from query_support import define, load_structure, sample  # noqa: F401 - sample: a fixture


def block(*fields):
    assert len(fields) == 3 and all(len(field) <= 80 for field in fields)
    return b"".join(field.ljust(80, b"\0") for field in fields)


@pytest.mark.parametrize(
    "written, message",
    [
        (block(b"The entered phase index is out of range", b"", b""),
         "The entered phase index is out of range"),
        (block(b"The character input is not uniquely   ", b"  abbreviated", b""),
         "The character input is not uniquelyabbreviated"),
        (block(b"A" * 80, b"B", b""), "A" * 80 + "B"),
        (block(b"x" * 80, b"y" * 80, b"z" * 80), "x" * 80 + "y" * 80 + "z" * 80),
        (block(b"\0garbage after the NUL", b"second", b"\0more"), "second"),
        (block(b"", b"", b""), ""),
        (bytes(240), ""),
    ],
    ids=["one-line", "joined-without-blank", "full-field", "all-full", "nul-first", "empty",
         "untouched"],
)
def test_tqerr(lib_engine, fake_lib, written, message):
    define(fake_lib, "TQERR", "f e", [written])
    assert lib_engine.tqerr() == message
    assert fake_lib.calls == [("TQERR", (240,))]


def test_tqerr_byte_above_127_fails_after_recording(lib_engine, fake_lib):
    define(fake_lib, "TQERR", "f e", [block(b"fine", b"Datei nicht gefunden: \xfc", b"")], error=7)
    heard = []
    lib_engine.error_listeners.append(heard.append)
    with pytest.raises(UnicodeDecodeError):
        lib_engine.tqerr()
    assert heard == [7] and lib_engine.last_error == 7


def test_tqerr_reads_the_bytes_after_a_nul_of_no_field(lib_engine, fake_lib):
    # The byte above 127 lies after the NUL of field 1: it is not read.
    define(fake_lib, "TQERR", "f e", [block(b"ok\0\xff\xff", b"", b"")])
    assert lib_engine.tqerr() == "ok"


def test_tqerr_of_the_stand_in_after_an_error(engine, sample):
    load_structure(engine, sample, "phases")
    engine.tqinp("NO_SUCH_PHASE")
    assert engine.last_error == 303
    assert "not a phase" in engine.tqerr()


COPYRIGHT = ("Equilex stand-in library 6.3.4 for Linux. Copyright (c) the equilexproxy "
             "developers. Thermochemical routines for testing; free to use, without warranty.")


def make_copyright_current(engine):
    engine.tqcprt()
    return COPYRIGHT


def make_307_current(engine):
    engine.tqcsc([])  # too few component names
    assert engine.last_error == 307
    from equilexproxy.raw import equilex_errors

    return equilex_errors[307]


@pytest.mark.parametrize("make_current", [make_copyright_current, make_307_current],
                         ids=["copyright", "long-error"])
def test_stand_in_message_joins_back_exactly_as_written(standin_engine, sample, make_current):
    # The library cuts a message of more than one field; the engine strips the fields and
    # joins them with nothing between, so no blank may fall at a cut.
    load_structure(standin_engine, sample, "phases")
    road, standin_engine.use_eqpy = standin_engine.use_eqpy, False
    expected = make_current(standin_engine)  # the basic road has no tqcprt of its own
    standin_engine.use_eqpy = road
    assert len(expected) > 80
    assert standin_engine.tqerr() == expected


@pytest.mark.parametrize("language", ["ENGLISH", "GERMAN", "FRENCH", "SWEDISH", "FINNISH"])
def test_every_message_of_every_language_reads_as_ascii(standin_engine, libequilex_path,
                                                        language):
    # The engine reads every text of the library as ASCII (a byte above 127 raises on the
    # library road); the stand-in's messages are written so in every language.
    from equilexproxy.raw import equilex_errors

    image = ctypes.CDLL(str(libequilex_path))  # the engine's image: one state, one message
    standin_engine.language = language
    texts = {}
    for number in sorted(set(equilex_errors) - {0}):
        image.eqx_standin_report(number)
        texts[number] = standin_engine.tqerr()
    standin_engine.language = "ENGLISH"
    assert [n for n, text in texts.items() if not text.isascii()] == []
    if language == "ENGLISH":
        assert texts == {n: equilex_errors[n] for n in texts}
    else:
        assert [n for n, text in texts.items() if text in ("", equilex_errors[n])] == [], (
            "each message has a text of the language")
