// Attribute reads of the road. Every call reads the engine's use_eqpy, lib,
// error_listeners and _check_error, module raw's globals, and the routine from lib, as
// the generic attribute rules would. What those rules ask of the class (is there a
// class attribute of that name, and is it a data descriptor) changes only when the
// class changes, so it is decided once per version of the class (CPython's type
// version tag); the read itself is one look-up in the instance's dictionary, repeated
// only when that dictionary has changed since (its version). Anything unusual takes
// the generic road.
#pragma once

#include <cstdint>

#include "context.hpp"
#include "routine.hpp"

namespace raw::road {

using pycore::Ref;

inline bool version_is(PyTypeObject* type, unsigned int tag) {
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag == tag;
}

struct EngineClassFacts {
    PyTypeObject* type = nullptr;
    unsigned int tag = 0;
    bool plain = false;             // use_eqpy, lib, error_listeners: no class attributes
    bool own_check_error = false;   // _check_error is EquilexProxy's own function
    bool plain_last_error = false;  // last_error: set in the instance dict, as the generic
                                    // rules set it (no class attribute, no __setattr__)
};
extern EngineClassFacts engine_facts;

// Decides the facts of a class not seen before (or changed since).
const EngineClassFacts& learn_facts(PyTypeObject* type);

inline const EngineClassFacts& facts_of(PyTypeObject* type) {
    if (engine_facts.type == type && version_is(type, engine_facts.tag)) return engine_facts;
    return learn_facts(type);
}

inline PyObject* instance_dict(PyObject* obj) {
    PyObject** slot = _PyObject_GetDictPtr(obj);
    return slot != nullptr && *slot != nullptr && PyDict_CheckExact(*slot) ? *slot : nullptr;
}

inline std::uint64_t version_of(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// Reads dict[key] into the memo; see remembered().
PyObject* remember(RememberedRead& memo, PyObject* dict, PyObject* key);

// dict[key] (borrowed; null when absent or on error, told apart by PyErr_Occurred),
// read again only when the dict has changed since the memo was made. Borrowed: a
// caller that uses the value while Python code may run holds a Ref of its own.
inline PyObject* remembered(RememberedRead& memo, PyObject* dict, PyObject* key) {
    if (memo.dict == dict && memo.key.get() == key && memo.version == version_of(dict))
        return memo.value;
    return remember(memo, dict, key);
}

// A module global as bound now, or null with NameError.
Ref remembered_global(PyObject* name, RememberedRead& memo);

// obj.<name> for an object whose class leaves the name to the instance.
inline Ref instance_attribute(PyObject* obj, PyObject* name, bool plain, RememberedRead& memo) {
    if (plain) {
        if (PyObject* dict = instance_dict(obj)) {
            if (PyObject* value = remembered(memo, dict, name)) return Ref::borrow(value);
            if (PyErr_Occurred()) return Ref();
        }
    }
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// The engine's instance attributes the road reads, last engine first.
struct EngineReads {
    RememberedRead use_eqpy, lib, error_listeners, check_error;
};
extern EngineReads engine_reads;

// The engine as the road reads it: what its class leaves to the instance, and its
// instance dict. Both are taken again after anything that may have run Python code
// (which may change the class or replace the dict): a read that was not a remembered
// one, a truth test of an odd object, setting an attribute.
class EngineView {
  public:
    explicit EngineView(PyObject* engine) : self_(engine) { look(); }

    PyObject* self() const { return self_; }
    void python_ran() { current_ = false; }

    // self.last_error = number, as the generic attribute rules set it.
    bool set_last_error(PyObject* number) {
        if (!current_) look();
        current_ = false;  // the value it replaces may run code as it goes
        if (plain_last_error_ && dict_ != nullptr)
            return PyDict_SetItem(dict_, context.last_error, number) == 0;
        return PyObject_SetAttr(self_, context.last_error, number) == 0;
    }

    // self.<name>, as the generic attribute rules give it.
    Ref read(PyObject* name, RememberedRead& memo) {
        if (!current_) look();
        if (plain_ && dict_ != nullptr) {
            if (memo.dict == dict_ && memo.key.get() == name && memo.version == version_of(dict_))
                return Ref::borrow(memo.value);
            current_ = false;  // comparing odd keys in the dict may run Python code
            if (PyObject* value = remember(memo, dict_, name)) return Ref::borrow(value);
            if (PyErr_Occurred()) return Ref();
        }
        current_ = false;
        return Ref::steal(PyObject_GetAttr(self_, name));
    }

    // Whether the engine's _check_error, looked up now, is the class's own (-1: error).
    int has_own_check_error() {
        if (!current_) look();
        if (!own_check_error_) return 0;
        if (dict_ == nullptr) return 1;
        RememberedRead& memo = engine_reads.check_error;
        if (memo.dict == dict_ && memo.key.get() == context.check_error &&
            memo.version == version_of(dict_))
            return memo.value == nullptr;
        current_ = false;
        PyObject* shadow = remember(memo, dict_, context.check_error);
        if (shadow == nullptr && PyErr_Occurred()) return -1;
        return shadow == nullptr;
    }

  private:
    void look() {
        const EngineClassFacts& facts = facts_of(Py_TYPE(self_));
        plain_ = facts.plain;
        own_check_error_ = facts.own_check_error;
        plain_last_error_ = facts.plain_last_error;
        dict_ = plain_ || own_check_error_ || plain_last_error_ ? instance_dict(self_) : nullptr;
        current_ = true;
    }

    PyObject* self_;
    PyObject* dict_ = nullptr;  // borrowed: read only while no Python code has run
    bool plain_ = false;
    bool own_check_error_ = false;
    bool plain_last_error_ = false;
    bool current_ = false;
};

// The truth of use_eqpy; the usual values need no Python code.
inline int truth(PyObject* flag, EngineView& engine) {
    if (flag == Py_False || flag == Py_None) return 0;
    if (flag == Py_True) return 1;
    engine.python_ran();
    return PyObject_IsTrue(flag);
}

// The routine from the library object: what its class leaves to the instance for
// the export name is decided once per class version, then the instance's dict.
Ref fetch_export(const Routine& routine, PyObject* lib, PyObject* export_name);

}  // namespace raw::road
