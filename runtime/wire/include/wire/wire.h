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
// The version is that of the framing above; it changes only if the framing
// itself does. Later versions of the protocol extend it within the framing:
// longer fixed fields, new message types and new payload formats. A reader
// skips a well-framed message of a type it does not know, and media in a
// format it does not know, reading their bytes in small pieces; it is not a
// protocol error. What a receiver wants and can decode is told to the source
// in the fixed fields of its hello.
//
// Media carry a format tag, so that compressed payloads can be added without
// a new protocol. Every length is checked against the type, against fixed
// caps and, for media, against the geometry of the frame itself before
// anything is allocated or read.
#ifndef QRV_TRANSPORT_WIRE_H
#define QRV_TRANSPORT_WIRE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "media/convert.h"
#include "media/formats.h"
#include "wire/datagram_seal.h"

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
    tally = 10,    // receiver -> source: on program and/or on preview
    // source -> receiver, nothing else: sent when a connection has been
    // idle for a while, so that a receiver can tell a quiet source from
    // one that is gone. Receivers that do not know it skip it.
    keepalive = 11,
    // source -> receiver: a camera command of this connection is held for
    // the source's application (or refused). Sent only for commands that
    // carry a sequence number, by sources whose status has kStatusPtzAcks.
    ptz_ack = 12,
    // source -> receiver: the group this connection's media can be taken
    // from (datagram.h). Sent only to receivers that offered to join.
    multicast_offer = 13,
    // receiver -> source: joined the offered group (media then stop on
    // this connection) or left it (they come on it again).
    multicast_state = 14,
    // receiver -> source: datagrams of the group that did not come, to be
    // sent again to this receiver alone; data = their indexes (u32 each).
    nack = 15,
    // receiver -> source, right after the hello on a TLS link: proof that
    // the receiver holds the operator key (OperatorProofFields). Sources
    // that do not know it skip it.
    operator_proof = 16,
    // source -> receiver, over TLS only: a key the group's datagrams are
    // (or are about to be) sealed with (datagram_seal.h).
    multicast_key = 17,
};

// True for the types this version reads; others are skipped.
bool known_type(MessageType type);

// Format tags of media payloads.
inline constexpr uint32_t kVideoRaw = 0;         // packed lines per FourCC
// Slices of JPEG with alpha apart (media/jpeg_codec.h); the fields still
// describe the frame as it decodes: FourCC, size and packed line bytes.
inline constexpr uint32_t kVideoSlicedJpeg = 1;
inline constexpr uint32_t kAudioPlanarFloat = 0;  // channel after channel

inline constexpr uint32_t kStatusPtz = 1u << 0;
// The source's tally, combined over all its receivers.
inline constexpr uint32_t kStatusTallyProgram = 1u << 1;
inline constexpr uint32_t kStatusTallyPreview = 1u << 2;
// The source acknowledges camera commands that carry a sequence number
// (ptz_ack); a receiver waits for acknowledgements only from such sources.
inline constexpr uint32_t kStatusPtzAcks = 1u << 3;
// The source can send this connection's media to a multicast group; its
// offer follows the status (datagram.h).
inline constexpr uint32_t kStatusMulticast = 1u << 4;

// The kinds of media a receiver wants, as bits of HelloFields::kinds.
inline constexpr uint32_t kWantVideo = 1u << 0;
inline constexpr uint32_t kWantAudio = 1u << 1;
inline constexpr uint32_t kWantMetadata = 1u << 2;
inline constexpr uint32_t kWantAll = kWantVideo | kWantAudio | kWantMetadata;

// The bandwidth a receiver asked for: the codes of QRVlib_recv_bandwidth_e.
enum class Bandwidth : uint32_t {
    metadata_only = 0,  // metadata only
    audio_only = 10,    // audio and metadata
    lowest = 50,        // everything, video as a reduced preview picture
    highest = 100,      // everything as sent
};

// The pixel layout a receiver wants its video in. The receiver converts at
// capture; the source is told it in the hello but sends the layout it was
// given (the field leaves room for a source that sends the wanted layout).
using ColorFormat = media::ColorFormat;

// A receiver's hello: its name as text, then these fixed fields. A hello
// without fixed fields (from the first version) means everything, raw, as
// sent: the defaults below.
struct HelloFields {
    uint32_t kinds = kWantAll;
    uint32_t video_formats = 1u << kVideoRaw;         // bit n: format tag n
    uint32_t audio_formats = 1u << kAudioPlanarFloat;  // bit n: format tag n
    ColorFormat color_format = ColorFormat::fastest;  // any value may arrive
    Bandwidth bandwidth = Bandwidth::highest;         // any value may arrive
    // At most one video frame per this many microseconds; 0: every frame.
    // Hellos without it (20 bytes) ask for every frame.
    uint32_t frame_interval_us = 0;
    // kHello* bits; hellos without them (24 bytes or fewer) offer nothing.
    uint32_t flags = 0;
};
inline constexpr uint32_t kHelloFixedBytes = 20;      // the least a hello with fields holds
inline constexpr uint32_t kHelloRateFixedBytes = 24;  // with the frame interval
inline constexpr uint32_t kHelloFlagsFixedBytes = 28;  // with the flags
// The receiver can join a multicast group the source offers.
inline constexpr uint32_t kHelloJoinMulticast = 1u << 0;
// The receiver keeps the shared-memory pools it was passed by number, so
// that a pool's descriptor is passed only once (ShmVideoFields::region).
inline constexpr uint32_t kHelloSharedRegions = 1u << 1;

// The kinds a receiver of this bandwidth wants (an unknown code: all).
uint32_t kinds_for(Bandwidth bandwidth);
// True when a mask of format tags holds the tag.
inline bool has_format(uint32_t mask, uint32_t tag)
{
    return tag < 32 && (mask >> tag & 1u) != 0;
}

// Tally: bits of TallyFields::flags; other bits are ignored.
inline constexpr uint32_t kTallyProgram = 1u << 0;
inline constexpr uint32_t kTallyPreview = 1u << 1;
struct TallyFields {
    uint32_t flags = 0;
};
inline constexpr uint32_t kTallyFixedBytes = 4;

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
    // The frame's number on its source (1 for the first), so that a
    // receiver sees the frames the source skipped for it; 0: not told.
    uint64_t frame_number = 0;
};
// The fields up to line_bytes; a frame with a number carries 8 bytes more.
inline constexpr uint32_t kVideoFixedBytes = 52;
inline constexpr uint32_t kVideoNumberedFixedBytes = kVideoFixedBytes + 8;

struct AudioFields {
    int32_t sample_rate = 0;
    int32_t channels = 0;
    int32_t samples = 0;
    uint32_t format_tag = kAudioPlanarFloat;
    int64_t timecode = 0;
    int64_t timestamp = 0;
    // The frame's number on its source (1 for the first), so that a
    // receiver sees the frames the source skipped for it and takes a frame
    // that came twice (from the group and the connection) once; 0: not told.
    uint64_t frame_number = 0;
};
// The fields up to timestamp; a frame with a number carries 8 bytes more.
inline constexpr uint32_t kAudioFixedBytes = 32;
inline constexpr uint32_t kAudioNumberedFixedBytes = kAudioFixedBytes + 8;

struct MetadataFields {
    int64_t timecode = 0;
    uint64_t frame_number = 0;  // as AudioFields::frame_number
};
inline constexpr uint32_t kMetadataFixedBytes = 8;
inline constexpr uint32_t kMetadataNumberedFixedBytes = kMetadataFixedBytes + 8;

struct StatusFields {
    uint32_t flags = 0;
};
inline constexpr uint32_t kStatusFixedBytes = 4;

struct PtzFields {
    PtzCommand command{};
    int32_t preset = 0;
    float value_a = 0.0f;
    float value_b = 0.0f;
    // The command's number on its connection (1 for the first, counting
    // up); 0: not numbered, nothing is acknowledged. Sources of the first
    // version skip it with the rest of the longer fixed fields.
    uint64_t sequence = 0;
};
inline constexpr uint32_t kPtzFixedBytes = 16;
inline constexpr uint32_t kPtzNumberedFixedBytes = kPtzFixedBytes + 8;

// What became of a numbered camera command at the source.
enum class PtzOutcome : uint32_t {
    held = 0,     // held for the source's application, in the order sent
    refused = 1,  // not taken: see PtzRefusal
};
// Why a command was refused. Acknowledgements without the field (12
// bytes) mean out_of_range; receivers of the first version skip it.
enum class PtzRefusal : uint32_t {
    out_of_range = 0,        // a value outside its range
    needs_operator_key = 1,  // the source takes commands only from peers
                             // that proved its operator key
};
// Acknowledges every command of the connection up to sequence, which
// itself had this outcome (commands are taken in the order they come).
struct PtzAckFields {
    uint64_t sequence = 0;
    PtzOutcome outcome = PtzOutcome::held;
    PtzRefusal refusal = PtzRefusal::out_of_range;  // of a refused one
};
inline constexpr uint32_t kPtzAckFixedBytes = 12;
inline constexpr uint32_t kPtzAckRefusalFixedBytes = 16;  // with the refusal

// An HMAC-SHA256 that binds the operator key to this TLS connection
// (link_keys.h); only meaningful inside TLS.
struct OperatorProofFields {
    std::array<uint8_t, 32> mac{};
};
inline constexpr uint32_t kOperatorProofFixedBytes = 32;

// Where a connection's media can be taken from instead (datagram.h):
// IPv4 addresses in host order.
struct MulticastOfferFields {
    uint32_t group = 0;
    uint32_t source = 0;  // the address the datagrams come from
    uint16_t port = 0;
    uint16_t part_bytes = 0;
    uint64_t token = 0;
};
inline constexpr uint32_t kMulticastOfferFixedBytes = 20;

inline constexpr uint32_t kMulticastLeft = 0;
inline constexpr uint32_t kMulticastJoined = 1;
struct MulticastStateFields {
    uint32_t state = kMulticastLeft;
};
inline constexpr uint32_t kMulticastStateFixedBytes = 4;

// A group key: u16 id, u16 reserved, 4 bytes of nonce salt, 32 of secret.
inline constexpr uint32_t kMulticastKeyFixedBytes = 40;

// A receiver's request for datagrams again: of the message `sequence` of
// the group's `stream`, those whose indexes follow as data (none: all of
// it), to this receiver's address at `port`.
struct NackFields {
    uint32_t stream = 0;
    uint16_t port = 0;
    uint16_t count = 0;  // indexes in the data
    uint64_t sequence = 0;
};
inline constexpr uint32_t kNackFixedBytes = 16;
inline constexpr uint16_t kMaxNackIndexes = 512;

// The ranges of a camera command's values, one table for the receiver
// that clamps what its caller asks and the source that refuses what lies
// outside: presets 0 to 99; speeds 0 to 1; pan and tilt speeds -1 to 1;
// zoom 0 (wide) to 1 (tele).
inline constexpr int32_t kMaxPreset = 99;
struct PtzRange {
    bool preset;  // the command names a preset
    float min_a, max_a, min_b, max_b;
};
// The ranges of a command; nothing for an unknown one.
std::optional<PtzRange> ptz_range(PtzCommand command);
// True when every value lies in its range.
bool ptz_in_range(const PtzFields& c);
// The command with its values clamped into their ranges; nothing for a
// preset outside its range or a value that is not a number.
std::optional<PtzFields> ptz_clamped(PtzFields c);

// A video frame in shared memory: the video fields, then the frame's
// number on this connection and where its pixels start in the pool; their
// size follows from the geometry. Then, optionally, the number of the pool
// (region): a receiver that offered kHelloSharedRegions is passed a pool's
// descriptor only with the first frame in it and knows it by this number
// after that (see wire/passed_regions.h). 0 or absent: the descriptor
// comes with every frame. Then, optionally, the frame's number on its
// source (VideoFields::frame_number), so that a receiver on this host too
// sees the frames the source skipped for it; a numbered frame carries the
// region field, 0 when there is none.
struct ShmVideoFields {
    VideoFields video;
    uint64_t frame_id = 0;
    uint64_t offset = 0;
    uint64_t region = 0;
};
inline constexpr uint32_t kShmVideoFixedBytes = kVideoFixedBytes + 16;
inline constexpr uint32_t kShmVideoRegionFixedBytes = kShmVideoFixedBytes + 8;  // with the region
inline constexpr uint32_t kShmVideoNumberedFixedBytes = kShmVideoRegionFixedBytes + 8;  // and the number

struct ReleaseFields {
    uint64_t frame_id = 0;
};
inline constexpr uint32_t kReleaseFixedBytes = 8;

// Minimum fixed size of a type; 0 for a type that has none (hello, whose
// fields are optional, and redirect); nothing for an unknown type.
std::optional<uint32_t> fixed_size(MessageType type);

// --- encoding ---------------------------------------------------------------
// Each returns header + fixed fields + text; the data, if any, follows.
std::vector<uint8_t> encode_video(const VideoFields& f, std::string_view text, uint64_t data_len);
std::vector<uint8_t> encode_audio(const AudioFields& f, std::string_view text, uint64_t data_len);
std::vector<uint8_t> encode_metadata(const MetadataFields& f, std::string_view text);
std::vector<uint8_t> encode_status(const StatusFields& f);
// A hello with fixed fields; without them, that of the first version.
std::vector<uint8_t> encode_hello(std::string_view receiver_name, const HelloFields& f);
std::vector<uint8_t> encode_hello(std::string_view receiver_name);
std::vector<uint8_t> encode_tally(const TallyFields& f);
// Numbered commands (sequence not 0) carry kPtzNumberedFixedBytes.
std::vector<uint8_t> encode_ptz(const PtzFields& f);
std::vector<uint8_t> encode_ptz_ack(const PtzAckFields& f);
std::vector<uint8_t> encode_operator_proof(const OperatorProofFields& f);
std::vector<uint8_t> encode_redirect(std::string_view locator);
std::vector<uint8_t> encode_shm_video(const ShmVideoFields& f, std::string_view text);
// The fixed part of a video message alone (numbered when the frame has a
// number): what a shared-memory frame becomes once its pixels are mapped.
std::vector<uint8_t> encode_video_fixed(const VideoFields& f);
std::vector<uint8_t> encode_release(const ReleaseFields& f);
std::vector<uint8_t> encode_keepalive();
std::vector<uint8_t> encode_multicast_offer(const MulticastOfferFields& f);
std::vector<uint8_t> encode_multicast_state(const MulticastStateFields& f);
std::vector<uint8_t> encode_multicast_key(const DatagramKey& key);
// At most kMaxNackIndexes indexes (the rest are left out).
std::vector<uint8_t> encode_nack(NackFields f, std::span<const uint32_t> indexes);

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
// Nothing for a sequence of 0 or an outcome this version does not know
// (an unknown refusal reads as out_of_range).
std::optional<PtzAckFields> decode_ptz_ack(const Header& h, std::span<const uint8_t> fixed);
std::optional<OperatorProofFields> decode_operator_proof(const Header& h, std::span<const uint8_t> fixed);
std::optional<ShmVideoFields> decode_shm_video(const Header& h, std::span<const uint8_t> fixed);
std::optional<ReleaseFields> decode_release(const Header& h, std::span<const uint8_t> fixed);
// No fixed fields give the defaults; fewer than kHelloFixedBytes are bad.
std::optional<HelloFields> decode_hello(const Header& h, std::span<const uint8_t> fixed);
std::optional<TallyFields> decode_tally(const Header& h, std::span<const uint8_t> fixed);
// Nothing for a group outside 224.0.0.0/4, a port or token of 0, or a
// part size a datagram cannot have.
std::optional<MulticastOfferFields> decode_multicast_offer(const Header& h, std::span<const uint8_t> fixed);
// Nothing for a state this version does not know.
std::optional<MulticastStateFields> decode_multicast_state(const Header& h, std::span<const uint8_t> fixed);
std::optional<DatagramKey> decode_multicast_key(const Header& h, std::span<const uint8_t> fixed);
// Nothing when the data is not exactly count indexes, or count is over
// kMaxNackIndexes, or the sequence or port is 0.
std::optional<NackFields> decode_nack(const Header& h, std::span<const uint8_t> fixed);

// Runs the decoder of the header's type over its fixed fields.
bool check_fixed(const Header& h, std::span<const uint8_t> fixed);

// What a reader does with a message once its header and fixed fields are
// in: take it (checked), skip it (a type, or a payload format of media,
// that this version does not know; its text and data are read and thrown
// away), or drop the connection for it.
enum class Verdict { take, skip, bad };
Verdict judge(const Header& h, std::span<const uint8_t> fixed);

// Types a receiver may send to a source, and the most bytes (fixed fields,
// text and data together) one such message may carry.
bool upstream_type(MessageType type);
inline constexpr uint64_t kMaxUpstreamBytes = 4 * 1024;

// Text is valid when it holds no NUL byte.
bool valid_text(std::span<const uint8_t> text);

// Data bytes that a video frame of these fields occupies; nothing when the
// frame breaks the media rules or its line size does not match.
std::optional<uint64_t> video_data_bytes(const VideoFields& f);
// Whether data_len bytes are a possible payload of a frame of these fields:
// exactly the raw size, or for a compressed format a valid geometry of a
// layout the codec carries and a size within its cap.
bool video_data_fits(const VideoFields& f, uint64_t data_len);
std::optional<uint64_t> audio_data_bytes(const AudioFields& f);

// One whole message parsed from memory, for tests and the fuzz target.
struct Parsed {
    Header header;
    size_t consumed = 0;
};
// skip: a whole message that a reader would skip (see judge).
enum class ParseResult { ok, skip, need_more, bad };
ParseResult parse_message(std::span<const uint8_t> bytes, Parsed& out);

}  // namespace qrv::wire

#endif
