#include "function.hpp"

#include <structmember.h>

#include <cstdint>
#include <string>

namespace pycore {
namespace {

const char* c_name(Function* fn) {
    const char* name = PyUnicode_AsUTF8(fn->name);
    if (name == nullptr) {
        PyErr_Clear();
        return "?";
    }
    return name;
}

// "takes exactly/at least/at most N positional argument(s) (M given)".
PyObject* raise_count(Function* fn, Py_ssize_t num_min, Py_ssize_t num_max, Py_ssize_t found) {
    Py_ssize_t expected = found < num_min ? num_min : num_max;
    const char* more_or_less = found < num_min ? "at least" : "at most";
    if (num_min == num_max) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 c_name(fn), more_or_less, expected, expected == 1 ? "" : "s", found);
    return nullptr;
}

bool same_name(PyObject* key, const char* name) {
    return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0;
}

// Position of the keyword for parameter `name` in `kwnames`, or -1.
Py_ssize_t find_keyword(PyObject* kwnames, const char* name) {
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < count; ++j)
        if (same_name(PyTuple_GET_ITEM(kwnames, j), name)) return j;
    return -1;
}

// Some keyword was not taken by a parameter after the positional ones: report the
// first keyword, in call order, that is not a text, names a parameter already
// given by position, or names none.
bool refuse_keywords(Function* fn, PyObject* kwnames, Py_ssize_t nargs) {
    const Signature& sig = fn->signature;
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(kwnames); ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", c_name(fn));
            return false;
        }
        Py_ssize_t match = -1;
        for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(sig.params.size()); ++i)
            if (same_name(key, sig.params[i].name)) match = i;
        if (match >= nargs) continue;
        if (match >= 0)
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         c_name(fn), key);
        else
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         c_name(fn), key);
        return false;
    }
    return true;
}

// The body under the interpreter's recursion limit, as CPython's own C functions run:
// a call that comes back to itself through C code alone ends in RecursionError, not in
// an exhausted C stack.
PyObject* run_body(Function* fn, PyObject* const* args) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = fn->body(fn, args);
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* fn = reinterpret_cast<Function*>(callable);
    const Signature& sig = fn->signature;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (sig.no_args) {
        if (nkw > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", c_name(fn));
            return nullptr;
        }
        if (nargs > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", c_name(fn),
                         nargs);
            return nullptr;
        }
        return run_body(fn, args);
    }

    const auto nparams = static_cast<Py_ssize_t>(sig.params.size());
    // The common call: every parameter by position, none needing a conversion.
    if (nkw == 0 && nargs == nparams && !fn->needs_conversion) {
        for (Py_ssize_t i = 0; i < nparams; ++i) {
            Kind kind = sig.params[i].kind;
            if (kind == Kind::int_ && !PyLong_CheckExact(args[i]))
                return raise_incorrect_type(sig.params[i].name, "int", args[i]);
            if (kind == Kind::str && !PyUnicode_CheckExact(args[i]))
                return raise_incorrect_type(sig.params[i].name, "str", args[i]);
        }
        return run_body(fn, args);
    }
    const Py_ssize_t ndefaults = PyTuple_Check(fn->defaults) ? PyTuple_GET_SIZE(fn->defaults) : 0;
    const Py_ssize_t num_min = nparams - ndefaults;

    if (nargs > nparams) return raise_count(fn, num_min, nparams, nargs);

    PyObject* values[max_params];
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];

    if (nkw == 0) {
        if (nargs < num_min) return raise_count(fn, num_min, nparams, nargs);
        for (Py_ssize_t i = nargs; i < nparams; ++i)
            values[i] = PyTuple_GET_ITEM(fn->defaults, i - num_min);
    } else {
        Py_ssize_t used = 0;
        for (Py_ssize_t i = nargs; i < nparams; ++i) {
            Py_ssize_t j = find_keyword(kwnames, sig.params[i].name);
            if (j >= 0) {
                values[i] = args[nargs + j];
                ++used;
            } else if (i < num_min) {
                return raise_count(fn, num_min, nparams, i);
            } else {
                values[i] = PyTuple_GET_ITEM(fn->defaults, i - num_min);
            }
        }
        if (used < nkw && !refuse_keywords(fn, kwnames, nargs)) return nullptr;
    }

    // Conversions first, then the exact-type tests in parameter order.
    Ref converted[max_params];
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        if (sig.params[i].kind != Kind::real || PyFloat_CheckExact(values[i])) continue;
        double value = PyFloat_AsDouble(values[i]);
        if (value == -1.0 && PyErr_Occurred()) return nullptr;
        converted[i] = Ref::steal(PyFloat_FromDouble(value));
        if (!converted[i]) return nullptr;
        values[i] = converted[i].get();
    }
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        const Param& param = sig.params[i];
        if (param.kind == Kind::int_ && !PyLong_CheckExact(values[i]))
            return raise_incorrect_type(param.name, "int", values[i]);
        if (param.kind == Kind::str && !PyUnicode_CheckExact(values[i]))
            return raise_incorrect_type(param.name, "str", values[i]);
    }
    return run_body(fn, values);
}

PyObject* descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* repr(PyObject* self) {
    auto* fn = reinterpret_cast<Function*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", fn->qualname, self);
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    auto* fn = reinterpret_cast<Function*>(self);
    Py_VISIT(fn->dict);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->module);
    Py_VISIT(fn->name);  // a str subclass may lead back here
    Py_VISIT(fn->qualname);
    return 0;
}

// The names are never cleared: readers count on a text being there.
int clear(PyObject* self) {
    auto* fn = reinterpret_cast<Function*>(self);
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->module);
    return 0;
}

void dealloc(PyObject* self) {
    auto* fn = reinterpret_cast<Function*>(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    PyObject_GC_Del(self);
}

// Lets inspect.signature() describe the function like a builtin.
PyObject* text_signature(PyObject* self, void*) {
    auto* fn = reinterpret_cast<Function*>(self);
    const Signature& sig = fn->signature;
    const auto nparams = static_cast<Py_ssize_t>(sig.params.size());
    const Py_ssize_t ndefaults = PyTuple_Check(fn->defaults) ? PyTuple_GET_SIZE(fn->defaults) : 0;
    std::string text = "(";
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        if (i > 0) text += ", ";
        text += sig.params[i].name;
        if (i >= nparams - ndefaults) {
            Ref shown = Ref::steal(
                PyObject_Repr(PyTuple_GET_ITEM(fn->defaults, i - (nparams - ndefaults))));
            if (!shown) return nullptr;
            const char* utf8 = PyUnicode_AsUTF8(shown.get());
            if (utf8 == nullptr) return nullptr;
            text += "=";
            text += utf8;
        }
    }
    text += ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// __name__ and __qualname__ hold a text at every moment, as a Python function's do:
// the argument-error texts and repr() read them.
PyObject* get_text(PyObject* self, void* offset) {
    auto* slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) +
                                              reinterpret_cast<std::uintptr_t>(offset));
    return Py_NewRef(*slot);
}

int set_text(PyObject* self, PyObject* value, void* offset) {
    const auto at = reinterpret_cast<std::uintptr_t>(offset);
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object",
                     at == offsetof(Function, name) ? "__name__" : "__qualname__");
        return -1;
    }
    auto* slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + at);
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

void* offset_of(std::size_t offset) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(offset));
}

PyMemberDef members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__defaults__", T_OBJECT, offsetof(Function, defaults), READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(Function, annotations), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"__name__", get_text, set_text, nullptr, offset_of(offsetof(Function, name))},
    {"__qualname__", get_text, set_text, nullptr, offset_of(offsetof(Function, qualname))},
    {"__text_signature__", text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The C-API's type layout has far more slots than any one type fills.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject function_type = [] {
    PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = "equilexproxy.function";
    type.tp_basicsize = sizeof(Function);
    type.tp_dealloc = dealloc;
    type.tp_vectorcall_offset = offsetof(Function, vectorcall);
    type.tp_repr = repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_getattro = PyObject_GenericGetAttr;
    type.tp_setattro = PyObject_GenericSetAttr;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                    Py_TPFLAGS_METHOD_DESCRIPTOR;
    type.tp_traverse = traverse;
    type.tp_clear = clear;
    type.tp_members = members;
    type.tp_getset = getset;
    type.tp_descr_get = descr_get;
    type.tp_dictoffset = offsetof(Function, dict);
    return type;
}();
#pragma GCC diagnostic pop

}  // namespace

bool ready_function_type() {
    return PyType_Ready(&function_type) == 0;
}

Ref make_function(const FunctionDef& definition, PyObject* module_name) {
    Ref obj = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(Function, &function_type)));
    if (!obj) return obj;
    auto* fn = reinterpret_cast<Function*>(obj.get());
    fn->vectorcall = vectorcall;
    fn->name = PyUnicode_InternFromString(definition.name);
    fn->qualname =
        PyUnicode_FromString(definition.qualname ? definition.qualname : definition.name);
    fn->module = Py_NewRef(module_name);
    fn->doc = definition.doc ? PyUnicode_FromString(definition.doc) : Py_NewRef(Py_None);
    fn->defaults = Py_NewRef(definition.defaults ? definition.defaults : Py_None);
    fn->annotations = definition.annotations ? Py_NewRef(definition.annotations) : PyDict_New();
    fn->dict = nullptr;
    fn->signature = definition.signature;
    fn->body = definition.body;
    fn->data = definition.data;
    fn->needs_conversion = false;
    for (const Param& param : definition.signature.params)
        if (param.kind == Kind::real) fn->needs_conversion = true;
    PyObject_GC_Track(obj.get());
    if (!fn->name || !fn->qualname || !fn->doc || !fn->annotations) return Ref();
    return obj;
}

PyObject* raise_incorrect_type(const char* param, const char* expected, PyObject* value) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected, Py_TYPE(value)->tp_name);
    return nullptr;
}

}  // namespace pycore
