// EquilexProxy's own members: construction and destruction, the log-file name,
// error recording, and the properties over routine methods.
#include "engine.hpp"

#include <array>
#include <string>

#include "context.hpp"
#include "road.hpp"

namespace raw {
namespace {

using pycore::call_method;
using pycore::Kind;
using pycore::Names;
using pycore::Param;
using pycore::Ref;

bool set(PyObject* self, PyObject* name, PyObject* value) {
    return value != nullptr && PyObject_SetAttr(self, name, value) == 0;
}

// ---------------------------------------------------------------------------
// Construction and destruction.

PyObject* find_or_raise(PyObject* libname) {
    Ref finder = global(names.find_library);
    if (!finder) return nullptr;
    Ref path = Ref::steal(PyObject_CallOneArg(finder.get(), libname));
    if (!path) return nullptr;
    if (path.get() == Py_None) {
        PyErr_Format(PyExc_Exception,
                     "%U cannot be found. Make sure its directory is included into PATH "
                     "environment variable",
                     libname);
        return nullptr;
    }
    return path.release();
}

// The library object the platform's loader gives for `path`. "(O)": the path is the one
// argument whatever it is (a bare "O" would spread a tuple over the arguments).
PyObject* load(PyObject* path) {
    Ref ctypes = global(names.ctypes);
    if (!ctypes) return nullptr;
#ifdef _WIN32
    Ref windll = Ref::steal(PyObject_GetAttrString(ctypes.get(), "windll"));
    if (!windll) return nullptr;
    return PyObject_CallMethod(windll.get(), "LoadLibrary", "(O)", path);
#else
    return PyObject_CallMethod(ctypes.get(), "CDLL", "(O)", path);
#endif
}

PyObject* engine_init(pycore::Function*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* libname = args[1];
    PyObject* logfile = args[2];
    PyObject* use_eqpy = args[3];

    Ref found = Ref::steal(find_or_raise(libname));
    if (!found) return nullptr;
    int basic = PyObject_IsTrue(use_eqpy);
    if (basic < 0) return nullptr;
    if (basic) {
        if (!set(self, names.lib, Py_None)) return nullptr;
    } else {
        // Resolved a second time for the loader; a name that has vanished since is
        // refused like one never found (the loader would open the program itself).
        Ref path = Ref::steal(find_or_raise(libname));
        if (!path) return nullptr;
        Ref lib = Ref::steal(load(path.get()));
        if (!lib || !set(self, names.lib, lib.get())) return nullptr;
    }
    if (!set(self, names.use_eqpy, use_eqpy)) return nullptr;

    Ref shown = Ref::steal(PyObject_Format(use_eqpy, nullptr));
    if (!shown) return nullptr;
    Ref line = Ref::steal(PyUnicode_FromFormat("use_eqpy = %U", shown.get()));
    if (!line) return nullptr;
    Ref print = global_or_builtin(names.print);
    if (!print || !Ref::steal(PyObject_CallOneArg(print.get(), line.get()))) return nullptr;

    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref listeners = Ref::steal(PyList_New(0));
    if (!set(self, names.last_error, zero.get()) ||
        !set(self, names.error_listeners, listeners.get()) || !set(self, names.logfile, logfile))
        return nullptr;

    if (logfile != Py_None) {
        if (!call_method(self, names.tqini)) return nullptr;
        Ref name = call_method(self, names.generate_free_name, logfile);
        if (!name || !set(self, names.logfile, name.get())) return nullptr;
        Ref unit = Ref::steal(PyLong_FromLong(6));
        if (!unit || !call_method(self, names.tqopna, name.get(), unit.get())) return nullptr;
    }
    return pycore::none();
}

// Unit 6 is closed whether or not a log file was opened there.
PyObject* engine_del(pycore::Function*, PyObject* const* args) {
    Ref unit = Ref::steal(PyLong_FromLong(6));
    if (!unit || !call_method(args[0], names.tqclos, unit.get())) return nullptr;
    return pycore::none();
}

// The first of basename, stem(1)ext ... stem(99)ext that opens for writing; the
// file is left behind, empty.
PyObject* generate_free_name(pycore::Function*, PyObject* const* args) {
    Ref os = global(names.os);
    if (!os) return nullptr;
    Ref path_module = Ref::steal(PyObject_GetAttrString(os.get(), "path"));
    if (!path_module) return nullptr;
    // os.path.splitext(basename): a tuple is refused there, not spread over the arguments.
    Ref parts = Ref::steal(PyObject_CallMethod(path_module.get(), "splitext", "(O)", args[1]));
    if (!parts) return nullptr;
    // Candidates are texts: the parts of a bytes name are read back as the text that
    // names the same file.
    auto as_text = [](Ref part) {
        if (!part || !PyBytes_Check(part.get())) return part;
        return Ref::steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(part.get()),
                                                           PyBytes_GET_SIZE(part.get())));
    };
    Ref stem = as_text(Ref::steal(PySequence_GetItem(parts.get(), 0)));
    Ref extension = stem ? as_text(Ref::steal(PySequence_GetItem(parts.get(), 1))) : Ref();
    if (!extension) return nullptr;
    for (int k = 0; k < 100; ++k) {
        Ref candidate =
            Ref::steal(k == 0 ? PyUnicode_FromFormat("%S%S", stem.get(), extension.get())
                              : PyUnicode_FromFormat("%S(%d)%S", stem.get(), k, extension.get()));
        if (!candidate) return nullptr;
        // Looked up for each candidate, as the name `open` in a loop is.
        Ref open = global_or_builtin(names.open);
        Ref file = open ? Ref::steal(PyObject_CallFunction(open.get(), "Os", candidate.get(), "w"))
                        : Ref();
        if (file && Ref::steal(PyObject_CallMethod(file.get(), "close", nullptr)))
            return candidate.release();
        PyErr_Clear();  // any failure: try the next name
    }
    return pycore::none();
}

PyObject* check_error(pycore::Function*, PyObject* const* args) {
    if (!record_error(args[0], args[1])) return nullptr;
    return pycore::none();
}

// ---------------------------------------------------------------------------
// Properties.

PyObject* last_error_message(pycore::Function*, PyObject* const* args) {
    Ref errors = global(names.equilex_errors);
    if (!errors) return nullptr;
    Ref number = Ref::steal(PyObject_GetAttr(args[0], names.last_error));
    if (!number) return nullptr;
    return PyObject_GetItem(errors.get(), number.get());
}

PyObject* version(pycore::Function*, PyObject* const* args) {
    return call_method(args[0], names.tqvers).release();
}

PyObject* number_components(pycore::Function*, PyObject* const* args) {
    return call_method(args[0], names.tqnosc).release();
}

PyObject* number_phases(pycore::Function*, PyObject* const* args) {
    return call_method(args[0], names.tqnop).release();
}

constexpr std::array<const char*, 11> dimension_keys{"constituents",
                                                     "components",
                                                     "solutions",
                                                     "ex_g_coeff",
                                                     "ex_magn_coeff",
                                                     "soln_sublattices",
                                                     "sublattice_constituents",
                                                     "mqf_constituents",
                                                     "g_eq_constituent",
                                                     "g_eq",
                                                     "constituents_vdep"};

PyObject* dimensions_from(PyObject* self, PyObject* routine) {
    Ref sizes = call_method(self, routine);
    if (!sizes) return nullptr;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (long i = 0; i < static_cast<long>(dimension_keys.size()); ++i) {
        Ref index = Ref::steal(PyLong_FromLong(i));
        Ref item = index ? Ref::steal(PyObject_GetItem(sizes.get(), index.get())) : Ref();
        if (!item || PyDict_SetItemString(dict.get(), dimension_keys[i], item.get()) < 0)
            return nullptr;
    }
    return dict.release();
}

PyObject* dimensions_max(pycore::Function*, PyObject* const* args) {
    return dimensions_from(args[0], names.tqsize);
}

PyObject* dimensions(pycore::Function*, PyObject* const* args) {
    return dimensions_from(args[0], names.tqused);
}

// ---------------------------------------------------------------------------
// load_datafile.

PyObject* load_datafile(pycore::Function*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* filename = args[1];
    PyObject* fileunit = args[2];
    Py_ssize_t length = PyUnicode_GET_LENGTH(filename);
    Ref tail = Ref::steal(PyUnicode_Substring(filename, length < 4 ? 0 : length - 4, length));
    Ref extension = tail ? Ref::steal(PyObject_CallMethod(tail.get(), "lower", nullptr)) : Ref();
    if (!extension) return nullptr;
    struct Format {
        const char* extension;
        PyObject* Names::*open;
        PyObject* Names::*read;
    };
    static constexpr Format formats[] = {{".dat", &Names::tqopna, &Names::tqrfil},
                                         {".cst", &Names::tqopnt, &Names::tqrcst},
                                         {".bin", &Names::tqopnb, &Names::tqrbin}};
    for (const Format& format : formats) {
        if (PyUnicode_CompareWithASCIIString(extension.get(), format.extension) != 0) continue;
        if (!call_method(self, names.*format.open, filename, fileunit) ||
            !call_method(self, names.*format.read) || !call_method(self, names.tqclos, fileunit))
            return nullptr;
        return pycore::none();
    }
    PyErr_Format(PyExc_Exception, "%U is not a suitable database format", filename);
    return nullptr;
}

constexpr std::array<Param, 1> self_only{{{"self"}}};
constexpr std::array<Param, 4> init_params{
    {{"self"}, {"libname", Kind::str}, {"logfile"}, {"use_eqpy"}}};
constexpr std::array<Param, 2> name_params{{{"self"}, {"basename"}}};
constexpr std::array<Param, 3> check_params{{{"self"}, {"cnoerr"}, {"name"}}};
constexpr std::array<Param, 3> load_params{{{"self"}, {"filename", Kind::str}, {"fileunit"}}};

}  // namespace

bool add_engine_member(pycore::ClassBuilder& builder, std::string_view name) {
    using pycore::FunctionDef;
    auto getter = [&](const char* member, pycore::Body body) {
        return builder.property(FunctionDef{member, nullptr, nullptr, {self_only}, body});
    };
    if (name == "__init__") {
        Ref defaults = Ref::steal(Py_BuildValue("(OO)", Py_None, Py_False));
        Ref annotations = Ref::steal(Py_BuildValue("{ss}", "libname", "str"));
        if (!defaults || !annotations) return builder.add("__init__", Ref());
        return builder.method({"__init__",
                               nullptr,
                               nullptr,
                               {init_params},
                               engine_init,
                               nullptr,
                               defaults.get(),
                               annotations.get()});
    }
    if (name == "__del__")
        return builder.method({"__del__", nullptr, nullptr, {self_only}, engine_del});
    if (name == "_generate_free_name")
        return builder.method(
            {"_generate_free_name", nullptr, nullptr, {name_params}, generate_free_name});
    if (name == "_check_error") {
        if (!builder.method({"_check_error", nullptr, nullptr, {check_params}, check_error}))
            return false;
        // The road records natively only while this very function is what the engine finds.
        context.own_check_error =
            pycore::pin(Ref::steal(PyObject_GetItem(builder.ns(), names.check_error)));
        return context.own_check_error != nullptr || builder.add("_check_error", Ref());
    }
    if (name == "load_datafile") {
        Ref defaults = Ref::steal(Py_BuildValue("(i)", 10));
        Ref annotations = Ref::steal(Py_BuildValue("{ss}", "filename", "str"));
        if (!defaults || !annotations) return builder.add("load_datafile", Ref());
        return builder.method({"load_datafile",
                               nullptr,
                               nullptr,
                               {load_params},
                               load_datafile,
                               nullptr,
                               defaults.get(),
                               annotations.get()});
    }
    if (name == "last_error_message") return getter("last_error_message", last_error_message);
    if (name == "version") return getter("version", version);
    if (name == "dimensions_max") return getter("dimensions_max", dimensions_max);
    if (name == "dimensions") return getter("dimensions", dimensions);
    if (name == "number_components") return getter("number_components", number_components);
    if (name == "number_phases") return getter("number_phases", number_phases);
    PyErr_Format(PyExc_SystemError, "no member %s", std::string(name).c_str());
    return builder.add("?", Ref());
}

}  // namespace raw
