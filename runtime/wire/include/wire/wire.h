// The wire format between a source's server and its receivers. Every
// message, media or control, has the same framing:
//
//   header (24 bytes, little-endian)
//     u32 magic       "QRVW"
//     u8  version     1
//     u8  type        MessageType
//     u16 flags       0 (reserved)
//     u32 fixed_len   bytes of the type's fixed fields that follow
//     u32 text_len    bytes of text (metadata XML, names, locators)
//     u64 data_len    bytes of samples or pixels after the text
//   fixed fields      fixed_len bytes; at least the type's own size, more
//                     is allowed and skipped (later versions may add fields)
//   text              text_len bytes, no NUL inside
//   data              data_len bytes
//
// Media carry a format tag, so that compressed payloads can be added without
// a new protocol. Every length is checked against the type, against fixed
// caps and, for media, against the geometry of the frame itself before
// anything is allocated or read.
#ifndef QRV_TRANSPORT_WIRE_H
#define QRV_TRANSPORT_WIRE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "media/formats.h"

namespace qrv::wire {

inline constexpr uint32_t kMagic = 0x57565251u;  // "QRVW" from the lowest byte up
inline constexpr uint8_t kVersion = 1;
inline constexpr size_t kHeaderBytes = 24;
inline constexpr uint32_t kMaxFixedBytes = 256;
inline constexpr uint32_t kMaxTextBytes = 64 * 1024;
// Media are checked by the same rules as a sender's frames.
inline constexpr uint64_t kMaxVideoDataBytes = media::kMaxVideoBytes;
inline constexpr uint64_t kMaxAudioDataBytes = media::kMaxAudioBytes;
inline constexpr uint32_t kMaxNameBytes = 200;
inline constexpr uint32_t kMaxLocatorBytes = 1024;

enum class MessageType : uint8_t {
    hello = 1,     // receiver -> source: text = receiver name
    status = 2,    // source -> receiver: capabilities
    video = 3,
    audio = 4,
    metadata = 5,  // text = metadata
    ptz = 6,       // receiver -> source: one camera command
    redirect = 7,  // router -> receiver: text = locator to use, empty = none
    // Same host only, on the Unix socket: a video frame whose pixels lie in
    // a shared-memory pool passed along with the message (one descriptor).
    shm_video = 8,
    release = 9,   // receiver -> source: done with a shared-memory frame
};

// Format tags of media payloads.
inline constexpr uint32_t kVideoRaw = 0;         // packed lines per FourCC
inline constexpr uint32_t kAudioPlanarFloat = 0;  // channel after channel

inline constexpr uint32_t kStatusPtz = 1u << 0;

enum class PtzCommand : uint32_t {
    recall_preset = 1,  // preset, speed
    store_preset = 2,   // preset
    pan_tilt = 3,       // pan speed, tilt speed
    zoom = 4,           // zoom level
};

struct Header {
    MessageType type{};
    uint32_t fixed_len = 0;
    uint32_t text_len = 0;
    uint64_t data_len = 0;
};

struct VideoFields {
    int32_t width = 0;
    int32_t height = 0;
    uint32_t fourcc = 0;
    int32_t frame_rate_num = 0;
    int32_t frame_rate_den = 0;
    float aspect_ratio = 0.0f;
    uint32_t frame_format = 0;
    uint32_t format_tag = kVideoRaw;
    int64_t timecode = 0;
    int64_t timestamp = 0;
    uint32_t line_bytes = 0;  // bytes of one packed line
};
inline constexpr uint32_t kVideoFixedBytes = 52;

struct AudioFields {
    int32_t sample_rate = 0;
    int32_t channels = 0;
    int32_t samples = 0;
    uint32_t format_tag = kAudioPlanarFloat;
    int64_t timecode = 0;
    int64_t timestamp = 0;
};
inline constexpr uint32_t kAudioFixedBytes = 32;

struct MetadataFields {
    int64_t timecode = 0;
};
inline constexpr uint32_t kMetadataFixedBytes = 8;

struct StatusFields {
    uint32_t flags = 0;
};
inline constexpr uint32_t kStatusFixedBytes = 4;

struct PtzFields {
    PtzCommand command{};
    int32_t preset = 0;
    float value_a = 0.0f;
    float value_b = 0.0f;
};
inline constexpr uint32_t kPtzFixedBytes = 16;

// A video frame in shared memory: the video fields, then the frame's
// number on this connection and where its pixels start in the pool; their
// size follows from the geometry.
struct ShmVideoFields {
    VideoFields video;
    uint64_t frame_id = 0;
    uint64_t offset = 0;
};
inline constexpr uint32_t kShmVideoFixedBytes = kVideoFixedBytes + 16;

struct ReleaseFields {
    uint64_t frame_id = 0;
};
inline constexpr uint32_t kReleaseFixedBytes = 8;

// Minimum fixed size of a type; 0 for a type that has none (hello,
// redirect); nothing for an unknown type.
std::optional<uint32_t> fixed_size(MessageType type);

// --- encoding ---------------------------------------------------------------
// Each returns header + fixed fields + text; the data, if any, follows.
std::vector<uint8_t> encode_video(const VideoFields& f, std::string_view text, uint64_t data_len);
std::vector<uint8_t> encode_audio(const AudioFields& f, std::string_view text, uint64_t data_len);
std::vector<uint8_t> encode_metadata(const MetadataFields& f, std::string_view text);
std::vector<uint8_t> encode_status(const StatusFields& f);
std::vector<uint8_t> encode_hello(std::string_view receiver_name);
std::vector<uint8_t> encode_ptz(const PtzFields& f);
std::vector<uint8_t> encode_redirect(std::string_view locator);
std::vector<uint8_t> encode_shm_video(const ShmVideoFields& f, std::string_view text);
std::vector<uint8_t> encode_release(const ReleaseFields& f);

// --- decoding ---------------------------------------------------------------
// Checks magic, version, flags, the type and the lengths that the type
// allows; nothing for a bad header.
std::optional<Header> decode_header(std::span<const uint8_t, kHeaderBytes> bytes);

// Decode the fixed fields of a checked header (fixed.size() == fixed_len)
// and check them against the header's text and data lengths.
std::optional<VideoFields> decode_video(const Header& h, std::span<const uint8_t> fixed);
std::optional<AudioFields> decode_audio(const Header& h, std::span<const uint8_t> fixed);
std::optional<MetadataFields> decode_metadata(const Header& h, std::span<const uint8_t> fixed);
std::optional<StatusFields> decode_status(const Header& h, std::span<const uint8_t> fixed);
std::optional<PtzFields> decode_ptz(const Header& h, std::span<const uint8_t> fixed);
std::optional<ShmVideoFields> decode_shm_video(const Header& h, std::span<const uint8_t> fixed);
std::optional<ReleaseFields> decode_release(const Header& h, std::span<const uint8_t> fixed);

// Runs the decoder of the header's type over its fixed fields.
bool check_fixed(const Header& h, std::span<const uint8_t> fixed);

// Text is valid when it holds no NUL byte.
bool valid_text(std::span<const uint8_t> text);

// Data bytes that a video frame of these fields occupies; nothing when the
// frame breaks the media rules or its line size does not match.
std::optional<uint64_t> video_data_bytes(const VideoFields& f);
std::optional<uint64_t> audio_data_bytes(const AudioFields& f);

// One whole message parsed from memory, for tests and the fuzz target.
struct Parsed {
    Header header;
    size_t consumed = 0;
};
enum class ParseResult { ok, need_more, bad };
ParseResult parse_message(std::span<const uint8_t> bytes, Parsed& out);

}  // namespace qrv::wire

#endif
