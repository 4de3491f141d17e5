#include "expression.hpp"

#include <array>
#include <cctype>
#include <string>

#include "context.hpp"

namespace entities {

using pycore::Ref;

namespace {

struct Token {
    enum class Kind : std::uint8_t { name, number, text, op, end };
    Kind kind;
    std::string_view text;
};

// A constant or a name made at start-up lives as long as the process, as the member
// functions that read it do.
using pycore::pin;

}  // namespace

// Reads the text of one expression into nodes of an Expression.
class Parser {
  public:
    Parser(Expression& target, Scope& scope, std::string_view source, int depth = 0)
        : target_(target), scope_(scope), source_(source), depth_(depth) {}

    bool tokenize();
    int body();
    int expression();
    bool at_end() const { return tokens_[pos_].kind == Token::Kind::end; }
    int fail(const char* what);

  private:
    int comparison();
    int arith();
    int factor();
    int trailers(int node);
    int atom();
    int resolve(std::string_view name);
    int add(Expression::Node node);
    int constant(Ref value);
    bool accept(std::string_view op);
    bool expect(std::string_view op);
    bool is_op(std::string_view op) const {
        return tokens_[pos_].kind == Token::Kind::op && tokens_[pos_].text == op;
    }
    bool is_name(std::string_view name) const {
        return tokens_[pos_].kind == Token::Kind::name && tokens_[pos_].text == name;
    }
    int comprehension_variable() const;

    Expression& target_;
    Scope& scope_;
    std::string_view source_;
    int depth_;
    std::vector<Token> tokens_;
    std::size_t pos_ = 0;
};

int Parser::fail(const char* what) {
    if (!PyErr_Occurred()) {
        std::string text(source_);
        PyErr_Format(PyExc_SystemError, "member table expression \"%s\": %s", text.c_str(), what);
    }
    return -1;
}

bool Parser::tokenize() {
    std::size_t i = 0;
    const std::size_t n = source_.size();
    auto is_name_char = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
    };
    while (i < n) {
        char c = source_[i];
        if (c == ' ') {
            ++i;
            continue;
        }
        std::size_t start = i;
        Token::Kind kind = Token::Kind::op;
        if (std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_') {
            while (i < n && is_name_char(source_[i])) ++i;
            kind = Token::Kind::name;
        } else if (std::isdigit(static_cast<unsigned char>(c)) != 0) {
            while (i < n && (std::isdigit(static_cast<unsigned char>(source_[i])) != 0 ||
                             source_[i] == '.' || source_[i] == 'e' ||
                             (source_[i] == '-' && source_[i - 1] == 'e')))
                ++i;
            kind = Token::Kind::number;
        } else if (c == '\'' || c == '"') {
            std::size_t end = source_.find(c, i + 1);
            if (end == std::string_view::npos) return fail("unterminated text") == 0;
            i = end + 1;
            kind = Token::Kind::text;
        } else if ((c == '=' || c == '-') && i + 1 < n &&
                   source_[i + 1] == (c == '=' ? '=' : '>')) {
            i += 2;
        } else if (std::string_view("()[],.:;=<+-/").find(c) != std::string_view::npos) {
            ++i;
        } else {
            return fail("unexpected character") == 0;
        }
        tokens_.push_back({kind, source_.substr(start, i - start)});
    }
    tokens_.push_back({Token::Kind::end, {}});
    return true;
}

int Parser::add(Expression::Node node) {
    target_.nodes_.push_back(std::move(node));
    return static_cast<int>(target_.nodes_.size()) - 1;
}

int Parser::constant(Ref value) {
    if (!value) return fail("constant");
    return add({Expression::Op::constant, -1, -1, -1, -1, pin(std::move(value))});
}

bool Parser::accept(std::string_view op) {
    if (!is_op(op)) return false;
    ++pos_;
    return true;
}

bool Parser::expect(std::string_view op) {
    if (accept(op)) return true;
    std::string message = "expected '" + std::string(op) + "'";
    fail(message.c_str());
    return false;
}

int Parser::body() {
    // Leading "NAME = expression;" statements bind locals for what follows.
    if (tokens_[pos_].kind == Token::Kind::name && tokens_[pos_ + 1].kind == Token::Kind::op &&
        tokens_[pos_ + 1].text == "=") {
        if (static_cast<int>(scope_.locals.size()) >= max_locals) return fail("too many locals");
        std::string name(tokens_[pos_].text);
        pos_ += 2;
        int value = expression();
        if (value < 0 || !expect(";")) return -1;
        int slot = static_cast<int>(scope_.locals.size());
        scope_.locals.push_back(name);
        int rest = body();
        if (rest < 0) return -1;
        return add({Expression::Op::let, value, rest, -1, slot});
    }
    return expression();
}

int Parser::expression() {
    int value = comparison();
    if (value < 0 || !is_name("if")) return value;
    ++pos_;
    int condition = comparison();
    if (condition < 0) return -1;
    if (!is_name("else")) return fail("expected 'else'");
    ++pos_;
    int otherwise = expression();
    if (otherwise < 0) return -1;
    return add({Expression::Op::choose, condition, value, otherwise});
}

int Parser::comparison() {
    int left = arith();
    if (left < 0) return -1;
    for (auto [op, kind] : {std::pair{"==", Expression::Op::equal}, {"<", Expression::Op::less}}) {
        if (accept(op)) {
            int right = arith();
            return right < 0 ? -1 : add({kind, left, right});
        }
    }
    return left;
}

int Parser::arith() {
    int left = factor();
    while (left >= 0) {
        Expression::Op op;
        if (accept("+"))
            op = Expression::Op::add;
        else if (accept("-"))
            op = Expression::Op::subtract;
        else if (accept("/"))
            op = Expression::Op::divide;
        else
            break;
        int right = factor();
        if (right < 0) return -1;
        left = add({op, left, right});
    }
    return left;
}

int Parser::factor() {
    int node = atom();
    return node < 0 ? -1 : trailers(node);
}

int Parser::trailers(int node) {
    while (node >= 0) {
        if (accept(".")) {
            if (tokens_[pos_].kind != Token::Kind::name) return fail("expected a name after '.'");
            std::string name(tokens_[pos_++].text);
            Ref interned = Ref::steal(PyUnicode_InternFromString(name.c_str()));
            if (!interned) return -1;
            Expression::Node& owner = target_.nodes_[node];
            if (owner.op == Expression::Op::param && owner.slot == 0) {
                owner.op = Expression::Op::path;  // self.<name>...
                owner.slot = -1;
            }
            if (owner.op == Expression::Op::path)
                owner.names.push_back(pin(std::move(interned)));
            else
                node = add({Expression::Op::attribute, node, -1, -1, -1, pin(std::move(interned))});
        } else if (accept("(")) {
            Expression::Node call{Expression::Op::call, node};
            Ref keywords = Ref::steal(PyList_New(0));
            if (!keywords) return -1;
            while (!is_op(")")) {
                if (tokens_[pos_].kind == Token::Kind::name && tokens_[pos_ + 1].text == "=" &&
                    tokens_[pos_ + 1].kind == Token::Kind::op) {
                    std::string name(tokens_[pos_].text);
                    pos_ += 2;
                    Ref key = Ref::steal(PyUnicode_InternFromString(name.c_str()));
                    if (!key || PyList_Append(keywords.get(), key.get()) < 0) return -1;
                } else if (PyList_GET_SIZE(keywords.get()) > 0) {
                    return fail("positional argument after a keyword argument");
                }
                int argument = expression();
                if (argument < 0) return -1;
                call.args.push_back(argument);
                if (!accept(",")) break;
            }
            if (!expect(")")) return -1;
            if (PyList_GET_SIZE(keywords.get()) > 0) {
                Ref names = Ref::steal(PyList_AsTuple(keywords.get()));
                if (!names) return -1;
                call.object = pin(std::move(names));
            }
            node = add(std::move(call));
        } else if (accept("[")) {
            int key;
            if (is_op(":") ||
                (tokens_[pos_].kind != Token::Kind::end &&
                 tokens_[pos_ + 1].kind == Token::Kind::op && tokens_[pos_ + 1].text == ":")) {
                // A slice between constant bounds: made once.
                Ref bounds[2];
                for (int side = 0; side < 2; ++side) {
                    if (tokens_[pos_].kind == Token::Kind::number) {
                        std::string digits(tokens_[pos_++].text);
                        bounds[side] = Ref::steal(PyLong_FromString(digits.c_str(), nullptr, 10));
                        if (!bounds[side]) return fail("slice bound");
                    }
                    if (side == 0 && !expect(":")) return -1;
                }
                key = constant(Ref::steal(PySlice_New(bounds[0].get(), bounds[1].get(), nullptr)));
            } else {
                key = expression();
            }
            if (key < 0 || !expect("]")) return -1;
            node = add({Expression::Op::item, node, key});
        } else {
            break;
        }
    }
    return node;
}

// The variable of a comprehension that starts at the current "[", or -1.
int Parser::comprehension_variable() const {
    int depth = 0;
    for (std::size_t i = pos_; tokens_[i].kind != Token::Kind::end; ++i) {
        const Token& token = tokens_[i];
        if (token.kind == Token::Kind::op) {
            if (token.text == "(" || token.text == "[") ++depth;
            if (token.text == ")" || token.text == "]") {
                if (depth == 0) return -1;
                --depth;
            }
        } else if (depth == 0 && token.kind == Token::Kind::name && token.text == "for") {
            return static_cast<int>(i) + 1;
        }
    }
    return -1;
}

int Parser::atom() {
    const Token token = tokens_[pos_];
    switch (token.kind) {
        case Token::Kind::end:
            return fail("unexpected end");
        case Token::Kind::number: {
            ++pos_;
            std::string digits(token.text);
            if (digits.find_first_of(".e") == std::string::npos)
                return constant(Ref::steal(PyLong_FromString(digits.c_str(), nullptr, 10)));
            Ref text = Ref::steal(PyUnicode_FromString(digits.c_str()));
            return constant(text ? Ref::steal(PyFloat_FromString(text.get())) : Ref());
        }
        case Token::Kind::text:
            ++pos_;
            return constant(Ref::steal(PyUnicode_FromStringAndSize(
                token.text.data() + 1, static_cast<Py_ssize_t>(token.text.size()) - 2)));
        case Token::Kind::name:
            ++pos_;
            return resolve(token.text);
        case Token::Kind::op:
            break;
    }
    if (accept("(")) {
        int inner = expression();
        return inner >= 0 && expect(")") ? inner : -1;
    }
    if (!accept("[")) return fail("unexpected token");
    int variable = comprehension_variable();
    if (variable >= 0) {
        if (tokens_[variable].kind != Token::Kind::name ||
            static_cast<int>(scope_.locals.size()) >= max_locals)
            return fail("comprehension variable");
        int slot = static_cast<int>(scope_.locals.size());
        scope_.locals.emplace_back(tokens_[variable].text);
        int element = expression();
        // The iterable is read in the enclosing scope.
        scope_.locals[slot].clear();
        if (element < 0) return -1;
        if (!is_name("for")) return fail("expected 'for'");
        pos_ += 2;
        if (!is_name("in")) return fail("expected 'in'");
        ++pos_;
        int iterable = expression();
        if (iterable < 0 || !expect("]")) return -1;
        return add({Expression::Op::comprehension, iterable, element, -1, slot});
    }
    Expression::Node list{Expression::Op::list};
    while (!is_op("]")) {
        int item = expression();
        if (item < 0) return -1;
        list.args.push_back(item);
        if (!accept(",")) break;
    }
    if (!expect("]")) return -1;
    return add(std::move(list));
}

int Parser::resolve(std::string_view name) {
    for (std::size_t i = 0; i < scope_.params.size(); ++i)
        if (scope_.params[i] == name)
            return add({Expression::Op::param, -1, -1, -1, static_cast<int>(i)});
    for (std::size_t i = 0; i < scope_.locals.size(); ++i)
        if (scope_.locals[i] == name)
            return add({Expression::Op::local, -1, -1, -1, static_cast<int>(i)});
    if (name == "None") return constant(Ref::borrow(Py_None));
    if (name == "True") return constant(Ref::borrow(Py_True));
    if (name == "False") return constant(Ref::borrow(Py_False));
    std::string text(name);
    if (scope_.symbols != nullptr)
        for (const auto& [symbol, expansion] : *scope_.symbols)
            if (symbol == name) {
                if (depth_ > 4) return fail("symbols nested too deeply");
                Parser inner(target_, scope_, expansion, depth_ + 1);
                if (!inner.tokenize()) return -1;
                int node = inner.expression();
                if (node >= 0 && !inner.at_end()) return inner.fail("text after the symbol");
                return node;
            }
    Ref interned = Ref::steal(PyUnicode_InternFromString(text.c_str()));
    if (!interned) return -1;
    if (scope_.attributes != nullptr)
        for (const std::string& attribute : *scope_.attributes)
            if (attribute == name) {
                Expression::Node path(Expression::Op::path);
                path.names.push_back(pin(std::move(interned)));
                return add(std::move(path));
            }
    return add({Expression::Op::global, -1, -1, -1, -1, pin(std::move(interned))});
}

bool Expression::parse(std::string_view text, Scope& scope) {
    nodes_.clear();
    root_ = -1;
    direct_ = false;
    if (text.empty()) return true;
    Parser parser(*this, scope, text);
    if (!parser.tokenize()) return false;
    int root = parser.body();
    if (root < 0) return false;
    if (!parser.at_end()) return parser.fail("text after the expression") == 0;
    root_ = root;
    find_direct();
    return true;
}

void Expression::find_direct() {
    int call = root_;
    Direct flat;
    std::vector<PyObject*> picks;
    while (nodes_[call].op == Op::item) {
        const Node& key = nodes_[nodes_[call].b];
        if (key.op != Op::constant) return;
        picks.insert(picks.begin(), key.object);
        call = nodes_[call].a;
    }
    if (picks.size() > Direct::max_picks) return;
    const Node& node = nodes_[call];
    if (node.op != Op::call || node.object != nullptr) return;  // keywords
    const Node& target = nodes_[node.a];
    if (target.op != Op::path || target.names.empty()) return;
    if (node.args.size() + 1 > max_call_slots) return;
    std::size_t used = 0;
    auto place = [&](const std::vector<PyObject*>& names) {
        if (used + names.size() > Direct::max_names) return false;
        for (PyObject* name : names) flat.names[used++] = name;
        return true;
    };
    if (!place(target.names)) return;
    flat.owner_length = static_cast<std::uint8_t>(target.names.size() - 1);
    for (int index : node.args) {
        const Node& argument = nodes_[index];
        Direct::Argument& entry = flat.arguments[flat.count++];
        entry = {argument.op, 0, static_cast<std::uint8_t>(used), 0, argument.object};
        if (argument.op == Op::param) {
            entry.slot = static_cast<std::uint8_t>(argument.slot);
        } else if (argument.op == Op::path) {
            if (!place(argument.names)) return;
            entry.length = static_cast<std::uint8_t>(argument.names.size());
        } else if (argument.op != Op::constant) {
            return;
        }
    }
    for (PyObject* key : picks) flat.pick_keys[flat.picks++] = key;
    call_ = flat;
    direct_ = true;
}

// ---------------------------------------------------------------------------
// Evaluation.

namespace {

namespace internals = pycore::internals;
using internals::dict_place;

// owner.name as a call reads it: the attribute Python's attribute look-up gives,
// except that a plain function of the type comes back unbound (true) instead of
// as a new bound method, to be called with the owner first.
[[gnu::noinline]] bool look_up_method(PyObject* owner, PyObject* name, Ref& found,
                                      Expression::MethodMemo& memo) {
    PyTypeObject* type = Py_TYPE(owner);
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        found = Ref::steal(PyObject_GetAttr(owner, name));
        return false;
    }
    Ref descriptor = memo.function && memo.type.holds(type)
                         ? memo.function
                         : Ref::borrow(internals::type_lookup(type, name));
    descrgetfunc get = nullptr;
    bool function = false;
    if (descriptor) {
        function = PyType_HasFeature(Py_TYPE(descriptor.get()), Py_TPFLAGS_METHOD_DESCRIPTOR);
        if (function && internals::has_version_tag(type)) {
            if (memo.function.get() != descriptor.get()) {
                memo.function = descriptor;
                memo.dict.forget();
            }
            memo.type.see(type);
        }
        if (!function) {
            get = Py_TYPE(descriptor.get())->tp_descr_get;
            if (get != nullptr && PyDescr_IsData(descriptor.get())) {
                found = Ref::steal(get(descriptor.get(), owner, reinterpret_cast<PyObject*>(type)));
                return false;
            }
        }
    }
    // An attribute of the instance hides a non-data attribute of the type; a
    // dictionary seen without one is known by its version until it changes.
    if (PyObject** place = dict_place(owner); place != nullptr && *place != nullptr) {
        Ref dict = Ref::borrow(*place);
        if (!(function && memo.dict.holds(dict.get()))) {
            PyObject* own = PyDict_GetItemWithError(dict.get(), name);
            if (own != nullptr) {
                found = Ref::borrow(own);
                return false;
            }
            if (PyErr_Occurred()) {
                found = Ref();
                return false;
            }
            if (function && memo.function.get() == descriptor.get()) memo.dict.see(dict.get());
        }
    }
    if (function) {
        found = std::move(descriptor);
        return true;
    }
    if (get != nullptr)
        found = Ref::steal(get(descriptor.get(), owner, reinterpret_cast<PyObject*>(type)));
    else if (descriptor)
        found = std::move(descriptor);
    else
        found = Ref::steal(PyObject_GetAttr(owner, name));  // its AttributeError
    return false;
}

// The same, answered by the memo while the owner's type is unchanged and the owner
// has no dictionary or the one seen without the name.
inline bool method_of(PyObject* owner, PyObject* name, Ref& found, Expression::MethodMemo& memo) {
    PyTypeObject* type = Py_TYPE(owner);
    if (memo.function && type->tp_getattro == PyObject_GenericGetAttr && memo.type.holds(type)) {
        PyObject** place = dict_place(owner);
        if (place == nullptr || *place == nullptr || memo.dict.holds(*place)) {
            found = memo.function;
            return true;
        }
    }
    return look_up_method(owner, name, found, memo);
}

}  // namespace

Ref Expression::evaluate(Frame& frame) const {
    if (root_ < 0) return Ref::borrow(Py_None);
    return run(root_, frame);
}

namespace {

// owner.name, the name an interned text: what PyObject_GetAttr does for it, without
// its check of the name.
inline PyObject* attribute(PyObject* owner, PyObject* name) {
    getattrofunc get = Py_TYPE(owner)->tp_getattro;
    return get != nullptr ? get(owner, name) : PyObject_GetAttr(owner, name);
}

// owner.<names[0]>.<names[1]>...; the owner is held by the caller.
[[gnu::always_inline]] inline Ref walk(PyObject* owner, PyObject* const* names, std::size_t count) {
    if (count == 0) return Ref::borrow(owner);
    Ref value = Ref::steal(attribute(owner, names[0]));
    for (std::size_t i = 1; i < count && value; ++i)
        value = Ref::steal(attribute(value.get(), names[i]));
    return value;
}

}  // namespace

// The frequent leaves are read without the dispatch of run().
inline Ref Expression::operand(int index, Frame& frame) const {
    const Node& node = nodes_[index];
    if (node.op == Op::constant) return Ref::borrow(node.object);
    if (node.op == Op::path) return walk(frame.args[0], node.names.data(), node.names.size());
    return run(index, frame);
}

// The owner of a method called unbound, then the arguments of one call, owned until
// the call returns.
using Arguments = pycore::RefArray<max_call_slots>;

Ref Expression::call(const Node& node, Frame& frame) const {
    // owner.method(...) calls a plain function of the type with the owner first;
    // anything else is called as it is found.
    const std::size_t count = node.args.size();
    if (count + 1 > max_call_slots) {
        PyErr_SetString(PyExc_SystemError, "too many arguments in a member table call");
        return Ref();
    }
    Arguments values;
    Ref callee;
    const Node& target = nodes_[node.a];
    if (target.op == Op::attribute || (target.op == Op::path && !target.names.empty())) {
        Ref owner;
        PyObject* name;
        if (target.op == Op::attribute) {
            owner = run(target.a, frame);
            name = target.object;
        } else {
            owner = walk(frame.args[0], target.names.data(), target.names.size() - 1);
            name = target.names.back();
        }
        if (!owner) return owner;
        if (method_of(owner.get(), name, callee, node.memo)) values.push(std::move(owner));
    } else {
        callee = run(node.a, frame);
    }
    if (!callee) return callee;
    for (std::size_t i = 0; i < count; ++i)
        if (!values.push(operand(node.args[i], frame))) return Ref();
    return values.call(callee.get(), node.object);
}

Ref Expression::call_direct(PyObject* const* args) const {
    const Direct& flat = call_;
    PyObject* self = args[0];
    Ref result;
    {
        Ref owner = walk(self, flat.names, flat.owner_length);
        if (!owner) return owner;
        Arguments values;
        Ref callee;
        if (method_of(owner.get(), flat.names[flat.owner_length], callee, flat.memo))
            values.push(std::move(owner));
        if (!callee) return callee;
        const std::size_t count = flat.count;
        for (std::size_t i = 0; i < count; ++i) {
            const Direct::Argument& argument = flat.arguments[i];
            Ref value =
                argument.op == Op::path
                    ? walk(self, flat.names + argument.first, argument.length)
                    : Ref::borrow(argument.op == Op::param ? args[argument.slot] : argument.object);
            if (!values.push(std::move(value))) return Ref();
        }
        result = values.call(callee.get());
    }
    for (std::size_t i = 0; i < flat.picks && result; ++i)
        result = Ref::steal(PyObject_GetItem(result.get(), flat.pick_keys[i]));
    return result;
}

Ref Expression::binary(const Node& node, Frame& frame) const {
    Ref left = run(node.a, frame);
    if (!left) return left;
    Ref right = run(node.b, frame);
    if (!right) return right;
    switch (node.op) {
        case Op::add:
            return Ref::steal(PyNumber_Add(left.get(), right.get()));
        case Op::subtract:
            return Ref::steal(PyNumber_Subtract(left.get(), right.get()));
        case Op::divide:
            return Ref::steal(PyNumber_TrueDivide(left.get(), right.get()));
        case Op::equal:
            return Ref::steal(PyObject_RichCompare(left.get(), right.get(), Py_EQ));
        default:
            return Ref::steal(PyObject_RichCompare(left.get(), right.get(), Py_LT));
    }
}

Ref Expression::list(const Node& node, Frame& frame) const {
    if (node.op == Op::list) {
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(node.args.size())));
        if (!list) return list;
        for (std::size_t i = 0; i < node.args.size(); ++i) {
            Ref item = run(node.args[i], frame);
            if (!item) return item;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
        }
        return list;
    }
    Ref iterable = run(node.a, frame);
    Ref iterator = iterable ? Ref::steal(PyObject_GetIter(iterable.get())) : Ref();
    Ref list = iterator ? Ref::steal(PyList_New(0)) : Ref();
    if (!list) return list;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        frame.locals[node.slot] = std::move(item);
        Ref element = run(node.b, frame);
        if (!element || PyList_Append(list.get(), element.get()) < 0) return Ref();
    }
    frame.locals[node.slot] = Ref();
    if (PyErr_Occurred()) return Ref();
    return list;
}

Ref Expression::run(int index, Frame& frame) const {
    const Node& node = nodes_[index];
    switch (node.op) {
        case Op::constant:
            return Ref::borrow(node.object);
        case Op::param:
            return Ref::borrow(frame.args[node.slot]);
        case Op::local: {
            const Ref& value = frame.locals[node.slot];
            if (!value) PyErr_SetString(PyExc_SystemError, "local read before it was set");
            return value;
        }
        case Op::global:
            return global(node.object);
        case Op::path:
            return walk(frame.args[0], node.names.data(), node.names.size());
        case Op::attribute: {
            Ref owner = run(node.a, frame);
            return owner ? Ref::steal(PyObject_GetAttr(owner.get(), node.object)) : Ref();
        }
        case Op::call:
            return call(node, frame);
        case Op::item: {
            Ref container = operand(node.a, frame);
            if (!container) return container;
            Ref key = operand(node.b, frame);
            return key ? Ref::steal(PyObject_GetItem(container.get(), key.get())) : Ref();
        }
        case Op::add:
        case Op::subtract:
        case Op::divide:
        case Op::equal:
        case Op::less:
            return binary(node, frame);
        case Op::choose: {
            Ref condition = run(node.a, frame);
            if (!condition) return condition;
            int truth = PyObject_IsTrue(condition.get());
            if (truth < 0) return Ref();
            return run(truth ? node.b : node.c, frame);
        }
        case Op::let: {
            Ref value = run(node.a, frame);
            if (!value) return value;
            frame.locals[node.slot] = std::move(value);
            return run(node.b, frame);
        }
        case Op::list:
        case Op::comprehension:
            return list(node, frame);
    }
    PyErr_SetString(PyExc_SystemError, "unknown member table operation");
    return Ref();
}

}  // namespace entities
