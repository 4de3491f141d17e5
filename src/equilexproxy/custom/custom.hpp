// What the files of module custom share: the module's globals, interned names and
// the few steps every calculation is written in.
#pragma once

#include "calls.hpp"
#include "function.hpp"
#include "names.hpp"

namespace custom {

// The objects the calculations use besides the interned names, made once per process
// at start-up.
struct CalculationValues {
    // Keywords of ce_activity_isothermal, as a tuple for vectorcall, and dtype.
    PyObject* activity_keywords = nullptr;
    PyObject* dtype_keyword = nullptr;
    // Numbers.
    PyObject* thousand = nullptr;  // 1000.0
    PyObject* half = nullptr;      // 0.5
    PyObject* ten = nullptr;       // 10.0
    PyObject* tenth = nullptr;     // 0.1
    PyObject* fifth = nullptr;     // 0.2
};

extern CalculationValues calculation_values;

using pycore::call_method;
using pycore::names;

// A module global as bound now, then a builtin of that name, or null with
// NameError: the look-up a Python function of the module makes. Owned: code run
// while the caller uses the object may rebind the global.
pycore::Ref global(PyObject* name);

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
