// The library state of this image and the helpers of library.hpp.
#include "core/library.hpp"

#include <pthread.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "data/system.hpp"
#include "equilibrium/state.hpp"

namespace eqx {

// --- the library lock ------------------------------------------------------------------------

namespace {

// A plain mutex with a static initialiser: it exists before any routine runs (no order of
// initialisation to get wrong) and is never destroyed, so a routine still running on another
// thread while the process exits finds it intact.
pthread_mutex_t library_mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

// fork() copies only the calling thread. Taking the lock before the fork makes the fork wait
// until a routine running on another thread has ended, so the child gets a whole state; the
// child then needs a fresh mutex (the copy is owned by a thread id the child does not have),
// the parent just lets go.
void lock_before_fork() {
    pthread_mutex_lock(&library_mutex);
}
void unlock_after_fork_in_parent() {
    pthread_mutex_unlock(&library_mutex);
}
void renew_after_fork_in_child() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&library_mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

// Registered when the image is loaded; glibc drops the handlers again if it is unloaded.
const struct ForkHandlers {
    ForkHandlers() {
        pthread_atfork(lock_before_fork, unlock_after_fork_in_parent, renew_after_fork_in_child);
    }
} fork_handlers;

}  // namespace

LibraryLock::LibraryLock() {
    pthread_mutex_lock(&library_mutex);
}

LibraryLock::~LibraryLock() {
    pthread_mutex_unlock(&library_mutex);
}

void hold_library_lock() {
    pthread_mutex_lock(&library_mutex);
}

void release_library_lock() {
    pthread_mutex_unlock(&library_mutex);
}

// --- the state -------------------------------------------------------------------------------

Library::Library() = default;

Library::~Library() {
    // Runs at exit: a routine still running on another thread finishes first.
    const eqx::LibraryLock lock;
    // A process that never closed its units (an engine freed at exit) still gets its log
    // files flushed and closed.
    for (auto& [number, unit] : units) {
        if (unit.file) std::fclose(unit.file);
    }
}

void Library::reset() {
    file_unit = 10;
    error_unit = 6;
    list_unit = 6;
    language = 1;
    system.reset();
    data_format = DataFormat::none;
    data_unit = 0;
    data_path.clear();
    message_number = 0;
    message.clear();
    calculation.reset();
}

void Library::reset_image() {
    for (auto& [number, unit] : units) {
        if (unit.file) std::fclose(unit.file);
    }
    units.clear();
    reset();
    initialised = false;
}

Library& library() {
    static Library the_library;
    return the_library;
}

bool ascii_source_open() {
    const Library& lib = library();
    return lib.data_format == DataFormat::ascii && lib.data_unit > 0 &&
           lib.units.contains(lib.data_unit);
}

// --- results -------------------------------------------------------------------------------

void ok(std::int32_t* error) {
    put(error, 0);
}

void fail(std::int32_t* error, int code, std::string_view detail) {
    put(error, code);
    Library& lib = library();
    lib.message_number = code;
    lib.message = message_text(code, lib.language);
    write_error(lib.message);
    if (!detail.empty()) write_error(detail);
}

bool need_init(std::int32_t* error) {
    if (library().initialised) return true;
    fail(error, err::not_initialised);
    return false;
}

bool need_system(std::int32_t* error) {
    if (!need_init(error)) return false;
    if (library().system) return true;
    fail(error, err::no_data_file);
    return false;
}

std::vector<std::string> wrap_lines(std::string_view text, std::size_t width) {
    std::vector<std::string> lines;
    if (width == 0) return lines;
    // Explicit line ends are kept; each paragraph is filled word by word.
    std::size_t paragraph_start = 0;
    while (paragraph_start <= text.size()) {
        std::size_t paragraph_end = text.find('\n', paragraph_start);
        if (paragraph_end == std::string_view::npos) paragraph_end = text.size();
        std::string_view paragraph = text.substr(paragraph_start, paragraph_end - paragraph_start);
        std::string line;
        std::size_t pos = 0;
        while (pos < paragraph.size()) {
            if (paragraph[pos] == ' ') {
                ++pos;
                continue;
            }
            std::size_t word_end = paragraph.find(' ', pos);
            if (word_end == std::string_view::npos) word_end = paragraph.size();
            std::string_view word = paragraph.substr(pos, word_end - pos);
            pos = word_end;
            while (!word.empty()) {
                std::size_t needed = line.empty() ? word.size() : line.size() + 1 + word.size();
                if (needed <= width) {
                    if (!line.empty()) line += ' ';
                    line += word;
                    word = {};
                } else if (!line.empty()) {
                    lines.push_back(std::move(line));
                    line.clear();
                } else {
                    line.assign(word.substr(0, width));
                    word.remove_prefix(width);
                    lines.push_back(std::move(line));
                    line.clear();
                }
            }
        }
        if (!line.empty()) lines.push_back(std::move(line));
        if (paragraph_end == text.size()) break;
        paragraph_start = paragraph_end + 1;
    }
    return lines;
}

std::vector<std::string> message_fields(std::string_view text, std::size_t width,
                                        std::size_t count) {
    std::vector<std::string> fields;
    if (width == 0) return fields;
    const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && fields.size() < count) {
        std::size_t cut = std::min(width, text.size());
        if (cut < text.size()) {
            // The reader strips each field and joins them with nothing between: a blank on
            // either side of a cut would be lost, so cut inside a word, as late as possible.
            std::size_t inside = cut;
            while (inside > 0 && (blank(text[inside - 1]) || blank(text[inside]))) --inside;
            if (inside > 0) cut = inside;
        }
        fields.emplace_back(text.substr(0, cut));
        text.remove_prefix(cut);
    }
    return fields;
}

// --- texts -------------------------------------------------------------------------------------

namespace {
Padding padding_mode = Padding::nul;

char lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}
}  // namespace

std::string_view text_in(const char* text, int len) {
    if (!text || len <= 0) return {};
    return {text, static_cast<std::size_t>(len)};
}

void text_out(char* buffer, int len, std::string_view value) {
    if (!buffer || len <= 0) return;
    const std::size_t room = static_cast<std::size_t>(len);
    const std::size_t count = std::min(room, value.size());
    if (count > 0) std::memcpy(buffer, value.data(), count);
    if (count == room) return;
    if (padding_mode == Padding::blanks) {
        std::memset(buffer + count, ' ', room - count);
    } else {
        buffer[count] = '\0';
    }
}

Padding text_padding() {
    return padding_mode;
}
void set_text_padding(Padding padding) {
    padding_mode = padding;
}

std::string_view trim_right(std::string_view text) {
    std::size_t end = text.size();
    while (end > 0 && text[end - 1] == ' ') --end;
    return text.substr(0, end);
}

bool same_text(std::string_view a, std::string_view b) {
    return same_ignoring_case(trim_right(a), trim_right(b));
}

// --- names -------------------------------------------------------------------------------------

int match_name(std::string_view wanted, int count,
               const std::function<std::string_view(int)>& name_at, int not_found) {
    wanted = trim_right(wanted);
    if (wanted.size() > max_name_length) return -err::name_too_long;
    if (wanted.empty()) return -not_found;
    // Names may differ in case alone (Co and CO): the name written as asked wins, then the
    // one name equal in another case, then the one name it abbreviates.
    int case_match = -1;
    int case_matches = 0;
    int prefix_match = -1;
    int prefix_matches = 0;
    for (int i = 0; i < count; ++i) {
        std::string_view name = trim_right(name_at(i));
        if (name == wanted) return i;
        if (same_ignoring_case(name, wanted)) {
            case_match = i;
            ++case_matches;
        } else if (name.size() > wanted.size() &&
                   same_ignoring_case(name.substr(0, wanted.size()), wanted)) {
            prefix_match = i;
            ++prefix_matches;
        }
    }
    if (case_matches == 1) return case_match;
    if (case_matches > 1) return -err::ambiguous_name;
    if (prefix_matches == 1) return prefix_match;
    if (prefix_matches > 1) return -err::ambiguous_name;
    return -not_found;
}

int find_name(std::int32_t* error, std::string_view wanted, int count,
              const std::function<std::string_view(int)>& name_at, int not_found) {
    const int found = match_name(wanted, count, name_at, not_found);
    if (found < 0) {
        fail(error, -found);
        return -1;
    }
    return found;
}

// --- units -------------------------------------------------------------------------------------

bool valid_unit(int unit) {
    return (unit >= 1 && unit <= 10) || unit >= 20;
}

OpenUnit* open_unit(int unit) {
    auto& units = library().units;
    auto found = units.find(unit);
    return found == units.end() ? nullptr : &found->second;
}

namespace {
void append_to_unit(int unit_number, std::string_view text, bool wrap) {
    OpenUnit* unit = open_unit(unit_number);
    if (!unit || !unit->file) return;
    std::FILE* file = unit->file;
    // Appending keeps what a log already holds; the seek is also what C requires between a read
    // and a write on the same stream.
    std::fseek(file, 0, SEEK_END);
    if (wrap) {
        for (const std::string& line : wrap_lines(text)) {
            std::fwrite(line.data(), 1, line.size(), file);
            std::fputc('\n', file);
        }
    } else {
        std::fwrite(text.data(), 1, text.size(), file);
        if (text.empty() || text.back() != '\n') std::fputc('\n', file);
    }
    std::fflush(file);
}
}  // namespace

void write_list(std::string_view text) {
    append_to_unit(library().list_unit, text, false);
}

void write_error(std::string_view text) {
    append_to_unit(library().error_unit, text, true);
}

}  // namespace eqx
