// Routine methods of initialisation, version and sizes, file units and reading.
#include "declarations.hpp"

namespace raw {
namespace {

constexpr const char* sizes_doc =
    "**GET-ARRAY-SIZES**\n"
    "\n"
    "Returns the maximum sizes of the library's arrays, eleven integers in this order:\n"
    "constituents (also bounds the number of streams), system components, mixture phases,\n"
    "excess Gibbs energy coefficients for a mixture phase, excess magnetic coefficients for\n"
    "a mixture phase, sublattices for a mixture phase, constituents of a sublattice, oxide\n"
    "constituents of a phase described by the Gaye-Kapoor-Frohberg or modified quasichemical\n"
    "formalisms, Gibbs energy/heat capacity equations for a constituent, Gibbs energy/heat\n"
    "capacity equations in all, constituents with P,T-dependent molar volumes.";

constexpr Declaration routines[] = {
    {"tqini", "", "error", "none", "", "none",
     "**INITIALISE**\n\nInitialises the library and reinstates all default values and units.\n"
     "Call it before any other routine; a data-file must then be read again."},
    {"tqcprt", "", "error", "none", "", "skip",
     "**PREPARE-COPYRIGHT-MESSAGE**\n\nMakes the library prepare its copyright message, which "
     "is then read with tqerr()."},
    {"tqvers", "", "out error", "value", "", "same",
     "**GET-VERSION-NUMBER**\n\nThe version of the loaded library, its parts as digits run "
     "together: 113 is version 1.1.3."},
    {"tqsize", "", "out out out out out out out out out out out error", "outputs", "", "same",
     sizes_doc, "error out out out out out out out out out out out fetch"},
    {"tqused", "", "out out out out out out out out out out out error", "outputs", "", "same",
     "Current dimensions", "error out out out out out out out out out out out fetch"},
    {"tqcio", "option: str, unitno: int", "text(option) in(unitno) error", "none", "option, unitno",
     "same",
     "**CHANGE-INPUT-OUTPUT-OPTION**\n\noption: \"FILE\", \"ERROR\" or \"LIST\" (unitno is the "
     "new unit number) or \"LANGUAGE\" (unitno is the language code: 1 English, 2 German, "
     "3 French, 4 Swedish, 5 Finnish)."},
    {"tqgio", "option: str", "text(option) out error", "value", "option", "same",
     "**GET-INPUT-OUTPUT-OPTION**\n\nThe current unit number of \"FILE\", \"ERROR\" or "
     "\"LIST\", or the language code of \"LANGUAGE\"."},
    {"tqopen", "filename: str, unit: int", "text(filename) in(unit) error", "none",
     "filename, unit", "same",
     "**OPEN-FILE**\n\nOpens any file for reading or writing by the library, for instance one "
     "that is to receive output lists."},
    {"tqopna", "filename: str, unit: int", "text(filename) in(unit) error", "none",
     "filename, unit", "same",
     "**OPEN-ASCII-DATA-FILE**\n\nOpens an existing thermodynamic data-file in ASCII format "
     "for reading (error 107 when it does not exist)."},
    {"tqrfil", "", "error", "none", "", "same",
     "**READ-DATA-FILE**\n\nReads the ASCII data-file open under the unit of the \"FILE\" "
     "option."},
    {"tqopnt", "filename: str, unit: int", "text(filename) in(unit) error", "none",
     "filename, unit", "same",
     "**OPEN-TRANSPARENT-DATA-FILE**\n\nOpens a thermodynamic data-file in transparent "
     "format."},
    {"tqrcst", "", "error", "none", "", "same",
     "**READ-TRANSPARENT-DATA-FILE**\n\nReads the transparent data-file open under the unit "
     "of the \"FILE\" option."},
    {"tqopnb", "filename: str, unit: int", "text(filename) in(unit) error", "none",
     "filename, unit", "same",
     "**OPEN-BINARY-DATA-FILE**\n\nOpens a thermodynamic data-file in binary format."},
    {"tqrbin", "", "error", "none", "", "same",
     "**READ-BINARY-DATA-FILE**\n\nReads the binary data-file open under the unit of the "
     "\"FILE\" option."},
    {"tqclos", "unit: int", "in(unit) error", "none", "unit", "same",
     "**CLOSE-FILE**\n\nCloses the file opened under unit number unit."},
};

}  // namespace

std::span<const Declaration> core_routines() {
    return routines;
}

}  // namespace raw
