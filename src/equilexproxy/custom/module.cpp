// Module custom: start-up, the values its calculations use, and what they share.
#include "module.hpp"

#include <array>

#include "custom.hpp"

namespace custom {

CalculationValues calculation_values;

namespace {

using pycore::Kind;
using pycore::Param;
using pycore::Ref;

pycore::ModuleOnce once{"custom"};

bool make_constants() {
    if (!pycore::make_names()) return false;
    struct Number {
        PyObject** slot;
        double value;
    };
    const Number numbers[] = {
        {&calculation_values.thousand, 1000.0}, {&calculation_values.half, 0.5},
        {&calculation_values.ten, 10.0},        {&calculation_values.tenth, 0.1},
        {&calculation_values.fifth, 0.2},
    };
    for (const Number& number : numbers)
        if (*number.slot == nullptr && (*number.slot = PyFloat_FromDouble(number.value)) == nullptr)
            return false;
    if (calculation_values.activity_keywords == nullptr &&
        (calculation_values.activity_keywords =
             Py_BuildValue("(sss)", "engine", "temperature", "indexp")) == nullptr)
        return false;
    if (calculation_values.dtype_keyword == nullptr &&
        (calculation_values.dtype_keyword = Py_BuildValue("(s)", "dtype")) == nullptr)
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
    if (!pycore::ready_function_type() || !make_constants()) return -1;
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
    return pycore::global(once.module ? PyModule_GetDict(once.module) : nullptr, name);
}

Ref format(PyObject* value, PyObject* spec) {
    return Ref::steal(PyObject_Format(value, spec));
}

}  // namespace custom

PyMODINIT_FUNC PyInit_custom() {
    return PyModuleDef_Init(&custom::Definition::definition);
}
