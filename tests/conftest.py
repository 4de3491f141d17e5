"""Fixtures shared by the test modules."""

import os
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[1]


def _absolute_search_path():
    """Relative entries of PYTHONPATH made absolute against the folder pytest started in, as this
    interpreter resolved them: the fresh interpreters that tests start in other folders find the
    same package as the tests."""
    entries = os.environ.get("PYTHONPATH")
    if entries:
        absolute = [os.path.abspath(entry) for entry in entries.split(os.pathsep)]
        os.environ["PYTHONPATH"] = os.pathsep.join(absolute)


_absolute_search_path()


@pytest.fixture(scope="session")
def libequilex_path():
    """The stand-in library built under $EQX_BUILD (default: build/ at the repo root)."""
    build = Path(os.environ.get("EQX_BUILD", "build"))
    if not build.is_absolute():
        build = REPO_ROOT / build
    path = build / "standin" / "libequilex.so"
    if not path.is_file():
        pytest.fail(f"{path} is missing: build the stand-in library first")
    return path


# --- engines on the stand-in and on test doubles -------------------------------------------------

STANDIN_PYTHON = REPO_ROOT / "standin" / "python"


def _quiet_destructor(engine):
    """Lets the engine be freed whenever pytest drops it, whatever road and fakes it had then."""
    engine.tqclos = lambda unit: None


@pytest.fixture
def standin_dir(libequilex_path, monkeypatch):
    """The stand-in library's directory, first on PATH."""
    directory = libequilex_path.parent
    monkeypatch.setenv("PATH", f"{directory}{os.pathsep}{os.environ.get('PATH', '')}")
    return directory


@pytest.fixture
def engine(standin_dir):
    """An engine on the stand-in library, found by name on PATH, library initialised."""
    from equilexproxy.raw import EquilexProxy

    made = EquilexProxy("libequilex")
    made.tqini()
    yield made
    made.tqclos(6)
    _quiet_destructor(made)


@pytest.fixture(params=["callback", "plain"])
def fake_lib(request):
    """A FakeLibrary: routines as ctypes callbacks, then as plain Python callables."""
    from fakes import FakeLibrary

    library = FakeLibrary(plain=request.param == "plain")
    yield library
    assert not library.failures, f"a fake routine failed: {library.failures!r}"


@pytest.fixture
def lib_engine(fake_lib, libequilex_path):
    """An engine on the library road whose `lib` is the fake library."""
    from equilexproxy.raw import EquilexProxy

    made = EquilexProxy(str(libequilex_path))
    made.lib = fake_lib
    yield made
    _quiet_destructor(made)


@pytest.fixture
def fake_basic(monkeypatch):
    """A FakeBasic installed as module raw's `eqb`."""
    from equilexproxy import raw
    from fakes import FakeBasic

    module = FakeBasic()
    monkeypatch.setattr(raw, "eqb", module, raising=False)
    return module


@pytest.fixture
def basic_engine(fake_basic, libequilex_path):
    """An engine on the basic road over the fake basic module."""
    from equilexproxy.raw import EquilexProxy

    made = EquilexProxy(str(libequilex_path), use_eqpy=True)
    yield made
    _quiet_destructor(made)


@pytest.fixture(scope="session")
def standin_basic_module(libequilex_path):
    """The stand-in equilex.basic, imported over the same library file as the engines."""
    import sys

    previous = os.environ.get("EQUILEX_LIBRARY")
    os.environ["EQUILEX_LIBRARY"] = str(libequilex_path)
    sys.path.insert(0, str(STANDIN_PYTHON))
    try:
        import equilex.basic
    finally:
        sys.path.remove(str(STANDIN_PYTHON))
        if previous is None:
            del os.environ["EQUILEX_LIBRARY"]
        else:
            os.environ["EQUILEX_LIBRARY"] = previous
    return equilex.basic


@pytest.fixture
def standin_basic(standin_basic_module, monkeypatch):
    """The stand-in equilex.basic installed as module raw's `eqb`."""
    from equilexproxy import raw

    monkeypatch.setattr(raw, "eqb", standin_basic_module, raising=False)
    return standin_basic_module


@pytest.fixture(params=["library", "basic"])
def standin_engine(request, engine, standin_basic):
    """The stand-in engine on each road in turn (both roads reach the same library state)."""
    engine.use_eqpy = request.param == "basic"
    yield engine
    engine.use_eqpy = False


@pytest.fixture
def make_engine(libequilex_path):
    """Makes engines on the stand-in file (by default) that are quiet when freed after the test."""
    from equilexproxy.raw import EquilexProxy

    made = []

    def make(*args, engine_class=EquilexProxy, **keywords):
        engine = engine_class(*(args or (str(libequilex_path),)), **keywords)
        made.append(engine)
        return engine

    yield make
    for engine in made:
        _quiet_destructor(engine)


@pytest.fixture(scope="session")
def sample_data_dir(libequilex_path):
    """$EQX_BUILD/data: the sample data-files of data/ as .dat, .cst and .bin (sample-data)."""
    path = libequilex_path.parent.parent / "data"
    names = [f"{name}.{ext}" for name in ("limestone", "water", "structure")
             for ext in ("dat", "cst", "bin")]
    missing = [name for name in names if not (path / name).is_file()]
    if missing:
        pytest.fail(f"{path} lacks {', '.join(missing)}: build the sample-data target first")
    return path
