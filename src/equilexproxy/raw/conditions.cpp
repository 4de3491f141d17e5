// Conditions set in one call each (global conditions, incoming amounts, phase
// targets) and their removal. Every setter ends in one tqsetc call and returns the
// condition number it gives.
#include "convenience.hpp"

namespace raw {
namespace {

using pycore::Kind;
using pycore::Param;
using pycore::Ref;

// tqsetc(option, 0, 0, value) with the value already a float.
PyObject* set_global(pycore::Function* fn, PyObject* const* args) {
    return call_method(args[0], names.tqsetc, names.*row(fn).text, names.zero, names.zero, args[1])
        .release();
}

// The index an identifier stands for. The types are tested exactly: an int is the
// index itself, a str is looked up by name with `routine` (after `indexp` for a
// constituent; a result below 1 names nothing and raises `unknown` shown with
// `shown`), and anything else, bool and subclasses included, is refused.
Ref resolve(PyObject* self, PyObject* id, Word routine, const char* unknown,
            std::initializer_list<PyObject*> shown, PyObject* indexp = nullptr) {
    if (PyLong_CheckExact(id)) return Ref::borrow(id);
    if (!PyUnicode_CheckExact(id)) {
        raise_with(PyExc_ValueError, "{} is not a suitable type", {id});
        return Ref();
    }
    Ref index = indexp ? call_method(self, names.*routine, indexp, id)
                       : call_method(self, names.*routine, id);
    int named = compare(index.get(), names.one, Py_LT);
    if (named < 0) return Ref();
    if (named) {
        raise_with(PyExc_Exception, unknown, shown);
        return Ref();
    }
    return index;
}

Ref resolve_phase(PyObject* self, PyObject* phase_id) {
    return resolve(self, phase_id, &Names::tqinp, "No phase named {}", {phase_id});
}

PyObject* set_amount_syscomp(pycore::Function*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref index = resolve(self, args[1], &Names::tqinsc, "No system component named {}", {args[1]});
    if (!index) return nullptr;
    return call_method(self, names.tqsetc, names.ia, names.zero, index.get(), args[2]).release();
}

PyObject* set_amount_const(pycore::Function*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* phase_id = args[1];
    PyObject* const_id = args[2];
    Ref indexp = resolve_phase(self, phase_id);
    Ref index = indexp
                    ? resolve(self, const_id, &Names::tqinpc, "No constituent named {} in phase {}",
                              {const_id, phase_id}, indexp.get())
                    : Ref();
    if (!index) return nullptr;
    return call_method(self, names.tqsetc, names.ia, indexp.get(), index.get(), args[3]).release();
}

// The value goes to tqsetc unchanged; tqsetc converts it.
PyObject* set_phase_target(pycore::Function*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref indexp = resolve_phase(self, args[1]);
    if (!indexp) return nullptr;
    return call_method(self, names.tqsetc, names.a, indexp.get(), names.zero, args[2]).release();
}

PyObject* remove_condition(pycore::Function*, PyObject* const* args) {
    return call_method(args[0], names.tqremc, args[1]).release();
}

PyObject* remove_amounts(pycore::Function*, PyObject* const* args) {
    if (!call_method(args[0], names.tqremc, names.zero)) return nullptr;
    return pycore::none();
}

// The one operation that resets last_error: before the removal, so an error that
// the removal itself reports stays recorded.
PyObject* remove_all(pycore::Function*, PyObject* const* args) {
    if (PyObject_SetAttr(args[0], names.last_error, names.zero) < 0 ||
        !call_method(args[0], names.tqremc, names.minus_one))
        return nullptr;
    return pycore::none();
}

Ref phase_target_defaults() {
    return Ref::steal(Py_BuildValue("(d)", 0.0));
}

constexpr Param self_only[] = {{"self"}};
constexpr Param global_params[] = {{"self"}, {"value", Kind::real}};
constexpr Param syscomp_params[] = {{"self"}, {"id"}, {"amount", Kind::real}};
constexpr Param const_params[] = {{"self"}, {"phase_id"}, {"const_id"}, {"amount", Kind::real}};
constexpr Param target_params[] = {{"self"}, {"phase_id"}, {"value"}};
constexpr Param numcon_params[] = {{"self"}, {"numcon", Kind::int_}};

constexpr ConvenienceMember members[] = {
    {.name = "set_global_T",
     .shape = Shape::method,
     .body = set_global,
     .params = global_params,
     .text = &Names::t},
    {.name = "set_global_P",
     .shape = Shape::method,
     .body = set_global,
     .params = global_params,
     .text = &Names::p},
    {.name = "set_global_VT",
     .shape = Shape::method,
     .body = set_global,
     .params = global_params,
     .text = &Names::vt},
    {.name = "set_global_CP",
     .shape = Shape::method,
     .body = set_global,
     .params = global_params,
     .text = &Names::cp},
    {.name = "set_global_H",
     .shape = Shape::method,
     .body = set_global,
     .params = global_params,
     .text = &Names::h},
    {.name = "set_global_S",
     .shape = Shape::method,
     .body = set_global,
     .params = global_params,
     .text = &Names::s},
    {.name = "set_global_G",
     .shape = Shape::method,
     .body = set_global,
     .params = global_params,
     .text = &Names::g},
    {.name = "set_amount_syscomp",
     .shape = Shape::method,
     .body = set_amount_syscomp,
     .params = syscomp_params},
    {.name = "set_amount_const",
     .shape = Shape::method,
     .body = set_amount_const,
     .params = const_params},
    {.name = "set_phase_target",
     .shape = Shape::method,
     .body = set_phase_target,
     .params = target_params,
     .defaults = phase_target_defaults},
    {.name = "remove_condition",
     .shape = Shape::method,
     .body = remove_condition,
     .params = numcon_params,
     .doc = "removes a condition, equivalent to `equilex.raw.Equilex.tqremc`; uses a condition "
            "number returned by `equilex.raw.Equilex.tqsetc` and derived functions"},
    {.name = "remove_amounts",
     .shape = Shape::method,
     .body = remove_amounts,
     .params = self_only,
     .doc = "removes all input amounts but units and other input conditions are untouched"},
    {.name = "remove_all",
     .shape = Shape::method,
     .body = remove_all,
     .params = self_only,
     .doc = "removes all input conditions and sets the default units"},
};

}  // namespace

std::span<const ConvenienceMember> condition_members() {
    return members;
}

}  // namespace raw
