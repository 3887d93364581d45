// libFuzzer target: a stream of wire messages as a receiver or a source's
// server would read it. Every message is parsed and, when whole, its fixed
// fields decoded again; one that a reader skips (a later version's type or
// payload format) is stepped over; a bad one ends the stream as it ends a
// connection.
#include <cstddef>
#include <cstdint>

#include "wire/wire.h"

using namespace qrv::wire;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::span<const uint8_t> rest(data, size);
    while (!rest.empty()) {
        Parsed p;
        const ParseResult r = parse_message(rest, p);
        if (r == ParseResult::skip) {
            const auto fixed = rest.subspan(kHeaderBytes, p.header.fixed_len);
            if (judge(p.header, fixed) != Verdict::skip || p.consumed == 0 || p.consumed > rest.size())
                __builtin_trap();
            rest = rest.subspan(p.consumed);
            continue;
        }
        if (r != ParseResult::ok)
            break;
        const auto fixed = rest.subspan(kHeaderBytes, p.header.fixed_len);
        if (p.header.type == MessageType::video) {
            const auto v = decode_video(p.header, fixed);
            if (!v || !video_data_fits(*v, p.header.data_len))
                __builtin_trap();
        }
        if (p.header.type == MessageType::audio) {
            const auto a = decode_audio(p.header, fixed);
            if (!a || audio_data_bytes(*a) != p.header.data_len)
                __builtin_trap();
        }
        if (p.header.type == MessageType::shm_video) {
            // Shared-memory frames carry no data of their own, and their
            // geometry must be one an inline frame could have.
            const auto s = decode_shm_video(p.header, fixed);
            if (!s || p.header.data_len != 0 || !video_data_bytes(s->video))
                __builtin_trap();
        }
        if (p.header.type == MessageType::release && !decode_release(p.header, fixed))
            __builtin_trap();
        if (p.header.type == MessageType::hello && !decode_hello(p.header, fixed))
            __builtin_trap();
        if (p.header.type == MessageType::tally && !decode_tally(p.header, fixed))
            __builtin_trap();
        if (p.consumed == 0 || p.consumed > rest.size())
            __builtin_trap();
        rest = rest.subspan(p.consumed);
    }
    return 0;
}
