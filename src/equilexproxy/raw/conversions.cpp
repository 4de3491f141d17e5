// Conversions of the library road (see conversions.hpp).
#include "conversions.hpp"

#include <cstring>
#include <limits>

#include "attributes.hpp"

namespace raw::road {

Ref ascii_bytes(PyObject* text) {
    Ref bytes;
    if (PyUnicode_CheckExact(text)) {
        bytes = Ref::steal(PyUnicode_AsASCIIString(text));
    } else {
        bytes = Ref::steal(PyObject_CallMethod(text, "encode", "s", "ascii"));
        if (bytes && !PyBytes_Check(bytes.get())) {
            PyErr_Format(PyExc_TypeError,
                         "bytes or integer address expected instead of %s instance",
                         Py_TYPE(bytes.get())->tp_name);
            return Ref();
        }
    }
    if (bytes && PyBytes_GET_SIZE(bytes.get()) > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "text too long for the library");
        return Ref();
    }
    return bytes;
}

bool array_length(PyObject* value, std::int32_t& out) {
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "array length must be an int, not %.200s",
                     Py_TYPE(value)->tp_name);
        return false;
    }
    Py_ssize_t n = PyLong_AsSsize_t(value);
    if (n == -1 && PyErr_Occurred()) return false;
    if (n < 0) {
        PyErr_Format(PyExc_ValueError, "Array length must be >= 0, not %zd", n);
        return false;
    }
    if (n > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "array too large for the library");
        return false;
    }
    out = static_cast<std::int32_t>(n);
    return true;
}

namespace {
DictRead buffer_length_read;
}  // namespace

Ref buffer_length_object() {
    return remembered_global(names.string_buffer_length, buffer_length_read);
}

bool buffer_length(std::int32_t& out) {
    Ref value = buffer_length_object();
    return value && array_length(value.get(), out);
}

bool string_buffer_size(PyObject* value, std::int32_t& out) {
    int is_int = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyLong_Type));
    if (is_int < 0) return false;
    if (is_int == 0) {
        Ref refusal = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, value));
        if (refusal) PyErr_SetObject(PyExc_TypeError, refusal.get());
        return false;
    }
    Ref size = Ref::steal(PyNumber_Index(value));
    return size && array_length(size.get(), out);
}

bool component_count(PyObject* self, std::int32_t& out) {
    Ref count = pycore::call_method(self, names.tqnosc);
    if (!count) return false;
    // Taken as `c_double * count` takes it: any integer, numpy's included.
    if (!PyLong_Check(count.get())) {
        if (!PyIndex_Check(count.get())) {
            PyErr_Format(PyExc_TypeError, "can't multiply sequence by non-int of type '%.200s'",
                         Py_TYPE(count.get())->tp_name);
            return false;
        }
        count = Ref::steal(PyNumber_Index(count.get()));
        if (!count) return false;
    }
    return array_length(count.get(), out);
}

namespace {

bool is_py_space(unsigned char c) {
    return c == ' ' || (c >= 9 && c <= 13) || (c >= 0x1c && c <= 0x1f);
}

PyObject* type_mismatch(const char* expected, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(value)->tp_name);
    return nullptr;
}

}  // namespace

PyObject* read_text(const char* at, std::size_t size) {
    const void* nul = std::memchr(at, 0, size);
    std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - at) : size;
    for (std::size_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(at[i]) > 127)  // the codec's own error, with its position
            return PyUnicode_DecodeASCII(at, static_cast<Py_ssize_t>(length), nullptr);
    std::size_t begin = 0;
    std::size_t end = length;
    while (begin < end && is_py_space(static_cast<unsigned char>(at[begin]))) ++begin;
    while (end > begin && is_py_space(static_cast<unsigned char>(at[end - 1]))) --end;
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(end - begin), 127);
    if (text != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(text), at + begin, end - begin);
    return text;
}

PyObject* check_declared(const Routine& routine, PyObject* result) {
    if (result == nullptr || result == Py_None) return result;
    if (routine.declared == Declared::int_ && !PyLong_CheckExact(result)) {
        Ref dropped = Ref::steal(result);
        return type_mismatch("int", result);
    }
    if (routine.declared == Declared::str && !PyUnicode_CheckExact(result)) {
        Ref dropped = Ref::steal(result);
        return type_mismatch("unicode", result);
    }
    return result;
}

}  // namespace raw::road
