// Phase statuses for all or listed phases, and the loaded system's components and
// phases as lists of new entity objects, selected by model or by the activities and
// amounts of the last calculation. Nothing is cached: every read asks anew.
#include "context.hpp"
#include "convenience.hpp"

namespace raw {
namespace {

using pycore::Param;
using pycore::Ref;

// [Class(k + 1, self) for k in range(count)] keeping those `keep` accepts (all
// when it is null); the class is taken from entities for each element.
Ref entity_list(PyObject* self, Word count_name, Word class_name,
                int (*keep)(PyObject* entity) = nullptr) {
    Ref count = Ref::steal(PyObject_GetAttr(self, names.*count_name));
    Py_ssize_t length = 0;
    if (!count || !range_length(count.get(), length)) return Ref();
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return list;
    for (Py_ssize_t k = 0; k < length; ++k) {
        Ref index = Ref::steal(PyLong_FromSsize_t(k + 1));
        Ref entity = index ? make_entity(names.*class_name, index.get(), self, false) : Ref();
        if (!entity) return Ref();
        int wanted = keep ? keep(entity.get()) : 1;
        if (wanted < 0 || (wanted && PyList_Append(list.get(), entity.get()) < 0)) return Ref();
    }
    return list;
}

// Row: the count, the entity class.
PyObject* all_entities(pycore::Function* fn, PyObject* const* args) {
    return entity_list(args[0], row(fn).text, row(fn).second).release();
}

// model_name == "PURE" as a truth value.
int pure(PyObject* phase) {
    Ref model = Ref::steal(PyObject_GetAttr(phase, names.model_name));
    Ref equal = model ? Ref::steal(PyObject_RichCompare(model.get(), names.pure, Py_EQ)) : Ref();
    return equal ? PyObject_IsTrue(equal.get()) : -1;
}

int not_pure(PyObject* phase) {
    int compound = pure(phase);
    return compound < 0 ? compound : !compound;
}

PyObject* compounds(pycore::Function*, PyObject* const* args) {
    return entity_list(args[0], &Names::number_phases, &Names::phase, pure).release();
}

PyObject* solutions(pycore::Function*, PyObject* const* args) {
    return entity_list(args[0], &Names::number_phases, &Names::phase, not_pure).release();
}

// self.phases filtered by `keep`, then sorted by `key`, largest first; the sort is
// stable, so equal keys stay in index order.
PyObject* phases_sorted(PyObject* self, int (*keep)(PyObject* phase), PyObject* key) {
    Ref phases = Ref::steal(PyObject_GetAttr(self, names.phases));
    Ref iterator = phases ? Ref::steal(PyObject_GetIter(phases.get())) : Ref();
    Ref kept = iterator ? Ref::steal(PyList_New(0)) : Ref();
    if (!kept) return nullptr;
    while (Ref phase = Ref::steal(PyIter_Next(iterator.get()))) {
        int wanted = keep(phase.get());
        if (wanted < 0) return nullptr;
        if (wanted && PyList_Append(kept.get(), phase.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref sort = Ref::steal(PyObject_GetAttrString(kept.get(), "sort"));
    Ref keywords =
        sort ? Ref::steal(Py_BuildValue("{sOsO}", "key", key, "reverse", Py_True)) : Ref();
    Ref empty = keywords ? Ref::steal(PyTuple_New(0)) : Ref();
    if (!empty || !Ref::steal(PyObject_Call(sort.get(), empty.get(), keywords.get())))
        return nullptr;
    return kept.release();
}

int activity_compared(PyObject* phase, PyObject* bound, int op) {
    Ref activity = Ref::steal(PyObject_GetAttr(phase, names.activity));
    return compare(activity.get(), bound, op);
}

// activity >= 0.9999.
int stable(PyObject* phase) {
    return activity_compared(phase, convenience_values.stable, Py_GE);
}

// activity < 0.9999 and, read again, activity > 0.0: eliminated phases (0.0) and
// not-a-number are left out.
int unstable(PyObject* phase) {
    int below = activity_compared(phase, convenience_values.stable, Py_LT);
    if (below <= 0) return below;
    return activity_compared(phase, convenience_values.no_activity, Py_GT);
}

PyObject* phases_stable(pycore::Function*, PyObject* const* args) {
    return phases_sorted(args[0], stable, convenience_values.by_eq_amount);
}

PyObject* phases_unstable(pycore::Function*, PyObject* const* args) {
    return phases_sorted(args[0], unstable, convenience_values.by_activity);
}

// The phase index of one element of set_status's list (an instance of str is a
// name, of int the index), or null with the exception for an element of another
// kind or an index below 0.
Ref listed_phase(PyObject* self, PyObject* element) {
    Ref index;
    int is_str = instance_of(element, &PyUnicode_Type);
    int is_int = is_str == 0 ? instance_of(element, &PyLong_Type) : 0;
    if (is_str < 0 || is_int < 0) return index;
    if (is_str) {
        index = call_method(self, names.tqinp, element);
        if (!index) return index;
    } else if (is_int) {
        index = Ref::borrow(element);
    } else {
        raise_with(PyExc_Exception,
                   "{} has an unacceptable type (must be string, Phase object or integer)",
                   {element});
        return Ref();
    }
    // Below 0, not below 1: the 0 an unknown name may give goes on to tqcsp.
    int negative = compare(index.get(), names.zero, Py_LT);
    if (negative < 0) return Ref();
    if (negative) {
        raise_with(PyExc_Exception, "no phase named {} exists", {element});
        return Ref();
    }
    return index;
}

// Every phase through its status property, or each listed one: a Phase through its
// status property, a name or an index through tqcsp. Elements done before a failing
// one keep their new status.
PyObject* set_status(pycore::Function*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* status = args[1];
    PyObject* list = args[2];
    if (list == Py_None) {
        Ref phases = Ref::steal(PyObject_GetAttr(self, names.phases));
        Ref iterator = phases ? Ref::steal(PyObject_GetIter(phases.get())) : Ref();
        if (!iterator) return nullptr;
        while (Ref phase = Ref::steal(PyIter_Next(iterator.get())))
            if (PyObject_SetAttr(phase.get(), names.status, status) < 0) return nullptr;
        return PyErr_Occurred() ? nullptr : pycore::none();
    }
    Ref iterator = Ref::steal(PyObject_GetIter(list));
    if (!iterator) return nullptr;
    while (Ref element = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref module = global(names.entities);
        Ref phase_class = module ? Ref::steal(PyObject_GetAttr(module.get(), names.phase)) : Ref();
        int is_phase = phase_class ? PyObject_IsInstance(element.get(), phase_class.get()) : -1;
        if (is_phase < 0) return nullptr;
        if (is_phase) {
            if (PyObject_SetAttr(element.get(), names.status, status) < 0) return nullptr;
            continue;
        }
        Ref indexp = listed_phase(self, element.get());
        if (!indexp || !call_method(self, names.tqcsp, indexp.get(), status)) return nullptr;
    }
    return PyErr_Occurred() ? nullptr : pycore::none();
}

Ref status_defaults() {
    return Ref::steal(Py_BuildValue("(O)", Py_None));
}

constexpr Param self_only[] = {{"self"}};
constexpr Param status_params[] = {{"self"}, {"status"}, {"list"}};

constexpr ConvenienceMember members[] = {
    {.name = "set_status",
     .shape = Shape::method,
     .body = set_status,
     .params = status_params,
     .defaults = status_defaults},
    {.name = "components",
     .shape = Shape::property,
     .body = all_entities,
     .params = self_only,
     .text = &Names::number_components,
     .second = &Names::system_component},
    {.name = "phases",
     .shape = Shape::property,
     .body = all_entities,
     .params = self_only,
     .text = &Names::number_phases,
     .second = &Names::phase},
    {.name = "compounds", .shape = Shape::property, .body = compounds, .params = self_only},
    {.name = "solutions", .shape = Shape::property, .body = solutions, .params = self_only},
    {.name = "phases_stable", .shape = Shape::property, .body = phases_stable, .params = self_only},
    {.name = "phases_unstable",
     .shape = Shape::property,
     .body = phases_unstable,
     .params = self_only},
};

}  // namespace

std::span<const ConvenienceMember> collection_members() {
    return members;
}

}  // namespace raw
