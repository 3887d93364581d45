// The runtime's log: leveled lines in named categories, silent by default.
//
// QRV_LOG switches lines on to standard error. It is read once, by the first
// line logged or by the library's start (from its Settings), whichever comes
// first:
//   QRV_LOG=warn                 errors and warnings of every category
//   QRV_LOG=info,discovery:debug info everywhere, everything from discovery
//   QRV_LOG=none,transport:warn  only the transport's warnings and errors
// Items are separated by commas; an item is a level (the default for every
// category) or "category:level". Unknown items are ignored.
//
// An application may also take the lines itself through a hook
// (set_hook); the hook and standard error are independent of each other:
// what goes to standard error depends on QRV_LOG alone, what goes to the
// hook on the level given with it.
//
// A line that no one wants costs one relaxed atomic load: the macro checks
// the level before its arguments are evaluated or anything is formatted.
// Each line is written with a single write(2), so lines of several threads
// never interleave, and nothing is written or called with a lock of the log
// held.
#ifndef QRV_BASE_LOG_H
#define QRV_BASE_LOG_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>

namespace qrv::log {

// Lower is more severe; a threshold lets through its own level and those
// below it. `none` as a threshold lets nothing through.
enum class Level : uint8_t { none = 0, error = 1, warn = 2, info = 3, debug = 4 };

enum class Category : uint8_t { library, discovery, transport, sender, receiver, router, finder };
inline constexpr size_t kCategories = 7;

const char* name_of(Category category);
const char* name_of(Level level);
std::optional<Category> category_named(std::string_view name);
std::optional<Level> level_named(std::string_view name);

// One threshold per category.
using Thresholds = std::array<Level, kCategories>;

// Reads a QRV_LOG value (null or empty: everything off).
Thresholds parse_thresholds(const char* value);

// Reads QRV_LOG unless it was read already. Logging calls it by itself,
// so that lines logged before the library starts honour the variable.
void configure();
// The same with the value of QRV_LOG the library read at its start (null:
// unset); nothing when the log has read the variable already.
void configure(const char* value);
// Replaces what QRV_LOG said (tests, and tools that switch the log on).
void set_thresholds(const Thresholds& thresholds);

// Where standard-error lines go: a file descriptor, 2 unless changed.
void set_output_fd(int fd);

// Receives every line up to its level, with the bare message (no time,
// level or category in the text). Called on the thread that logs, outside
// every lock of the log; lines logged by a hook on its own thread are not
// handed to a hook again.
using Hook = std::function<void(Level level, Category category, const char* message)>;
// Installs hook (an empty one removes it) for lines up to max_level. When
// this returns, the hook it replaced is running on no thread (other than
// the calling one, when a hook replaces itself) and is never called again.
void set_hook(Hook hook, Level max_level);

namespace detail {
// The most verbose level any output wants, per category. Before QRV_LOG is
// read every level passes, so that the first line reads it.
extern std::array<std::atomic<uint8_t>, kCategories> wanted;
}  // namespace detail

inline bool enabled(Category category, Level level)
{
    return static_cast<uint8_t>(level) <=
           detail::wanted[static_cast<size_t>(category)].load(std::memory_order_relaxed);
}

// Formats and hands out one line; use QRV_LOG_AT, which checks the level
// first. Control characters in the message become '?', and a message longer
// than about 1000 bytes is cut.
void write(Category category, Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Holds the lines this thread logs, instead of writing them or handing them
// to the hook, until the outermost HeldLines of the thread ends; then they
// go out in order, each with the time it was logged (at most kMaxHeldLines;
// more are dropped and counted in a line of their own). See QuietLock.
class HeldLines {
public:
    HeldLines() noexcept;
    ~HeldLines();
    HeldLines(const HeldLines&) = delete;
    HeldLines& operator=(const HeldLines&) = delete;
};
inline constexpr size_t kMaxHeldLines = 64;

// A lock under which nothing is logged: the lines its holder logs are held
// until it is released. The hook may call back into the runtime and take
// the same lock, and writing standard error is I/O, so neither runs under a
// lock of the runtime.
template <class Mutex>
class QuietLock {
public:
    explicit QuietLock(Mutex& mutex) : lock_(mutex) {}

private:
    HeldLines held_;  // first: it ends after the lock is released
    std::lock_guard<Mutex> lock_;
};

// At most one line per interval for a kind of event that can repeat fast
// (bad packets, failed retries). allow() also says how many lines it held
// back since the last one it let through.
class Throttle {
public:
    explicit Throttle(std::chrono::milliseconds interval) : interval_ns_(interval.count() * 1000000) {}
    bool allow(uint64_t& suppressed);

private:
    const int64_t interval_ns_;
    std::atomic<int64_t> next_ns_{0};
    std::atomic<uint64_t> suppressed_{0};
};

}  // namespace qrv::log

// QRV_LOG_AT(warn, discovery, "could not join %s", name): the arguments
// are evaluated only when the line is wanted.
#define QRV_LOG_AT(level, category, ...)                                                                    \
    do {                                                                                                   \
        if (::qrv::log::enabled(::qrv::log::Category::category, ::qrv::log::Level::level))                  \
            ::qrv::log::write(::qrv::log::Category::category, ::qrv::log::Level::level, __VA_ARGS__);        \
    } while (0)

#endif
