// R*T*ln(a) of a phase made dormant for one equilibrium at one temperature.
#include "custom.hpp"

namespace custom {

using pycore::Ref;

// Nothing is guarded: an exception after the phase was made dormant leaves it
// dormant, and the logarithm of 0 or of a negative activity is numpy's (a warning,
// -inf or nan), never an exception.
PyObject* activity_isothermal(pycore::Function*, PyObject* const* args) {
    PyObject* engine = args[0];
    PyObject* temperature = args[1];
    PyObject* indexp = args[2];

    Ref state_phase = call_method(engine, names.tqgsp, indexp);
    if (!state_phase || !call_method(engine, names.tqcsp, indexp, names.dormant) ||
        !call_method(engine, names.tqsetc, names.t, names.zero, names.zero, temperature))
        return nullptr;
    // engine.tqce is fetched before its arguments are formed, as the call runs.
    Ref tqce = Ref::steal(PyObject_GetAttr(engine, names.tqce));
    Ref upper = tqce ? Ref::steal(PyNumber_Add(temperature, calculation_values.thousand)) : Ref();
    Ref pair = upper ? Ref::steal(PyTuple_Pack(2, temperature, upper.get())) : Ref();
    if (!pair) return nullptr;
    PyObject* calculation[] = {names.blank, names.zero, names.zero, pair.get()};
    if (!Ref::steal(PyObject_Vectorcall(tqce.get(), calculation, 4, nullptr))) return nullptr;

    // (R * T) first, then np.log is fetched, then the activity read, as the
    // expression (GAS_CONSTANT * temperature) * np.log(activity) runs.
    Ref gas_constant = global(names.gas_constant);
    if (!gas_constant) return nullptr;
    Ref product = Ref::steal(PyNumber_Multiply(gas_constant.get(), temperature));
    if (!product) return nullptr;
    Ref np = global(names.np);
    Ref log = np ? Ref::steal(PyObject_GetAttr(np.get(), names.log)) : Ref();
    if (!log) return nullptr;
    Ref activity = call_method(engine, names.tqgetr, names.ac, indexp, names.zero);
    Ref ln = activity ? Ref::steal(PyObject_CallOneArg(log.get(), activity.get())) : Ref();
    Ref value = ln ? Ref::steal(PyNumber_Multiply(product.get(), ln.get())) : Ref();
    if (!value || !call_method(engine, names.tqcsp, indexp, state_phase.get())) return nullptr;
    return value.release();
}

}  // namespace custom
