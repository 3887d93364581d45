// The framing decoder: what it accepts, and the lies it must refuse before
// anything is allocated.
#include <gtest/gtest.h>

#include <cstring>

#include "transport/send_queue.h"
#include "transport/wire.h"

using namespace qrv::transport;
using namespace qrv::transport::wire;

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
        {"version", 4, 0x0002 | (2u << 8)},   // version 2
        {"unknown type", 4, 0x0001 | (99u << 8)},
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
    g.width = kMaxDimension + 2;
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
