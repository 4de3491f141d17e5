// What the parts of module raw share: the module, its globals, interned names.
#pragma once

#include "ref.hpp"

namespace raw {

struct Context {
    PyObject* module = nullptr;               // the module whose body ran
    PyObject* globals = nullptr;              // its dictionary, looked up at every use
    PyObject* module_name = nullptr;          // "equilexproxy.raw"
    PyObject* own_check_error = nullptr;      // EquilexProxy's own _check_error function
    PyObject* object_getattribute = nullptr;  // object.__getattribute__

    // Interned names.
    PyObject* use_eqpy = nullptr;
    PyObject* lib = nullptr;
    PyObject* func_aliases = nullptr;
    PyObject* string_buffer_length = nullptr;
    PyObject* eqb = nullptr;
    PyObject* ctypes = nullptr;
    PyObject* check_error = nullptr;
    PyObject* error_listeners = nullptr;
    PyObject* last_error = nullptr;
    PyObject* tqnosc = nullptr;
    PyObject* value = nullptr;
    PyObject* name = nullptr;
    PyObject* getattribute = nullptr;
    PyObject* zero = nullptr;  // the int 0
    PyObject* one = nullptr;   // the int 1
};

extern Context context;

// Sets up the interned names; once, at start-up.
bool init_context(PyObject* module);

// A module global as bound now, or null with NameError. Owned: running Python code
// may rebind the global while the caller still uses the object.
pycore::Ref global(PyObject* name);
pycore::Ref global(const char* name);

// A name as the module's own code finds it: its global when the module binds one, else
// the builtin (print, open), or null with NameError. Owned.
pycore::Ref global_or_builtin(const char* name);

}  // namespace raw
