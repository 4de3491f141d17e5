// The expressions of the member tables: a small subset of Python, read once at
// start-up and evaluated the way Python evaluates it, from left to right.
//
//   body        := {NAME "=" expression ";"} expression
//   expression  := comparison ["if" comparison "else" expression]
//   comparison  := arith ["==" arith | "<" arith]
//   arith       := factor {("+" | "-" | "/") factor}
//   factor      := atom {"." NAME | "(" [argument {"," argument}] ")" | "[" index "]"}
//   atom        := NAME | NUMBER | 'text' | "text" | "(" expression ")"
//                | "[" [expression {"," expression}] "]" | "[" expression "for" NAME "in"
//                expression "]"
//   argument    := [NAME "="] expression
//   index       := expression | [expression] ":" [expression]
//
// "+", "-" and "/" bind alike and from the left (the tables need no more). A bare
// name is, in this order: a parameter of the member (`self` among them), a local
// (bound by a leading statement or by a comprehension), a
// symbol of the class (a shorthand such as E for `parent.engine`, read afresh at
// each use), an attribute of the instance (a member of the class or an attribute
// its constructor stores), and otherwise a module global or builtin, looked up at
// every evaluation as Python looks up a global name.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "versions.hpp"

namespace entities {

inline constexpr int max_locals = 4;
// Slots of one call: the owner of a method, then its arguments.
inline constexpr std::size_t max_call_slots = 9;

// The values an expression is evaluated with.
struct Frame {
    explicit Frame(PyObject* const* arguments) : args(arguments) {}

    PyObject* const* args;  // self first, then the member's parameters
    pycore::Ref locals[max_locals];
};

// How bare names resolve while a member's expressions are read.
struct Scope {
    std::vector<std::string> params;  // self first
    std::vector<std::string> locals;
    // name -> expression text, e.g. {"E", "parent.engine"}
    const std::vector<std::pair<std::string, std::string>>* symbols = nullptr;
    const std::vector<std::string>* attributes = nullptr;  // read as self.<name>
};

class Expression {
  public:
    // Reads `text`; false with SystemError set when it does not read. An empty text
    // gives an empty expression.
    bool parse(std::string_view text, Scope& scope);

    bool empty() const { return root_ < 0; }
    // A new reference, or null with an exception set.
    pycore::Ref evaluate(Frame& frame) const;

    // True when the expression is one call of a method of self or of an attribute
    // chain of self, `owner.method(argument, ...)`, every argument a constant, a
    // parameter or such a chain, followed by constant subscripts only: the shape of
    // most rows. call_direct() runs it without a frame or the node interpreter, with
    // the same look-ups in the same order.
    bool direct() const { return direct_; }
    pycore::Ref call_direct(PyObject* const* args) const;

    enum class Op : std::uint8_t {
        constant,
        param,
        local,
        global,
        attribute,  // a.<name>
        path,       // self.<names[0]>.<names[1]>...
        call,       // a(args..., keywords)
        item,       // a[b]
        add,
        subtract,
        divide,
        equal,
        less,
        choose,         // b if a else c
        list,           // [args...]
        comprehension,  // [b for <slot> in a]
        let,            // <slot> = a; b
    };

    // What a call remembers of its last method look-up: the plain function the
    // owner's class held under the name, and the owner's dictionary seen without that
    // name. While both hold, the look-up would find the same function.
    struct MethodMemo {
        pycore::Ref function;      // null until a plain function was found
        pycore::TypeVersion type;  // the owner's class it was found on
        pycore::DictVersion dict;  // an owner's dictionary seen without the name
    };

    struct Node {
        Node(Op kind, int first = -1, int second = -1, int third = -1, int index = -1,
             PyObject* value = nullptr)
            : op(kind), a(first), b(second), c(third), slot(index), object(value) {}

        Op op;
        int a = -1;
        int b = -1;
        int c = -1;
        int slot = -1;  // parameter or local
        PyObject* object =
            nullptr;  // constant, name or keyword names; lives as long as the process
        std::vector<int> args;
        std::vector<PyObject*> names;  // path
        mutable MethodMemo memo;       // call
    };

    // A direct expression laid out flat, so that its call reads a few adjacent
    // words instead of walking the nodes: the owner chain and the method's name,
    // the arguments, the subscripts.
    struct Direct {
        static constexpr std::size_t max_names = 12;
        static constexpr std::size_t max_picks = 4;

        struct Argument {
            Op op;               // constant, param or path
            std::uint8_t slot;   // param: its position in the arguments
            std::uint8_t first;  // path: its names, names[first] onwards
            std::uint8_t length;
            PyObject* object;  // constant
        };

        std::uint8_t owner_length = 0;  // names[0..owner_length), then the method's name
        std::uint8_t count = 0;         // arguments
        std::uint8_t picks = 0;
        mutable MethodMemo memo;
        Argument arguments[max_call_slots - 1];
        PyObject* names[max_names];
        PyObject* pick_keys[max_picks];
    };

  private:
    pycore::Ref run(int node, Frame& frame) const;
    pycore::Ref operand(int node, Frame& frame) const;
    [[gnu::noinline]] pycore::Ref call(const Node& node, Frame& frame) const;
    [[gnu::noinline]] pycore::Ref binary(const Node& node, Frame& frame) const;
    [[gnu::noinline]] pycore::Ref list(const Node& node, Frame& frame) const;

    void find_direct();

    std::vector<Node> nodes_;
    int root_ = -1;
    bool direct_ = false;
    Direct call_;  // when direct_
    friend class Parser;
};

}  // namespace entities
