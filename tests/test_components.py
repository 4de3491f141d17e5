"""System components: the two routine calls of tqstsc, and the components of the stand-in."""

import pytest

from query_support import define, load_sample, load_structure, sample, same  # noqa: F401 - sample: a fixture


@pytest.mark.parametrize(
    "count, count_error, error, expected",
    [
        (4, 0, 0, (44.0, (1.0, 0.0, 0.5, 2.0))),
        (0, 104, 104, (0.0, ())),
        (2, 0, 401, (44.0, (1.0, 0.0))),
    ],
    ids=["four", "none", "routine-error"],
)
def test_tqstsc_sizes_its_array_by_a_fresh_tqnosc(
    lib_engine, fake_lib, count, count_error, error, expected
):
    mass, coefficients = expected
    define(fake_lib, "TQNOSC", "o e", [count], error=count_error)
    writes = None if error else [list(coefficients), mass]
    define(fake_lib, "TQSTSC", "i a D e", writes, error=error)
    heard = []
    lib_engine.error_listeners.append(heard.append)
    result = lib_engine.tqstsc(3)
    assert fake_lib.calls == [("TQNOSC", ()), ("TQSTSC", (3,))]
    assert heard == [count_error, error]
    assert lib_engine.last_error == max(count_error, error)
    if error:
        expected = (0.0, (0.0,) * count)
    assert same(result, expected)


def test_tqstsc_counts_with_the_engines_own_tqnosc(lib_engine, fake_lib):
    define(fake_lib, "TQSTSC", "i a D e", [[7.0, 8.0, 9.0], 1.5])
    lib_engine.tqnosc = lambda: 3
    assert lib_engine.tqstsc(1) == (1.5, (7.0, 8.0, 9.0))


def test_tqstsc_refuses_its_index_before_counting(lib_engine, fake_lib):
    define(fake_lib, "TQNOSC", "o e", [4])
    with pytest.raises(TypeError):
        lib_engine.tqstsc(1.0)
    assert fake_lib.calls == []


def test_tqstsc_on_the_basic_road_keeps_the_pair_and_does_not_count(basic_engine, fake_basic):
    fake_basic.answer("tqstsc", ((1.0, 0.0), 40.078))
    assert basic_engine.tqstsc(1) == ((1.0, 0.0), 40.078)
    assert fake_basic.calls == [("tqstsc", (0,))]



def test_tqstsc_fetches_its_routine_before_counting(lib_engine, fake_lib):
    define(fake_lib, "TQNOSC", "o e", [4])
    with pytest.raises(AttributeError):
        lib_engine.tqstsc(1)
    assert fake_lib.calls == []

# --- on the stand-in ---------------------------------------------------------------------------


@pytest.fixture
def structure(standin_engine, sample):
    return load_structure(standin_engine, sample, "components")


def test_components_of_the_structural_sample(structure):
    assert structure.number_components == structure.tqnosc() == 4
    assert [structure.tqgnsc(i) for i in range(1, 5)] == ["A", "B", "C", "e-"]
    assert [structure.tqinsc(name) for name in ("A", "B", "C", "e-")] == [1, 2, 3, 4]
    mass, coefficients = structure.tqstsc(2)
    assert mass == pytest.approx(20.25)
    assert len(coefficients) == 4 and all(type(c) is float for c in coefficients)


@pytest.mark.parametrize(
    "name, components, phases",
    [
        ("limestone", ["Ca", "C", "O"], ["GAS", "CaCO3", "CaO", "C(graphite)"]),
        ("water", ["H", "O"], ["GAS", "H2O(liquid)"]),
    ],
)
@pytest.mark.parametrize("extension", ["dat", "cst", "bin"])
def test_names_of_the_other_samples(standin_engine, sample, name, components, phases, extension):
    load_sample(standin_engine, sample, name, "components", "phases", extension=extension)
    assert [standin_engine.tqgnsc(i) for i in range(1, standin_engine.tqnosc() + 1)] == components
    assert [standin_engine.tqgnp(i) for i in range(1, standin_engine.tqnop() + 1)] == phases
    assert [standin_engine.tqmodl(i) for i in range(2, len(phases) + 1)] == ["PURE"] * (
        len(phases) - 1
    )


def test_renamed_component_is_found_under_its_new_name(structure):
    structure.tqcnsc(3, "CARBON_WITH_24_LETTERS_X")
    assert structure.tqgnsc(3) == "CARBON_WITH_24_LETTERS_X"
    assert structure.tqinsc("CARBON_WITH_24_LETTERS_X") == 3


def test_unknown_component_gives_0_and_an_error(engine, sample):
    load_structure(engine, sample, "components")
    assert engine.tqinsc("Zr") == 0
    assert engine.last_error == 305
    assert engine.tqgnsc(5) == ""
    assert engine.last_error == 401
