// Module custom: start-up, its constants, and what its calculations share.
#include "module.hpp"

#include <array>

#include "custom.hpp"

namespace custom {

Names names;

namespace {

using pycore::Kind;
using pycore::Param;
using pycore::Ref;

pycore::ModuleOnce once{"custom"};

bool make_names() {
    struct Text {
        PyObject** slot;
        const char* text;
    };
    const Text texts[] = {
        {&names.np, "np"},
        {&names.gas_constant, "GAS_CONSTANT"},
        {&names.niter_max, "NITER_MAX"},
        {&names.tol_temperature, "TOL_TEMPERATURE"},
        {&names.activity, "ce_activity_isothermal"},
        {&names.print, "print"},
        {&names.tqgsp, "tqgsp"},
        {&names.tqcsp, "tqcsp"},
        {&names.tqsetc, "tqsetc"},
        {&names.tqce, "tqce"},
        {&names.tqcel, "tqcel"},
        {&names.tqgetr, "tqgetr"},
        {&names.tqgnp, "tqgnp"},
        {&names.unit_t, "unitT"},
        {&names.log, "log"},
        {&names.sign, "sign"},
        {&names.abs, "abs"},
        {&names.zeros, "zeros"},
        {&names.float64, "float64"},
        {&names.t, "T"},
        {&names.ac, "AC"},
        {&names.blank, " "},
        {&names.dormant, "DORMANT"},
        {&names.empty, ""},
        {&names.fixed4, ".4f"},
    };
    for (const Text& text : texts)
        if (*text.slot == nullptr &&
            (*text.slot = PyUnicode_InternFromString(text.text)) == nullptr)
            return false;
    struct Number {
        PyObject** slot;
        double value;
    };
    const Number numbers[] = {
        {&names.thousand, 1000.0}, {&names.half, 0.5},  {&names.ten, 10.0},
        {&names.tenth, 0.1},       {&names.fifth, 0.2},
    };
    for (const Number& number : numbers)
        if (*number.slot == nullptr && (*number.slot = PyFloat_FromDouble(number.value)) == nullptr)
            return false;
    if (names.zero == nullptr && (names.zero = PyLong_FromLong(0)) == nullptr) return false;
    if (names.activity_keywords == nullptr &&
        (names.activity_keywords = Py_BuildValue("(sss)", "engine", "temperature", "indexp")) ==
            nullptr)
        return false;
    if (names.dtype_keyword == nullptr &&
        (names.dtype_keyword = Py_BuildValue("(s)", "dtype")) == nullptr)
        return false;
    return true;
}

constexpr std::array<Param, 3> activity_params{{{"engine"}, {"temperature"}, {"indexp"}}};
constexpr std::array<Param, 5> formation_params{
    {{"engine"}, {"indexp"}, {"tlow"}, {"thigh"}, {"isshowcalc"}}};

bool bind_function(PyObject* module, PyObject* module_name, const pycore::FunctionDef& definition) {
    return pycore::bind(module, definition.name, pycore::make_function(definition, module_name));
}

// The module body, in binding order.
int body(PyObject* module) {
    if (!pycore::ready_function_type() || !make_names()) return -1;
    Ref module_name = Ref::steal(PyUnicode_FromString("equilexproxy.custom"));
    Ref formation_defaults = Ref::steal(Py_BuildValue("(ddO)", 300.0, 3000.0, Py_False));
    if (!module_name || !formation_defaults) return -1;
    bool ok =
        pycore::bind(module, "np", Ref::steal(PyImport_ImportModule("numpy"))) &&
        pycore::bind(module, "GAS_CONSTANT", Ref::steal(PyFloat_FromDouble(8.3144621))) &&
        pycore::bind(module, "NITER_MAX", Ref::steal(PyLong_FromLong(100))) &&
        pycore::bind(module, "TOL_TEMPERATURE", Ref::steal(PyFloat_FromDouble(0.001))) &&
        bind_function(
            module, module_name.get(),
            {"ce_activity_isothermal", nullptr, nullptr, {activity_params}, activity_isothermal}) &&
        bind_function(module, module_name.get(),
                      {"ce_formation_binary_t",
                       nullptr,
                       nullptr,
                       {formation_params},
                       formation_binary_t,
                       nullptr,
                       formation_defaults.get()});
    return ok ? 0 : -1;
}

using Definition = pycore::MultiPhaseModule<once, body>;

}  // namespace

Ref global(PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(once.module), name);
    if (value == nullptr && !PyErr_Occurred()) {
        value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
        if (value == nullptr && !PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref::borrow(value);
}

Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) {
    PyObject* stack[5] = {obj};
    std::size_t n = 1;
    for (PyObject* arg : args) stack[n++] = arg;
    return Ref::steal(PyObject_VectorcallMethod(name, stack, n, nullptr));
}

Ref format(PyObject* value, PyObject* spec) {
    return Ref::steal(PyObject_Format(value, spec));
}

}  // namespace custom

PyMODINIT_FUNC PyInit_custom() {
    return PyModuleDef_Init(&custom::Definition::definition);
}
