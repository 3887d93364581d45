#include "wire/datagram.h"

#include <algorithm>
#include <cstring>

namespace qrv::wire {

namespace {

uint64_t load(const uint8_t* p, int n)
{
    uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v |= uint64_t(p[i]) << (8 * i);
    return v;
}

void store(uint8_t* p, uint64_t v, int n)
{
    for (int i = 0; i < n; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void write_header(uint8_t* p, const DatagramHeader& h)
{
    store(p, kDatagramMagic, 4);
    p[4] = kDatagramVersion;
    p[5] = kDatagramMedia;
    store(p + 6, h.part_bytes, 2);
    store(p + 8, h.token, 8);
    store(p + 16, h.stream, 4);
    store(p + 20, h.message_bytes, 4);
    store(p + 24, h.sequence, 8);
    store(p + 32, h.index, 4);
    store(p + 36, h.count, 4);
    store(p + 40, h.payload_bytes, 2);
    store(p + 42, 0, 2);
}

// The bytes datagram `index` of this message carries.
uint64_t piece_bytes(const DatagramHeader& h, uint32_t index)
{
    const uint64_t before = uint64_t(index) * h.part_bytes;
    return std::min<uint64_t>(h.part_bytes, h.message_bytes - before);
}

}  // namespace

uint16_t part_bytes_for_mtu(int mtu)
{
    if (mtu <= 0)
        return kDefaultPartBytes;
    const long part = long(mtu) - long(kIpUdpBytes + kDatagramHeaderBytes);
    return static_cast<uint16_t>(std::clamp<long>(part, kMinPartBytes, kMaxPartBytes));
}

uint32_t datagram_count(uint64_t message_bytes, uint16_t part_bytes)
{
    if (message_bytes == 0 || message_bytes > kMaxDatagramMessageBytes || part_bytes < kMinPartBytes ||
        part_bytes > kMaxPartBytes)
        return 0;
    return static_cast<uint32_t>((message_bytes + part_bytes - 1) / part_bytes);
}

DecodedDatagram decode_datagram(std::span<const uint8_t> bytes)
{
    DecodedDatagram d;
    const uint8_t* p = bytes.data();
    if (bytes.size() < kDatagramHeaderBytes || load(p, 4) != kDatagramMagic || p[4] != kDatagramVersion ||
        p[5] != kDatagramMedia || load(p + 42, 2) != 0) {
        d.fault = DatagramFault::malformed;
        return d;
    }
    DatagramHeader& h = d.header;
    h.part_bytes = static_cast<uint16_t>(load(p + 6, 2));
    h.token = load(p + 8, 8);
    h.stream = static_cast<uint32_t>(load(p + 16, 4));
    h.message_bytes = static_cast<uint32_t>(load(p + 20, 4));
    h.sequence = load(p + 24, 8);
    h.index = static_cast<uint32_t>(load(p + 32, 4));
    h.count = static_cast<uint32_t>(load(p + 36, 4));
    h.payload_bytes = static_cast<uint16_t>(load(p + 40, 2));
    // Every length against the others and against the datagram's size.
    const uint32_t count = datagram_count(h.message_bytes, h.part_bytes);
    if (count == 0 || h.count != count || h.index >= count || h.sequence == 0 ||
        h.payload_bytes != piece_bytes(h, h.index) || bytes.size() != kDatagramHeaderBytes + h.payload_bytes) {
        d.fault = DatagramFault::length;
        return d;
    }
    d.payload = bytes.subspan(kDatagramHeaderBytes);
    return d;
}

std::span<const uint8_t> CutMessage::datagram(uint32_t index) const
{
    if (index >= count_)
        return {};
    const size_t start = index * stride_;
    return std::span<const uint8_t>(bytes_).subspan(start, std::min(stride_, bytes_.size() - start));
}

std::span<const uint8_t> CutMessage::datagrams(uint32_t first, uint32_t n) const
{
    if (n == 0 || first >= count_ || n > count_ - first)
        return {};
    const size_t start = first * stride_;
    const size_t end = std::min(size_t(first + n) * stride_, bytes_.size());
    return std::span<const uint8_t>(bytes_).subspan(start, end - start);
}

std::optional<CutMessage> cut_message(std::span<const std::span<const uint8_t>> pieces, const DatagramHeader& how)
{
    uint64_t total = 0;
    for (const auto& piece : pieces)
        total += piece.size();
    const uint32_t count = datagram_count(total, how.part_bytes);
    if (count == 0 || how.sequence == 0)
        return std::nullopt;
    DatagramHeader h = how;
    h.message_bytes = static_cast<uint32_t>(total);
    h.count = count;
    CutMessage m;
    m.stride_ = kDatagramHeaderBytes + h.part_bytes;
    m.count_ = count;
    m.sequence_ = h.sequence;
    m.bytes_.resize(size_t(count) * kDatagramHeaderBytes + total);
    // Walk the pieces once, filling each datagram's payload in turn.
    size_t piece = 0, in_piece = 0;
    for (uint32_t i = 0; i < count; ++i) {
        h.index = i;
        h.payload_bytes = static_cast<uint16_t>(piece_bytes(h, i));
        uint8_t* out = m.bytes_.data() + i * m.stride_;
        write_header(out, h);
        out += kDatagramHeaderBytes;
        size_t want = h.payload_bytes;
        while (want > 0) {
            const auto& src = pieces[piece];
            const size_t n = std::min(want, src.size() - in_piece);
            std::memcpy(out, src.data() + in_piece, n);
            out += n;
            want -= n;
            in_piece += n;
            if (in_piece == src.size()) {
                ++piece;
                in_piece = 0;
            }
        }
    }
    return m;
}

}  // namespace qrv::wire
