"""Phase constituents: tqstpc's two calls and its swapped basic pair, tqpcis's truth, and the
constituents of the stand-in."""

import pytest

from query_support import define, load_structure, sample, same  # noqa: F401 - sample: a fixture


@pytest.mark.parametrize(
    "count, count_error, error",
    [(4, 0, 0), (0, 104, 104), (4, 0, 403)],
    ids=["four", "none", "routine-error"],
)
def test_tqstpc_makes_two_calls_array_before_mass(lib_engine, fake_lib, count, count_error, error):
    coefficients = [1.0, 1.0, 0.0, 0.0][:count]
    define(fake_lib, "TQNOSC", "o e", [count], error=count_error)
    define(fake_lib, "TQSTPC", "i i a D e", None if error else [coefficients, 30.75], error=error)
    heard = []
    lib_engine.error_listeners.append(heard.append)
    result = lib_engine.tqstpc(2, 4)
    assert fake_lib.calls == [("TQNOSC", ()), ("TQSTPC", (2, 4))]
    assert heard == [count_error, error]
    expected = (0.0, (0.0,) * count) if error else (30.75, tuple(coefficients))
    assert same(result, expected)


@pytest.mark.parametrize("indexp, index", [("2", 1), (2, None)])
def test_tqstpc_refuses_its_indices_before_counting(lib_engine, fake_lib, indexp, index):
    define(fake_lib, "TQNOSC", "o e", [4])
    define(fake_lib, "TQSTPC", "i i a D e")
    with pytest.raises(TypeError):
        lib_engine.tqstpc(indexp, index)
    assert fake_lib.calls == []


def test_tqstpc_on_the_basic_road_swaps_the_pair(basic_engine, fake_basic):
    fake_basic.answer("tqstpc", [(1.0, 1.0, 0.0, 0.0), 30.75, "more"])
    heard = []
    basic_engine.error_listeners.append(heard.append)
    assert same(basic_engine.tqstpc(2, 4), (30.75, (1.0, 1.0, 0.0, 0.0)))
    assert fake_basic.calls == [("tqstpc", (1, 3))] and heard == []


def test_tqstpc_basic_answer_without_two_items(basic_engine, fake_basic):
    fake_basic.answer("tqstpc", (30.75,))
    with pytest.raises(IndexError):
        basic_engine.tqstpc(2, 4)


@pytest.mark.parametrize("flag, expected", [(0, False), (1, True), (-1, True), (2, True)])
def test_tqpcis_is_whether_the_flag_is_not_0(lib_engine, fake_lib, flag, expected):
    define(fake_lib, "TQPCIS", "i i o e", [flag], error=403)
    heard = []
    lib_engine.error_listeners.append(lambda number: heard.append((number, lib_engine.last_error)))
    assert lib_engine.tqpcis(1, 1) is expected
    assert heard == [(403, 403)]



def test_tqstpc_fetches_its_routine_before_counting(lib_engine, fake_lib):
    define(fake_lib, "TQNOSC", "o e", [4])
    with pytest.raises(AttributeError):
        lib_engine.tqstpc(1, 1)
    assert fake_lib.calls == []

# --- on the stand-in ---------------------------------------------------------------------------


@pytest.fixture
def structure(standin_engine, sample):
    return load_structure(standin_engine, sample, "components", "phases", "constituents")


def test_constituents_of_the_structural_sample(structure):
    assert structure.tqnopc(2) == 5
    assert [structure.tqgnpc(2, c) for c in range(1, 6)] == [
        "A", "B", "C", "AB", "LONG_CONSTITUENT_NAME_24"
    ]
    assert structure.tqinpc(2, "LONG_CONSTITUENT_NAME_24") == 5
    assert structure.tqinpc(3, "C") == 1
    assert structure.tqgnpc(True, 1) == structure.tqgnpc(1, 1) == "A2"
    mass, coefficients = structure.tqstpc(2, 4)
    assert mass == pytest.approx(10.5 + 20.25)
    assert coefficients == (1.0, 1.0, 0.0, 0.0)
    assert (structure.tqpcis(1, 1), structure.tqpcis(1, 3)) == (True, False)
    assert structure.tqgdpc("T", 3, 1) == 4000.0  # the upper limit of the last Cp range


def test_constituent_status_round_trip(structure):
    status = structure.tqgspc(2, 4)
    assert status == "ENTERED"
    structure.tqcspc(2, 4, "DORMANT")
    assert structure.tqgspc(2, 4) == "DORMANT"
    structure.tqcspc(2, 4, status)
    assert structure.tqgspc(2, 4) == "ENTERED"


def test_constituent_failures_on_the_library_road(engine, sample):
    load_structure(engine, sample, "components", "phases", "constituents")
    assert engine.tqinpc(2, "NOPE") == 0
    assert engine.last_error == 304
    assert engine.tqgnpc(2, 6) == ""
    assert engine.last_error == 403
    # LONG_CONSTITUENT_NAME_24 of LIQUID has a fixed status.
    engine.tqcspc(2, 5, "DORMANT")
    assert engine.last_error == 309
    assert engine.tqgspc(2, 5) == "ENTERED"
