"""Hostile state: globals rebound in the middle of a call, odd function attributes, replaced
builtins. Whatever a program does to the module, the engine or the interpreter's builtins, a call
may see the change or raise, but it never crashes the interpreter.

The scenarios that once used freed objects run in a fresh interpreter with the debug allocator
(freed memory is overwritten at once), so a use after free ends the process with a signal.
"""

import json
import os
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pytest

from equilexproxy import raw


def run_isolated(script, libequilex_path, directory, arguments=(), timeout=120):
    """Runs `script` in a fresh interpreter, in `directory`, with LIBRARY bound to the stand-in's
    path; the process must end normally. Returns its standard output."""
    environment = dict(os.environ, PYTHONMALLOC="malloc_debug")
    prelude = f"LIBRARY = {str(libequilex_path)!r}\n"
    done = subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(script), *arguments],
        env=environment,
        capture_output=True,
        text=True,
        timeout=timeout,
        cwd=directory,
    )
    assert done.returncode >= 0, f"ended by signal {-done.returncode}:\n{done.stderr}"
    assert done.returncode == 0, done.stderr
    return done.stdout


# --- globals and builtins rebound while they are in use ------------------------------------------

CRASHES = {
    # The free-name search calls `open` up to 100 times; the first call rebinds it, dropping the
    # last reference to the object that is running.
    "open rebound by itself": """
        import builtins
        from equilexproxy.raw import EquilexProxy

        real_open = builtins.open

        class Hostile:
            def __call__(self, name, mode):
                builtins.open = real_open
                raise OSError("refused once")

        builtins.open = Hostile()
        engine = EquilexProxy(LIBRARY)
        print(engine._generate_free_name("hostile.log"))
    """,
    # The ctypes road makes its holders with module raw's `ctypes`; the first holder rebinds it.
    "ctypes rebound by its own c_int": """
        import ctypes, types
        from equilexproxy import raw

        def install():
            fake = types.ModuleType("fake_ctypes")
            vars(fake).update(vars(ctypes))

            def c_int(*value):
                raw.ctypes = ctypes
                return ctypes.c_int(*value)

            fake.c_int = c_int
            raw.ctypes = fake

        engine = raw.EquilexProxy(LIBRARY)
        engine.lib = types.SimpleNamespace(TQCLOS=lambda unit, error: None)
        install()
        print(engine.tqclos(6))
    """,
    # last_error_message reads the table, then the engine's last_error, which rebinds the table.
    "equilex_errors rebound while it is read": """
        from equilexproxy import raw

        class Engine(raw.EquilexProxy):
            @property
            def last_error(self):
                raw.equilex_errors = {0: "replaced"}
                return 0

            @last_error.setter
            def last_error(self, value):
                pass

        engine = Engine(LIBRARY)
        print(engine.last_error_message)
    """,
}


@pytest.mark.parametrize("script", CRASHES.values(), ids=CRASHES.keys())
def test_a_global_rebound_in_use_never_crashes(script, libequilex_path, tmp_path):
    run_isolated(script, libequilex_path, tmp_path)


def test_open_rebound_by_itself_sees_the_new_open(make_engine, monkeypatch, tmp_path):
    import builtins

    real_open = builtins.open
    tried = []

    def hostile(name, mode):
        tried.append(name)
        monkeypatch.setattr(builtins, "open", real_open)
        raise OSError("refused once")

    monkeypatch.setattr(builtins, "open", hostile)
    engine = make_engine()
    base = str(tmp_path / "run.log")
    assert engine._generate_free_name(base) == str(tmp_path / "run(1).log")
    assert tried == [base]


# Freeing the half-built engine cannot read error_listeners; the interpreter reports that.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_a_failing_look_up_of_print_fails_the_construction(libequilex_path, monkeypatch, capsys):
    # A key of module raw's globals that `print` is compared with, as its hash is print's, and
    # whose comparison raises: Python's own look-up of the global fails with that error, and so
    # does the engine's, instead of going on to the builtin.
    class Colliding(str):
        def __hash__(self):
            return hash("print")

        def __eq__(self, other):
            raise LookupError("compared with " + other)

    monkeypatch.setitem(vars(raw), Colliding("not print"), None)
    with pytest.raises(LookupError, match="compared with print"):
        raw.EquilexProxy(str(libequilex_path))
    assert capsys.readouterr().out == ""


# --- function attributes -------------------------------------------------------------------------


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
@pytest.mark.parametrize("value", [5, None, b"tqclos"])
def test_names_of_functions_hold_texts(attribute, value):
    function = raw.EquilexProxy.tqclos
    before = getattr(function, attribute)
    with pytest.raises(TypeError) as caught:
        setattr(function, attribute, value)
    assert str(caught.value) == f"{attribute} must be set to a string object"
    with pytest.raises(TypeError) as caught:
        delattr(function, attribute)
    assert str(caught.value) == f"{attribute} must be set to a string object"
    assert getattr(function, attribute) == before


class Shown(str):
    pass


def test_renamed_functions_name_themselves_in_errors_and_repr(monkeypatch, make_engine):
    function = raw.EquilexProxy.tqclos
    monkeypatch.setattr(function, "__name__", Shown("closer"))
    monkeypatch.setattr(function, "__qualname__", "Engine.closer")
    engine = make_engine()
    with pytest.raises(TypeError) as caught:
        engine.tqclos()
    assert str(caught.value) == "closer() takes exactly 2 positional arguments (1 given)"
    assert repr(function).startswith("<function Engine.closer at ")
    # Names that cannot be written as UTF-8 still make an error text.
    monkeypatch.setattr(function, "__name__", "\udc80")
    with pytest.raises(TypeError) as caught:
        engine.tqclos(1, 2)
    assert "takes exactly 2 positional arguments (3 given)" in str(caught.value)


@pytest.mark.parametrize("attribute", ["__doc__", "__module__"])
def test_other_function_attributes_take_any_object(attribute, monkeypatch, make_engine):
    function = raw.EquilexProxy.tqclos
    monkeypatch.setattr(function, attribute, 5)
    assert getattr(function, attribute) == 5
    monkeypatch.delattr(function, attribute)
    assert getattr(function, attribute) is None
    assert repr(function).startswith("<function EquilexProxy.tqclos at ")
    with pytest.raises(TypeError):
        make_engine().tqclos()


def test_deleting_names_once_crashed(libequilex_path, tmp_path):
    out = run_isolated(
        """
        from equilexproxy.raw import EquilexProxy

        function = EquilexProxy.tqgnsc
        for attribute in ("__name__", "__qualname__"):
            for change in (lambda: delattr(function, attribute),
                           lambda: setattr(function, attribute, 5)):
                try:
                    change()
                except TypeError:
                    pass
        try:
            function()
        except TypeError as failure:
            print(failure)
        print(repr(function).split(" at ")[0])
        """,
        libequilex_path,
        tmp_path,
    )
    assert out == (
        "tqgnsc() takes exactly 2 positional arguments (0 given)\n"
        "<function EquilexProxy.tqgnsc\n"
    )


def test_children_find_the_package_with_a_relative_search_path():
    """`PYTHONPATH=build/python pytest tests` from the repository's folder: the fresh interpreters
    of these tests run in other folders and still import the package the tests import."""
    repo = Path(__file__).resolve().parents[1]
    search_path = os.path.relpath(Path(raw.__file__).resolve().parents[1], repo)
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-k",
         "deleting_names_once_crashed", str(Path(__file__).relative_to(repo))],
        cwd=repo, env=dict(os.environ, PYTHONPATH=search_path), capture_output=True, text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert "1 passed" in done.stdout


# --- listeners and routines that rebind globals in the middle of a call --------------------------


def plain_library(**routines):
    return types.SimpleNamespace(**routines)


def components(count):
    def tqnosc(number, error):
        number._obj.value = count

    return tqnosc


def test_a_listener_rebinding_func_aliases_affects_the_next_call(make_engine, monkeypatch):
    engine = make_engine()

    def tqstsc(index, coefficients, mass, error):
        mass._obj.value = 12.0

    engine.lib = plain_library(TQNOSC=components(2), TQSTSC=tqstsc)
    monkeypatch.setattr(raw, "func_aliases", dict(raw.func_aliases))
    engine.error_listeners.append(lambda number: monkeypatch.setattr(raw, "func_aliases", {}))
    # The routine was fetched before the nested tqnosc() ran the listener.
    assert engine.tqstsc(1) == (12.0, (0.0, 0.0))
    with pytest.raises(KeyError):
        engine.tqstsc(1)


def test_a_listener_rebinding_ctypes_during_the_nested_count(make_engine, monkeypatch):
    engine = make_engine()
    engine.lib = plain_library(TQNOSC=components(2), TQSTSC=lambda *arguments: None)
    engine.error_listeners.append(lambda number: monkeypatch.setattr(raw, "ctypes", None))
    with pytest.raises(AttributeError):
        engine.tqstsc(1)


def test_a_listener_rebinding_string_buffer_length(lib_engine, fake_lib, monkeypatch):
    fake_lib.name_buffer("TQGNSC", b"Fe")
    lib_engine.error_listeners.append(
        lambda number: monkeypatch.setattr(raw, "string_buffer_length", "no longer a length")
    )
    assert lib_engine.tqgnsc(1) == "Fe"
    with pytest.raises(TypeError):
        lib_engine.tqgnsc(1)



def test_eqb_rebound_by_its_own_getattr(make_engine, monkeypatch):
    """The basic road takes eqb's function, then looks eqb up again for the enumeration."""
    fake = types.ModuleType("fake_basic")

    def module_getattr(name):
        monkeypatch.setattr(raw, "eqb", types.SimpleNamespace(Status={"ENTERED": "other"}))
        return lambda *arguments: arguments

    fake.__getattr__ = module_getattr
    monkeypatch.setattr(raw, "eqb", fake, raising=False)
    engine = make_engine(use_eqpy=True)
    del fake
    assert engine.tqcsp(1, "ENTERED") == (0, "other")


def test_a_listener_loading_a_larger_system_during_the_count(engine, sample_data_dir):
    """The nested tqnosc() answers 2 (water); its listener then loads the 4-component structure
    sample, whose TQSTSC writes four values."""
    engine.load_datafile(str(sample_data_dir / "water.dat"))
    loads = []

    def load_once(number):
        if not loads:
            loads.append(number)
            engine.load_datafile(str(sample_data_dir / "structure.dat"))

    engine.error_listeners.append(load_once)
    assert engine.tqstsc(1) == (pytest.approx(10.5), (1.0, 0.0))
    assert engine.tqnosc() == 4


@pytest.mark.parametrize("count", [0, 1, 3])
def test_an_override_answering_fewer_components(make_engine, sample_data_dir, count):
    class Counting(raw.EquilexProxy):
        def tqnosc(self):
            return count

    engine = make_engine(engine_class=Counting)
    engine.tqini()
    engine.load_datafile(str(sample_data_dir / "structure.dat"))
    assert engine.tqstsc(2) == (pytest.approx(20.25), (0.0, 1.0, 0.0)[:count])
    assert len(engine.tqstpc(1, 1)[1]) == count


# --- threads -------------------------------------------------------------------------------------


def test_other_threads_run_during_a_library_call(libequilex_path, tmp_path):
    """The engine lets the interpreter go while the library works: with the library's lock held
    by the main thread, a thread whose call waits for it inside the library must not stop the
    main thread from going on and letting go of the lock (else this deadlocks)."""
    out = run_isolated(
        """
        import ctypes, threading, time
        from equilexproxy.raw import EquilexProxy

        engine = EquilexProxy(LIBRARY)
        image = ctypes.CDLL(LIBRARY)  # the same image, with its one library lock
        answers = []
        image.eqx_standin_hold_lock()
        try:
            caller = threading.Thread(target=lambda: answers.append(engine.tqvers()))
            caller.start()
            time.sleep(0.2)  # the caller is now waiting for the lock inside TQVERS
        finally:
            image.eqx_standin_release_lock()
        caller.join()
        print(answers)
        """,
        libequilex_path,
        tmp_path,
        timeout=30,
    )
    assert out.splitlines()[-1] == "[634]"


CONCURRENT_ENGINES = """
    import json, sys, threading
    from equilexproxy.raw import EquilexProxy

    files = json.loads(sys.argv[1])
    loader = EquilexProxy(LIBRARY)
    loader.tqini()
    loader.load_datafile(files[0])
    problems = []
    names = {"", "Ca", "C", "O", "H", "A", "B", "e-"}

    def drive(engine, rounds):
        try:
            for _ in range(rounds):
                count = engine.tqnosc()
                for index in range(1, count + 1):
                    name = engine.tqgnsc(index)
                    mass, coefficients = engine.tqstsc(index)
                    if name not in names or len(coefficients) not in (0, 2, 3, 4):
                        problems.append((name, coefficients))
                    if not all(0.0 <= value <= 10.0 for value in coefficients) or mass < 0:
                        problems.append((mass, coefficients))
                for index in range(1, engine.tqnop() + 1):
                    engine.tqgnp(index)
                    engine.tqstpc(index, 1)
        except Exception as failure:  # reported, not raised in the thread
            problems.append(repr(failure))

    def load(rounds):
        for k in range(rounds):
            loader.load_datafile(files[k % len(files)])

    threads = [threading.Thread(target=drive, args=(EquilexProxy(LIBRARY), 300)) for _ in range(4)]
    threads.append(threading.Thread(target=load, args=(100,)))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print(json.dumps(problems[:5]))
"""


def test_engines_in_several_threads_while_data_files_load(
    libequilex_path, sample_data_dir, tmp_path
):
    files = [str(sample_data_dir / f"{name}.{extension}")
             for extension in ("dat", "cst", "bin") for name in ("water", "limestone", "structure")]
    out = run_isolated(CONCURRENT_ENGINES, libequilex_path, tmp_path, arguments=[json.dumps(files)])
    assert json.loads(out.splitlines()[-1]) == []
