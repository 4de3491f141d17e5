// The library's message languages: the enumeration and the engine's descriptor.
#include <array>

#include "classes.hpp"
#include "context.hpp"
#include "members.hpp"

namespace entities {

using pycore::Ref;

namespace {

// engine.language = value: a member, an exact int code, or a member name in any
// case. tqcio is fetched first in each accepted branch, so an engine without it
// fails even for a name that names no member; a value of another class reaches
// nothing.
PyObject* language_desc_set(pycore::Function*, PyObject* const* args) {
    PyObject* instance = args[1];
    PyObject* value = args[2];
    Ref language = global("Language");
    if (!language) return nullptr;
    Ref tqcio;
    Ref code;
    if (reinterpret_cast<PyObject*>(Py_TYPE(value)) == language.get()) {
        tqcio = Ref::steal(PyObject_GetAttrString(instance, "tqcio"));
        if (!tqcio) return nullptr;
        code = Ref::steal(PyObject_GetAttrString(value, "value"));
    } else if (PyLong_CheckExact(value)) {
        tqcio = Ref::steal(PyObject_GetAttrString(instance, "tqcio"));
        if (!tqcio) return nullptr;
        code = Ref::borrow(value);
    } else if (PyUnicode_CheckExact(value)) {
        tqcio = Ref::steal(PyObject_GetAttrString(instance, "tqcio"));
        if (!tqcio) return nullptr;
        Ref upper = Ref::steal(PyObject_CallMethod(value, "upper", nullptr));
        Ref member = upper ? Ref::steal(PyObject_GetItem(language.get(), upper.get())) : Ref();
        if (!member) return nullptr;
        code = Ref::steal(PyObject_GetAttrString(member.get(), "value"));
    } else {
        PyErr_SetString(PyExc_ValueError,
                        "value must be a language code, language name or a member of Language "
                        "enumeration");
        return nullptr;
    }
    if (!code) return nullptr;
    Ref option = Ref::steal(PyUnicode_FromString("LANGUAGE"));
    if (!option) return nullptr;
    PyObject* call_args[] = {option.get(), code.get()};
    Ref result = Ref::steal(PyObject_Vectorcall(tqcio.get(), call_args, 2, nullptr));
    return result ? pycore::none() : nullptr;
}

constexpr MemberRow language_desc_members[] = {
    {"__init__", MemberKind::init, ""},
    {"__get__(instance, owner)", MemberKind::method, "Language(instance.tqgio('LANGUAGE')).name"},
    native("__set__(instance, value)", MemberKind::method, language_desc_set),
};

}  // namespace

bool make_language(PyObject* module) {
    Ref base = global("Enum");
    Ref bases = base ? Ref::steal(PyTuple_Pack(1, base.get())) : Ref();
    if (!bases) return false;
    // The enumeration's metaclass prepares the namespace and makes the class.
    pycore::ClassBuilder builder("Language", module_name(), bases.get());
    static constexpr std::array<const char*, 5> names{"ENGLISH", "GERMAN", "FRENCH", "SWEDISH",
                                                      "FINNISH"};
    for (long code = 1; const char* name : names)
        if (!builder.add(name, Ref::steal(PyLong_FromLong(code++)))) return false;
    return pycore::bind(module, "Language", builder.make());
}

bool make_language_desc(PyObject* module) {
    return make_class(module, {"LanguageDesc", nullptr, nullptr, nullptr, language_desc_members});
}

}  // namespace entities
