"""Stand-in of ``equilex.basic``: the Equilex routines as Python functions, over ctypes.

It calls the same ``libequilex.so`` that an engine loads, so both roads of one engine share one
library state. The library is the file named by the environment variable ``EQUILEX_LIBRARY``
when it is set, else ``build/standin/libequilex.so`` in the source tree this file belongs to.

Conventions of every function:

- indices are 0-based in and out (the library counts from 1);
- option texts are members of the enumerations below, whose member names are the library's
  option texts (a plain text naming a member is accepted as well);
- a library error raises :class:`EquilexError` with the error number and the library's message.
"""

import ctypes
import enum
import functools
import os
from pathlib import Path

__all__ = [
    "EquilexError",
    "library_path",
    "ConditionVariable",
    "TargetVariable",
    "ResultVariable",
    "Quantity",
    "TemperatureUnit",
    "PressureUnit",
    "VolumeUnit",
    "EnergyUnit",
    "AmountUnit",
    "Status",
    "PhaseModel",
    "PhaseConstituentData",
    "InteractionVariable",
    "PhaseMapVariable",
    "StreamVariable",
    "LimitVariable",
    "ConfigurationOption",
]

NAME_LENGTH = 25  # 24 characters and a NUL
NAME_LENGTH_NO_NUL = 25  # the fields of tqcsc: 25 bytes, blank-padded
COMPONENT_FIELDS = 30
SUBLATTICE_NAME_LENGTH = 26
MESSAGE_FIELDS, MESSAGE_FIELD_LENGTH = 3, 80
PARAMETER_FIELDS, PARAMETER_FIELD_LENGTH = 1999, 156
STORED_VALUES = 25
EXPRESSIONS, EXPRESSION_VALUES = 20, 28


def library_path():
    """The path of the library this module calls."""
    configured = os.environ.get("EQUILEX_LIBRARY")
    if configured:
        return os.path.abspath(configured)
    repo = Path(__file__).resolve().parents[3]
    return str(repo / "build" / "standin" / "libequilex.so")


try:
    _lib = ctypes.CDLL(library_path())
except OSError as failure:
    raise ImportError(f"equilex.basic cannot load the Equilex library: {failure}") from failure


class EquilexError(Exception):
    """A routine of the library reported an error number above 0."""

    def __init__(self, number, message):
        super().__init__(f"Equilex error {number}: {message}")
        self.number = number
        self.message = message


# --- enumerations: member names are the library's option texts --------------------------------


def _texts(*names):
    return {name: name for name in names}


ConditionVariable = enum.Enum(
    "ConditionVariable",
    _texts("P", "VT", "T", "A", "IA", "MU", "AC", "CP", "H", "S", "G", "V", "AT", "XT", "XPT"),
)
TargetVariable = enum.Enum(
    "TargetVariable", {"NoTarget": " ", **_texts("T", "P", "V", "IA", "IA0", "MU")}
)
ResultVariable = enum.Enum(
    "ResultVariable",
    _texts(
        "P", "VT", "T", "A", "IA", "MU", "AC", "pH", "Eh", "CP", "H", "S", "G", "V",
        "CPM", "HM", "SM", "GM", "VM", "X", "XP", "AP",
    ),
)
Quantity = enum.Enum("Quantity", _texts("Temperature", "Pressure", "Volume", "Energy", "Amount"))
TemperatureUnit = enum.Enum("TemperatureUnit", _texts("K", "C", "F"))
PressureUnit = enum.Enum("PressureUnit", _texts("bar", "atm", "Pa", "kPa", "psi", "torr"))
VolumeUnit = enum.Enum("VolumeUnit", _texts("dm3", "cm3", "m3", "ft3", "in3"))
EnergyUnit = enum.Enum("EnergyUnit", _texts("J", "cal", "Btu", "kWh"))
AmountUnit = enum.Enum("AmountUnit", _texts("mol", "gram", "kg", "tonne", "pound"))
Status = enum.Enum("Status", _texts("ENTERED", "DORMANT", "ELIMINATED"))
PhaseConstituentData = enum.Enum(
    "PhaseConstituentData", _texts("H", "S", "Cp", "Tt", "Ht", "M", "Gc", "V", "Ch")
)
InteractionVariable = enum.Enum("InteractionVariable", _texts("G", "M"))
PhaseMapVariable = enum.Enum(
    "PhaseMapVariable", _texts("TF", "TN", "PF", "PN", "IA0", "IAF", "IAN")
)
StreamVariable = enum.Enum(
    "StreamVariable",
    _texts("T", "P", "VT", "A", "CP", "H", "S", "G", "V", "IA", "IA0", "MU", "AC"),
)
LimitVariable = enum.Enum(
    "LimitVariable", _texts("TLOW", "THIGH", "PLOW", "PHIGH", "VLOW", "VHIGH")
)
ConfigurationOption = enum.Enum("ConfigurationOption", _texts("ITERATIONS", "ASSEMBLIES", "OUTPUT"))

_UNIT_ENUMERATIONS = {
    "Temperature": TemperatureUnit,
    "Pressure": PressureUnit,
    "Volume": VolumeUnit,
    "Energy": EnergyUnit,
    "Amount": AmountUnit,
}


class PhaseModel(enum.Enum):
    """Model identifier of a phase (``tqmodl``); ``name`` is the identifier itself.

    Identifiers outside the list (user-defined models) come back as members made on the fly,
    so that every phase has a model whose name is what the library reports.
    """

    PURE = "PURE"
    IDMX = "IDMX"
    RKMP = "RKMP"
    QKTO = "QKTO"
    SUBL = "SUBL"
    SUBO = "SUBO"
    SUBS = "SUBS"
    SUBI = "SUBI"
    SUBM = "SUBM"
    SUBE = "SUBE"
    BDEF = "BDEF"
    QUSL = "QUSL"
    GAYE = "GAYE"
    QUAS = "QUAS"
    QSOL = "QSOL"
    SUBG = "SUBG"
    HOCH = "HOCH"
    WAGN = "WAGN"
    IDWZ = "IDWZ"
    IDDZ = "IDDZ"
    PIMZ = "PIMZ"
    PITZ = "PITZ"
    PIWZ = "PIWZ"
    HELZ = "HELZ"
    HTSZ = "HTSZ"
    HTWZ = "HTWZ"
    HTDZ = "HTDZ"
    PIHZ = "PIHZ"
    SITZ = "SITZ"
    IDVT = "IDVT"
    IDBS = "IDBS"

    @classmethod
    def _missing_(cls, value):
        if not isinstance(value, str):
            return None
        extra = cls._extra_members.get(value)
        if extra is None:
            extra = object.__new__(cls)
            extra._name_ = value
            extra._value_ = value
            cls._extra_members[value] = extra
        return extra


PhaseModel._extra_members = {}


# --- calling the library ---------------------------------------------------------------------


def _option_text(value, enumeration=None):
    """The option text of an enumeration member, or a plain text naming one."""
    if isinstance(value, enum.Enum):
        return value.value if isinstance(value.value, str) else value.name
    if enumeration is not None and isinstance(value, str) and value in enumeration.__members__:
        return enumeration[value].value
    if isinstance(value, str):
        return value
    raise TypeError(f"expected an option text or an enumeration member, got {type(value).__name__}")


def _text(value):
    data = value.encode("ascii")
    return data, len(data)


def _path(value):
    data = os.fsencode(value)
    return data, len(data)


def _int(value):
    return ctypes.c_int(int(value))


def _decode(raw):
    return raw.split(b"\0", 1)[0].decode("latin-1").strip()


def _message():
    block = ctypes.create_string_buffer(MESSAGE_FIELDS * MESSAGE_FIELD_LENGTH)
    error = ctypes.c_int(0)
    _lib.TQERR(block, len(block), ctypes.byref(error))
    raw = block.raw
    fields = (raw[i : i + MESSAGE_FIELD_LENGTH] for i in range(0, len(raw), MESSAGE_FIELD_LENGTH))
    # The library cuts its message inside words, so the fields join with nothing between.
    return "".join(map(_decode, fields))


def _call(routine, *arguments):
    error = ctypes.c_int(0)
    getattr(_lib, routine)(*arguments, ctypes.byref(error))
    if error.value != 0:
        raise EquilexError(error.value, _message())


def _ref(holder):
    return ctypes.byref(holder)


# --- initialisation, messages, version, sizes -------------------------------------------------


def tqini():
    _call("TQINI")


def tqcprt():
    """Makes the copyright text the current message and returns it."""
    _call("TQCPRT")
    return _message()


def tqerr():
    """The library's current message, its fields joined as the library cut them."""
    return _message()


def tqvers():
    version = ctypes.c_int(0)
    _call("TQVERS", _ref(version))
    return version.value


def _sizes(routine):
    values = [ctypes.c_int(0) for _ in range(11)]
    _call(routine, *map(_ref, values))
    return tuple(value.value for value in values)


def tqsize():
    return _sizes("TQSIZE")


def tqused():
    return _sizes("TQUSED")


# --- input/output options, units, data-files ---------------------------------------------------


def tqgio(option):
    value = ctypes.c_int(0)
    _call("TQGIO", *_text(_option_text(option)), _ref(value))
    return value.value


def tqcio(option, value):
    _call("TQCIO", *_text(_option_text(option)), _ref(_int(value)))


def tqopen(filename, unit):
    _call("TQOPEN", *_path(filename), _ref(_int(unit)))


def tqopna(filename, unit):
    _call("TQOPNA", *_path(filename), _ref(_int(unit)))


def tqopnt(filename, unit):
    _call("TQOPNT", *_path(filename), _ref(_int(unit)))


def tqopnb(filename, unit):
    _call("TQOPNB", *_path(filename), _ref(_int(unit)))


def tqclos(unit):
    _call("TQCLOS", _ref(_int(unit)))


def tqrfil():
    _call("TQRFIL")


def tqrcst():
    _call("TQRCST")


def tqrbin():
    _call("TQRBIN")


def tqwasc(filename):
    _call("TQWASC", *_path(filename))


# --- system components ------------------------------------------------------------------------


def tqnosc():
    count = ctypes.c_int(0)
    _call("TQNOSC", _ref(count))
    return count.value


def tqgnsc(index):
    name = ctypes.create_string_buffer(NAME_LENGTH)
    _call("TQGNSC", _ref(_int(index + 1)), name, len(name))
    return _decode(name.raw)


def tqinsc(name):
    index = ctypes.c_int(0)
    _call("TQINSC", *_text(name), _ref(index))
    return index.value - 1


@functools.cache
def _most_components():
    return tqsize()[1]


def _stoichiometry(routine, *indices):
    """The coefficients over the `tqnosc()` components, and the molar mass.

    The library writes one coefficient per component it holds when the routine runs: another
    thread may have read a larger system since `tqnosc()` answered, so the array has room for the
    most components the library can hold.
    """
    count = tqnosc()
    coefficients = (ctypes.c_double * max(count, _most_components()))()
    molar_mass = ctypes.c_double(0.0)
    _call(routine, *indices, coefficients, _ref(molar_mass))
    return tuple(coefficients[:count]), molar_mass.value


def tqstsc(index):
    """(molar mass, stoichiometry) of a system component."""
    coefficients, molar_mass = _stoichiometry("TQSTSC", _ref(_int(index + 1)))
    return molar_mass, coefficients


def tqcnsc(index, name):
    _call("TQCNSC", _ref(_int(index + 1)), *_text(name))


# --- phases -----------------------------------------------------------------------------------


def tqnop():
    count = ctypes.c_int(0)
    _call("TQNOP", _ref(count))
    return count.value


def _phase_text(routine, phase, length=NAME_LENGTH):
    text = ctypes.create_string_buffer(length)
    _call(routine, _ref(_int(phase + 1)), text, len(text))
    return _decode(text.raw)


def tqgsp(phase):
    return Status[_phase_text("TQGSP", phase)]


def tqcsp(phase, status):
    _call("TQCSP", _ref(_int(phase + 1)), *_text(_option_text(status, Status)))


def tqgnp(phase):
    return _phase_text("TQGNP", phase)


def tqmodl(phase):
    return PhaseModel(_phase_text("TQMODL", phase))


def _phase_count(routine, phase):
    count = ctypes.c_int(0)
    _call(routine, _ref(_int(phase + 1)), _ref(count))
    return count.value


def tqnopc(phase):
    return _phase_count("TQNOPC", phase)


def tqnosl(phase):
    return _phase_count("TQNOSL", phase)


def tqinp(name):
    index = ctypes.c_int(0)
    _call("TQINP", *_text(name), _ref(index))
    return index.value - 1


# --- phase constituents -----------------------------------------------------------------------


def tqinpc(name, phase):
    index = ctypes.c_int(0)
    _call("TQINPC", *_text(name), _ref(_int(phase + 1)), _ref(index))
    return index.value - 1


def tqpcis(phase, constituent):
    flag = ctypes.c_int(0)
    _call("TQPCIS", _ref(_int(phase + 1)), _ref(_int(constituent + 1)), _ref(flag))
    return flag.value != 0


def _constituent_text(routine, phase, constituent, length=NAME_LENGTH):
    text = ctypes.create_string_buffer(length)
    _call(routine, _ref(_int(phase + 1)), _ref(_int(constituent + 1)), text, len(text))
    return _decode(text.raw)


def tqgnpc(phase, constituent):
    return _constituent_text("TQGNPC", phase, constituent)


def tqstpc(phase, constituent):
    """(stoichiometry, molar mass) of a phase constituent."""
    return _stoichiometry("TQSTPC", _ref(_int(phase + 1)), _ref(_int(constituent + 1)))


def tqgspc(phase, constituent):
    """The status text of a phase constituent."""
    return _constituent_text("TQGSPC", phase, constituent)


def tqcspc(phase, constituent, status):
    _call(
        "TQCSPC",
        _ref(_int(phase + 1)),
        _ref(_int(constituent + 1)),
        *_text(_option_text(status, Status)),
    )


def tqgdpc(option, phase, constituent):
    value = ctypes.c_double(0.0)
    _call(
        "TQGDPC",
        *_text(_option_text(option)),
        _ref(_int(phase + 1)),
        _ref(_int(constituent + 1)),
        _ref(value),
    )
    return value.value


# --- sublattices ------------------------------------------------------------------------------


def tqnolc(phase, sublattice):
    count = ctypes.c_int(0)
    _call("TQNOLC", _ref(_int(phase + 1)), _ref(_int(sublattice + 1)), _ref(count))
    return count.value


def tqgnlc(phase, sublattice, species):
    name = ctypes.create_string_buffer(SUBLATTICE_NAME_LENGTH)
    _call(
        "TQGNLC",
        _ref(_int(phase + 1)),
        _ref(_int(sublattice + 1)),
        _ref(_int(species + 1)),
        name,
        len(name),
    )
    return _decode(name.raw)


def tqinlc(name, phase, sublattice):
    index = ctypes.c_int(0)
    _call("TQINLC", *_text(name), _ref(_int(phase + 1)), _ref(_int(sublattice + 1)), _ref(index))
    return index.value - 1


def tqgtlc(phase, sublattice, species):
    value = ctypes.c_double(0.0)
    _call(
        "TQGTLC",
        _ref(_int(phase + 1)),
        _ref(_int(sublattice + 1)),
        _ref(_int(species + 1)),
        _ref(value),
    )
    return value.value


# --- stored data and excess parameters ---------------------------------------------------------


def tqgdat(phase, constituent, option, cp_range):
    """The stored values of one kind (a ``PhaseConstituentData`` member) as a tuple."""
    count = ctypes.c_int(0)
    values = (ctypes.c_double * STORED_VALUES)()
    _call(
        "TQGDAT",
        _ref(_int(phase + 1)),
        _ref(_int(constituent + 1)),
        *_text(_option_text(option, PhaseConstituentData)),
        _ref(_int(cp_range + 1)),
        _ref(count),
        values,
    )
    return tuple(values[: max(0, min(count.value, STORED_VALUES))])


def tqcdat(code, selector2, selector3, selector4, phase, value):
    """Changes one stored datum; all five selectors count from 0, the datum code included."""
    selectors = (code, selector2, selector3, selector4, phase)
    holders = [_ref(_int(selector + 1)) for selector in selectors]
    _call("TQCDAT", *holders, _ref(ctypes.c_double(value)))


def tqlpar(phase, option):
    """(count, interaction strings) of the excess parameters of one kind of a phase."""
    count = ctypes.c_int(0)
    texts = ctypes.create_string_buffer(PARAMETER_FIELDS * PARAMETER_FIELD_LENGTH)
    numbers = (ctypes.c_int * PARAMETER_FIELDS)()
    _call(
        "TQLPAR",
        _ref(_int(phase + 1)),
        *_text(_option_text(option, InteractionVariable)),
        _ref(count),
        texts,
        PARAMETER_FIELD_LENGTH,
        numbers,
    )
    used = max(0, min(count.value, PARAMETER_FIELDS))
    raw = texts.raw
    strings = [
        _decode(raw[k * PARAMETER_FIELD_LENGTH : (k + 1) * PARAMETER_FIELD_LENGTH])
        for k in range(used)
    ]
    return used, strings


def tqgpar(phase, option, parameter):
    """The values of one excess parameter, one list per expression."""
    expressions = ctypes.c_int(0)
    per_expression = ctypes.c_int(0)
    values = (ctypes.c_double * (EXPRESSIONS * EXPRESSION_VALUES))()
    _call(
        "TQGPAR",
        _ref(_int(phase + 1)),
        *_text(_option_text(option, InteractionVariable)),
        _ref(_int(parameter + 1)),
        _ref(expressions),
        _ref(per_expression),
        values,
    )
    rows = max(0, min(expressions.value, EXPRESSIONS))
    columns = max(0, min(per_expression.value, EXPRESSION_VALUES))
    return [[values[k + EXPRESSIONS * j] for j in range(columns)] for k in range(rows)]


# --- equilibrium calculations ------------------------------------------------------------------
#
# Indices are 0-based, so -1 stands for "none": the system, a phase as a whole, or a system
# component with the phase index -1 (the library's 0).


def _index(value):
    return _ref(_int(value + 1))


def _pair(vals):
    first, second = vals[0], vals[1]
    return (ctypes.c_double * 2)(float(first), float(second))


def tqsetc(option, phase, index, value):
    """Sets one condition (a ``ConditionVariable``); returns its condition number."""
    number = ctypes.c_int(0)
    _call(
        "TQSETC",
        *_text(_option_text(option, ConditionVariable)),
        _index(phase),
        _index(index),
        _ref(ctypes.c_double(value)),
        _ref(number),
    )
    return number.value


def tqshow():
    """Writes the present settings to the library's list unit."""
    _call("TQSHOW")


def tqremc(numcon):
    """Removes condition `numcon`, or a class of them (0, -1, -2)."""
    _call("TQREMC", _ref(_int(numcon)))


def tqgetr(option, phase, index):
    """One result (a ``ResultVariable``) of the last calculation, in the current units."""
    value = ctypes.c_double(0.0)
    _call(
        "TQGETR",
        *_text(_option_text(option, ResultVariable)),
        _index(phase),
        _index(index),
        _ref(value),
    )
    return value.value


def _calculate(routine, option, phase, index, vals):
    _call(
        routine,
        *_text(_option_text(option, TargetVariable)),
        _index(phase),
        _index(index),
        _pair(vals),
    )


def tqce(option, phase, index, vals):
    """Calculates the equilibrium; `option` is a ``TargetVariable`` (``NoTarget``: none)."""
    _calculate("TQCE", option, phase, index, vals)


def tqcel(option, phase, index, vals):
    """As ``tqce``, also writing the equilibrium to the list unit."""
    _calculate("TQCEL", option, phase, index, vals)


def tqcen(option, phase, index, vals):
    """As ``tqce``, starting from the previous calculation."""
    _calculate("TQCEN", option, phase, index, vals)


def tqcenl(option, phase, index, vals):
    """As ``tqcen``, also writing the equilibrium to the list unit."""
    _calculate("TQCENL", option, phase, index, vals)


def _unit_enumeration(quantity):
    """The unit enumeration of a quantity text, letter case aside (None for none)."""
    for name, enumeration in _UNIT_ENUMERATIONS.items():
        if name.lower() == quantity.strip().lower():
            return enumeration
    return None


def tqgsu(option):
    """The current unit of a ``Quantity``, as a member of that quantity's unit enumeration."""
    quantity = _option_text(option, Quantity)
    unit = ctypes.create_string_buffer(NAME_LENGTH)
    _call("TQGSU", *_text(quantity), unit, len(unit))
    return _unit_enumeration(quantity)[_decode(unit.raw)]


def tqcsu(option, unit):
    """Sets the unit of a ``Quantity``."""
    quantity = _option_text(option, Quantity)
    _call("TQCSU", *_text(quantity), *_text(_option_text(unit, _unit_enumeration(quantity))))


def tqclim(option, value):
    """Changes a limit (a ``LimitVariable``) of the target variable, in the current units."""
    _call("TQCLIM", *_text(_option_text(option, LimitVariable)), _ref(ctypes.c_double(value)))


def tqconf(option, valuea, valueb, valuec):
    """Sets a ``ConfigurationOption`` with its three integers."""
    _call(
        "TQCONF",
        *_text(_option_text(option, ConfigurationOption)),
        _ref(_int(valuea)),
        _ref(_int(valueb)),
        _ref(_int(valuec)),
    )


def tqsttp(idents, vals):
    """Defines a stream, or changes its temperature and pressure (current units)."""
    _call("TQSTTP", *_text(idents), _pair(vals))


def tqstrm(idents):
    """Removes a stream."""
    _call("TQSTRM", *_text(idents))


def tqstca(idents, phase, constituent, value):
    """Sets the amount of a phase constituent in a stream (current amount unit)."""
    _call(
        "TQSTCA",
        *_text(idents),
        _index(phase),
        _index(constituent),
        _ref(ctypes.c_double(value)),
    )


def tqstec(option, phase, value):
    """Sets a condition (a ``StreamVariable``) of a calculation from streams."""
    _call(
        "TQSTEC",
        *_text(_option_text(option, StreamVariable)),
        _index(phase),
        _ref(ctypes.c_double(value)),
    )


def tqstxp(idents, option):
    """One property (a ``StreamVariable``) of a stream at its own temperature and pressure."""
    value = ctypes.c_double(0.0)
    _call(
        "TQSTXP",
        *_text(idents),
        *_text(_option_text(option, StreamVariable)),
        _ref(value),
    )
    return value.value


def _map(routine, option, phase, constituent, vals):
    count = ctypes.c_int(0)
    _call(
        routine,
        *_text(_option_text(option, PhaseMapVariable)),
        _index(phase),
        _index(constituent),
        _pair(vals),
        _ref(count),
    )
    return count.value


def tqmap(option, phase, constituent, vals):
    """One step of a phase map (a ``PhaseMapVariable``); returns the points still to come."""
    return _map("TQMAP", option, phase, constituent, vals)


def tqmapl(option, phase, constituent, vals):
    """As ``tqmap``, also writing each equilibrium to the list unit."""
    return _map("TQMAPL", option, phase, constituent, vals)


def tqchar(phase, constituent):
    """The charge of a phase constituent."""
    charge = ctypes.c_int(0)
    _call("TQCHAR", _index(phase), _index(constituent), _ref(charge))
    return charge.value


def tqcsc(names):
    """Replaces the system components by the compositions named (components or constituents)."""
    fields = ctypes.create_string_buffer(COMPONENT_FIELDS * NAME_LENGTH_NO_NUL)
    for k, name in enumerate(names):
        if k >= COMPONENT_FIELDS:
            raise ValueError(f"at most {COMPONENT_FIELDS} system components")
        data = name.encode("ascii")
        if len(data) > NAME_LENGTH_NO_NUL:
            raise ValueError(f"a name of at most {NAME_LENGTH_NO_NUL} characters: {name!r}")
        start = k * NAME_LENGTH_NO_NUL
        fields[start : start + NAME_LENGTH_NO_NUL] = data.ljust(NAME_LENGTH_NO_NUL)
    _call("TQCSC", fields, NAME_LENGTH_NO_NUL)


def tqbond(phase, constituent_a, constituent_b, constituent_c, constituent_d):
    """A calculated pair or quadruplet fraction of a phase."""
    value = ctypes.c_double(0.0)
    _call(
        "TQBOND",
        _index(phase),
        _index(constituent_a),
        _index(constituent_b),
        _index(constituent_c),
        _index(constituent_d),
        _ref(value),
    )
    return value.value
