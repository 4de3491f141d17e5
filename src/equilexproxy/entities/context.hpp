// What the parts of module entities share: the module and its globals.
#pragma once

#include "module.hpp"

namespace entities {

// The module's start-up state; `once.module` is the module whose body ran.
extern pycore::ModuleOnce once;

// "equilexproxy.entities", the __module__ of everything the module makes.
PyObject* module_name();

// A module global or builtin as bound now, owned; null with NameError.
pycore::Ref global(PyObject* name);
pycore::Ref global(const char* name);

// Each area's part of the module body; false with an exception set.
bool make_grammar(PyObject* module);              // grammar.cpp
bool make_language(PyObject* module);             // language.cpp
bool make_language_desc(PyObject* module);        // language.cpp
bool make_value_classes(PyObject* module);        // values.cpp
bool make_phase_classes(PyObject* module);        // phases.cpp
bool make_constituent_classes(PyObject* module);  // constituents.cpp

}  // namespace entities
