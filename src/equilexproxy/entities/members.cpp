#include "members.hpp"

#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "classes.hpp"
#include "context.hpp"
#include "expression.hpp"

namespace entities {

using pycore::Ref;

namespace {

// A member read from its row: what its functions need at every call.
struct Compiled {
    std::string name;
    std::vector<std::string> param_names;  // self first
    std::vector<pycore::Param> params;
    PyObject* defaults = nullptr;     // tuple or null; lives as long as the process
    PyObject* annotations = nullptr;  // dict or null; lives as long as the process
    Expression get;
    Expression set;

    struct Store {
        PyObject* name;  // interned
        Expression value;
    };
    std::vector<Store> stores;

    struct Piece {
        PyObject* literal = nullptr;  // text before the field
        Expression field;             // empty after the last field
        PyObject* spec = nullptr;
    };
    std::vector<Piece> pieces;
};

// The functions of every class point into this; it lives as long as the process.
std::deque<Compiled>& compiled_members() {
    static auto* members = new std::deque<Compiled>();
    return *members;
}

const Compiled& of(pycore::Function* fn) {
    return *static_cast<const Compiled*>(fn->data);
}

bool fail(const std::string& what) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "member table: %s", what.c_str());
    return false;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

// Splits at commas outside brackets and quotes.
std::vector<std::string_view> split(std::string_view text, char separator = ',') {
    std::vector<std::string_view> parts;
    int depth = 0;
    char quote = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '(' || c == '[') {
            ++depth;
        } else if (c == ')' || c == ']') {
            --depth;
        } else if (c == separator && depth == 0) {
            parts.push_back(trim(text.substr(start, i - start)));
            start = i + 1;
        }
    }
    if (!trim(text.substr(start)).empty()) parts.push_back(trim(text.substr(start)));
    return parts;
}

Ref interned(std::string_view text) {
    return Ref::steal(PyUnicode_InternFromString(std::string(text).c_str()));
}

// The value of a constant expression (a default, a stored constant).
Ref constant(std::string_view text) {
    Scope scope;
    scope.params = {"self"};
    Expression expression;
    if (!expression.parse(text, scope)) return Ref();
    PyObject* nothing[] = {Py_None};
    Frame frame(nothing);
    return expression.evaluate(frame);
}

// "name(a, b: int, c=1)": the name, then self and the parameters with their kinds,
// defaults and annotations. A bare name has self alone.
bool read_signature(std::string_view signature, Compiled& member) {
    std::size_t open = signature.find('(');
    member.name = std::string(trim(signature.substr(0, open)));
    member.param_names = {"self"};
    std::vector<pycore::Kind> kinds{pycore::Kind::any};
    if (open == std::string_view::npos) {
        member.params = {{"self"}};
        return true;
    }
    if (signature.back() != ')') return fail("signature " + std::string(signature));
    Ref defaults = Ref::steal(PyList_New(0));
    Ref annotations = Ref::steal(PyDict_New());
    if (!defaults || !annotations) return false;
    for (std::string_view param : split(signature.substr(open + 1, signature.size() - open - 2))) {
        std::string_view default_text;
        if (std::size_t equals = param.find('='); equals != std::string_view::npos) {
            default_text = trim(param.substr(equals + 1));
            param = trim(param.substr(0, equals));
        } else if (PyList_GET_SIZE(defaults.get()) > 0) {
            return fail("a parameter without default after one with a default");
        }
        pycore::Kind kind = pycore::Kind::any;
        if (std::size_t colon = param.find(':'); colon != std::string_view::npos) {
            std::string_view annotation = trim(param.substr(colon + 1));
            param = trim(param.substr(0, colon));
            if (annotation == "int")
                kind = pycore::Kind::int_;
            else if (annotation == "str")
                kind = pycore::Kind::str;
            else
                return fail("annotation " + std::string(annotation));
            Ref text = interned(annotation);
            if (!text ||
                PyDict_SetItemString(annotations.get(), std::string(param).c_str(), text.get()) < 0)
                return false;
        }
        if (!default_text.empty()) {
            Ref value = constant(default_text);
            if (!value || PyList_Append(defaults.get(), value.get()) < 0) return false;
        }
        member.param_names.emplace_back(param);
        kinds.push_back(kind);
    }
    // The names are in place before the parameters point at them.
    for (std::size_t i = 0; i < kinds.size(); ++i)
        member.params.push_back({member.param_names[i].c_str(), kinds[i]});
    if (PyList_GET_SIZE(defaults.get()) > 0)
        member.defaults = pycore::pin(Ref::steal(PyList_AsTuple(defaults.get())));
    if (PyDict_GET_SIZE(annotations.get()) > 0)
        member.annotations = pycore::pin(std::move(annotations));
    return !PyErr_Occurred();
}

// The getter's text: the call, its pick, and the fall-back tested between them.
std::string getter_text(const MemberRow& row) {
    std::string call(row.get);
    std::string_view fallback(row.fallback);
    if (fallback.empty()) return call + row.pick;
    std::size_t arrow = fallback.find("->");
    return "D = " + call + "; " + std::string(trim(fallback.substr(arrow + 2))) + " if " +
           std::string(trim(fallback.substr(0, arrow))) + " else D" + row.pick;
}

std::string setter_text(const MemberRow& row) {
    std::string text(row.set);
    if (row.each == 0) return text;
    text.insert(0, 1, '[');
    text.append(" for k in range(min(len(value), ").append(std::to_string(row.each)).append("))]");
    return text;
}

bool read_stores(std::string_view text, Compiled& member) {
    for (std::string_view store : split(text)) {
        std::string_view value = store;
        if (std::size_t equals = store.find('='); equals != std::string_view::npos) {
            value = trim(store.substr(equals + 1));
            store = trim(store.substr(0, equals));
        }
        Compiled::Store entry{pycore::pin(interned(store)), {}};
        if (entry.name == nullptr) return false;
        Scope scope;
        scope.params = member.param_names;
        if (!entry.value.parse(value, scope)) return false;
        member.stores.push_back(std::move(entry));
    }
    return true;
}

bool read_template(std::string_view text, Scope& scope, Compiled& member) {
    while (true) {
        std::size_t open = text.find('{');
        Compiled::Piece piece;
        piece.literal = pycore::pin(interned(text.substr(0, open)));
        if (piece.literal == nullptr) return false;
        if (open == std::string_view::npos) {
            member.pieces.push_back(std::move(piece));
            return true;
        }
        std::size_t close = text.find('}', open);
        if (close == std::string_view::npos) return fail("template " + std::string(text));
        std::string_view field = text.substr(open + 1, close - open - 1);
        std::vector<std::string_view> parts = split(field, ':');
        piece.spec = pycore::pin(interned(parts.size() > 1 ? parts[1] : ""));
        if (piece.spec == nullptr || !piece.field.parse(parts[0], scope)) return false;
        member.pieces.push_back(std::move(piece));
        text.remove_prefix(close + 1);
    }
}

// ---------------------------------------------------------------------------
// The bodies every table member shares.

PyObject* run_get(pycore::Function* fn, PyObject* const* args) {
    Frame frame(args);
    return of(fn).get.evaluate(frame).release();
}

// The getter of a direct row: its one call, nothing to choose at each read.
PyObject* run_direct_get(pycore::Function* fn, PyObject* const* args) {
    return of(fn).get.call_direct(args).release();
}

PyObject* run_set(pycore::Function* fn, PyObject* const* args) {
    const Compiled& member = of(fn);
    const Expression& made = member.set.empty() ? member.get : member.set;
    if (made.direct()) return made.call_direct(args) ? pycore::none() : nullptr;
    Frame frame(args);
    return made.evaluate(frame) ? pycore::none() : nullptr;
}

PyObject* run_init(pycore::Function* fn, PyObject* const* args) {
    Frame frame(args);
    for (const Compiled::Store& store : of(fn).stores) {
        Ref value = store.value.evaluate(frame);
        if (!value || PyObject_SetAttr(args[0], store.name, value.get()) < 0) return nullptr;
    }
    return pycore::none();
}

PyObject* run_text(pycore::Function* fn, PyObject* const* args) {
    const Compiled& member = of(fn);
    Ref pieces = Ref::steal(PyList_New(0));
    if (!pieces) return nullptr;
    Frame frame(args);
    for (const Compiled::Piece& piece : member.pieces) {
        if (PyList_Append(pieces.get(), piece.literal) < 0) return nullptr;
        if (piece.field.empty()) continue;
        Ref value = piece.field.evaluate(frame);
        Ref text = value ? Ref::steal(PyObject_Format(value.get(), piece.spec)) : Ref();
        if (!text || PyList_Append(pieces.get(), text.get()) < 0) return nullptr;
    }
    Ref empty = Ref::steal(PyUnicode_FromString(""));
    return empty ? PyUnicode_Join(empty.get(), pieces.get()) : nullptr;
}

// ---------------------------------------------------------------------------
// Assembly.

std::vector<std::pair<std::string, std::string>> read_symbols(const char* text) {
    std::vector<std::pair<std::string, std::string>> symbols;
    if (text == nullptr) return symbols;
    for (std::string_view entry : split(text)) {
        std::size_t equals = entry.find('=');
        symbols.emplace_back(trim(entry.substr(0, equals)), trim(entry.substr(equals + 1)));
    }
    return symbols;
}

std::string bare_name(const char* signature) {
    std::string_view text(signature);
    return std::string(trim(text.substr(0, text.find('('))));
}

bool add_member(pycore::ClassBuilder& builder, const MemberRow& row, Scope scope) {
    Compiled& member = compiled_members().emplace_back();
    if (!read_signature(row.name, member)) return builder.add(bare_name(row.name).c_str(), Ref());
    scope.params = member.param_names;
    pycore::FunctionDef definition{member.name.c_str(), nullptr,           row.doc,
                                   {member.params},     run_get,           &member,
                                   member.defaults,     member.annotations};
    bool read = true;
    switch (row.kind) {
        case MemberKind::property:
        case MemberKind::settable:
        case MemberKind::method:
        case MemberKind::action:
            if (row.kind == MemberKind::action) definition.body = run_set;
            if (row.native != nullptr)
                definition.body = row.native;
            else
                read = member.get.parse(getter_text(row), scope);
            break;
        case MemberKind::init:
            definition.body = run_init;
            read = read_stores(row.get, member);
            break;
        case MemberKind::text:
            definition.body = run_text;
            read = read_template(row.get, scope, member);
            break;
    }
    if (!read) return builder.add(member.name.c_str(), Ref());
    if (definition.body == run_get && member.get.direct()) definition.body = run_direct_get;
    if (row.kind != MemberKind::property && row.kind != MemberKind::settable)
        return builder.method(definition);
    if (row.kind == MemberKind::property) return builder.property(definition);

    // The setter: a function of its own under the same name, taking `value`.
    Compiled& setter = compiled_members().emplace_back();
    setter.name = member.name;
    setter.param_names = {"self", "value"};
    setter.params = {{setter.param_names[0].c_str()}, {setter.param_names[1].c_str()}};
    scope.params = setter.param_names;
    scope.locals.clear();
    if (!setter.set.parse(setter_text(row), scope)) return builder.add(member.name.c_str(), Ref());
    pycore::FunctionDef set_definition{setter.name.c_str(), nullptr, nullptr,
                                       {setter.params},     run_set, &setter};
    return builder.property(definition, &set_definition);
}

}  // namespace

bool make_class(PyObject* module, const ClassTable& table) {
    Ref bases;
    if (table.base != nullptr) {
        Ref base = global(table.base);
        bases = base ? Ref::steal(PyTuple_Pack(1, base.get())) : Ref();
    } else {
        bases = Ref::steal(PyTuple_New(0));
    }
    if (!bases) return false;

    // Names read as self.<name>: the stored attributes and the members.
    std::vector<std::string> attributes;
    for (const MemberRow& row : table.members) {
        attributes.push_back(bare_name(row.name));
        if (row.kind == MemberKind::init)
            for (std::string_view store : split(row.get))
                attributes.emplace_back(trim(store.substr(0, store.find('='))));
    }
    auto symbols = read_symbols(table.symbols);
    for (const auto& [symbol, expansion] : symbols)
        for (const std::string& attribute : attributes)
            if (symbol == attribute)
                return fail(std::string(table.name) + ": symbol " + symbol + " hides a member");
    Scope scope;
    scope.symbols = &symbols;
    scope.attributes = &attributes;

    pycore::ClassBuilder builder(table.name, module_name(), bases.get(), table.doc);
    for (const MemberRow& row : table.members)
        if (!add_member(builder, row, scope)) break;
    return pycore::bind(module, table.name, builder.make());
}

}  // namespace entities
