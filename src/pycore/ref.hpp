// Owning references to Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
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

// Owned references in an array of fixed capacity, laid out as the vectorcall protocol
// reads arguments: the items follow one free place that a callee may use for its own
// purposes (PY_VECTORCALL_ARGUMENTS_OFFSET).
template <std::size_t Capacity>
class RefArray {
  public:
    RefArray() = default;
    RefArray(const RefArray&) = delete;
    RefArray& operator=(const RefArray&) = delete;
    ~RefArray() {
        for (std::size_t i = 1; i <= size_; ++i) Py_DECREF(items_[i]);
    }

    // Appends `item`. False when it is null (a failed call, whose exception stays set) or
    // when the array is full (SystemError).
    bool push(Ref item) {
        if (!item) return false;
        if (size_ == Capacity) [[unlikely]] {
            PyErr_SetString(PyExc_SystemError, "more references than the array holds");
            return false;
        }
        items_[++size_] = item.release();
        return true;
    }

    std::size_t size() const { return size_; }
    PyObject* operator[](std::size_t i) const { return items_[i + 1]; }

    // callable(*items), with the free place before them offered to the callee.
    Ref call(PyObject* callable, PyObject* kwnames = nullptr) {
        Py_ssize_t positional =
            static_cast<Py_ssize_t>(size_) - (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
        return Ref::steal(PyObject_Vectorcall(
            callable, items_ + 1,
            static_cast<std::size_t>(positional) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    }

  private:
    PyObject* items_[Capacity + 1];  // items_[0] is the free place
    std::size_t size_ = 0;
};

// The exception being raised, taken out of the thread's state so that other code can
// run; restore() raises it again. Dropped unrestored, it is discarded.
class SavedError {
  public:
    SavedError() {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        type_ = Ref::steal(type);
        value_ = Ref::steal(value);
        traceback_ = Ref::steal(traceback);
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

    void restore() { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }
    // Hands the three references over (see internals::chain_exceptions).
    void release(PyObject*& type, PyObject*& value, PyObject*& traceback) {
        type = type_.release();
        value = value_.release();
        traceback = traceback_.release();
    }

  private:
    Ref type_, value_, traceback_;
};

// Keeps an object made at start-up for the rest of the process (constants, names and
// tables that function objects point at, which are never destroyed).
inline PyObject* pin(Ref value) {
    return value.release();
}

// A new reference to None, for returning.
inline PyObject* none() {
    Py_RETURN_NONE;
}

}  // namespace pycore
