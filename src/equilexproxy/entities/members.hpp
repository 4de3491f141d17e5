// Entity classes as tables: one row per member, in class order, read by one small
// mechanism that makes the class the way a class statement does.
#pragma once

#include <cstdint>
#include <span>

#include "function.hpp"

namespace entities {

enum class MemberKind : std::uint8_t {
    property,  // read-only property: `get`
    settable,  // property with a setter: `get`, then `set` through property.setter
    method,    // `get` is the result; `name` is the signature
    action,    // a method whose `get` is made for its effect: it returns None
    init,      // __init__: `name` is the signature, `get` the attributes stored in order
    text,      // a method without parameters returning the template `get`
};

// One member. Texts are expressions of expression.hpp, read with the class's
// symbols; `value` is the setter's parameter.
//
// - property/settable: the getter returns `get` with the subscripts `pick` applied.
//   A `fallback` "condition -> value" is tested between the call and the pick, with
//   the call's result bound to D: when the condition holds, the getter returns the
//   value instead. With `each`, the setter makes its call for k = 0, 1, ... below
//   min(len(value), each).
// - init: `get` lists the attributes in the order stored: "engine, index" stores the
//   parameters of those names, "type = 'G'" a constant.
// - text: `get` is a template; "{expression}" or "{expression:spec}" fields are
//   formatted with format(value, spec) and read from left to right.
// - native: a hand-written body in place of `get` (property getter or method).
struct MemberRow {
    const char* name;  // method and init: the signature, e.g. "get_parameter_gex(indexx, iexpr=1)"
    MemberKind kind;
    const char* get = nullptr;
    const char* pick = "";
    const char* set = nullptr;
    const char* fallback = "";
    int each = 0;
    const char* doc = nullptr;
    pycore::Body native = nullptr;
};

// A member with a docstring.
constexpr MemberRow documented(const char* doc, MemberRow member) {
    member.doc = doc;
    return member;
}

// A member whose body is written in C++.
constexpr MemberRow native(const char* signature, MemberKind kind, pycore::Body body) {
    MemberRow member{signature, kind};
    member.native = body;
    return member;
}

struct ClassTable {
    const char* name;
    const char* base;     // a module global read when the class is made, or null
    const char* doc;      // null: no docstring
    const char* symbols;  // shorthands for owner chains: "E = parent.engine, P = parent.index"
    std::span<const MemberRow> members;
};

// Makes the class of `table` and binds it in `module`; false with an exception set.
bool make_class(PyObject* module, const ClassTable& table);

}  // namespace entities
