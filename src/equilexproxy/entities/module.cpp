// Module entities: start-up, binding its globals in order.
#include "calls.hpp"
#include "context.hpp"
#include "function.hpp"

namespace entities {

using pycore::Ref;

pycore::ModuleOnce once{"entities"};

namespace {

PyObject* name_of_module = nullptr;  // lives as long as the process

const char* const system_dim_fields =
    "constituents, components, solutions, ex_g_coeff, ex_magn_coeff,\n"
    "soln_sublattices, sublattice_constituents, mqf_constituents,\n"
    "g_eq_constituent, g_eq, constituents_vdep";

bool import_as(PyObject* module, const char* name, const char* as) {
    return pycore::bind(module, as, Ref::steal(PyImport_ImportModule(name)));
}

bool import_from(PyObject* module, const char* from, const char* name) {
    Ref source = Ref::steal(PyImport_ImportModule(from));
    return source &&
           pycore::bind(module, name, Ref::steal(PyObject_GetAttrString(source.get(), name)));
}

bool make_system_dim(PyObject* module) {
    Ref namedtuple = global("namedtuple");
    if (!namedtuple) return false;
    // The record type belongs to this module (namedtuple would guess the importer's).
    Ref args = Ref::steal(Py_BuildValue("(ss)", "SystemDim", system_dim_fields));
    Ref kwargs = Ref::steal(Py_BuildValue("{sO}", "module", module_name()));
    if (!args || !kwargs) return false;
    return pycore::bind(module, "SystemDim",
                        Ref::steal(PyObject_Call(namedtuple.get(), args.get(), kwargs.get())));
}

int body(PyObject* module) {
    if (!pycore::ready_function_type()) return -1;
    if (name_of_module == nullptr &&
        (name_of_module = PyUnicode_InternFromString("equilexproxy.entities")) == nullptr)
        return -1;
    bool ok = import_as(module, "pyparsing", "pp") && import_as(module, "numpy", "np") &&
              import_from(module, "enum", "Enum") &&
              import_from(module, "collections", "namedtuple") && make_grammar(module) &&
              make_language(module) && make_language_desc(module) && make_value_classes(module) &&
              make_phase_classes(module) && make_constituent_classes(module) &&
              make_system_dim(module);
    return ok ? 0 : -1;
}

using Definition = pycore::MultiPhaseModule<once, body>;

}  // namespace

PyObject* module_name() {
    return name_of_module;
}

Ref global(PyObject* name) {
    // A function of a module whose start-up failed still finds the builtins.
    return pycore::global(once.module ? PyModule_GetDict(once.module) : nullptr, name);
}

Ref global(const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    return key ? global(key.get()) : Ref();
}

}  // namespace entities

PyMODINIT_FUNC PyInit_entities() {
    return PyModuleDef_Init(&entities::Definition::definition);
}
