#include "module.hpp"

namespace pycore {

namespace {

bool check_single_interpreter(ModuleOnce& once) {
    long long current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return false;
    if (once.interpreter == -1) {
        once.interpreter = current;
        return true;
    }
    if (once.interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return false;
    }
    return true;
}

}  // namespace

PyObject* create_module(ModuleOnce& once, PyObject* spec) {
    if (!check_single_interpreter(once)) return nullptr;
    if (once.module != nullptr) return Py_NewRef(once.module);
    if (once.created != nullptr) return Py_NewRef(once.created);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    PyObject* module = PyModule_NewObject(name.get());
    if (module == nullptr) return nullptr;
    once.created = Py_NewRef(module);
    return module;
}

int exec_module(ModuleOnce& once, PyObject* module, int (*body)(PyObject* module)) {
    if (once.module != nullptr) {
        if (once.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     once.name);
        return -1;
    }
    once.module = Py_NewRef(module);
    if (body(module) == 0) return 0;
    // The half-built module is dropped: the next import makes a new one.
    Py_CLEAR(once.module);
    Py_CLEAR(once.created);
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_ImportError, "initialisation of module '%s' failed", once.name);
    return -1;
}

bool bind(PyObject* module, const char* name, Ref value) {
    if (!value) return false;
    return PyModule_AddObjectRef(module, name, value.get()) == 0;
}

}  // namespace pycore
