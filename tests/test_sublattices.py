"""Sublattices of the stand-in's SIGMA phase (7): A B C AB Va on the first, A C Va on the
second."""

import pytest

from query_support import load_structure, sample  # noqa: F401 - sample: a fixture

SIGMA = 7
SPECIES = [["A", "B", "C", "AB", "Va"], ["A", "C", "Va"]]


@pytest.fixture
def structure(standin_engine, sample):
    return load_structure(standin_engine, sample, "phases", "sublattices")


def test_sublattice_species(structure):
    assert structure.tqnosl(SIGMA) == 2
    for sublattice, names in enumerate(SPECIES, start=1):
        assert structure.tqnolc(SIGMA, sublattice) == len(names)
        for index, name in enumerate(names, start=1):
            assert structure.tqgnlc(SIGMA, sublattice, index) == name
            assert structure.tqinlc(name, SIGMA, sublattice) == index
            assert type(structure.tqgtlc(SIGMA, sublattice, index)) is float


def test_sublattice_failures_on_the_library_road(engine, sample):
    load_structure(engine, sample, "phases", "sublattices")
    assert engine.tqinlc("B", SIGMA, 2) == 0 and engine.last_error == 311
    assert engine.tqnolc(SIGMA, 3) == 0 and engine.last_error == 406
    assert engine.tqgnlc(SIGMA, 2, 4) == "" and engine.last_error == 407
