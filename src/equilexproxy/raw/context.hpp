// What the parts of module raw share: the module and its globals.
#pragma once

#include "calls.hpp"
#include "names.hpp"

namespace raw {

using pycore::names;

// Lives as long as the process (its objects are pinned).
struct Context {
    PyObject* module = nullptr;               // the module whose body ran
    PyObject* globals = nullptr;              // its dictionary, looked up at every use
    PyObject* own_check_error = nullptr;      // EquilexProxy's own _check_error function
    PyObject* object_getattribute = nullptr;  // object.__getattribute__
};

extern Context context;

// Sets up the context and the names; once, at start-up.
bool init_context(PyObject* module);

// A module global as bound now, or null with NameError. Owned: running Python code
// may rebind the global while the caller still uses the object. The module's code
// binds these names itself and never takes them from the builtins.
inline pycore::Ref global(PyObject* name) {
    return pycore::global(context.globals, name, pycore::Builtins::not_searched);
}

// A name as the module's own code finds it: its global when the module binds one, else
// the builtin (print, open), or null with NameError. Owned.
inline pycore::Ref global_or_builtin(PyObject* name) {
    return pycore::global(context.globals, name);
}

}  // namespace raw
