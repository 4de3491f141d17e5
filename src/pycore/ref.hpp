// Owning references to Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace pycore {

// One strong reference, released when the holder goes out of scope. Every new
// reference the layer receives goes into a Ref at once, so error paths need no
// hand-written decrements.
class Ref {
  public:
    Ref() = default;
    Ref(const Ref& other) : obj_(other.obj_) { Py_XINCREF(obj_); }
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    // Inlined everywhere: every path of every call releases references, and the
    // compiler would otherwise make it a call of its own.
    [[gnu::always_inline]] ~Ref() { Py_XDECREF(obj_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }

    // Takes over a new reference (possibly null, as C-API calls return on failure).
    static Ref steal(PyObject* obj) { return Ref(obj); }
    // Adds a reference of its own to a borrowed one.
    static Ref borrow(PyObject* obj) {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject* get() const { return obj_; }
    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() { return std::exchange(obj_, nullptr); }
    explicit operator bool() const { return obj_ != nullptr; }

  private:
    explicit Ref(PyObject* obj) : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// A new reference to None, for returning.
inline PyObject* none() {
    Py_RETURN_NONE;
}

}  // namespace pycore
