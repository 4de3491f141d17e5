"""Module raw at import: its namespace, its tables, the engine class, and start-up behaviour.

Start-up is one-shot per process, so everything that imports a module under special conditions
runs in a fresh interpreter.
"""

import ctypes
import json
import os
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from equilexproxy import entities, raw

STANDIN_PYTHON = Path(__file__).resolve().parents[1] / "standin" / "python"

ROUTINE_NAMES = """
    tqbond tqcdat tqce tqcel tqcen tqcenl tqchar tqcio tqclim tqclos tqcnsc tqconf tqcprt tqcsc
    tqcsp tqcspc tqcsu tqerr tqgdat tqgdpc tqgetr tqgio tqgnlc tqgnp tqgnpc tqgnsc tqgpar tqgsp
    tqgspc tqgsu tqgtlc tqini tqinlc tqinp tqinpc tqinsc tqlpar tqmap tqmapl tqmodl tqnolc tqnop
    tqnopc tqnosc tqnosl tqopen tqopna tqopnb tqopnt tqpcis tqrbin tqrcst tqremc tqrfil tqsetc
    tqshow tqsize tqstca tqstec tqstpc tqstrm tqstsc tqsttp tqstxp tqused tqvers tqwasc
""".split()

# Bytes of the arguments of each routine on a 32-bit stack.
ARGUMENT_BYTES = {
    4: "tqcprt tqini tqrbin tqrcst tqrfil tqshow",
    8: "tqclos tqnop tqnosc tqremc tqvers",
    12: "tqcsc tqerr tqnopc tqnosl tqstrm tqwasc",
    16: "tqchar tqcio tqclim tqcnsc tqcsp tqgio tqgnp tqgnsc tqgsp tqinp tqinsc tqmodl tqnolc "
    "tqopen tqopna tqopnb tqopnt tqpcis tqstsc tqsttp",
    20: "tqcspc tqcsu tqgnpc tqgspc tqgsu tqgtlc tqinpc tqstec tqstpc",
    24: "tqce tqcel tqcen tqcenl tqconf tqgdpc tqgetr tqgnlc tqinlc tqstca tqstxp",
    28: "tqbond tqcdat tqmap tqmapl tqsetc",
    32: "tqgdat tqgpar tqlpar",
    48: "tqsize tqused",
}

FIRST_VERSIONS = {
    113: "tqcprt tqmodl tqsize tqstxp tqvers",
    214: "tqrbin",
    300: "tqmap tqmapl",
    310: "tqpcis",
    330: "tqopna tqopnb",
    331: "tqgnlc tqgtlc tqinlc tqnolc tqnosl",
    400: "tqclos tqopnt tqrcst tqused",
    500: "tqcen tqcenl",
    541: "tqbond tqchar",
    544: "tqcnsc",
    634: "tqconf",
}

ERROR_MESSAGES = {
    0: "",
    101: "The subroutine 'TQINI' must be called first",
    102: "The input/output file has not been opened",
    103: "The thermodynamic data-file could not be completely entered due to a read error",
    104: "A thermodynamic data-file must be read first",
    105: "The entered unit number is not permitted (expected value: <=10 or >=20)",
    106: "The entered language index is out of range",
    107: "The file cannot be opened",
    108: "The file cannot be closed",
    109: "The character string could not be written to the unit",
    110: "A phase or phase constituent could not be completely entered due to a read error",
    111: "Excess magnetic interaction could not be completely entered",
    112: "Excess Gibbs energy interaction could not be completely entered",
    150: "A transparent data-file must be read first",
    155: "The checksum calculation indicates that the data-file is corrupt",
    156: "The size of the thermochemical system is different from what is specified in the header",
    161: "The magic bytes indicate that the file entered is not a transparent data-file",
    162: "The transparent file format version is unknown to this version of Equilex",
    201: "The entered option cannot be interpreted",
    202: "The entered stream identifier cannot be interpreted",
    203: "The entered option is not implemented",
    204: "Amount unit reset to mol (the molecular mass of a phase constituent is <=0)",
    301: "The character input contains more than 24 characters",
    302: "The character input is not uniquely abbreviated",
    303: "The character input is not a phase",
    304: "The character input is not a constituent of the entered phase",
    305: "The character input is not a system component",
    306: "The character input is not a phase constituent or a system component",
    307: (
        "Names for a number of system components that is equal to that of the "
        "thermodynamic data-file have to be entered"
    ),
    308: "The entered system components are not linearly independent",
    309: "Status for the selected phase constituent cannot be changed",
    310: "Statuses for the constituents of a phase are inconsistent",
    311: "The character input is not a constituent of the entered sublattice",
    312: "<NAME> is a system component, but without charge",
    401: "The entered system component index is out of range",
    402: "The entered phase index is out of range",
    403: "The entered phase constituent index is out of range",
    404: "The entered value of the variable NUMCON is false",
    405: "The total number of streams or stream constituents is out of range",
    406: "The entered sublattice index is out of range",
    407: "The entered sublattice constituent index is out of range",
    501: "'TQSETC' and 'TQSTCA' cannot be used interchangeably for setting conditions",
    502: "The entered option is not defined for system components",
    503: "The entered constituent amounts for streams must not be less than zero",
    504: "The entered option is not permitted, please use 'TQSTCA' or 'TQCE'",
    505: "Enter the lower and upper limits of the target variable in reverse order",
    506: "The lower and upper limits (VALS(1) and VALS(2)) must differ",
    507: "The upper limit (VALS(2)) must be greater than (or equal to) zero",
    508: "Enter input composition before executing the equilibrium calculation",
    509: "Enter a pressure > 0 before executing the equilibrium calculation",
    510: "Enter a temperature > 0 K before executing the equilibrium calculation",
    511: "Define a target before executing the equilibrium calculation",
    512: "Define a target variable before executing the equilibrium calculation",
    513: "Modify input composition before executing the equilibrium calculation",
    514: (
        "Incoming amounts for metallic constituents of phases described by the two-"
        "sublattice ionic formalism and for constituents of phases described by the "
        "species chemical potential/bond energy formalism cannot be entered"
    ),
    516: "Calculate a chemical equilibrium with 'TQCE' before calling 'TQCEN'",
    601: "Incoming amounts are not calculated for phases or the entire system",
    602: "Activities for the entire system are not defined",
    603: "Extensive properties for system components are not defined",
    604: "Fractions of system components are not permitted for phase indices <= 0",
    605: "Fractions of system components cannot be calculated",
    606: "Activities of system components cannot be calculated in this case",
    607: "Mole fractions of pairs or quadruplets are not calculated",
    608: "Extensive properties are not calculated when stream constituents are eliminated",
    609: "Eh or pH cannot be calculated",
    701: "Equilibrium composition not obtained; all possible assemblies of phases were considered",
    702: (
        "Equilibrium composition not obtained; 200 different assemblies of phases were "
        "considered"
    ),
    703: (
        "Equilibrium composition not obtained; the reactant input cannot correspond to "
        "chemical equilibrium conditions"
    ),
    704: (
        "Equilibrium composition not obtained; one reactant amount must be independent "
        "and different from zero"
    ),
    705: "Equilibrium composition not obtained; the mass balance equations cannot be solved",
    706: (
        "Equilibrium composition not obtained; this constant volume calculation cannot be"
        " executed"
    ),
    707: "Target calculation aborted; the maximum number of iterations (99) is exceeded",
    708: "Target calculation aborted; reactant activities are not permitted",
    709: "Target calculation aborted; negative reactant amounts are not permitted",
    710: (
        "Target calculation aborted; the entered phase cannot be target phase under the "
        "given conditions"
    ),
    711: "Target calculation aborted; no solution is found within the permitted interval",
    712: (
        "Target calculation aborted; the value of the target variable is less than the "
        "lowest permitted"
    ),
    713: (
        "Target calculation aborted; the value of the target variable is greater than the"
        " highest permitted"
    ),
    901: "The file cannot be opened",
    902: "The file cannot be closed",
    1000: "An ASCII data-file must be read first",
    1003: "The entered index number for a Cp equation is out of range",
    1004: "No molar volume data have been entered for the requested phase",
    1005: "No real gas data have been entered for the requested phase",
    1006: "No magnetic data have been entered for the requested phase",
    1007: "The requested phase is not aqueous",
    1008: "No excess Gibbs energy data have been entered for the requested phase",
    1009: "No excess magnetic data have been entered for the requested phase",
    1021: "The first entered index number is out of range",
    1022: "The second entered index number is out of range",
    1023: "The third entered index number is out of range",
    1024: "The fourth entered index number is out of range",
    1025: "No equation-of-state terms have been entered for the requested phase",
}

# The members of EquilexProxy in class-namespace order.
MEMBERS = """
    language unitT unitP unitV unitE unitA pressure_total volume_total temperature
    equilibrium_amount heat_capacity enthalpy entropy __init__ __del__ _generate_free_name
    _check_error last_error_message tqini tqcprt tqvers version tqsize dimensions_max tqused
    dimensions tqcio tqgio tqopen tqopna tqrfil tqopnt tqrcst tqopnb tqrbin tqclos tqnosc
    number_components tqgnsc tqinsc tqstsc tqsetc tqshow tqremc tqce tqcel tqcen tqcenl tqgetr
    tqgsu tqcsu tqnop number_phases tqgsp tqcsp tqgnp tqmodl tqnopc tqnosl tqinp tqinpc tqpcis
    tqgnpc tqstpc tqnolc tqgnlc tqinlc tqgtlc tqgdpc tqerr tqgdat tqlpar tqcdat tqgpar tqwasc
    tqsttp tqstrm tqstca tqstec tqstxp tqmap tqmapl tqchar tqcsc tqbond tqgspc tqcspc tqclim
    tqcnsc tqconf load_datafile set_global_T set_global_P set_global_VT set_global_CP set_global_H
    set_global_S set_global_G set_amount_syscomp set_amount_const set_phase_target
    remove_condition remove_amounts remove_all get_component get_phase calc calc_Ttarget
    calc_Ptarget calc_Vtarget map_temp set_status components phases compounds solutions
    get_compound is_compound phases_stable phases_unstable
""".split()

PROPERTIES_WITH_SETTER = {"unitT", "unitP", "unitV", "unitE", "unitA"}
READ_ONLY_PROPERTIES = set(
    """pressure_total volume_total temperature equilibrium_amount heat_capacity enthalpy entropy
    last_error_message version dimensions_max dimensions number_components number_phases
    components phases compounds solutions phases_stable phases_unstable""".split()
)

NAMESPACE = [
    "calcsize",
    "ctypes",
    "os",
    "find_library",
    "entities",
    "eqb",
    "isx64",
    "string_buffer_length",
    "func_aliases_x32",
    "func_aliases_x64",
    "func_aliases",
    "min_version",
    "equilex_errors",
    "EquilexProxy",
]
STANDARD_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def module_names(module):
    return [name for name in vars(module) if name not in STANDARD_ATTRIBUTES]


def run_python(script, *, path=(), env=None, timeout=120):
    """Runs `script` in a fresh interpreter that finds the package; returns the finished process."""
    search = [str(p) for p in path] + [os.environ.get("PYTHONPATH", "")]
    environment = dict(os.environ, **(env or {}))
    environment["PYTHONPATH"] = os.pathsep.join(p for p in search if p)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)],
        env=environment,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def run_json(script, **options):
    """Runs `script`, which prints one JSON document as its last line, and returns it."""
    done = run_python(script, **options)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


# --- the namespace -----------------------------------------------------------------------------


def test_namespace_binds_names_in_order():
    # eqb is absent here: the test interpreter does not see equilex.basic at import.
    assert module_names(raw) == [name for name in NAMESPACE if name != "eqb"]
    assert raw.calcsize is struct.calcsize
    assert raw.ctypes is ctypes
    assert raw.os is os
    assert raw.entities is entities is sys.modules["equilexproxy.entities"]
    assert raw.__doc__ is None


def test_namespace_with_the_basic_binding(libequilex_path):
    result = run_json(
        """
        import json, sys
        import equilexproxy.raw as raw
        names = [n for n in vars(raw) if not (n.startswith("__") and n.endswith("__"))]
        print(json.dumps({"names": names, "same": raw.eqb is sys.modules["equilex.basic"]}))
        """,
        path=[STANDIN_PYTHON],
        env={"EQUILEX_LIBRARY": str(libequilex_path)},
    )
    assert result == {"names": NAMESPACE, "same": True}


def test_import_without_the_basic_binding_is_silent():
    done = run_python("import equilexproxy.raw as raw\nprint(hasattr(raw, 'eqb'))")
    assert (done.returncode, done.stdout, done.stderr) == (0, "False\n", "")


@pytest.mark.parametrize(
    "package, module",
    [
        ("", "raise ImportError('no library here')"),
        ("", "raise RuntimeError('broken')"),
        ("", "def broken(:\n"),
        ("", "raise SystemExit(3)"),
        ("", "raise KeyboardInterrupt"),
        ("", "class Odd(BaseException):\n    pass\nraise Odd()"),
        ("raise ValueError('package fails')", ""),
    ],
    ids=["ImportError", "RuntimeError", "SyntaxError", "SystemExit", "KeyboardInterrupt",
         "BaseException-subclass", "package-fails"],
)
def test_a_failing_basic_binding_is_swallowed(tmp_path, package, module):
    (tmp_path / "equilex").mkdir()
    (tmp_path / "equilex" / "__init__.py").write_text(package)
    (tmp_path / "equilex" / "basic.py").write_text(module)
    done = run_python(
        "import equilexproxy.raw as raw\nprint(hasattr(raw, 'eqb'), raw.EquilexProxy.__name__)",
        path=[tmp_path],
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, "False EquilexProxy\n", "")


# --- tables ------------------------------------------------------------------------------------


def test_routine_tables_share_their_keys_in_alphabetical_order():
    assert len(ROUTINE_NAMES) == 67 and ROUTINE_NAMES == sorted(ROUTINE_NAMES)
    for table in (raw.func_aliases_x32, raw.func_aliases_x64, raw.min_version):
        assert list(table) == ROUTINE_NAMES
    assert (ROUTINE_NAMES[0], ROUTINE_NAMES[-1]) == ("tqbond", "tqwasc")


def test_export_names():
    assert raw.func_aliases_x64 == {name: name.upper() for name in ROUTINE_NAMES}
    expected_x32 = {
        name: f"_{name.upper()}@{size}"
        for size, names in ARGUMENT_BYTES.items()
        for name in names.split()
    }
    assert raw.func_aliases_x32 == expected_x32
    assert raw.func_aliases_x32["tqgdat"] == "_TQGDAT@32"
    assert raw.func_aliases_x64["tqgdat"] == "TQGDAT"


def test_min_version():
    expected = dict.fromkeys(ROUTINE_NAMES, 0)
    for version, names in FIRST_VERSIONS.items():
        expected.update(dict.fromkeys(names.split(), version))
    assert raw.min_version == expected
    assert all(type(value) is int for value in raw.min_version.values())
    assert list(expected.values()).count(0) == 41


def test_func_aliases_is_the_64_bit_table_on_this_interpreter():
    assert raw.isx64() is True
    assert raw.func_aliases is raw.func_aliases_x64
    assert raw.func_aliases["tqini"] == "TQINI"


def test_func_aliases_is_the_32_bit_table_when_pointers_are_32_bits():
    result = run_json(
        """
        import ctypes, json, struct
        real = struct.calcsize
        struct.calcsize = lambda fmt: 4 if fmt == "P" else real(fmt)
        import equilexproxy.raw as raw
        print(json.dumps([raw.isx64(), raw.func_aliases is raw.func_aliases_x32,
                          raw.func_aliases["tqini"]]))
        """
    )
    assert result == [False, True, "_TQINI@4"]


def test_error_table():
    assert raw.equilex_errors == ERROR_MESSAGES
    assert list(raw.equilex_errors) == sorted(ERROR_MESSAGES)
    numbers = list(raw.equilex_errors)
    assert (len(numbers), numbers[0], numbers[-1]) == (93, 0, 1025)
    assert all(type(n) is int and type(m) is str for n, m in raw.equilex_errors.items())


def test_string_buffer_length():
    assert type(raw.string_buffer_length) is int and raw.string_buffer_length == 25


# --- isx64 -------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "isx64() takes no arguments (1 given)"),
        ((1, 2), {}, "isx64() takes no arguments (2 given)"),
        ((), {"bits": 64}, "isx64() takes no keyword arguments"),
    ],
)
def test_isx64_takes_no_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        raw.isx64(*args, **kwargs)
    assert str(caught.value) == message


@pytest.mark.parametrize("pointer_size, wide", [(8, True), (4, False), (8.0, True), (16, False)])
def test_isx64_looks_calcsize_up_at_every_call(monkeypatch, pointer_size, wide):
    monkeypatch.setattr(raw, "calcsize", lambda fmt: pointer_size if fmt == "P" else None)
    assert raw.isx64() is wide
    # The choice of table was made once, at import.
    assert raw.func_aliases is raw.func_aliases_x64


# --- the engine class --------------------------------------------------------------------------


def class_members():
    ignored = {"__module__", "__qualname__", "__doc__", "__dict__", "__weakref__"}
    return [name for name in vars(raw.EquilexProxy) if name not in ignored]


def test_class_members_in_order():
    assert class_members() == MEMBERS
    routine_methods = [name for name in MEMBERS if name.startswith("tq")]
    assert sorted(routine_methods) == ROUTINE_NAMES
    assert len(MEMBERS) == 120


def test_class_member_kinds():
    namespace = vars(raw.EquilexProxy)
    for name in class_members():
        member = namespace[name]
        if name == "language":
            assert type(member) is entities.LanguageDesc
        elif name in PROPERTIES_WITH_SETTER or name in READ_ONLY_PROPERTIES:
            assert type(member) is property, name
            assert (member.fset is not None) == (name in PROPERTIES_WITH_SETTER), name
        else:
            assert callable(member) and not isinstance(member, property), name
            assert member.__name__ == name
            assert member.__qualname__ == f"EquilexProxy.{name}"
            assert member.__module__ == "equilexproxy.raw"


def test_engine_class_frame():
    cls = raw.EquilexProxy
    assert cls.__bases__ == (object,)
    assert type(cls) is type
    assert cls.__module__ == "equilexproxy.raw"
    assert cls.__qualname__ == cls.__name__ == "EquilexProxy"
    assert cls.__doc__ is None


def test_language_descriptor_is_one_object_for_all_engines(libequilex_path):
    descriptor = vars(raw.EquilexProxy)["language"]
    assert type(descriptor) is entities.LanguageDesc
    first = raw.EquilexProxy(str(libequilex_path))
    second = raw.EquilexProxy(str(libequilex_path))
    assert "language" not in vars(first) and "language" not in vars(second)
    assert type(first).__dict__["language"] is type(second).__dict__["language"] is descriptor


@pytest.mark.parametrize(
    "name, title",
    [
        ("tqvers", "**GET-VERSION-NUMBER**"),
        ("tqsize", "**GET-ARRAY-SIZES**"),
        ("tqused", "Current dimensions"),
    ],
)
def test_docstring_titles(name, title):
    doc = getattr(raw.EquilexProxy, name).__doc__
    assert doc.splitlines()[0] == title
    if name == "tqused":
        assert doc == title


def test_properties_have_no_docstring():
    for name in ("version", "dimensions_max", "dimensions", "last_error_message"):
        assert vars(raw.EquilexProxy)[name].__doc__ is None, name


def test_defaults():
    cls = raw.EquilexProxy
    assert cls.__init__.__defaults__ == (None, False)
    assert cls.load_datafile.__defaults__ == (10,)
    for name in class_members():
        if name.startswith("tq"):
            assert getattr(cls, name).__defaults__ is None, name


# --- start-up, once per process ----------------------------------------------------------------

REINITIALISE = """
    import ctypes, json, sys, types
    import equilexproxy.{name} as module
    definition = getattr(ctypes.PyDLL(module.__file__), "PyInit_{name}")
    definition.restype = ctypes.c_void_p
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
    exec_def.restype = ctypes.c_int
    other = types.ModuleType("equilexproxy.{name}")
    try:
        exec_def(other, definition())
        outcome = None
    except BaseException as failure:
        outcome = [type(failure).__name__, str(failure)]
    same = exec_def(module, definition())
    print(json.dumps({{"other": outcome, "same": same, "empty": sorted(vars(other))}}))
"""


@pytest.mark.parametrize("name", ["raw", "entities", "custom"])
def test_reinitialisation_with_another_module_fails(name):
    result = run_json(REINITIALISE.format(name=name))
    assert result["other"] == [
        "RuntimeError",
        f"Module '{name}' has already been imported. Re-initialisation is not supported.",
    ]
    assert result["same"] == 0
    for name in ("EquilexProxy", "Language", "ce_formation_binary_t"):
        assert name not in result["empty"]


@pytest.mark.parametrize("name", ["raw", "entities", "custom"])
def test_second_import_gives_the_same_module(name):
    result = run_json(
        f"""
        import importlib, json, sys
        import equilexproxy.{name} as first
        # The import system renews the module's own dunders; the body's names must stay.
        state = {{k: v for k, v in vars(first).items() if not k.startswith("__")}}
        del sys.modules["equilexproxy.{name}"]
        import equilexproxy.{name} as second
        reloaded = importlib.reload(second)
        same_state = all(vars(first)[key] is value for key, value in state.items())
        print(json.dumps([second is first, reloaded is first, same_state]))
        """
    )
    assert result == [True, True, True]


@pytest.mark.parametrize(
    "name, blocked",
    [("raw", "numpy"), ("raw", "pyparsing"), ("raw", "ctypes"), ("entities", "numpy"),
     ("entities", "pyparsing"), ("custom", "numpy")],
)
def test_failed_start_up_leaves_nothing_behind(name, blocked):
    result = run_json(
        f"""
        import json, sys
        sys.modules["{blocked}"] = None
        try:
            import equilexproxy.{name}
            failure = None
        except ImportError as caught:
            failure = str(caught)
        left = sorted(n for n in sys.modules if n.startswith("equilexproxy."))
        del sys.modules["{blocked}"]
        import equilexproxy.raw as raw
        import equilexproxy.entities as entities
        import equilexproxy.custom as custom
        engine_class = raw.EquilexProxy
        print(json.dumps({{
            "custom": custom.np is sys.modules["numpy"],
            "failure": failure,
            "left": left,
            "works": type(vars(engine_class)["language"]) is entities.LanguageDesc,
            "entities": raw.entities is entities,
            "language": entities.Language(2).name,
        }}))
        """
    )
    assert result["failure"] is not None and blocked in result["failure"]
    assert result["left"] == []
    assert result["works"] and result["entities"] and result["language"] == "GERMAN"
    assert result["custom"]


@pytest.mark.parametrize("name", ["raw", "entities", "custom"])
def test_second_interpreter_is_refused(name):
    result = run_json(
        f"""
        import json
        import _xxsubinterpreters as interpreters
        import equilexproxy.{name}
        other = interpreters.create()
        try:
            interpreters.run_string(other, "import equilexproxy.{name}")
            failure = None
        except interpreters.RunFailedError as caught:
            failure = str(caught)
        interpreters.destroy(other)
        print(json.dumps(failure))
        """
    )
    assert "ImportError" in result
    assert (
        "Interpreter change detected - this module can only be loaded into one interpreter "
        "per process." in result
    )


# --- module entities: the frame that module raw relies on ---------------------------------------


def test_entities_namespace_order():
    names = [name for name in vars(entities) if name not in STANDARD_ATTRIBUTES]
    known = ["pp", "np", "Enum", "namedtuple", "_get_interaction_parser", "_interaction_parser",
             "parse_interaction", "Language", "LanguageDesc", "Value", "ValueH", "ValueS",
             "ValueCp", "ValueEx", "SystemComponent", "ParameterG", "ParameterM", "Phase",
             "CpRange", "Constituent", "Sublattice", "Species", "SystemDim"]
    assert names == known
    assert entities.pp is sys.modules["pyparsing"] and entities.np is sys.modules["numpy"]
    assert entities.__doc__ is None


def test_language_enumeration():
    language = entities.Language
    assert issubclass(language, entities.Enum)
    assert [(m.name, m.value) for m in language] == [
        ("ENGLISH", 1), ("GERMAN", 2), ("FRENCH", 3), ("SWEDISH", 4), ("FINNISH", 5)]
    assert language(2) is language.GERMAN
    assert language["FINNISH"].value == 5
    assert language.__module__ == "equilexproxy.entities"
    for code in (0, 6, "1"):
        with pytest.raises(ValueError):
            language(code)


def test_language_descriptor_class_frame():
    cls = entities.LanguageDesc
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "equilexproxy.entities" and cls.__qualname__ == "LanguageDesc"
    assert cls.__doc__ is None
    members = [n for n in vars(cls) if n not in {"__module__", "__qualname__", "__doc__",
                                                   "__dict__", "__weakref__"}]
    assert members == ["__init__", "__get__", "__set__"]
    assert "__delete__" not in vars(cls)
    descriptor = cls()
    assert vars(descriptor) == {}
    with pytest.raises(TypeError) as caught:
        cls(1)
    assert str(caught.value) == "__init__() takes exactly 1 positional argument (2 given)"


def test_system_dim():
    fields = ("constituents", "components", "solutions", "ex_g_coeff", "ex_magn_coeff",
              "soln_sublattices", "sublattice_constituents", "mqf_constituents",
              "g_eq_constituent", "g_eq", "constituents_vdep")
    assert entities.SystemDim.__name__ == "SystemDim"
    assert entities.SystemDim._fields == fields
    assert entities.SystemDim(*range(11)).g_eq == 9
    # The same names, in the same order, as the engine's dimension dictionaries.
    assert issubclass(entities.SystemDim, tuple)


def test_start_up_that_fails_at_the_engine_class_starts_afresh(libequilex_path):
    result = run_json(
        f"""
        import json, sys
        import equilexproxy.entities as entities
        saved = entities.LanguageDesc
        del entities.LanguageDesc
        try:
            import equilexproxy.raw
            failure = None
        except AttributeError as caught:
            failure = str(caught)
        left = "equilexproxy.raw" in sys.modules
        entities.LanguageDesc = saved
        import equilexproxy.raw as raw
        engine = raw.EquilexProxy({str(libequilex_path)!r})
        engine.tqini()
        print(json.dumps([failure, left, engine.tqgio("FILE"), engine.last_error_message,
                          raw.func_aliases is raw.func_aliases_x64]))
        """
    )
    assert "LanguageDesc" in result[0]
    assert result[1:] == [False, 10, "", True]
