// Routine methods of the equilibrium calculation: conditions, calculations, results,
// units, target limits and configuration, streams, phase maps, charges, system
// components and bond fractions.
#include "declarations.hpp"

namespace raw {
namespace {

constexpr const char* setc_doc =
    "**SET-EQUILIBRIUM-CONDITION**\n"
    "\n"
    "option: the condition; indexp, index: where it applies (0, 0 the system; phase, 0 a\n"
    "phase; phase, constituent a phase constituent; 0, component a system component);\n"
    "value: in the current system units. Returns the condition's number.\n"
    "  \"P\"    total pressure (0, 0), default 1 bar; of P and VT the one set last holds\n"
    "  \"VT\"   total volume (0, 0); a volume target of the calculation is preferred\n"
    "  \"T\"    temperature (0, 0), default 1000 K\n"
    "  \"A\"    amount of a phase (phase, 0): value >= 0 a formation target, value < 0 a\n"
    "         precipitation target of a mixture phase\n"
    "  \"IA\"   incoming amount (phase, constituent or 0, component); a second value for\n"
    "         the same constituent replaces the first\n"
    "  \"MU\"   chemical potential (phase, constituent)\n"
    "  \"AC\"   relative activity (phase, constituent)\n"
    "  \"CP\", \"H\", \"S\", \"G\", \"V\"  extensive properties of the equilibrium phases (0, 0\n"
    "         or phase, 0); with streams, of the reaction\n"
    "  \"AT\"   relative activity of a phase constituent, as a target\n"
    "  \"XT\"   mole fraction of a phase constituent, as a target\n"
    "  \"XPT\"  mole fraction of a system component in a phase (phase, component), as a target\n"
    "A constituent with an MU or AC condition counts as incoming; its incoming amount is read\n"
    "with tqgetr(\"IA\", ...). Conditions other than P/VT, T and the input composition need a\n"
    "target variable in the calculation. tqsetc conditions and stream input are not mixed.";

constexpr const char* ce_doc =
    "**CALCULATE-EQUILIBRIUM**\n"
    "\n"
    "option: the target variable; indexp, index: the phase and constituent it needs, else\n"
    "0, 0; vals: two numbers, in the current system units.\n"
    "  \" \"    the equilibrium, no target variable (vals not used)\n"
    "  \"P\"    total pressure is the target variable (vals[0] an estimate)\n"
    "  \"V\"    total volume is the target variable (vals[0] an estimate)\n"
    "  \"T\"    temperature is the target variable (vals[0] an estimate)\n"
    "  \"IA\"   an incoming amount is the target variable (vals: lower and upper limit); the\n"
    "         calculation is made on this call\n"
    "  \"IA0\"  as IA, for every incoming amount but the last when several are target\n"
    "         variables; no calculation is made on this call\n"
    "  \"MU\"   a chemical potential is the target variable (vals: lower and upper limit)\n"
    "The two limits must differ and the upper must be zero or more. An estimate need not\n"
    "be accurate; a poor one only lengthens the search. The limits of a target variable are\n"
    "changed with tqclim. With streams, the constituent of an incoming-amount target is\n"
    "included in the last stream considered.";

constexpr const char* listed_doc = "perform calculation and print out the results (to stdout)";

constexpr const char* gsu_doc =
    "**GET-SYSTEM-UNIT**\n"
    "\n"
    "option: the quantity; returns its current unit (the default first):\n"
    "  \"Pressure\"     bar (default), atm, Pa, kPa, psi, torr\n"
    "  \"Volume\"       dm3 (default), cm3, m3, ft3, in3\n"
    "  \"Temperature\"  K (default), C, F\n"
    "  \"Energy\"       J (default), cal, Btu, kWh\n"
    "  \"Amount\"       mol (default), gram, kg, tonne, pound";

constexpr const char* sttp_doc =
    "**SET-NAME-TEMPERATURE-PRESSURE-FOR-A-STREAM**\n"
    "\n"
    "idents: the stream's name, at most 150 characters; vals: its temperature and pressure,\n"
    "in the default or chosen units.\n"
    "A stream is a named portion of unreacted matter brought into the reaction zone, at a\n"
    "constant temperature and pressure, of one or more phases of fixed composition. Streams\n"
    "are needed when a calculation must yield differences in extensive properties between\n"
    "the initial and the equilibrium state (the heat of a combustion, say). The library\n"
    "accepts at most as many streams as its maximum number of constituents (tqsize()[0]).";

constexpr const char* map_doc =
    "**CALCULATE-ONE-DIMENSIONAL-PHASE-MAP**\n"
    "\n"
    "option: the search variable and the place of the call in the series:\n"
    "  \"TF\"   temperature, first call      \"TN\"   temperature, every later call\n"
    "  \"PF\"   pressure, first call         \"PN\"   pressure, every later call\n"
    "  \"IA0\"  incoming amount, for every substance but the last when several vary; no\n"
    "         calculation yet\n"
    "  \"IAF\"  incoming amount, the last (or only) substance: the first calculation\n"
    "  \"IAN\"  incoming amount, every later call\n"
    "indexp, indexc: the substance of an incoming-amount option, else 0, 0; vals: the lower\n"
    "and the upper limit of the search variable. Returns a count: above 0, more calls are\n"
    "needed. The map gives all phase transitions within the interval; read each call's\n"
    "equilibrium with tqgetr.";

constexpr Declaration routines[] = {
    // Conditions.
    {"tqsetc", "option: str, indexp: int, index: int, value: float -> int",
     "text(option) in(indexp) in(index) din(value) out error", "value",
     "ConditionVariable[option], indexp-1, index-1, value", "same", setc_doc,
     "error out option indexp index value"},
    {"tqshow", "", "error", "none", "", "same",
     "**SHOW-PRESENT-SETTINGS**\n\nThe library writes the present conditions and streams to its "
     "LIST unit, with all system units when one differs from its default, all target-variable "
     "limits when one was changed, and the DORMANT and ELIMINATED phases and constituents."},
    {"tqremc", "numcon: int", "in(numcon) error", "none", "numcon", "same",
     "**REMOVE-EQUILIBRIUM-CONDITION**\n\nnumcon: a number tqsetc returned, that condition; 0 "
     "every incoming amount; -1 every condition, target and configuration option, and the "
     "system units back to their defaults; -2 as -1, the units kept."},

    // Calculations.
    {"tqce", "option: str, indexp: int, index: int, vals",
     "text(option) in(indexp) in(index) items(vals) error", "none",
     "TargetVariable[option|NoTarget], indexp-1, index-1, items(vals); fetch", "same", ce_doc,
     "error vals"},
    {"tqcel", "option: str, indexp: int, index: int, vals",
     "text(option) in(indexp) in(index) items(vals,address) error", "none",
     "TargetVariable[option|NoTarget], indexp-1, index-1, items(vals); fetch", "same", listed_doc,
     "error vals"},
    {"tqcen", "option: str, indexp: int, index: int, vals",
     "text(option) in(indexp) in(index) items(vals,address) error", "none",
     "TargetVariable[option|NoTarget], indexp-1, index-1, items(vals); fetch", "same", listed_doc,
     "error vals"},
    {"tqcenl", "option: str, indexp: int, index: int, vals",
     "text(option) in(indexp) in(index) items(vals,address) error", "none",
     "TargetVariable[option|NoTarget], indexp-1, index-1, items(vals); fetch", "same", listed_doc,
     "error vals"},

    // Results.
    {"tqgetr", "option: str, indexp: int, index: int -> float",
     "text(option) in(indexp) in(index) dout error", "value",
     "ResultVariable[option], indexp-1, index-1", "same",
     "**GET-RESULT**\n"
     "\n"
     "One result of the last calculation or phase-map step, in the current units. indexp,\n"
     "index: 0, 0 the system; phase, 0 a phase; phase, constituent a constituent;\n"
     "0, component a system component; phase, component a component in a phase (XP, AP).\n"
     "  \"P\", \"VT\", \"T\"  total pressure, total volume, temperature\n"
     "  \"A\"    equilibrium amount         \"IA\"  incoming amount (not of phases or the system)\n"
     "  \"MU\"   chemical potential, \"AC\" activity (fugacity of gas constituents): relative\n"
     "         for phases and constituents, absolute for system components\n"
     "  \"pH\", \"Eh\"  (0.0 when they cannot be calculated)\n"
     "  \"CP\", \"H\", \"S\", \"G\", \"V\"  extensive properties (with streams: balances)\n"
     "  \"CPM\", \"HM\", \"SM\", \"GM\", \"VM\"  per amount unit\n"
     "  \"X\"    fraction of a component in the system, \"XP\" in a phase; \"AP\" its amount "
     "there",
     "error dout option indexp index"},

    // System units.
    {"tqgsu", "option: str -> str", "text(option) string_buffer error", "value", "Quantity[option]",
     ".name", gsu_doc, "error buf"},
    {"tqcsu", "option: str, unit: str", "text(option) text(unit) error", "none",
     "Quantity[option], units[unit]; fetch", "same", "change system unit", "error option unit"},

    // Target limits and configuration.
    {"tqclim", "option, val", "text(option) din(val) error", "none", "LimitVariable[option], val",
     "same", "**CHANGE-LIMIT-OF-TARGET-VARIABLE**", "val error option"},
    {"tqconf", "option, valuea, valueb, valuec",
     "text(option) in(valuea) in(valueb) in(valuec) error", "none",
     "ConfigurationOption[option], valuea, valueb, valuec", "same", "**SET-CONFIGURATION-OPTION**",
     "valuea valueb valuec error option"},

    // Streams.
    {"tqsttp", "idents, vals", "text(idents) pair(vals) error", "none", "idents, vals", "same",
     sttp_doc, "vals error idents"},
    {"tqstrm", "idents", "text(idents) error", "none", "idents", "same", "**REMOVE-STREAM**",
     "error idents"},
    {"tqstca", "idents, indexp, indexc, val", "text(idents) in(indexp) in(indexc) din(val) error",
     "none", "idents, indexp-1, indexc-1, val", "same", "**SET-CONSTITUENT-AMOUNTS-FOR-A-STREAM**",
     "indexp indexc val error idents"},
    {"tqstec", "option, indexp, val", "text(option) in(indexp) din(val) error", "none",
     "StreamVariable[option], indexp-1, val", "same",
     "**SET-EQUILIBRIUM-CONDITION-WHEN-STREAM-INPUT**", "indexp val error option"},
    {"tqstxp", "idents, option", "text(idents) text(option) dout error", "value",
     "idents, StreamVariable[option]", "same", "**GET-THERMODYNAMIC-PROPERTY-OF-A-STREAM**",
     "dout error idents option"},

    // Phase maps.
    {"tqmap", "option, indexp, indexc, vals",
     "text(option) in(indexp) in(indexc) pair(vals) out error", "value",
     "PhaseMapVariable[option], indexp-1, indexc-1, vals", "same", map_doc,
     "indexp indexc out vals error option"},
    {"tqmapl", "option, indexp, indexc, vals",
     "text(option) in(indexp) in(indexc) pair(vals) out error", "value",
     "PhaseMapVariable[option], indexp-1, indexc-1, vals", "same",
     "**CALCULATE-ONE-DIMENSIONAL-PHASE-MAP**", "indexp indexc out vals error option"},

    // Charges, system components, bond fractions.
    {"tqchar", "indexp, indexc", "in(indexp) in(indexc) out(-1) error", "value",
     "indexp-1, indexc-1", "same", "**GET-CHARGE-OF-PHASE-CONSTITUENT**"},
    {"tqcsc", "names", "names(names,30x25) error", "none", "names", "same",
     "**CHANGE-SYSTEM-COMPONENTS**"},
    {"tqbond", "indexp: int, indexa: int, indexb: int, indexc: int, indexd: int",
     "in(indexp) in(indexa) in(indexb) in(indexc) in(indexd) dout error", "value",
     "indexp-1, indexa-1, indexb-1, indexc-1, indexd-1", "same",
     "**GET-CALCULATED-QUADRUPLET-OR-PAIR-FRACTION**"},
};

}  // namespace

std::span<const Declaration> equilibrium_routines() {
    return routines;
}

}  // namespace raw
