// State of one loaded image of the stand-in library, and the small helpers every routine uses.
//
// Every routine lives in some folder under standin/libequilex/ and works on library(): one object
// with static storage in this image, so a copy of the .so under another name is a second,
// independent library while every load of the same file shares it.
//
// Every exported routine (the TQ* routines and the eqx_standin_* hooks) begins with
//
//     const eqx::LibraryLock lock;
//
// as its first line, before it looks at any argument, and so holds the library-wide lock of this
// image for its whole body. Callers run the library from several threads at once (ctypes and the
// engine release the interpreter lock around a foreign call), and the state below is one object
// per image with no lock of its own, so no routine may touch it without holding this one.
//
// Rules every routine keeps (the binding and its tests rely on them):
//   - it takes the library lock first (above);
//   - the error number is always written: ok() or fail(), or a guard that failed;
//   - on failure nothing else is written: outputs keep the caller's presets;
//   - input texts go through text_in() (never strlen), output texts through text_out();
//   - pointers may be null (ctypes passes None as NULL): read inputs with value_of(), write
//     outputs with put(); a null error pointer makes the routine do nothing;
//   - nothing throws out of an exported routine: wrap work that can throw in guarded().
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "data/limits.hpp"

namespace eqx {

struct System;  // data/system.hpp
namespace equilibrium {
struct CalculationState;  // equilibrium/state.hpp
}

// Error numbers that several folders use (the full table with texts is in core/messages.cpp).
namespace err {
inline constexpr int not_initialised = 101;
inline constexpr int unit_not_open = 102;
inline constexpr int bad_data_file = 103;
inline constexpr int no_data_file = 104;
inline constexpr int bad_unit = 105;
inline constexpr int bad_language = 106;
inline constexpr int cannot_open = 107;
inline constexpr int cannot_close = 108;
inline constexpr int cannot_write = 109;
inline constexpr int bad_option = 201;
inline constexpr int option_not_implemented = 203;
inline constexpr int amount_unit_reset = 204;
inline constexpr int name_too_long = 301;
inline constexpr int ambiguous_name = 302;
// Look-ups, indices and stored data.
inline constexpr int component_not_found = 305;
inline constexpr int phase_not_found = 303;
inline constexpr int constituent_not_found = 304;
inline constexpr int species_not_found = 311;
inline constexpr int status_fixed = 309;
inline constexpr int statuses_inconsistent = 310;
inline constexpr int component_index = 401;
inline constexpr int phase_index = 402;
inline constexpr int constituent_index = 403;
inline constexpr int sublattice_index = 406;
inline constexpr int species_index = 407;
// Conditions, streams and calculations.
inline constexpr int conditions_and_streams = 501;  // IA/MU/AC conditions beside stream amounts
inline constexpr int not_for_components = 502;
inline constexpr int negative_stream_amount = 503;
inline constexpr int stream_option_refused = 504;
inline constexpr int limits_reversed = 505;
inline constexpr int limits_equal = 506;
inline constexpr int upper_limit_negative = 507;
inline constexpr int no_input = 508;
inline constexpr int bad_pressure = 509;
inline constexpr int bad_temperature = 510;
inline constexpr int no_target = 511;
inline constexpr int no_target_variable = 512;
inline constexpr int bad_input = 513;
inline constexpr int not_incoming = 514;
inline constexpr int no_result = 516;
// Results.
inline constexpr int no_incoming_result = 601;
inline constexpr int no_system_activity = 602;
inline constexpr int not_for_component = 603;
inline constexpr int fraction_of_no_phase = 604;
inline constexpr int no_fraction = 605;
inline constexpr int activity_unavailable = 606;
inline constexpr int no_pair_fractions = 607;
inline constexpr int stream_eliminated = 608;
inline constexpr int no_ph_eh = 609;
// The equilibrium calculator and targets.
inline constexpr int too_many_assemblies = 702;
inline constexpr int unbounded_input = 703;
inline constexpr int balance_unsolved = 705;
inline constexpr int constant_volume_failed = 706;
inline constexpr int target_iterations = 707;
inline constexpr int target_held_potential = 708;
inline constexpr int target_negative_amount = 709;
inline constexpr int bad_target_phase = 710;
inline constexpr int target_not_found = 711;
inline constexpr int target_below_lowest = 712;
inline constexpr int target_above_highest = 713;
// The stored-data routines.
inline constexpr int no_ascii_data = 1000;
inline constexpr int cp_range_index = 1003;
inline constexpr int no_molar_volume = 1004;
inline constexpr int no_real_gas = 1005;
inline constexpr int no_magnetic = 1006;
inline constexpr int not_aqueous = 1007;
inline constexpr int no_excess_gibbs = 1008;
inline constexpr int no_excess_magnetic = 1009;
inline constexpr int first_index = 1021;
inline constexpr int second_index = 1022;
inline constexpr int third_index = 1023;
inline constexpr int fourth_index = 1024;
}  // namespace err

inline constexpr int version_number = 634;  // 6.3.4: every routine of the header exists

// What a unit was opened for: TQOPEN any use, TQOPNA ASCII, TQOPNT transparent, TQOPNB binary.
enum class UnitKind { any, ascii, transparent, binary };
// Where the loaded system came from.
enum class DataFormat { none, ascii, transparent, binary };

// A file open on a unit. The stream position is not kept for readers: messages are appended at
// the end, so a reader rewinds (or reads by path) before it reads.
struct OpenUnit {
    std::string path;
    std::FILE* file = nullptr;
    UnitKind kind = UnitKind::any;
    bool writable = false;
};

struct Library {
    Library();
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    bool initialised = false;

    // I/O options (TQGIO/TQCIO); these are the values TQINI sets.
    int file_unit = 10;
    int error_unit = 6;
    int list_unit = 6;
    int language = 1;  // 1 English, 2 German, 3 French, 4 Swedish, 5 Finnish

    std::map<int, OpenUnit> units;  // survives TQINI

    std::unique_ptr<System> system;  // nullptr: no data-file read
    DataFormat data_format = DataFormat::none;
    // Unit and path the ASCII data was read from. TQWASC appends the commentary block only while
    // data_unit > 0: closing or reopening that unit sets it to 0 (see ascii_source_open()).
    int data_unit = 0;
    std::string data_path;

    // Current message (TQERR): its number (0 for none or the copyright text) and its text, in
    // the language that was set when it was made.
    int message_number = 0;
    std::string message;

    // Conditions, units, limits, streams, the phase map and the last result of the equilibrium
    // calculations; made on first use (equilibrium::calculation_state()).
    std::unique_ptr<equilibrium::CalculationState> calculation;

    // Single equilibria calculated by this image, never reset: what a map or a target costs
    // is the difference across its calls (the test hook eqx_standin_equilibria reads it).
    std::uint64_t equilibria = 0;

    // Everything back to the state after TQINI except the open units (TQINI itself uses this).
    void reset();
    // Also closes every unit and forgets TQINI: the state of a freshly loaded image.
    void reset_image();
};

Library& library();

// Holds the library-wide lock of this image while it lives: one routine runs at a time, its
// effects complete before the next begins. The lock is recursive, so a routine may call another
// exported routine, or take a LibraryLock in a helper it shares with others, without deadlock.
// It is fair: threads get it in the order they asked for it, so a thread calling routines back
// to back does not keep others waiting.
// It is per image: a copy of the .so under another name has its own state and its own lock.
// A process forked while another thread runs a routine waits for that routine to end, so the
// child starts with a whole state and a free lock (see library.cpp).
class LibraryLock {
  public:
    LibraryLock();
    ~LibraryLock();
    LibraryLock(const LibraryLock&) = delete;
    LibraryLock& operator=(const LibraryLock&) = delete;
};
// Take and let go of the lock outside a scope: for the test hooks that hold it across calls. A
// release on a thread that does not hold the lock does nothing.
void hold_library_lock();
void release_library_lock();

// True while the file the ASCII data was read from is still open on its unit.
bool ascii_source_open();

// --- results -------------------------------------------------------------------------------

// Success: writes 0. Leaves the current message as it is (TQERR still shows the last one).
void ok(std::int32_t* error);
// Failure: writes code, makes its text (in the current language) the current message and writes
// it, then the detail line if given (e.g. "line 12: unknown phase"), to the ERROR unit.
void fail(std::int32_t* error, int code, std::string_view detail = {});
// Guards: true when the routine may go on; otherwise they have already failed with 101 / 104.
bool need_init(std::int32_t* error);
bool need_system(std::int32_t* error);

// Runs body; an exception leaving it (a bad_alloc, a parser's error) becomes failure_code with
// the exception's text as detail line, so nothing throws across the C boundary.
template <class Body>
void guarded(std::int32_t* error, int failure_code, Body&& body) {
    try {
        body();
    } catch (const std::exception& caught) {
        fail(error, failure_code, caught.what());
    } catch (...) {
        fail(error, failure_code);
    }
}

// Message text of an error number in a language (1-5; others give English), in ASCII.
// Numbers without a text get "Error <number>".
std::string message_text(int code, int language);
// The copyright message (TQCPRT).
std::string copyright_text();
// A text as lines of at most width characters, broken at blanks (a longer word is cut).
std::vector<std::string> wrap_lines(std::string_view text, std::size_t width = 80);
// A text as at most `count` fields of at most `width` characters, cut where neither side is
// white space, so that the fields stripped and joined with nothing between give the text back.
std::vector<std::string> message_fields(std::string_view text, std::size_t width,
                                        std::size_t count);

// --- pointers --------------------------------------------------------------------------------

inline std::int32_t value_of(const std::int32_t* p) {
    return p ? *p : 0;
}
inline double value_of(const double* p) {
    return p ? *p : 0.0;
}
inline void put(std::int32_t* p, std::int32_t value) {
    if (p) *p = value;
}
inline void put(double* p, double value) {
    if (p) *p = value;
}

// --- texts -------------------------------------------------------------------------------------

// A caller's text: exactly len bytes (NULs included), never strlen; len <= 0 or null: empty.
std::string_view text_in(const char* text, int len);
// An output text: writes at most len bytes; longer values are truncated, shorter ones end with a
// NUL or are blank-padded to len, by the padding mode. Null buffer or len <= 0: nothing.
void text_out(char* buffer, int len, std::string_view value);
enum class Padding { nul, blanks };
Padding text_padding();
void set_text_padding(Padding padding);

// Without trailing blanks.
std::string_view trim_right(std::string_view text);
// The lower-case letter of an ASCII capital, every other byte as it is: texts are compared on
// ASCII letters only, whatever the process's locale (a Latin-1 locale pairs bytes above 127, a
// Turkish one makes "I" the capital of a dotless i).
inline char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
// Equal regardless of ASCII case and trailing blanks: how option texts are compared.
bool same_text(std::string_view a, std::string_view b);

// --- names -------------------------------------------------------------------------------------

inline constexpr std::size_t max_name_length = 24;

// Look-up of a name among count names (name_at(i) gives name i, 0-based): case-insensitive,
// trailing blanks ignored; an exact match wins, else a unique prefix. Returns the 0-based index,
// or -1 after failing with 301 (over 24 characters), 302 (several prefixes match) or not_found
// (no match, empty name).
int find_name(std::int32_t* error, std::string_view wanted, int count,
              const std::function<std::string_view(int)>& name_at, int not_found);
// The same without reporting: index >= 0, or -(error number).
int match_name(std::string_view wanted, int count,
               const std::function<std::string_view(int)>& name_at, int not_found);

// --- units -------------------------------------------------------------------------------------

// Units 1-10 and 20 upwards. 0 and negative numbers name no unit and are refused like 11-19:
// they come from callers that passed a 0-based or missing number, never from a real unit.
bool valid_unit(int unit);
// The file open on a unit, or nullptr.
OpenUnit* open_unit(int unit);
// Appends the text verbatim (plus a line end if missing) to the file open on the LIST unit,
// flushed at once; nothing happens when no file is open there.
void write_list(std::string_view text);
// Appends the text word-wrapped to 80 columns to the file open on the ERROR unit, flushed at
// once; nothing happens when no file is open there.
void write_error(std::string_view text);

}  // namespace eqx
