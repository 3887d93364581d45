#include "wire/reassembler.h"

#include <cstring>
#include <new>

namespace qrv::wire {

Reassembler::Reassembler(uint64_t token, uint32_t stream, ReassemblyLimits limits)
    : token_(token), stream_(stream), limits_(limits)
{
}

bool Reassembler::take(std::span<const uint8_t> datagram, Clock::time_point now)
{
    const DecodedDatagram d = decode_datagram(datagram);
    if (d.fault == DatagramFault::malformed) {
        ++counters_.malformed;
        return false;
    }
    if (d.fault == DatagramFault::length) {
        ++counters_.bad_lengths;
        return false;
    }
    const DatagramHeader& h = d.header;
    if (h.token != token_) {
        ++counters_.forged;
        return false;
    }
    if (h.stream != stream_) {
        ++counters_.other_stream;
        return false;
    }
    if (next_ == 0)
        next_ = h.sequence;  // joined mid-stream: start with what comes first
    if (h.sequence < next_) {
        ++counters_.stale;
        return false;
    }
    if (h.sequence - next_ >= limits_.max_pending_messages || h.message_bytes > limits_.max_message_bytes) {
        ++counters_.overflow;
        return false;
    }
    return place(h, d.payload, now);
}

bool Reassembler::place(const DatagramHeader& h, std::span<const uint8_t> payload, Clock::time_point now)
{
    auto it = pending_.find(h.sequence);
    if (it == pending_.end()) {
        if (pending_bytes_ + h.message_bytes > limits_.max_pending_bytes) {
            ++counters_.overflow;
            return false;
        }
        Pending p;
        p.shape = h;
        p.bytes = buffers_.acquire();
        try {
            p.bytes->resize(h.message_bytes);
        } catch (const std::bad_alloc&) {
            ++counters_.overflow;
            return false;
        }
        p.have.assign(h.count, false);
        p.since = now;
        pending_bytes_ += h.message_bytes;
        it = pending_.emplace(h.sequence, std::move(p)).first;
    }
    Pending& p = it->second;
    // Every datagram of a message must describe the same message.
    if (p.shape.message_bytes != h.message_bytes || p.shape.part_bytes != h.part_bytes) {
        ++counters_.bad_lengths;
        return false;
    }
    if (p.have[h.index]) {
        ++counters_.duplicates;
        return false;
    }
    std::memcpy(p.bytes->data() + uint64_t(h.index) * h.part_bytes, payload.data(), payload.size());
    p.have[h.index] = true;
    p.last = now;
    ++p.held;
    ++counters_.datagrams;
    return true;
}

void Reassembler::give_up_next()
{
    if (auto it = pending_.find(next_); it != pending_.end()) {
        pending_bytes_ -= it->second.shape.message_bytes;
        pending_.erase(it);
    }
    ++counters_.lost;
    ++next_;
}

std::shared_ptr<const ByteBuffer> Reassembler::next(Clock::time_point now)
{
    while (!pending_.empty()) {
        auto it = pending_.begin();
        if (it->first == next_ && it->second.held == it->second.shape.count) {
            std::shared_ptr<const ByteBuffer> whole = std::move(it->second.bytes);
            pending_bytes_ -= it->second.shape.message_bytes;
            pending_.erase(it);
            ++next_;
            ++counters_.messages;
            return whole;
        }
        // The next one is incomplete, or nothing of it came while later
        // ones did: wait for repairs until the window has passed.
        if (now - it->second.since < limits_.window)
            return nullptr;
        give_up_next();
    }
    return nullptr;
}

std::vector<MissingPieces> Reassembler::missing(Clock::time_point now, std::chrono::milliseconds settle,
                                                size_t most) const
{
    std::vector<MissingPieces> out;
    uint64_t seq = next_;
    const uint64_t newest = pending_.empty() ? 0 : pending_.rbegin()->first;
    for (const auto& [sequence, p] : pending_) {
        if (sequence == newest && now - p.last < settle)
            break;
        for (; seq < sequence && out.size() < most; ++seq)
            out.push_back(MissingPieces{seq, {}});
        if (out.size() >= most)
            break;
        if (p.held < p.shape.count) {
            MissingPieces m{sequence, {}};
            for (uint32_t i = 0; i < p.shape.count; ++i)
                if (!p.have[i])
                    m.indexes.push_back(i);
            out.push_back(std::move(m));
        }
        seq = sequence + 1;
    }
    return out;
}

}  // namespace qrv::wire
