// Conversions of the library road: Python arguments into holders, and the outputs
// and results back into Python values.
#pragma once

#include <cstdint>

#include "routine.hpp"

namespace raw::road {

using pycore::Ref;

// The holder of an `int in`: the low 32 bits of an integer, as ctypes' c_int takes it.
inline bool to_int32(PyObject* value, std::int32_t& out) {
    unsigned long bits = PyLong_AsUnsignedLongMask(value);
    if (bits == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    out = static_cast<std::int32_t>(static_cast<std::uint32_t>(bits));
    return true;
}

inline bool to_double(PyObject* value, double& out) {
    out = PyFloat_AsDouble(value);
    return !(out == -1.0 && PyErr_Occurred());
}

// A text's ASCII bytes: exact texts take the fast way, anything else its own encode().
Ref ascii_bytes(PyObject* text);

// An array or buffer length as ctypes would accept it for c_char * n / c_double * n.
bool array_length(PyObject* value, std::int32_t& out);

// Module raw's string_buffer_length as bound now (a new reference, or null).
Ref buffer_length_object();

// Module raw's string_buffer_length as bound now, as a buffer length.
bool buffer_length(std::int32_t& out);

// The size of the buffer ctypes.create_string_buffer(value) makes: an instance of int
// (bool included) is the size; anything else is refused with create_string_buffer's own
// TypeError(value), bytes too (it would take them as the buffer's contents, and the
// object passed on as the buffer's length would reach the library as a pointer).
bool string_buffer_size(PyObject* value, std::int32_t& out);

// Stoichiometry arrays hold one value per system component, counted anew by the
// engine's own tqnosc() (a complete routine call, recorded like any other).
bool component_count(PyObject* self, std::int32_t& out);

// A text output: the bytes before the first NUL (all when none), strict ASCII,
// stripped of surrounding white space.
PyObject* read_text(const char* at, std::size_t size);

// Methods declared to return an int or a text test what they are about to return
// (a new reference, or null); passes null through.
PyObject* check_declared(const Routine& routine, PyObject* result);

}  // namespace raw::road
