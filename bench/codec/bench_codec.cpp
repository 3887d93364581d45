// The compressed-video codec on photograph-like pictures: encode and decode
// rates with one and two threads, bytes per frame, bit rate at 29.97 fps and
// PSNR of Y, U and V, next to plain single-threaded TurboJPEG compressing
// the same 4:2:2 planes in one stream (the peer), measured in the same run.
//
//   bench_codec [--frames N] [--quality Q] [IMAGE.jpg ...]
//
// Without images it uses two generated pictures: a photograph-like one
// (gradients, edges, camera-like noise) and a moving colour pattern like
// rate_probe's. JPEG images are scaled to each size and given the same noise.
// Prints "key value" lines and "row" lines for the report.
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/thread_pool.h"
#include "libyuv/convert_from_argb.h"
#include "libyuv/planar_functions.h"
#include "libyuv/scale_argb.h"
#include "media/jpeg_codec.h"
#include "qrvlib.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Bgra {
    int w = 0, h = 0;
    std::vector<uint8_t> px;
};

uint32_t next_random(uint32_t& s)
{
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
}

// Sensor-like noise of a few levels on every channel.
void add_noise(Bgra& b)
{
    uint32_t s = 12345;
    for (size_t i = 0; i < b.px.size(); ++i) {
        if (i % 4 == 3)
            continue;
        const int n = int(next_random(s) % 7) - 3;
        b.px[i] = uint8_t(std::clamp(int(b.px[i]) + n, 0, 255));
    }
}

Bgra photo_like(int w, int h)
{
    Bgra b{w, h, std::vector<uint8_t>(size_t(w) * h * 4, 255)};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double u = double(x) / w, v = double(y) / h;
            for (int c = 0; c < 3; ++c) {
                double val = 60 + 120 * u * (0.6 + 0.4 * std::sin(7 * v + c));
                if ((int(u * 23) + int(v * 13)) % 7 == 0)
                    val = 200 - 40 * c;  // hard-edged objects
                val += 25 * std::sin(u * 180 + v * 90 * (c + 1));  // fine texture
                b.px[(size_t(y) * w + x) * 4 + c] = uint8_t(std::clamp(val, 0.0, 255.0));
            }
        }
    add_noise(b);
    return b;
}

Bgra pattern_like(int w, int h)
{
    Bgra b{w, h, std::vector<uint8_t>(size_t(w) * h * 4, 255)};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double m = double(y) / h, xx = double(x) / w;
            const double r = 127.5 + 127.5 * std::sin(9.5 * m + 9.0 * xx);
            const double g = 127.5 + 127.5 * std::sin(40.5 * m + 12.0 * xx);
            const double bl = 127.5 + 127.5 * std::sin(15.5 * m + 23.0 * xx);
            uint8_t* p = &b.px[(size_t(y) * w + x) * 4];
            p[0] = uint8_t(bl);
            p[1] = uint8_t(g);
            p[2] = uint8_t(r);
        }
    return b;
}

bool load_jpeg(const std::string& path, int w, int h, Bgra& out)
{
    std::ifstream f(path, std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (bytes.empty())
        return false;
    tjhandle d = tjInitDecompress();
    int sw = 0, sh = 0, ss = 0, cs = 0;
    bool ok = tjDecompressHeader3(d, bytes.data(), bytes.size(), &sw, &sh, &ss, &cs) == 0;
    std::vector<uint8_t> src(size_t(sw) * sh * 4);
    ok = ok && tjDecompress2(d, bytes.data(), bytes.size(), src.data(), sw, sw * 4, sh, TJPF_BGRA, 0) == 0;
    tjDestroy(d);
    if (!ok)
        return false;
    out = Bgra{w, h, std::vector<uint8_t>(size_t(w) * h * 4)};
    libyuv::ARGBScale(src.data(), sw * 4, sw, sh, out.px.data(), w * 4, w, h, libyuv::kFilterBox);
    add_noise(out);
    return true;
}

double psnr(const uint8_t* a, const uint8_t* b, size_t n, size_t first, size_t step)
{
    double sum = 0;
    size_t count = 0;
    for (size_t i = first; i < n; i += step, ++count)
        sum += double(int(a[i]) - int(b[i])) * double(int(a[i]) - int(b[i]));
    return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(count) / sum);
}

struct Result {
    double enc_mpps = 0, dec_mpps = 0;
    size_t bytes = 0;
};

// Plain TurboJPEG: the frame's planes as one stream, on this thread.
Result peer(const std::vector<uint8_t>& uyvy, int w, int h, int quality, int frames, std::vector<uint8_t>& decoded)
{
    const int cw = (w + 1) / 2;
    std::vector<uint8_t> y(size_t(w) * h), u(size_t(cw) * h), v(size_t(cw) * h);
    tjhandle c = tjInitCompress(), d = tjInitDecompress();
    unsigned long cap = tjBufSize(w, h, TJSAMP_422), size = 0;
    std::vector<uint8_t> jpeg(cap);
    const int strides[3] = {w, cw, cw};
    Result r;
    auto start = Clock::now();
    for (int i = 0; i < frames; ++i) {
        libyuv::UYVYToI422(uyvy.data(), w * 2, y.data(), w, u.data(), cw, v.data(), cw, w, h);
        const unsigned char* planes[3] = {y.data(), u.data(), v.data()};
        unsigned char* buf = jpeg.data();
        size = cap;
        tjCompressFromYUVPlanes(c, planes, w, strides, h, TJSAMP_422, &buf, &size, quality, TJFLAG_NOREALLOC);
    }
    r.enc_mpps = double(w) * h * frames / seconds_since(start) / 1e6;
    r.bytes = size;
    decoded.resize(uyvy.size());
    start = Clock::now();
    for (int i = 0; i < frames; ++i) {
        unsigned char* planes[3] = {y.data(), u.data(), v.data()};
        tjDecompressToYUVPlanes(d, jpeg.data(), size, planes, w, const_cast<int*>(strides), h, 0);
        libyuv::I422ToUYVY(y.data(), w, u.data(), cw, v.data(), cw, decoded.data(), w * 2, w, h);
    }
    r.dec_mpps = double(w) * h * frames / seconds_since(start) / 1e6;
    tjDestroy(c);
    tjDestroy(d);
    return r;
}

Result ours(const std::vector<uint8_t>& uyvy, int w, int h, int quality, int frames, size_t threads,
            std::vector<uint8_t>& decoded)
{
    qrv::ThreadPool pool(threads);
    const qrv::media::PictureView view{QRVlib_FourCC_type_UYVY, w, h, uyvy.data(), size_t(w) * 2};
    Result r;
    std::optional<std::vector<uint8_t>> payload;
    auto start = Clock::now();
    for (int i = 0; i < frames; ++i)
        payload = qrv::media::encode_sliced_jpeg(view, quality, pool);
    r.enc_mpps = double(w) * h * frames / seconds_since(start) / 1e6;
    if (!payload)
        return r;
    r.bytes = payload->size();
    decoded.resize(uyvy.size());
    start = Clock::now();
    for (int i = 0; i < frames; ++i)
        qrv::media::decode_sliced_jpeg(*payload, QRVlib_FourCC_type_UYVY, w, h, decoded.data(), size_t(w) * 2, pool);
    r.dec_mpps = double(w) * h * frames / seconds_since(start) / 1e6;
    return r;
}

}  // namespace

int main(int argc, char** argv)
{
    int frames = 10, quality = 0;
    std::vector<std::string> images;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--frames" && i + 1 < argc)
            frames = std::max(1, std::atoi(argv[++i]));
        else if (a == "--quality" && i + 1 < argc)
            quality = std::clamp(std::atoi(argv[++i]), 1, 100);
        else
            images.push_back(a);
    }
    struct Size {
        int w, h, q;  // q: the quality used unless --quality
    };
    // Operating points: quality 95 at 1080p, 85 at 2160p (what the bit-rate
    // ceiling leaves on a detailed picture).
    const Size sizes[] = {{1920, 1080, 95}, {3840, 2160, 85}};
    std::vector<std::string> names = {"photo", "pattern"};
    // A wallpaper's name is its folder's: NAME/contents/images/SIZE.jpg.
    for (const auto& path : images) {
        const size_t at = path.find("/contents/");
        const std::string base = at == std::string::npos ? path : path.substr(0, at);
        names.push_back(base.substr(base.find_last_of('/') + 1));
    }
    for (const Size& s : sizes) {
        const int q = quality ? quality : s.q;
        for (size_t n = 0; n < names.size(); ++n) {
            Bgra b;
            if (n == 0)
                b = photo_like(s.w, s.h);
            else if (n == 1)
                b = pattern_like(s.w, s.h);
            else if (!load_jpeg(images[n - 2], s.w, s.h, b))
                continue;
            std::vector<uint8_t> uyvy(size_t(s.w) * s.h * 2);
            libyuv::ARGBToUYVY(b.px.data(), s.w * 4, uyvy.data(), s.w * 2, s.w, s.h);
            std::vector<uint8_t> d_peer, d1, d2;
            const Result p = peer(uyvy, s.w, s.h, q, frames, d_peer);
            const Result one = ours(uyvy, s.w, s.h, q, frames, 1, d1);
            const Result two = ours(uyvy, s.w, s.h, q, frames, 2, d2);
            const size_t bytes = uyvy.size();
            // UYVY: luma at odd bytes, U at 4k, V at 4k + 2.
            const double py = psnr(uyvy.data(), d2.data(), bytes, 1, 2);
            const double pu = psnr(uyvy.data(), d2.data(), bytes, 0, 4);
            const double pv = psnr(uyvy.data(), d2.data(), bytes, 2, 4);
            const double peer_y = psnr(uyvy.data(), d_peer.data(), bytes, 1, 2);
            const double mbps = double(two.bytes) * 8 * 29.97 / 1e6;
            const std::string key = "codec_" + names[n] + "_" + std::to_string(s.h);
            std::printf("%s_enc1_mpps %.1f\n%s_enc2_mpps %.1f\n%s_peer_enc_mpps %.1f\n", key.c_str(), one.enc_mpps,
                        key.c_str(), two.enc_mpps, key.c_str(), p.enc_mpps);
            std::printf("%s_dec1_mpps %.1f\n%s_dec2_mpps %.1f\n%s_peer_dec_mpps %.1f\n", key.c_str(), one.dec_mpps,
                        key.c_str(), two.dec_mpps, key.c_str(), p.dec_mpps);
            std::printf("%s_bytes %zu\n%s_peer_bytes %zu\n%s_mbps %.0f\n%s_psnr_y %.2f\n%s_psnr_u %.2f\n"
                        "%s_psnr_v %.2f\n",
                        key.c_str(), two.bytes, key.c_str(), p.bytes, key.c_str(), mbps, key.c_str(), py,
                        key.c_str(), pu, key.c_str(), pv);
            std::printf("row Codec %s %dx%d q%d: encode / decode, 2 threads | %.0f / %.0f Mpixel/s (1 thread %.0f / "
                        "%.0f); %.0f Mbit/s at 29.97; PSNR Y %.1f U %.1f V %.1f dB | plain TurboJPEG 1 thread %.0f / "
                        "%.0f Mpixel/s (ratio %.2f / %.2f); %.0f Mbit/s; PSNR Y %.1f | encode and decode ≥ 1.7× the "
                        "peer; Y ≥ 40 dB\n",
                        names[n].c_str(), s.w, s.h, q, two.enc_mpps, two.dec_mpps, one.enc_mpps, one.dec_mpps, mbps,
                        py, pu, pv, p.enc_mpps, p.dec_mpps, two.enc_mpps / p.enc_mpps, two.dec_mpps / p.dec_mpps,
                        double(p.bytes) * 8 * 29.97 / 1e6, peer_y);
            std::fflush(stdout);
        }
    }
    return 0;
}
