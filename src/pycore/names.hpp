// The interned names the modules look things up by, and the small ints they pass: one
// table, made once per process when a module starts. Interned texts compare by identity
// in dictionaries, so a look-up by one of these costs no text comparison and no new
// object.
#pragma once

#include "ref.hpp"

namespace pycore {

// member, text
#define PYCORE_NAMES(X)                                         \
    /* Routine methods and other members of the engine. */      \
    X(tqce, "tqce")                                             \
    X(tqcel, "tqcel")                                           \
    X(tqcen, "tqcen")                                           \
    X(tqcenl, "tqcenl")                                         \
    X(tqclos, "tqclos")                                         \
    X(tqcsp, "tqcsp")                                           \
    X(tqcsu, "tqcsu")                                           \
    X(tqgetr, "tqgetr")                                         \
    X(tqgnp, "tqgnp")                                           \
    X(tqgsp, "tqgsp")                                           \
    X(tqgsu, "tqgsu")                                           \
    X(tqini, "tqini")                                           \
    X(tqinp, "tqinp")                                           \
    X(tqinpc, "tqinpc")                                         \
    X(tqinsc, "tqinsc")                                         \
    X(tqmap, "tqmap")                                           \
    X(tqmapl, "tqmapl")                                         \
    X(tqmodl, "tqmodl")                                         \
    X(tqnop, "tqnop")                                           \
    X(tqnosc, "tqnosc")                                         \
    X(tqopna, "tqopna")                                         \
    X(tqopnb, "tqopnb")                                         \
    X(tqopnt, "tqopnt")                                         \
    X(tqrbin, "tqrbin")                                         \
    X(tqrcst, "tqrcst")                                         \
    X(tqremc, "tqremc")                                         \
    X(tqrfil, "tqrfil")                                         \
    X(tqsetc, "tqsetc")                                         \
    X(tqsize, "tqsize")                                         \
    X(tqused, "tqused")                                         \
    X(tqvers, "tqvers")                                         \
    X(check_error, "_check_error")                              \
    X(generate_free_name, "_generate_free_name")                \
    X(get_constituent, "get_constituent")                       \
    X(get_phase, "get_phase")                                   \
    X(number_components, "number_components")                   \
    X(number_phases, "number_phases")                           \
    X(phases, "phases")                                         \
    X(unit_t, "unitT")                                          \
    /* Attributes of the engine. */                             \
    X(error_listeners, "error_listeners")                       \
    X(last_error, "last_error")                                 \
    X(lib, "lib")                                               \
    X(logfile, "logfile")                                       \
    X(use_eqpy, "use_eqpy")                                     \
    /* Members of entities, holders and enumeration members. */ \
    X(activity, "activity")                                     \
    X(eq_amount, "eq_amount")                                   \
    X(model_name, "model_name")                                 \
    X(name, "name")                                             \
    X(status, "status")                                         \
    X(value, "value")                                           \
    X(getattribute, "__getattribute__")                         \
    /* Module globals and builtins. */                          \
    X(calcsize, "calcsize")                                     \
    X(ce_activity_isothermal, "ce_activity_isothermal")         \
    X(ctypes, "ctypes")                                         \
    X(entities, "entities")                                     \
    X(eqb, "eqb")                                               \
    X(equilex_errors, "equilex_errors")                         \
    X(find_library, "find_library")                             \
    X(func_aliases, "func_aliases")                             \
    X(gas_constant, "GAS_CONSTANT")                             \
    X(isx64, "isx64")                                           \
    X(niter_max, "NITER_MAX")                                   \
    X(np, "np")                                                 \
    X(open, "open")                                             \
    X(os, "os")                                                 \
    X(print, "print")                                           \
    X(string_buffer_length, "string_buffer_length")             \
    X(tol_temperature, "TOL_TEMPERATURE")                       \
    /* Classes of module entities. */                           \
    X(phase, "Phase")                                           \
    X(system_component, "SystemComponent")                      \
    /* numpy. */                                                \
    X(abs, "abs")                                               \
    X(float64, "float64")                                       \
    X(log, "log")                                               \
    X(sign, "sign")                                             \
    X(zeros, "zeros")                                           \
    /* Option and quantity texts of the routines. */            \
    X(a, "A")                                                   \
    X(ac, "AC")                                                 \
    X(cp, "CP")                                                 \
    X(g, "G")                                                   \
    X(h, "H")                                                   \
    X(ia, "IA")                                                 \
    X(p, "P")                                                   \
    X(s, "S")                                                   \
    X(t, "T")                                                   \
    X(tf, "TF")                                                 \
    X(tn, "TN")                                                 \
    X(v, "V")                                                   \
    X(vt, "VT")                                                 \
    X(blank, " ")                                               \
    X(dormant, "DORMANT")                                       \
    X(pure, "PURE")                                             \
    X(amount, "Amount")                                         \
    X(energy, "Energy")                                         \
    X(pressure, "Pressure")                                     \
    X(temperature, "Temperature")                               \
    X(volume, "Volume")                                         \
    /* Other texts. */                                          \
    X(empty, "")                                                \
    X(fixed4, ".4f")                                            \
    X(module_raw, "equilexproxy.raw")

struct Names {
#define PYCORE_NAME_MEMBER(member, text) PyObject* member = nullptr;
    PYCORE_NAMES(PYCORE_NAME_MEMBER)
#undef PYCORE_NAME_MEMBER
    // Small ints.
    PyObject* zero = nullptr;       // 0
    PyObject* one = nullptr;        // 1
    PyObject* two = nullptr;        // 2
    PyObject* minus_one = nullptr;  // -1
};

// Each module's copy of the table (every module links pycore in); its objects live as
// long as the process.
extern Names names;

// Makes the table; at every module start-up, once per process. False with an exception.
bool make_names();

}  // namespace pycore
