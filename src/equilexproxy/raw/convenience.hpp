// The engine's convenience members: one table per area, read by one mechanism
// (convenience.cpp). A member calls the engine's routine methods by attribute at
// call time, and takes the entity classes from module raw's global `entities` at
// call time, so overrides on a subclass or an instance, and a rebound global, are
// honoured.
#pragma once

#include <initializer_list>
#include <span>
#include <string_view>

#include "calls.hpp"
#include "classes.hpp"
#include "names.hpp"

namespace raw {

// The objects the convenience members use besides the interned names, made once per
// process when the class is built.
struct ConvenienceValues {
    PyObject* index_engine = nullptr;  // the keywords ("index", "engine")
    PyObject* no_activity = nullptr;   // 0.0
    PyObject* stable = nullptr;        // 0.9999, the activity from which a phase counts as stable
    // Sort keys: operator.attrgetter("eq_amount"), operator.attrgetter("activity").
    PyObject* by_eq_amount = nullptr;
    PyObject* by_activity = nullptr;
};

extern ConvenienceValues convenience_values;

using pycore::call_method;
using pycore::Names;
using pycore::names;

// What a member's text (option or quantity) is, for the one-line mappings.
using Word = PyObject* Names::*;

enum class Shape { method, property, writable_property };

// One member of the class. `body` is the method or the getter, `setter` the setter
// of a writable property; a body finds its row through Function::data. `text`,
// `second` and `third` are the words a one-line mapping maps onto (an option, a
// quantity, a routine, an entity class), in the order its body uses them.
struct ConvenienceMember {
    const char* name;
    Shape shape;
    pycore::Body body;
    std::span<const pycore::Param> params;
    Word text = nullptr;
    Word second = nullptr;
    Word third = nullptr;
    const char* doc = nullptr;
    pycore::Ref (*defaults)() = nullptr;  // made once, when the class is built
    pycore::Body setter = nullptr;
};

// The tables, one per area.
std::span<const ConvenienceMember> state_members();  // units and results of the last calculation
std::span<const ConvenienceMember> condition_members();    // conditions, amounts, targets, removal
std::span<const ConvenienceMember> lookup_members();       // components, phases, compounds by id
std::span<const ConvenienceMember> calculation_members();  // calculations and the temperature map
std::span<const ConvenienceMember> collection_members();   // statuses and lists of phases

// The member named `name` of any table, or null.
const ConvenienceMember* convenience_member(std::string_view name);

// Adds `member` to the class; false with an exception set.
bool add_convenience_member(pycore::ClassBuilder& builder, const ConvenienceMember& member);

// The row of the member whose body runs.
inline const ConvenienceMember& row(pycore::Function* fn) {
    return *static_cast<const ConvenienceMember*>(fn->data);
}

// A new entity of class `name` of module entities as bound now: by the keywords
// index and engine, or positionally (index, engine).
pycore::Ref make_entity(PyObject* class_name, PyObject* index, PyObject* engine, bool keywords);

// The number of items a range() over `count` yields (anything with __index__).
bool range_length(PyObject* count, Py_ssize_t& length);

// format(value, "").
pycore::Ref plain_text(PyObject* value);

// isinstance(obj, type): 1, 0, or -1 with an exception set. Unlike the C type
// checks it follows __class__, so proxies and mocks with a spec count as their class.
int instance_of(PyObject* obj, PyTypeObject* type);

// a < b, a > b, a == b ... as a truth value: 1, 0, or -1 with an exception set.
int compare(PyObject* a, PyObject* b, int op);

// Raises `type` with `message`, each "{}" in it standing for the plain text of the
// next value (as str.format does); returns null.
PyObject* raise_with(PyObject* type, const char* message, std::initializer_list<PyObject*> values);

}  // namespace raw
