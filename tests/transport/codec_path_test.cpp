// Compressed video on the TCP path: who gets what by its hello, raw forced
// by the environment, an encoder that falls behind without holding up the
// sender, and compressed frames that do not decode or were skipped at the
// source showing up in the receiver's drop count.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/socket.h"
#include "media/jpeg_codec.h"
#include "objects/receiver.h"
#include "objects/sender.h"
#include "transport_support.h"
#include "transport/message_io.h"
#include "transport/video_encoder.h"

using namespace qrv;
using namespace std::chrono_literals;
using qrv_test::BgraFrame;
using qrv_test::wait_connected;

namespace {

std::unique_ptr<Sender> make_sender(const char* name, bool compress = true)
{
    transport::ServerOptions options;
    options.video_codec.compress = compress;
    options.video_codec.on_this_host = true;
    return std::make_unique<Sender>(SenderSettings{name, "", false, false}, Scope::from_value(nullptr), options);
}

std::unique_ptr<Receiver> make_receiver(const Endpoint& e, bool shared_memory,
                                        wire::Bandwidth bandwidth = wire::Bandwidth::highest, bool raw_only = false)
{
    ReceiverLimits limits;
    limits.link.shared_memory = shared_memory;
    limits.video = 64;
    return std::make_unique<Receiver>(
        ReceiverSettings{"", format_locator(e), "codec", media::ColorFormat::bgrx_bgra, bandwidth, 0, raw_only},
        limits);
}

std::optional<std::vector<uint8_t>> next_pixels(Receiver& r)
{
    std::optional<std::vector<uint8_t>> out;
    qrv_test::capture_until(
        [&](uint32_t t) {
            QRVlib_video_frame_v2_t v;
            const int32_t k = r.capture(&v, nullptr, nullptr, t);
            if (k == QRVlib_frame_type_video) {
                out.emplace(v.data, v.data + (size_t)v.line_stride * v.height);
                r.free_video(&v);
            }
            return k;
        },
        [](int32_t k) { return k == QRVlib_frame_type_video; }, 5s);
    return out;
}

BgraFrame photo_like(int w, int h)
{
    BgraFrame f(w, h, 255);
    uint32_t seed = 1;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) {
                seed = seed * 1664525u + 1013904223u;
                const double v = 128 + 90 * std::sin(x * 0.03 + c) * std::cos(y * 0.02) + (seed >> 29);
                f.pixels[((size_t)y * w + x) * 4 + c] = (uint8_t)v;
            }
    return f;
}

double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i)
        sum += double(a[i] - b[i]) * double(a[i] - b[i]);
    return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(a.size()) / sum);
}

}  // namespace

TEST(CodecPath, EachReceiverGetsEveryFrameInTheFormatItCanTake)
{
    auto sender = make_sender("codec negotiation");
    auto compressing = make_receiver(sender->endpoint(), false);
    auto raw_only = make_receiver(sender->endpoint(), false, wire::Bandwidth::highest, true);
    auto same_host = make_receiver(sender->endpoint(), true);
    ASSERT_TRUE(sender->wait_connections(3, 5s));
    for (auto* r : {compressing.get(), raw_only.get(), same_host.get()})
        ASSERT_TRUE(wait_connected(*r));
    EXPECT_TRUE(same_host->shared_memory());

    // Flat black and white arrive exactly everywhere; one frame at a time,
    // so that the encoder never has a reason to skip one.
    for (uint8_t level : {0, 255, 0, 255}) {
        BgraFrame f(320, 180, level);
        sender->send_video(f.record);
        for (auto* r : {compressing.get(), raw_only.get(), same_host.get()}) {
            const auto got = next_pixels(*r);
            ASSERT_TRUE(got);
            ASSERT_EQ(*got, f.pixels) << "level " << int(level);
        }
    }
    // A detailed picture: exact where raw, close where compressed.
    const BgraFrame photo = photo_like(640, 360);
    sender->send_video(photo.record);
    const auto raw = next_pixels(*raw_only), shm = next_pixels(*same_host), jpeg = next_pixels(*compressing);
    ASSERT_TRUE(raw && shm && jpeg);
    EXPECT_EQ(*raw, photo.pixels);
    EXPECT_EQ(*shm, photo.pixels);
    EXPECT_NE(*jpeg, photo.pixels);
    EXPECT_GT(psnr(*jpeg, photo.pixels), 38.0);

    const auto s = sender->transport_stats();
    EXPECT_EQ(s.video_compressed, 5u);  // once per frame, for one receiver
    EXPECT_EQ(s.video_compress_skipped, 0u);
    EXPECT_GT(s.video_compressed_bytes, 0u);
    for (auto* r : {compressing.get(), raw_only.get(), same_host.get()})
        EXPECT_EQ(r->stats().video_dropped, 0u);
    EXPECT_EQ(compressing->codec_stats().frames, 5u);
    EXPECT_EQ(raw_only->codec_stats().frames, 0u);
    EXPECT_EQ(same_host->codec_stats().frames, 0u);
}

TEST(CodecPath, PreviewsTravelCompressedToReceiversThatDecodeThem)
{
    auto sender = make_sender("codec previews");
    auto compressing = make_receiver(sender->endpoint(), false, wire::Bandwidth::lowest);
    auto raw_only = make_receiver(sender->endpoint(), false, wire::Bandwidth::lowest, true);
    ASSERT_TRUE(sender->wait_connections(2, 5s));
    for (auto* r : {compressing.get(), raw_only.get()})
        ASSERT_TRUE(wait_connected(*r));

    const media::PictureSize size = media::preview_size(QRVlib_FourCC_type_BGRA, 640, 360);
    for (uint8_t level : {255, 0}) {
        BgraFrame f(640, 360, level);
        sender->send_video(f.record);
        const std::vector<uint8_t> want((size_t)size.width * size.height * 4, level);
        for (auto* r : {compressing.get(), raw_only.get()}) {
            const auto got = next_pixels(*r);
            ASSERT_TRUE(got);
            EXPECT_EQ(*got, want) << "level " << int(level);
        }
    }
    EXPECT_EQ(compressing->codec_stats().frames, 2u);
    EXPECT_EQ(raw_only->codec_stats().frames, 0u);
    // Previews are compressed apart from full frames, which nobody asked for.
    EXPECT_EQ(sender->transport_stats().video_compressed, 0u);
}

TEST(CodecPath, RawForcedOnTheSenderCompressesNothing)
{
    auto sender = make_sender("codec forced raw", false);
    auto r = make_receiver(sender->endpoint(), false);
    ASSERT_TRUE(sender->wait_connections(1, 5s));
    ASSERT_TRUE(wait_connected(*r));
    const BgraFrame photo = photo_like(64, 32);
    sender->send_video(photo.record);
    const auto got = next_pixels(*r);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, photo.pixels);
    EXPECT_EQ(sender->transport_stats().video_compressed, 0u);
}

TEST(CodecPath, SettingsFromTheEnvironment)
{
    Settings given;
    given.video_quality = "80";
    given.video_max_mbits = "250";
    auto s = transport::VideoCodecSettings::from_settings(given);
    EXPECT_TRUE(s.compress);
    EXPECT_EQ(s.quality, 80);
    EXPECT_DOUBLE_EQ(s.max_bits_per_second, 250e6);

    given.video_quality = "101";
    given.video_max_mbits = "lots";
    s = transport::VideoCodecSettings::from_settings(given);
    EXPECT_EQ(s.quality, transport::VideoCodecSettings{}.quality);
    EXPECT_DOUBLE_EQ(s.max_bits_per_second, transport::VideoCodecSettings{}.max_bits_per_second);
}

namespace {

wire::PacketPtr raw_message(uint64_t number, int w = 32, int h = 16, uint8_t fill = 0)
{
    wire::VideoFields f;
    f.width = w;
    f.height = h;
    f.fourcc = QRVlib_FourCC_type_BGRA;
    f.frame_rate_num = 30;
    f.frame_rate_den = 1;
    f.frame_format = 1;
    f.line_bytes = (uint32_t)w * 4;
    f.frame_number = number;
    auto bytes = wire::encode_video(f, "", (uint64_t)w * h * 4);
    bytes.resize(bytes.size() + (size_t)w * h * 4, fill);
    return wire::make_packet(wire::MessageType::video, std::move(bytes));
}

uint64_t number_of(const wire::Packet& p)
{
    const std::span<const uint8_t> b = p.bytes;
    const auto h = wire::decode_header(b.first<wire::kHeaderBytes>());
    return wire::decode_video(*h, b.subspan(wire::kHeaderBytes, h->fixed_len))->frame_number;
}

}  // namespace

TEST(CodecPath, ASlowEncoderSkipsToTheNewestFrameAndNeverBlocksTheSender)
{
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    int entered = 0;
    std::vector<uint64_t> delivered;
    transport::VideoEncoder encoder(
        {}, [&](wire::PacketPtr p) {
            std::lock_guard lock(m);
            delivered.push_back(number_of(*p));
            cv.notify_all();
        },
        [&](const media::PictureView&, int) -> std::optional<std::vector<uint8_t>> {
            std::unique_lock lock(m);
            ++entered;
            cv.notify_all();
            cv.wait(lock, [&] { return open; });  // stuck until the test lets go
            return std::vector<uint8_t>(100, 1);  // a fake payload: only its size matters here
        });
    encoder.offer(raw_message(1));
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 5s, [&] { return entered == 1; }));
    }
    // The encoder is stuck in frame 1: every offer still returns at once.
    for (uint64_t n = 2; n <= 10; ++n)
        encoder.offer(raw_message(n));
    EXPECT_EQ(encoder.stats().skipped, 8u);  // 2 to 9, replaced by newer ones
    {
        std::lock_guard lock(m);
        open = true;
    }
    cv.notify_all();
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, 5s, [&] { return delivered.size() == 2; }));
    EXPECT_EQ(delivered, (std::vector<uint64_t>{1, 10}));
}

TEST(CodecPath, QualityStepsDownOverTheCeilingAndClimbsBack)
{
    size_t payload = 0;
    transport::VideoCodecSettings settings;
    settings.max_bits_per_second = 30 * 8 * 1000.0;  // 1000 bytes a frame at 30 fps
    transport::VideoEncoder encoder(
        settings, [](wire::PacketPtr) {},
        [&](const media::PictureView&, int) -> std::optional<std::vector<uint8_t>> {
            return std::vector<uint8_t>(payload, 0);
        });
    auto run = [&](size_t bytes, int frames) {
        payload = bytes;
        for (int i = 0; i < frames; ++i) {
            const uint64_t before = encoder.stats().encoded;
            encoder.offer(raw_message(1));
            const auto end = std::chrono::steady_clock::now() + 5s;
            while (encoder.stats().encoded == before && std::chrono::steady_clock::now() < end)
                std::this_thread::yield();
        }
        return encoder.stats().quality;
    };
    EXPECT_EQ(run(900, 3), settings.quality);  // within its share
    const int down = run(3000, 3);
    EXPECT_LT(down, settings.quality);
    EXPECT_EQ(run(3000, 50), settings.min_quality);  // never below the floor
    EXPECT_EQ(run(500, 100), settings.quality);      // room again: back up
}

TEST(CodecPath, AReceiverDropsUndecodableFramesAndCountsSourceSkipsKeepingItsConnection)
{
    net::Fd listener = net::listen_tcp("127.0.0.1", 0);
    ASSERT_TRUE(listener);
    const Endpoint where{"127.0.0.1", net::local_port(listener.get()), "", ""};
    auto receiver = make_receiver(where, false);
    ASSERT_TRUE(net::wait_readable(listener.get(), 5s));
    net::Fd peer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(peer);
    transport::Message hello;
    ASSERT_EQ(transport::read_message(peer.get(), hello), transport::ReadResult::ok);
    const auto wishes = wire::decode_hello(hello.header, hello.fixed);
    ASSERT_TRUE(wishes);
    EXPECT_TRUE(wire::has_format(wishes->video_formats, wire::kVideoSlicedJpeg));
    const int fd = peer.get();
    ASSERT_TRUE(net::write_all(fd, wire::encode_status({0})));
    auto send_packet = [&](const wire::PacketPtr& p) { return net::write_all(fd, std::span<const uint8_t>(p->bytes)); };

    ASSERT_TRUE(send_packet(raw_message(1, 32, 16, 1)));
    const auto first = next_pixels(*receiver);
    ASSERT_TRUE(first);
    EXPECT_EQ((*first)[0], 1);
    // Frame 2: a compressed payload that is well framed but not a frame of
    // this geometry (it was made for another size).
    ThreadPool pool(1);
    const std::vector<uint8_t> other(64 * 64 * 4, 9);
    auto payload = media::encode_sliced_jpeg({QRVlib_FourCC_type_BGRA, 64, 64, other.data(), 256}, 90, pool);
    ASSERT_TRUE(payload);
    wire::VideoFields f;
    f.width = 32;
    f.height = 16;
    f.fourcc = QRVlib_FourCC_type_BGRA;
    f.frame_rate_num = 30;
    f.frame_rate_den = 1;
    f.frame_format = 1;
    f.line_bytes = 128;
    f.format_tag = wire::kVideoSlicedJpeg;
    f.frame_number = 2;
    auto bad = wire::encode_video(f, "", payload->size());
    bad.insert(bad.end(), payload->begin(), payload->end());
    ASSERT_TRUE(net::write_all(fd, bad));
    // Decoded on the link's own thread: refused before the next is sent,
    // which would otherwise take its place unseen.
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (receiver->codec_stats().refused == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(1ms);
    // Frames 3 to 5 skipped at the source; 6 arrives, compressed and sound.
    const std::vector<uint8_t> good_pixels(32 * 16 * 4, 255);
    auto good = media::encode_sliced_jpeg({QRVlib_FourCC_type_BGRA, 32, 16, good_pixels.data(), 128}, 90, pool);
    ASSERT_TRUE(good);
    f.frame_number = 6;
    auto fine = wire::encode_video(f, "", good->size());
    fine.insert(fine.end(), good->begin(), good->end());
    ASSERT_TRUE(net::write_all(fd, fine));

    const auto second = next_pixels(*receiver);
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, good_pixels);
    const auto s = receiver->stats();
    EXPECT_EQ(s.video_received, 2u);
    EXPECT_EQ(s.video_dropped, 4u);  // one undecodable, three never sent
    EXPECT_EQ(s.bad_messages, 0u);
    EXPECT_EQ(s.connects, 1u);
    EXPECT_EQ(receiver->codec_stats().frames, 1u);
    EXPECT_EQ(receiver->codec_stats().refused, 1u);
}
