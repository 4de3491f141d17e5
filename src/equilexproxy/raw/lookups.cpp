// Components and phases by index or name as entity objects, the constituent of a
// compound, and whether a phase is a compound. Nothing named gives None here,
// where the setters of conditions raise.
#include "convenience.hpp"

namespace raw {
namespace {

using pycore::Param;
using pycore::Ref;

// get_component / get_phase: an instance of int (bool too) is the index, an
// instance of str (subclasses too; the routine's own check refuses them) is looked
// up by name; instance tests as isinstance makes them. The count is
// asked only for an index of at least 1, and asked afresh every time.
// Row: the name look-up, the count, the entity class.
PyObject* get_entity(pycore::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* id = args[1];
    const ConvenienceMember& member = row(fn);
    Ref index;
    int is_int = instance_of(id, &PyLong_Type);
    int is_str = is_int == 0 ? instance_of(id, &PyUnicode_Type) : 0;
    if (is_int < 0 || is_str < 0) return nullptr;
    if (is_int) {
        index = Ref::borrow(id);
    } else if (is_str) {
        index = call_method(self, names.*member.text, id);
        if (!index) return nullptr;
    } else {
        return raise_with(PyExc_ValueError, "{} is not a suitable type", {id});
    }
    int none = compare(index.get(), names.one, Py_LT);
    if (none < 0) return nullptr;
    if (none) return pycore::none();
    Ref count = call_method(self, names.*member.second);
    none = compare(index.get(), count.get(), Py_GT);
    if (none < 0) return nullptr;
    if (none) return pycore::none();
    return make_entity(names.*member.third, index.get(), self, true).release();
}

// The phase index of a name, and whether tqinp named nothing (below 1).
Ref phase_index(PyObject* self, PyObject* name, int& unknown) {
    Ref indexp = call_method(self, names.tqinp, name);
    unknown = compare(indexp.get(), names.one, Py_LT);
    return indexp;
}

// tqmodl(indexp) == "PURE", the comparison's own result.
Ref is_pure(PyObject* self, PyObject* indexp) {
    Ref model = call_method(self, names.tqmodl, indexp);
    return model ? Ref::steal(PyObject_RichCompare(model.get(), names.pure, Py_EQ)) : Ref();
}

// Constituent 1 of a compound phase, through this engine's own get_phase.
PyObject* get_compound(pycore::Function*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* name = args[1];
    if (name == Py_None) return pycore::none();
    int unknown = 0;
    Ref indexp = phase_index(self, name, unknown);
    if (unknown < 0) return nullptr;
    if (unknown) return pycore::none();
    Ref pure = is_pure(self, indexp.get());
    int compound = pure ? PyObject_IsTrue(pure.get()) : -1;
    if (compound < 0) return nullptr;
    if (!compound) return pycore::none();
    Ref phase = call_method(self, names.get_phase, indexp.get());
    return phase ? call_method(phase.get(), names.get_constituent, names.one).release() : nullptr;
}

PyObject* is_compound(pycore::Function*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* name = args[1];
    if (name == Py_None) {
        PyErr_SetString(PyExc_Exception, "Phase name cannot be None.");
        return nullptr;
    }
    int unknown = 0;
    Ref indexp = phase_index(self, name, unknown);
    if (unknown < 0) return nullptr;
    if (unknown) return raise_with(PyExc_Exception, "Phase {} does not exist.", {name});
    return is_pure(self, indexp.get()).release();
}

constexpr Param id_params[] = {{"self"}, {"id"}};
constexpr Param name_params[] = {{"self"}, {"name"}};

// The class takes members by name, in its own order: get_compound and is_compound
// come after the collections there.
constexpr ConvenienceMember lookup_table[] = {
    {.name = "get_component",
     .shape = Shape::method,
     .body = get_entity,
     .params = id_params,
     .text = &Names::tqinsc,
     .second = &Names::tqnosc,
     .third = &Names::system_component,
     .doc = "returns a SystemComponent object with a corresponding index"},
    {.name = "get_phase",
     .shape = Shape::method,
     .body = get_entity,
     .params = id_params,
     .text = &Names::tqinp,
     .second = &Names::tqnop,
     .third = &Names::phase,
     .doc = "returns a Phase object with a corresponding id, can be index or name"},
    {.name = "get_compound", .shape = Shape::method, .body = get_compound, .params = name_params},
    {.name = "is_compound", .shape = Shape::method, .body = is_compound, .params = name_params},
};

}  // namespace

std::span<const ConvenienceMember> lookup_members() {
    return lookup_table;
}

}  // namespace raw
