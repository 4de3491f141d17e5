// Module raw: start-up, the module's tables and functions, the class EquilexProxy.
#include "module.hpp"

#include <array>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "classes.hpp"
#include "context.hpp"
#include "convenience.hpp"
#include "declarations.hpp"
#include "engine.hpp"
#include "internals.hpp"
#include "native.hpp"
#include "road.hpp"
#include "tables.hpp"

namespace raw {

Context context;

bool init_context(PyObject* module) {
    if (!pycore::make_names()) return false;
    context.module = module;
    context.globals = PyModule_GetDict(module);
    if (context.object_getattribute == nullptr) {
        pycore::Ref found = pycore::internals::object_getattribute(pycore::names.getattribute);
        if (!found) return false;
        context.object_getattribute = pycore::pin(std::move(found));
    }
    return true;
}

namespace {

using pycore::Ref;

pycore::ModuleOnce once{"raw"};

// Parsed once per process; the method objects point into them.
// Never destroyed: the routines hold Python objects, and the interpreter is gone by
// the time static objects are.
std::map<std::string, std::unique_ptr<Routine>, std::less<>>& routines() {
    static auto* parsed = new std::map<std::string, std::unique_ptr<Routine>, std::less<>>;
    return *parsed;
}

bool parse_declarations() {
    auto& parsed = routines();
    if (!parsed.empty()) return true;
    for (auto list : {core_routines(), system_routines(), equilibrium_routines()})
        for (const Declaration& declaration : list) {
            auto routine = parse_routine(declaration);
            if (!routine) {
                parsed.clear();
                return false;
            }
            parsed.emplace(routine->name, std::move(routine));
        }
    return true;
}

// ---------------------------------------------------------------------------
// Module functions.

PyObject* isx64(pycore::Function*, PyObject* const*) {
    Ref calcsize = global(names.calcsize);
    if (!calcsize) return nullptr;
    Ref size = Ref::steal(PyObject_CallFunction(calcsize.get(), "s", "P"));
    Ref eight = Ref::steal(PyLong_FromLong(8));
    Ref bits = size && eight ? Ref::steal(PyNumber_Multiply(size.get(), eight.get())) : Ref();
    Ref sixty_four = Ref::steal(PyLong_FromLong(64));
    if (!bits || !sixty_four) return nullptr;
    int wide = PyObject_RichCompareBool(bits.get(), sixty_four.get(), Py_EQ);
    if (wide < 0) return nullptr;
    return PyBool_FromLong(wide);
}

#ifndef _WIN32
// The platform's library search of the binding's home system, over PATH: each
// directory with the name as given, then with ".so" added; an absolute name is
// found as it is. Gives the absolute path, or None.
PyObject* find_library(pycore::Function*, PyObject* const* args) {
    PyObject* name = args[0];
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    if (!os) return nullptr;
    Ref path = Ref::steal(PyObject_GetAttrString(os.get(), "path"));
    Ref environ = Ref::steal(PyObject_GetAttrString(os.get(), "environ"));
    Ref pathsep = Ref::steal(PyObject_GetAttrString(os.get(), "pathsep"));
    if (!path || !environ || !pathsep) return nullptr;
    Ref search = Ref::steal(PyObject_CallMethod(environ.get(), "get", "ss", "PATH", ""));
    Ref directories =
        search ? Ref::steal(PyObject_CallMethod(search.get(), "split", "O", pathsep.get())) : Ref();
    if (!directories) return nullptr;
    auto found = [&](PyObject* candidate) -> int {
        Ref is_file = Ref::steal(PyObject_CallMethod(path.get(), "isfile", "O", candidate));
        return is_file ? PyObject_IsTrue(is_file.get()) : -1;
    };
    Ref iterator = Ref::steal(PyObject_GetIter(directories.get()));
    if (!iterator) return nullptr;
    while (Ref directory = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref candidate =
            Ref::steal(PyObject_CallMethod(path.get(), "join", "OO", directory.get(), name));
        if (!candidate) return nullptr;
        int hit = found(candidate.get());
        if (hit < 0) return nullptr;
        if (hit == 0) {
            Ref lowered = Ref::steal(PyObject_CallMethod(candidate.get(), "lower", nullptr));
            Ref ends = lowered
                           ? Ref::steal(PyObject_CallMethod(lowered.get(), "endswith", "s", ".so"))
                           : Ref();
            if (!ends) return nullptr;
            if (ends.get() == Py_True) continue;
            Ref suffix = Ref::steal(PyUnicode_FromString(".so"));
            candidate = suffix ? Ref::steal(PyNumber_Add(candidate.get(), suffix.get())) : Ref();
            if (!candidate) return nullptr;
            hit = found(candidate.get());
            if (hit < 0) return nullptr;
        }
        if (hit > 0) return PyObject_CallMethod(path.get(), "abspath", "O", candidate.get());
    }
    if (PyErr_Occurred()) return nullptr;
    return pycore::none();
}
#endif

constexpr std::array<pycore::Param, 1> one_name{{{"name"}}};

bool bind_function(PyObject* module, const pycore::FunctionDef& definition) {
    return pycore::bind(module, definition.name,
                        pycore::make_function(definition, names.module_raw));
}

// ---------------------------------------------------------------------------
// Tables.

// Every declared routine in key order, with its export name: the name in upper case,
// decorated for a 32-bit caller with the bytes its arguments take on the stack.
Ref aliases(bool decorated) {
    Ref table = Ref::steal(PyDict_New());
    if (!table) return table;
    for (const auto& [name, routine] : routines()) {
        std::string upper(name);
        for (char& c : upper) c = static_cast<char>(c - 'a' + 'A');
        Ref value = Ref::steal(
            decorated ? PyUnicode_FromFormat("_%s@%d", upper.c_str(),
                                             static_cast<int>(4 * argument_words(*routine)))
                      : PyUnicode_FromString(upper.c_str()));
        if (!value || PyDict_SetItem(table.get(), routine->name_object, value.get()) < 0)
            return Ref();
    }
    return table;
}

// The version table, held against the declarations: one row per declared routine.
Ref min_versions() {
    auto row = version_rows.begin();
    for (const auto& [name, routine] : routines()) {
        if (row == version_rows.end() || name != row->name) {
            PyErr_Format(PyExc_SystemError, "the version table and the declarations differ at %s",
                         row == version_rows.end() ? name.c_str() : row->name);
            return Ref();
        }
        ++row;
    }
    if (row != version_rows.end()) {
        PyErr_Format(PyExc_SystemError, "no declaration of %s", row->name);
        return Ref();
    }
    Ref table = Ref::steal(PyDict_New());
    if (!table) return table;
    for (const VersionRow& version : version_rows) {
        Ref value = Ref::steal(PyLong_FromLong(version.min_version));
        if (!value || PyDict_SetItemString(table.get(), version.name, value.get()) < 0)
            return Ref();
    }
    return table;
}

Ref errors() {
    Ref table = Ref::steal(PyDict_New());
    if (!table) return table;
    for (const ErrorRow& row : error_rows) {
        Ref key = Ref::steal(PyLong_FromLong(row.number));
        Ref value = Ref::steal(PyUnicode_FromString(row.message));
        if (!key || !value || PyDict_SetItem(table.get(), key.get(), value.get()) < 0) return Ref();
    }
    return table;
}

// ---------------------------------------------------------------------------
// The class.

// The members of EquilexProxy in class-namespace order, the one fact of a routine
// method its declaration does not give; start-up refuses a declared routine without
// its one place here.
constexpr std::string_view members[] = {
    "unitT",
    "unitP",
    "unitV",
    "unitE",
    "unitA",
    "pressure_total",
    "volume_total",
    "temperature",
    "equilibrium_amount",
    "heat_capacity",
    "enthalpy",
    "entropy",
    "__init__",
    "__del__",
    "_generate_free_name",
    "_check_error",
    "last_error_message",
    "tqini",
    "tqcprt",
    "tqvers",
    "version",
    "tqsize",
    "dimensions_max",
    "tqused",
    "dimensions",
    "tqcio",
    "tqgio",
    "tqopen",
    "tqopna",
    "tqrfil",
    "tqopnt",
    "tqrcst",
    "tqopnb",
    "tqrbin",
    "tqclos",
    "tqnosc",
    "number_components",
    "tqgnsc",
    "tqinsc",
    "tqstsc",
    "tqsetc",
    "tqshow",
    "tqremc",
    "tqce",
    "tqcel",
    "tqcen",
    "tqcenl",
    "tqgetr",
    "tqgsu",
    "tqcsu",
    "tqnop",
    "number_phases",
    "tqgsp",
    "tqcsp",
    "tqgnp",
    "tqmodl",
    "tqnopc",
    "tqnosl",
    "tqinp",
    "tqinpc",
    "tqpcis",
    "tqgnpc",
    "tqstpc",
    "tqnolc",
    "tqgnlc",
    "tqinlc",
    "tqgtlc",
    "tqgdpc",
    "tqerr",
    "tqgdat",
    "tqlpar",
    "tqcdat",
    "tqgpar",
    "tqwasc",
    "tqsttp",
    "tqstrm",
    "tqstca",
    "tqstec",
    "tqstxp",
    "tqmap",
    "tqmapl",
    "tqchar",
    "tqcsc",
    "tqbond",
    "tqgspc",
    "tqcspc",
    "tqclim",
    "tqcnsc",
    "tqconf",
    "load_datafile",
    "set_global_T",
    "set_global_P",
    "set_global_VT",
    "set_global_CP",
    "set_global_H",
    "set_global_S",
    "set_global_G",
    "set_amount_syscomp",
    "set_amount_const",
    "set_phase_target",
    "remove_condition",
    "remove_amounts",
    "remove_all",
    "get_component",
    "get_phase",
    "calc",
    "calc_Ttarget",
    "calc_Ptarget",
    "calc_Vtarget",
    "map_temp",
    "set_status",
    "components",
    "phases",
    "compounds",
    "solutions",
    "get_compound",
    "is_compound",
    "phases_stable",
    "phases_unstable",
};

Ref annotations_of(const Routine& routine) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return dict;
    auto text = [](pycore::Kind kind) {
        return kind == pycore::Kind::int_ ? "int" : kind == pycore::Kind::str ? "str" : "float";
    };
    for (const pycore::Param& param : routine.params)
        if (param.kind != pycore::Kind::any) {
            Ref value = Ref::steal(PyUnicode_FromString(text(param.kind)));
            if (!value || PyDict_SetItemString(dict.get(), param.name, value.get()) < 0)
                return Ref();
        }
    if (routine.declared != Declared::none) {
        Ref value = Ref::steal(PyUnicode_FromString(routine.declared == Declared::int_  ? "int"
                                                    : routine.declared == Declared::str ? "str"
                                                                                        : "float"));
        if (!value || PyDict_SetItemString(dict.get(), "return", value.get()) < 0) return Ref();
    }
    return dict;
}

bool add_routine(pycore::ClassBuilder& builder, const Routine& routine) {
    Ref annotations = annotations_of(routine);
    if (!annotations) return builder.add(routine.name.c_str(), Ref());
    return builder.method({routine.name.c_str(),
                           nullptr,
                           routine.doc.empty() ? nullptr : routine.doc.c_str(),
                           {routine.params},
                           routine_body,
                           &routine,
                           nullptr,
                           annotations.get()});
}

bool make_engine_class(PyObject* module) {
    Ref entities = global(names.entities);
    if (!entities) return false;
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return false;
    pycore::ClassBuilder builder("EquilexProxy", names.module_raw, bases.get());
    Ref descriptor_class = Ref::steal(PyObject_GetAttrString(entities.get(), "LanguageDesc"));
    if (!descriptor_class) return false;
    if (!builder.add("language", Ref::steal(PyObject_CallNoArgs(descriptor_class.get()))))
        return false;
    std::set<std::string_view> placed;
    for (std::string_view member : members) {
        bool added = false;
        if (member.starts_with("tq")) {
            auto found = routines().find(member);
            if (found == routines().end()) {
                PyErr_Format(PyExc_SystemError, "no declaration of %s",
                             std::string(member).c_str());
                return false;
            }
            added = placed.insert(member).second && add_routine(builder, *found->second);
            if (!added && !PyErr_Occurred())
                PyErr_Format(PyExc_SystemError, "%s has two places in the class",
                             std::string(member).c_str());
        } else if (const ConvenienceMember* convenience = convenience_member(member)) {
            added = add_convenience_member(builder, *convenience);
        } else {
            added = add_engine_member(builder, member);
        }
        if (!added) return false;
    }
    // Each declared routine has its place in the class order.
    for (const auto& [name, routine] : routines())
        if (!placed.contains(name)) {
            PyErr_Format(PyExc_SystemError, "%s has no place in the class", name.c_str());
            return false;
        }
    return pycore::bind(module, "EquilexProxy", builder.make());
}

// ---------------------------------------------------------------------------
// The module body, in binding order.

bool import_name(PyObject* module, const char* from, const char* name) {
    Ref source = Ref::steal(PyImport_ImportModule(from));
    return source &&
           pycore::bind(module, name, Ref::steal(PyObject_GetAttrString(source.get(), name)));
}

int body(PyObject* module) {
    if (!pycore::ready_function_type() || !init_context(module) || !parse_declarations()) return -1;
    if (!import_name(module, "struct", "calcsize")) return -1;
    if (!pycore::bind(module, "ctypes", Ref::steal(PyImport_ImportModule("ctypes")))) return -1;
    {
        // `import os.path` binds the package os.
        Ref os = Ref::steal(PyImport_ImportModuleLevel("os.path", nullptr, nullptr, nullptr, 0));
        if (!pycore::bind(module, "os", std::move(os))) return -1;
    }
#ifdef _WIN32
    if (!import_name(module, "ctypes.util", "find_library")) return -1;
#else
    if (!bind_function(module, {"find_library",
                                nullptr,
                                "Finds a library by name in the directories of PATH (also with "
                                "\".so\" added) or by its absolute path; returns the absolute "
                                "path or None.",
                                {one_name},
                                find_library}))
        return -1;
#endif
    if (!pycore::bind(module, "entities",
                      Ref::steal(PyImport_ImportModule("equilexproxy.entities"))))
        return -1;
    {
        // The basic binding is optional: any failure to import it leaves eqb unbound.
        Ref basic = Ref::steal(PyImport_ImportModule("equilex.basic"));
        if (basic) {
            if (!pycore::bind(module, "eqb", std::move(basic))) return -1;
        } else {
            PyErr_Clear();
        }
    }
    if (!bind_function(module, {"isx64", nullptr, nullptr, {{}, true}, isx64})) return -1;
    if (!pycore::bind(module, "string_buffer_length", Ref::steal(PyLong_FromLong(25)))) return -1;
    Ref x32 = aliases(true);
    Ref x64 = aliases(false);
    if (!pycore::bind(module, "func_aliases_x32", x32) ||
        !pycore::bind(module, "func_aliases_x64", x64))
        return -1;
    {
        Ref function = global(names.isx64);
        Ref wide = function ? Ref::steal(PyObject_CallNoArgs(function.get())) : Ref();
        if (!wide) return -1;
        int is_wide = PyObject_IsTrue(wide.get());
        if (is_wide < 0 || !pycore::bind(module, "func_aliases", is_wide ? x64 : x32)) return -1;
    }
    if (!pycore::bind(module, "min_version", min_versions())) return -1;
    if (!pycore::bind(module, "equilex_errors", errors())) return -1;

    Ref ctypes = global(names.ctypes);
    if (!ctypes) return -1;
    if (!init_native(ctypes.get())) return -1;
    return make_engine_class(module) ? 0 : -1;
}

using Definition = pycore::MultiPhaseModule<once, body>;

}  // namespace
}  // namespace raw

PyMODINIT_FUNC PyInit_raw() {
    return PyModuleDef_Init(&raw::Definition::definition);
}
