// rate_probe: draws a moving colour pattern four frames high in UYVY once,
// then hands 3840x2160 windows of it to the library, unpaced and
// asynchronously, one line further down each frame, and prints the rate
// achieved every 1000 frames until Ctrl-C.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "qrvlib.h"
#include "run_frame.h"

static int clamp(float value)
{
    if (value < 0.0f)
        return 0;
    if (value > 1.0f)
        return 255;
    return (int)(255.0f * value);
}

// cos(a*m + b*x) * 0.5 + 0.5: products and sum in single precision, the
// cosine and the scaling in double, the result narrowed back to single.
static int component(float a, float m, float b, float x)
{
    const float arg = a * m + b * x;
    return clamp((float)(cos((double)arg) * 0.5 + 0.5));
}

static uint8_t to_byte(int32_t value)
{
    value = value < 255 ? value : 255;
    value = value > 0 ? value : 0;
    return (uint8_t)value;
}

// The pattern in UYVY, two pixels at a time; lines beyond the picture's
// height continue it downwards.
static void draw_pattern(uint8_t* content, int width, int stride, int lines)
{
    for (int i = 0; i < lines; i++) {
        uint8_t* line = content + (size_t)i * stride;
        const float m = (float)i / 2160.0f;
        for (int l = 0; l < width; l += 2) {
            const float x0 = (float)l / 3840.0f;
            const float x1 = (float)(l + 1) / 3840.0f;
            const int32_t r0 = component(9.5f, m, 9.0f, x0), r1 = component(9.5f, m, 9.0f, x1);
            const int32_t g0 = component(40.5f, m, 12.0f, x0), g1 = component(40.5f, m, 12.0f, x1);
            const int32_t b0 = component(15.5f, m, 23.0f, x0), b1 = component(15.5f, m, 23.0f, x1);
            uint8_t* p = line + 2 * l;
            p[0] = to_byte(((112 * b0 - 87 * g0 - 26 * r0) >> 8) + 128);
            p[1] = to_byte(((16 * b0 + 157 * g0 + 47 * r0) >> 8) + 16);
            p[2] = to_byte(((112 * r1 - 102 * g1 - 10 * b1) >> 8) + 128);
            p[3] = to_byte(((16 * b1 + 157 * g1 + 47 * r1) >> 8) + 16);
        }
    }
}

int main(int, char**)
{
    if (!QRVlib_initialize()) {
        printf("Cannot run QRV.");
        return 0;
    }
    signal(SIGINT, sigint_handler);

    QRVlib_send_create_t send_settings;
    send_settings.name = "Benchmark";
    send_settings.pace_video = false;
    send_settings.pace_audio = false;

    puts("Generating content for benchmark ...");
    QRVlib_send_instance_t sender = QRVlib_send_create(&send_settings);
    if (!sender)
        return 0;

    const int width = 3840, height = 2160, stride = width * 2, lines = 4 * height;
    uint8_t* content = (uint8_t*)malloc((size_t)stride * lines);
    if (!content) {
        QRVlib_send_destroy(sender);
        QRVlib_destroy();
        return 0;
    }

    draw_pattern(content, width, stride, lines);

    auto start = std::chrono::system_clock::now();
    puts("Running benchmark ...");

    // The frame index is kept in 64 bits so that it never overflows; the
    // window start stays within lines 0 to 6479.
    for (int64_t j = 0; !exit_loop.load(); j++) {
        QRVlib_video_frame_v2_t frame;
        frame.width = width;
        frame.height = height;
        frame.fourcc = QRVlib_FourCC_type_UYVY;
        frame.data = content + (size_t)(j % 6480) * stride;
        frame.line_stride = stride;
        QRVlib_send_send_video_async_v2(sender, &frame);

        if (j != 0 && j % 1000 == 0) {
            const auto now = std::chrono::system_clock::now();
            const int64_t elapsed_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start).count();
            const float seconds = (float)elapsed_ns / 1000000000.0f;
            const float rate = 1000.0f / seconds;
            printf("%dx%d video encoded at %1.1ffps.\n", width, height, (double)rate);
            start = now;
        }
    }

    puts("Benchmark stopped.");
    QRVlib_send_send_video_async_v2(sender, nullptr);

    free(content);
    QRVlib_send_destroy(sender);
    QRVlib_destroy();
    return 0;
}
