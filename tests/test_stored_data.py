"""Stored thermodynamic data: tqgdat's count as a slice end, its basic road's printed line, the
1004 contract of the constituent entities, and changes that survive tqwasc on the stand-in."""

import pytest

from query_support import PhaseConstituentData, define, load_structure, sample  # noqa: F401

VALUES = [float(n) for n in range(1, 26)]


@pytest.mark.parametrize("count", [4, 10, 1, 0, 25, 30, -3, -25, -40])
def test_tqgdat_reads_the_array_up_to_the_count_as_a_slice_end(lib_engine, fake_lib, count):
    define(fake_lib, "TQGDAT", "i i t i o a e", [count, VALUES])
    assert lib_engine.tqgdat(3, 1, "Cp", 1) == tuple(VALUES[:count])


def test_tqgdat_reports_1004_before_it_returns(lib_engine, fake_lib):
    define(fake_lib, "TQGDAT", "i i t i o a e", writes=None, error=1004)
    assert lib_engine.tqgdat(4, 1, "V", 1) == ()
    assert lib_engine.last_error == 1004
    assert lib_engine.last_error_message == (
        "No molar volume data have been entered for the requested phase"
    )


def test_tqgdat_on_the_basic_road_prints_indexr_first(basic_engine, fake_basic, capsys):
    fake_basic.PhaseConstituentData = PhaseConstituentData
    fake_basic.answer("tqgdat", (29.1, 0.0021))
    assert basic_engine.tqgdat(2, 3, "Cp", 1) == (29.1, 0.0021)
    assert fake_basic.calls == [("tqgdat", (1, 2, PhaseConstituentData.Cp, 0))]
    assert capsys.readouterr().out.splitlines()[-1] == "indexr = 1"


def test_tqgdat_prints_with_the_print_the_module_binds(basic_engine, fake_basic, monkeypatch):
    from equilexproxy import raw

    printed = []
    monkeypatch.setattr(raw, "print", printed.append, raising=False)
    fake_basic.PhaseConstituentData = PhaseConstituentData
    fake_basic.answer("tqgdat", ())
    basic_engine.tqgdat(2, 3, "H", 7)
    assert printed == ["indexr = 7"]


@pytest.mark.parametrize(
    "option, indexr, failure, line",
    [("Cq", 1, KeyError, "indexr = 1"), ("H", "one", TypeError, "indexr = one")],
)
def test_tqgdat_basic_line_comes_before_a_failing_conversion(
    basic_engine, fake_basic, capsys, option, indexr, failure, line
):
    fake_basic.PhaseConstituentData = PhaseConstituentData
    fake_basic.answer("tqgdat", ())
    with pytest.raises(failure):
        basic_engine.tqgdat(1, 1, option, indexr)
    assert capsys.readouterr().out.splitlines()[-1] == line
    assert fake_basic.calls == []


# --- on the stand-in ---------------------------------------------------------------------------

C_S, AB_S, BCC = 3, 4, 6


@pytest.fixture
def structure(standin_engine, sample):
    return load_structure(standin_engine, sample, "stored data")


@pytest.mark.parametrize(
    "indexp, indexc, option, indexr, expected",
    [
        (2, 1, "H", 1, (12000.0,)),
        (2, 1, "S", 1, (45.3,)),
        (C_S, 1, "Cp", 1,
         (17.15, 0.00427, -1e-07, -879000.0, -1.5e-09, 3.0, 150.0, -1.0, -0.025, 0.5)),
        (C_S, 1, "Cp", 2, (24.0, 0.0011, 0.0, 0.0)),
        (C_S, 1, "Tt", 2, (1500.0,)),
        (C_S, 1, "Ht", 1, (1000.0,)),
        (AB_S, 1, "Cp", 1, (48.2, 0.0084, 0.0, -620000.0)),
        (BCC, 1, "M", 1, (1043.0, 2.22)),
    ],
)
def test_stored_data_of_the_structural_sample(structure, indexp, indexc, option, indexr, expected):
    assert structure.tqgdat(indexp, indexc, option, indexr) == pytest.approx(expected)


def test_molar_volume_and_critical_data(structure):
    volume = structure.tqgdat(C_S, 1, "V", 1)
    assert len(volume) >= 11 and volume[0] == pytest.approx(2.26)
    assert volume[1] == pytest.approx(1.2e-05) and volume[9] == pytest.approx(4.0)
    critical = structure.tqgdat(1, 1, "Gc", 1)
    assert critical[:5] == pytest.approx((126.2, 33.98, 90.1, 0.037, 0.0))


def test_constituent_without_molar_volume_gives_1004(engine, sample):
    load_structure(engine, sample, "stored data")
    assert engine.tqgdat(AB_S, 1, "V", 1) == ()
    assert engine.last_error == 1004
    assert engine.last_error_message == (
        "No molar volume data have been entered for the requested phase"
    )
    assert engine.tqgdat(C_S, 1, "Cp", 4) == () and engine.last_error == 1003


# (datum selector, the read that shows it: option, indexr, position, new value)
CHANGES = [
    ((1, 0, 0, 1, AB_S), ("H", 1, 0), -96000.0),
    ((1, 0, 1, 1, AB_S), ("S", 1, 0), 61.5),
    ((1, 2, 2, 1, C_S), ("Cp", 2, 1), 0.0015),
    ((1, 1, 8, 1, C_S), ("Ht", 1, 0), 1200.0),  # 3 extended terms in range 1: 5 + 3
    ((4, 1, 1, 1, C_S), ("V", 1, 0), 2.3),
    ((4, 1, 1, 1, 1), ("Gc", 1, 0), 130.0),
    ((7, 1, 2, 1, BCC), ("M", 1, 1), 2.5),
]


@pytest.mark.parametrize("selector, read, value", CHANGES, ids=lambda v: str(v))
def test_changed_datum_is_read_back_and_written_by_tqwasc(
    structure, tmp_path, selector, read, value
):
    option, indexr, position = read
    indexp, indexc = selector[4], selector[3]
    structure.tqcdat(*selector, value)
    assert structure.tqgdat(indexp, indexc, option, indexr)[position] == pytest.approx(value)
    written = tmp_path / "changed.dat"
    assert structure.tqwasc(str(written)) is None
    structure.load_datafile(str(written))
    assert structure.tqgdat(indexp, indexc, option, indexr)[position] == pytest.approx(value)


def test_tqwasc_failure_is_recorded_and_returns_none(engine, sample, tmp_path):
    load_structure(engine, sample, "stored data")
    assert engine.tqwasc(str(tmp_path / "no such folder" / "out.dat")) is None
    assert engine.last_error > 0
