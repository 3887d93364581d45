// The framing decoder: what it accepts, and the lies it must refuse before
// anything is allocated.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "media/frame_check.h"
#include "objects/frame_store.h"
#include "transport/send_queue.h"
#include "media/jpeg_codec.h"
#include "wire/wire.h"

using namespace qrv::transport;
using namespace qrv::wire;

namespace {

VideoFields hd_bgra()
{
    VideoFields f;
    f.width = 1920;
    f.height = 1080;
    f.fourcc = 0x41524742u;
    f.frame_rate_num = 30000;
    f.frame_rate_den = 1001;
    f.frame_format = 1;
    f.timecode = 123456789;
    f.timestamp = -5;
    f.line_bytes = 1920 * 4;
    return f;
}

std::optional<Header> header_of(const std::vector<uint8_t>& m)
{
    return decode_header(std::span<const uint8_t, kHeaderBytes>(m.data(), kHeaderBytes));
}

void put32(std::vector<uint8_t>& m, size_t at, uint32_t v)
{
    std::memcpy(m.data() + at, &v, 4);
}

TEST(Wire, VideoAndAudioFieldsSurviveTheRoundTrip)
{
    const VideoFields f = hd_bgra();
    const auto m = encode_video(f, "<meta/>", 1920ull * 1080 * 4);
    const auto h = header_of(m);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->type, MessageType::video);
    EXPECT_EQ(h->text_len, 7u);
    const auto v = decode_video(*h, std::span(m).subspan(kHeaderBytes, h->fixed_len));
    ASSERT_TRUE(v);
    EXPECT_EQ(v->width, 1920);
    EXPECT_EQ(v->fourcc, 0x41524742u);
    EXPECT_EQ(v->frame_rate_den, 1001);
    EXPECT_EQ(v->timecode, 123456789);
    EXPECT_EQ(v->timestamp, -5);

    AudioFields a;
    a.sample_rate = 48000;
    a.channels = 4;
    a.samples = 1920;
    a.timecode = -1;
    const auto am = encode_audio(a, "", 4 * 1920 * 4);
    const auto ah = header_of(am);
    ASSERT_TRUE(ah);
    const auto ad = decode_audio(*ah, std::span(am).subspan(kHeaderBytes, ah->fixed_len));
    ASSERT_TRUE(ad);
    EXPECT_EQ(ad->channels, 4);
    EXPECT_EQ(ad->samples, 1920);
    EXPECT_EQ(ad->timecode, -1);

    PtzFields p{PtzCommand::recall_preset, 3, 1.0f, 0.0f};
    const auto pm = encode_ptz(p);
    const auto ph = header_of(pm);
    ASSERT_TRUE(ph);
    const auto pd = decode_ptz(*ph, std::span(pm).subspan(kHeaderBytes, ph->fixed_len));
    ASSERT_TRUE(pd);
    EXPECT_EQ(pd->preset, 3);
    EXPECT_EQ(pd->value_a, 1.0f);
}

TEST(Wire, BadHeadersAreRefused)
{
    const auto good = encode_status({kStatusPtz});
    ASSERT_TRUE(header_of(good));
    struct Case {
        const char* what;
        size_t at;
        uint32_t value;
    } cases[] = {
        {"magic", 0, 0x12345678u},
        {"version", 4, 0x0002 | (2u << 8)},   // framing version 2
        {"flags", 4, 0x0001 | (2u << 8) | (1u << 16)},
        {"fixed too short", 8, 3},
        {"fixed too long", 8, kMaxFixedBytes + 1},
        {"text where none is allowed", 12, 1},
        {"data where none is allowed", 16, 1},
    };
    for (const auto& c : cases) {
        auto m = good;
        put32(m, c.at, c.value);
        EXPECT_FALSE(header_of(m)) << c.what;
    }
    // A hello with a name beyond the cap, a video promising more than the cap.
    auto hello = encode_hello(std::string(kMaxNameBytes + 1, 'x'));
    EXPECT_FALSE(header_of(hello));
    auto video = encode_video(hd_bgra(), "", 0);
    const uint64_t huge = kMaxVideoDataBytes + 1;
    std::memcpy(video.data() + 16, &huge, 8);
    EXPECT_FALSE(header_of(video));
}

TEST(Wire, MediaLengthsMustMatchTheirOwnGeometry)
{
    const VideoFields f = hd_bgra();
    auto check = [](const VideoFields& v, uint64_t data_len) {
        const auto m = encode_video(v, "", data_len);
        const auto h = header_of(m);
        return h && decode_video(*h, std::span(m).subspan(kHeaderBytes, h->fixed_len)).has_value();
    };
    EXPECT_TRUE(check(f, 1920ull * 1080 * 4));
    EXPECT_FALSE(check(f, 1920ull * 1080 * 4 - 1)) << "a length that lies";
    VideoFields g = f;
    g.line_bytes = 1920 * 2;
    EXPECT_FALSE(check(g, 1920ull * 1080 * 2)) << "line size not that of the FourCC";
    g = f;
    g.fourcc = 0x59565955u;
    g.width = 1921;
    g.line_bytes = 1921 * 2;
    EXPECT_FALSE(check(g, 1921ull * 1080 * 2)) << "odd UYVY width";
    g = f;
    g.width = qrv::media::kMaxVideoDimension + 2;
    g.line_bytes = (uint32_t)g.width * 4;
    EXPECT_FALSE(check(g, (uint64_t)g.line_bytes * 1080));
    g = f;
    g.format_tag = 7;
    EXPECT_FALSE(check(g, 1920ull * 1080 * 4)) << "unknown payload format";
    g = f;
    g.frame_rate_den = 0;
    EXPECT_FALSE(check(g, 1920ull * 1080 * 4));

    AudioFields a;
    a.sample_rate = 48000;
    a.channels = 2;
    a.samples = 1602;
    auto acheck = [](const AudioFields& v, uint64_t data_len) {
        const auto m = encode_audio(v, "", data_len);
        const auto h = header_of(m);
        return h && decode_audio(*h, std::span(m).subspan(kHeaderBytes, h->fixed_len)).has_value();
    };
    EXPECT_TRUE(acheck(a, 2 * 1602 * 4));
    EXPECT_FALSE(acheck(a, 2 * 1602 * 4 + 4));
    a.channels = 0;
    EXPECT_FALSE(acheck(a, 0));
}

TEST(Wire, SharedMemoryFramesAndReleases)
{
    ShmVideoFields s;
    s.video = hd_bgra();
    s.frame_id = 0x0102030405060708ull;
    s.offset = 4096;
    const auto m = encode_shm_video(s, "<x/>");
    Parsed p;
    ASSERT_EQ(parse_message(m, p), ParseResult::ok);
    EXPECT_EQ(p.header.data_len, 0u);  // the pixels travel by reference
    const auto back = decode_shm_video(p.header, std::span(m).subspan(kHeaderBytes, p.header.fixed_len));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->video.width, 1920);
    EXPECT_EQ(back->video.timecode, 123456789);
    EXPECT_EQ(back->frame_id, s.frame_id);
    EXPECT_EQ(back->offset, 4096u);
    EXPECT_EQ(back->region, 0u);  // without a number: a descriptor with every frame
    // With the region's number, eight bytes more of fixed fields.
    ShmVideoFields numbered = s;
    numbered.region = 0x1122334455667788ull;
    const auto mn = encode_shm_video(numbered, "<x/>");
    ASSERT_EQ(parse_message(mn, p), ParseResult::ok);
    EXPECT_EQ(p.header.fixed_len, kShmVideoRegionFixedBytes);
    const auto fixed = std::span(mn).subspan(kHeaderBytes, p.header.fixed_len);
    const auto nb = decode_shm_video(p.header, fixed);
    ASSERT_TRUE(nb);
    EXPECT_EQ(nb->region, numbered.region);
    EXPECT_EQ(nb->offset, 4096u);
    // A frame's number comes after the region's (0 when there is none), and
    // survives as the fixed part of the video message it becomes.
    ShmVideoFields counted = s;
    counted.video.frame_number = 77;
    const auto mc = encode_shm_video(counted, {});
    ASSERT_EQ(parse_message(mc, p), ParseResult::ok);
    const auto cb = decode_shm_video(p.header, std::span(mc).subspan(kHeaderBytes, p.header.fixed_len));
    ASSERT_TRUE(cb);
    EXPECT_EQ(cb->region, 0u);
    EXPECT_EQ(cb->video.frame_number, 77u);
    const auto fixed_of_video = encode_video_fixed(cb->video);
    Header as_video{};
    as_video.type = MessageType::video;
    as_video.fixed_len = static_cast<uint32_t>(fixed_of_video.size());
    as_video.data_len = 1920ull * 1080 * 4;
    const auto v = decode_video(as_video, fixed_of_video);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->frame_number, 77u);
    EXPECT_EQ(v->timecode, 123456789);

    // The geometry is checked as for an inline frame.
    ShmVideoFields bad = s;
    bad.video.line_bytes = 1920 * 4 + 1;
    auto mb = encode_shm_video(bad, {});
    EXPECT_EQ(parse_message(mb, p), ParseResult::bad);
    bad = s;
    bad.video.fourcc = 0x31323334u;
    mb = encode_shm_video(bad, {});
    EXPECT_EQ(parse_message(mb, p), ParseResult::bad);
    // A shared frame that claims inline data, or is cut short, is refused.
    mb = encode_shm_video(s, {});
    mb[16] = 1;
    EXPECT_FALSE(header_of(mb));
    mb = encode_shm_video(s, {});
    put32(mb, 8, kVideoFixedBytes);
    EXPECT_FALSE(header_of(mb));

    const auto r = encode_release({77});
    ASSERT_EQ(parse_message(r, p), ParseResult::ok);
    const auto rf = decode_release(p.header, std::span(r).subspan(kHeaderBytes, p.header.fixed_len));
    ASSERT_TRUE(rf);
    EXPECT_EQ(rf->frame_id, 77u);
    auto rb = r;
    put32(rb, 12, 3);  // releases carry no text
    EXPECT_FALSE(header_of(rb));
}

TEST(Wire, ParseMessageWaitsForWholeMessagesAndRefusesNulInText)
{
    auto m = encode_metadata({42}, "<tally/>");
    Parsed p;
    for (size_t n = 0; n < m.size(); ++n)
        EXPECT_EQ(parse_message(std::span(m).first(n), p), ParseResult::need_more) << n;
    ASSERT_EQ(parse_message(m, p), ParseResult::ok);
    EXPECT_EQ(p.consumed, m.size());
    m[m.size() - 2] = 0;
    EXPECT_EQ(parse_message(m, p), ParseResult::bad);
    // A bad fixed part is refused before its text and data have arrived.
    auto v = encode_video(hd_bgra(), "", 5);
    EXPECT_EQ(parse_message(v, p), ParseResult::bad);
}

// A message of a later version: any type, fixed fields, text and data.
std::vector<uint8_t> later_message(uint8_t type, uint32_t fixed_len, std::string_view text, uint64_t data_len)
{
    std::vector<uint8_t> m(kHeaderBytes + fixed_len, 0);
    const uint32_t magic = kMagic, text_len = (uint32_t)text.size();
    std::memcpy(m.data(), &magic, 4);
    m[4] = kVersion;
    m[5] = type;
    std::memcpy(m.data() + 8, &fixed_len, 4);
    std::memcpy(m.data() + 12, &text_len, 4);
    std::memcpy(m.data() + 16, &data_len, 8);
    m.insert(m.end(), text.begin(), text.end());
    m.resize(m.size() + data_len, 0xC3);
    return m;
}

TEST(Wire, UnknownTypesAndPayloadFormatsAreSkippedWithinTheCaps)
{
    Parsed p;
    // A type from a later version, with everything a message can carry;
    // its text is not looked into.
    const auto later = later_message(77, 40, std::string_view("any\0thing", 9), 5000);
    ASSERT_EQ(parse_message(later, p), ParseResult::skip);
    EXPECT_EQ(p.consumed, later.size());
    // ... but still within the caps of any message.
    auto huge = later_message(77, 0, "", 0);
    const uint64_t too_much = kMaxVideoDataBytes + 1;
    std::memcpy(huge.data() + 16, &too_much, 8);
    EXPECT_EQ(parse_message(huge, p), ParseResult::bad);

    // Media in a payload format this version does not decode: the length
    // cannot be checked against the geometry, only against the type's cap.
    VideoFields coded = hd_bgra();
    coded.format_tag = 5;
    coded.line_bytes = 0;
    auto v = encode_video(coded, "<later/>", 12345);
    v.resize(v.size() + 12345, 1);
    ASSERT_EQ(parse_message(v, p), ParseResult::skip);
    EXPECT_EQ(p.consumed, v.size());
    // A raw frame that lies about its size is still refused.
    auto raw = encode_video(hd_bgra(), "", 12345);
    EXPECT_EQ(parse_message(raw, p), ParseResult::bad);
}

TEST(Wire, CompressedVideoIsTakenWithinItsCapAndCarriesTheFrameNumber)
{
    auto take = [](const VideoFields& f, uint64_t data_len) {
        const auto m = encode_video(f, "", data_len);
        const auto h = header_of(m);
        if (!h)
            return std::optional<VideoFields>();
        const auto fixed = std::span(m).subspan(kHeaderBytes, h->fixed_len);
        if (judge(*h, fixed) != Verdict::take)
            return std::optional<VideoFields>();
        return decode_video(*h, fixed);
    };
    VideoFields f = hd_bgra();
    f.format_tag = kVideoSlicedJpeg;
    f.frame_number = 0x0102030405060708ull;
    const auto v = take(f, 123456);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->frame_number, f.frame_number);
    EXPECT_EQ(v->format_tag, kVideoSlicedJpeg);
    EXPECT_FALSE(take(f, 0)) << "an empty payload";
    EXPECT_FALSE(take(f, qrv::media::max_compressed_bytes(1920, 1080) + 1)) << "beyond the codec's cap";
    VideoFields g = f;
    g.line_bytes = 1920 * 2;
    EXPECT_FALSE(take(g, 1000)) << "the geometry is still that of the decoded frame";
    // Without a number the fields are those of the first version.
    f.frame_number = 0;
    EXPECT_EQ(encode_video(f, "", 1).size(), kHeaderBytes + kVideoFixedBytes);
    // Shared-memory frames are raw only: another format is skipped.
    ShmVideoFields s;
    s.video = hd_bgra();
    s.video.format_tag = kVideoSlicedJpeg;
    const auto m = encode_shm_video(s, {});
    Parsed p;
    EXPECT_EQ(parse_message(m, p), ParseResult::skip);
}

TEST(Wire, KeepalivesAreEmptyAndOnlySourcesSendThem)
{
    Parsed p;
    const auto k = encode_keepalive();
    ASSERT_EQ(k.size(), kHeaderBytes);
    ASSERT_EQ(parse_message(k, p), ParseResult::ok);
    EXPECT_EQ(p.header.type, MessageType::keepalive);
    EXPECT_TRUE(known_type(MessageType::keepalive));
    // With anything in it, it is not a keepalive.
    auto fat = k;
    const uint32_t text = 4;
    std::memcpy(fat.data() + 12, &text, 4);
    fat.insert(fat.end(), {'a', 'b', 'c', 'd'});
    EXPECT_EQ(parse_message(fat, p), ParseResult::bad);
    // What receivers send, and what they do not.
    for (auto t : {MessageType::hello, MessageType::ptz, MessageType::release, MessageType::tally})
        EXPECT_TRUE(upstream_type(t));
    for (auto t : {MessageType::video, MessageType::audio, MessageType::metadata, MessageType::status,
                   MessageType::redirect, MessageType::shm_video, MessageType::keepalive})
        EXPECT_FALSE(upstream_type(t));
}

// A numbered command keeps its number; the first version's 16 bytes still
// read (unnumbered, so nothing is acknowledged), and a source of the first
// version reads a numbered one as it always did. Acknowledgements go only
// from sources, and one without a number or with an unknown outcome is bad.
TEST(Wire, CameraCommandsCarryANumberThatSourcesAcknowledge)
{
    const auto fixed_of = [](const std::vector<uint8_t>& m) {
        const auto h = header_of(m);
        const auto from = m.begin() + kHeaderBytes;
        return std::make_pair(*h, std::vector<uint8_t>(from, from + h->fixed_len));
    };
    const auto numbered = encode_ptz({PtzCommand::zoom, 0, 0.5f, 0.0f, 7});
    auto [h, fixed] = fixed_of(numbered);
    EXPECT_EQ(h.fixed_len, kPtzNumberedFixedBytes);
    EXPECT_EQ(decode_ptz(h, fixed)->sequence, 7u);
    // What a first-version source reads: the 16 bytes it knows.
    Header first = h;
    first.fixed_len = kPtzFixedBytes;
    const auto old_view = decode_ptz(first, std::span(fixed).first(kPtzFixedBytes));
    ASSERT_TRUE(old_view);
    EXPECT_EQ(old_view->value_a, 0.5f);
    EXPECT_EQ(old_view->sequence, 0u);
    const auto unnumbered = encode_ptz({PtzCommand::zoom, 0, 0.5f, 0.0f});
    EXPECT_EQ(header_of(unnumbered)->fixed_len, kPtzFixedBytes);

    Parsed p;
    const auto ack = encode_ptz_ack({7, PtzOutcome::refused});
    ASSERT_EQ(parse_message(ack, p), ParseResult::ok);
    EXPECT_FALSE(upstream_type(MessageType::ptz_ack));
    auto [ah, afixed] = fixed_of(ack);
    const auto a = decode_ptz_ack(ah, afixed);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->sequence, 7u);
    EXPECT_EQ(a->outcome, PtzOutcome::refused);
    auto no_number = encode_ptz_ack({0, PtzOutcome::held});
    EXPECT_EQ(parse_message(no_number, p), ParseResult::bad);
    auto unknown = ack;
    put32(unknown, kHeaderBytes + 8, 2);
    EXPECT_EQ(parse_message(unknown, p), ParseResult::bad);
}

TEST(Wire, HellosCarryWhatTheReceiverWants)
{
    HelloFields f;
    f.kinds = kWantAudio | kWantMetadata;
    f.video_formats = 0x5;
    f.color_format = ColorFormat::rgbx_rgba;
    f.bandwidth = Bandwidth::audio_only;
    f.frame_interval_us = 250000;
    const auto m = encode_hello("Studio B", f);
    Parsed p;
    ASSERT_EQ(parse_message(m, p), ParseResult::ok);
    auto fixed = [&](const std::vector<uint8_t>& msg) {
        return std::span<const uint8_t>(msg).subspan(kHeaderBytes, header_of(msg)->fixed_len);
    };
    auto back = decode_hello(p.header, fixed(m));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->kinds, kWantAudio | kWantMetadata);
    EXPECT_EQ(back->video_formats, 0x5u);
    EXPECT_EQ(back->bandwidth, Bandwidth::audio_only);
    EXPECT_EQ(back->frame_interval_us, 250000u);

    // A hello without the frame interval asks for every frame.
    auto shorter = encode_hello("", f);
    shorter.erase(shorter.begin() + kHeaderBytes + kHelloFixedBytes,
                  shorter.begin() + kHeaderBytes + kHelloRateFixedBytes);
    put32(shorter, 8, kHelloFixedBytes);
    ASSERT_EQ(parse_message(shorter, p), ParseResult::ok);
    EXPECT_EQ(decode_hello(p.header, fixed(shorter))->frame_interval_us, 0u);

    // The first version's hello: everything, raw, as sent.
    const auto old = encode_hello("old");
    back = decode_hello(*header_of(old), fixed(old));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->kinds, kWantAll);
    EXPECT_TRUE(has_format(back->video_formats, kVideoRaw));
    EXPECT_EQ(back->color_format, ColorFormat::fastest);
    EXPECT_EQ(back->bandwidth, Bandwidth::highest);

    // A later version's longer hello is read as far as this one knows it;
    // a hello cut inside the fields is bad.
    auto longer = encode_hello("", f);
    longer.insert(longer.begin() + kHeaderBytes + kHelloRateFixedBytes, 8, 0x77);
    put32(longer, 8, kHelloRateFixedBytes + 8);
    ASSERT_EQ(parse_message(longer, p), ParseResult::ok);
    EXPECT_EQ(decode_hello(p.header, fixed(longer))->bandwidth, Bandwidth::audio_only);
    auto cut = encode_hello("", f);
    cut.erase(cut.begin() + kHeaderBytes + 8, cut.begin() + kHeaderBytes + kHelloFixedBytes);
    put32(cut, 8, 8);
    EXPECT_EQ(parse_message(cut, p), ParseResult::bad);

    const auto t = encode_tally({kTallyProgram | 0x80});
    ASSERT_EQ(parse_message(t, p), ParseResult::ok);
    EXPECT_EQ(decode_tally(p.header, fixed(t))->flags, kTallyProgram | 0x80);
}

PacketPtr packet(MessageType t, uint8_t tag)
{
    return make_packet(t, std::vector<uint8_t>{tag});
}

TEST(SendQueue, VideoKeepsTheNewestAudioKeepsItsOrder)
{
    DropCounters drops;
    SendQueue q(QueueLimits{2, 3, 2}, drops);
    for (uint8_t i = 0; i < 5; ++i)
        q.push(packet(MessageType::video, i));
    for (uint8_t i = 10; i < 15; ++i)
        q.push(packet(MessageType::audio, i));
    EXPECT_EQ(drops.video.load(), 3u);
    EXPECT_EQ(drops.audio.load(), 2u);
    std::vector<int> video, audio;
    PacketPtr p;
    while (q.size() && q.pop(p))
        (p->type == MessageType::video ? video : audio).push_back(p->bytes[0]);
    EXPECT_EQ(video, (std::vector<int>{3, 4}));
    EXPECT_EQ(audio, (std::vector<int>{12, 13, 14}));
    q.close();
    EXPECT_FALSE(q.pop(p));
    q.push(packet(MessageType::video, 1));  // ignored once closed
    EXPECT_EQ(q.size(), 0u);
}

}  // namespace

// Every frame a sender accepts must be one its receivers accept: the records
// of a grid over each field's edges go through the sender's own checks and
// store, and whatever is accepted is decoded from the bytes it produced.
TEST(Wire, EveryFrameTheSenderAcceptsDecodes)
{
    const uint32_t fourccs[] = {0x59565955u, 0x41524742u, 0x58524742u, 0x41424752u, 0x58424752u, 0x31313131u};
    const int32_t sizes[][2] = {{2, 2}, {3, 2}, {16384, 2}, {16386, 2}, {2, 16384}, {0, 4}};
    const int32_t rates[][2] = {{30000, 1001}, {1, 10}, {1, 11}, {1000, 1}, {1001, 1}, {0, 1}, {30, 0}};
    const float aspects[] = {0.0f, 16.0f / 9.0f, -1.0f, INFINITY, NAN};
    const uint32_t formats[] = {0, 1, 3, 4, 7};
    qrv::FrameStore store;
    std::vector<uint8_t> pixels(16386 * 4 * 2 + 64);
    int accepted = 0, refused = 0;
    for (uint32_t fourcc : fourccs)
        for (const auto& size : sizes)
            for (const auto& rate : rates)
                for (float aspect : aspects)
                    for (uint32_t format : formats) {
                        QRVlib_video_frame_v2_t frame;
                        frame.width = size[0];
                        frame.height = size[1];
                        frame.fourcc = (QRVlib_FourCC_type_e)fourcc;
                        frame.frame_rate_num = rate[0];
                        frame.frame_rate_den = rate[1];
                        frame.aspect_ratio = aspect;
                        frame.frame_format = (QRVlib_frame_format_type_e)format;
                        frame.line_stride = size[0] * 4 + 4;
                        frame.data = pixels.data();
                        const auto layout = qrv::check_video(frame);
                        if (!layout) {
                            ++refused;
                            continue;
                        }
                        if ((size_t)layout->line_stride * (size_t)(size[1] - 1) + layout->line_bytes > pixels.size())
                            continue;  // the grid's buffer is only large enough for short frames
                        ++accepted;
                        const auto packet = store.put_video(frame, *layout, 0, {});
                        Parsed parsed;
                        ASSERT_EQ(parse_message(packet->bytes, parsed), ParseResult::ok)
                            << std::hex << fourcc << std::dec << " " << size[0] << "x" << size[1] << " " << rate[0]
                            << "/" << rate[1] << " aspect " << aspect << " format " << format;
                        const auto fixed = std::span<const uint8_t>(packet->bytes).subspan(kHeaderBytes,
                                                                                           parsed.header.fixed_len);
                        EXPECT_TRUE(decode_video(parsed.header, fixed));
                    }
    EXPECT_GT(accepted, 50);
    EXPECT_GT(refused, 1000);

    // At the byte cap, without copying: the largest frame the sender takes
    // is within what the decoder takes, and the next size up is refused by
    // both.
    QRVlib_video_frame_v2_t big;
    big.fourcc = QRVlib_FourCC_type_BGRA;
    big.width = 16384;
    big.data = pixels.data();
    big.line_stride = 16384 * 4;
    big.height = 4096;
    VideoFields f;
    f.width = 16384;
    f.fourcc = big.fourcc;
    f.frame_rate_num = big.frame_rate_num;
    f.frame_rate_den = big.frame_rate_den;
    f.frame_format = big.frame_format;
    f.line_bytes = 16384 * 4;
    f.height = 4096;
    EXPECT_TRUE(qrv::check_video(big));
    EXPECT_TRUE(video_data_bytes(f));
    big.height = f.height = 8192;
    EXPECT_FALSE(qrv::check_video(big));
    EXPECT_FALSE(video_data_bytes(f));
}

// The same for audio, both record kinds, over the counts' edges.
TEST(Wire, EveryAudioFrameTheSenderAcceptsDecodes)
{
    const int32_t rates[] = {7999, 8000, 48000, 768000, 768001};
    const int32_t channels[] = {0, 1, 2, 64, 65};
    const int32_t samples[] = {0, 1, 1600, 80000, 1 << 20, (1 << 20) + 1};
    int accepted = 0;
    for (int32_t rate : rates)
        for (int32_t ch : channels)
            for (int32_t n : samples) {
                AudioFields f;
                f.sample_rate = rate;
                f.channels = ch;
                f.samples = n;
                QRVlib_audio_frame_interleaved_16s_t frame16;
                frame16.sample_rate = rate;
                frame16.no_channels = ch;
                frame16.no_samples = n;
                static int16_t one;
                frame16.data = &one;  // checks do not read the samples
                QRVlib_audio_frame_v2_t planar;
                planar.sample_rate = rate;
                planar.no_channels = ch;
                planar.no_samples = n;
                planar.channel_stride = n * 4;
                static float onef;
                planar.data = &onef;
                const bool sender16 = qrv::check_audio(frame16).has_value();
                const bool sender = qrv::check_audio(planar).has_value();
                const bool wire = audio_data_bytes(f).has_value();
                EXPECT_EQ(sender16, sender) << rate << " " << ch << " " << n;
                if (sender) {
                    ++accepted;
                    EXPECT_TRUE(wire) << rate << " Hz, " << ch << " channels, " << n << " samples";
                }
            }
    EXPECT_GT(accepted, 10);
}

// The receiver clamps and the source checks camera commands by one table:
// whatever a receiver sends after clamping, a source takes.
TEST(Wire, ClampedCameraCommandsAreAlwaysInRange)
{
    const PtzCommand commands[] = {PtzCommand::recall_preset, PtzCommand::store_preset, PtzCommand::pan_tilt,
                                   PtzCommand::zoom};
    const int32_t presets[] = {-1, 0, 99, 100};
    const float values[] = {-INFINITY, -2.0f, -1.0f, -0.5f, 0.0f, 0.5f, 1.0f, 2.0f, INFINITY, NAN};
    for (auto command : commands)
        for (int32_t preset : presets)
            for (float a : values)
                for (float b : values) {
                    const PtzFields asked{command, preset, a, b};
                    const auto sent = ptz_clamped(asked);
                    const bool names_preset = command == PtzCommand::recall_preset || command == PtzCommand::store_preset;
                    EXPECT_EQ(sent.has_value(), !std::isnan(a) && !std::isnan(b) &&
                                                    (!names_preset || (preset >= 0 && preset <= 99)));
                    if (!sent)
                        continue;
                    EXPECT_TRUE(ptz_in_range(*sent));
                    if (ptz_in_range(asked)) {
                        EXPECT_EQ(sent->value_a, a);
                    }
                }
    EXPECT_FALSE(ptz_in_range({PtzCommand::zoom, 0, 1.5f, 0.0f}));
    EXPECT_FALSE(ptz_in_range({PtzCommand::store_preset, 100, 0.0f, 0.0f}));
}
