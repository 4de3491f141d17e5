// Routine methods over the loaded system.
#include "declarations.hpp"

namespace raw {
namespace {

constexpr Declaration routines[] = {
    // System components.
    {"tqnosc", "", "out error", "value", "", "same", "**GET-NUMBER-OF-SYSTEM-COMPONENTS**"},
    {"tqgnsc", "index: int", "in(index) buf error", "value", "index-1", "same",
     "**GET-NAME-OF-SYSTEM-COMPONENT**"},
    {"tqinsc", "name: str -> int", "text(name) out error", "value", "name", "+1",
     "**GET-INDEX-NUMBER-OF-SYSTEM-COMPONENT**"},
    {"tqstsc", "index: int", "in(index) doubles(components) dout error", "mass_first", "index-1",
     "same",
     "**GET-STOICHIOMETRY-OF-SYSTEM-COMPONENT**\n\nReturns (molar mass, coefficients): one "
     "coefficient per system component.",
     "index error dout doubles"},
    {"tqcnsc", "indexs, name", "in(indexs) text(name) error", "none", "indexs-1, name", "same",
     "**CHANGE-NAME-OF-SYSTEM-COMPONENT**"},

    // Phases.
    {"tqnop", "-> int", "out error", "value", "", "same", "**GET-NUMBER-OF-PHASES**", "error out"},
    {"tqgsp", "indexp: int -> str", "in(indexp) buf error", "value", "indexp-1", ".name",
     "**GET-STATUS-OF-PHASE**", "indexp error buf"},
    {"tqcsp", "indexp: int, option: str", "in(indexp) text(option) error", "none",
     "indexp-1, Status[option]", "same", "**CHANGE-STATUS-OF-PHASE**"},
    {"tqgnp", "indexp: int -> str", "in(indexp) buf error", "value", "indexp-1", "same",
     "**GET-NAME-PHASE**", "indexp error buf"},
    {"tqmodl", "pid: int -> str", "in(pid) buf error", "value", "pid-1", ".name",
     "**GET-MODEL-NAME-OF-PHASE**", "pid error buf"},
    {"tqnopc", "indexp: int -> int", "in(indexp) out error", "value", "indexp-1", "same",
     "**GET-NUMBER-OF-PHASE-CONSTITUENTS**", "indexp error out"},
    {"tqnosl", "indexp: int -> int", "in(indexp) out error", "value", "indexp-1", "same",
     "**GET-NUMBER-OF-SUBLATTICES**", "indexp error out"},
    {"tqinp", "name: str -> int", "text(name) out error", "value", "name", "+1",
     "**GET-INDEX-NUMBER-OF-PHASE**", "error out"},

    // Phase constituents.
    {"tqinpc", "indexp: int, name: str -> int", "text(name) in(indexp) out error", "value",
     "name, indexp-1", "+1",
     "**GET-INDEX-NUMBER-OF-PHASE-CONSTITUENT**\n"
     "Use to get the index number for a specified phase constituent.\n"
     "\n"
     "indexp: index number of the phase.\n"
     "name: name of the phase constituent.\n"
     "Returns the index number of the phase constituent within its phase (an int).\n"
     "\n"
     "The name cannot exceed 24 characters. The returned value is normally used as input\n"
     "to the other routines; it remains the same throughout the application.\n"
     "\n"
     "Related: tqnopc, tqgnpc, tqstpc, tqpcis, tqgdpc."},
    {"tqpcis", "indexp, index", "in(indexp) in(index) out error", "truth", "indexp-1, index-1",
     "same", "returns True if the phase constituent can be used as an incoming species"},
    {"tqgnpc", "indexp, index", "in(indexp) in(index) buf error", "value", "indexp-1, index-1",
     "same", "name of phase constituent"},
    {"tqstpc", "indexp, index", "in(indexp) in(index) doubles(components) dout error", "mass_first",
     "indexp-1, index-1", "swap", "mass and stoichiometry of phase constituent",
     "indexp index error dout doubles"},

    // Sublattices.
    {"tqnolc", "indexp: int, index: int", "in(indexp) in(index) out error", "value",
     "indexp-1, index-1", "same", "number of sublattice constituents (species)"},
    {"tqgnlc", "indexp: int, indexs: int, index: int",
     "in(indexp) in(indexs) in(index) buf(26) error", "value", "indexp-1, indexs-1, index-1",
     "same", "name of sublattice constituent (species)"},
    {"tqinlc", "name: str, indexp: int, indexl: int", "text(name) in(indexp) in(indexl) out error",
     "value", "name, indexp-1, indexl-1", "+1", "**GET-INDEX-NUMBER-OF-SUBLATTICE-CONSTITUENT**"},
    {"tqgtlc", "indexp: int, indexl: int, indexc: int",
     "in(indexp) in(indexl) in(indexc) dout error", "value", "indexp-1, indexl-1, indexc-1", "same",
     "**GET-CALCULATED-EQUILIBRIUM-SUBLATTICE-SITE-FRACTION**\n\nEvery solution phase counts "
     "as modelled with one or more sublattices; for one-sublattice models the site fraction\n"
     "equals the mole fraction."},

    {"tqgdpc", "option: str, indexp: int, index: int",
     "text(option) in(indexp) in(index) dout error", "value", "option, indexp-1, index-1", "same",
     "properties of a phase constituent"},

    {"tqerr", "", "fields(3x80,whole) error", "joined", "", "same",
     "**GET-ERROR-MESSAGE**\n\nThe library's current message: the message of its last error in "
     "the language of the \"LANGUAGE\" option, or the copyright message after tqcprt()."},

    // Stored data and excess parameters.
    {"tqgdat", "indexp, indexc, option, indexr",
     "in(indexp) in(indexc) text(option) in(indexr) out doubles(25) error", "counted",
     "print(indexr); indexp-1, indexc-1, PhaseConstituentData[option], indexr-1", "same",
     "**GET-INPUT-THERMODYNAMIC-DATA-OF-PHASE-CONSTITUENT**\n"
     "\n"
     "indexp: index of the phase; indexc: index of the constituent in the phase.\n"
     "option: the kind of data:\n"
     "  \"H\"   enthalpy at 298.15 K, J\n"
     "  \"S\"   entropy at 298.15 K, J/K\n"
     "  \"Cp\"  heat-capacity expression of range indexr: a, b, c, d of\n"
     "        Cp = a + b*T + c*T^2 + d/T^2, then (coefficient, power) pairs of extended terms\n"
     "  \"Tt\"  upper temperature limit of range indexr, K\n"
     "  \"Ht\"  transformation enthalpy at the upper limit of range indexr, J\n"
     "  \"V\"   molar-volume data of a condensed-phase constituent\n"
     "  \"Gc\"  critical data of a gas constituent\n"
     "  \"M\"   Curie/Neel temperature and average magnetic moment per atom\n"
     "  \"Ch\"  charge of an aqueous constituent\n"
     "indexr: range number for \"Cp\", \"Tt\" and \"Ht\" (pass 1 otherwise).\n"
     "Returns a tuple of the values."},
    {"tqlpar", "indexp, option", "in(indexp) text(option) out fields(1999x156) ints(1999) error",
     "field_list", "indexp-1, InteractionVariable[option]", "[1]",
     "**LIST-EXCESS-PARAMETERS-OF-PHASE**\n"
     "\n"
     "indexp: index of the phase.\n"
     "option: \"G\" for excess Gibbs energy, \"M\" for excess magnetic interactions.\n"
     "Returns a list of interaction strings; position k holds parameter k + 1, e.g.\n"
     "  \"1: *3 ( 1)-( 2)-( 4) : ( 8)\"  the first interaction, ternary, between constituents\n"
     "                                of the first sublattice\n"
     "  \"4: *R ( 1)-( 3) : ( 6)-( 8)\"  the fourth interaction, a reciprocal one"},
    {"tqcdat", "i1, i2, i3, i4, i5, val", "in(i1) in(i2) in(i3) in(i4) in(i5) din(val) error",
     "none", "i1-1, i2-1, i3-1, i4-1, i5-1, val", "same",
     "**CHANGES-DATA-OF-THERMODYNAMIC-DATA-FILE**\n\nChanges the stored datum that the selector "
     "(i1, i2, i3, i4, i5) names to val."},
    {"tqgpar", "indexp, option, indexx",
     "in(indexp) text(option) in(indexx) out out doubles(560) error", "table",
     "indexp-1, InteractionVariable[option], indexx-1", "same",
     "**GET-EXCESS-PARAMETERS-OF-PHASE**\n\nReturns one list of values per expression of "
     "excess parameter indexx of kind option (\"G\" or \"M\") of phase indexp."},
    {"tqwasc", "file", "text(file) error", "none", "file", "same",
     "**WRITE-DATA-FILE-IN-ASCII-FORMAT**\n"
     "\n"
     "Writes the loaded data as an ASCII data-file named file, when the data were entered\n"
     "with tqrfil. A commentary block at the end of that data-file is appended to the new\n"
     "file only while the data-file is still open (load_datafile closes it after reading).\n"
     "Never give the name of the data-file the data were loaded from: those data are lost."},

    {"tqgspc", "indexp: int, indexc: int", "in(indexp) in(indexc) buf(25) error", "value",
     "indexp-1, indexc-1", "same", "**GET-STATUS-OF-PHASE-CONSTITUENT**"},
    {"tqcspc", "indexp: int, indexc: int, option: str", "in(indexp) in(indexc) text(option) error",
     "none", "indexp-1, indexc-1, option", "same", "**CHANGE-STATUS-OF-PHASE-CONSTITUENT**"},
};

}  // namespace

std::span<const Declaration> system_routines() {
    return routines;
}

}  // namespace raw
