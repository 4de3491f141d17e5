// Attribute reads of the road. Every call reads the engine's use_eqpy, lib,
// error_listeners and _check_error, module raw's globals, and the routine from lib, as
// the generic attribute rules would. What those rules ask of the class (is there a
// class attribute of that name, and is it a data descriptor) changes only when the
// class changes, so it is decided once per version of the class (CPython's type
// version tag); the read itself is one look-up in the instance's dictionary, repeated
// only when that dictionary has changed since (its version). Anything unusual takes
// the generic road.
#pragma once

#include "context.hpp"
#include "routine.hpp"

namespace raw::road {

using pycore::DictRead;
using pycore::Ref;

struct EngineClassFacts {
    pycore::TypeVersion seen;
    bool plain = false;             // use_eqpy, lib, error_listeners: no class attributes
    bool own_check_error = false;   // _check_error is EquilexProxy's own function
    bool plain_last_error = false;  // last_error: set in the instance dict, as the generic
                                    // rules set it (no class attribute, no __setattr__)
};
extern EngineClassFacts engine_facts;

// Decides the facts of a class not seen before (or changed since).
const EngineClassFacts& learn_facts(PyTypeObject* type);

inline const EngineClassFacts& facts_of(PyTypeObject* type) {
    if (engine_facts.seen.holds(type)) return engine_facts;
    return learn_facts(type);
}

// The instance dictionary when it is a dict itself, else null.
inline PyObject* instance_dict(PyObject* obj) {
    PyObject** place = pycore::internals::dict_place(obj);
    return place != nullptr && *place != nullptr && PyDict_CheckExact(*place) ? *place : nullptr;
}

// A module global as bound now, or null with NameError.
inline Ref remembered_global(PyObject* name, DictRead& memo) {
    return pycore::global(context.globals, name, memo);
}

// obj.<name> for an object whose class leaves the name to the instance.
inline Ref instance_attribute(PyObject* obj, PyObject* name, bool plain, DictRead& memo) {
    if (plain) {
        if (PyObject* dict = instance_dict(obj)) {
            if (PyObject* value = memo.get(dict, name)) return Ref::borrow(value);
            if (PyErr_Occurred()) return Ref();
        }
    }
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// The engine's instance attributes the road reads, last engine first.
struct EngineReads {
    DictRead use_eqpy, lib, error_listeners, check_error;
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
            return PyDict_SetItem(dict_, names.last_error, number) == 0;
        return PyObject_SetAttr(self_, names.last_error, number) == 0;
    }

    // self.<name>, as the generic attribute rules give it.
    Ref read(PyObject* name, DictRead& memo) {
        if (!current_) look();
        if (plain_ && dict_ != nullptr) {
            if (memo.holds(dict_, name)) return Ref::borrow(memo.value());
            current_ = false;  // comparing odd keys in the dict may run Python code
            if (PyObject* value = memo.read(dict_, name)) return Ref::borrow(value);
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
        DictRead& memo = engine_reads.check_error;
        if (memo.holds(dict_, names.check_error)) return memo.value() == nullptr;
        current_ = false;
        PyObject* shadow = memo.read(dict_, names.check_error);
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
