// What receivers ask of their source and get: peers of a later version
// whose news is skipped, kinds of media by bandwidth, preview pictures, and
// the pixel layouts that receivers deliver.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <numeric>
#include <thread>

#include "base/socket.h"
#include "objects/receiver.h"
#include "objects/sender.h"
#include "transport_support.h"
#include "transport/datagram_batch.h"
#include "transport/frame_loss_window.h"
#include "transport/frame_numbers.h"
#include "transport/group_claim.h"
#include "transport/message_io.h"
#include "transport/multicast_receiver.h"
#include "transport/multicast_sender.h"
#include "transport/multicast_settings.h"
#include "transport/repair_budget.h"
#include "wire/datagram.h"

using namespace qrv;
using namespace std::chrono_literals;
using qrv_test::wait_connected;
using qrv_test::BgraFrame;

namespace {

std::unique_ptr<Sender> make_sender(const char* name)
{
    return std::make_unique<Sender>(SenderSettings{name, "", false, false}, Scope::from_value(nullptr));
}

struct Wishes {
    media::ColorFormat color = media::ColorFormat::uyvy_bgra;
    wire::Bandwidth bandwidth = wire::Bandwidth::highest;
    bool shared_memory = true;
};

std::unique_ptr<Receiver> make_receiver(const Endpoint& e, Wishes w = {})
{
    ReceiverLimits limits;
    limits.link.shared_memory = w.shared_memory;
    limits.video = 64;
    return std::make_unique<Receiver>(
        ReceiverSettings{"", format_locator(e), "negotiating", w.color, w.bandwidth}, limits);
}

// A captured video frame's description and first pixel bytes.
struct Seen {
    int width = 0, height = 0, stride = 0;
    uint32_t fourcc = 0;
    std::vector<uint8_t> first;  // the first 8 bytes
};

std::optional<Seen> next_video(Receiver& r, std::chrono::milliseconds limit = 5s)
{
    std::optional<Seen> seen;
    qrv_test::capture_until(
        [&](uint32_t t) {
            QRVlib_video_frame_v2_t v;
            const int32_t k = r.capture(&v, nullptr, nullptr, t);
            if (k == QRVlib_frame_type_video) {
                seen = Seen{v.width, v.height, v.line_stride, (uint32_t)v.fourcc, {v.data, v.data + 8}};
                r.free_video(&v);
            }
            return k;
        },
        [](int32_t k) { return k == QRVlib_frame_type_video; }, limit);
    return seen;
}

// --- peers of a later version ----------------------------------------------

// The header of a message of any type, as a later version may send it.
std::vector<uint8_t> later_header(uint8_t type, uint32_t fixed_len, uint32_t text_len, uint64_t data_len)
{
    std::vector<uint8_t> m(wire::kHeaderBytes);
    const uint32_t magic = wire::kMagic;
    std::memcpy(m.data(), &magic, 4);
    m[4] = wire::kVersion;
    m[5] = type;
    std::memcpy(m.data() + 8, &fixed_len, 4);
    std::memcpy(m.data() + 12, &text_len, 4);
    std::memcpy(m.data() + 16, &data_len, 8);
    return m;
}

bool write_bytes(int fd, const std::vector<uint8_t>& head, size_t fill_bytes, uint8_t fill)
{
    if (!net::write_all(fd, head))
        return false;
    const std::vector<uint8_t> chunk(64 * 1024, fill);
    while (fill_bytes > 0) {
        const size_t n = std::min(fill_bytes, chunk.size());
        if (!net::write_all(fd, std::span(chunk.data(), n)))
            return false;
        fill_bytes -= n;
    }
    return true;
}

wire::VideoFields small_bgra()
{
    wire::VideoFields f;
    f.width = 8;
    f.height = 4;
    f.fourcc = QRVlib_FourCC_type_BGRA;
    f.frame_rate_num = 30;
    f.frame_rate_den = 1;
    f.frame_format = 1;
    f.line_bytes = 32;
    return f;
}

TEST(Negotiation, AReceiverSkipsWhatASourceOfALaterVersionSendsAndKeepsItsConnection)
{
    // A source of a later version, played on a raw socket.
    net::Fd listener = net::listen_tcp("127.0.0.1", 0);
    ASSERT_TRUE(listener);
    const Endpoint where{"127.0.0.1", net::local_port(listener.get()), "", ""};
    auto receiver = make_receiver(where, {media::ColorFormat::fastest});

    ASSERT_TRUE(net::wait_readable(listener.get(), 5s));
    net::Fd peer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(peer);
    transport::Message hello;
    ASSERT_EQ(transport::read_message(peer.get(), hello), transport::ReadResult::ok);
    const auto wishes = wire::decode_hello(hello.header, hello.fixed);
    ASSERT_TRUE(wishes);
    EXPECT_EQ(wishes->color_format, media::ColorFormat::fastest);

    const int fd = peer.get();
    ASSERT_TRUE(net::write_all(fd, wire::encode_status({0})));
    auto raw_frame = [&](uint8_t fill) { return write_bytes(fd, wire::encode_video(small_bgra(), "", 128), 128, fill); };
    ASSERT_TRUE(raw_frame(1));
    // A type this version does not know, with fixed fields, text and
    // several megabytes of data.
    const std::string text = "news from later";
    auto unknown = later_header(200, 40, (uint32_t)text.size(), 3u << 20);
    unknown.resize(unknown.size() + 40, 0x11);
    unknown.insert(unknown.end(), text.begin(), text.end());
    ASSERT_TRUE(write_bytes(fd, unknown, 3u << 20, 0x22));
    // Video in a payload format this version cannot decode, with more
    // fixed fields than it knows and a length that no geometry gives.
    wire::VideoFields coded = small_bgra();
    coded.format_tag = 9;
    coded.line_bytes = 0;
    auto coded_msg = wire::encode_video(coded, "", 100001);
    const uint32_t longer = wire::kVideoFixedBytes + 12;
    coded_msg.insert(coded_msg.begin() + wire::kHeaderBytes + wire::kVideoFixedBytes, 12, 0x33);
    std::memcpy(coded_msg.data() + 8, &longer, 4);
    ASSERT_TRUE(write_bytes(fd, coded_msg, 100001, 0x44));
    // Audio likewise.
    wire::AudioFields audio;
    audio.format_tag = 4;
    ASSERT_TRUE(write_bytes(fd, wire::encode_audio(audio, "", 777), 777, 0x55));
    ASSERT_TRUE(raw_frame(2));

    auto first = next_video(*receiver);
    auto second = next_video(*receiver);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->first[0], 1);
    EXPECT_EQ(second->first[0], 2);
    EXPECT_EQ(second->width, 8);
    const auto s = receiver->stats();
    EXPECT_EQ(s.video_received, 2u);
    EXPECT_EQ(s.audio_received, 0u);
    EXPECT_EQ(s.unknown_messages, 1u);
    EXPECT_EQ(s.unknown_formats, 2u);
    EXPECT_EQ(s.bad_messages, 0u);
    EXPECT_EQ(s.connects, 1u);
    EXPECT_TRUE(receiver->status().connected);
}

TEST(Negotiation, AReceiverCountsTheAudioAndMetadataItsSourceSkippedAndTakesAFrameOnce)
{
    net::Fd listener = net::listen_tcp("127.0.0.1", 0);
    ASSERT_TRUE(listener);
    auto receiver = make_receiver({"127.0.0.1", net::local_port(listener.get()), "", ""});
    ASSERT_TRUE(net::wait_readable(listener.get(), 5s));
    net::Fd peer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(peer);
    transport::Message hello;
    ASSERT_EQ(transport::read_message(peer.get(), hello), transport::ReadResult::ok);
    ASSERT_TRUE(net::write_all(peer.get(), wire::encode_status({0})));
    // Frames 1 and 2, 2 again (as the group and the connection may both
    // bring it), then 5: two skipped; then one of a source that does not
    // number its frames.
    wire::AudioFields audio;
    audio.sample_rate = 48000;
    audio.channels = 1;
    audio.samples = 4;
    for (const uint64_t n : {1, 2, 2, 5, 0}) {
        audio.frame_number = n;
        ASSERT_TRUE(write_bytes(peer.get(), wire::encode_audio(audio, "", 16), 16, 0));
    }
    // Metadata likewise: 1, 1 again, then 3.
    for (const uint64_t n : {1, 1, 3})
        ASSERT_TRUE(net::write_all(peer.get(), wire::encode_metadata({0, n}, "<m/>")));
    ASSERT_TRUE(net::write_all(peer.get(), wire::encode_video(small_bgra(), "", 128)));
    ASSERT_TRUE(write_bytes(peer.get(), {}, 128, 7));
    ASSERT_TRUE(next_video(*receiver));  // after the audio, on the same connection
    const auto s = receiver->stats();
    EXPECT_EQ(s.audio_received, 4u);
    EXPECT_EQ(s.audio_dropped, 2u);
    EXPECT_EQ(s.metadata_received, 2u);
    EXPECT_EQ(s.metadata_dropped, 1u);
    EXPECT_EQ(s.bad_messages, 0u);
}

TEST(Negotiation, ASourceSkipsWhatAReceiverOfALaterVersionSends)
{
    auto sender = make_sender("later receiver");
    net::Fd fd = net::connect_tcp(sender->endpoint().address, sender->endpoint().port, 1s);
    ASSERT_TRUE(fd);
    // A longer hello than this version knows, then a message of a new type.
    wire::HelloFields f;
    auto hello = wire::encode_hello("from later", f);
    const uint32_t longer = wire::kHelloRateFixedBytes + 16;
    hello.insert(hello.begin() + wire::kHeaderBytes + wire::kHelloRateFixedBytes, 16, 0x66);
    std::memcpy(hello.data() + 8, &longer, 4);
    ASSERT_TRUE(net::write_all(fd.get(), hello));
    auto unknown = later_header(150, 8, 0, 60000);
    unknown.resize(unknown.size() + 8, 0);
    ASSERT_TRUE(write_bytes(fd.get(), unknown, 60000, 0x77));
    ASSERT_EQ(sender->connections(5s), 1u);
    const auto end = qrv_test::Clock::now() + 5s;
    while (sender->transport_stats().unknown_messages == 0 && qrv_test::Clock::now() < end)
        std::this_thread::sleep_for(10ms);

    BgraFrame white(16, 16, 255);
    sender->send_video(white.record);
    transport::Message m;
    bool video = false;
    while (!video && transport::read_message(fd.get(), m) == transport::ReadResult::ok)
        video = m.header.type == wire::MessageType::video;
    EXPECT_TRUE(video);
    const auto s = sender->transport_stats();
    EXPECT_EQ(s.unknown_messages, 1u);
    EXPECT_EQ(s.bad_peers, 0u);
    EXPECT_EQ(sender->connections(), 1u);
}

// --- kinds of media by bandwidth -------------------------------------------

struct Counts {
    uint64_t video = 0, audio = 0, metadata = 0;
};

// Sends n frames of each kind; with a control receiver given, each round
// waits for it to arrive there, so that no queue has to drop a frame.
void send_each_kind(Sender& sender, int n, Receiver* control = nullptr)
{
    BgraFrame frame(32, 8, 0x40);
    std::vector<int16_t> pcm(2 * 480, 100);
    QRVlib_audio_frame_interleaved_16s_t a16;
    a16.no_samples = 480;
    a16.data = pcm.data();
    for (int i = 0; i < n; ++i) {
        sender.send_video(frame.record);
        sender.send_audio(a16);
        sender.send_metadata("<n/>", 0);
        const auto end = qrv_test::Clock::now() + 5s;
        while (control && control->stats().metadata_received < (uint64_t)i + 1 && qrv_test::Clock::now() < end)
            std::this_thread::sleep_for(1ms);
    }
}

Counts arrived(Receiver& r)
{
    const auto s = r.stats();
    return {s.video_received, s.audio_received, s.metadata_received};
}

void each_kind_by_bandwidth(bool shared_memory)
{
    auto sender = make_sender(shared_memory ? "kinds shm" : "kinds tcp");
    auto all = make_receiver(sender->endpoint(), {media::ColorFormat::fastest, wire::Bandwidth::highest, shared_memory});
    auto audio = make_receiver(sender->endpoint(), {{}, wire::Bandwidth::audio_only, shared_memory});
    auto metadata = make_receiver(sender->endpoint(), {{}, wire::Bandwidth::metadata_only, shared_memory});
    ASSERT_TRUE(sender->wait_connections(3, 5s));
    for (auto* r : {all.get(), audio.get(), metadata.get()}) {
        ASSERT_TRUE(wait_connected(*r));
        EXPECT_EQ(r->shared_memory(), shared_memory);
    }
    const int n = 6;
    send_each_kind(*sender, n, all.get());
    // Everything that was sent has arrived once the last receiver has its
    // last metadata frame: each connection keeps the order of its messages.
    const auto end = qrv_test::Clock::now() + 10s;
    while (qrv_test::Clock::now() < end &&
           (arrived(*all).metadata < n || arrived(*audio).metadata < n || arrived(*metadata).metadata < n))
        std::this_thread::sleep_for(10ms);
    const Counts a = arrived(*all), b = arrived(*audio), c = arrived(*metadata);
    EXPECT_EQ(a.video, (uint64_t)n);
    EXPECT_EQ(a.audio, (uint64_t)n);
    EXPECT_EQ(b.video, 0u) << "an audio-only receiver is sent no video";
    EXPECT_EQ(b.audio, (uint64_t)n);
    EXPECT_EQ(b.metadata, (uint64_t)n);
    EXPECT_EQ(c.video, 0u) << "a metadata-only receiver is sent no media";
    EXPECT_EQ(c.audio, 0u);
    EXPECT_EQ(c.metadata, (uint64_t)n);
    // Nothing of the frames was held for them on the shared-memory path.
    EXPECT_EQ(sender->transport_stats().shared_sent, shared_memory ? (uint64_t)n : 0u);
    EXPECT_EQ(sender->transport_stats().previews, 0u);
}

TEST(Negotiation, ReceiversAreSentOnlyTheKindsTheirBandwidthAsksForOverTcp)
{
    each_kind_by_bandwidth(false);
}

TEST(Negotiation, ReceiversAreSentOnlyTheKindsTheirBandwidthAsksForInSharedMemory)
{
    each_kind_by_bandwidth(true);
}

TEST(Negotiation, AReceiverOfTheFirstVersionIsSentEverything)
{
    auto sender = make_sender("first version");
    net::Fd fd = net::connect_tcp(sender->endpoint().address, sender->endpoint().port, 1s);
    ASSERT_TRUE(fd);
    ASSERT_TRUE(net::write_all(fd.get(), wire::encode_hello("old")));  // no fixed fields
    ASSERT_EQ(sender->connections(5s), 1u);
    send_each_kind(*sender, 1);
    net::set_recv_timeout(fd.get(), 5s);
    int kinds = 0;
    transport::Message m;
    while (kinds != 7 && transport::read_message(fd.get(), m) == transport::ReadResult::ok) {
        if (m.header.type == wire::MessageType::video) {
            EXPECT_EQ(m.data->size(), 32u * 8 * 4) << "the full picture";
            kinds |= 1;
        }
        kinds |= m.header.type == wire::MessageType::audio ? 2 : 0;
        kinds |= m.header.type == wire::MessageType::metadata ? 4 : 0;
    }
    EXPECT_EQ(kinds, 7);
}

// --- previews --------------------------------------------------------------

TEST(Negotiation, ALowestBandwidthReceiverGetsAPreviewMadeOnlyWhileItIsThere)
{
    auto sender = make_sender("previews");
    auto full = make_receiver(sender->endpoint(), {media::ColorFormat::fastest});
    ASSERT_EQ(sender->connections(5s), 1u);
    ASSERT_TRUE(wait_connected(*full));
    BgraFrame frame(1920, 1080, 0);
    for (size_t i = 0; i < frame.pixels.size(); i += 4) {
        frame.pixels[i] = 10;       // B
        frame.pixels[i + 1] = 20;   // G
        frame.pixels[i + 2] = 30;   // R
        frame.pixels[i + 3] = 255;  // A
    }
    frame.record.metadata = "<frame/>";
    sender->send_video(frame.record);
    ASSERT_TRUE(next_video(*full));
    EXPECT_EQ(sender->transport_stats().previews, 0u) << "no preview without a receiver for it";

    for (bool shared : {true, false}) {
        auto preview = make_receiver(sender->endpoint(), {media::ColorFormat::fastest, wire::Bandwidth::lowest, shared});
        ASSERT_TRUE(sender->wait_connections(2, 5s));
        ASSERT_TRUE(wait_connected(*preview));
        const uint64_t made = sender->transport_stats().previews;
        sender->send_video(frame.record);
        const auto small = next_video(*preview);
        const auto big = next_video(*full);
        ASSERT_TRUE(small && big);
        EXPECT_EQ(small->width, 480);
        EXPECT_EQ(small->height, 270);
        EXPECT_EQ(small->stride, 480 * 4);
        EXPECT_EQ(small->fourcc, (uint32_t)QRVlib_FourCC_type_BGRA);
        EXPECT_EQ(small->first, (std::vector<uint8_t>{10, 20, 30, 255, 10, 20, 30, 255}));
        EXPECT_EQ(big->width, 1920) << "the others still get the full picture";
        EXPECT_EQ(sender->transport_stats().previews, made + 1);
        preview.reset();
        const auto end = qrv_test::Clock::now() + 5s;
        while (sender->connections() != 1 && qrv_test::Clock::now() < end)
            std::this_thread::sleep_for(10ms);
    }
}

// --- delivered layouts -----------------------------------------------------

struct Layouts {
    media::ColorFormat wish;
    uint32_t from_uyvy, from_bgra;
};

TEST(Negotiation, EachColourFormatDeliversTheLayoutItDocuments)
{
    using media::ColorFormat;
    const Layouts table[] = {
        {ColorFormat::uyvy_bgra, QRVlib_FourCC_type_UYVY, QRVlib_FourCC_type_BGRA},
        {ColorFormat::bgrx_bgra, QRVlib_FourCC_type_BGRX, QRVlib_FourCC_type_BGRA},
        {ColorFormat::rgbx_rgba, QRVlib_FourCC_type_RGBX, QRVlib_FourCC_type_RGBA},
        {ColorFormat::uyvy_rgba, QRVlib_FourCC_type_UYVY, QRVlib_FourCC_type_RGBA},
        {ColorFormat::fastest, QRVlib_FourCC_type_UYVY, QRVlib_FourCC_type_BGRA},
        {ColorFormat{57}, QRVlib_FourCC_type_UYVY, QRVlib_FourCC_type_BGRA},  // unknown: the default
    };
    auto sender = make_sender("layouts");
    // White in studio-range UYVY, and a translucent colour in BGRA.
    const int w = 16, h = 4;
    std::vector<uint8_t> uyvy((size_t)w * 2 * h);
    for (size_t i = 0; i < uyvy.size(); i += 2) {
        uyvy[i] = 128;
        uyvy[i + 1] = 235;
    }
    QRVlib_video_frame_v2_t white;
    white.width = w;
    white.height = h;
    white.line_stride = w * 2;
    white.data = uyvy.data();
    BgraFrame colour(w, h, 0);
    for (size_t i = 0; i < colour.pixels.size(); i += 4) {
        colour.pixels[i] = 10;
        colour.pixels[i + 1] = 20;
        colour.pixels[i + 2] = 30;
        colour.pixels[i + 3] = 40;
    }
    const std::vector<uint8_t> white_uyvy{128, 235, 128, 235}, white_rgb{255, 255, 255, 255};
    const std::vector<uint8_t> blue_first{10, 20, 30, 40}, red_first{30, 20, 10, 40};
    for (const auto& row : table) {
        for (bool shared : {true, false}) {
            auto r = make_receiver(sender->endpoint(), {row.wish, wire::Bandwidth::highest, shared});
            ASSERT_TRUE(sender->wait_connections(1, 5s));
            ASSERT_TRUE(wait_connected(*r));
            sender->send_video(white);
            sender->send_video(colour.record);
            const auto a = next_video(*r), b = next_video(*r);
            ASSERT_TRUE(a && b);
            const auto what = "colour format " + std::to_string((int)row.wish) + (shared ? " shm" : " tcp");
            EXPECT_EQ(a->fourcc, row.from_uyvy) << what;
            EXPECT_EQ(b->fourcc, row.from_bgra) << what;
            EXPECT_EQ(a->stride, a->fourcc == QRVlib_FourCC_type_UYVY ? w * 2 : w * 4) << what;
            EXPECT_EQ(b->stride, w * 4) << what;
            const bool yuv = a->fourcc == QRVlib_FourCC_type_UYVY, rgba = b->fourcc == QRVlib_FourCC_type_RGBA;
            EXPECT_TRUE(std::equal(a->first.begin(), a->first.begin() + 4, (yuv ? white_uyvy : white_rgb).begin()))
                << what;
            EXPECT_TRUE(std::equal(b->first.begin(), b->first.begin() + 4, (rgba ? red_first : blue_first).begin()))
                << what;
            r.reset();
            const auto end = qrv_test::Clock::now() + 5s;
            while (sender->connections() != 0 && qrv_test::Clock::now() < end)
                std::this_thread::sleep_for(10ms);
        }
    }
}

TEST(Negotiation, AConvertedFrameLetsGoOfTheSharedMemoryAtOnce)
{
    auto sender = make_sender("converted shm");
    auto converting = make_receiver(sender->endpoint(), {media::ColorFormat::rgbx_rgba});
    auto mapping = make_receiver(sender->endpoint(), {media::ColorFormat::fastest});
    ASSERT_TRUE(sender->wait_connections(2, 5s));
    ASSERT_TRUE(wait_connected(*converting) && wait_connected(*mapping));
    ASSERT_TRUE(converting->shared_memory() && mapping->shared_memory());
    BgraFrame frame(64, 8, 7);
    sender->send_video(frame.record);
    QRVlib_video_frame_v2_t a, b;
    ASSERT_TRUE(qrv_test::capture_until([&](uint32_t t) { return converting->capture(&a, nullptr, nullptr, t); },
                                        [](int32_t k) { return k == QRVlib_frame_type_video; }));
    ASSERT_TRUE(qrv_test::capture_until([&](uint32_t t) { return mapping->capture(&b, nullptr, nullptr, t); },
                                        [](int32_t k) { return k == QRVlib_frame_type_video; }));
    // Both are held by their callers; only the mapped one holds the source.
    const auto end = qrv_test::Clock::now() + 5s;
    while (sender->transport_stats().shared_held != 1 && qrv_test::Clock::now() < end)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(sender->transport_stats().shared_held, 1u);
    EXPECT_EQ(a.fourcc, QRVlib_FourCC_type_RGBA);
    EXPECT_EQ(b.fourcc, QRVlib_FourCC_type_BGRA);
    EXPECT_EQ(a.data[3], 7);
    converting->free_video(&a);
    mapping->free_video(&b);
    EXPECT_EQ(a.data, nullptr);
    EXPECT_EQ(b.data, nullptr);
}

}  // namespace

namespace {

// --- tally -----------------------------------------------------------------

// Waits until the sender's combined tally is the one wanted.
bool tally_becomes(Sender& s, bool program, bool preview, std::chrono::milliseconds limit = 5s)
{
    const auto end = qrv_test::Clock::now() + limit;
    for (;;) {
        const auto [t, changed] = s.tally(100ms);
        if (t.program == program && t.preview == preview)
            return true;
        if (qrv_test::Clock::now() >= end)
            return false;
    }
}

TEST(Tally, IsToldAgainToASourceThatCameBack)
{
    auto sender = make_sender("tally return");
    const Endpoint where = sender->endpoint();
    auto receiver = make_receiver(where);
    receiver->set_tally(true, false);  // before any connection: kept
    ASSERT_TRUE(tally_becomes(*sender, true, false));
    sender.reset();
    transport::ServerOptions same_port;
    same_port.port = where.port;
    sender = std::make_unique<Sender>(SenderSettings{"tally return", "", false, false}, Scope::from_value(nullptr),
                                      same_port);
    EXPECT_TRUE(tally_becomes(*sender, true, false, 10s));
    receiver->set_tally(false, true);
    EXPECT_TRUE(tally_becomes(*sender, false, true));
    receiver.reset();
    EXPECT_TRUE(tally_becomes(*sender, false, false)) << "a receiver that is gone no longer counts";
}

}  // namespace

TEST(Multicast, SettingsAreReadOnceAndGroupsAreStableAndApart)
{
    auto from = [](std::map<std::string, std::string> env) {
        return transport::MulticastSettings::from_settings(Settings::from([&](const char* name) -> const char* {
            const auto it = env.find(name);
            return it == env.end() ? nullptr : it->second.c_str();
        }));
    };
    // Off for senders unless asked; receivers join unless told not to.
    const auto plain = from({});
    EXPECT_FALSE(plain.offer);
    EXPECT_TRUE(plain.join);
    EXPECT_FALSE(from({{"QRV_MULTICAST", "off"}}).join);
    const auto on = from({{"QRV_MULTICAST", "1"}, {"QRV_MULTICAST_RANGE", "232.1.0.0/30"},
                          {"QRV_MULTICAST_TTL", "4"}, {"QRV_MULTICAST_WINDOW_MS", "100"}});
    EXPECT_TRUE(on.offer);
    EXPECT_EQ(on.range_base, 0xe8010000u);
    EXPECT_EQ(on.range_prefix, 30);
    EXPECT_EQ(on.ttl, 4);
    EXPECT_EQ(on.window, 100ms);
    // Not a multicast range, host bits set, a TTL and a window out of range:
    // the defaults stand.
    const auto bad = from({{"QRV_MULTICAST", "yes"}, {"QRV_MULTICAST_RANGE", "10.0.0.0/8"},
                           {"QRV_MULTICAST_TTL", "0"}, {"QRV_MULTICAST_WINDOW_MS", "5000"}});
    EXPECT_FALSE(bad.offer);
    EXPECT_EQ(bad.range_base, 0xefff0000u);
    EXPECT_EQ(bad.ttl, 1);
    EXPECT_EQ(bad.window, 60ms);
    EXPECT_FALSE(transport::parse_multicast_range("239.255.0.1/16"));

    // The same name gives the same group; one taken gives the next; a full
    // range gives none; 224.0.0.0/24 is never chosen.
    auto none = [](uint32_t) { return false; };
    const auto g = transport::choose_group("CAM 1/full", on, none);
    ASSERT_TRUE(g);
    EXPECT_EQ(*g >> 2, 0xe8010000u >> 2);
    EXPECT_EQ(transport::choose_group("CAM 1/full", on, none), g);
    const auto next = transport::choose_group("CAM 1/full", on, [&](uint32_t a) { return a == *g; });
    ASSERT_TRUE(next);
    EXPECT_NE(*next, *g);
    EXPECT_FALSE(transport::choose_group("CAM 1/full", on, [](uint32_t) { return true; }));
    transport::MulticastSettings low;
    low.range_base = 0xe0000000u;
    low.range_prefix = 23;
    for (const char* name : {"a", "b", "c", "d", "e", "f"})
        EXPECT_GE(*transport::choose_group(name, low, none), 0xe0000100u);
}

TEST(Multicast, SendersOfThisHostWhoseNamesCollideGetGroupsApart)
{
    // Four addresses, two names that hash to the same one (found here, not
    // written down, so that the test outlives a change of hash).
    transport::MulticastSettings tiny;
    tiny.range_base = 0xefff0700u;  // 239.255.7.0/30
    tiny.range_prefix = 30;
    auto none = [](uint32_t) { return false; };
    const std::string first_name = "CAM 0/full";
    const uint32_t home = *transport::choose_group(first_name, tiny, none);
    std::string second_name;
    for (int i = 1; second_name.empty() && i < 1000; ++i)
        if (const auto name = "CAM " + std::to_string(i) + "/full"; *transport::choose_group(name, tiny, none) == home)
            second_name = name;
    ASSERT_FALSE(second_name.empty());

    auto first = transport::claim_group(first_name, tiny);
    ASSERT_TRUE(first && first->claim.held());
    ASSERT_EQ(first->group, home) << "another process of this host holds a group of the test's range";
    // Held by a process of its own, as another program's sender would: this
    // process's copy of the claim goes, the child's stays.
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        close(gate[1]);
        char c;
        (void)!read(gate[0], &c, 1);  // until the parent closes its end
        _exit(0);
    }
    close(gate[0]);
    first.reset();
    const auto second = transport::claim_group(second_name, tiny);
    ASSERT_TRUE(second && second->claim.held());
    EXPECT_NE(second->group, home) << "two senders of this host share a group";

    // Its holder gone, the group is free again.
    close(gate[1]);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    const auto again = transport::claim_group(first_name, tiny);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->group, home);
}

TEST(Multicast, ARepairNeverRunsAheadOfThePacing)
{
    // Eight frames of 64 datagrams queued at once on loopback: the pacing
    // spreads each over 8 ms, so the last is not on its way for some 50 ms.
    // A receiver that asks for it before then (it cannot tell a pause of
    // the pacing from a loss) gets nothing twice.
    const uint32_t loopback = INADDR_LOOPBACK;
    transport::MulticastSettings settings;
    settings.window = 1000ms;  // kept for repairs past the queue's wait
    transport::MulticastSender sender(0xefff7a01u, loopback, settings, "pacing");
    net::Fd repairs(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(loopback);
    socklen_t size = sizeof at;
    ASSERT_EQ(bind(repairs.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(getsockname(repairs.get(), reinterpret_cast<sockaddr*>(&at), &size), 0);

    const uint32_t count = 64;  // datagrams a frame, of the size loopback's MTU allows
    std::vector<uint8_t> bytes(size_t(count) * sender.offer().part_bytes, 7);
    wire::Packet frame;
    frame.type = wire::MessageType::video;
    frame.bytes = std::span<const uint8_t>(bytes);
    for (int i = 0; i < 8; ++i)
        sender.send(frame);
    std::vector<uint32_t> all(count);
    std::iota(all.begin(), all.end(), 0u);
    transport::RepairBudget early, later;
    sender.resend(loopback, ntohs(at.sin_port), wire::kStreamVideo, 8, all, early);
    sender.resend(loopback, ntohs(at.sin_port), wire::kStreamVideo, 8, {}, early);
    // On a busy host the pacing may have reached the last frame meanwhile:
    // only what it had sent by the end of the requests may go again.
    const auto early_stats = sender.stats();
    const uint64_t last_sent = early_stats.datagrams > 7 * count ? early_stats.datagrams - 7 * count : 0;
    EXPECT_LE(early_stats.repairs, 2 * last_sent);

    // Once sent to the group, a datagram asked for is sent again.
    for (int i = 0; i < 200 && sender.stats().messages < 8; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(sender.stats().messages, 8u);
    sender.resend(loopback, ntohs(at.sin_port), wire::kStreamVideo, 8, std::span<const uint32_t>(all).first(3), later);
    EXPECT_EQ(sender.stats().repairs - early_stats.repairs, 3u);
}

TEST(Multicast, ARunOfDatagramsArrivesWholeAndInPlaceEitherWayItIsSent)
{
    // A cut message of 70 datagrams, the last one short, sent as one run
    // segmented by the kernel and as sendmmsg batches: every datagram
    // arrives apart, with its own bytes, though one send holds fewer.
    wire::DatagramHeader how;
    how.part_bytes = 1000;
    how.token = 5;
    how.stream = wire::kStreamVideo;
    how.sequence = 1;
    std::vector<uint8_t> bytes(69 * 1000 + 123);
    std::iota(bytes.begin(), bytes.end(), uint8_t(0));
    const std::span<const uint8_t> pieces[] = {bytes};
    const auto cut = wire::cut_message(pieces, how);
    ASSERT_TRUE(cut);
    ASSERT_EQ(cut->count(), 70u);
    ASSERT_LT(transport::DatagramBatch::most_per_send(cut->stride()), 70u);
    for (const bool segment : {true, false}) {
        net::Fd in(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        net::Fd out(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof at;
        ASSERT_EQ(bind(in.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
        ASSERT_EQ(getsockname(in.get(), reinterpret_cast<sockaddr*>(&at), &size), 0);
        ASSERT_EQ(connect(out.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
        const int room = 1 << 20;
        setsockopt(in.get(), SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
        transport::DatagramBatch batch(out.get(), "batch", segment);
        EXPECT_TRUE(segment || !batch.segmenting());
        EXPECT_EQ(batch.send(cut->datagrams(0, 70), cut->stride()), 70u);
        std::vector<uint8_t> got(70000);
        for (uint32_t i = 0; i < 70; ++i) {
            const ssize_t n = recv(in.get(), got.data(), got.size(), 0);
            const auto want = cut->datagram(i);
            ASSERT_EQ(n, ssize_t(want.size())) << "datagram " << i << (segment ? " segmented" : " batched");
            EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin())) << "datagram " << i;
        }
        EXPECT_LT(recv(in.get(), got.data(), got.size(), 0), 0) << "nothing more";
    }
}

TEST(Multicast, ARunTakenWholeOffTheGroupIsCheckedDatagramByDatagram)
{
    // A source on loopback sends each message as one run the kernel cuts;
    // the receiver takes runs whole where the kernel lets it. Good runs
    // give their messages, the last datagram shorter; a run of datagrams
    // longer than the offer's part size is refused datagram by datagram.
    const uint32_t loopback = INADDR_LOOPBACK;
    auto claimed = transport::claim_group("coalesced runs", transport::MulticastSettings{});
    ASSERT_TRUE(claimed);
    const wire::MulticastOfferFields offer{claimed->group, loopback, wire::kMulticastPort, 1000, 77};
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<size_t> sizes;
    transport::MulticastReceiver receiver(
        offer, loopback, 60ms,
        [&](transport::Message&& m) {
            std::lock_guard lock(mutex);
            sizes.push_back(m.data ? m.data->size() : 0);
            arrived.notify_all();
        },
        [](std::vector<uint8_t>&&) {}, "runs");

    net::Fd out(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(loopback);
    ASSERT_EQ(bind(out.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(setsockopt(out.get(), IPPROTO_IP, IP_MULTICAST_IF, &at.sin_addr, sizeof at.sin_addr), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(offer.group);
    to.sin_port = htons(offer.port);
    ASSERT_EQ(connect(out.get(), reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    transport::DatagramBatch batch(out.get(), "runs");
    ASSERT_TRUE(batch.segmenting());
    wire::VideoFields f;
    f.width = 640;
    f.height = 360;
    f.fourcc = QRVlib_FourCC_type_BGRA;
    f.frame_rate_num = 30;
    f.frame_rate_den = 1;
    f.frame_format = 1;
    f.line_bytes = 640 * 4;
    f.format_tag = wire::kVideoSlicedJpeg;
    const size_t head = wire::encode_video(f, "", 0).size();
    // A message of message_bytes in all, cut in parts of part_bytes.
    auto send = [&](uint64_t sequence, uint16_t part_bytes, size_t message_bytes) {
        auto bytes = wire::encode_video(f, "", message_bytes - head);
        bytes.resize(message_bytes, uint8_t(sequence));
        wire::DatagramHeader how;
        how.part_bytes = part_bytes;
        how.token = offer.token;
        how.stream = wire::kStreamVideo;
        how.sequence = sequence;
        const std::span<const uint8_t> pieces[] = {bytes};
        const auto cut = wire::cut_message(pieces, how);
        ASSERT_TRUE(cut);
        ASSERT_EQ(batch.send(cut->datagrams(0, cut->count()), cut->stride()), cut->count());
    };
    send(1, 1000, 20500);     // the last datagram half as long
    send(2, 1200, 17 * 1200);  // 17 datagrams, each longer than the offer allows
    send(3, 1000, 30000);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(arrived.wait_for(lock, 5s, [&] { return sizes.size() >= 2; }));
        EXPECT_EQ(sizes, (std::vector<size_t>{20500 - head, 30000 - head}));
    }
    const auto s = receiver.stats();
    EXPECT_EQ(s.datagrams.bad_lengths, 17u);
    EXPECT_EQ(s.datagrams.messages, 2u);
    EXPECT_GE(s.runs, 3u) << "the kernel handed over no run whole";
}

TEST(Multicast, FramesAreCountedOnceAcrossTheConnectionAndTheGroup)
{
    // Frames 1 to 3 over the connection; the group brings 3 again (while
    // joining), gives up 5 and brings 6; after a fallback the connection
    // goes on at 8. Two frames were lost, none is delivered twice.
    transport::FrameNumbers numbers;
    uint64_t lost = 0, delivered = 0;
    for (const uint64_t n : {1, 2, 3, 3, 4, 6, 2, 8})
        if (const auto missing = numbers.take(n)) {
            lost += *missing;
            ++delivered;
        }
    EXPECT_EQ(lost, 2u);
    EXPECT_EQ(delivered, 6u);
    EXPECT_EQ(numbers.take(0), 0u) << "an unnumbered frame is taken";
}

TEST(Multicast, AGroupIsTooLossyPastOneFrameInAHundredOverItsWindow)
{
    const auto t0 = std::chrono::steady_clock::time_point{} + 1h;
    transport::FrameLossWindow window(300, 5s);
    // A few losses right after joining are no verdict.
    window.add(t0, 5, 3);
    EXPECT_FALSE(window.too_lossy(t0));
    // Three in two hundred are too many.
    window.add(t0 + 1s, 192, 0);
    EXPECT_EQ(window.tally(t0 + 1s).frames, 200u);
    EXPECT_TRUE(window.too_lossy(t0 + 1s));
    // The early losses age out of the window of seconds...
    window.add(t0 + 5500ms, 150, 1);
    EXPECT_EQ(window.tally(t0 + 5500ms).lost, 1u);
    EXPECT_FALSE(window.too_lossy(t0 + 5500ms));
    // ... and of frames: a burst beyond the window still counts in full.
    window.add(t0 + 5600ms, 0, 1000);
    EXPECT_EQ(window.tally(t0 + 5600ms).lost, 300u);
    EXPECT_TRUE(window.too_lossy(t0 + 5600ms));
}

TEST(Multicast, AReceiverIsRepairedUpToItsShareOfTheStreamAndNoMore)
{
    // A 40 MB/s stream: each receiver may have a quarter of it again, a
    // second's worth at once. One that asks for everything every
    // millisecond for ten seconds gets about 10 MB/s, not the stream many
    // times over; another receiver's budget is its own.
    const auto t0 = std::chrono::steady_clock::time_point{} + 1h;
    const uint64_t rate = 40'000'000, datagram = 1472;
    transport::RepairBudget greedy, other;
    uint64_t granted = 0;
    for (int ms = 0; ms < 10'000; ++ms)
        for (int i = 0; i < 64; ++i)
            granted += greedy.take(datagram, rate, t0 + std::chrono::milliseconds(ms)) ? datagram : 0;
    EXPECT_GT(granted, 10 * rate / 4 - 2 * datagram * 64);
    EXPECT_LE(granted, 11 * rate / 4);
    EXPECT_TRUE(other.take(rate / 4, rate, t0 + 10s)) << "a second's share at once";
    EXPECT_FALSE(other.take(datagram, rate, t0 + 10s));
    // A quiet stream still gets repairs up to the floor.
    transport::RepairBudget quiet;
    EXPECT_TRUE(quiet.take(transport::RepairBudget::kFloorPerSecond, 1000, t0));
    EXPECT_FALSE(quiet.take(1, 1000, t0));
    // Refusals are told once, then every ten seconds at most.
    EXPECT_TRUE(greedy.time_to_tell(t0));
    EXPECT_FALSE(greedy.time_to_tell(t0 + 9s));
    EXPECT_TRUE(greedy.time_to_tell(t0 + 10s));
}

TEST(Multicast, AGroupsReceiversTogetherAreRepairedUpToTheGroupsShareAndShareItFairly)
{
    // A 40 MB/s stream and six receivers: five starved ones that ask for
    // everything every millisecond, and one on a lossy port that asks for
    // a datagram every 4 ms (about 1% of the stream). Together they get a
    // sixth of the stream again, not six quarters of it; the lossy one gets
    // all it asks, and the starved ones about equal parts of the rest.
    const auto t0 = std::chrono::steady_clock::time_point{} + 1h;
    const uint64_t rate = 40'000'000, datagram = 1472;
    transport::GroupRepairBudget group;
    uint64_t starved[5] = {}, lossy = 0, lossy_asked = 0;
    for (int ms = 0; ms < 10'000; ++ms) {
        const auto now = t0 + std::chrono::milliseconds(ms);
        for (int i = 0; i < 64; ++i)
            for (uint64_t r = 0; r < 5; ++r)
                starved[r] += group.take(r, datagram, rate, now) ? datagram : 0;
        if (ms % 4 == 0) {
            lossy_asked += datagram;
            lossy += group.take(99, datagram, rate, now) ? datagram : 0;
        }
    }
    const uint64_t total = lossy + std::accumulate(std::begin(starved), std::end(starved), uint64_t(0));
    EXPECT_LE(total, 11 * rate / transport::GroupRepairBudget::kShareDivisor);
    EXPECT_GT(total, 9 * rate / transport::GroupRepairBudget::kShareDivisor);
    EXPECT_EQ(lossy, lossy_asked);
    const auto [least, most] = std::minmax_element(std::begin(starved), std::end(starved));
    EXPECT_GT(double(*least), 0.8 * double(*most)) << "starved receivers share alike";
    // Alone again after a pause, a receiver may use the whole budget.
    transport::GroupRepairBudget alone;
    EXPECT_TRUE(alone.take(7, rate / transport::GroupRepairBudget::kShareDivisor, rate, t0));
    EXPECT_FALSE(alone.take(7, datagram, rate, t0));
}
