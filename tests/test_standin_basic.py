"""The stand-in equilex.basic over the stand-in library.

Each test runs in a fresh interpreter: equilex.basic chooses its library when it is imported,
and the engine's tests import it under their own settings.
"""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

STANDIN_PYTHON = Path(__file__).resolve().parents[1] / "standin" / "python"


def run(libequilex_path, script):
    """Runs script with equilex.basic on the path; returns what it printed as JSON."""
    env = dict(os.environ, EQUILEX_LIBRARY=str(libequilex_path), PYTHONPATH=str(STANDIN_PYTHON))
    prelude = "import ctypes, json\nfrom equilex import basic as b\n"
    done = subprocess.run(
        [sys.executable, "-c", prelude + script],
        env=env,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_both_roads_share_one_library_state(libequilex_path):
    result = run(
        libequilex_path,
        f"""
lib = ctypes.CDLL({str(libequilex_path)!r})
error = ctypes.c_int(-1)
lib.TQINI(ctypes.byref(error))
lib.TQCIO(b"LANGUAGE", 8, ctypes.byref(ctypes.c_int(3)), ctypes.byref(error))
first = b.tqgio("LANGUAGE")
b.tqcio("FILE", 20)
value = ctypes.c_int(0)
lib.TQGIO(b"FILE", 4, ctypes.byref(value), ctypes.byref(error))
print(json.dumps([first, value.value, b.library_path()]))
""",
    )
    assert result == [3, 20, str(libequilex_path)]


def test_library_errors_raise_with_number_and_message(libequilex_path):
    result = run(
        libequilex_path,
        """
caught = []
for call in (b.tqnop, b.tqini, b.tqnop, lambda: b.tqopna("/no/such/file.dat", 10),
             lambda: b.tqcio("FILE", 15)):
    try:
        call()
    except b.EquilexError as error:
        caught.append([error.number, error.message])
print(json.dumps(caught))
""",
    )
    assert result == [
        [101, "The subroutine 'TQINI' must be called first"],
        [104, "A thermodynamic data-file must be read first"],
        [107, "The file cannot be opened"],
        [105, "The entered unit number is not permitted (expected value: <=10 or >=20)"],
    ]


@pytest.mark.parametrize(
    "expression, expected",
    [
        ("b.TargetVariable.NoTarget.value", " "),
        ("b.TargetVariable['T'].value", "T"),
        ("b.PhaseModel('PURE') is b.PhaseModel.PURE", True),
        ("b.PhaseModel('USPX').name", "USPX"),
        ("b.PhaseModel('USPX') is b.PhaseModel('USPX')", True),
        ("sorted(b.Status.__members__)", ["DORMANT", "ELIMINATED", "ENTERED"]),
        ("b.Quantity['Temperature'].name", "Temperature"),
        ("[b.tqini(), b.tqvers() >= 634, len(b.tqsize())]", [None, True, 11]),
    ],
)
def test_enumerations_and_plain_results(libequilex_path, expression, expected):
    assert run(libequilex_path, f"print(json.dumps({expression}))") == expected
