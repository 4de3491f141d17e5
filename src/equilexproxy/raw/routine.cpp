// Reading the routine declarations. Each field of a Declaration is a short text:
//
// params: "name[: int|str|float], ... [-> int|str|float]" (self implied, first). int and
//   str parameters are tested for exactly that type, float ones converted first; a
//   declared int or str result is tested on both roads, float is only declared.
//
// library: the routine's arguments in the routine's order, blank-separated. Holders are
//   made in this order, and the input texts encoded while the call is put together.
//   in(p)              int in: a 32-bit holder of parameter p, by reference
//   out  out(V)        int out, starting at 0 (or V), by reference; read after the call
//   din(p)  dout       double in from p; double out starting at 0.0
//   text(p)            p's ASCII bytes, then min(len(p), bytes) by value
//   buf  buf(N)        a zero-filled text buffer of string_buffer_length (or N) bytes,
//                      then its length by value
//   string_buffer      ctypes.create_string_buffer(string_buffer_length), the global as it
//                      stands (True is True, a float refused with create_string_buffer's
//                      TypeError), then that same object as the length
//   doubles(N)  ints(N)  a zero-filled array of N, by address, no length
//   doubles(components)  as many doubles as the engine's tqnosc() answers (room for more)
//   fields(RxL)  fields(RxL,whole)  R fields of L bytes, then L (or R*L) by value
//   pair(p)            two doubles unpacked from p like `a, b = p` (exactly two items),
//                      by address
//   items(p)  items(p,address)  two doubles from p[0] and p[1], by address; the ctypes
//                      road passes the array itself, or c_void_p(addressof(array))
//   names(p,RxL)       R fields of L bytes, field k holding the ASCII name p[k] padded
//                      with blanks (unused fields zero), passed as the array, then L
//   error              the error number; always last
//
// result (library road): none | value (the only output) | outputs (a tuple of every
//   output) | truth | mass_first | counted | field_list | table | joined
//
// made (optional): the order in which the holders are made, where the routine's
//   method makes them in an order of its own: blank-separated words, a parameter's name
//   for the argument made from it, a kind word (out, dout, buf, error, doubles, ints,
//   fields) for the next argument of that kind, and last, optionally, `fetch`: the
//   routine is fetched only after them (the ctypes road; elsewhere nothing can tell).
//   The arguments it leaves out are made while the call is put together, in argument
//   order. Without it, every holder, buffer and array is made in argument order and
//   the input texts are encoded while the call is put together. On the ctypes road a
//   made holder is a ctypes object (c_int, c_double, a buffer, an array); byref,
//   c_char_p and addresses come with the call.
//
// basic: "[print(p); ]arg, arg, ...[; fetch]" the positional arguments of eqb.<name>,
//   which is taken before them, or with `; fetch` after them:
//   p                  the parameter unchanged
//   p-1                an index, minus 1
//   Enum[p]            the member of eqb.Enum named by p (eqb looked up afresh)
//   Enum[p|Member]     the same, but the one-blank text " " gives eqb.Enum.Member
//   items(p)           a new list of p[0] and p[1]
//   units[p]           the member named by p of the unit enumeration that the Quantity
//                      member before it chooses (TemperatureUnit, PressureUnit,
//                      VolumeUnit, AmountUnit by == with eqb.Quantity.Temperature,
//                      .Pressure, .Volume, .Amount in this order; EnergyUnit otherwise)
//
// basic_result: same | +1 | .name | [1] | swap | none (called, None returned) |
//   skip (nothing called, None returned)
#include "routine.hpp"

#include <charconv>
#include <string_view>

#include "road.hpp"

namespace raw {
namespace {

using pycore::Kind;
using pycore::Ref;

std::string_view trim(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    while (true) {
        auto at = text.find(separator);
        auto part = trim(text.substr(0, at));
        if (!part.empty()) parts.push_back(part);
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

class Parser {
  public:
    explicit Parser(const Declaration& declaration) : declaration_(declaration) {}

    std::unique_ptr<Routine> run() {
        auto routine = std::make_unique<Routine>();
        routine_ = routine.get();
        routine_->name = declaration_.name;
        routine_->doc = declaration_.doc ? declaration_.doc : "";
        if (!params() || !library() || !made() || !result() || !basic() || !basic_result()) {
            PyErr_Format(PyExc_SystemError, "declaration of %s does not read: %s",
                         declaration_.name, problem_.c_str());
            return nullptr;
        }
        routine_->name_object = PyUnicode_InternFromString(declaration_.name);
        if (routine_->name_object == nullptr) return nullptr;
        return routine;
    }

  private:
    bool fail(std::string problem) {
        problem_ = std::move(problem);
        return false;
    }

    bool kind_of(std::string_view word, Kind& kind) {
        if (word == "int")
            kind = Kind::int_;
        else if (word == "str")
            kind = Kind::str;
        else if (word == "float")
            kind = Kind::real;
        else
            return fail("unknown kind " + std::string(word));
        return true;
    }

    bool params() {
        std::string_view text = declaration_.params ? declaration_.params : "";
        if (auto arrow = text.find("->"); arrow != std::string_view::npos) {
            auto declared = trim(text.substr(arrow + 2));
            if (declared == "int")
                routine_->declared = Declared::int_;
            else if (declared == "str")
                routine_->declared = Declared::str;
            else if (declared == "float")
                routine_->declared = Declared::real;
            else
                return fail("unknown result kind");
            text = text.substr(0, arrow);
        }
        routine_->param_names.emplace_back("self");
        std::vector<Kind> kinds{Kind::any};
        for (auto entry : split(text, ',')) {
            Kind kind = Kind::any;
            if (auto colon = entry.find(':'); colon != std::string_view::npos) {
                if (!kind_of(trim(entry.substr(colon + 1)), kind)) return false;
                entry = trim(entry.substr(0, colon));
            }
            routine_->param_names.emplace_back(entry);
            kinds.push_back(kind);
        }
        if (routine_->param_names.size() > pycore::max_params) return fail("too many parameters");
        // The names are complete: their storage no longer moves.
        for (std::size_t i = 0; i < kinds.size(); ++i)
            routine_->params.push_back({routine_->param_names[i].c_str(), kinds[i]});
        return true;
    }

    bool param_index(std::string_view name, int& index) {
        for (std::size_t i = 1; i < routine_->param_names.size(); ++i)
            if (routine_->param_names[i] == name) {
                index = static_cast<int>(i);
                return true;
            }
        return fail("no parameter " + std::string(name));
    }

    static bool number(std::string_view text, std::int32_t& value) {
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        return ec == std::errc{} && end == text.data() + text.size();
    }

    // "RxL": R fields of L bytes.
    static bool fields_size(std::string_view text, Arg& arg) {
        auto x = text.find('x');
        return x != std::string_view::npos && number(text.substr(0, x), arg.rows) &&
               number(text.substr(x + 1), arg.size) && arg.rows > 0 && arg.size > 0;
    }

    bool library_arg(std::string_view token) {
        std::string_view word = token;
        std::string_view inner;
        if (auto open = token.find('('); open != std::string_view::npos) {
            if (token.back() != ')') return fail("unclosed " + std::string(token));
            word = token.substr(0, open);
            inner = token.substr(open + 1, token.size() - open - 2);
        }
        Arg arg{ArgKind::error};
        auto with_param = [&](ArgKind kind) {
            arg.kind = kind;
            return param_index(inner, arg.param);
        };
        if (word == "in") {
            if (!with_param(ArgKind::int_in)) return false;
        } else if (word == "din") {
            if (!with_param(ArgKind::double_in)) return false;
        } else if (word == "text") {
            if (!with_param(ArgKind::text_in)) return false;
        } else if (word == "out") {
            arg.kind = ArgKind::int_out;
            if (!inner.empty() && !number(inner, arg.start)) return fail("bad start");
        } else if (word == "dout") {
            arg.kind = ArgKind::double_out;
        } else if (word == "buf") {
            arg.kind = ArgKind::text_out;
            arg.size = size_from_buffer_length;
            if (!inner.empty() && !number(inner, arg.size)) return fail("bad buffer size");
        } else if (word == "string_buffer") {
            arg.kind = ArgKind::text_out;
            arg.size = size_from_buffer_length;
            arg.created = true;
        } else if (word == "doubles" || word == "ints") {
            arg.kind = word == "doubles" ? ArgKind::doubles : ArgKind::ints;
            if (inner == "components")
                arg.size = size_from_components;
            else if (!number(inner, arg.size))
                return fail("bad array size");
        } else if (word == "fields") {
            arg.kind = ArgKind::fields;
            if (auto comma = inner.find(','); comma != std::string_view::npos) {
                if (inner.substr(comma + 1) != "whole") return fail("bad fields option");
                arg.whole_length = true;
                inner = inner.substr(0, comma);
            }
            if (!fields_size(inner, arg)) return fail("bad fields size");
        } else if (word == "pair" || word == "items") {
            arg.kind = ArgKind::pair;
            arg.size = 2;
            arg.items = word == "pair" ? PairItems::unpacked : PairItems::subscripts;
            if (auto comma = inner.find(','); comma != std::string_view::npos) {
                if (inner.substr(comma + 1) != "address") return fail("bad pair option");
                arg.by_address = true;
                inner = inner.substr(0, comma);
            }
            if (!param_index(inner, arg.param)) return false;
        } else if (word == "names") {
            arg.kind = ArgKind::names;
            auto comma = inner.find(',');
            if (comma == std::string_view::npos) return fail("names needs a size");
            if (!param_index(inner.substr(0, comma), arg.param)) return false;
            if (!fields_size(inner.substr(comma + 1), arg)) return fail("bad names size");
        } else if (word == "error") {
            arg.kind = ArgKind::error;
        } else {
            return fail("unknown argument " + std::string(token));
        }
        routine_->args.push_back(arg);
        return true;
    }

    bool library() {
        for (auto token : split(declaration_.library, ' '))
            if (!library_arg(token)) return false;
        if (routine_->args.size() > static_cast<std::size_t>(max_arguments))
            return fail("too many arguments");
        if (routine_->args.empty() || routine_->args.back().kind != ArgKind::error)
            return fail("the error number must come last");
        return true;
    }

    // The argument a word of `made` names, not yet taken; -1 when there is none.
    int made_argument(std::string_view word, const std::vector<bool>& taken) {
        static constexpr std::pair<std::string_view, ArgKind> kinds[] = {
            {"out", ArgKind::int_out},   {"dout", ArgKind::double_out}, {"buf", ArgKind::text_out},
            {"error", ArgKind::error},   {"doubles", ArgKind::doubles}, {"ints", ArgKind::ints},
            {"fields", ArgKind::fields},
        };
        int param = -1;
        ArgKind kind = ArgKind::error;
        bool by_kind = false;
        for (auto [name, named] : kinds)
            if (name == word) {
                kind = named;
                by_kind = true;
            }
        if (!by_kind && !param_index(word, param)) return -1;
        for (std::size_t i = 0; i < routine_->args.size(); ++i) {
            const Arg& arg = routine_->args[i];
            if (!taken[i] && (by_kind ? arg.kind == kind : arg.param == param))
                return static_cast<int>(i);
        }
        fail("no argument left for " + std::string(word));
        return -1;
    }

    bool made() {
        const auto& args = routine_->args;
        auto& order = routine_->order;
        std::vector<bool> taken(args.size(), false);
        auto take = [&](std::size_t i) {
            order.push_back(static_cast<int>(i));
            taken[i] = true;
        };
        if (declaration_.made == nullptr) {
            for (std::size_t i = 0; i < args.size(); ++i)
                if (args[i].kind != ArgKind::text_in) take(i);
        } else {
            auto words = split(declaration_.made, ' ');
            for (std::size_t w = 0; w < words.size(); ++w) {
                if (words[w] == "fetch") {
                    if (w + 1 != words.size()) return fail("fetch must come last");
                    routine_->fetch_after_holders = true;
                    continue;
                }
                int i = made_argument(words[w], taken);
                if (i < 0) return false;
                take(static_cast<std::size_t>(i));
            }
        }
        routine_->made_before_call = order.size();
        for (std::size_t i = 0; i < args.size(); ++i)
            if (!taken[i]) take(i);
        if (routine_->fetch_after_holders)
            for (const Arg& arg : args)
                if (arg.kind == ArgKind::doubles || arg.kind == ArgKind::ints)
                    return fail("an array's room depends on the routine: fetch it first");
        return true;
    }

    bool result() {
        static constexpr std::pair<std::string_view, Result> words[] = {
            {"none", Result::none},
            {"value", Result::value},
            {"outputs", Result::outputs},
            {"truth", Result::truth},
            {"mass_first", Result::mass_first},
            {"counted", Result::counted},
            {"field_list", Result::field_list},
            {"table", Result::table},
            {"joined", Result::joined},
        };
        for (auto [word, result] : words)
            if (word == trim(declaration_.result)) {
                routine_->result = result;
                return true;
            }
        return fail("unknown result");
    }

    bool basic() {
        std::string_view text = declaration_.basic ? declaration_.basic : "";
        if (auto semicolon = text.rfind(';');
            semicolon != std::string_view::npos && trim(text.substr(semicolon + 1)) == "fetch") {
            routine_->basic_fetch_last = true;
            text = text.substr(0, semicolon);
        }
        if (auto semicolon = text.find(';'); semicolon != std::string_view::npos) {
            auto printed = trim(text.substr(0, semicolon));
            if (!printed.starts_with("print(") || !printed.ends_with(")")) return fail("bad print");
            if (!param_index(printed.substr(6, printed.size() - 7), routine_->print_param))
                return false;
            text = text.substr(semicolon + 1);
        }
        for (auto entry : split(text, ',')) {
            BasicArg arg{0, BasicConv::same, {}, {}};
            if (auto open = entry.find('['); open != std::string_view::npos) {
                if (entry.back() != ']') return fail("bad member");
                arg.conv = BasicConv::member;
                arg.enumeration = entry.substr(0, open);
                entry = entry.substr(open + 1, entry.size() - open - 2);
                if (arg.enumeration == "units") {
                    if (routine_->basic_args.empty()) return fail("units needs a quantity");
                    arg.conv = BasicConv::unit;
                } else if (auto bar = entry.find('|'); bar != std::string_view::npos) {
                    arg.fallback = entry.substr(bar + 1);
                    entry = entry.substr(0, bar);
                }
            } else if (entry.starts_with("items(") && entry.ends_with(")")) {
                arg.conv = BasicConv::items;
                entry = entry.substr(6, entry.size() - 7);
            } else if (entry.ends_with("-1")) {
                arg.conv = BasicConv::minus_one;
                entry = trim(entry.substr(0, entry.size() - 2));
            }
            if (!param_index(entry, arg.param)) return false;
            routine_->basic_args.push_back(std::move(arg));
        }
        return true;
    }

    bool basic_result() {
        static constexpr std::pair<std::string_view, BasicResult> words[] = {
            {"same", BasicResult::same},         {"+1", BasicResult::plus_one},
            {".name", BasicResult::member_name}, {"[1]", BasicResult::second_item},
            {"swap", BasicResult::swapped_pair}, {"none", BasicResult::discard},
            {"skip", BasicResult::not_called},
        };
        for (auto [word, result] : words)
            if (word == trim(declaration_.basic_result)) {
                routine_->basic_result = result;
                return true;
            }
        return fail("unknown basic result");
    }

    const Declaration& declaration_;
    Routine* routine_ = nullptr;
    std::string problem_;
};

}  // namespace

std::unique_ptr<Routine> parse_routine(const Declaration& declaration) {
    return Parser(declaration).run();
}

}  // namespace raw
