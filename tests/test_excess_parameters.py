"""Excess parameters: tqlpar's 1999 fields of 156 bytes, tqgpar's 20 x 28 column-major table,
and the interaction strings of the stand-in."""

import pytest

from query_support import define, load_structure, sample  # noqa: F401 - sample: a fixture

FIELD = 156
EXAMPLES = ["1: *3 ( 1)-( 2)-( 4) : ( 8)", "4: *R ( 1)-( 3) : ( 6)-( 8)"]


def block(*fields):
    return b"".join(field.ljust(FIELD, b"\0") for field in fields)


@pytest.mark.parametrize(
    "count, written, expected",
    [
        (2, block(*(text.encode().ljust(FIELD) for text in EXAMPLES)), EXAMPLES),
        (1, block(b"  1: *2 ( 1)-( 2)\t\0garbage"), ["1: *2 ( 1)-( 2)"]),
        (2, block(b"X" * FIELD, b"second"), ["X" * FIELD, "second"]),
        (3, block(b"", b"\0junk", b"third"), ["", "", "third"]),
        (0, block(b"unread"), []),
        (-5, block(b"unread"), []),
        (1999, block(b"first"), ["first"] + [""] * 1998),
    ],
    ids=["examples-blank-padded", "nul-ended", "full-field", "empty-fields", "zero", "negative",
         "all-fields"],
)
def test_tqlpar_reads_count_fields(lib_engine, fake_lib, count, written, expected):
    define(fake_lib, "TQLPAR", "i t o f n e", [count, written])
    assert lib_engine.tqlpar(7, "G") == expected


def test_tqlpar_count_beyond_the_fields_raises_index_error(lib_engine, fake_lib):
    define(fake_lib, "TQLPAR", "i t o f n e", [2000, block(b"first")], error=0)
    heard = []
    lib_engine.error_listeners.append(heard.append)
    with pytest.raises(IndexError):
        lib_engine.tqlpar(7, "G")
    assert heard == [0]


def test_tqlpar_field_with_a_byte_above_127(lib_engine, fake_lib):
    define(fake_lib, "TQLPAR", "i t o f n e", [2, block(b"fine", b"1: *2 (\xb9)")], error=1008)
    with pytest.raises(UnicodeDecodeError):
        lib_engine.tqlpar(7, "G")
    assert lib_engine.last_error == 1008


def test_tqgpar_table_is_column_major(lib_engine, fake_lib):
    table = [float(n) for n in range(560)]
    define(fake_lib, "TQGPAR", "i t i o o a e", [2, 6, table])
    assert lib_engine.tqgpar(7, "G", 2) == [
        [0.0, 20.0, 40.0, 60.0, 80.0, 100.0],
        [1.0, 21.0, 41.0, 61.0, 81.0, 101.0],
    ]
    assert fake_lib.calls == [("TQGPAR", (7, b"G\0", 1, 2))]


@pytest.mark.parametrize(
    "expressions, values",
    [(1, 2), (0, 6), (-1, 6), (3, 0), (3, -2), (20, 28), (25, 2), (1, 30), (2, 1000), (561, 1)],
)
def test_tqgpar_counts_beyond_the_table(lib_engine, fake_lib, expressions, values):
    table = [float(n) for n in range(560)]
    define(fake_lib, "TQGPAR", "i t i o o a e", [expressions, values, table])
    # No values per expression, or fewer, give empty lists (a slice end would count from the back).
    expected = [table[k : k + 20 * values : 20] if values > 0 else [] for k in range(expressions)]
    assert lib_engine.tqgpar(6, "M", 1) == expected


# --- on the stand-in ---------------------------------------------------------------------------

FCC, BCC, SIGMA, HALITE_2 = 5, 6, 7, 9
SIGMA_G = [
    "1: *3 ( 1)-( 2)-( 4) : ( 8)",
    "2: *2 ( 1)-( 2) : ( 6)",
    "3: *2 ( 3) : ( 6)-( 7)^[2]",
    "4: *R ( 1)-( 3) : ( 6)-( 8)",
    "5: *2 ( 2)-( 5) : ( 8) (Guts)",
]


@pytest.fixture
def structure(standin_engine, sample):
    return load_structure(standin_engine, sample, "excess parameters")


def test_interaction_strings_of_the_structural_sample(structure):
    assert structure.tqlpar(SIGMA, "G") == SIGMA_G
    assert len(structure.tqlpar(HALITE_2, "G")) == 1
    assert structure.tqlpar(BCC, "G") == []
    assert structure.tqlpar(BCC, "M") == ["1: *2 ( 1)-( 2)"]


def test_parameter_values_of_the_structural_sample(structure):
    assert structure.tqgpar(SIGMA, "G", 2) == [[-8000.0, 2.0, 0.0, 0.0, 0.0, 0.0],
                                                [1500.0, 0.0, 0.0, 0.0, 0.0, 0.0]]
    assert structure.tqgpar(SIGMA, "G", 5) == [[-1000.0, 0.0, 0.5, 0.0, 0.0, 0.0, 100.0, 0.0]]
    assert structure.tqgpar(BCC, "M", 1) == [[-450.0, -0.35]]


def test_changed_coefficient_is_read_back_and_strings_stay(structure):
    structure.tqcdat(13, 2, 2, 1, SIGMA, 1750.0)
    structure.tqcdat(10, 1, 1, 2, BCC, -0.4)
    assert structure.tqgpar(SIGMA, "G", 2)[1][0] == 1750.0
    assert structure.tqgpar(BCC, "M", 1) == [[-450.0, -0.4]]
    assert structure.tqlpar(SIGMA, "G") == SIGMA_G


def test_phase_without_parameters_on_the_library_road(engine, sample):
    load_structure(engine, sample, "excess parameters")
    assert engine.tqlpar(3, "G") == [] and engine.tqgpar(3, "G", 1) == []
    assert engine.tqlpar(FCC, "M") == [] and engine.tqgpar(FCC, "M", 1) == []
