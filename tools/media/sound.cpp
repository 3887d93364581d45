#include "sound.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace qrv::tools {

namespace {

// The speaker positions of the channels (see WavWriter), in the order of
// the mask's bits: libsndfile derives the mask from this map and wants
// that order.
std::vector<int> channel_map(int channels)
{
    const int L = SF_CHANNEL_MAP_LEFT, R = SF_CHANNEL_MAP_RIGHT, C = SF_CHANNEL_MAP_CENTER,
              LFE = SF_CHANNEL_MAP_LFE, BL = SF_CHANNEL_MAP_REAR_LEFT, BR = SF_CHANNEL_MAP_REAR_RIGHT,
              BC = SF_CHANNEL_MAP_REAR_CENTER, SL = SF_CHANNEL_MAP_SIDE_LEFT, SR = SF_CHANNEL_MAP_SIDE_RIGHT;
    switch (channels) {
    case 1: return {C};
    case 2: return {L, R};
    case 3: return {L, R, C};
    case 4: return {L, R, BL, BR};
    case 5: return {L, R, C, BL, BR};
    case 6: return {L, R, C, LFE, BL, BR};
    case 7: return {L, R, C, LFE, BC, SL, SR};
    case 8: return {L, R, C, LFE, BL, BR, SL, SR};
    default: return {};
    }
}

}  // namespace

double peak_dbfs(const float* samples, size_t count)
{
    float peak = 0.0f;
    for (size_t i = 0; i < count; ++i)
        peak = std::fmax(peak, std::fabs(samples[i]));
    if (peak <= 0.0f)
        return -std::numeric_limits<double>::infinity();
    return 20.0 * std::log10((double)peak);
}

bool holds_16bit_samples(const float* data, int channels, int samples, size_t stride)
{
    for (int c = 0; c < channels; ++c)
        for (int s = 0; s < samples; ++s) {
            // Scaling by a power of two is exact, so the test is too.
            const float v = data[(size_t)c * stride + s] * 32768.0f;
            if (!(v >= -32768.0f && v <= 32767.0f) || v != std::nearbyint(v))
                return false;
        }
    return true;
}

WavWriter::~WavWriter()
{
    close();
}

std::unique_ptr<WavWriter> WavWriter::open(const std::string& path, int sample_rate, int channels,
                                           WavSamples format, std::string* error)
{
    if (sample_rate <= 0 || channels <= 0 || channels > 64) {
        if (error)
            *error = "unusable audio format";
        return nullptr;
    }
    SF_INFO info{};
    info.samplerate = sample_rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAVEX | (format == WavSamples::pcm16 ? SF_FORMAT_PCM_16 : SF_FORMAT_FLOAT);
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) {
        if (error)
            *error = "cannot write " + path + ": " + sf_strerror(nullptr);
        return nullptr;
    }
    // The mask goes into the header, which is written again on closing.
    std::vector<int> map = channel_map(channels);
    if (!map.empty() &&
        sf_command(file, SFC_SET_CHANNEL_MAP_INFO, map.data(), (int)(map.size() * sizeof(int))) != SF_TRUE) {
        sf_close(file);
        if (error)
            *error = "cannot set the channel layout of " + path;
        return nullptr;
    }
    std::unique_ptr<WavWriter> w(new WavWriter());
    w->file_ = file;
    w->sample_rate_ = sample_rate;
    w->channels_ = channels;
    w->format_ = format;
    return w;
}

bool WavWriter::write_planar(const float* data, int channels, int samples, size_t stride)
{
    if (!file_ || channels != channels_ || samples < 0 || (size_t)samples > stride)
        return false;
    SNDFILE* file = static_cast<SNDFILE*>(file_);
    const size_t count = (size_t)channels * samples;
    sf_count_t wrote = 0;
    if (format_ == WavSamples::pcm16) {
        // Our own conversion, the exact inverse of v / 32768; libsndfile's
        // float-to-16-bit conversion scales by 32767 instead.
        interleaved_16_.resize(count);
        for (int c = 0; c < channels; ++c)
            for (int s = 0; s < samples; ++s) {
                const float v = std::clamp(data[(size_t)c * stride + s] * 32768.0f, -32768.0f, 32767.0f);
                interleaved_16_[(size_t)s * channels + c] = std::isnan(v) ? 0 : (int16_t)std::lrint(v);
            }
        wrote = sf_writef_short(file, interleaved_16_.data(), samples);
    } else {
        interleaved_.resize(count);
        for (int c = 0; c < channels; ++c)
            for (int s = 0; s < samples; ++s)
                interleaved_[(size_t)s * channels + c] = data[(size_t)c * stride + s];
        wrote = sf_writef_float(file, interleaved_.data(), samples);
    }
    frames_ += wrote;
    return wrote == samples;
}

std::string WavWriter::close()
{
    if (!file_)
        return {};
    SNDFILE* file = static_cast<SNDFILE*>(file_);
    file_ = nullptr;
    if (sf_close(file) != 0)
        return "cannot finish the WAV file";
    return {};
}

}  // namespace qrv::tools
