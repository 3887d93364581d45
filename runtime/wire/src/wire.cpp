#include "wire/wire.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "media/jpeg_codec.h"
#include "wire/datagram.h"
#include "qrvlib.h"

namespace qrv::wire {

// Bandwidth codes carried in the hello are those of the interface (the
// colour formats' are tied to it in the media layer).
static_assert((uint32_t)Bandwidth::metadata_only == QRVlib_recv_bandwidth_metadata_only);
static_assert((uint32_t)Bandwidth::audio_only == QRVlib_recv_bandwidth_audio_only);
static_assert((uint32_t)Bandwidth::lowest == QRVlib_recv_bandwidth_lowest);
static_assert((uint32_t)Bandwidth::highest == QRVlib_recv_bandwidth_highest);

namespace {

// Little-endian writer and reader over byte buffers.
class Writer {
public:
    explicit Writer(std::vector<uint8_t>& out) : out_(out) {}
    void u8(uint8_t v) { out_.push_back(v); }
    void u16(uint16_t v) { put(v, 2); }
    void u32(uint32_t v) { put(v, 4); }
    void u64(uint64_t v) { put(v, 8); }
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void i64(int64_t v) { u64(static_cast<uint64_t>(v)); }
    void f32(float v)
    {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        u32(bits);
    }
    void text(std::string_view t) { out_.insert(out_.end(), t.begin(), t.end()); }

private:
    void put(uint64_t v, int n)
    {
        for (int i = 0; i < n; ++i)
            out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    std::vector<uint8_t>& out_;
};

class Reader {
public:
    explicit Reader(std::span<const uint8_t> in) : in_(in) {}
    uint8_t u8() { return static_cast<uint8_t>(get(1)); }
    uint16_t u16() { return static_cast<uint16_t>(get(2)); }
    uint32_t u32() { return static_cast<uint32_t>(get(4)); }
    uint64_t u64() { return get(8); }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    int64_t i64() { return static_cast<int64_t>(u64()); }
    float f32()
    {
        const uint32_t bits = u32();
        float v;
        std::memcpy(&v, &bits, 4);
        return v;
    }

private:
    // Callers check the size first; reading past the end yields zeros.
    uint64_t get(size_t n)
    {
        uint64_t v = 0;
        for (size_t i = 0; i < n && pos_ + i < in_.size(); ++i)
            v |= static_cast<uint64_t>(in_[pos_ + i]) << (8 * i);
        pos_ += n;
        return v;
    }
    std::span<const uint8_t> in_;
    size_t pos_ = 0;
};

std::vector<uint8_t> start(MessageType type, uint32_t fixed_len, std::string_view text, uint64_t data_len)
{
    std::vector<uint8_t> out;
    out.reserve(kHeaderBytes + fixed_len + text.size());
    Writer w(out);
    w.u32(kMagic);
    w.u8(kVersion);
    w.u8(static_cast<uint8_t>(type));
    w.u16(0);
    w.u32(fixed_len);
    w.u32(static_cast<uint32_t>(text.size()));
    w.u64(data_len);
    return out;
}

struct Limits {
    uint32_t max_text;
    uint64_t max_data;
};

std::optional<Limits> limits(MessageType type)
{
    switch (type) {
    case MessageType::hello:
        return Limits{kMaxNameBytes, 0};
    case MessageType::status:
    case MessageType::ptz:
        return Limits{0, 0};
    case MessageType::video:
        return Limits{kMaxTextBytes, kMaxVideoDataBytes};
    case MessageType::audio:
        return Limits{kMaxTextBytes, kMaxAudioDataBytes};
    case MessageType::metadata:
        return Limits{kMaxTextBytes, 0};
    case MessageType::redirect:
        return Limits{kMaxLocatorBytes, 0};
    case MessageType::shm_video:
        return Limits{kMaxTextBytes, 0};
    case MessageType::release:
    case MessageType::tally:
    case MessageType::keepalive:
    case MessageType::ptz_ack:
    case MessageType::multicast_offer:
    case MessageType::multicast_state:
    case MessageType::operator_proof:
    case MessageType::multicast_key:
        return Limits{0, 0};
    case MessageType::nack:
        return Limits{0, uint64_t(kMaxNackIndexes) * 4};
    }
    return std::nullopt;
}

// A type this version does not know: whatever a later version may put in
// a message, within the caps of any message.
constexpr Limits kUnknownLimits{kMaxTextBytes, kMaxVideoDataBytes};

}  // namespace

bool known_type(MessageType type)
{
    return fixed_size(type).has_value();
}

uint32_t kinds_for(Bandwidth bandwidth)
{
    switch (bandwidth) {
    case Bandwidth::metadata_only:
        return kWantMetadata;
    case Bandwidth::audio_only:
        return kWantAudio | kWantMetadata;
    case Bandwidth::lowest:
    case Bandwidth::highest:
        break;
    }
    return kWantAll;
}

std::optional<uint32_t> fixed_size(MessageType type)
{
    switch (type) {
    case MessageType::hello:
    case MessageType::redirect:
        return 0u;
    case MessageType::status:
        return kStatusFixedBytes;
    case MessageType::video:
        return kVideoFixedBytes;
    case MessageType::audio:
        return kAudioFixedBytes;
    case MessageType::metadata:
        return kMetadataFixedBytes;
    case MessageType::ptz:
        return kPtzFixedBytes;
    case MessageType::shm_video:
        return kShmVideoFixedBytes;
    case MessageType::release:
        return kReleaseFixedBytes;
    case MessageType::tally:
        return kTallyFixedBytes;
    case MessageType::keepalive:
        return 0u;
    case MessageType::ptz_ack:
        return kPtzAckFixedBytes;
    case MessageType::multicast_offer:
        return kMulticastOfferFixedBytes;
    case MessageType::multicast_state:
        return kMulticastStateFixedBytes;
    case MessageType::multicast_key:
        return kMulticastKeyFixedBytes;
    case MessageType::nack:
        return kNackFixedBytes;
    case MessageType::operator_proof:
        return kOperatorProofFixedBytes;
    }
    return std::nullopt;
}

namespace {

void put_video_fields(Writer& w, const VideoFields& f)
{
    w.i32(f.width);
    w.i32(f.height);
    w.u32(f.fourcc);
    w.i32(f.frame_rate_num);
    w.i32(f.frame_rate_den);
    w.f32(f.aspect_ratio);
    w.u32(f.frame_format);
    w.u32(f.format_tag);
    w.i64(f.timecode);
    w.i64(f.timestamp);
    w.u32(f.line_bytes);
}

}  // namespace

std::vector<uint8_t> encode_video(const VideoFields& f, std::string_view text, uint64_t data_len)
{
    // Without a number the fields are those of the first version.
    const bool numbered = f.frame_number != 0;
    auto out = start(MessageType::video, numbered ? kVideoNumberedFixedBytes : kVideoFixedBytes, text, data_len);
    Writer w(out);
    put_video_fields(w, f);
    if (numbered)
        w.u64(f.frame_number);
    w.text(text);
    return out;
}

std::vector<uint8_t> encode_shm_video(const ShmVideoFields& f, std::string_view text)
{
    const bool numbered = f.video.frame_number != 0;
    const uint32_t fixed_len = numbered   ? kShmVideoNumberedFixedBytes
                               : f.region ? kShmVideoRegionFixedBytes
                                          : kShmVideoFixedBytes;
    auto out = start(MessageType::shm_video, fixed_len, text, 0);
    Writer w(out);
    put_video_fields(w, f.video);
    w.u64(f.frame_id);
    w.u64(f.offset);
    if (f.region || numbered)
        w.u64(f.region);
    if (numbered)
        w.u64(f.video.frame_number);
    w.text(text);
    return out;
}

std::vector<uint8_t> encode_video_fixed(const VideoFields& f)
{
    std::vector<uint8_t> out;
    out.reserve(kVideoNumberedFixedBytes);
    Writer w(out);
    put_video_fields(w, f);
    if (f.frame_number != 0)
        w.u64(f.frame_number);
    return out;
}

std::vector<uint8_t> encode_release(const ReleaseFields& f)
{
    auto out = start(MessageType::release, kReleaseFixedBytes, {}, 0);
    Writer(out).u64(f.frame_id);
    return out;
}

std::vector<uint8_t> encode_audio(const AudioFields& f, std::string_view text, uint64_t data_len)
{
    const bool numbered = f.frame_number != 0;
    auto out = start(MessageType::audio, numbered ? kAudioNumberedFixedBytes : kAudioFixedBytes, text, data_len);
    Writer w(out);
    w.i32(f.sample_rate);
    w.i32(f.channels);
    w.i32(f.samples);
    w.u32(f.format_tag);
    w.i64(f.timecode);
    w.i64(f.timestamp);
    if (numbered)
        w.u64(f.frame_number);
    w.text(text);
    return out;
}

std::vector<uint8_t> encode_metadata(const MetadataFields& f, std::string_view text)
{
    const bool numbered = f.frame_number != 0;
    auto out = start(MessageType::metadata, numbered ? kMetadataNumberedFixedBytes : kMetadataFixedBytes, text, 0);
    Writer w(out);
    w.i64(f.timecode);
    if (numbered)
        w.u64(f.frame_number);
    w.text(text);
    return out;
}

std::vector<uint8_t> encode_status(const StatusFields& f)
{
    auto out = start(MessageType::status, kStatusFixedBytes, {}, 0);
    Writer(out).u32(f.flags);
    return out;
}

std::vector<uint8_t> encode_hello(std::string_view receiver_name)
{
    auto out = start(MessageType::hello, 0, receiver_name, 0);
    Writer(out).text(receiver_name);
    return out;
}

std::vector<uint8_t> encode_hello(std::string_view receiver_name, const HelloFields& f)
{
    // The flags only when there are any: a hello as short as it can be.
    const uint32_t fixed = f.flags ? kHelloFlagsFixedBytes : kHelloRateFixedBytes;
    auto out = start(MessageType::hello, fixed, receiver_name, 0);
    Writer w(out);
    w.u32(f.kinds);
    w.u32(f.video_formats);
    w.u32(f.audio_formats);
    w.u32(static_cast<uint32_t>(f.color_format));
    w.u32(static_cast<uint32_t>(f.bandwidth));
    w.u32(f.frame_interval_us);
    if (f.flags)
        w.u32(f.flags);
    w.text(receiver_name);
    return out;
}

std::vector<uint8_t> encode_keepalive()
{
    return start(MessageType::keepalive, 0, {}, 0);
}

bool upstream_type(MessageType type)
{
    switch (type) {
    case MessageType::hello:
    case MessageType::ptz:
    case MessageType::release:
    case MessageType::tally:
    case MessageType::multicast_state:
    case MessageType::nack:
    case MessageType::operator_proof:
        return true;
    default:
        return false;
    }
}

std::vector<uint8_t> encode_tally(const TallyFields& f)
{
    auto out = start(MessageType::tally, kTallyFixedBytes, {}, 0);
    Writer(out).u32(f.flags);
    return out;
}

std::vector<uint8_t> encode_ptz(const PtzFields& f)
{
    // Without a number the fields are those of the first version.
    const bool numbered = f.sequence != 0;
    auto out = start(MessageType::ptz, numbered ? kPtzNumberedFixedBytes : kPtzFixedBytes, {}, 0);
    Writer w(out);
    w.u32(static_cast<uint32_t>(f.command));
    w.i32(f.preset);
    w.f32(f.value_a);
    w.f32(f.value_b);
    if (numbered)
        w.u64(f.sequence);
    return out;
}

std::vector<uint8_t> encode_ptz_ack(const PtzAckFields& f)
{
    const bool reason = f.outcome == PtzOutcome::refused && f.refusal != PtzRefusal::out_of_range;
    auto out = start(MessageType::ptz_ack, reason ? kPtzAckRefusalFixedBytes : kPtzAckFixedBytes, {}, 0);
    Writer w(out);
    w.u64(f.sequence);
    w.u32(static_cast<uint32_t>(f.outcome));
    if (reason)
        w.u32(static_cast<uint32_t>(f.refusal));
    return out;
}

std::vector<uint8_t> encode_operator_proof(const OperatorProofFields& f)
{
    auto out = start(MessageType::operator_proof, kOperatorProofFixedBytes, {}, 0);
    out.insert(out.end(), f.mac.begin(), f.mac.end());
    return out;
}

std::vector<uint8_t> encode_redirect(std::string_view locator)
{
    auto out = start(MessageType::redirect, 0, locator, 0);
    Writer(out).text(locator);
    return out;
}

std::optional<Header> decode_header(std::span<const uint8_t, kHeaderBytes> bytes)
{
    Reader r(bytes);
    if (r.u32() != kMagic || r.u8() != kVersion)
        return std::nullopt;
    Header h;
    h.type = static_cast<MessageType>(r.u8());
    if (r.u16() != 0)
        return std::nullopt;
    h.fixed_len = r.u32();
    h.text_len = r.u32();
    h.data_len = r.u64();
    const uint32_t min_fixed = fixed_size(h.type).value_or(0);
    const Limits lim = limits(h.type).value_or(kUnknownLimits);
    if (h.fixed_len < min_fixed || h.fixed_len > kMaxFixedBytes || h.text_len > lim.max_text ||
        h.data_len > lim.max_data)
        return std::nullopt;
    return h;
}

static media::VideoFormat video_format(const VideoFields& f)
{
    return {f.width, f.height, f.fourcc, f.frame_rate_num, f.frame_rate_den, f.aspect_ratio, f.frame_format};
}

std::optional<uint64_t> video_data_bytes(const VideoFields& f)
{
    if (f.format_tag != kVideoRaw)
        return std::nullopt;
    const auto g = media::check_video(video_format(f));
    if (!g || f.line_bytes != g->line_bytes)
        return std::nullopt;
    return g->frame_bytes;
}

bool video_data_fits(const VideoFields& f, uint64_t data_len)
{
    if (f.format_tag == kVideoRaw)
        return video_data_bytes(f) == data_len;
    if (f.format_tag != kVideoSlicedJpeg || !media::can_compress(f.fourcc))
        return false;
    const auto g = media::check_video(video_format(f));
    return g && f.line_bytes == g->line_bytes && data_len > 0 &&
           data_len <= media::max_compressed_bytes(f.width, f.height);
}

std::optional<uint64_t> audio_data_bytes(const AudioFields& f)
{
    if (f.format_tag != kAudioPlanarFloat)
        return std::nullopt;
    return media::check_audio({f.sample_rate, f.channels, f.samples});
}

std::optional<VideoFields> decode_video(const Header& h, std::span<const uint8_t> fixed)
{
    if (h.type != MessageType::video || fixed.size() != h.fixed_len || fixed.size() < kVideoFixedBytes)
        return std::nullopt;
    Reader r(fixed);
    VideoFields f;
    f.width = r.i32();
    f.height = r.i32();
    f.fourcc = r.u32();
    f.frame_rate_num = r.i32();
    f.frame_rate_den = r.i32();
    f.aspect_ratio = r.f32();
    f.frame_format = r.u32();
    f.format_tag = r.u32();
    f.timecode = r.i64();
    f.timestamp = r.i64();
    f.line_bytes = r.u32();
    if (fixed.size() >= kVideoNumberedFixedBytes)
        f.frame_number = r.u64();
    if (!video_data_fits(f, h.data_len))
        return std::nullopt;
    return f;
}

std::optional<AudioFields> decode_audio(const Header& h, std::span<const uint8_t> fixed)
{
    if (h.type != MessageType::audio || fixed.size() != h.fixed_len || fixed.size() < kAudioFixedBytes)
        return std::nullopt;
    Reader r(fixed);
    AudioFields f;
    f.sample_rate = r.i32();
    f.channels = r.i32();
    f.samples = r.i32();
    f.format_tag = r.u32();
    f.timecode = r.i64();
    f.timestamp = r.i64();
    if (fixed.size() >= kAudioNumberedFixedBytes)
        f.frame_number = r.u64();
    const auto n = audio_data_bytes(f);
    if (!n || *n != h.data_len)
        return std::nullopt;
    return f;
}

std::optional<MetadataFields> decode_metadata(const Header& h, std::span<const uint8_t> fixed)
{
    if (h.type != MessageType::metadata || fixed.size() != h.fixed_len || fixed.size() < kMetadataFixedBytes)
        return std::nullopt;
    Reader r(fixed);
    MetadataFields f{r.i64()};
    if (fixed.size() >= kMetadataNumberedFixedBytes)
        f.frame_number = r.u64();
    return f;
}

std::optional<StatusFields> decode_status(const Header& h, std::span<const uint8_t> fixed)
{
    if (h.type != MessageType::status || fixed.size() != h.fixed_len || fixed.size() < kStatusFixedBytes)
        return std::nullopt;
    Reader r(fixed);
    return StatusFields{r.u32()};
}

std::optional<PtzFields> decode_ptz(const Header& h, std::span<const uint8_t> fixed)
{
    if (h.type != MessageType::ptz || fixed.size() != h.fixed_len || fixed.size() < kPtzFixedBytes)
        return std::nullopt;
    Reader r(fixed);
    PtzFields f;
    const uint32_t command = r.u32();
    if (command < 1 || command > 4)
        return std::nullopt;
    f.command = static_cast<PtzCommand>(command);
    f.preset = r.i32();
    f.value_a = r.f32();
    f.value_b = r.f32();
    if (fixed.size() >= kPtzNumberedFixedBytes)
        f.sequence = r.u64();
    if (!std::isfinite(f.value_a) || !std::isfinite(f.value_b))
        return std::nullopt;
    return f;
}

std::optional<PtzAckFields> decode_ptz_ack(const Header& h, std::span<const uint8_t> fixed)
{
    if (h.type != MessageType::ptz_ack || fixed.size() != h.fixed_len || fixed.size() < kPtzAckFixedBytes)
        return std::nullopt;
    Reader r(fixed);
    PtzAckFields f;
    f.sequence = r.u64();
    const uint32_t outcome = r.u32();
    if (f.sequence == 0 || outcome > static_cast<uint32_t>(PtzOutcome::refused))
        return std::nullopt;
    f.outcome = static_cast<PtzOutcome>(outcome);
    if (fixed.size() >= kPtzAckRefusalFixedBytes && f.outcome == PtzOutcome::refused &&
        r.u32() == static_cast<uint32_t>(PtzRefusal::needs_operator_key))
        f.refusal = PtzRefusal::needs_operator_key;
    return f;
}

std::optional<OperatorProofFields> decode_operator_proof(const Header& h, std::span<const uint8_t> fixed)
{
    if (h.type != MessageType::operator_proof || fixed.size() != h.fixed_len ||
        fixed.size() < kOperatorProofFixedBytes)
        return std::nullopt;
    OperatorProofFields f;
    std::copy_n(fixed.begin(), f.mac.size(), f.mac.begin());
    return f;
}

std::vector<uint8_t> encode_multicast_offer(const MulticastOfferFields& f)
{
    auto out = start(MessageType::multicast_offer, kMulticastOfferFixedBytes, {}, 0);
    Writer w(out);
    w.u32(f.group);
    w.u32(f.source);
    w.u16(f.port);
    w.u16(f.part_bytes);
    w.u64(f.token);
    return out;
}

std::vector<uint8_t> encode_multicast_state(const MulticastStateFields& f)
{
    auto out = start(MessageType::multicast_state, kMulticastStateFixedBytes, {}, 0);
    Writer(out).u32(f.state);
    return out;
}

std::optional<MulticastOfferFields> decode_multicast_offer(const Header& h, std::span<const uint8_t> fixed)
{
    if (h.type != MessageType::multicast_offer || fixed.size() != h.fixed_len ||
        fixed.size() < kMulticastOfferFixedBytes)
        return std::nullopt;
    Reader r(fixed);
    MulticastOfferFields f;
    f.group = r.u32();
    f.source = r.u32();
    f.port = r.u16();
    f.part_bytes = r.u16();
    f.token = r.u64();
    if ((f.group >> 28) != 0xe || f.port == 0 || f.token == 0 || f.part_bytes < kMinPartBytes ||
        f.part_bytes > kMaxPartBytes)
        return std::nullopt;
    return f;
}

std::vector<uint8_t> encode_multicast_key(const DatagramKey& key)
{
    auto out = start(MessageType::multicast_key, kMulticastKeyFixedBytes, {}, 0);
    Writer w(out);
    w.u16(key.id);
    w.u16(0);
    for (uint8_t b : key.salt)
        w.u8(b);
    for (uint8_t b : key.secret)
        w.u8(b);
    return out;
}

std::optional<DatagramKey> decode_multicast_key(const Header& h, std::span<const uint8_t> fixed)
{
    if (h.type != MessageType::multicast_key || fixed.size() != h.fixed_len || fixed.size() < kMulticastKeyFixedBytes)
        return std::nullopt;
    Reader r(fixed);
    DatagramKey k;
    k.id = r.u16();
    if (r.u16() != 0)
        return std::nullopt;
    for (auto& b : k.salt)
        b = r.u8();
    for (auto& b : k.secret)
        b = r.u8();
    return k;
}

std::optional<MulticastStateFields> decode_multicast_state(const Header& h, std::span<const uint8_t> fixed)
{
    if (h.type != MessageType::multicast_state || fixed.size() != h.fixed_len ||
        fixed.size() < kMulticastStateFixedBytes)
        return std::nullopt;
    const uint32_t state = Reader(fixed).u32();
    if (state != kMulticastLeft && state != kMulticastJoined)
        return std::nullopt;
    return MulticastStateFields{state};
}

std::vector<uint8_t> encode_nack(NackFields f, std::span<const uint32_t> indexes)
{
    indexes = indexes.first(std::min<size_t>(indexes.size(), kMaxNackIndexes));
    f.count = static_cast<uint16_t>(indexes.size());
    auto out = start(MessageType::nack, kNackFixedBytes, {}, uint64_t(f.count) * 4);
    Writer w(out);
    w.u32(f.stream);
    w.u16(f.port);
    w.u16(f.count);
    w.u64(f.sequence);
    for (const uint32_t i : indexes)
        w.u32(i);
    return out;
}

std::optional<NackFields> decode_nack(const Header& h, std::span<const uint8_t> fixed)
{
    if (h.type != MessageType::nack || fixed.size() != h.fixed_len || fixed.size() < kNackFixedBytes)
        return std::nullopt;
    Reader r(fixed);
    NackFields f;
    f.stream = r.u32();
    f.port = r.u16();
    f.count = r.u16();
    f.sequence = r.u64();
    if (f.count > kMaxNackIndexes || h.data_len != uint64_t(f.count) * 4 || f.sequence == 0 || f.port == 0)
        return std::nullopt;
    return f;
}

std::optional<PtzRange> ptz_range(PtzCommand command)
{
    switch (command) {
    case PtzCommand::recall_preset:
        return PtzRange{true, 0.0f, 1.0f, 0.0f, 0.0f};
    case PtzCommand::store_preset:
        return PtzRange{true, 0.0f, 0.0f, 0.0f, 0.0f};
    case PtzCommand::pan_tilt:
        return PtzRange{false, -1.0f, 1.0f, -1.0f, 1.0f};
    case PtzCommand::zoom:
        return PtzRange{false, 0.0f, 1.0f, 0.0f, 0.0f};
    }
    return std::nullopt;
}

bool ptz_in_range(const PtzFields& c)
{
    const auto r = ptz_range(c.command);
    return r && (!r->preset || (c.preset >= 0 && c.preset <= kMaxPreset)) && c.value_a >= r->min_a &&
           c.value_a <= r->max_a && c.value_b >= r->min_b && c.value_b <= r->max_b;
}

std::optional<PtzFields> ptz_clamped(PtzFields c)
{
    const auto r = ptz_range(c.command);
    if (!r || std::isnan(c.value_a) || std::isnan(c.value_b))
        return std::nullopt;
    if (r->preset && (c.preset < 0 || c.preset > kMaxPreset))
        return std::nullopt;
    if (!r->preset)
        c.preset = 0;
    c.value_a = std::clamp(c.value_a, r->min_a, r->max_a);
    c.value_b = std::clamp(c.value_b, r->min_b, r->max_b);
    return c;
}

bool valid_text(std::span<const uint8_t> text)
{
    return std::memchr(text.data(), 0, text.size()) == nullptr;
}

std::optional<ShmVideoFields> decode_shm_video(const Header& h, std::span<const uint8_t> fixed)
{
    if (h.type != MessageType::shm_video || fixed.size() != h.fixed_len || fixed.size() < kShmVideoFixedBytes ||
        h.data_len != 0)
        return std::nullopt;
    // The video fields are checked as those of an inline frame whose data
    // has the size that the geometry gives.
    ShmVideoFields out;
    Header as_video = h;
    as_video.type = MessageType::video;
    as_video.fixed_len = kVideoFixedBytes;
    {
        Reader r(fixed);
        VideoFields probe;
        probe.width = r.i32();
        probe.height = r.i32();
        probe.fourcc = r.u32();
        probe.frame_rate_num = r.i32();
        probe.frame_rate_den = r.i32();
        probe.aspect_ratio = r.f32();
        probe.frame_format = r.u32();
        probe.format_tag = r.u32();
        r.u64();
        r.u64();
        probe.line_bytes = r.u32();
        const auto n = video_data_bytes(probe);
        if (!n)
            return std::nullopt;
        as_video.data_len = *n;
    }
    const auto v = decode_video(as_video, fixed.first(kVideoFixedBytes));
    if (!v)
        return std::nullopt;
    out.video = *v;
    Reader r(fixed.subspan(kVideoFixedBytes));
    out.frame_id = r.u64();
    out.offset = r.u64();
    if (fixed.size() >= kShmVideoRegionFixedBytes)
        out.region = r.u64();
    if (fixed.size() >= kShmVideoNumberedFixedBytes)
        out.video.frame_number = r.u64();
    return out;
}

std::optional<ReleaseFields> decode_release(const Header& h, std::span<const uint8_t> fixed)
{
    if (h.type != MessageType::release || fixed.size() != h.fixed_len || fixed.size() < kReleaseFixedBytes)
        return std::nullopt;
    return ReleaseFields{Reader(fixed).u64()};
}

std::optional<HelloFields> decode_hello(const Header& h, std::span<const uint8_t> fixed)
{
    if (h.type != MessageType::hello || fixed.size() != h.fixed_len)
        return std::nullopt;
    HelloFields f;
    if (fixed.empty())
        return f;  // the first version's hello: everything, raw, as sent
    if (fixed.size() < kHelloFixedBytes)
        return std::nullopt;
    Reader r(fixed);
    f.kinds = r.u32();
    f.video_formats = r.u32();
    f.audio_formats = r.u32();
    f.color_format = static_cast<ColorFormat>(r.u32());
    f.bandwidth = static_cast<Bandwidth>(r.u32());
    if (fixed.size() >= kHelloRateFixedBytes)
        f.frame_interval_us = r.u32();
    if (fixed.size() >= kHelloFlagsFixedBytes)
        f.flags = r.u32();
    return f;
}

std::optional<TallyFields> decode_tally(const Header& h, std::span<const uint8_t> fixed)
{
    if (h.type != MessageType::tally || fixed.size() != h.fixed_len || fixed.size() < kTallyFixedBytes)
        return std::nullopt;
    return TallyFields{Reader(fixed).u32()};
}

bool check_fixed(const Header& h, std::span<const uint8_t> fixed)
{
    switch (h.type) {
    case MessageType::shm_video:
        return decode_shm_video(h, fixed).has_value();
    case MessageType::release:
        return decode_release(h, fixed).has_value();
    case MessageType::video:
        return decode_video(h, fixed).has_value();
    case MessageType::audio:
        return decode_audio(h, fixed).has_value();
    case MessageType::metadata:
        return decode_metadata(h, fixed).has_value();
    case MessageType::status:
        return decode_status(h, fixed).has_value();
    case MessageType::ptz:
        return decode_ptz(h, fixed).has_value();
    case MessageType::hello:
        return decode_hello(h, fixed).has_value();
    case MessageType::tally:
        return decode_tally(h, fixed).has_value();
    case MessageType::ptz_ack:
        return decode_ptz_ack(h, fixed).has_value();
    case MessageType::multicast_offer:
        return decode_multicast_offer(h, fixed).has_value();
    case MessageType::multicast_state:
        return decode_multicast_state(h, fixed).has_value();
    case MessageType::multicast_key:
        return decode_multicast_key(h, fixed).has_value();
    case MessageType::nack:
        return decode_nack(h, fixed).has_value();
    case MessageType::operator_proof:
        return decode_operator_proof(h, fixed).has_value();
    case MessageType::redirect:
    case MessageType::keepalive:
        return fixed.size() == h.fixed_len;
    }
    return false;
}

Verdict judge(const Header& h, std::span<const uint8_t> fixed)
{
    if (fixed.size() != h.fixed_len)
        return Verdict::bad;
    if (!known_type(h.type))
        return Verdict::skip;
    // Where the format tag of media lies in their fixed fields (shared-memory
    // frames start with the video fields), within the minimum size that the
    // header has already been held to.
    constexpr size_t kVideoTagAt = 28, kAudioTagAt = 12;
    auto tag_at = [&](size_t offset) { return Reader(fixed.subspan(offset)).u32(); };
    switch (h.type) {
    case MessageType::video:
        if (tag_at(kVideoTagAt) != kVideoRaw && tag_at(kVideoTagAt) != kVideoSlicedJpeg)
            return Verdict::skip;
        break;
    case MessageType::shm_video:
        if (tag_at(kVideoTagAt) != kVideoRaw)
            return Verdict::skip;
        break;
    case MessageType::audio:
        if (tag_at(kAudioTagAt) != kAudioPlanarFloat)
            return Verdict::skip;
        break;
    default:
        break;
    }
    return check_fixed(h, fixed) ? Verdict::take : Verdict::bad;
}

ParseResult parse_message(std::span<const uint8_t> bytes, Parsed& out)
{
    if (bytes.size() < kHeaderBytes)
        return ParseResult::need_more;
    const auto h = decode_header(bytes.first<kHeaderBytes>());
    if (!h)
        return ParseResult::bad;
    const uint64_t total = kHeaderBytes + uint64_t{h->fixed_len} + h->text_len + h->data_len;
    // The fixed fields are checked as soon as they are there, before the
    // rest of the message is waited for.
    if (bytes.size() < kHeaderBytes + h->fixed_len)
        return ParseResult::need_more;
    const Verdict verdict = judge(*h, bytes.subspan(kHeaderBytes, h->fixed_len));
    if (verdict == Verdict::bad)
        return ParseResult::bad;
    if (bytes.size() < total)
        return ParseResult::need_more;
    out.header = *h;
    out.consumed = static_cast<size_t>(total);
    // What is skipped is not looked into, its text included.
    if (verdict == Verdict::skip)
        return ParseResult::skip;
    if (!valid_text(bytes.subspan(kHeaderBytes + h->fixed_len, h->text_len)))
        return ParseResult::bad;
    return ParseResult::ok;
}

}  // namespace qrv::wire
