// Calls, method calls and global names, as Python code of the module would make them.
#pragma once

#include <concepts>

#include "versions.hpp"

namespace pycore {

template <class T>
concept Object = std::convertible_to<T, PyObject*>;

// callable(args...), the arguments borrowed; their array has exactly their number and a
// free place before them for the callee.
template <Object... Args>
Ref call(PyObject* callable, Args... args) {
    PyObject* stack[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(
        callable, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// owner.name(args...): the method looked up now, as a method call in Python looks it up
// (a plain function of the class is called with the owner first, no bound method made).
template <Object... Args>
Ref call_method(PyObject* owner, PyObject* name, Args... args) {
    PyObject* stack[] = {owner, args...};
    return Ref::steal(PyObject_VectorcallMethod(name, stack, 1 + sizeof...(Args), nullptr));
}

template <Object... Args>
Ref call_method(PyObject* owner, const char* name, Args... args) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    return key ? call_method(owner, key.get(), args...) : key;
}

// Where a global name is looked for: the module's dictionary, then the builtins, as a
// Python function of the module looks it up; or the module's dictionary alone, for the
// names the module binds itself and its code never takes from the builtins.
enum class Builtins : bool { searched, not_searched };

namespace detail {
inline Ref not_defined(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}
}  // namespace detail

// The global `name` as bound now in `globals` (a module's dictionary; null for a module
// no longer there), then among the builtins: owned, as code that runs while the caller
// uses it may rebind the name. Null with NameError when it is bound nowhere, or with the
// exception of a failed look-up.
inline Ref global(PyObject* globals, PyObject* name, Builtins builtins = Builtins::searched) {
    if (globals != nullptr) {
        if (PyObject* found = PyDict_GetItemWithError(globals, name)) return Ref::borrow(found);
        if (PyErr_Occurred()) return Ref();
    }
    if (builtins == Builtins::searched) {
        if (PyObject* table = PyEval_GetBuiltins()) {
            if (PyObject* found = PyDict_GetItemWithError(table, name)) return Ref::borrow(found);
            if (PyErr_Occurred()) return Ref();
        }
    }
    return detail::not_defined(name);
}

// The same in the module's dictionary alone, the read remembered in `memo` while the
// dictionary is unchanged.
inline Ref global(PyObject* globals, PyObject* name, DictRead& memo) {
    if (PyObject* found = memo.get(globals, name)) return Ref::borrow(found);
    if (PyErr_Occurred()) return Ref();
    return detail::not_defined(name);
}

}  // namespace pycore
