"""load_datafile and the reading methods on the stand-in library, with the sample data-files, on
both roads: the formats by extension in any case, the same system from every format, the read
errors as the engine records them, and the file unit."""

import shutil
import struct

import pytest

SAMPLES = ("limestone", "water", "structure")


def system_of(engine):
    """What the queries show of the loaded system: sizes in use, component and phase names."""
    components = [engine.tqgnsc(i) for i in range(1, engine.tqnosc() + 1)]
    phases = [
        (engine.tqgnp(p), engine.tqmodl(p), [engine.tqgnpc(p, c) for c in range(1, engine.tqnopc(p) + 1)])
        for p in range(1, engine.tqnop() + 1)
    ]
    return engine.dimensions, components, phases


@pytest.fixture
def listened(engine):
    """The error numbers the engine's listeners hear (library road only)."""
    heard = []
    engine.error_listeners.append(heard.append)
    return heard


@pytest.mark.parametrize("name", SAMPLES)
@pytest.mark.parametrize("extension", [".DAT", ".Cst", ".BIN", ".dat", ".cst", ".bin"])
def test_every_format_gives_the_same_system(standin_engine, sample_data_dir, tmp_path, name, extension):
    standin_engine.load_datafile(str(sample_data_dir / f"{name}.dat"))
    expected = system_of(standin_engine)
    assert expected[1] and expected[2], "the sample must load"

    # The file is opened under its name exactly as given, upper-case extension included.
    copy = tmp_path / f"{name.upper()}{extension}"
    shutil.copy(sample_data_dir / f"{name}{extension.lower()}", copy)
    standin_engine.tqini()
    standin_engine.load_datafile(str(copy))
    assert standin_engine.last_error == 0
    assert system_of(standin_engine) == expected


def damaged_cst(source, target, offset, value):
    data = bytearray(source.read_bytes())
    data[offset:offset + 4] = struct.pack("<I", value)
    target.write_bytes(bytes(data))


@pytest.mark.parametrize(
    "damage, number, message",
    [
        (lambda data: b"NOTACST\n" + data[8:], 161,
         "The magic bytes indicate that the file entered is not a transparent data-file"),
        (lambda data: data[:8] + struct.pack("<I", 99) + data[12:], 162,
         "The transparent file format version is unknown to this version of Equilex"),
        (lambda data: data[:-1] + bytes([data[-1] ^ 0xFF]), 155,
         "The checksum calculation indicates that the data-file is corrupt"),
        (lambda data: data[:12] + struct.pack("<I", struct.unpack_from("<I", data, 12)[0] + 1) + data[16:],
         156, "The size of the thermochemical system is different from what is specified in the header"),
    ],
    ids=["magic", "version", "checksum", "sizes"],
)
def test_transparent_file_errors_are_recorded(engine, listened, sample_data_dir, tmp_path, damage, number,
                                               message):
    damaged = tmp_path / "damaged.cst"
    damaged.write_bytes(damage((sample_data_dir / "structure.cst").read_bytes()))
    engine.load_datafile(str(damaged))
    assert listened == [0, number, 0]  # open, read, close
    assert engine.last_error == number
    assert engine.last_error_message == message
    # A failed read leaves no system loaded.
    assert engine.tqnop() == 0
    assert engine.last_error == 104


@pytest.mark.parametrize(
    "edit, number",
    [
        (lambda text: text.replace("components:", "components: [", 1), 103),
        (lambda text: text.replace("stoichiometry: [1, 1, 3]", "stoichiometry: [1, 1]", 1), 110),
    ],
    ids=["general", "phase"],
)
def test_ascii_read_errors_are_recorded(engine, sample_data_dir, tmp_path, edit, number):
    damaged = tmp_path / "damaged.dat"
    damaged.write_text(edit((sample_data_dir / "limestone.dat").read_text()))
    engine.load_datafile(str(damaged))
    assert engine.last_error == number
    assert engine.tqnosc() == 0


def test_a_file_unit_other_than_the_file_option(engine, listened, sample_data_dir):
    """Opened under 20, read from the FILE unit 10 (nothing open there), 20 closed."""
    engine.load_datafile(str(sample_data_dir / "limestone.dat"), 20)
    assert listened == [0, 102, 0]
    assert engine.tqnop() == 0  # nothing was read
    # Unit 20 was closed: it opens again.
    engine.tqopna(str(sample_data_dir / "limestone.dat"), 20)
    assert listened[-1] == 0
    engine.tqclos(20)


def test_a_file_unit_agreeing_with_the_file_option(engine, listened, sample_data_dir):
    engine.tqcio("FILE", 20)
    engine.load_datafile(str(sample_data_dir / "water.dat"), 20)
    assert listened == [0, 0, 0, 0]
    assert engine.tqnop() > 0


def test_reading_step_by_step_keeps_the_commentary_block(standin_engine, sample_data_dir, tmp_path):
    """The commentary block goes into a written file only while its data-file is still open."""
    source = str(sample_data_dir / "limestone.dat")
    commentary = (sample_data_dir / "limestone.dat").read_text().split("\n...\n", 1)[1].strip()
    assert commentary

    standin_engine.load_datafile(source)
    closed = tmp_path / "closed.dat"
    standin_engine.tqwasc(str(closed))

    standin_engine.tqopna(source, 10)
    standin_engine.tqrfil()
    still_open = tmp_path / "open.dat"
    standin_engine.tqwasc(str(still_open))
    standin_engine.tqclos(10)

    assert commentary not in closed.read_text()
    assert commentary in still_open.read_text()
    # Both read back to the same system.
    loaded = []
    for written in (closed, still_open):
        standin_engine.load_datafile(str(written))
        loaded.append(system_of(standin_engine))
    assert loaded[0] == loaded[1]


def test_a_changed_datum_survives_writing_and_reading(engine, sample_data_dir, tmp_path):
    engine.load_datafile(str(sample_data_dir / "limestone.dat"))
    phase = engine.tqinp("CaCO3")
    engine.tqcdat(1, 0, 0, 1, phase, -1206000.5)
    assert engine.tqgdat(phase, 1, "H", 1) == (-1206000.5,)
    written = tmp_path / "changed.dat"
    engine.tqwasc(str(written))
    engine.load_datafile(str(written))
    assert engine.last_error == 0
    assert engine.tqgdat(engine.tqinp("CaCO3"), 1, "H", 1) == (-1206000.5,)


@pytest.mark.parametrize("extension", ["cst", "bin"])
def test_stored_data_need_ascii_data(engine, sample_data_dir, tmp_path, extension):
    engine.load_datafile(str(sample_data_dir / f"limestone.{extension}"))
    assert engine.last_error == 0
    assert engine.tqgdat(2, 1, "H", 1) == ()
    assert engine.last_error == 1000
    engine.tqwasc(str(tmp_path / "never.dat"))
    assert not (tmp_path / "never.dat").exists()
