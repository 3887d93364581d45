// Recording stand-in for libqrv.so.3, used to test the programs.
//
// Every call is written as one line to the file named by QRV_DOUBLE_LOG:
//   <operation> t=<ns since the first call> key=value ... -> <result>
// Text values are quoted (or null); buffers are summarised by summary.h,
// reading only the bytes their record describes. Nothing here really waits:
// pacing and timeouts call nanosleep, which the virtual clock shim turns
// into clock advances.
//
// Scripting, all optional:
//   QRV_DOUBLE_INIT_FAIL=1         QRVlib_initialize returns false
//   QRV_DOUBLE_NULL_CREATE=a,b     these creates return null (send_create,
//                                  find_create_v2, recv_create_v3, routing_create)
//   QRV_DOUBLE_SIGINT=op:N,...     raise(SIGINT) inside the Nth call of op
//                                  (op without the QRVlib_ prefix)
//   QRV_DOUBLE_WAITS=r[@ms],...    find_wait_for_sources results per call;
//                                  afterwards false after the full timeout
//   QRV_DOUBLE_SOURCES=l1;l2;...   source lists per query, entries split by
//                                  '|', each "name" or "name=locator"; the last
//                                  list repeats; unset: no sources
//   QRV_DOUBLE_CAPTURES=r[@ms],... recv_capture_v2 results per call;
//                                  afterwards 0 after the full timeout
//   QRV_DOUBLE_PTZ=1               the receiver supports camera control
//   QRV_DOUBLE_DUMP=N:path         write the bytes of video send N (from 0)
//   QRV_DOUBLE_NO_HASH=1           summarise mixed buffers as "mixed"
//   QRV_DOUBLE_VIDEO_COST_NS=n     extra virtual time per video frame sent
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "qrvlib_operations.h"
#include "summary.h"

extern "C" int __asan_address_is_poisoned(void const volatile* addr) __attribute__((weak));

namespace {

const char* env(const char* name)
{
    const char* v = getenv(name);
    return v ? v : "";
}

std::vector<std::string> split(const std::string& text, char sep)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(sep, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

// A scripted result with an optional delay in milliseconds.
struct Timed {
    int32_t value = 0;
    int64_t delay_ms = -1;  // -1: the default for that operation
};

std::vector<Timed> parse_timed(const char* text)
{
    std::vector<Timed> out;
    if (!*text)
        return out;
    for (const std::string& item : split(text, ',')) {
        Timed t;
        const size_t at = item.find('@');
        t.value = (int32_t)strtol(item.substr(0, at).c_str(), nullptr, 10);
        if (at != std::string::npos)
            t.delay_ms = strtoll(item.c_str() + at + 1, nullptr, 10);
        out.push_back(t);
    }
    return out;
}

struct SourceEntry {
    std::string name, locator;
};

struct Script {
    std::string log_path;
    bool init_fail = false;
    std::set<std::string> null_creates;
    std::map<std::string, std::set<long>> sigint_at;
    std::vector<Timed> waits, captures;
    bool sources_set = false;
    std::vector<std::vector<SourceEntry>> source_lists;
    bool ptz = false;
    long dump_frame = -1;
    std::string dump_path;
    bool hash = true;
    int64_t video_cost_ns = 0;

    Script()
    {
        log_path = env("QRV_DOUBLE_LOG");
        init_fail = *env("QRV_DOUBLE_INIT_FAIL") == '1';
        if (*env("QRV_DOUBLE_NULL_CREATE"))
            for (const std::string& n : split(env("QRV_DOUBLE_NULL_CREATE"), ','))
                null_creates.insert(n);
        if (*env("QRV_DOUBLE_SIGINT"))
            for (const std::string& item : split(env("QRV_DOUBLE_SIGINT"), ',')) {
                const size_t colon = item.find(':');
                if (colon != std::string::npos)
                    sigint_at[item.substr(0, colon)].insert(strtol(item.c_str() + colon + 1, nullptr, 10));
            }
        waits = parse_timed(env("QRV_DOUBLE_WAITS"));
        captures = parse_timed(env("QRV_DOUBLE_CAPTURES"));
        if (getenv("QRV_DOUBLE_SOURCES")) {
            sources_set = true;
            for (const std::string& list : split(env("QRV_DOUBLE_SOURCES"), ';')) {
                std::vector<SourceEntry> entries;
                if (!list.empty())
                    for (const std::string& e : split(list, '|')) {
                        const size_t eq = e.find('=');
                        if (eq == std::string::npos)
                            entries.push_back({e, "qrv://127.0.0.1:5960?id=" + e});
                        else
                            entries.push_back({e.substr(0, eq), e.substr(eq + 1)});
                    }
                source_lists.push_back(entries);
            }
        }
        ptz = *env("QRV_DOUBLE_PTZ") == '1';
        const std::string dump = env("QRV_DOUBLE_DUMP");
        const size_t colon = dump.find(':');
        if (colon != std::string::npos) {
            dump_frame = strtol(dump.c_str(), nullptr, 10);
            dump_path = dump.substr(colon + 1);
        }
        hash = *env("QRV_DOUBLE_NO_HASH") != '1';
        video_cost_ns = strtoll(env("QRV_DOUBLE_VIDEO_COST_NS"), nullptr, 10);
    }
};

const Script& script()
{
    static const Script s;
    return s;
}

struct Sender {
    std::string name;
    bool pace_video = true, pace_audio = true;
    std::vector<const void*> buffers;  // first few distinct data pointers
    bool destroyed = false;
};

struct Finder {
    std::vector<std::string> names, locators;
    std::unique_ptr<QRVlib_source_t[]> list;  // fresh for every query
    uint32_t count = 0;
    bool destroyed = false;
};

struct Receiver {
    std::string name, locator, receiver_name;
    bool destroyed = false;
};

struct Router {
    std::string name;
    bool destroyed = false;
};

// Objects are kept after destruction so that a second use of a handle is
// reported instead of touching freed memory.
struct State {
    std::mutex mutex;
    std::map<std::string, long> calls;
    std::vector<std::unique_ptr<Sender>> senders;
    std::vector<std::unique_ptr<Finder>> finders;
    std::vector<std::unique_ptr<Receiver>> receivers;
    std::vector<std::unique_ptr<Router>> routers;
    size_t waits = 0, captures = 0, queries = 0;
    long video_frames = 0;
    bool t0_set = false;
    int64_t t0 = 0;
    int log_fd = -1;
};

State& state()
{
    static State* s = new State;  // lives for the whole process
    return *s;
}

int64_t monotonic_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

void sleep_ns(int64_t ns)
{
    if (ns <= 0)
        return;
    timespec req{(time_t)(ns / 1000000000), (long)(ns % 1000000000)};
    timespec rem{};
    while (nanosleep(&req, &rem) != 0 && errno == EINTR)
        req = rem;
}

// One log line under construction.
class Line {
public:
    Line(State& st, const char* op, const char* short_name) : st_(st), short_(short_name)
    {
        number_ = ++st_.calls[short_name];
        const int64_t now = monotonic_ns();
        if (!st_.t0_set) {
            st_.t0 = now;
            st_.t0_set = true;
        }
        text_ = op;
        add("t=%" PRId64, now - st_.t0);
    }

    void add(const char* fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        char buf[512];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(buf, sizeof buf, fmt, ap);
        va_end(ap);
        text_ += ' ';
        text_ += buf;
    }

    void text(const char* key, const char* value)
    {
        text_ += ' ';
        text_ += key;
        text_ += '=';
        text_ += quote(value);
    }

    // Writes the line with its result; returns whether SIGINT is due now.
    bool finish(const std::string& result)
    {
        text_ += " -> " + result + "\n";
        const Script& sc = script();
        if (st_.log_fd < 0 && !sc.log_path.empty())
            st_.log_fd = open(sc.log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (st_.log_fd >= 0) {
            const char* p = text_.data();
            size_t left = text_.size();
            while (left > 0) {
                const ssize_t n = write(st_.log_fd, p, left);
                if (n <= 0)
                    break;
                p += n;
                left -= (size_t)n;
            }
        }
        const auto it = sc.sigint_at.find(short_);
        return it != sc.sigint_at.end() && it->second.count(number_);
    }

    static std::string quote(const char* s)
    {
        if (!s)
            return "null";
        std::string out = "\"";
        const size_t n = strnlen(s, 4096);
        for (size_t i = 0; i < n; i++) {
            const unsigned char c = (unsigned char)s[i];
            if (c == '"' || c == '\\' || c < 0x20 || c >= 0x7f) {
                char esc[8];
                snprintf(esc, sizeof esc, "\\x%02x", c);
                out += esc;
            } else {
                out += (char)c;
            }
        }
        return out + "\"";
    }

private:
    State& st_;
    std::string short_;
    std::string text_;
    long number_ = 0;
};

template <class T>
std::string handle_name(const std::vector<std::unique_ptr<T>>& objects, const void* handle, char prefix)
{
    if (!handle)
        return "null";
    for (size_t i = 0; i < objects.size(); i++)
        if (objects[i].get() == handle)
            return std::string(1, prefix) + std::to_string(i + 1) + (objects[i]->destroyed ? "(destroyed)" : "");
    return "unknown";
}

template <class T>
T* find_live(const std::vector<std::unique_ptr<T>>& objects, const void* handle)
{
    for (const auto& o : objects)
        if (o.get() == handle && !o->destroyed)
            return o.get();
    return nullptr;
}

// Whether a buffer handed over earlier is still allocated: the sanitizer
// marks freed memory; without it, freed large blocks are unmapped.
bool buffer_live(const void* p)
{
    if (__asan_address_is_poisoned)
        return !__asan_address_is_poisoned(p);
    const uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
    return msync((void*)((uintptr_t)p & ~(page - 1)), page, MS_ASYNC) == 0;
}

std::string live_buffers(const Sender* s)
{
    if (!s)
        return "live=0/0";
    int live = 0;
    for (const void* p : s->buffers)
        live += buffer_live(p) ? 1 : 0;
    return "live=" + std::to_string(live) + "/" + std::to_string(s->buffers.size());
}

bool trigger_interrupt(bool due)
{
    if (due)
        raise(SIGINT);
    return due;
}

std::string fourcc_text(uint32_t code)
{
    char c[5];
    for (int i = 0; i < 4; i++) {
        c[i] = (char)((code >> (8 * i)) & 0xff);
        if (c[i] < 0x20 || c[i] > 0x7e) {
            char hex[16];
            snprintf(hex, sizeof hex, "0x%08x", code);
            return hex;
        }
    }
    c[4] = 0;
    return c;
}

constexpr int64_t max_described_bytes = INT64_C(1) << 32;

void add_pointer(Line& line, const char* key, const void* p)
{
    if (p)
        line.add("%s=%p", key, p);
    else
        line.add("%s=null", key);
}

// Logs a video frame's fields and content; returns the pacing delay.
int64_t log_video(State& st, Line& line, Sender* sender, const QRVlib_video_frame_v2_t* f)
{
    const Script& sc = script();
    line.add("width=%d height=%d fourcc=%s frame_rate=%d/%d aspect_ratio=%g frame_format=%u timecode=%" PRId64,
             f->width, f->height, fourcc_text((uint32_t)f->fourcc).c_str(), f->frame_rate_num, f->frame_rate_den,
             (double)f->aspect_ratio, (unsigned)f->frame_format, f->timecode);
    add_pointer(line, "data", f->data);
    line.add("line_stride=%d", f->line_stride);
    line.text("metadata", f->metadata);
    line.add("timestamp=%" PRId64, f->timestamp);

    const int64_t bytes = (int64_t)f->height * f->line_stride;
    if (!f->data || f->width <= 0 || f->height <= 0 || f->line_stride <= 0 || bytes > max_described_bytes) {
        line.add("bytes=invalid");
    } else {
        line.add("bytes=%" PRId64 " %s", bytes, qrv_double::summarize(f->data, (size_t)bytes, sc.hash).c_str());
        if (st.video_frames == sc.dump_frame) {
            const int fd = open(sc.dump_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0) {
                const uint8_t* p = f->data;
                int64_t left = bytes;
                while (left > 0) {
                    const ssize_t n = write(fd, p, (size_t)left);
                    if (n <= 0)
                        break;
                    p += n;
                    left -= n;
                }
                close(fd);
            }
        }
    }
    line.add("frame=%ld", st.video_frames);
    st.video_frames++;

    if (sender && f->data && sender->buffers.size() < 4) {
        bool known = false;
        for (const void* b : sender->buffers)
            known = known || b == f->data;
        if (!known)
            sender->buffers.push_back(f->data);
    }
    int64_t delay = sc.video_cost_ns;
    if (sender && sender->pace_video && f->frame_rate_num > 0 && f->frame_rate_den > 0)
        delay += (int64_t)f->frame_rate_den * 1000000000 / f->frame_rate_num;
    return delay;
}

int64_t audio_delay(const Sender* sender, int32_t sample_rate, int32_t samples)
{
    if (!sender || !sender->pace_audio || sample_rate <= 0 || samples <= 0)
        return 0;
    return (int64_t)samples * 1000000000 / sample_rate;
}

template <class T>
T* create_object(std::vector<std::unique_ptr<T>>& objects)
{
    objects.push_back(std::make_unique<T>());
    return objects.back().get();
}

}  // namespace

extern "C" {

QRVLIB_API bool QRVlib_initialize(void)
{
    State& st = state();
    std::unique_lock lock(st.mutex);
    Line line(st, "QRVlib_initialize", "initialize");
    const bool ok = !script().init_fail;
    const bool irq = line.finish(ok ? "1" : "0");
    lock.unlock();
    trigger_interrupt(irq);
    return ok;
}

QRVLIB_API void QRVlib_destroy(void)
{
    State& st = state();
    std::unique_lock lock(st.mutex);
    Line line(st, "QRVlib_destroy", "destroy");
    const bool irq = line.finish("void");
    lock.unlock();
    trigger_interrupt(irq);
}

QRVLIB_API QRVlib_send_instance_t QRVlib_send_create(const QRVlib_send_create_t* settings)
{
    State& st = state();
    std::unique_lock lock(st.mutex);
    Line line(st, "QRVlib_send_create", "send_create");
    Sender* s = nullptr;
    if (!settings) {
        line.add("settings=null");
    } else {
        line.text("name", settings->name);
        line.text("option_text", settings->option_text);
        line.add("pace_video=%d pace_audio=%d", settings->pace_video ? 1 : 0, settings->pace_audio ? 1 : 0);
        if (!script().null_creates.count("send_create")) {
            s = create_object(st.senders);
            s->name = settings->name ? settings->name : "";
            s->pace_video = settings->pace_video;
            s->pace_audio = settings->pace_audio;
        }
    }
    const bool irq = line.finish(handle_name(st.senders, s, 'S'));
    lock.unlock();
    trigger_interrupt(irq);
    return reinterpret_cast<QRVlib_send_instance_t>(s);
}

QRVLIB_API void QRVlib_send_destroy(QRVlib_send_instance_t sender)
{
    State& st = state();
    std::unique_lock lock(st.mutex);
    Line line(st, "QRVlib_send_destroy", "send_destroy");
    line.add("sender=%s", handle_name(st.senders, sender, 'S').c_str());
    Sender* s = find_live(st.senders, sender);
    line.add("%s", live_buffers(s).c_str());
    if (s)
        s->destroyed = true;
    const bool irq = line.finish("void");
    lock.unlock();
    trigger_interrupt(irq);
}

static void send_video(const char* op, const char* short_name, QRVlib_send_instance_t sender,
                       const QRVlib_video_frame_v2_t* frame)
{
    State& st = state();
    std::unique_lock lock(st.mutex);
    Line line(st, op, short_name);
    line.add("sender=%s", handle_name(st.senders, sender, 'S').c_str());
    Sender* s = find_live(st.senders, sender);
    int64_t delay = 0;
    if (!frame) {
        line.add("frame=null %s", live_buffers(s).c_str());
    } else {
        delay = log_video(st, line, s, frame);
    }
    const bool irq = line.finish("void");
    lock.unlock();
    trigger_interrupt(irq);
    sleep_ns(delay);
}

QRVLIB_API void QRVlib_send_send_video_v2(QRVlib_send_instance_t sender, const QRVlib_video_frame_v2_t* frame)
{
    send_video("QRVlib_send_send_video_v2", "send_send_video_v2", sender, frame);
}

QRVLIB_API void QRVlib_send_send_video_async_v2(QRVlib_send_instance_t sender,
                                                const QRVlib_video_frame_v2_t* frame)
{
    send_video("QRVlib_send_send_video_async_v2", "send_send_video_async_v2", sender, frame);
}

QRVLIB_API void QRVlib_send_send_audio_v2(QRVlib_send_instance_t sender, const QRVlib_audio_frame_v2_t* f)
{
    State& st = state();
    std::unique_lock lock(st.mutex);
    Line line(st, "QRVlib_send_send_audio_v2", "send_send_audio_v2");
    line.add("sender=%s", handle_name(st.senders, sender, 'S').c_str());
    const Sender* s = find_live(st.senders, sender);
    int64_t delay = 0;
    if (!f) {
        line.add("frame=null");
    } else {
        line.add("sample_rate=%d no_channels=%d no_samples=%d timecode=%" PRId64, f->sample_rate, f->no_channels,
                 f->no_samples, f->timecode);
        add_pointer(line, "data", f->data);
        line.add("channel_stride=%d", f->channel_stride);
        line.text("metadata", f->metadata);
        line.add("timestamp=%" PRId64, f->timestamp);
        const int64_t plane = (int64_t)f->no_samples * 4;
        const int64_t bytes = plane * f->no_channels;
        if (!f->data || f->no_channels <= 0 || f->no_samples <= 0 || (f->no_channels > 1 && f->channel_stride <= 0) ||
            (int64_t)f->channel_stride * f->no_channels > max_described_bytes || bytes > max_described_bytes) {
            line.add("bytes=invalid");
        } else {
            std::vector<qrv_double::Span> spans;
            for (int32_t c = 0; c < f->no_channels; c++)
                spans.push_back({(const uint8_t*)f->data + (int64_t)c * f->channel_stride, (size_t)plane});
            line.add("bytes=%" PRId64 " %s", bytes, qrv_double::summarize(spans, script().hash).c_str());
        }
        delay = audio_delay(s, f->sample_rate, f->no_samples);
    }
    const bool irq = line.finish("void");
    lock.unlock();
    trigger_interrupt(irq);
    sleep_ns(delay);
}

QRVLIB_API void QRVlib_util_send_send_audio_interleaved_16s(QRVlib_send_instance_t sender,
                                                            const QRVlib_audio_frame_interleaved_16s_t* f)
{
    State& st = state();
    std::unique_lock lock(st.mutex);
    Line line(st, "QRVlib_util_send_send_audio_interleaved_16s", "util_send_send_audio_interleaved_16s");
    line.add("sender=%s", handle_name(st.senders, sender, 'S').c_str());
    const Sender* s = find_live(st.senders, sender);
    int64_t delay = 0;
    if (!f) {
        line.add("frame=null");
    } else {
        line.add("sample_rate=%d no_channels=%d no_samples=%d timecode=%" PRId64 " level_setting=%d", f->sample_rate,
                 f->no_channels, f->no_samples, f->timecode, f->level_setting);
        add_pointer(line, "data", f->data);
        const int64_t bytes = (int64_t)f->no_samples * f->no_channels * 2;
        if (!f->data || f->no_channels <= 0 || f->no_samples <= 0 || bytes > max_described_bytes)
            line.add("bytes=invalid");
        else
            line.add("bytes=%" PRId64 " %s", bytes, qrv_double::summarize(f->data, (size_t)bytes, script().hash).c_str());
        delay = audio_delay(s, f->sample_rate, f->no_samples);
    }
    const bool irq = line.finish("void");
    lock.unlock();
    trigger_interrupt(irq);
    sleep_ns(delay);
}

QRVLIB_API QRVlib_find_instance_t QRVlib_find_create_v2(const QRVlib_find_create_t* settings)
{
    State& st = state();
    std::unique_lock lock(st.mutex);
    Line line(st, "QRVlib_find_create_v2", "find_create_v2");
    if (!settings) {
        line.add("settings=null");
    } else {
        line.add("option_flag=%d", settings->option_flag ? 1 : 0);
        line.text("option_text_a", settings->option_text_a);
        line.text("option_text_b", settings->option_text_b);
    }
    Finder* f = script().null_creates.count("find_create_v2") ? nullptr : create_object(st.finders);
    const bool irq = line.finish(handle_name(st.finders, f, 'F'));
    lock.unlock();
    trigger_interrupt(irq);
    return reinterpret_cast<QRVlib_find_instance_t>(f);
}

QRVLIB_API void QRVlib_find_destroy(QRVlib_find_instance_t finder)
{
    State& st = state();
    std::unique_lock lock(st.mutex);
    Line line(st, "QRVlib_find_destroy", "find_destroy");
    line.add("finder=%s", handle_name(st.finders, finder, 'F').c_str());
    if (Finder* f = find_live(st.finders, finder)) {
        // Release the last list so that a later use of it is caught.
        f->list.reset();
        f->names.clear();
        f->locators.clear();
        f->count = 0;
        f->destroyed = true;
    }
    const bool irq = line.finish("void");
    lock.unlock();
    trigger_interrupt(irq);
}

QRVLIB_API bool QRVlib_find_wait_for_sources(QRVlib_find_instance_t finder, uint32_t timeout_ms)
{
    State& st = state();
    std::unique_lock lock(st.mutex);
    Line line(st, "QRVlib_find_wait_for_sources", "find_wait_for_sources");
    line.add("finder=%s timeout_ms=%u", handle_name(st.finders, finder, 'F').c_str(), timeout_ms);
    const Script& sc = script();
    Timed t;
    if (st.waits < sc.waits.size())
        t = sc.waits[st.waits];
    st.waits++;
    const bool changed = t.value != 0;
    int64_t delay_ms = t.delay_ms >= 0 ? t.delay_ms : (changed ? 0 : (int64_t)timeout_ms);
    if (delay_ms > (int64_t)timeout_ms)
        delay_ms = timeout_ms;
    const bool irq = line.finish(changed ? "1" : "0");
    lock.unlock();
    trigger_interrupt(irq);
    sleep_ns(delay_ms * 1000000);
    return changed;
}

QRVLIB_API const QRVlib_source_t* QRVlib_find_get_current_sources(QRVlib_find_instance_t finder,
                                                                 uint32_t* no_sources)
{
    State& st = state();
    std::unique_lock lock(st.mutex);
    Line line(st, "QRVlib_find_get_current_sources", "find_get_current_sources");
    line.add("finder=%s", handle_name(st.finders, finder, 'F').c_str());
    Finder* f = find_live(st.finders, finder);
    const QRVlib_source_t* result = nullptr;
    const Script& sc = script();
    if (!no_sources) {
        line.add("no_sources=null");
    } else if (!f) {
        *no_sources = 0;
    } else {
        std::vector<SourceEntry> entries;
        if (!sc.source_lists.empty())
            entries = sc.source_lists[st.queries < sc.source_lists.size() ? st.queries : sc.source_lists.size() - 1];
        st.queries++;
        f->names.clear();
        f->locators.clear();
        for (const SourceEntry& e : entries) {
            f->names.push_back(e.name);
            f->locators.push_back(e.locator);
        }
        f->count = (uint32_t)entries.size();
        f->list = std::make_unique<QRVlib_source_t[]>(f->count ? f->count : 1);
        std::string names;
        for (uint32_t i = 0; i < f->count; i++) {
            f->list[i] = QRVlib_source_t(f->names[i].c_str(), f->locators[i].c_str());
            names += (i ? "|" : "") + f->names[i];
        }
        line.text("names", names.c_str());
        *no_sources = f->count;
        result = f->count ? f->list.get() : nullptr;
    }
    const bool irq = line.finish(std::to_string(no_sources ? *no_sources : 0));
    lock.unlock();
    trigger_interrupt(irq);
    return result;
}

QRVLIB_API QRVlib_recv_instance_t QRVlib_recv_create_v3(const QRVlib_recv_create_v3_t* settings)
{
    State& st = state();
    std::unique_lock lock(st.mutex);
    Line line(st, "QRVlib_recv_create_v3", "recv_create_v3");
    Receiver* r = nullptr;
    if (!settings) {
        line.add("settings=null");
    } else {
        line.text("source.name", settings->source.name);
        line.text("source.locator", settings->source.locator);
        line.add("color_format=%u bandwidth=%u option_flag=%d", (unsigned)settings->color_format,
                 (unsigned)settings->bandwidth, settings->option_flag ? 1 : 0);
        line.text("receiver_name", settings->receiver_name);
        if (!script().null_creates.count("recv_create_v3")) {
            r = create_object(st.receivers);
            r->name = settings->source.name ? settings->source.name : "";
            r->locator = settings->source.locator ? settings->source.locator : "";
            r->receiver_name = settings->receiver_name ? settings->receiver_name : "";
        }
    }
    const bool irq = line.finish(handle_name(st.receivers, r, 'V'));
    lock.unlock();
    trigger_interrupt(irq);
    return reinterpret_cast<QRVlib_recv_instance_t>(r);
}

QRVLIB_API void QRVlib_recv_destroy(QRVlib_recv_instance_t receiver)
{
    State& st = state();
    std::unique_lock lock(st.mutex);
    Line line(st, "QRVlib_recv_destroy", "recv_destroy");
    line.add("receiver=%s", handle_name(st.receivers, receiver, 'V').c_str());
    if (Receiver* r = find_live(st.receivers, receiver))
        r->destroyed = true;
    const bool irq = line.finish("void");
    lock.unlock();
    trigger_interrupt(irq);
}

QRVLIB_API int32_t QRVlib_recv_capture_v2(QRVlib_recv_instance_t receiver, QRVlib_video_frame_v2_t* video,
                                          QRVlib_audio_frame_v2_t* audio, QRVlib_metadata_frame_t* metadata,
                                          uint32_t timeout_ms)
{
    State& st = state();
    std::unique_lock lock(st.mutex);
    Line line(st, "QRVlib_recv_capture_v2", "recv_capture_v2");
    line.add("receiver=%s", handle_name(st.receivers, receiver, 'V').c_str());
    add_pointer(line, "video", video);
    add_pointer(line, "audio", audio);
    add_pointer(line, "metadata", metadata);
    line.add("timeout_ms=%u", timeout_ms);
    const Script& sc = script();
    Timed t;
    if (st.captures < sc.captures.size())
        t = sc.captures[st.captures];
    st.captures++;
    int64_t delay_ms = t.delay_ms >= 0 ? t.delay_ms : (t.value == 0 ? (int64_t)timeout_ms : 0);
    if (delay_ms > (int64_t)timeout_ms)
        delay_ms = timeout_ms;
    const bool irq = line.finish(std::to_string(t.value));
    lock.unlock();
    trigger_interrupt(irq);
    sleep_ns(delay_ms * 1000000);
    return t.value;
}

QRVLIB_API bool QRVlib_recv_ptz_is_supported(QRVlib_recv_instance_t receiver)
{
    State& st = state();
    std::unique_lock lock(st.mutex);
    Line line(st, "QRVlib_recv_ptz_is_supported", "recv_ptz_is_supported");
    line.add("receiver=%s", handle_name(st.receivers, receiver, 'V').c_str());
    const bool ok = script().ptz && find_live(st.receivers, receiver);
    const bool irq = line.finish(ok ? "1" : "0");
    lock.unlock();
    trigger_interrupt(irq);
    return ok;
}

QRVLIB_API bool QRVlib_recv_ptz_recall_preset(QRVlib_recv_instance_t receiver, int32_t preset, float speed)
{
    State& st = state();
    std::unique_lock lock(st.mutex);
    Line line(st, "QRVlib_recv_ptz_recall_preset", "recv_ptz_recall_preset");
    line.add("receiver=%s preset=%d speed=%g", handle_name(st.receivers, receiver, 'V').c_str(), preset,
             (double)speed);
    const bool ok = script().ptz && find_live(st.receivers, receiver);
    const bool irq = line.finish(ok ? "1" : "0");
    lock.unlock();
    trigger_interrupt(irq);
    return ok;
}

QRVLIB_API QRVlib_routing_instance_t QRVlib_routing_create(const QRVlib_routing_create_t* settings)
{
    State& st = state();
    std::unique_lock lock(st.mutex);
    Line line(st, "QRVlib_routing_create", "routing_create");
    Router* r = nullptr;
    if (!settings) {
        line.add("settings=null");
    } else {
        line.text("name", settings->name);
        line.text("option_text", settings->option_text);
        if (!script().null_creates.count("routing_create")) {
            r = create_object(st.routers);
            r->name = settings->name ? settings->name : "";
        }
    }
    const bool irq = line.finish(handle_name(st.routers, r, 'R'));
    lock.unlock();
    trigger_interrupt(irq);
    return reinterpret_cast<QRVlib_routing_instance_t>(r);
}

QRVLIB_API void QRVlib_routing_destroy(QRVlib_routing_instance_t router)
{
    State& st = state();
    std::unique_lock lock(st.mutex);
    Line line(st, "QRVlib_routing_destroy", "routing_destroy");
    line.add("router=%s", handle_name(st.routers, router, 'R').c_str());
    if (Router* r = find_live(st.routers, router))
        r->destroyed = true;
    const bool irq = line.finish("void");
    lock.unlock();
    trigger_interrupt(irq);
}

QRVLIB_API bool QRVlib_routing_change(QRVlib_routing_instance_t router, const QRVlib_source_t* source)
{
    State& st = state();
    std::unique_lock lock(st.mutex);
    Line line(st, "QRVlib_routing_change", "routing_change");
    line.add("router=%s", handle_name(st.routers, router, 'R').c_str());
    if (!source) {
        line.add("source=null");
    } else {
        // Which entry of a finder's current list the pointer addresses, if
        // any; a copy of an entry is reported as such.
        std::string entry = "copy";
        for (const auto& f : st.finders)
            if (!f->destroyed && f->list && source >= f->list.get() && source < f->list.get() + f->count)
                entry = std::to_string(source - f->list.get());
        line.add("entry=%s", entry.c_str());
        line.text("source.name", source->name);
        line.text("source.locator", source->locator);
    }
    const bool ok = find_live(st.routers, router) != nullptr;
    const bool irq = line.finish(ok ? "1" : "0");
    lock.unlock();
    trigger_interrupt(irq);
    return ok;
}

QRVLIB_API bool QRVlib_routing_clear(QRVlib_routing_instance_t router)
{
    State& st = state();
    std::unique_lock lock(st.mutex);
    Line line(st, "QRVlib_routing_clear", "routing_clear");
    line.add("router=%s", handle_name(st.routers, router, 'R').c_str());
    const bool ok = find_live(st.routers, router) != nullptr;
    const bool irq = line.finish(ok ? "1" : "0");
    lock.unlock();
    trigger_interrupt(irq);
    return ok;
}

#ifndef QRV_DOUBLE_NO_LOAD_ENTRY
QRVLIB_API const QRVlib_operation_table* QRVlib_v3_load(void)
{
    static const QRVlib_operation_table table = qrvlib_make_operation_table();
    State& st = state();
    std::unique_lock lock(st.mutex);
    Line line(st, "QRVlib_v3_load", "v3_load");
#ifdef QRV_DOUBLE_NULL_TABLE
    (void)table;
    const QRVlib_operation_table* result = nullptr;
#else
    const QRVlib_operation_table* result = &table;
#endif
    const bool irq = line.finish(result ? "table" : "null");
    lock.unlock();
    trigger_interrupt(irq);
    return result;
}
#endif

}  // extern "C"
