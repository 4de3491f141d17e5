// What the files of module custom share: the module's globals, interned names and
// the few steps every calculation is written in.
#pragma once

#include <initializer_list>

#include "function.hpp"

namespace custom {

// Interned names and constant objects, made once per process at start-up.
struct Names {
    // Module globals, looked up at every use.
    PyObject* np = nullptr;
    PyObject* gas_constant = nullptr;
    PyObject* niter_max = nullptr;
    PyObject* tol_temperature = nullptr;
    PyObject* activity = nullptr;  // "ce_activity_isothermal"
    PyObject* print = nullptr;
    // Engine members.
    PyObject* tqgsp = nullptr;
    PyObject* tqcsp = nullptr;
    PyObject* tqsetc = nullptr;
    PyObject* tqce = nullptr;
    PyObject* tqcel = nullptr;
    PyObject* tqgetr = nullptr;
    PyObject* tqgnp = nullptr;
    PyObject* unit_t = nullptr;
    // numpy members.
    PyObject* log = nullptr;
    PyObject* sign = nullptr;
    PyObject* abs = nullptr;
    PyObject* zeros = nullptr;
    PyObject* float64 = nullptr;
    // Keywords of ce_activity_isothermal, as a tuple for vectorcall, and dtype.
    PyObject* activity_keywords = nullptr;
    PyObject* dtype_keyword = nullptr;
    // Texts.
    PyObject* t = nullptr;        // "T"
    PyObject* ac = nullptr;       // "AC"
    PyObject* blank = nullptr;    // " "
    PyObject* dormant = nullptr;  // "DORMANT"
    PyObject* empty = nullptr;    // ""
    PyObject* fixed4 = nullptr;   // ".4f"
    // Numbers.
    PyObject* zero = nullptr;      // 0
    PyObject* thousand = nullptr;  // 1000.0
    PyObject* half = nullptr;      // 0.5
    PyObject* ten = nullptr;       // 10.0
    PyObject* tenth = nullptr;     // 0.1
    PyObject* fifth = nullptr;     // 0.2
};

extern Names names;

// A module global as bound now, then a builtin of that name, or null with
// NameError: the look-up a Python function of the module makes. Owned: code run
// while the caller uses the object may rebind the global.
pycore::Ref global(PyObject* name);

// obj.name(*args): the member fetched at this moment.
pycore::Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args);

// print(<text>) as the statement runs: print is found first (module, then
// builtins), then `make_text()` forms the text, then print is called.
template <class MakeText>
bool print(MakeText make_text) {
    pycore::Ref function = global(names.print);
    pycore::Ref text = function ? make_text() : pycore::Ref();
    return text && pycore::Ref::steal(PyObject_CallOneArg(function.get(), text.get()));
}

// format(value, spec).
pycore::Ref format(PyObject* value, PyObject* spec);

// The two calculations.
PyObject* activity_isothermal(pycore::Function* fn, PyObject* const* args);
PyObject* formation_binary_t(pycore::Function* fn, PyObject* const* args);

}  // namespace custom
