// Test-only routines that record what a caller passes. Each eqx_standin_probe_* routine has the
// argument list of one library routine, decodes every argument it receives (texts with their
// lengths and the byte after them, the values behind pointers, buffer lengths and whether the
// buffer arrived zero-filled, the fields of a text array) into one line, and writes known
// values into its outputs; eqx_standin_probe_last hands the line of the last call back. Tests
// point a routine method's export name at a probe and so see the C ABI of each argument kind
// end to end. The probes touch none of the library's state.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>

#include "core/library.hpp"
#include "equilex.h"

namespace {

std::string& record() {
    static std::string line;
    return line;
}

void add(const std::string& part) {
    if (!record().empty()) record() += ' ';
    record() += part;
}

std::string shown(const char* at, std::int32_t length) {
    std::string text;
    for (std::int32_t i = 0; i < length; ++i) {
        auto c = static_cast<unsigned char>(at[i]);
        if (c >= 32 && c < 127 && c != '\\' && c != '\'') {
            text += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            text += escaped;
        }
    }
    return text;
}

// name='bytes'/length, then +nul when a NUL follows the counted bytes.
void text(const char* name, const char* at, std::int32_t length) {
    if (at == nullptr) return add(std::string(name) + "=null");
    add(std::string(name) + "='" + shown(at, length) + "'/" + std::to_string(length) +
        (at[length] == '\0' ? "+nul" : ""));
}

void integer(const char* name, const std::int32_t* at) {
    add(std::string(name) + "=" + (at ? std::to_string(*at) : "null"));
}

std::string number(double value) {
    char written[32];
    std::snprintf(written, sizeof written, "%.17g", value);
    return written;
}

void real(const char* name, const double* at) {
    add(std::string(name) + "=" + (at ? number(*at) : "null"));
}

void pair(const char* name, const double* at) {
    add(std::string(name) + "=" + (at ? number(at[0]) + "," + number(at[1]) : "null"));
}

// name=length, then +zeroed when the buffer arrived all zero; writes `answer` into it.
void buffer(const char* name, char* at, std::int32_t length, const std::string& answer) {
    bool zeroed = true;
    for (std::int32_t i = 0; at != nullptr && i < length; ++i) zeroed = zeroed && at[i] == 0;
    add(std::string(name) + "=" + std::to_string(length) + (zeroed ? "+zeroed" : ""));
    for (std::int32_t i = 0; at != nullptr && i < length && i < std::int32_t(answer.size()); ++i)
        at[i] = answer[static_cast<std::size_t>(i)];
}

// Begins the line of a new call and writes 0 into the error holder at its end.
struct Call {
    explicit Call(const char* routine) { record() = routine; }
};

void done(std::int32_t* error) {
    integer("error", error);
    if (error) *error = 0;
}

}  // namespace

extern "C" {

EQX_API void eqx_standin_probe_last(char* line, std::int32_t length) {
    const eqx::LibraryLock lock;
    if (!line || length <= 0) return;
    std::size_t size = record().copy(line, static_cast<std::size_t>(length - 1));
    line[size] = '\0';
}

// TQSETC: a text, int ins, a double in, an int out (answered 7).
EQX_API void eqx_standin_probe_setc(const char* option, std::int32_t option_len,
                                    const std::int32_t* indexp, const std::int32_t* index,
                                    const double* value, std::int32_t* numcon,
                                    std::int32_t* error) {
    const eqx::LibraryLock lock;
    Call call("setc");
    text("option", option, option_len);
    integer("indexp", indexp);
    integer("index", index);
    real("value", value);
    integer("numcon", numcon);
    if (numcon) *numcon = 7;
    done(error);
}

// TQCE, TQCEL, TQCEN, TQCENL: two doubles, however the caller handed the array over.
EQX_API void eqx_standin_probe_ce(const char* option, std::int32_t option_len,
                                  const std::int32_t* indexp, const std::int32_t* index,
                                  const double* vals, std::int32_t* error) {
    const eqx::LibraryLock lock;
    Call call("ce");
    text("option", option, option_len);
    integer("indexp", indexp);
    integer("index", index);
    pair("vals", vals);
    done(error);
}

// TQMAP, TQMAPL: two doubles and an int out (answered 3).
EQX_API void eqx_standin_probe_map(const char* option, std::int32_t option_len,
                                   const std::int32_t* indexp, const std::int32_t* indexc,
                                   const double* vals, std::int32_t* icont, std::int32_t* error) {
    const eqx::LibraryLock lock;
    Call call("map");
    text("option", option, option_len);
    integer("indexp", indexp);
    integer("indexc", indexc);
    pair("vals", vals);
    integer("icont", icont);
    if (icont) *icont = 3;
    done(error);
}

// TQGSU: a text buffer and its length (answered "degF" and blanks to the end).
EQX_API void eqx_standin_probe_gsu(const char* option, std::int32_t option_len, char* unit,
                                   std::int32_t unit_len, std::int32_t* error) {
    const eqx::LibraryLock lock;
    Call call("gsu");
    text("option", option, option_len);
    buffer("unit", unit, unit_len, "degF" + std::string(unit_len > 4 ? unit_len - 4 : 0, ' '));
    done(error);
}

// TQCSU, TQSTXP-like: two texts in a row.
EQX_API void eqx_standin_probe_csu(const char* option, std::int32_t option_len, const char* unit,
                                   std::int32_t unit_len, std::int32_t* error) {
    const eqx::LibraryLock lock;
    Call call("csu");
    text("option", option, option_len);
    text("unit", unit, unit_len);
    done(error);
}

// TQCHAR: the int out's preset is recorded and left as it came.
EQX_API void eqx_standin_probe_char(const std::int32_t* indexp, const std::int32_t* indexc,
                                    std::int32_t* charge, std::int32_t* error) {
    const eqx::LibraryLock lock;
    Call call("char");
    integer("indexp", indexp);
    integer("indexc", indexc);
    integer("charge", charge);
    done(error);
}

// TQCSC: every field of the text array that does not start with a NUL, and the field length.
EQX_API void eqx_standin_probe_csc(const char* names, std::int32_t name_len, std::int32_t* error) {
    const eqx::LibraryLock lock;
    Call call("csc");
    add("field=" + std::to_string(name_len));
    for (int k = 0; names != nullptr && name_len > 0 && k < 30; ++k) {
        const char* field = names + static_cast<std::ptrdiff_t>(k) * name_len;
        if (field[0] == '\0') continue;
        add(std::to_string(k) + "='" + shown(field, name_len) + "'");
    }
    done(error);
}

// TQBOND: five int ins and a double out (answered 0.125).
EQX_API void eqx_standin_probe_bond(const std::int32_t* indexp, const std::int32_t* indexa,
                                    const std::int32_t* indexb, const std::int32_t* indexc,
                                    const std::int32_t* indexd, double* value,
                                    std::int32_t* error) {
    const eqx::LibraryLock lock;
    Call call("bond");
    for (const std::int32_t* index : {indexp, indexa, indexb, indexc, indexd}) integer("i", index);
    real("value", value);
    if (value) *value = 0.125;
    done(error);
}

}  // extern "C"
