// Functions implemented in C++ that behave like Python functions: they bind as
// methods, carry the usual dunder attributes, and parse their arguments with the
// system's own TypeError texts.
#pragma once

#include <cstdint>
#include <span>

#include "ref.hpp"

namespace pycore {

// How a parameter is checked on entry.
enum class Kind : std::uint8_t {
    any,   // not tested; a wrong value fails where it is used
    int_,  // exactly int: bool, None and subclasses refused
    str,   // exactly str: None and subclasses refused
    real,  // anything float() accepts, converted to a float first
};

struct Param {
    const char* name;
    Kind kind = Kind::any;
};

// Upper bound on the parameters of any function of the system (self included).
inline constexpr int max_params = 16;

struct Function;

// The C++ body of a function. `args` holds one borrowed object per parameter, in
// parameter order, defaults filled in and `real` parameters already converted.
using Body = PyObject* (*)(Function* fn, PyObject* const* args);

struct Signature {
    std::span<const Param> params;  // self included for methods
    bool no_args = false;           // takes nothing at all (not even self)
};

struct FunctionDef {
    const char* name;
    const char* qualname;  // null: same as name
    const char* doc;       // null: no docstring
    Signature signature;
    Body body;
    const void* data = nullptr;       // handed to the body through Function::data
    PyObject* defaults = nullptr;     // borrowed tuple for the trailing parameters, or null
    PyObject* annotations = nullptr;  // borrowed dict, or null for an empty one
};

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;  // tuple or None
    PyObject* annotations;
    PyObject* dict;
    Signature signature;
    Body body;
    const void* data;
    bool needs_conversion;  // some parameter is converted to float first
};

// Readies the function type; once per module start-up.
bool ready_function_type();

// A new function object, or null with an exception set.
Ref make_function(const FunctionDef& definition, PyObject* module_name);

// The interpreter's own messages for argument checks that other code shares.
PyObject* raise_incorrect_type(const char* param, const char* expected, PyObject* value);

}  // namespace pycore
