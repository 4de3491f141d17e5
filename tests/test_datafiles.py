"""Reading and writing data-files in the stand-in library, through ctypes alone.

The sample data come from the build: $EQX_BUILD/data holds every sample as .dat, .cst and .bin
(the .cst and .bin made by standin/tools/equilex-convert). Damaged files are made here from the
samples, by text edits (.dat) or byte edits at the documented offsets (.cst, .bin).
"""

import ctypes
import json
import random
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import pytest

SAMPLES = ["limestone", "water", "structure"]
FORMATS = ["dat", "cst", "bin"]
OPEN_ROUTINE = {"dat": "TQOPNA", "cst": "TQOPNT", "bin": "TQOPNB"}
READ_ROUTINE = {"dat": "TQRFIL", "cst": "TQRCST", "bin": "TQRBIN"}
READ_ERRORS = {103, 110, 111, 112}
CST_ERRORS = READ_ERRORS | {155, 156, 161, 162}

# TQUSED of the samples: constituents, components, mixture phases, excess Gibbs and excess
# magnetic parameters of one phase, sublattices of one phase, species of one sublattice,
# quasichemical constituents, Cp ranges of one constituent, Cp ranges, constituents with V data.
SIZES = {
    "limestone": (6, 3, 1, 0, 0, 1, 3, 0, 3, 10, 3),
    "water": (4, 2, 1, 0, 0, 1, 3, 0, 3, 10, 1),  # Cp ranges: H2 3, O2 3, H2O 2, liquid 2
    "structure": (37, 4, 8, 5, 1, 2, 5, 0, 3, 39, 3),
}

CST_HEADER = 44


@pytest.fixture(scope="session")
def build_dir(libequilex_path):
    return libequilex_path.parent.parent


@pytest.fixture(scope="session")
def data_dir(sample_data_dir):
    return sample_data_dir


@pytest.fixture(scope="session")
def converter(build_dir):
    path = build_dir / "standin" / "tools" / "equilex-convert"
    if not path.is_file():
        pytest.fail(f"{path} is missing: build standin/tools/equilex-convert first")
    return path


class Library:
    def __init__(self, path):
        self.dll = ctypes.CDLL(str(path))
        self.dll.eqx_standin_reset()

    def call(self, routine, *arguments):
        error = ctypes.c_int(-7777)
        getattr(self.dll, routine)(*arguments, ctypes.byref(error))
        return error.value

    def ini(self):
        assert self.call("TQINI") == 0

    def open(self, fmt, path, unit=10):
        name = str(path).encode()
        return self.call(OPEN_ROUTINE[fmt], name, len(name), ctypes.byref(ctypes.c_int(unit)))

    def close(self, unit=10):
        return self.call("TQCLOS", ctypes.byref(ctypes.c_int(unit)))

    def read(self, fmt):
        return self.call(READ_ROUTINE[fmt])

    def load(self, path, fmt=None, close=True):
        """Opens, reads and (by default) closes; returns the read's error number."""
        fmt = fmt or Path(path).suffix[1:].lower()
        assert self.open(fmt, path) == 0
        error = self.read(fmt)
        if close:
            assert self.close() == 0
        return error

    def used(self, routine="TQUSED"):
        sizes = [ctypes.c_int(-1) for _ in range(11)]
        error = self.call(routine, *[ctypes.byref(s) for s in sizes])
        return error, tuple(s.value for s in sizes)

    def most(self):
        """The maxima TQSIZE reports, in the order of TQUSED."""
        error, sizes = self.used("TQSIZE")
        assert error == 0
        return sizes

    def load_logged(self, path, log):
        """Loads with a log file on the ERROR unit; the read's error number and what it logged."""
        log.write_bytes(b"")
        assert self.open("dat", log, unit=6) == 0
        error = self.load(path)
        assert self.close(6) == 0
        return error, log.read_text(encoding="latin-1")

    def wasc(self, path):
        name = path if isinstance(path, bytes) else str(path).encode()
        return self.call("TQWASC", name, len(name))

    def cio(self, option, value):
        return self.call("TQCIO", option, len(option), ctypes.byref(ctypes.c_int(value)))


@pytest.fixture
def lib(libequilex_path):
    library = Library(libequilex_path)
    library.ini()
    yield library
    library.dll.eqx_standin_reset()


def sample(data_dir, name, fmt):
    return (data_dir / f"{name}.{fmt}").read_bytes()


def cst_with_payload(header, payload):
    """A .cst of header and payload with the payload length and checksum made right again."""
    header = bytearray(header[:CST_HEADER])
    header[32:40] = struct.pack("<Q", len(payload))
    header[40:44] = struct.pack("<I", zlib.crc32(payload))
    return bytes(header) + payload


def first_phase_name_offset(payload):
    """Offset of the first phase's name bytes in a .cst payload (title, commentary, components)."""
    position = 0

    def text():
        nonlocal position
        (length,) = struct.unpack_from("<I", payload, position)
        position += 4 + length

    text()
    text()
    (components,) = struct.unpack_from("<I", payload, position)
    position += 4
    for _ in range(components):
        text()
        position += 8
    position += 4  # phase count
    return position + 4  # past the name's length


# --- the samples in all three formats --------------------------------------------------------


@pytest.mark.parametrize("name", SAMPLES)
@pytest.mark.parametrize("fmt", FORMATS)
def test_every_sample_loads_in_every_format_as_the_same_system(lib, data_dir, name, fmt):
    assert lib.load(data_dir / f"{name}.{fmt}") == 0
    assert lib.used() == (0, SIZES[name])


@pytest.mark.parametrize("name", SAMPLES)
def test_cst_and_bin_hold_exactly_the_data_of_the_dat(data_dir, converter, tmp_path, name):
    written = {}
    for fmt in FORMATS:
        out = tmp_path / f"{name}-from-{fmt}.dat"
        subprocess.run([converter, data_dir / f"{name}.{fmt}", out], check=True)
        written[fmt] = out.read_bytes()
    assert written["cst"] == written["dat"]
    assert written["bin"] == written["dat"]


def test_sizes_are_zero_without_data_and_101_before_tqini(libequilex_path):
    library = Library(libequilex_path)
    error, sizes = library.used()
    assert error == 101 and sizes == (-1,) * 11  # nothing written on failure
    library.ini()
    assert library.used() == (0, (0,) * 11)


def test_reading_replaces_the_system_and_a_failed_read_leaves_none(lib, data_dir, tmp_path):
    assert lib.load(data_dir / "structure.dat") == 0
    assert lib.load(data_dir / "limestone.bin") == 0
    assert lib.used() == (0, SIZES["limestone"])
    broken = tmp_path / "broken.dat"
    broken.write_text("equilex-data: 1\ncomponents: []\n")
    assert lib.load(broken) == 103
    assert lib.used() == (0, (0,) * 11)
    assert lib.wasc(tmp_path / "out.dat") == 104


def test_reading_needs_a_file_on_the_file_unit(lib, data_dir):
    for fmt in FORMATS:
        assert lib.read(fmt) == 102
    # Opened under 20 while the FILE option still names 10: the read looks at unit 10.
    assert lib.open("dat", data_dir / "water.dat", unit=20) == 0
    assert lib.read("dat") == 102
    assert lib.cio(b"FILE", 20) == 0
    assert lib.read("dat") == 0
    assert lib.used() == (0, SIZES["water"])
    assert lib.close(20) == 0


def test_tqrfil_refuses_transparent_and_binary_files(lib, data_dir):
    assert lib.load(data_dir / "water.cst", fmt="dat") == 103
    assert lib.load(data_dir / "water.bin", fmt="dat") == 103
    assert lib.load(data_dir / "water.dat", fmt="cst") == 161
    assert lib.load(data_dir / "water.dat", fmt="bin") == 103


# --- read errors -----------------------------------------------------------------------------

# Edits of structure.dat: the text to replace (its first occurrence), its replacement and the
# error number.
MAGNETIC_PARAMETER = """      - species: [[A, B]]
        kind: "2"
        expressions:
          - [-450"""
DAT_DEFECTS = {
    "schema version": ("equilex-data: 1", "equilex-data: 2", 103),
    "yaml syntax": ("  - {name: B, mass: 20.25}", "  - {name: B, mass: 20.25", 103),
    "component mass": ("{name: B, mass: 20.25}", "{name: B, mass: heavy}", 103),
    "unknown top-level key": ("components:", "componentz:", 103),
    "cp ranges out of order": ("Tt: 1500, Ht: 2500", "Tt: 700, Ht: 2500", 110),
    "stoichiometry length": ("[0, 0, 1, 0]\n        H298: 0", "[0, 0, 1]\n        H298: 0", 110),
    "name of 25 characters": ("LONG_PHASE_NAME_24_CHARS", "LONG_PHASE_NAME_25_CHARSX", 110),
    "unknown sublattice species": ("species: [A, Va]", "species: [A, Vx]", 110),
    "magnetic parameter species": (MAGNETIC_PARAMETER, MAGNETIC_PARAMETER.replace("B", "Q"), 111),
    "magnetic parameter value": ("[-450, -0.35]", "[-450, minus]", 111),
    "gibbs species on the wrong sublattice": ("[[A, B, AB], [Va]]", "[[A, B, AB], [B]]", 112),
    "gibbs expression too long": ("[-1000, 0, 0.5, 0, 0, 0, 100, 0]", str([1] * 29), 112),
    "gibbs model word": ("model: Guts", "model: Gutz", 112),
}


@pytest.mark.parametrize("defect", DAT_DEFECTS)
def test_dat_read_errors(lib, data_dir, tmp_path, defect):
    old, new, number = DAT_DEFECTS[defect]
    text = sample(data_dir, "structure", "dat").decode("latin-1")
    assert text.count(old) >= 1, old
    path = tmp_path / "defect.dat"
    path.write_bytes(text.replace(old, new, 1).encode("latin-1"))
    assert lib.load(path) == number
    assert lib.used() == (0, (0,) * 11)


def test_read_error_message_names_the_line(lib, data_dir, tmp_path):
    text = sample(data_dir, "structure", "dat").decode()
    lines = text.splitlines(keepends=True)
    bad = next(i for i, line in enumerate(lines) if "Tt: 1500, Ht: 2500" in line)
    lines[bad] = lines[bad].replace("Tt: 1500", "Tt: hot")
    path = tmp_path / "defect.dat"
    path.write_text("".join(lines))
    log = tmp_path / "errors.log"
    log.write_text("")
    assert lib.open("dat", log, unit=6) == 0  # the ERROR unit
    assert lib.load(path) == 110
    assert lib.close(6) == 0
    written = log.read_text()
    assert f"line {bad + 1}:" in written and "must be a number" in written


def corrupt_cst(data):
    payload = data[CST_HEADER:]
    phase_name = first_phase_name_offset(payload)
    return {
        "magic": (b"\x7fEQXCSX" + data[7:], 161),
        "ascii file": (b"equilex-data: 1\n", 161),
        "empty": (b"", 161),
        "version": (data[:8] + struct.pack("<I", 2) + data[12:], 162),
        "header cut": (data[:30], 155),
        "payload byte flipped": (data[:-3] + bytes([data[-3] ^ 0x40]) + data[-2:], 155),
        "truncated": (data[:-1], 155),
        "component count": (data[:12] + struct.pack("<I", 5) + data[16:], 156),
        "constituent count": (data[:20] + struct.pack("<I", 36) + data[24:], 156),
        "gibbs count": (data[:24] + struct.pack("<I", 9) + data[28:], 156),
        "control byte in a phase name": (
            cst_with_payload(data, payload[:phase_name] + b"\x01" + payload[phase_name + 1:]), 110),
        "trailing bytes": (cst_with_payload(data, payload + b"\0"), 103),
    }


@pytest.mark.parametrize("case", [
    "magic", "ascii file", "empty", "version", "header cut", "payload byte flipped", "truncated",
    "component count", "constituent count", "gibbs count", "control byte in a phase name",
    "trailing bytes"])
def test_cst_errors_in_check_order(lib, data_dir, tmp_path, case):
    data, number = corrupt_cst(sample(data_dir, "structure", "cst"))[case]
    path = tmp_path / "defect.cst"
    path.write_bytes(data)
    assert lib.load(path) == number


def test_cst_of_unknown_version_from_the_converter(lib, data_dir, converter, tmp_path):
    path = tmp_path / "future.cst"
    subprocess.run([converter, "--cst-version", "7", data_dir / "water.dat", path], check=True)
    assert lib.load(path) == 162
    subprocess.run([converter, data_dir / "water.dat", path], check=True)
    assert lib.load(path) == 0


@pytest.mark.parametrize("edit, number", [
    (lambda data: b"\x7fEQXBIX\n" + data[8:], 103),
    (lambda data: data[:8] + b"\x02" + data[9:], 103),
    (lambda data: data[:9], 103),
    (lambda data: data + b"\x00", 103),
])
def test_bin_read_errors(lib, data_dir, tmp_path, edit, number):
    path = tmp_path / "defect.bin"
    path.write_bytes(edit(sample(data_dir, "water", "bin")))
    assert lib.load(path) == number


# --- systems written by the tests: a description in all three formats -------------------------
#
# A system is described as the .dat document it is (a dict; JSON is YAML), and written as .cst and
# .bin by the payload layout of data/README.md, so the tests can make files the converter would
# refuse to write.


class Payload:
    """The payload encoding: fixed-width little-endian (.cst) or variable-length (.bin)."""

    def __init__(self, compact):
        self.compact = compact
        self.out = bytearray()

    def varint(self, value):
        while True:
            byte = value & 0x7F
            value >>= 7
            self.out.append(byte | (0x80 if value else 0))
            if not value:
                return

    def count(self, value):
        if self.compact:
            self.varint(value)
        else:
            self.out += struct.pack("<I", value)

    def integer(self, value):
        if self.compact:
            self.varint(2 * value if value >= 0 else -2 * value - 1)
        else:
            self.out += struct.pack("<i", value)

    def byte(self, value):
        self.out.append(value)

    def real(self, value):
        self.out += struct.pack("<d", value)

    def text(self, value):
        data = value.encode("latin-1")
        self.count(len(data))
        self.out += data


def species_number(phase, group, name):
    """Phase-wide number of the species `name` of sublattice `group` (constituents without)."""
    sublattices = phase.get("sublattices")
    if not sublattices:
        return [c["name"] for c in phase["constituents"]].index(name)
    return sum(len(s["species"]) for s in sublattices[:group]) + sublattices[group]["species"].index(name)


def encode_payload(system, compact):
    """The payload of a system description; and the header's five counts."""
    e = Payload(compact)
    e.text(system.get("title", ""))
    e.text(system.get("commentary", ""))
    e.count(len(system["components"]))
    for component in system["components"]:
        e.text(component["name"])
        e.real(component["mass"])
    e.count(len(system["phases"]))
    constituents = gibbs = magnetic = 0
    for phase in system["phases"]:
        e.text(phase["name"])
        e.text(phase["model"])
        e.byte(1 if phase.get("gas") else 0)
        e.byte(phase.get("copies", 1))
        e.real(0.0)
        e.byte(0)
        sublattices = phase.get("sublattices", [])
        e.count(len(sublattices))
        for sublattice in sublattices:
            e.real(sublattice.get("sites", 1))
            e.count(len(sublattice["species"]))
            for name in sublattice["species"]:
                e.text(name)
        e.count(len(phase["constituents"]))
        constituents += len(phase["constituents"])
        for constituent in phase["constituents"]:
            e.text(constituent["name"])
            e.count(len(constituent["stoichiometry"]))
            for value in constituent["stoichiometry"]:
                e.real(value)
            e.real(0.0)
            e.byte(1 | (4 if "volume" in constituent else 0))
            e.byte(0)
            e.real(constituent["H298"])
            e.real(constituent["S298"])
            e.count(len(constituent["cp"]))
            for cp in constituent["cp"]:
                for key in "abcd":
                    e.real(cp.get(key, 0.0))
                e.count(0)
                e.real(cp["Tt"])
                e.real(0.0)
            if "volume" in constituent:
                for value in [constituent["volume"]["density"]] + [0.0] * 10:
                    e.real(value)
            species = constituent.get("species", [])
            e.count(len(species))
            for group, name in enumerate(species):
                e.integer(sublattices[group]["species"].index(name))
        for key in ("excess_gibbs", "excess_magnetic"):
            parameters = phase.get(key, [])
            e.count(len(parameters))
            for parameter in parameters:
                e.count(len(parameter["species"]))
                for group, names in enumerate(parameter["species"]):
                    e.count(len(names))
                    for term in names:  # a name, or {name, power}
                        term = term if isinstance(term, dict) else {"name": term, "power": 0}
                        e.integer(species_number(phase, group, term["name"]))
                        e.integer(term["power"])
                e.text(parameter["kind"])
                e.text("")
                expressions = parameter["expressions"]
                e.count(len(expressions))
                e.count(len(expressions[0]))
                for expression in expressions:
                    for value in expression:
                        e.real(value)
        gibbs += len(phase.get("excess_gibbs", []))
        magnetic += len(phase.get("excess_magnetic", []))
    counts = (len(system["components"]), len(system["phases"]), constituents, gibbs, magnetic)
    return bytes(e.out), counts


def encode(system, fmt):
    """The bytes of a system description as a data-file of the format."""
    if fmt == "dat":
        document = {key: value for key, value in system.items() if key != "commentary"}
        text = json.dumps({"equilex-data": 1, **document}, ensure_ascii=False).encode("latin-1")
        if "commentary" in system:
            text += b"\n...\n" + system["commentary"].encode("latin-1")
        return text
    payload, counts = encode_payload(system, compact=fmt == "bin")
    if fmt == "bin":
        return b"\x7fEQXBIN\n\x01" + payload
    header = b"\x7fEQXCST\n" + struct.pack("<6I", 1, *counts)
    return header + struct.pack("<QI", len(payload), zlib.crc32(payload)) + payload


def constituent(name, components=1, index=0, cp_ranges=1, **more):
    """A constituent of unit stoichiometry in component `index`, with `cp_ranges` Cp ranges."""
    return {
        "name": name,
        "stoichiometry": [1.0 if k == index else 0.0 for k in range(components)],
        "H298": 0.0,
        "S298": 30.0,
        "cp": [{"a": 25.0, "Tt": 400.0 + 100 * r} for r in range(cp_ranges)],
        **more,
    }


def mixture(name, count, model="IDMX", prefix="K", **more):
    return {"name": name, "model": model,
            "constituents": [constituent(f"{prefix}{k}", **more) for k in range(count)]}


def system_of(*phases, components=1):
    return {"components": [{"name": f"E{k}", "mass": 1.0} for k in range(components)],
            "phases": list(phases)}


def chunks(count, size=100):
    """count split into pieces of at most size."""
    return [min(size, count - start) for start in range(0, count, size)]


def with_parameters(count, key, expression):
    phase = mixture("L", 2)
    phase[key] = [{"species": [["K0", "K1"]], "kind": "2", "expressions": [expression]}] * count
    return system_of(phase)


# Each maximum of TQSIZE: its place in TQUSED, a system holding n of it, the read error number.
LIMITS = {
    "components": (1, lambda n: system_of(
        {"name": "P", "model": "PURE", "constituents": [constituent("K", components=n)]},
        components=n), 103),
    "mixture phases": (2, lambda n: system_of(
        *(mixture(f"M{k}", 1) for k in range(n))), 110),
    "mixture phases, de-mixing copies counted": (2, lambda n: system_of(
        *({**mixture(f"M{k}", 1), "copies": 2} for k in range(n // 2)),
        *(mixture("ODD", 1) for _ in range(n % 2))), 110),
    "constituents in all": (0, lambda n: system_of(
        *(mixture(f"M{k}", size) for k, size in enumerate(chunks(n)))), 110),
    "Cp ranges of a constituent": (8, lambda n: system_of(
        {"name": "P", "model": "PURE", "constituents": [constituent("K", cp_ranges=n)]}), 110),
    "sublattices": (5, lambda n: system_of(
        {"name": "S", "model": "SUBL", "sublattices": [{"species": ["A"]}] * n,
         "constituents": [constituent("K", species=["A"] * n)]}), 110),
    "species on a sublattice": (6, lambda n: system_of(
        {"name": "S", "model": "SUBL", "sublattices": [{"species": [f"A{k}" for k in range(n)]}],
         "constituents": [constituent("K", species=["A0"])]}), 110),
    "constituents of a mixture without sublattices": (6, lambda n: system_of(
        mixture("L", n)), 110),
    "quasichemical constituents": (7, lambda n: system_of(mixture("Q", n, model="QUAS")), 110),
    "constituents with molar volumes": (10, lambda n: system_of(
        *(mixture(f"M{k}", size, volume={"density": 2.0})
          for k, size in enumerate(chunks(n)))), 110),
    "excess Gibbs parameters of a phase": (3, lambda n: with_parameters(
        n, "excess_gibbs", [-1000.0, 0, 0, 0, 0, 0]), 112),
    "excess magnetic parameters of a phase": (4, lambda n: with_parameters(
        n, "excess_magnetic", [-100.0, -0.1]), 111),
}


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("case", LIMITS)
def test_a_system_beyond_a_maximum_of_tqsize_is_refused(lib, tmp_path, case, fmt):
    item, build, number = LIMITS[case]
    most = lib.most()[item]
    at_most, beyond = tmp_path / f"at-most.{fmt}", tmp_path / f"beyond.{fmt}"
    at_most.write_bytes(encode(build(most), fmt))
    beyond.write_bytes(encode(build(most + 1), fmt))
    assert lib.load(at_most) == 0
    assert lib.used()[1][item] == most
    error, logged = lib.load_logged(beyond, tmp_path / "errors.log")
    assert error == number
    assert f"more than {most} " in logged, "the message names the limit"
    assert lib.used() == (0, (0,) * 11)


def test_the_converter_refuses_what_the_library_cannot_hold(lib, converter, tmp_path):
    most = lib.most()[1]
    source = tmp_path / "wide.dat"
    source.write_bytes(encode(LIMITS["components"][1](most + 1), "dat"))
    run = subprocess.run([converter, source, tmp_path / "wide.cst"], capture_output=True,
                         text=True)
    assert run.returncode == 2
    assert run.stderr.startswith("error 103:") and f"more than {most} system components" in run.stderr
    assert not (tmp_path / "wide.cst").exists()


# A small system with an item of every kind that has a name or keys of its own.
SMALL = {
    "title": "small",
    "components": [{"name": "A", "mass": 10.0}, {"name": "B", "mass": 20.0}],
    "phases": [
        {"name": "LIQUID", "model": "RKMP", "constituents": [
            constituent("A", 2, 0, volume={"density": 2.0}),
            constituent("B", 2, 1)],
         "excess_gibbs": [{"species": [["A", {"name": "B", "power": 1}]], "kind": "2",
                           "expressions": [[-1000.0, 0, 0, 0, 0, 0]]}],
         "excess_magnetic": [{"species": [["A", "B"]], "kind": "2",
                              "expressions": [[-100.0, -0.1]]}]},
        {"name": "SIGMA", "model": "SUBL", "sublattices": [{"sites": 1, "species": ["A", "B"]}],
         "constituents": [constituent("SA", 2, 0, species=["A"]),
                          constituent("SB", 2, 1, species=["B"])]},
    ],
}


def test_the_tests_write_cst_and_bin_as_the_converter_does(converter, tmp_path):
    source = tmp_path / "small.dat"
    source.write_bytes(encode(SMALL, "dat"))
    for fmt in ("cst", "bin"):
        subprocess.run([converter, source, tmp_path / f"small.{fmt}"], check=True)
        assert (tmp_path / f"small.{fmt}").read_bytes() == encode(SMALL, fmt)


# Repeated keys: the first value would win and the second be lost without a word. Edits of the
# one-line .dat of SMALL (first occurrence).
REPEATED_KEYS = {
    "top level": ('"title": "small"', '"title": "small", "title": "other"', 103),
    "component": ('"mass": 10.0', '"mass": 10.0, "mass": 11.0', 103),
    "phase": ('"model": "RKMP"', '"model": "RKMP", "model": "IDMX"', 110),
    "constituent": ('"H298": 0.0', '"H298": 0.0, "H298": 5.0', 110),
    "Cp range": ('"a": 25.0', '"a": 25.0, "a": 26.0', 110),
    "molar volume": ('"density": 2.0', '"density": 2.0, "density": 3.0', 110),
    "sublattice": ('"sites": 1', '"sites": 1, "sites": 2', 110),
    "excess Gibbs parameter": ('"kind": "2"', '"kind": "2", "kind": "3"', 112),
    "species with a power": ('"power": 1', '"power": 1, "power": 2', 112),
    "excess magnetic parameter": ('"species": [["A", "B"]]',
                                  '"species": [["A", "B"]], "species": [["B", "A"]]', 111),
}


@pytest.mark.parametrize("case", REPEATED_KEYS)
def test_a_repeated_key_is_refused(lib, tmp_path, case):
    old, new, number = REPEATED_KEYS[case]
    text = encode(SMALL, "dat").decode()
    assert text.count(old) >= 1, old
    path = tmp_path / "repeated.dat"
    path.write_text(text.replace(old, new, 1))
    error, logged = lib.load_logged(path, tmp_path / "errors.log")
    assert error == number
    assert "repeated key" in logged


def renamed(path, name):
    """SMALL with the name at path (keys and indices into SMALL) replaced, and every use of it."""
    system = json.loads(json.dumps(SMALL))
    item = system
    for key in path[:-1]:
        item = item[key]
    old = item.get(path[-1]) if isinstance(item, dict) else item[path[-1]]
    item[path[-1]] = name
    if path[:2] == ["phases", 1] and "sublattices" in path:  # a species: its constituents too
        for constituent_ in system["phases"][1]["constituents"]:
            constituent_["species"] = [name if s == old else s for s in constituent_["species"]]
    return system


COMPONENT = ["components", 0, "name"]
PHASE = ["phases", 0, "name"]
CONSTITUENT = ["phases", 1, "constituents", 0, "name"]
SPECIES = ["phases", 1, "sublattices", 0, "species", 1]

# Names that could not be read back as they stand (every reader strips or ignores trailing
# blanks), and the read error of their section. Leading blanks belong to a name.
UNREADABLE_NAMES = [
    (COMPONENT, "   ", 103),
    (PHASE, " ", 110),
    (CONSTITUENT, "  ", 110),
    (SPECIES, "    ", 110),
    (COMPONENT, "A ", 103),
    (PHASE, "LIQUID  ", 110),
    (CONSTITUENT, "SA ", 110),
    (SPECIES, "B ", 110),
    (COMPONENT, "  A", 0),
    (SPECIES, " B", 0),
]


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("path, name, number", UNREADABLE_NAMES)
def test_names_of_blanks_or_ending_in_one_are_refused(lib, tmp_path, fmt, path, name, number):
    source = tmp_path / f"named.{fmt}"
    source.write_bytes(encode(renamed(path, name), fmt))
    assert lib.load(source) == number


# Texts of a system the library hands out again (queries, TQWASC) are ASCII: a byte above 127
# in one is refused with the read error of its section, the message quoting it as \xNN.
NOT_ASCII = [
    (COMPONENT, "\xc5", 103),
    (PHASE, "LIQUID\xa0", 110),
    (CONSTITUENT, "S\xe4", 110),
    (SPECIES, "\xdf", 110),
    (["title"], "sm\xe5ll", 103),
    (["commentary"], "Sources:\nG\xfcnther\n", 103),
]


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("path, text, number", NOT_ASCII)
def test_a_text_with_a_byte_above_127_is_refused(lib, tmp_path, fmt, path, text, number):
    source = tmp_path / f"latin.{fmt}"
    source.write_bytes(encode(renamed(path, text), fmt))
    error, logged = lib.load_logged(source, tmp_path / "errors.log")
    assert error == number
    assert logged.isascii()
    logged = " ".join(logged.split())  # the log breaks its lines at blanks
    assert "a byte above 127" in logged
    if path[-1] == "commentary":
        assert "its line 2" in logged
    else:
        quoted = "".join(c if c.isascii() else f"\\x{ord(c):02x}" for c in text)
        assert f'"{quoted}"' in logged, "the message quotes the text"
    assert lib.used() == (0, (0,) * 11)
    source.write_bytes(encode(renamed(path, text.encode("latin-1").decode("ascii", "ignore")
                                      or "Z"), fmt))
    assert lib.load(source) == 0


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("name", [" ", "L "])
def test_a_phase_included_twice_needs_a_name_without_trailing_blanks(lib, tmp_path, fmt, name):
    system = renamed(PHASE, name)
    system["phases"][0]["copies"] = 2
    source = tmp_path / f"twice.{fmt}"
    source.write_bytes(encode(system, fmt))
    assert lib.load(source) == 110
    system["phases"][0]["name"] = "L"
    source.write_bytes(encode(system, fmt))
    assert lib.load(source) == 0


# --- writing back ----------------------------------------------------------------------------


@pytest.mark.parametrize("name", SAMPLES)
def test_written_data_file_reads_back_as_the_same_system(lib, data_dir, tmp_path, name):
    assert lib.load(data_dir / f"{name}.dat") == 0
    first, second = tmp_path / "first.dat", tmp_path / "second.dat"
    assert lib.wasc(first) == 0
    assert lib.load(first) == 0
    assert lib.used() == (0, SIZES[name])
    assert lib.wasc(second) == 0
    assert second.read_bytes() == first.read_bytes()


def test_commentary_block_only_while_the_source_is_open(lib, data_dir, tmp_path):
    source = data_dir / "limestone.dat"
    commentary = source.read_bytes().split(b"\n...\n", 1)[1]
    assert b"NIST-JANAF" in commentary
    open_copy, closed_copy = tmp_path / "open.dat", tmp_path / "closed.dat"

    assert lib.load(source, close=False) == 0
    assert lib.wasc(open_copy) == 0
    assert lib.close() == 0
    assert lib.wasc(closed_copy) == 0

    assert open_copy.read_bytes().endswith(b"\n...\n" + commentary)
    assert b"\n...\n" not in closed_copy.read_bytes()
    assert open_copy.read_bytes().startswith(closed_copy.read_bytes())
    # Another file opened on the unit ends it too, and so does reading another data-file there.
    assert lib.load(source, close=False) == 0
    assert lib.open("dat", data_dir / "water.dat") == 0
    assert lib.wasc(closed_copy) == 0
    assert b"\n...\n" not in closed_copy.read_bytes()


@pytest.mark.parametrize("written", [
    b'"G\xe4S\xff"',  # Latin-1 bytes
    b"G\xc3\xa4S",  # UTF-8, unquoted
    b'"G\\u00e4S"',  # a YAML escape: UTF-8 bytes in the name read
])
def test_a_name_with_bytes_above_127_is_refused_with_its_line(lib, data_dir, converter, tmp_path,
                                                              written):
    text = sample(data_dir, "water", "dat")
    line = text[: text.index(b"name: GAS")].count(b"\n") + 1
    source = tmp_path / "latin.dat"
    source.write_bytes(text.replace(b"name: GAS", b"name: " + written))
    error, logged = lib.load_logged(source, tmp_path / "errors.log")
    assert error == 110
    assert logged.isascii() and f"line {line}: phase 1: name " in logged
    checked = subprocess.run([converter, "--check", source], capture_output=True)
    assert checked.returncode == 2 and checked.stderr.startswith(b"error 110: ")
    assert checked.stderr.isascii()
    # A YAML comment is not kept, so nothing of it is handed out: it may hold any bytes.
    source.write_bytes(b"# Gibbs\xe2\x80\x93Helmholtz, \xe9d. 2\n" + text)
    assert lib.load(source) == 0


@pytest.mark.parametrize("fmt", ["cst", "bin"])
def test_tqwasc_needs_ascii_data(lib, data_dir, tmp_path, fmt):
    assert lib.load(data_dir / f"structure.{fmt}") == 0
    assert lib.wasc(tmp_path / "out.dat") == 1000
    assert not (tmp_path / "out.dat").exists()


def test_tqwasc_reports_a_file_it_cannot_create(lib, data_dir, tmp_path):
    assert lib.load(data_dir / "water.dat") == 0
    assert lib.wasc(tmp_path / "missing" / "out.dat") == 107
    assert lib.wasc(b"") == 107
    name = str(tmp_path / "out.dat").encode() + b"\0junk"
    assert lib.call("TQWASC", name, len(name)) == 107
    padded = str(tmp_path / "padded.dat").encode() + b"    "
    assert lib.call("TQWASC", padded, len(padded)) == 0
    assert (tmp_path / "padded.dat").is_file()


# --- damaged files never crash or hang the reader ---------------------------------------------

FUZZ_SCRIPT = r"""
import ctypes, json, sys
dll = ctypes.CDLL(sys.argv[1])
opener = {"dat": dll.TQOPNA, "cst": dll.TQOPNT, "bin": dll.TQOPNB}[sys.argv[2]]
reader = {"dat": dll.TQRFIL, "cst": dll.TQRCST, "bin": dll.TQRBIN}[sys.argv[2]]
error = ctypes.c_int()
dll.TQINI(ctypes.byref(error))
unit = ctypes.c_int(10)
results = []
for path in sys.argv[3:]:
    name = path.encode()
    opener(name, len(name), ctypes.byref(unit), ctypes.byref(error))
    reader(ctypes.byref(error))
    results.append(error.value)
    dll.TQCLOS(ctypes.byref(unit), ctypes.byref(error))
print(json.dumps(results))
"""


def damaged_copies(data, seed):
    """Truncations at spread-out lengths and copies with single bits flipped."""
    rng = random.Random(seed)
    cuts = sorted({0, 1, 7, 8, 9, 12, 43, 44, 45, len(data) - 1} |
                  {rng.randrange(len(data)) for _ in range(60)})
    copies = [("cut", data[:n]) for n in cuts if n < len(data)]
    for _ in range(120):
        position = rng.randrange(len(data))
        flipped = bytearray(data)
        flipped[position] ^= 1 << rng.randrange(8)
        copies.append(("flip", bytes(flipped)))
    return copies


@pytest.mark.parametrize("name", SAMPLES)
@pytest.mark.parametrize("fmt", FORMATS)
def test_damaged_files_give_error_numbers_not_crashes(libequilex_path, data_dir, tmp_path, name,
                                                      fmt):
    copies = damaged_copies(sample(data_dir, name, fmt), seed=f"{name}.{fmt}")
    paths = []
    for index, (_, data) in enumerate(copies):
        path = tmp_path / f"{index}.{fmt}"
        path.write_bytes(data)
        paths.append(str(path))
    run = subprocess.run([sys.executable, "-c", FUZZ_SCRIPT, str(libequilex_path), fmt, *paths],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    results = json.loads(run.stdout)
    assert len(results) == len(copies)
    allowed = CST_ERRORS if fmt == "cst" else READ_ERRORS
    for (kind, _), error in zip(copies, results):
        # A cut .cst always fails its checksum or header; a flipped bit elsewhere may leave a
        # readable file (a digit of a number, a letter of a comment).
        assert error in allowed or (error == 0 and not (kind == "cut" and fmt == "cst"))
    if fmt == "cst":
        assert 0 not in results  # every change to a .cst is caught by magic, header or checksum
