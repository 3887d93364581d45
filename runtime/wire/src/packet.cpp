#include "wire/packet.h"

#include <cstring>

namespace qrv::wire {

std::optional<VideoMessage> read_video(const Packet& packet)
{
    const std::span<const uint8_t> bytes = packet.bytes;
    if (packet.type != MessageType::video || bytes.size() < kHeaderBytes)
        return std::nullopt;
    const auto h = decode_header(bytes.first<kHeaderBytes>());
    if (!h || h->type != MessageType::video ||
        bytes.size() < kHeaderBytes + uint64_t{h->fixed_len} + h->text_len + h->data_len)
        return std::nullopt;
    const auto v = decode_video(*h, bytes.subspan(kHeaderBytes, h->fixed_len));
    if (!v)
        return std::nullopt;
    const auto text = bytes.subspan(kHeaderBytes + h->fixed_len, h->text_len);
    return VideoMessage{*v, std::string_view(reinterpret_cast<const char*>(text.data()), text.size()),
                        bytes.subspan(kHeaderBytes + h->fixed_len + h->text_len, h->data_len)};
}

std::shared_ptr<Packet> make_video(PacketPool& pool, const VideoFields& fields, std::string_view text,
                                   uint64_t data_len)
{
    auto p = pool.acquire();
    p->type = MessageType::video;
    const auto head = encode_video(fields, text, data_len);
    p->bytes.resize(head.size() + data_len);
    std::memcpy(p->bytes.data(), head.data(), head.size());
    p->data_offset = head.size();
    return p;
}

}  // namespace qrv::wire
