// Initialisation, messages, version and sizes, input/output options and file units.
#include <filesystem>
#include <string>
#include <system_error>

#include "core/library.hpp"
#include "equilex.h"

using namespace eqx;

namespace {

bool is_unit_option(std::string_view option) {
    return same_text(option, "FILE") || same_text(option, "ERROR") || same_text(option, "LIST");
}

// The file name as a path, or empty when it cannot name a file: an embedded NUL would make the
// C library open a shorter, different name.
std::string file_path(const char* filename, int filename_len) {
    std::string_view name = text_in(filename, filename_len);
    if (name.find('\0') != std::string_view::npos) return {};
    return std::string(name);
}

bool names_directory(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::is_directory(path, ignored);
}

bool exists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

// Opens filename on unit, in the mode the kind needs. A unit that already has a file gets the
// new one only when it could be opened; the old one is closed then.
void open_on_unit(const char* filename, int filename_len, const std::int32_t* unit_ptr,
                  std::int32_t* error, UnitKind kind) {
    if (!error || !need_init(error)) return;
    const int unit = value_of(unit_ptr);
    if (!valid_unit(unit)) return fail(error, err::bad_unit);
    const std::string path = file_path(filename, filename_len);
    if (path.empty() || names_directory(path)) return fail(error, err::cannot_open, path);

    std::FILE* file = nullptr;
    bool writable = false;
    if (kind == UnitKind::any && !exists(path)) {
        file = std::fopen(path.c_str(), "w+");
        writable = file != nullptr;
    } else if (kind == UnitKind::any || kind == UnitKind::ascii) {
        // Read-write so that a log file opened here receives the messages of the ERROR unit;
        // a read-only data-file is still readable.
        file = std::fopen(path.c_str(), "r+");
        writable = file != nullptr;
        if (!file) file = std::fopen(path.c_str(), "r");
    } else {
        file = std::fopen(path.c_str(), "rb");
    }
    if (!file) return fail(error, err::cannot_open, path);

    Library& lib = library();
    if (OpenUnit* previous = open_unit(unit)) {
        if (previous->file) std::fclose(previous->file);
    }
    if (lib.data_unit == unit) lib.data_unit = 0;
    lib.units[unit] = OpenUnit{path, file, kind, writable};
    ok(error);
}

}  // namespace

extern "C" {

EQX_API void TQINI(std::int32_t* error) {
    const eqx::LibraryLock lock;
    if (!error) return;
    Library& lib = library();
    lib.reset();
    lib.initialised = true;  // units stay open: a log file on unit 6 survives a later TQINI
    ok(error);
}

EQX_API void TQCPRT(std::int32_t* error) {
    const eqx::LibraryLock lock;
    if (!error) return;
    Library& lib = library();
    lib.message_number = 0;
    lib.message = copyright_text();
    ok(error);
}

EQX_API void TQERR(char* message, std::int32_t message_len, std::int32_t* error) {
    const eqx::LibraryLock lock;
    if (!error) return;
    // Three fields of a third of the length each: the binding passes the whole 240-byte block.
    const int field = message_len > 0 ? message_len / 3 : 0;
    if (message && field > 0) {
        const std::vector<std::string> fields =
            message_fields(library().message, static_cast<std::size_t>(field), 3);
        for (int i = 0; i < 3; ++i) {
            const std::size_t at = static_cast<std::size_t>(i);
            text_out(message + i * field, field, at < fields.size() ? fields[at] : "");
        }
    }
    ok(error);
}

EQX_API void TQVERS(std::int32_t* version, std::int32_t* error) {
    const eqx::LibraryLock lock;
    if (!error) return;
    put(version, version_number);
    ok(error);
}

EQX_API void TQSIZE(
    std::int32_t* max_constituents, std::int32_t* max_components, std::int32_t* max_mixture_phases,
    std::int32_t* max_excess_gibbs_coefficients, std::int32_t* max_excess_magnetic_coefficients,
    std::int32_t* max_sublattices_per_phase, std::int32_t* max_constituents_per_sublattice,
    std::int32_t* max_quasichemical_constituents, std::int32_t* max_gibbs_equations_per_constituent,
    std::int32_t* max_gibbs_equations, std::int32_t* max_volume_constituents, std::int32_t* error) {
    const eqx::LibraryLock lock;
    if (!error) return;
    put(max_constituents, limits::constituents);
    put(max_components, limits::components);
    put(max_mixture_phases, limits::mixture_phases);
    put(max_excess_gibbs_coefficients, limits::excess_gibbs_coefficients);
    put(max_excess_magnetic_coefficients, limits::excess_magnetic_coefficients);
    put(max_sublattices_per_phase, limits::sublattices_per_phase);
    put(max_constituents_per_sublattice, limits::constituents_per_sublattice);
    put(max_quasichemical_constituents, limits::quasichemical_constituents);
    put(max_gibbs_equations_per_constituent, limits::gibbs_equations_per_constituent);
    put(max_gibbs_equations, limits::gibbs_equations);
    put(max_volume_constituents, limits::volume_constituents);
    ok(error);
}

EQX_API void TQGIO(const char* option, std::int32_t option_len, std::int32_t* value,
                   std::int32_t* error) {
    const eqx::LibraryLock lock;
    if (!error || !need_init(error)) return;
    const Library& lib = library();
    const std::string_view name = text_in(option, option_len);
    if (same_text(name, "FILE")) {
        put(value, lib.file_unit);
    } else if (same_text(name, "ERROR")) {
        put(value, lib.error_unit);
    } else if (same_text(name, "LIST")) {
        put(value, lib.list_unit);
    } else if (same_text(name, "LANGUAGE")) {
        put(value, lib.language);
    } else {
        return fail(error, err::bad_option);
    }
    ok(error);
}

EQX_API void TQCIO(const char* option, std::int32_t option_len, const std::int32_t* value,
                   std::int32_t* error) {
    const eqx::LibraryLock lock;
    if (!error || !need_init(error)) return;
    Library& lib = library();
    const std::string_view name = text_in(option, option_len);
    const int new_value = value_of(value);
    if (is_unit_option(name)) {
        if (!valid_unit(new_value)) return fail(error, err::bad_unit);
        if (same_text(name, "FILE")) lib.file_unit = new_value;
        if (same_text(name, "ERROR")) lib.error_unit = new_value;
        if (same_text(name, "LIST")) lib.list_unit = new_value;
    } else if (same_text(name, "LANGUAGE")) {
        if (new_value < 1 || new_value > 5) return fail(error, err::bad_language);
        lib.language = new_value;
    } else {
        return fail(error, err::bad_option);
    }
    ok(error);
}

EQX_API void TQOPEN(const char* filename, std::int32_t filename_len, const std::int32_t* unit,
                    std::int32_t* error) {
    const eqx::LibraryLock lock;
    open_on_unit(filename, filename_len, unit, error, UnitKind::any);
}

EQX_API void TQOPNA(const char* filename, std::int32_t filename_len, const std::int32_t* unit,
                    std::int32_t* error) {
    const eqx::LibraryLock lock;
    open_on_unit(filename, filename_len, unit, error, UnitKind::ascii);
}

EQX_API void TQOPNT(const char* filename, std::int32_t filename_len, const std::int32_t* unit,
                    std::int32_t* error) {
    const eqx::LibraryLock lock;
    open_on_unit(filename, filename_len, unit, error, UnitKind::transparent);
}

EQX_API void TQOPNB(const char* filename, std::int32_t filename_len, const std::int32_t* unit,
                    std::int32_t* error) {
    const eqx::LibraryLock lock;
    open_on_unit(filename, filename_len, unit, error, UnitKind::binary);
}

// Needs no TQINI: every engine closes unit 6 when it is freed, initialised or not.
EQX_API void TQCLOS(const std::int32_t* unit_ptr, std::int32_t* error) {
    const eqx::LibraryLock lock;
    if (!error) return;
    const int unit = value_of(unit_ptr);
    if (!valid_unit(unit)) return fail(error, err::bad_unit);
    Library& lib = library();
    auto open = lib.units.find(unit);
    if (open == lib.units.end()) return ok(error);
    std::FILE* file = open->second.file;
    lib.units.erase(open);
    if (lib.data_unit == unit) lib.data_unit = 0;
    if (file && std::fclose(file) != 0) return fail(error, err::cannot_close);
    ok(error);
}

// --- test hooks ------------------------------------------------------------------------------

EQX_API void eqx_standin_set_padding(std::int32_t mode) {
    const eqx::LibraryLock lock;
    if (mode == 0) set_text_padding(Padding::nul);
    if (mode == 1) set_text_padding(Padding::blanks);
}

EQX_API std::int32_t eqx_standin_padding(void) {
    const eqx::LibraryLock lock;
    return text_padding() == Padding::blanks ? 1 : 0;
}

EQX_API void eqx_standin_report(std::int32_t code) {
    const eqx::LibraryLock lock;
    std::int32_t ignored = 0;
    fail(&ignored, code);
}

EQX_API std::int64_t eqx_standin_equilibria(void) {
    const eqx::LibraryLock lock;
    return static_cast<std::int64_t>(library().equilibria);
}

EQX_API void eqx_standin_reset(void) {
    const eqx::LibraryLock lock;
    library().reset_image();
    set_text_padding(Padding::nul);
}

// Hold the library lock until the release, across calls: while it is held, every routine
// called from another thread waits. The only exported functions without a LibraryLock of
// their own; the thread that holds the lock must be the one that releases it (a release on
// another thread does nothing), once for each hold.
EQX_API void eqx_standin_hold_lock(void) {
    hold_library_lock();
}

EQX_API void eqx_standin_release_lock(void) {
    release_library_lock();
}

}  // extern "C"
