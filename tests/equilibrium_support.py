"""Helpers of the equilibrium tests: small data-files written for a test, engines loaded with a
sample or such a file, and the standard functions of a constituent computed here from the data
the engine reports with tqgdat - an evaluation independent of the library's own."""

import math

import pytest

R = 8.3144621  # J/(mol K), the gas constant of the package's own calculations
T0 = 298.15


def write_dat(directory, name, text):
    path = directory / name
    path.write_text(text)
    return path


def load(engine, path):
    """Loads a data-file on the library road, whatever road the engine is on."""
    road, engine.use_eqpy = engine.use_eqpy, False
    try:
        engine.load_datafile(str(path))
        assert engine.last_error == 0, f"{path} did not load: {engine.last_error}"
    finally:
        engine.use_eqpy = road
    return engine


def stored_ranges(engine, phase, constituent):
    """(H298, S298, [(coefficients, Tt, Ht), ...]) as tqgdat reports them."""
    road, engine.use_eqpy = engine.use_eqpy, False
    try:
        h298 = engine.tqgdat(phase, constituent, "H", 1)[0]
        s298 = engine.tqgdat(phase, constituent, "S", 1)[0]
        ranges, r = [], 1
        while True:
            cp = engine.tqgdat(phase, constituent, "Cp", r)
            if not cp:
                break
            ranges.append((cp, engine.tqgdat(phase, constituent, "Tt", r)[0],
                           engine.tqgdat(phase, constituent, "Ht", r)[0]))
            r += 1
        engine.last_error = 0
    finally:
        engine.use_eqpy = road
    return h298, s298, ranges


def _terms(coefficients):
    """Cp as (coefficient, power) terms: a, b T, c T^2, d T^-2, then the extra pairs."""
    a, b, c, d = coefficients[:4]
    terms = [(a, 0.0), (b, 1.0), (c, 2.0), (d, -2.0)]
    extra = coefficients[4:]
    terms += [(extra[i], extra[i + 1]) for i in range(0, len(extra) - 1, 2)]
    return terms


def _integral_h(terms, t1, t2):
    total = 0.0
    for e, p in terms:
        total += e * (math.log(t2 / t1) if p == -1 else (t2 ** (p + 1) - t1 ** (p + 1)) / (p + 1))
    return total


def _integral_s(terms, t1, t2):
    total = 0.0
    for e, p in terms:
        total += e * (math.log(t2 / t1) if p == 0 else (t2**p - t1**p) / p)
    return total


def standard_hs(engine, phase, constituent, t):
    """H (J/mol) and S (J/(mol K)) at 1 bar: range 1 from 298.15 K (extrapolated below it), the
    transformation enthalpies of the ranges passed, the last range extrapolated upwards."""
    h, s, ranges = stored_ranges(engine, phase, constituent)
    lower = T0
    for i, (coefficients, upper, ht) in enumerate(ranges):
        terms = _terms(coefficients)
        last = i == len(ranges) - 1
        if t <= upper or last:
            return h + _integral_h(terms, lower, t), s + _integral_s(terms, lower, t)
        h += _integral_h(terms, lower, upper) + ht
        s += _integral_s(terms, lower, upper) + ht / upper
        lower = upper
    raise AssertionError("no Cp range")


def standard_g(engine, phase, constituent, t):
    h, s = standard_hs(engine, phase, constituent, t)
    return h - t * s


def bisect(f, low, high, tolerance=1e-11):
    """The root of f in [low, high] (a sign change there)."""
    f_low = f(low)
    assert (f_low < 0) != (f(high) < 0), "no sign change"
    while high - low > tolerance * max(1.0, abs(high)):
        middle = 0.5 * (low + high)
        f_middle = f(middle)
        if (f_middle < 0) == (f_low < 0):
            low, f_low = middle, f_middle
        else:
            high = middle
    return 0.5 * (low + high)


def ok(engine):
    """The engine recorded no error since the last call of this helper."""
    assert engine.last_error == 0, engine.last_error_message
    engine.last_error = 0


@pytest.fixture
def tests_data_dir():
    """tests/data: the small data-files of the tests."""
    from pathlib import Path

    return Path(__file__).resolve().parent / "data"
