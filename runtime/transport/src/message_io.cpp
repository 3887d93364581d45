#include "transport/message_io.h"

#include <algorithm>

#include "base/socket.h"
#include "base/unix_socket.h"

namespace qrv::transport {

std::shared_ptr<std::vector<uint8_t>> BufferPool::acquire()
{
    for (auto& b : pool_)
        if (b.use_count() == 1)  // only the pool holds it
            return b;
    auto b = std::make_shared<std::vector<uint8_t>>();
    if (pool_.size() < slots_)
        pool_.push_back(b);
    return b;
}

namespace {

struct Source {
    int fd;
    std::vector<net::Fd>* passed;
    bool read(std::span<uint8_t> out) const
    {
        return passed ? net::read_exact_with_fds(fd, out, *passed) : net::read_exact(fd, out);
    }
};

// Reads and throws away n bytes, a bounded piece at a time.
bool discard(const Source& src, uint64_t n)
{
    uint8_t sink[16 * 1024];
    while (n > 0) {
        const size_t step = static_cast<size_t>(std::min<uint64_t>(n, sizeof sink));
        if (!src.read(std::span(sink, step)))
            return false;
        n -= step;
    }
    return true;
}

}  // namespace

ReadResult read_message(int fd, Message& out, BufferPool* pool, std::vector<net::Fd>* passed)
{
    out.shared.reset();
    const Source src{fd, passed};
    uint8_t head[wire::kHeaderBytes];
    if (!src.read(head))
        return passed && !passed->empty() ? ReadResult::bad : ReadResult::closed;
    const auto h = wire::decode_header(std::span<const uint8_t, wire::kHeaderBytes>(head));
    if (!h)
        return ReadResult::bad;
    out.header = *h;
    out.fixed.resize(h->fixed_len);
    if (!src.read(out.fixed))
        return ReadResult::closed;
    out.text.clear();
    out.data.reset();
    switch (wire::judge(*h, out.fixed)) {
    case wire::Verdict::bad:
        return ReadResult::bad;
    case wire::Verdict::skip:
        return discard(src, uint64_t{h->text_len} + h->data_len) ? ReadResult::skipped : ReadResult::closed;
    case wire::Verdict::take:
        break;
    }
    out.text.resize(h->text_len);
    if (!src.read(std::span(reinterpret_cast<uint8_t*>(out.text.data()), out.text.size())))
        return ReadResult::closed;
    if (!wire::valid_text(std::span(reinterpret_cast<const uint8_t*>(out.text.data()), out.text.size())))
        return ReadResult::bad;
    if (h->data_len == 0)
        return ReadResult::ok;
    // Up to kDirect bytes are allocated at once (the length has been checked
    // against the frame's geometry and the caps); beyond, the buffer grows
    // with what actually arrives, so that a header promising much and
    // delivering little costs little.
    constexpr size_t kDirect = 64u << 20;
    auto data = pool ? pool->acquire() : std::make_shared<std::vector<uint8_t>>();
    const size_t total = static_cast<size_t>(h->data_len);
    if (total <= kDirect || data->size() == total) {
        data->resize(total);
        if (!src.read(std::span(data->data(), total)))
            return ReadResult::closed;
    } else {
        data->clear();
        size_t step = kDirect;
        while (data->size() < total) {
            const size_t old = data->size();
            const size_t next = std::min(total, old + step);
            data->resize(next);
            if (!src.read(std::span(data->data() + old, next - old)))
                return ReadResult::closed;
            step = next;  // doubling
        }
    }
    out.data = std::move(data);
    return ReadResult::ok;
}

}  // namespace qrv::transport
