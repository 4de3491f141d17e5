"""No routine of the stand-in reports success with a value that is not finite: the datum is
refused where it is read, the amount where it is converted, the condition or the stream where
a calculation or a query uses it, the calculation when its result would hold such a value. The
documented exception: what is not calculated (an ELIMINATED phase) has "AC" 0 and "MU" -inf."""

import ast
import math
import struct
import subprocess
import sys
import textwrap
import zlib

import pytest

from equilibrium_support import R, load, ok, write_dat

GAS, CALCITE, LIME, GRAPHITE = 1, 2, 3, 4
CST_HEADER = 44

# Each case runs from a fresh library on the limestone sample: the calls that set it up, then the
# one whose error number (and, for a read, whose value) is recorded.
SCRIPT = """
import math
from equilexproxy.raw import EquilexProxy

e = EquilexProxy(LIBRARY)
results = {}


def fresh():
    e.tqini()
    e.load_datafile(ARGS[0])
    e.last_error = 0


def record(name, call):
    e.last_error = 0
    value = call()
    results[name] = (e.last_error, value if isinstance(value, float) else None)


def stream(name, temperature, amount=1.0):
    e.tqsttp(name, (temperature, 1.0))
    e.tqstca(name, 2, 1, amount)
    e.tqsetc("T", 0, 0, 1000.0)


fresh()
e.tqcsu("Amount", "tonne")
e.tqsetc("IA", 2, 1, 1e300)
record("1e300 tonne: calculation", lambda: e.tqce(" ", 0, 0, (0, 0)))
record("1e300 tonne: G", lambda: e.tqgetr("G", 0, 0))
e.tqsetc("IA", 2, 1, 1e308)
record("1e308 tonne: calculation", lambda: e.tqce(" ", 0, 0, (0, 0)))
e.tqremc(0)
e.tqsttp("s", (298.15, 1.0))
record("1e308 tonne: stream amount", lambda: e.tqstca("s", 2, 1, 1e308))

fresh()
stream("s", 298.15, 1e308)
record("1e308 mol stream: calculation", lambda: e.tqce(" ", 0, 0, (0, 0)))
record("1e308 mol stream: H", lambda: e.tqstxp("s", "H"))

for temperature in (1e300, 5e-324):
    fresh()
    stream("s", temperature)
    record(f"stream at {temperature} K: calculation", lambda: e.tqce(" ", 0, 0, (0, 0)))
    for option in ("H", "G", "S", "V"):
        record(f"stream at {temperature} K: {option}", lambda: e.tqstxp("s", option))

fresh()
e.tqsetc("IA", 2, 1, 1.0)
e.tqsetc("P", 0, 0, 5e-324)
record("5e-324 bar: calculation", lambda: e.tqce(" ", 0, 0, (0, 0)))
e.tqsetc("P", 0, 0, 1e298)
record("1e298 bar: calculation", lambda: e.tqce(" ", 0, 0, (0, 0)))
e.tqsetc("P", 0, 0, 1e306)
record("1e306 bar: TQGDPC G", lambda: e.tqgdpc("G", 2, 1))
e.tqsetc("P", 0, 0, 1.0)
for temperature in (5e-324, -5.0):
    e.tqsetc("T", 0, 0, temperature)
    record(f"{temperature} K: calculation", lambda: e.tqce(" ", 0, 0, (0, 0)))
    record(f"{temperature} K: TQGDPC H", lambda: e.tqgdpc("H", 2, 1))
print(repr(results))
"""


@pytest.fixture(scope="module")
def outcomes(libequilex_path, sample_data_dir):
    """Every case's (error number, value), from one fresh interpreter: a crash or a hang there
    fails the cases instead of the test run."""
    prelude = (f"LIBRARY = {str(libequilex_path)!r}\n"
               f"ARGS = {[str(sample_data_dir / 'limestone.dat')]!r}\n")
    done = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(SCRIPT)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return ast.literal_eval(done.stdout.splitlines()[-1])


@pytest.mark.parametrize("case, number", [
    ("1e300 tonne: calculation", 513),  # 1e307 mol: G and H overflow
    ("1e300 tonne: G", 516),  # no result after the failed calculation
    ("1e308 tonne: calculation", 513),  # not finite once in mol
    ("1e308 tonne: stream amount", 503),
    ("1e308 mol stream: calculation", 513),
    ("1e308 mol stream: H", 513),
    ("stream at 1e+300 K: calculation", 510),
    ("stream at 1e+300 K: H", 510),
    ("stream at 1e+300 K: G", 510),
    ("stream at 5e-324 K: calculation", 510),
    ("stream at 5e-324 K: H", 510),
    ("stream at 5e-324 K: G", 510),
    ("stream at 5e-324 K: S", 510),
    ("5e-324 bar: calculation", 509),  # the gas volume R T / P overflows
    ("1e298 bar: calculation", 509),  # every function finite, the pressure (1e303 Pa) is not
    ("1e306 bar: TQGDPC G", 509),
    ("5e-324 K: calculation", 510),
    ("5e-324 K: TQGDPC H", 510),
    ("-5.0 K: calculation", 510),
    ("-5.0 K: TQGDPC H", 510),
])
def test_a_value_that_cannot_be_represented_is_refused(outcomes, case, number):
    error, value = outcomes[case]
    assert error == number
    assert value in (None, 0.0)  # the output is left as it was given


@pytest.mark.parametrize("temperature", ["1e+300", "5e-324"])
def test_a_stream_volume_without_expansion_data_is_finite_at_any_temperature(
        outcomes, engine, sample_data_dir, temperature):
    # Only the density is given: V = M / density at every temperature. Absent terms of the
    # expansion and compressibility add nothing, where 0 times an overflowing power once made
    # the volume NaN.
    load(engine, sample_data_dir / "limestone.dat")
    molar_mass = engine.tqstpc(CALCITE, 1)[0]
    density = engine.tqgdat(CALCITE, 1, "V", 1)[0]
    error, value = outcomes[f"stream at {temperature} K: V"]
    assert error == 0
    assert value == pytest.approx(molar_mass / density * 1e-3, rel=1e-12)  # dm3


def test_what_is_finite_at_a_huge_temperature_is_reported(outcomes, engine, sample_data_dir):
    # Calcite's Cp = a + b T + d / T^2 at 1e300 K: H (b T^2 / 2) overflows, S does not.
    load(engine, sample_data_dir / "limestone.dat")
    s298 = engine.tqgdat(CALCITE, 1, "S", 1)[0]
    a, b, c, d = engine.tqgdat(CALCITE, 1, "Cp", 1)[:4]
    assert c == 0.0
    t, t0 = 1e300, 298.15
    entropy = s298 + a * math.log(t / t0) + b * (t - t0) - d / 2 * (1 / (t * t) - 1 / t0**2)
    error, value = outcomes["stream at 1e+300 K: S"]
    assert error == 0
    assert value == pytest.approx(entropy, rel=1e-12)


# --- data the readers accept only where their functions are finite -------------------------------

MAGNET = """\
equilex-data: 1
components:
  - {name: A, mass: 10}
phases:
  - name: BCC
    model: IDMX
    magnetic_structure_factor: 0.28
    constituents:
      - {name: A, stoichiometry: [1], H298: 0, S298: 10, cp: [{a: 20, Tt: 3000}],
         magnetic: {Tc: 1043, moment: 2.22}}
"""

# The limestone sample's CO2 with a transformation enthalpy at the end of its first Cp range:
# finite, but G overflows at the end of the next range (6000 K).
HT_MARK = "terms: [[7.948387e-09, 3]], Tt: 1200}"


def limestone_with_ht(sample_data_dir, value):
    text = (sample_data_dir / "limestone.dat").read_text()
    assert HT_MARK in text
    return text.replace(HT_MARK, HT_MARK[:-1] + f", Ht: {value}}}")


# A binary Redlich-Kister liquid whose one excess Gibbs coefficient is L = -1000 J/mol.
MIXTURE = """\
equilex-data: 1
components:
  - {name: A, mass: 10}
  - {name: B, mass: 20}
phases:
  - name: LIQ
    model: RKMP
    constituents:
      - {name: A, stoichiometry: [1, 0], H298: 0, S298: 10, cp: [{a: 20, Tt: 3000}]}
      - {name: B, stoichiometry: [0, 1], H298: 0, S298: 10, cp: [{a: 20, Tt: 3000}]}
    excess_gibbs:
      - species: [[A, B]]
        expressions:
          - [-1000]
"""


@pytest.mark.parametrize("name, text, number", [
    ("ht", None, 110),
    ("curie", MAGNET.replace("Tc: 1043", "Tc: -1e-306"), 110),  # T / Tc overflows
    ("large curie", MAGNET.replace("Tc: 1043", "Tc: 1e308"), 110),  # 79 / (140 p tau) does
    ("mass", MAGNET.replace("mass: 10", "mass: 1e300").replace("[1]", "[1e10]"), 110),
    # Finite, but beyond what a result may hold (1e-6 of the largest double): every calculation
    # would refuse it, whatever its temperature.
    ("large h298", MAGNET.replace("H298: 0", "H298: 1e303"), 110),
    ("excess", MIXTURE.replace("[-1000]", "[1e305]"), 112),
    ("excess b", MIXTURE.replace("[-1000]", "[0, 1e300]"), 112),  # B T at 3000 K
    ("excess f", MIXTURE.replace("[-1000]", "[0, 0, 0, 0, 0, 1e305]"), 112),  # F / T at 298.15 K
])
def test_data_whose_functions_overflow_are_refused_when_read(engine, sample_data_dir, tmp_path,
                                                             name, text, number):
    if text is None:
        text = limestone_with_ht(sample_data_dir, "-1e308")
    engine.load_datafile(str(write_dat(tmp_path, f"{name}.dat", text)))
    assert engine.last_error == number


@pytest.mark.parametrize("name, text", [("magnet", MAGNET), ("mixture", MIXTURE)])
def test_the_samples_themselves_are_read(engine, tmp_path, name, text):
    load(engine, write_dat(tmp_path, f"{name}.dat", text))


def test_tqcdat_refuses_an_excess_coefficient_that_is_not_representable(engine, tmp_path):
    load(engine, write_dat(tmp_path, "mixture.dat", MIXTURE))
    before = engine.tqgpar(1, "G", 1)
    engine.tqcdat(13, 1, 1, 2, 1, 1e300)  # B of L: 3e303 J/mol at 3000 K
    assert engine.last_error == 201
    assert engine.tqgpar(1, "G", 1) == before


def patched(data, old, new, checksum):
    """The file's bytes with the one double `old` replaced by `new` (and, for .cst, the
    payload's checksum made right again, so that the content itself is judged)."""
    packed = struct.pack("<d", old)
    assert data.count(packed) == 1
    data = bytearray(data.replace(packed, struct.pack("<d", new)))
    if checksum:
        data[40:44] = struct.pack("<I", zlib.crc32(bytes(data[CST_HEADER:])))
    return bytes(data)


@pytest.mark.parametrize("extension", ["cst", "bin"])
def test_the_transparent_and_binary_readers_refuse_the_same(engine, sample_data_dir, tmp_path,
                                                            libequilex_path, extension):
    # A marked finite transformation enthalpy is written by the converter, then turned into
    # -1e308 in the file's bytes.
    source = write_dat(tmp_path, "marked.dat", limestone_with_ht(sample_data_dir, "1234.5678"))
    converter = libequilex_path.parent / "tools" / "equilex-convert"
    target = tmp_path / f"marked.{extension}"
    subprocess.run([str(converter), str(source), str(target)], check=True)
    load(engine, target)
    bad = tmp_path / f"bad.{extension}"
    bad.write_bytes(patched(target.read_bytes(), 1234.5678, -1e308, extension == "cst"))
    engine.load_datafile(str(bad))
    assert engine.last_error == 110


@pytest.mark.parametrize("selector, value", [
    ((1, 1, 6, 1, GAS), -1e308),  # Ht of CO2's first Cp range
    ((1, 1, 6, 1, GAS), -math.inf),
    ((4, 1, 1, 1, CALCITE), 1e-320),  # a density whose molar volume overflows
])
def test_tqcdat_refuses_a_value_whose_functions_overflow(engine, sample_data_dir, selector, value):
    load(engine, sample_data_dir / "limestone.dat")
    code, second, third, constituent, phase = selector
    kind = {1: "Ht", 4: "V"}[code]
    before = engine.tqgdat(phase, constituent, kind, second)
    engine.tqcdat(*selector, value)
    assert engine.last_error == 201
    assert engine.tqgdat(phase, constituent, kind, second) == before


def test_tqcdat_refuses_a_curie_temperature_whose_functions_overflow(engine, tmp_path):
    load(engine, write_dat(tmp_path, "magnet.dat", MAGNET))
    engine.tqcdat(7, 1, 1, 1, 1, -1e-306)
    assert engine.last_error == 201
    assert engine.tqgdat(1, 1, "M", 1)[0] == 1043.0


# --- what a result holds ---------------------------------------------------------------------------


@pytest.fixture
def limestone(engine, sample_data_dir):
    e = load(engine, sample_data_dir / "limestone.dat")
    for k, amount in ((1, 1.0), (2, 1.0), (3, 3.0)):
        e.tqsetc("IA", 0, k, amount)
    return e


def test_an_activity_beyond_the_largest_double_is_refused_and_listed_with_its_exponent(
        limestone, tmp_path):
    # Dormant calcite at 10 K, far from stable: R T ln a is finite, a itself is not.
    e = limestone
    log = tmp_path / "list.log"
    e.tqopen(str(log), 6)
    e.tqcsp(CALCITE, "DORMANT")
    e.tqsetc("T", 0, 0, 10.0)
    e.calc(show=True)
    ok(e)
    ln_activity = e.tqgetr("MU", CALCITE, 0) / (R * 10.0)
    assert ln_activity > math.log(sys.float_info.max)
    assert e.tqgetr("AC", CALCITE, 0) == 0.0 and e.last_error == 606
    exponent = math.floor(ln_activity / math.log(10.0))
    row = next(line for line in log.read_text().splitlines() if line.startswith("  CaCO3"))
    assert row.endswith(f"e+{exponent}")
    assert "inf" not in log.read_text()


@pytest.mark.parametrize("option, phase, constituent, value", [
    ("A", LIME, 0, math.inf),  # would pass for a formation target, whose value's sign is read
    ("A", LIME, 0, math.nan),
    ("A", LIME, 0, -math.inf),
    ("AT", GAS, 1, math.nan),
])
def test_a_target_value_that_is_not_finite_is_refused(limestone, option, phase, constituent,
                                                      value):
    e = limestone
    e.tqsetc(option, phase, constituent, value)
    e.calc_Ttarget(estimate=(1000.0, 0.0))
    assert e.last_error == 711
    e.last_error = 0
    e.tqgetr("T", 0, 0)
    assert e.last_error == 516


def test_what_is_not_calculated_reads_activity_0_and_potential_minus_infinity(limestone):
    e = limestone
    e.tqcsp(GRAPHITE, "ELIMINATED")
    e.tqcspc(GAS, 3, "ELIMINATED")
    e.tqsetc("T", 0, 0, 1000.0)
    e.calc()
    ok(e)
    for phase, constituent in ((GRAPHITE, 0), (GAS, 3)):
        assert e.tqgetr("AC", phase, constituent) == 0.0
        assert e.tqgetr("MU", phase, constituent) == -math.inf
        ok(e)
