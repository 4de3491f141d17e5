// Value objects: each names one stored datum by its owner and indices, reads it
// with get() and writes it with set(value), and keeps no copy.
#include "context.hpp"
#include "members.hpp"

namespace entities {
namespace {

using enum MemberKind;

// Nothing in the system calls the base's methods; get keeps the parameter it is
// declared with.
constexpr MemberRow value_members[] = {
    {"__init__", init, ""},
    {"set(value)", method, "None"},
    {"get(value)", method, "None"},
};

// E, P and C of a constituent's datum, read afresh at every call.
constexpr const char* constituent_symbols =
    "E = constituent.parent.engine, P = constituent.parent.index, C = constituent.index";

constexpr MemberRow value_h_members[] = {
    {"__init__(constituent)", init, "constituent"},
    {"set(value)", action, "E.tqcdat(1, 0, 0, C, P, value)"},
    {"get", method, "E.tqgdat(P, C, 'H', 1)[0]"},
    {"__str__", text, "H298(<{constituent.parent.name}>, <{constituent.name}>) = {get()} J/mol"},
    {"__repr__", method, "self.__str__()"},
};

constexpr MemberRow value_s_members[] = {
    {"__init__(constituent)", init, "constituent"},
    {"set(value)", action, "E.tqcdat(1, 0, 1, C, P, value)"},
    {"get", method, "E.tqgdat(P, C, 'S', 1)[0]"},
    {"__str__", text, "S298(<{constituent.parent.name}>, <{constituent.name}>) = {get()} J/mol/K"},
    {"__repr__", method, "self.__str__()"},
};

// No text of its own: the default object representation.
constexpr MemberRow value_cp_members[] = {
    {"__init__(constituent, indexcp, index=0)", init, "constituent, indexcp, index"},
    {"set(value)", action, "E.tqcdat(1, indexcp, index, C, P, value)"},
    {"get", method, "E.tqgdat(P, C, 'Cp', indexcp)[index - 1]"},
};

// The set selector is 13 whatever `type` says.
constexpr MemberRow value_ex_members[] = {
    {"__init__(phase, indexx, iexpr, iterm, type='G')", init, "phase, indexx, iexpr, iterm, type"},
    {"set(value)", action, "E.tqcdat(13, indexx, iexpr, iterm, P, value)"},
    {"get", method, "E.tqgpar(P, type, indexx)[iexpr - 1][iterm - 1]"},
    {"__str__", text,
     "{E.tqlpar(P, type)[indexx - 1]}: {get()}"
     "{['', '*T', '*TlnT', '*T^2', '*T^3', '/T'][iterm - 1]} [J]"},
    {"__repr__", method, "self.__str__()"},
};

constexpr const char* phase_symbols = "E = phase.engine, P = phase.index";

}  // namespace

bool make_value_classes(PyObject* module) {
    return make_class(module, {"Value", nullptr, nullptr, nullptr, value_members}) &&
           make_class(module, {"ValueH", "Value", nullptr, constituent_symbols, value_h_members}) &&
           make_class(module, {"ValueS", "Value", nullptr, constituent_symbols, value_s_members}) &&
           make_class(module,
                      {"ValueCp", "Value", nullptr, constituent_symbols, value_cp_members}) &&
           make_class(module, {"ValueEx", "Value", nullptr, phase_symbols, value_ex_members});
}

}  // namespace entities
