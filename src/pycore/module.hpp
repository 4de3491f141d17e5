// Multi-phase module start-up shared by the three modules: one interpreter per
// process, one module object per process, a body that runs once.
#pragma once

#include "ref.hpp"

namespace pycore {

// Start-up state of one extension module; one static instance per module.
struct ModuleOnce {
    const char* name;             // "raw", "entities", "custom"
    PyObject* module = nullptr;   // the module whose body ran, strong reference
    PyObject* created = nullptr;  // the module handed out by create, strong reference
    long long interpreter = -1;   // the one interpreter allowed to hold the module
};

// Create step: refuses a second interpreter; hands out the module made earlier in
// this process when there is one.
PyObject* create_module(ModuleOnce& once, PyObject* spec);

// Exec step: runs `body` once per process. The same module again succeeds at once;
// another module object fails with RuntimeError. A failed body leaves nothing
// behind, so a later import starts afresh.
int exec_module(ModuleOnce& once, PyObject* module, int (*body)(PyObject* module));

// Binds `value` (a new reference, may be null after a failed call) in the module.
bool bind(PyObject* module, const char* name, Ref value);

// The module definition of a module whose start-up state is `once` and whose body
// is `body`: no state, no functions of its own, one create and one exec step.
// PyInit_<name> returns PyModuleDef_Init(&MultiPhaseModule<once, body>::definition).
template <ModuleOnce& once, int (*body)(PyObject*)>
struct MultiPhaseModule {
    static PyObject* create(PyObject* spec, PyModuleDef*) { return create_module(once, spec); }
    static int exec(PyObject* module) { return exec_module(once, module, body); }

    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(create)},
        {Py_mod_exec, reinterpret_cast<void*>(exec)},
        {0, nullptr},
    };
    static inline PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, once.name, nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
    };
};

}  // namespace pycore
