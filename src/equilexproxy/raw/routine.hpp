// Routine methods as declarations: one description per library routine, read by
// the one road (road_parts.hpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "function.hpp"
#include "versions.hpp"

namespace raw {

// A routine method written down as texts, so each of the 67 reads like its
// documentation. The grammar of each field is written at the top of routine.cpp.
struct Declaration {
    const char* name;            // method name, the routine's name in lower case
    const char* params;          // "indexp: int, index -> str" (self implied)
    const char* library;         // the routine's arguments in order: "in(indexp) buf error"
    const char* result;          // how the outputs make the library road's result
    const char* basic;           // the eqb call's arguments: "indexp-1, Status[option]"
    const char* basic_result;    // how eqb's answer is returned
    const char* doc;             // the whole docstring
    const char* made = nullptr;  // the order the holders are made in, when not the default
};

// One argument of the routine, in the routine's order.
enum class ArgKind : std::uint8_t {
    int_in,      // 32-bit holder made from a parameter, by reference
    int_out,     // 32-bit holder starting at `start`, by reference
    double_in,   // 64-bit float holder made from a parameter, by reference
    double_out,  // 64-bit float holder starting at 0.0, by reference
    text_in,     // a parameter's ASCII bytes (NUL after them), then their length by value
    text_out,    // zero-filled buffer, then its length by value
    doubles,     // zero-filled array of doubles, by address, no length
    ints,        // zero-filled array of 32-bit integers, by address, no length
    fields,      // rows x size zero-filled bytes, then one field's size (or all) by value
    pair,        // two doubles from a parameter, by address (as the array or an untyped pointer)
    names,       // rows x size bytes, field k the name at position k of a parameter, blank
                 // padded, unused fields zero; then one field's size by value
    error,       // the error number's holder; always last
};

// Sizes that are not fixed: taken at the call.
inline constexpr std::int32_t size_from_buffer_length = -1;  // module's string_buffer_length
inline constexpr std::int32_t size_from_components = -2;     // the engine's tqnosc() answer

// How a pair takes its two items from the parameter.
enum class PairItems : std::uint8_t {
    unpacked,    // as `a, b = vals`: exactly two items, both taken before either is stored
    subscripts,  // vals[0], stored, then vals[1]; more items are not looked at
};

struct Arg {
    ArgKind kind;
    int param = -1;             // parameter index (self = 0) for the *_in kinds, pair, names
    std::int32_t size = 0;      // bytes, elements, or one of the size_from_* values
    std::int32_t rows = 0;      // fields, names: number of fields
    bool whole_length = false;  // fields: pass rows*size rather than one field's size
    std::int32_t start = 0;     // int_out: starting value
    PairItems items = PairItems::unpacked;  // pair
    bool by_address = false;  // pair: the ctypes road passes c_void_p(addressof(array))
    bool created = false;     // text_out: ctypes.create_string_buffer(string_buffer_length),
                              // the global as it stands, the same object passed as the length
};

enum class Result : std::uint8_t {
    none,        // None
    value,       // the only output
    outputs,     // a tuple of every output, in argument order
    truth,       // whether the only int output is not 0
    mass_first,  // (the double output, tuple of the double array)
    counted,     // tuple of the array up to the int output, as a slice end
    field_list,  // list of the first `count` fields of the text array
    table,       // one list per expression of a 20-row column-major double table
    joined,      // every field of the text array, stripped, joined with nothing between
};

// The declared result: int and str are tested on both roads; float is only declared.
enum class Declared : std::uint8_t { none, int_, str, real };

enum class BasicConv : std::uint8_t {
    same,       // the argument unchanged
    minus_one,  // an index: minus 1
    member,     // eqb.<enumeration>[argument]; with `fallback`, the one-blank text gives
                // eqb.<enumeration>.<fallback> instead
    items,      // a new list of argument[0] and argument[1]
    unit,       // the unit enumeration that the Quantity member before it chooses,
                // subscripted with the argument
};

struct BasicArg {
    int param;
    BasicConv conv;
    std::string enumeration;  // member: eqb's enumeration subscripted with the argument
    std::string fallback;     // member: the member the one-blank text gives, if any
};

enum class BasicResult : std::uint8_t {
    same,          // returned unchanged
    plus_one,      // an index: plus 1
    member_name,   // an enumeration member: its name
    second_item,   // item 1 of the answer
    swapped_pair,  // (item 1, item 0)
    discard,       // the call is made, None is returned
    not_called,    // nothing is called, None is returned
};

// What a library object's class leaves to the instance for one export name.
struct ExportClassFacts {
    pycore::TypeVersion seen;
    pycore::Ref name;
    bool plain = false;
};

// The last single value a routine returned, with the bytes it was made from.
inline constexpr std::size_t last_value_bytes = 64;
struct LastValue {
    std::string bytes;
    pycore::Ref value;
};

struct Routine {
    std::string name;
    PyObject* name_object = nullptr;  // interned, lives as long as the process
    std::vector<std::string> param_names;
    std::vector<pycore::Param> params;  // self first
    Declared declared = Declared::none;
    std::vector<Arg> args;
    // The arguments in the order their holders are made; the first `made_before_call`
    // before the call is put together, the others while it is, in argument order.
    std::vector<int> order;
    std::size_t made_before_call = 0;
    bool fetch_after_holders = false;  // the routine is fetched once its holders are made
    Result result = Result::none;
    std::vector<BasicArg> basic_args;
    BasicResult basic_result = BasicResult::same;
    int print_param = -1;           // basic road prints "<name> = <value>" of this parameter first
    bool basic_fetch_last = false;  // eqb.<name> is taken after the arguments are converted
    std::string doc;

    // The road's memory of its last look-ups.
    mutable pycore::DictRead row;      // func_aliases[name]
    mutable pycore::DictRead routine;  // lib.<export>
    mutable ExportClassFacts export_class;
    mutable LastValue last_value;  // see only_output()
};

// Whether an argument of this kind is followed by its length, by value.
inline bool followed_by_length(ArgKind kind) {
    return kind == ArgKind::text_in || kind == ArgKind::text_out || kind == ArgKind::fields ||
           kind == ArgKind::names;
}

// The words a routine takes: one per argument, and each length that follows one.
inline std::size_t argument_words(const Routine& routine) {
    std::size_t words = 0;
    for (const Arg& arg : routine.args) words += followed_by_length(arg.kind) ? 2 : 1;
    return words;
}

// Parses a declaration; null with SystemError set when it does not read.
std::unique_ptr<Routine> parse_routine(const Declaration& declaration);

}  // namespace raw
