#include "base/log.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace qrv::log {

namespace detail {
// Constant-initialised, like everything below, so that the log outlives
// every object that might still log while the process exits.
std::array<std::atomic<uint8_t>, kCategories> wanted{{{0xff}, {0xff}, {0xff}, {0xff}, {0xff}, {0xff}, {0xff}}};
}  // namespace detail

namespace {

constexpr const char* kCategoryNames[kCategories] = {"library", "discovery", "transport", "sender",
                                                     "receiver", "router",   "finder"};
constexpr const char* kLevelNames[] = {"none", "error", "warn", "info", "debug"};
constexpr const char* kLevelTags[] = {"NONE ", "ERROR", "WARN ", "INFO ", "DEBUG"};
constexpr size_t kMaxMessage = 1024;

// One installed hook. Calls in progress are counted, so that replacing the
// hook can wait for them to end.
struct Installed {
    Installed(Hook h, Level max) : hook(std::move(h)), max_level(max) {}
    const Hook hook;
    const Level max_level;
    std::mutex mutex;  // for idle; guards the decrements of active
    std::condition_variable idle;
    std::atomic<int> active{0};
};

std::once_flag configured;
std::array<std::atomic<uint8_t>, kCategories> to_stderr{};
std::atomic<int> output_fd{STDERR_FILENO};

std::mutex state_mutex;  // guards hook and the updates of detail::wanted
std::shared_ptr<Installed> hook;
uint8_t hook_level = 0;

// The hook running on this thread, if any: lines logged from inside a hook
// do not reach a hook again.
thread_local const Installed* running_hook = nullptr;

// Lines of this thread held by its HeldLines, and how deep they nest.
struct Held {
    Category category;
    Level level;
    timespec time;
    std::string message;
};
thread_local int held_depth = 0;
thread_local std::vector<Held> held_lines;
thread_local size_t held_dropped = 0;

void update_wanted_locked()
{
    for (size_t c = 0; c < kCategories; ++c) {
        const uint8_t level = std::max(to_stderr[c].load(std::memory_order_relaxed), hook_level);
        detail::wanted[c].store(level, std::memory_order_relaxed);
    }
}

void store_thresholds(const Thresholds& t)
{
    std::lock_guard lock(state_mutex);
    for (size_t c = 0; c < kCategories; ++c)
        to_stderr[c].store(static_cast<uint8_t>(t[c]), std::memory_order_relaxed);
    update_wanted_locked();
}

std::string lowered_trimmed(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    std::string out(s);
    for (auto& ch : out)
        if (ch >= 'A' && ch <= 'Z')
            ch = char(ch - 'A' + 'a');
    return out;
}

std::shared_ptr<Installed> acquire_hook(Level level)
{
    std::lock_guard lock(state_mutex);
    if (!hook || level > hook->max_level)
        return nullptr;
    hook->active.fetch_add(1);
    return hook;
}

// Whether the hook takes lines of this level; read without counting a call.
bool hook_wants(Level level)
{
    std::lock_guard lock(state_mutex);
    return hook && level <= hook->max_level;
}

void release_hook(Installed& h)
{
    {
        std::lock_guard lock(h.mutex);
        h.active.fetch_sub(1);
    }
    h.idle.notify_all();
}

timespec now_utc()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

// Time, level and category before the message; one write(2) for the line.
void write_line(Category category, Level level, const char* message, timespec now)
{
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char line[kMaxMessage + 128];
    int n = std::snprintf(line, sizeof line, "qrv[%d] %04d-%02d-%02dT%02d:%02d:%02d.%03ldZ %s %s: %s\n",
                          int(getpid()), utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                          utc.tm_sec, long(now.tv_nsec / 1000000), kLevelTags[size_t(level)],
                          kCategoryNames[size_t(category)], message);
    if (n <= 0)
        return;
    if (size_t(n) >= sizeof line) {
        n = int(sizeof line - 1);
        line[n - 1] = '\n';
    }
    const int fd = output_fd.load(std::memory_order_relaxed);
    size_t done = 0;
    while (done < size_t(n)) {
        const ssize_t w = ::write(fd, line + done, size_t(n) - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;
        done += size_t(w);
    }
}

}  // namespace

const char* name_of(Category category)
{
    return kCategoryNames[size_t(category)];
}

const char* name_of(Level level)
{
    return kLevelNames[size_t(level)];
}

std::optional<Category> category_named(std::string_view name)
{
    for (size_t c = 0; c < kCategories; ++c)
        if (name == kCategoryNames[c])
            return Category(c);
    return std::nullopt;
}

std::optional<Level> level_named(std::string_view name)
{
    if (name == "off")
        return Level::none;
    if (name == "warning")
        return Level::warn;
    for (size_t l = 0; l < std::size(kLevelNames); ++l)
        if (name == kLevelNames[l])
            return Level(l);
    return std::nullopt;
}

Thresholds parse_thresholds(const char* value)
{
    Thresholds t;
    t.fill(Level::none);
    if (!value)
        return t;
    // The default first, whatever its place, then the categories.
    const std::string_view all(value);
    for (int pass = 0; pass < 2; ++pass) {
        size_t pos = 0;
        while (pos <= all.size()) {
            const size_t comma = std::min(all.find(',', pos), all.size());
            const std::string item = lowered_trimmed(all.substr(pos, comma - pos));
            pos = comma + 1;
            const size_t colon = item.find(':');
            if (colon == std::string::npos) {
                if (auto level = level_named(item); level && pass == 0)
                    t.fill(*level);
                continue;
            }
            const auto category = category_named(lowered_trimmed(std::string_view(item).substr(0, colon)));
            const auto level = level_named(lowered_trimmed(std::string_view(item).substr(colon + 1)));
            if (category && level && pass == 1)
                t[size_t(*category)] = *level;
        }
    }
    return t;
}

void configure()
{
    // The one reading of the environment outside Settings: a line may be
    // logged before the library starts (or without it ever starting), and
    // QRV_LOG must hold for that line too. The library's start hands over
    // the value it read (configure(value)); whichever comes first decides,
    // and both read the same variable.
    std::call_once(configured, [] { store_thresholds(parse_thresholds(std::getenv("QRV_LOG"))); });
}

void configure(const char* value)
{
    std::call_once(configured, [value] { store_thresholds(parse_thresholds(value)); });
}

void set_thresholds(const Thresholds& thresholds)
{
    configure();
    store_thresholds(thresholds);
}

void set_output_fd(int fd)
{
    output_fd.store(fd, std::memory_order_relaxed);
}

void set_hook(Hook h, Level max_level)
{
    configure();
    std::shared_ptr<Installed> next;
    if (h && max_level != Level::none)
        next = std::make_shared<Installed>(std::move(h), max_level);
    std::shared_ptr<Installed> old;
    {
        std::lock_guard lock(state_mutex);
        old = std::exchange(hook, next);
        hook_level = next ? static_cast<uint8_t>(max_level) : 0;
        update_wanted_locked();
    }
    if (!old)
        return;
    // New lines find the new hook; calls that took the old one before the
    // exchange are waited for. A hook that replaces itself does not wait for
    // its own call.
    const int own = running_hook == old.get() ? 1 : 0;
    std::unique_lock lock(old->mutex);
    old->idle.wait(lock, [&] { return old->active.load() <= own; });
}

namespace {

// Writes a formatted line to standard error and hands it to the hook, as
// each wants it.
void emit(Category category, Level level, const char* message, timespec time)
{
    const bool to_err = static_cast<uint8_t>(level) <= to_stderr[size_t(category)].load(std::memory_order_relaxed);
    if (to_err)
        write_line(category, level, message, time);
    const std::shared_ptr<Installed> h = running_hook ? nullptr : acquire_hook(level);
    if (!h)
        return;
    // Ends the counted call however the hook returns.
    struct Call {
        Installed& installed;
        explicit Call(Installed& i) : installed(i) { running_hook = &i; }
        ~Call()
        {
            running_hook = nullptr;
            release_hook(installed);
        }
    } call(*h);
    h->hook(level, category, message);
}

void hold(Category category, Level level, const char* message)
{
    if (held_lines.size() >= kMaxHeldLines) {
        ++held_dropped;
        return;
    }
    held_lines.push_back(Held{category, level, now_utc(), message});
}

}  // namespace

HeldLines::HeldLines() noexcept
{
    ++held_depth;
}

HeldLines::~HeldLines()
{
    if (--held_depth > 0)
        return;
    const int saved_errno = errno;
    try {
        // Taken out first: a hook that logs, or takes a quiet lock, starts
        // a list of its own.
        std::vector<Held> lines = std::exchange(held_lines, {});
        const size_t dropped = std::exchange(held_dropped, 0);
        for (const Held& l : lines)
            emit(l.category, l.level, l.message.c_str(), l.time);
        if (dropped) {
            const std::string text = std::to_string(dropped) + " more lines logged under a lock were dropped";
            emit(Category::library, Level::warn, text.c_str(), now_utc());
        }
    } catch (...) {
    }
    errno = saved_errno;
}

void write(Category category, Level level, const char* format, ...)
{
    const int saved_errno = errno;  // callers may still read theirs
    try {
        configure();
        const bool to_err = static_cast<uint8_t>(level) <= to_stderr[size_t(category)].load(std::memory_order_relaxed);
        const bool to_hook = !running_hook && hook_wants(level);
        if (to_err || to_hook) {
            char message[kMaxMessage];
            va_list args;
            va_start(args, format);
            const int n = std::vsnprintf(message, sizeof message, format, args);
            va_end(args);
            if (n < 0)
                message[0] = 0;
            if (n >= int(sizeof message))
                std::snprintf(message + sizeof message - 4, 4, "...");
            // One line per line: nothing from the network can start another.
            for (char* p = message; *p; ++p)
                if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f)
                    *p = '?';
            if (held_depth > 0)
                hold(category, level, message);
            else
                emit(category, level, message, now_utc());
        }
    } catch (...) {
    }
    errno = saved_errno;
}

bool Throttle::allow(uint64_t& suppressed)
{
    const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    int64_t next = next_ns_.load(std::memory_order_relaxed);
    if (now < next || !next_ns_.compare_exchange_strong(next, now + interval_ns_)) {
        suppressed_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    suppressed = suppressed_.exchange(0, std::memory_order_relaxed);
    return true;
}

}  // namespace qrv::log
