// What a look-up may remember, and for how long: a fact about a class holds while the
// class keeps its version tag, a fact about a dictionary while it keeps its version.
// Both are unique in the process and change with every change of the class (or a base)
// or of the dictionary, so a remembered answer is exactly the answer a new look-up would
// give, only cheaper.
#pragma once

#include <cstdint>

#include "internals.hpp"

namespace pycore {

// A class as it was when something was decided about it.
class TypeVersion {
  public:
    // Whether `type` is the class seen, unchanged since.
    bool holds(PyTypeObject* type) const {
        return type_ == type && internals::has_version_tag(type) &&
               internals::version_tag(type) == tag_;
    }
    // Remembers `type` as it is now; a class without a valid tag is not remembered.
    void see(PyTypeObject* type) {
        bool valid = internals::has_version_tag(type);
        type_ = valid ? type : nullptr;
        tag_ = valid ? internals::version_tag(type) : 0;
    }
    void forget() { type_ = nullptr; }

  private:
    PyTypeObject* type_ = nullptr;  // compared by identity only
    unsigned int tag_ = 0;
};

// A dictionary as it was when something was learnt from it.
class DictVersion {
  public:
    bool holds(PyObject* dict) const { return version_ == internals::dict_version(dict); }
    void see(PyObject* dict) { version_ = internals::dict_version(dict); }
    void forget() { version_ = 0; }  // no dictionary has version 0

  private:
    std::uint64_t version_ = 0;
};

// dict[key] remembered while the dictionary stays as it was.
class DictRead {
  public:
    // dict[key] (borrowed; null when absent or on error, told apart by PyErr_Occurred),
    // read again only when the dict has changed since. Borrowed: a caller that uses the
    // value while Python code may run holds a Ref of its own.
    PyObject* get(PyObject* dict, PyObject* key) {
        if (holds(dict, key)) return value_;
        return read(dict, key);
    }
    // Whether the remembered read is of dict[key] and the dict unchanged since.
    bool holds(PyObject* dict, PyObject* key) const {
        return dict_ == dict && key_.get() == key && version_.holds(dict);
    }
    // The value remembered (borrowed; null for an absent key); valid when holds().
    PyObject* value() const { return value_; }
    // Reads dict[key] and remembers it; comparing keys may run Python code.
    [[gnu::noinline]] PyObject* read(PyObject* dict, PyObject* key) {
        PyObject* value = PyDict_GetItemWithError(dict, key);
        if (value == nullptr && PyErr_Occurred()) {
            *this = DictRead();
            return nullptr;
        }
        dict_ = dict;
        key_ = Ref::borrow(key);
        version_.see(dict);
        value_ = value;
        return value;
    }

  private:
    PyObject* dict_ = nullptr;  // compared by identity only
    Ref key_;                   // held, so that identity means the same key
    DictVersion version_;
    PyObject* value_ = nullptr;  // borrowed; the unchanged dict still holds it
};

}  // namespace pycore
