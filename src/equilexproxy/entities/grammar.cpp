// The grammar of the library's interaction strings, built from pyparsing's own
// elements, and the module functions around it.
#include <array>

#include "calls.hpp"
#include "context.hpp"
#include "function.hpp"

namespace entities {

using pycore::Ref;

namespace {

// One pyparsing element; a failed step leaves it empty with the exception set, and
// every later step on an empty element stays empty.
class Element {
  public:
    explicit Element(Ref element) : element_(std::move(element)) {}

    PyObject* get() const { return element_.get(); }
    explicit operator bool() const { return static_cast<bool>(element_); }

    Element suppress() const { return call("suppress"); }
    Element action(PyObject* function) const { return call("setParseAction", function); }
    // setResultsName(name) or setResultsName(name, listAllMatches=True).
    Element named(const char* name, bool all_matches = false) const {
        if (!element_) return *this;
        Ref method = Ref::steal(PyObject_GetAttrString(element_.get(), "setResultsName"));
        Ref args = Ref::steal(Py_BuildValue("(s)", name));
        Ref kwargs = Ref::steal(all_matches ? Py_BuildValue("{sO}", "listAllMatches", Py_True)
                                            : PyDict_New());
        if (!method || !args || !kwargs) return Element(Ref());
        return Element(Ref::steal(PyObject_Call(method.get(), args.get(), kwargs.get())));
    }
    // forward << element
    bool define(const Element& definition) const {
        if (!element_ || !definition) return false;
        return static_cast<bool>(Ref::steal(PyNumber_Lshift(element_.get(), definition.get())));
    }

    friend Element operator+(const Element& left, const Element& right) {
        return combine(PyNumber_Add, left, right);
    }
    friend Element operator|(const Element& left, const Element& right) {
        return combine(PyNumber_Or, left, right);
    }

  private:
    Element call(const char* method, PyObject* argument = nullptr) const {
        if (!element_) return *this;
        return Element(argument ? pycore::call_method(element_.get(), method, argument)
                                : pycore::call_method(element_.get(), method));
    }
    static Element combine(PyObject* (*op)(PyObject*, PyObject*), const Element& left,
                           const Element& right) {
        if (!left || !right) return Element(Ref());
        return Element(Ref::steal(op(left.get(), right.get())));
    }

    Ref element_;
};

// Makes elements from the classes of the pyparsing module it is given.
class Elements {
  public:
    explicit Elements(Ref pp) : pp_(std::move(pp)) {}

    Element make(const char* kind, PyObject* argument = nullptr) const {
        Ref cls = pp_ ? Ref::steal(PyObject_GetAttrString(pp_.get(), kind)) : Ref();
        if (!cls) return Element(Ref());
        return Element(Ref::steal(argument ? PyObject_CallOneArg(cls.get(), argument)
                                           : PyObject_CallNoArgs(cls.get())));
    }
    Element literal(const char* text) const {
        Ref value = Ref::steal(PyUnicode_FromString(text));
        return value ? make("Literal", value.get()) : Element(Ref());
    }
    Element word(const char* characters) const {
        Ref value = pp_ ? Ref::steal(PyObject_GetAttrString(pp_.get(), characters)) : Ref();
        return value ? make("Word", value.get()) : Element(Ref());
    }
    Element optional(const Element& inner) const { return wrap("Optional", inner); }
    Element zero_or_more(const Element& inner) const { return wrap("ZeroOrMore", inner); }
    Element forward() const { return make("Forward"); }

  private:
    Element wrap(const char* kind, const Element& inner) const {
        return inner ? make(kind, inner.get()) : Element(Ref());
    }
    Ref pp_;
};

// The parse action: every token as an int, as `[int(t) for t in toks]` gives it.
PyObject* int_action(pycore::Function*, PyObject* const* args) {
    Ref convert = global("int");
    Ref iterator = convert ? Ref::steal(PyObject_GetIter(args[2])) : Ref();
    Ref converted = iterator ? Ref::steal(PyList_New(0)) : Ref();
    if (!converted) return nullptr;
    while (Ref token = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref value = Ref::steal(PyObject_CallOneArg(convert.get(), token.get()));
        if (!value || PyList_Append(converted.get(), value.get()) < 0) return nullptr;
    }
    return PyErr_Occurred() ? nullptr : converted.release();
}

constexpr std::array<pycore::Param, 3> action_params{{{"s"}, {"loc"}, {"toks"}}};
constexpr std::array<pycore::Param, 1> parse_params{{{"interaction_string"}}};

// A new grammar of interaction strings, its top element.
PyObject* get_interaction_parser(pycore::Function*, PyObject* const*) {
    Ref pp = global("pp");
    if (!pp) return nullptr;
    Ref action = pycore::make_function({"int_action",
                                        "_get_interaction_parser.<locals>.int_action",
                                        nullptr,
                                        {action_params},
                                        int_action},
                                       module_name());
    if (!action) return nullptr;
    const Elements make(std::move(pp));
    auto number = [&](const char* name, bool all_matches) {
        return make.word("nums").action(action.get()).named(name, all_matches);
    };

    // ( n ) with an optional power ^[ p ]; the tokens stay flat.
    Element species = make.literal("(").suppress() + number("species_index", true) +
                      make.literal(")").suppress() +
                      make.optional(make.literal("^").suppress() + make.literal("[").suppress() +
                                    number("power", true) + make.literal("]").suppress());
    // One sublattice's species joined by "-", the sublattices by ":" (kept).
    Element sublattice = make.forward();
    if (!sublattice.define(species + make.zero_or_more(make.literal("-").suppress() + sublattice)))
        return nullptr;
    Element body = make.forward();
    if (!body.define(sublattice + make.zero_or_more(make.literal(":") + body))) return nullptr;
    Element model =
        make.literal("(").suppress() +
        (make.literal("Guts") | make.literal("Quasichemical") | make.literal("Bragg-Williams"))
            .named("type") +
        make.literal(")").suppress();
    Element whole =
        (number("interaction_index", false) | make.literal("***").named("interaction_index")) +
        make.literal(": *").suppress() + make.word("alphanums").named("some_index") + body +
        make.optional(model);
    return whole ? Ref::borrow(whole.get()).release() : nullptr;
}

PyObject* parse_interaction(pycore::Function*, PyObject* const* args) {
    Ref parser = global("_interaction_parser");
    if (!parser) return nullptr;
    Ref method = Ref::steal(PyUnicode_FromString("parseString"));
    if (!method) return nullptr;
    return PyObject_CallMethodOneArg(parser.get(), method.get(), args[0]);
}

}  // namespace

bool make_grammar(PyObject* module) {
    if (!pycore::bind(module, "_get_interaction_parser",
                      pycore::make_function(
                          {"_get_interaction_parser", nullptr, nullptr, {}, get_interaction_parser},
                          module_name())))
        return false;
    Ref builder = global("_get_interaction_parser");
    if (!builder || !pycore::bind(module, "_interaction_parser",
                                  Ref::steal(PyObject_CallNoArgs(builder.get()))))
        return false;
    return pycore::bind(
        module, "parse_interaction",
        pycore::make_function(
            {"parse_interaction", nullptr, nullptr, {parse_params}, parse_interaction},
            module_name()));
}

}  // namespace entities
