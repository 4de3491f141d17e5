// Small helpers for the members written in C++: attribute reads, texts and numbers
// whose results are owned at once; calls are pycore's.
#pragma once

#include "calls.hpp"

namespace entities {

inline pycore::Ref attr(PyObject* owner, const char* name) {
    return pycore::Ref::steal(PyObject_GetAttrString(owner, name));
}

using pycore::call;
using pycore::call_method;

inline pycore::Ref make_str(const char* value) {
    return pycore::Ref::steal(PyUnicode_FromString(value));
}

inline pycore::Ref integer(long value) {
    return pycore::Ref::steal(PyLong_FromLong(value));
}

// format(value, ""): what an f-string field without a specification gives.
inline pycore::Ref formatted(PyObject* value) {
    pycore::Ref empty = make_str("");
    return empty ? pycore::Ref::steal(PyObject_Format(value, empty.get())) : empty;
}

// `left == right` tested for truth: 1, 0, or -1 with an exception set.
inline int equal(PyObject* left, PyObject* right) {
    pycore::Ref result = pycore::Ref::steal(PyObject_RichCompare(left, right, Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

}  // namespace entities
