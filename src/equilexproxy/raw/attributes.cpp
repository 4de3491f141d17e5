// Attribute reads: what is decided once per class version, and the dictionary reads
// that the memos of attributes.hpp fall back on.
#include "attributes.hpp"

namespace raw::road {

EngineClassFacts engine_facts;
EngineReads engine_reads;

const EngineClassFacts& learn_facts(PyTypeObject* type) {
    EngineClassFacts facts;
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        facts.plain = _PyType_Lookup(type, context.use_eqpy) == nullptr &&
                      _PyType_Lookup(type, context.lib) == nullptr &&
                      _PyType_Lookup(type, context.error_listeners) == nullptr;
        facts.own_check_error =
            _PyType_Lookup(type, context.check_error) == context.own_check_error;
        facts.plain_last_error = type->tp_setattro == PyObject_GenericSetAttr &&
                                 _PyType_Lookup(type, context.last_error) == nullptr;
    }
    if (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) {
        facts.type = type;
        facts.tag = type->tp_version_tag;
    }
    engine_facts = facts;
    return engine_facts;
}

PyObject* remember(RememberedRead& memo, PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr && PyErr_Occurred()) {
        memo = {};
        return nullptr;
    }
    memo = {dict, Ref::borrow(key), version_of(dict), value};
    return value;
}

Ref remembered_global(PyObject* name, RememberedRead& memo) {
    Ref value = Ref::borrow(remembered(memo, context.globals, name));
    if (!value && !PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return value;
}

Ref fetch_export(const Routine& routine, PyObject* lib, PyObject* export_name) {
    // A row that holds no text is refused as getattr refuses it.
    if (!PyUnicode_Check(export_name)) return Ref::steal(PyObject_GetAttr(lib, export_name));
    ExportClassFacts& known = routine.export_class;
    PyTypeObject* type = Py_TYPE(lib);
    if (!(known.type == type && known.name.get() == export_name && version_is(type, known.tag))) {
        PyObject* getattribute = _PyType_Lookup(type, context.getattribute);
        bool plain = getattribute == context.object_getattribute &&
                     _PyType_Lookup(type, export_name) == nullptr;
        known.type = (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type : nullptr;
        known.tag = type->tp_version_tag;
        known.name = Ref::borrow(export_name);
        known.plain = plain;
    }
    return instance_attribute(lib, export_name, known.type == type && known.plain, routine.routine);
}

}  // namespace raw::road
