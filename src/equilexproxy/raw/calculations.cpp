// Calculations in one call, and the temperature phase map with chosen results of
// every step.
#include "convenience.hpp"

namespace raw {
namespace {

using pycore::Param;
using pycore::Ref;

// calc and its target variants: the routine follows from the two flags (show ->
// a listing, from_previous -> starting from the previous calculation), fetched
// from the engine now and called with the row's target option.
PyObject* calculate(pycore::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    int show = PyObject_IsTrue(args[1]);
    if (show < 0) return nullptr;
    int from_previous = PyObject_IsTrue(args[2]);
    if (from_previous < 0) return nullptr;
    PyObject* routine = show ? (from_previous ? names.tqcenl : names.tqcel)
                             : (from_previous ? names.tqcen : names.tqce);
    if (!call_method(self, routine, names.*row(fn).text, names.zero, names.zero, args[3]))
        return nullptr;
    return pycore::none();
}

// d[key].append(self.tqgetr(key[0], key[1], key[2])) per element of outvars, in the
// order that statement runs: the list first, then the routine fetched, then the key's
// items. outvars is iterated anew for every step, as a for loop would.
bool collect(PyObject* self, PyObject* outvars, PyObject* results) {
    Ref iterator = Ref::steal(PyObject_GetIter(outvars));
    if (!iterator) return false;
    while (Ref key = Ref::steal(PyIter_Next(iterator.get()))) {
        // A key the first pass did not make (an outvars that changes between passes)
        // fails here, before the routine is called.
        Ref list = Ref::borrow(PyDict_GetItemWithError(results, key.get()));
        if (!list) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.get());
            return false;
        }
        Ref routine = Ref::steal(PyObject_GetAttr(self, names.tqgetr));
        Ref option = routine ? Ref::steal(PyObject_GetItem(key.get(), names.zero)) : Ref();
        Ref indexp = option ? Ref::steal(PyObject_GetItem(key.get(), names.one)) : Ref();
        Ref index = indexp ? Ref::steal(PyObject_GetItem(key.get(), names.two)) : Ref();
        if (!index) return false;
        PyObject* call_args[] = {option.get(), indexp.get(), index.get()};
        Ref value = Ref::steal(PyObject_Vectorcall(routine.get(), call_args, 3, nullptr));
        if (!value || PyList_Append(list.get(), value.get()) < 0) return false;
    }
    return !PyErr_Occurred();
}

// One map step: routine(option, 0, 0, (lower, upper)), its result the indicator.
Ref step(PyObject* routine, PyObject* option, PyObject* lower, PyObject* upper) {
    Ref limits = Ref::steal(PyTuple_Pack(2, lower, upper));
    if (!limits) return limits;
    PyObject* call_args[] = {option, names.zero, names.zero, limits.get()};
    return Ref::steal(PyObject_Vectorcall(routine, call_args, 4, nullptr));
}

PyObject* map_temp(pycore::Function*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* lower = args[1];
    PyObject* upper = args[2];
    PyObject* outvars = args[3];
    Ref results = Ref::steal(PyDict_New());
    if (!results) return nullptr;
    int show = PyObject_IsTrue(args[4]);
    if (show < 0) return nullptr;
    Ref routine = Ref::steal(PyObject_GetAttr(self, show ? names.tqmapl : names.tqmap));
    if (!routine) return nullptr;
    // A key that occurs again gets a new empty list: it keeps one entry.
    Ref keys = Ref::steal(PyObject_GetIter(outvars));
    if (!keys) return nullptr;
    while (Ref key = Ref::steal(PyIter_Next(keys.get()))) {
        Ref list = Ref::steal(PyList_New(0));
        if (!list || PyDict_SetItem(results.get(), key.get(), list.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;

    Ref indicator = step(routine.get(), names.tf, lower, upper);
    if (!indicator || !collect(self, outvars, results.get())) return nullptr;
    while (true) {
        int more = compare(indicator.get(), names.zero, Py_GT);
        if (more < 0) return nullptr;
        if (!more) break;
        indicator = step(routine.get(), names.tn, lower, upper);
        if (!indicator || !collect(self, outvars, results.get())) return nullptr;
    }
    return results.release();
}

Ref calculation_defaults() {
    return Ref::steal(Py_BuildValue("(OO(ii))", Py_False, Py_False, 2000, 0));
}

// The default outvars is one list, made here once, that every call without
// outvars shares.
Ref map_defaults() {
    return Ref::steal(Py_BuildValue("(ii[(sii)]O)", 200, 3000, "T", 0, 0, Py_False));
}

constexpr Param calculation_params[] = {{"self"}, {"show"}, {"from_previous"}, {"estimate"}};
constexpr Param map_params[] = {{"self"}, {"lower"}, {"upper"}, {"outvars"}, {"show"}};

constexpr ConvenienceMember members[] = {
    {.name = "calc",
     .shape = Shape::method,
     .body = calculate,
     .params = calculation_params,
     .text = &Names::blank,
     .defaults = calculation_defaults},
    {.name = "calc_Ttarget",
     .shape = Shape::method,
     .body = calculate,
     .params = calculation_params,
     .text = &Names::t,
     .defaults = calculation_defaults},
    {.name = "calc_Ptarget",
     .shape = Shape::method,
     .body = calculate,
     .params = calculation_params,
     .text = &Names::p,
     .defaults = calculation_defaults},
    {.name = "calc_Vtarget",
     .shape = Shape::method,
     .body = calculate,
     .params = calculation_params,
     .text = &Names::v,
     .defaults = calculation_defaults},
    {.name = "map_temp",
     .shape = Shape::method,
     .body = map_temp,
     .params = map_params,
     .defaults = map_defaults},
};

}  // namespace

std::span<const ConvenienceMember> calculation_members() {
    return members;
}

}  // namespace raw
