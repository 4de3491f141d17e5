"""How the sources use the CPython C API: every interface that CPython or ctypes does not publish
is named in pycore's internals alone, and reference counts are handled only inside pycore (the
modules go through its owning types)."""

import re
from pathlib import Path

import pytest

SOURCES = Path(__file__).resolve().parents[1] / "src"
INTERNALS = {SOURCES / "pycore" / "internals.hpp", SOURCES / "pycore" / "internals.cpp"}

NON_PUBLIC = re.compile(
    r"\b_Py\w+"  # CPython's private functions and macros
    r"|\bPy_BUILD_CORE\b|[<\"]internal/"  # its internal headers
    r"|\b(?:ma_version_tag|tp_version_tag|Py_TPFLAGS_VALID_VERSION_TAG|tp_dict)\b"
    r"|\b(?:PyDictObject|PyASCIIObject|PyCompactUnicodeObject)\b|\bPyUnicode_IS_COMPACT"
    r"|\b(?:_CFuncPtr|_flags_|_argtypes_|_restype_|b_ptr)\b"  # ctypes' own
)
REFERENCE_COUNTS = re.compile(
    r"\bPy_(?:X?INCREF|X?DECREF|X?NewRef|X?SETREF|CLEAR)\b|\bob_refcnt\b"
)


def sources(directory):
    return sorted(path for path in directory.rglob("*") if path.suffix in (".cpp", ".hpp", ".h"))


def uses(pattern, paths):
    return [f"{path.relative_to(SOURCES)}:{number}: {line.strip()}"
            for path in paths
            for number, line in enumerate(path.read_text().splitlines(), 1)
            if pattern.search(line)]


def test_the_scan_sees_the_sources_and_the_patterns_match():
    # A scan that finds no files, or patterns that match nothing, would pass for nothing.
    assert INTERNALS <= set(sources(SOURCES / "pycore"))
    assert len(sources(SOURCES / "equilexproxy")) > 40
    assert uses(NON_PUBLIC, sorted(INTERNALS))
    assert uses(REFERENCE_COUNTS, sources(SOURCES / "pycore"))


@pytest.mark.parametrize("text, named", [
    ("    return _PyType_Lookup(type, name);", True),
    ("reinterpret_cast<PyDictObject*>(dict)->ma_version_tag", True),
    ('PyObject_GetAttrString(ctypes, "_CFuncPtr")', True),
    ("#include <internal/pycore_dict.h>", True),
    ("PyDict_GetItemWithError(dict, key)", False),
    ("type->tp_getattro == PyObject_GenericGetAttr", False),
])
def test_non_public_pattern(text, named):
    assert bool(NON_PUBLIC.search(text)) is named


def test_non_public_interfaces_are_named_in_pycore_internals_alone():
    outside = [path for path in sources(SOURCES) if path not in INTERNALS]
    assert uses(NON_PUBLIC, outside) == []


def test_reference_counts_are_handled_inside_pycore_alone():
    assert uses(REFERENCE_COUNTS, sources(SOURCES / "equilexproxy")) == []
