#include "transport/message_io.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "base/socket.h"
#include "base/unix_socket.h"

namespace qrv::transport {

namespace {

struct Source {
    int fd;
    std::vector<net::Fd>* passed;
    // A descriptor sent along was lost (we are out of descriptors): what
    // follows cannot be read as meant, so the stream is bad, not ended.
    mutable bool truncated = false;
    bool read(std::span<uint8_t> out) const
    {
        return passed ? net::read_exact_with_fds(fd, out, *passed, &truncated) : net::read_exact(fd, out);
    }
    ReadResult failed() const { return truncated ? ReadResult::bad : ReadResult::closed; }
};

// A stream that is more than a socket (TLS): no descriptors come along.
struct StreamSource {
    ByteStream& stream;
    std::vector<net::Fd>* passed = nullptr;
    bool truncated = false;
    bool read(std::span<uint8_t> out) const { return stream.read_exact(out); }
    ReadResult failed() const { return ReadResult::closed; }
};

// Reads and throws away n bytes, a bounded piece at a time, with read
// (which fills a span and says whether it could).
template <class Read>
bool discard(uint64_t n, const Read& read)
{
    uint8_t sink[16 * 1024];
    while (n > 0) {
        const size_t step = static_cast<size_t>(std::min<uint64_t>(n, sizeof sink));
        if (!read(std::span(sink, step)))
            return false;
        n -= step;
    }
    return true;
}

template <class Src>
ReadResult read_from(const Src& src, Message& out, BufferPool* pool, std::vector<net::Fd>* passed)
{
    out.shared.reset();
    uint8_t head[wire::kHeaderBytes];
    if (!src.read(head))
        return (passed && !passed->empty()) || src.truncated ? ReadResult::bad : ReadResult::closed;
    const auto h = wire::decode_header(std::span<const uint8_t, wire::kHeaderBytes>(head));
    if (!h)
        return ReadResult::bad;
    out.header = *h;
    out.fixed.resize(h->fixed_len);
    if (!src.read(out.fixed))
        return src.failed();
    out.text.clear();
    out.data.reset();
    switch (wire::judge(*h, out.fixed)) {
    case wire::Verdict::bad:
        return ReadResult::bad;
    case wire::Verdict::skip:
        return discard(uint64_t{h->text_len} + h->data_len, [&](std::span<uint8_t> piece) { return src.read(piece); })
                   ? ReadResult::skipped
                   : src.failed();
    case wire::Verdict::take:
        break;
    }
    out.text.resize(h->text_len);
    if (!src.read(std::span(reinterpret_cast<uint8_t*>(out.text.data()), out.text.size())))
        return src.failed();
    if (!wire::valid_text(std::span(reinterpret_cast<const uint8_t*>(out.text.data()), out.text.size())))
        return ReadResult::bad;
    if (h->data_len == 0)
        return ReadResult::ok;
    // Up to kDirect bytes are allocated at once (the length has been checked
    // against the frame's geometry and the caps); beyond, the buffer grows
    // with what actually arrives, so that a header promising much and
    // delivering little costs little.
    constexpr size_t kDirect = 64u << 20;
    auto data = pool ? pool->acquire() : std::make_shared<ByteBuffer>();
    const size_t total = static_cast<size_t>(h->data_len);
    if (total <= kDirect || data->size() == total) {
        data->resize(total);
        if (!src.read(std::span(data->data(), total)))
            return src.failed();
    } else {
        data->resize(0);
        size_t step = kDirect;
        while (data->size() < total) {
            const size_t old = data->size();
            const size_t next = std::min(total, old + step);
            data->resize(next);
            if (!src.read(std::span(data->data() + old, next - old)))
                return src.failed();
            step = next;  // doubling
        }
    }
    out.data = std::move(data);
    return ReadResult::ok;
}

}  // namespace

ReadResult read_message(int fd, Message& out, BufferPool* pool, std::vector<net::Fd>* passed)
{
    return read_from(Source{fd, passed}, out, pool, passed);
}

ReadResult read_message(ByteStream& stream, Message& out, BufferPool* pool, std::vector<net::Fd>* passed)
{
    if (const int fd = stream.plain_fd(); fd >= 0)
        return read_message(fd, out, pool, passed);
    return read_from(StreamSource{stream}, out, pool, nullptr);
}

namespace {

using Clock = std::chrono::steady_clock;

// Waits until fd is readable: ok, timeout when the deadline passes first,
// closed when it cannot be waited for.
ReadResult wait_readable(int fd, Clock::time_point deadline)
{
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline)
            return ReadResult::timeout;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 60'000)));
        if (r < 0 && errno != EINTR)
            return ReadResult::closed;
        if (r > 0)
            return ReadResult::ok;
    }
}

// Reads exactly out.size() bytes unless the deadline passes first.
ReadResult read_until(int fd, std::span<uint8_t> out, Clock::time_point deadline)
{
    size_t done = 0;
    while (done < out.size()) {
        if (auto r = wait_readable(fd, deadline); r != ReadResult::ok)
            return r;
        const ssize_t n = ::recv(fd, out.data() + done, out.size() - done, MSG_DONTWAIT);
        if (n == 0)
            return ReadResult::closed;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return ReadResult::closed;
        }
        done += static_cast<size_t>(n);
    }
    return ReadResult::ok;
}

// Where a source reads a receiver's messages from: its socket.
struct SocketUpstream {
    int fd;
    // Waits for the first byte of a message until by.
    bool first(Clock::time_point by) { return wait_readable(fd, by) == ReadResult::ok; }
    ReadResult read(std::span<uint8_t> out, Clock::time_point deadline) { return read_until(fd, out, deadline); }
};

// Or a stream over it (TLS), which may hold bytes the socket no longer
// shows. The first byte is taken to know that a message has begun, and
// handed back with the next read.
struct StreamUpstream {
    ByteStream& stream;
    bool carried = false;
    uint8_t first_byte = 0;

    // Waits until the socket may have more, the deadline, or a cancel.
    ReadResult wait(Clock::time_point deadline) const
    {
        for (;;) {
            const auto now = Clock::now();
            if (now >= deadline)
                return ReadResult::timeout;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
            pollfd p[2] = {{stream.fd(), POLLIN, 0}, {stream.cancel_fd(), POLLIN, 0}};
            const int r = ::poll(p, 2, static_cast<int>(std::min<long long>(left, 60'000)));
            if (r < 0 && errno != EINTR)
                return ReadResult::closed;
            if (r > 0) {
                if (p[1].revents) {
                    errno = ECANCELED;
                    return ReadResult::closed;
                }
                return (p[0].revents & POLLNVAL) ? ReadResult::closed : ReadResult::ok;
            }
        }
    }
    // Some bytes into out: their count, 0 at the end (errno 0), -1 when
    // nothing is there now (errno EAGAIN) or on an error.
    long some(std::span<uint8_t> out)
    {
        errno = 0;
        const long n = stream.read_some(out);
        if (n < 0 && errno == EINTR)
            errno = EAGAIN;
        return n;
    }
    bool first(Clock::time_point by)
    {
        for (;;) {
            const long n = some(std::span(&first_byte, 1));
            if (n == 1) {
                carried = true;
                return true;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                return false;
            if (const ReadResult r = wait(by); r != ReadResult::ok) {
                if (r == ReadResult::timeout)
                    errno = EAGAIN;
                return false;
            }
        }
    }
    ReadResult read(std::span<uint8_t> out, Clock::time_point deadline)
    {
        size_t done = 0;
        if (carried && !out.empty()) {
            out[0] = first_byte;
            carried = false;
            done = 1;
        }
        while (done < out.size()) {
            const long n = some(out.subspan(done));
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                return ReadResult::closed;
            if (const ReadResult r = wait(deadline); r != ReadResult::ok)
                return r;
        }
        return ReadResult::ok;
    }
};

template <class In>
ReadResult upstream_from(In& in, Message& out, const UpstreamRules& rules, Clock::time_point first_by)
{
    out.shared.reset();
    out.data.reset();
    out.text.clear();
    out.fixed.clear();
    // The first byte may take as long as the caller allows (nothing by
    // then: closed); from there on the message has its own time limit.
    if (!in.first(first_by))
        return ReadResult::closed;
    const auto deadline = Clock::now() + rules.message_timeout;
    uint8_t head[wire::kHeaderBytes];
    if (auto r = in.read(head, deadline); r != ReadResult::ok)
        return r;
    const auto h = wire::decode_header(std::span<const uint8_t, wire::kHeaderBytes>(head));
    if (!h)
        return ReadResult::bad;
    out.header = *h;
    const uint64_t rest = uint64_t{h->fixed_len} + h->text_len + h->data_len;
    if (rules.hello_only && h->type != wire::MessageType::hello)
        return ReadResult::bad;
    if (!wire::known_type(h->type)) {
        // From a receiver of a later version: thrown away unread, within
        // the bounds.
        if (rest > rules.max_unknown || !rules.unknown_budget || rest > *rules.unknown_budget)
            return ReadResult::bad;
        *rules.unknown_budget -= rest;
        ReadResult r = ReadResult::ok;
        discard(rest, [&](std::span<uint8_t> piece) {
            r = in.read(piece, deadline);
            return r == ReadResult::ok;
        });
        return r == ReadResult::ok ? ReadResult::skipped : r;
    }
    if (!wire::upstream_type(h->type) || rest > wire::kMaxUpstreamBytes)
        return ReadResult::bad;
    out.fixed.resize(h->fixed_len);
    if (auto r = in.read(out.fixed, deadline); r != ReadResult::ok)
        return r;
    if (wire::judge(*h, out.fixed) != wire::Verdict::take)
        return ReadResult::bad;
    out.text.resize(h->text_len);
    if (auto r = in.read(std::span(reinterpret_cast<uint8_t*>(out.text.data()), out.text.size()), deadline);
        r != ReadResult::ok)
        return r;
    if (!wire::valid_text(std::span(reinterpret_cast<const uint8_t*>(out.text.data()), out.text.size())))
        return ReadResult::bad;
    if (h->data_len > 0) {
        auto data = std::make_shared<ByteBuffer>();
        data->resize(static_cast<size_t>(h->data_len));
        if (auto r = in.read(data->span(), deadline); r != ReadResult::ok)
            return r;
        out.data = std::move(data);
    }
    return ReadResult::ok;
}

}  // namespace

ReadResult read_upstream(int fd, Message& out, const UpstreamRules& rules, Clock::time_point first_by)
{
    SocketUpstream in{fd};
    return upstream_from(in, out, rules, first_by);
}

ReadResult read_upstream(ByteStream& stream, Message& out, const UpstreamRules& rules, Clock::time_point first_by)
{
    if (const int fd = stream.plain_fd(); fd >= 0)
        return read_upstream(fd, out, rules, first_by);
    StreamUpstream in{stream};
    return upstream_from(in, out, rules, first_by);
}

}  // namespace qrv::transport
