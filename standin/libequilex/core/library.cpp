// The library state of this image and the helpers of library.hpp.
#include "core/library.hpp"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/single_threaded.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <cstring>

#include "data/system.hpp"
#include "equilibrium/state.hpp"

namespace eqx {

// --- the library lock ------------------------------------------------------------------------

namespace {

// A ticket lock: a thread that wants the library draws the next ticket and waits until the
// ticket being served is its own, so waiting threads get the lock in the order they came. A
// mutex hands the lock back to the thread that just let it go when that thread asks again at
// once, as a loop of calculations does, and keeps every other thread waiting for seconds.
//
// Plain atomics with constant initialisation: the lock exists before any routine runs (no order
// of initialisation to get wrong) and is never destroyed, so a routine still running on another
// thread while the process exits finds it intact.
struct TicketLock {
    std::atomic<std::uint32_t> next_ticket{0};
    std::atomic<std::uint32_t> now_serving{0};
    // Threads asleep on now_serving: a release makes the system call that wakes them only when
    // there are any.
    std::atomic<std::uint32_t> sleepers{0};
    // The holder, so that it may take the lock again (a routine calling a routine); 0 when
    // free. Written by the holder only, so a thread that reads its own id here holds the lock.
    std::atomic<pthread_t> owner{0};
    int depth = 0;  // the holder's count of takes; touched by the holder only
};
static_assert(std::atomic<pthread_t>::is_always_lock_free);
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

constinit TicketLock library_lock;

// Short routines end within microseconds: a waiter asks this often before it goes to sleep.
constexpr int spins_before_sleep = 100;

void pause_briefly() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

void sleep_while_serving(std::uint32_t served) {
    // Sleeps unless now_serving has moved on from `served` (the kernel compares), so a release
    // between the caller's check and this call is not missed.
    syscall(SYS_futex, &library_lock.now_serving, FUTEX_WAIT_PRIVATE, served, nullptr, nullptr, 0);
}

void wake_sleepers() {
    syscall(SYS_futex, &library_lock.now_serving, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// While the process has one thread (glibc says so, and it stays so until that thread starts
// another), no other thread can draw a ticket or sleep: plain reads and writes do, at about half
// the cost of the atomic read-modify-writes.
std::uint32_t draw_ticket(TicketLock& lock) {
    if (__libc_single_threaded) {
        const std::uint32_t ticket = lock.next_ticket.load(std::memory_order_relaxed);
        lock.next_ticket.store(ticket + 1, std::memory_order_relaxed);
        return ticket;
    }
    return lock.next_ticket.fetch_add(1, std::memory_order_relaxed);
}

// The orders are sequentially consistent where a release and a waiter going to sleep cross: the
// release moves now_serving and then reads sleepers, the waiter counts itself in sleepers and
// then reads now_serving; in one total order of the four, one of them sees the other.
void take_lock() {
    TicketLock& lock = library_lock;
    const pthread_t self = pthread_self();
    if (lock.owner.load(std::memory_order_relaxed) == self) {
        ++lock.depth;
        return;
    }
    const std::uint32_t ticket = draw_ticket(lock);
    for (int spin = 0; lock.now_serving.load(std::memory_order_acquire) != ticket; ++spin) {
        if (spin < spins_before_sleep) {
            pause_briefly();
            continue;
        }
        lock.sleepers.fetch_add(1, std::memory_order_seq_cst);
        const std::uint32_t served = lock.now_serving.load(std::memory_order_seq_cst);
        if (served != ticket) sleep_while_serving(served);
        lock.sleepers.fetch_sub(1, std::memory_order_relaxed);
    }
    lock.owner.store(self, std::memory_order_relaxed);
    lock.depth = 1;
}

// Lets go of one take; the last one hands the lock to the next ticket. Nothing happens on a
// thread that does not hold the lock.
void give_back_lock() {
    TicketLock& lock = library_lock;
    if (lock.owner.load(std::memory_order_relaxed) != pthread_self()) return;
    if (--lock.depth > 0) return;
    lock.owner.store(0, std::memory_order_relaxed);
    if (__libc_single_threaded) {
        lock.now_serving.store(lock.now_serving.load(std::memory_order_relaxed) + 1,
                               std::memory_order_relaxed);
        return;
    }
    lock.now_serving.fetch_add(1, std::memory_order_seq_cst);
    if (lock.sleepers.load(std::memory_order_seq_cst) != 0) wake_sleepers();
}

// fork() copies only the calling thread. Taking the lock before the fork makes the fork wait
// until a routine running on another thread has ended, so the child gets a whole state; the
// parent just lets go. In the child the tickets drawn by the parent's other threads will never
// be used: the lock is made free again, or stays with this thread where it held the lock
// before the fork (a fork from inside a routine, or under the tests' hold hook).
void lock_before_fork() {
    take_lock();
}
void unlock_after_fork_in_parent() {
    give_back_lock();
}
void renew_after_fork_in_child() {
    TicketLock& lock = library_lock;
    lock.sleepers.store(0, std::memory_order_relaxed);
    lock.next_ticket.store(lock.now_serving.load(std::memory_order_relaxed) + 1,
                           std::memory_order_relaxed);
    give_back_lock();
}

// Registered when the image is loaded; glibc drops the handlers again if it is unloaded.
const struct ForkHandlers {
    ForkHandlers() {
        pthread_atfork(lock_before_fork, unlock_after_fork_in_parent, renew_after_fork_in_child);
    }
} fork_handlers;

}  // namespace

LibraryLock::LibraryLock() {
    take_lock();
}

LibraryLock::~LibraryLock() {
    give_back_lock();
}

void hold_library_lock() {
    take_lock();
}

void release_library_lock() {
    give_back_lock();
}

// --- the state -------------------------------------------------------------------------------

Library::Library() = default;

Library::~Library() {
    // Runs at exit, while other threads may still call in: a routine running on another thread
    // finishes first, and the lock is kept for good, so that no routine begins on a state whose
    // members are destroyed after this body.
    hold_library_lock();
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

bool same_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return ascii_lower(x) == ascii_lower(y);
           });
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
    // A detail line may quote a caller's bytes (a file name): the file stays ASCII.
    std::string escaped;
    if (!is_ascii(text)) {
        escaped = ascii_escaped(text);
        text = escaped;
    }
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
