"""The engine's own members: construction and destruction, the log-file name, error messages,
version and array sizes, and the library finder."""

import contextlib
import ctypes
import gc
import os
import re
import shutil
import sys

import pytest

from equilexproxy import raw
from fakes import INT_P, FakeLibrary

ATTRIBUTES = {"lib", "use_eqpy", "last_error", "error_listeners", "logfile"}
DIMENSION_KEYS = [
    "constituents", "components", "solutions", "ex_g_coeff", "ex_magn_coeff", "soln_sublattices",
    "sublattice_constituents", "mqf_constituents", "g_eq_constituent", "g_eq", "constituents_vdep",
]


def recording_class(calls):
    """An engine class that logs the constructor's own calls before making them."""

    class Recording(raw.EquilexProxy):
        def tqini(self):
            calls.append(("tqini",))
            return super().tqini()

        def _generate_free_name(self, basename):
            chosen = super()._generate_free_name(basename)
            calls.append(("_generate_free_name", basename, chosen))
            return chosen

        def tqopna(self, filename, unit):
            calls.append(("tqopna", filename, unit))
            return super().tqopna(filename, unit)

    return Recording


@contextlib.contextmanager
def unraisable():
    """Collects the exceptions the interpreter reports as ignored (in __del__) meanwhile."""
    seen = []
    previous = sys.unraisablehook
    sys.unraisablehook = lambda report: seen.append(report.exc_value)
    try:
        yield seen
    finally:
        gc.collect()
        sys.unraisablehook = previous


# --- construction ------------------------------------------------------------------------------


@pytest.mark.parametrize("use_eqpy", [False, True])
def test_a_library_that_cannot_be_found(standin_dir, use_eqpy):
    with unraisable() as ignored:
        engine = raw.EquilexProxy.__new__(raw.EquilexProxy)
        with pytest.raises(Exception) as caught:
            engine.__init__("libnowhere", use_eqpy=use_eqpy)
        assert type(caught.value) is Exception
        assert str(caught.value) == (
            "libnowhere cannot be found. Make sure its directory is included into PATH "
            "environment variable"
        )
        assert vars(engine) == {}
        del engine
    # Freeing the half-built engine cannot read use_eqpy; the interpreter reports that.
    assert [type(failure) for failure in ignored] == [AttributeError]


def test_a_file_that_does_not_load(tmp_path, monkeypatch):
    (tmp_path / "libbroken.so").write_text("not a library")
    monkeypatch.setenv("PATH", str(tmp_path))
    with unraisable():
        engine = raw.EquilexProxy.__new__(raw.EquilexProxy)
        with pytest.raises(OSError):
            engine.__init__("libbroken")
        assert vars(engine) == {}
        del engine


@pytest.mark.parametrize(
    "args, message",
    [
        ((), "__init__() takes at least 2 positional arguments (1 given)"),
        (("a", None, False, 1), "__init__() takes at most 4 positional arguments (5 given)"),
        ((None,), "Argument 'libname' has incorrect type (expected str, got NoneType)"),
        ((b"libequilex",), "Argument 'libname' has incorrect type (expected str, got bytes)"),
    ],
)
def test_construction_argument_errors(standin_dir, args, message):
    with unraisable(), pytest.raises(TypeError) as caught:
        raw.EquilexProxy(*args)
    assert str(caught.value) == message


class Flag:
    """A flag whose format differs from its str."""

    def __format__(self, spec):
        return f"formatted[{spec}]"

    def __str__(self):
        return "str"


@pytest.mark.parametrize(
    "flag, line",
    [(False, "use_eqpy = False"), (0, "use_eqpy = 0"), (True, "use_eqpy = True"),
     ("yes", "use_eqpy = yes"), (1.5, "use_eqpy = 1.5"), (Flag(), "use_eqpy = formatted[]")],
)
def test_construction_without_a_log_file(
    standin_dir, make_engine, fake_basic, capsys, flag, line
):
    calls = []
    engine = make_engine("libequilex", use_eqpy=flag, engine_class=recording_class(calls))
    assert capsys.readouterr().out == line + "\n"
    assert vars(engine) == {
        "lib": engine.lib,
        "use_eqpy": flag,
        "last_error": 0,
        "error_listeners": [],
        "logfile": None,
    }
    assert engine.use_eqpy is flag
    if flag:
        assert engine.lib is None
    else:
        assert isinstance(engine.lib, ctypes.CDLL)
        assert engine.lib._name == str(standin_dir / "libequilex.so")
    assert calls == [] and fake_basic.calls == []
    assert make_engine().error_listeners is not engine.error_listeners


def test_construction_with_a_log_file(standin_dir, make_engine, tmp_path, capsys):
    calls = []
    (tmp_path / "run.log").mkdir()
    requested = tmp_path / "run.log"
    engine = make_engine("libequilex", logfile=requested, engine_class=recording_class(calls))
    chosen = str(tmp_path / "run(1).log")
    assert calls == [
        ("tqini",),
        ("_generate_free_name", requested, chosen),
        ("tqopna", chosen, 6),
    ]
    assert engine.logfile == chosen and type(engine.logfile) is str
    assert engine.last_error == 0
    assert capsys.readouterr().out == "use_eqpy = False\n"
    engine.tqclos(6)


def test_construction_with_a_log_file_on_the_basic_road(make_engine, fake_basic, tmp_path):
    fake_basic.answer("tqini")
    fake_basic.answer("tqopna")
    engine = make_engine(logfile=str(tmp_path / "run.log"), use_eqpy=True)
    assert fake_basic.calls == [("tqini", ()), ("tqopna", (str(tmp_path / "run.log"), 6))]
    assert engine.logfile == str(tmp_path / "run.log")


def test_no_free_log_file_name(libequilex_path, tmp_path):
    with unraisable() as ignored:
        engine = raw.EquilexProxy.__new__(raw.EquilexProxy)
        with pytest.raises(TypeError) as caught:
            engine.__init__(str(libequilex_path), logfile=str(tmp_path / "nowhere" / "run.log"))
        assert str(caught.value) == (
            "Argument 'filename' has incorrect type (expected str, got NoneType)"
        )
        assert set(vars(engine)) == ATTRIBUTES and engine.logfile is None
        del engine
    assert ignored == []


# --- the free log-file name --------------------------------------------------------------------


def occupy(directory, names):
    """Makes each name a directory, which cannot be opened for writing."""
    for name in names:
        (directory / name).mkdir()


@pytest.mark.parametrize(
    "basename, occupied, chosen",
    [
        ("run.log", [], "run.log"),
        ("run.log", ["run.log"], "run(1).log"),
        ("run.log", ["run.log", "run(1).log", "run(2).log"], "run(3).log"),
        ("run", ["run"], "run(1)"),
        (".log", [".log"], ".log(1)"),
        ("run.tar.gz", ["run.tar.gz"], "run.tar(1).gz"),
        ("a.d/run", ["a.d", "a.d/run"], "a.d/run(1)"),
        ("", [], "(1)"),
    ],
)
def test_free_name(make_engine, tmp_path, monkeypatch, basename, occupied, chosen):
    monkeypatch.chdir(tmp_path)
    occupy(tmp_path, occupied)
    result = make_engine()._generate_free_name(basename)
    assert result == chosen and type(result) is str
    assert (tmp_path / chosen).read_text() == ""


def test_free_name_empties_an_existing_file(make_engine, tmp_path):
    existing = tmp_path / "run.log"
    existing.write_text("old messages\n")
    assert make_engine()._generate_free_name(str(existing)) == str(existing)
    assert existing.read_text() == ""


@pytest.mark.skipif(os.geteuid() == 0, reason="root opens read-only files for writing")
def test_free_name_skips_a_read_only_file(make_engine, tmp_path):
    existing = tmp_path / "run.log"
    existing.write_text("kept\n")
    existing.chmod(0o444)
    assert make_engine()._generate_free_name(str(existing)) == str(tmp_path / "run(1).log")
    assert existing.read_text() == "kept\n"


def test_free_name_gives_up_after_100_candidates(make_engine, tmp_path):
    occupy(tmp_path, ["run.log"] + [f"run({k}).log" for k in range(1, 100)])
    assert make_engine()._generate_free_name(str(tmp_path / "run.log")) is None
    occupy(tmp_path, ["x.log"] + [f"x({k}).log" for k in range(1, 99)])
    assert make_engine()._generate_free_name(str(tmp_path / "x.log")) == str(tmp_path / "x(99).log")


@pytest.mark.parametrize("as_given", [lambda path: path, os.fsencode], ids=["path", "bytes"])
def test_free_name_of_a_path_object_or_bytes(make_engine, tmp_path, monkeypatch, as_given):
    monkeypatch.chdir(tmp_path)
    occupy(tmp_path, ["run.log"])
    chosen = make_engine()._generate_free_name(as_given(tmp_path / "run.log"))
    assert chosen == str(tmp_path / "run(1).log") and type(chosen) is str
    assert sorted(os.listdir(tmp_path)) == ["run(1).log", "run.log"]


def test_print_and_open_bound_in_the_module_are_the_ones_used(
    standin_dir, make_engine, tmp_path, monkeypatch
):
    # The module's own code finds its globals before the builtins, as Python code does.
    printed, opened = [], []
    monkeypatch.setattr(raw, "print", printed.append, raising=False)
    monkeypatch.setattr(raw, "open", lambda name, mode: opened.append((name, mode)) or
                        open(name, mode), raising=False)
    requested = str(tmp_path / "run.log")
    engine = make_engine("libequilex", logfile=requested)
    assert printed == ["use_eqpy = False"] and opened == [(requested, "w")]
    engine.tqclos(6)


@pytest.mark.parametrize("basename", [None, 5, ["run.log"], ("run.log",), ("run", ".log"), ()])
def test_free_name_of_what_is_not_a_path(make_engine, tmp_path, monkeypatch, basename):
    # os.path.splitext's own refusal: a tuple is one argument, never spread into several.
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TypeError) as refused:
        os.path.splitext(basename)
    with pytest.raises(TypeError, match=f"^{re.escape(str(refused.value))}$"):
        make_engine()._generate_free_name(basename)
    if basename is not None:  # None is no log file
        with pytest.raises(TypeError, match=f"^{re.escape(str(refused.value))}$"):
            make_engine(logfile=basename)
    assert os.listdir(tmp_path) == []


def test_the_loader_is_given_the_found_path_as_one_argument(make_engine, libequilex_path,
                                                            monkeypatch):
    found = (str(libequilex_path),)
    monkeypatch.setattr(raw, "find_library", lambda name: found)
    with pytest.raises(TypeError) as refused:
        ctypes.CDLL(found)
    with unraisable(), pytest.raises(TypeError, match=f"^{re.escape(str(refused.value))}$"):
        make_engine("libequilex")


# --- destruction -------------------------------------------------------------------------------


def test_destruction_closes_unit_6_and_listeners_hear_it(libequilex_path):
    fake = FakeLibrary()
    fake.errors("TQCLOS", [108])
    engine = raw.EquilexProxy(str(libequilex_path))
    engine.lib = fake
    heard = []
    engine.error_listeners.append(heard.append)
    del engine
    gc.collect()
    assert fake.calls == [("TQCLOS", 6)] and heard == [108]


def test_explicit_destructor_call(make_engine):
    fake = FakeLibrary()
    fake.errors("TQCLOS", [0])
    engine = make_engine()
    engine.lib = fake
    assert engine.__del__() is None
    assert fake.calls == [("TQCLOS", 6)]


def test_destruction_on_the_basic_road(libequilex_path, fake_basic, monkeypatch):
    raw.EquilexProxy(str(libequilex_path), use_eqpy=True)
    gc.collect()
    assert fake_basic.calls == [("tqclos", (6,))]
    monkeypatch.delattr(raw, "eqb")
    with unraisable() as ignored:
        raw.EquilexProxy(str(libequilex_path), use_eqpy=True)
    assert [str(failure) for failure in ignored] == ["name 'eqb' is not defined"]


# --- last_error_message ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "number, message",
    [
        (0, ""),
        (1004, "No molar volume data have been entered for the requested phase"),
        (162, "The transparent file format version is unknown to this version of Equilex"),
        (312, "<NAME> is a system component, but without charge"),
    ],
)
def test_last_error_message(make_engine, number, message):
    engine = make_engine()
    engine.last_error = number
    assert engine.last_error_message == message
    assert engine.last_error_message is raw.equilex_errors[number]
    assert engine.last_error == number


def test_last_error_message_follows_the_recorded_number(make_engine):
    fake = FakeLibrary()
    fake.errors("TQCLOS", [1004, 0])
    engine = make_engine()
    assert engine.last_error_message == ""
    engine.lib = fake
    engine.tqclos(6)
    engine.tqclos(6)
    assert engine.last_error_message == raw.equilex_errors[1004]


def test_last_error_message_of_a_number_without_a_row(make_engine):
    engine = make_engine()
    engine.last_error = 1001
    with pytest.raises(KeyError) as caught:
        engine.last_error_message
    assert caught.value.args == (1001,)
    assert engine.last_error == 1001 and 1001 not in raw.equilex_errors


def test_last_error_message_reads_the_table_as_bound_now(make_engine, monkeypatch):
    engines = [make_engine(), make_engine()]
    for engine in engines:
        engine.last_error = 1001
    monkeypatch.setitem(raw.equilex_errors, 1001, "entered later")
    assert [e.last_error_message for e in engines] == ["entered later"] * 2
    monkeypatch.setattr(raw, "equilex_errors", {1001: "another table"})
    assert [e.last_error_message for e in engines] == ["another table"] * 2


def test_last_error_message_is_read_only(make_engine):
    engine = make_engine()
    with pytest.raises(AttributeError):
        engine.last_error_message = "x"


# --- version and array sizes -------------------------------------------------------------------


@pytest.fixture
def sizes_engine(make_engine):
    """An engine on a fake library whose TQVERS, TQSIZE and TQUSED count their calls."""
    fake = FakeLibrary()
    counts = {"TQVERS": 0, "TQSIZE": 0, "TQUSED": 0}

    def sizes(export, base):
        def body(*holders):
            counts[export] += 1
            for position, holder in enumerate(holders[:11]):
                holder[0] = base + position
            return None

        fake.define(export, (INT_P,) * 12, body)

    def version(value, error):
        counts["TQVERS"] += 1
        value[0] = 634 + counts["TQVERS"]

    fake.define("TQVERS", (INT_P, INT_P), version)
    sizes("TQSIZE", 100)
    sizes("TQUSED", 200)
    engine = make_engine()
    engine.lib = fake
    return engine, counts


def test_every_read_calls_the_routine_again(sizes_engine):
    engine, counts = sizes_engine
    assert (engine.version, engine.version) == (635, 636)
    first, second = engine.dimensions_max, engine.dimensions_max
    assert first == second and first is not second
    used = engine.dimensions
    assert counts == {"TQVERS": 2, "TQSIZE": 2, "TQUSED": 1}
    assert list(first) == DIMENSION_KEYS and list(used) == DIMENSION_KEYS
    assert list(first.values()) == list(range(100, 111)) == list(engine.tqsize())
    assert list(used.values()) == list(range(200, 211)) == list(engine.tqused())


def test_sizes_after_a_library_error(make_engine):
    fake = FakeLibrary()
    fake.errors("TQSIZE", [5], argtypes=(INT_P,) * 11)
    engine = make_engine()
    engine.lib = fake
    assert engine.dimensions_max == dict.fromkeys(DIMENSION_KEYS, 0)
    assert engine.last_error == 5


@pytest.mark.parametrize("routine, prop", [("tqsize", "dimensions_max"), ("tqused", "dimensions")])
def test_sizes_on_the_basic_road(make_engine, fake_basic, routine, prop):
    engine = make_engine(use_eqpy=True)
    fake_basic.answer(routine, tuple(range(10)))
    with pytest.raises(IndexError):
        getattr(engine, prop)
    longer = list(range(13))
    fake_basic.answer(routine, longer)
    assert getattr(engine, routine)() is longer
    assert getattr(engine, prop) == dict(zip(DIMENSION_KEYS, range(11)))
    fake_basic.answer("tqvers", "any")
    assert engine.version == "any"


def test_version_sizes_on_the_stand_in(engine):
    assert type(engine.version) is int and engine.version >= 634
    maximum = engine.tqsize()
    assert type(maximum) is tuple and len(maximum) == 11
    assert all(type(size) is int and size > 0 for size in maximum)
    assert engine.dimensions_max == dict(zip(DIMENSION_KEYS, maximum))
    assert engine.last_error == 0


# --- find_library ------------------------------------------------------------------------------


@pytest.fixture
def search(tmp_path, monkeypatch):
    """Directories a, b and c on PATH, in this order; returns a function that makes files."""
    directories = [tmp_path / name for name in "abc"]
    for directory in directories:
        directory.mkdir()
    monkeypatch.setenv("PATH", os.pathsep.join(map(str, directories)))

    def make(*names):
        for name in names:
            path = tmp_path / name
            if name.endswith("/"):
                path.mkdir()
            else:
                path.write_bytes(b"")
        return tmp_path

    return make


@pytest.mark.parametrize(
    "files, name, found",
    [
        (["b/libx.so"], "libx.so", "b/libx.so"),
        (["b/libx.so"], "libx", "b/libx.so"),
        (["a/libx.so", "b/libx.so"], "libx.so", "a/libx.so"),
        (["a/libx", "a/libx.so"], "libx", "a/libx"),
        (["a/libx.so", "b/libx"], "libx", "a/libx.so"),
        (["a/libx/", "b/libx.so"], "libx", "b/libx.so"),
        (["a/libx.so.so"], "libx.so", None),
        (["a/libx.SO.so"], "libx.SO", None),
        ([], "libx", None),
    ],
)
def test_find_library_searches_path(search, files, name, found):
    root = search(*files)
    result = raw.find_library(name)
    assert result == (None if found is None else str(root / found))


def test_find_library_absolute_and_relative(search, tmp_path, monkeypatch):
    root = search("elsewhere/", "elsewhere/liby.so")
    assert raw.find_library(str(root / "elsewhere" / "liby.so")) == str(root / "elsewhere/liby.so")
    assert raw.find_library(str(root / "elsewhere" / "liby")) == str(root / "elsewhere/liby.so")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("PATH", "elsewhere")
    assert raw.find_library("liby") == str(root / "elsewhere" / "liby.so")
    monkeypatch.delenv("PATH")
    assert raw.find_library("liby") is None


def test_engine_loads_the_library_found_on_path(make_engine, standin_dir):
    engine = make_engine("libequilex")
    assert engine.lib._name == str(standin_dir / "libequilex.so")
    assert os.path.isabs(engine.lib._name)


def test_construction_looks_find_library_up_and_loads_its_second_answer(
    make_engine, libequilex_path, tmp_path, monkeypatch
):
    copy = tmp_path / "libcopy.so"
    shutil.copyfile(libequilex_path, copy)
    answers = [str(libequilex_path), str(copy)]
    asked = []

    def finder(name):
        asked.append(name)
        return answers[len(asked) - 1]

    monkeypatch.setattr(raw, "find_library", finder)
    engine = make_engine("libanything")
    assert asked == ["libanything", "libanything"]
    assert engine.lib._name == str(copy)
    asked.clear()
    make_engine("libbasic", use_eqpy=True)
    assert asked == ["libbasic"]


# --- one library state per library file --------------------------------------------------------


@pytest.fixture
def fresh_library(libequilex_path, tmp_path, monkeypatch):
    """A copy of the stand-in under another name: a library of its own, not yet initialised."""
    copy = tmp_path / "libfresh.so"
    shutil.copyfile(libequilex_path, copy)
    monkeypatch.setenv("PATH", f"{tmp_path}{os.pathsep}{os.environ.get('PATH', '')}")
    return copy


def test_without_a_log_file_the_library_is_not_initialised(make_engine, fresh_library):
    engine = make_engine("libfresh")
    assert engine.tqgio("FILE") == 0
    assert engine.last_error == 101
    engine.tqini()
    assert engine.tqgio("FILE") == 10


def test_with_a_log_file_the_library_is_initialised(make_engine, fresh_library, tmp_path):
    engine = make_engine("libfresh", logfile=str(tmp_path / "fresh.log"))
    assert engine.tqgio("ERROR") == 6
    assert engine.last_error == 0
    engine.tqcio("FILE", 15)
    assert raw.equilex_errors[105] in (tmp_path / "fresh.log").read_text()
    engine.tqclos(6)


def test_engines_share_the_state_of_one_library_file(make_engine, engine, fresh_library):
    same = make_engine(str(engine.lib._name))
    other = make_engine("libfresh")
    other.tqini()
    engine.tqcio("LANGUAGE", 3)
    other.tqcio("LANGUAGE", 4)
    assert same.tqgio("LANGUAGE") == 3 and same.language == "FRENCH"
    assert other.language == "SWEDISH"
