// Module entities: start-up, the language enumeration and descriptor, SystemDim.
#include "module.hpp"

#include <array>

#include "classes.hpp"

namespace entities {
namespace {

using pycore::Kind;
using pycore::Param;
using pycore::Ref;

pycore::ModuleOnce once{"entities"};

// A module global looked up when it is needed, so rebinding it takes effect.
PyObject* global(const char* name) {
    PyObject* value = PyDict_GetItemString(PyModule_GetDict(once.module), name);
    if (value == nullptr && !PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    return value;
}

PyObject* language_desc_init(pycore::Function*, PyObject* const*) {
    return pycore::none();
}

// engine.language: the name of the Language member of the library's code.
PyObject* language_desc_get(pycore::Function*, PyObject* const* args) {
    PyObject* language = global("Language");
    if (language == nullptr) return nullptr;
    Ref code = Ref::steal(PyObject_CallMethod(args[1], "tqgio", "s", "LANGUAGE"));
    if (!code) return nullptr;
    Ref member = Ref::steal(PyObject_CallOneArg(language, code.get()));
    if (!member) return nullptr;
    return PyObject_GetAttrString(member.get(), "name");
}

// engine.language = value: a member, an exact int code or a member name in any case.
PyObject* language_desc_set(pycore::Function*, PyObject* const* args) {
    PyObject* instance = args[1];
    PyObject* value = args[2];
    PyObject* language = global("Language");
    if (language == nullptr) return nullptr;
    Ref tqcio = Ref::steal(PyObject_GetAttrString(instance, "tqcio"));
    if (!tqcio) return nullptr;
    Ref code;
    if (reinterpret_cast<PyObject*>(Py_TYPE(value)) == language) {
        code = Ref::steal(PyObject_GetAttrString(value, "value"));
    } else if (PyLong_CheckExact(value)) {
        code = Ref::borrow(value);
    } else if (PyUnicode_CheckExact(value)) {
        Ref upper = Ref::steal(PyObject_CallMethod(value, "upper", nullptr));
        if (!upper) return nullptr;
        Ref member = Ref::steal(PyObject_GetItem(language, upper.get()));
        if (!member) return nullptr;
        code = Ref::steal(PyObject_GetAttrString(member.get(), "value"));
    } else {
        PyErr_SetString(PyExc_ValueError,
                        "value must be a language code, language name or a member of Language "
                        "enumeration");
        return nullptr;
    }
    if (!code) return nullptr;
    Ref option = Ref::steal(PyUnicode_FromString("LANGUAGE"));
    if (!option) return nullptr;
    PyObject* call_args[] = {option.get(), code.get()};
    Ref result = Ref::steal(PyObject_Vectorcall(tqcio.get(), call_args, 2, nullptr));
    if (!result) return nullptr;
    return pycore::none();
}

constexpr std::array<Param, 1> self_only{{{"self"}}};
constexpr std::array<Param, 3> get_params{{{"self"}, {"instance"}, {"owner"}}};
constexpr std::array<Param, 3> set_params{{{"self"}, {"instance"}, {"value"}}};

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

bool make_language(PyObject* module, PyObject* module_name) {
    Ref bases = Ref::steal(PyTuple_Pack(1, global("Enum")));
    if (!bases) return false;
    pycore::ClassBuilder builder("Language", module_name, bases.get());
    static constexpr std::array<const char*, 5> names{"ENGLISH", "GERMAN", "FRENCH", "SWEDISH",
                                                      "FINNISH"};
    for (long code = 1; const char* name : names)
        if (!builder.add(name, Ref::steal(PyLong_FromLong(code++)))) return false;
    return pycore::bind(module, "Language", builder.make());
}

bool make_language_desc(PyObject* module, PyObject* module_name) {
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return false;
    pycore::ClassBuilder builder("LanguageDesc", module_name, bases.get());
    builder.method({"__init__", nullptr, nullptr, {self_only}, language_desc_init});
    builder.method({"__get__", nullptr, nullptr, {get_params}, language_desc_get});
    builder.method({"__set__", nullptr, nullptr, {set_params}, language_desc_set});
    return pycore::bind(module, "LanguageDesc", builder.make());
}

bool make_system_dim(PyObject* module) {
    PyObject* namedtuple = global("namedtuple");
    if (namedtuple == nullptr) return false;
    // The record type belongs to this module (namedtuple would guess the importer's).
    Ref args = Ref::steal(Py_BuildValue("(ss)", "SystemDim", system_dim_fields));
    Ref kwargs = Ref::steal(Py_BuildValue("{ss}", "module", "equilexproxy.entities"));
    if (!args || !kwargs) return false;
    return pycore::bind(module, "SystemDim",
                        Ref::steal(PyObject_Call(namedtuple, args.get(), kwargs.get())));
}

int body(PyObject* module) {
    if (!pycore::ready_function_type()) return -1;
    Ref module_name = Ref::steal(PyUnicode_FromString("equilexproxy.entities"));
    if (!module_name) return -1;
    bool ok = import_as(module, "pyparsing", "pp") && import_as(module, "numpy", "np") &&
              import_from(module, "enum", "Enum") &&
              import_from(module, "collections", "namedtuple") &&
              make_language(module, module_name.get()) &&
              make_language_desc(module, module_name.get()) && make_system_dim(module);
    return ok ? 0 : -1;
}

using Definition = pycore::MultiPhaseModule<once, body>;

}  // namespace
}  // namespace entities

PyMODINIT_FUNC PyInit_entities() {
    return PyModuleDef_Init(&entities::Definition::definition);
}
