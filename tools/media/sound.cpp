#include "sound.h"

#include <sndfile.h>

#include <cmath>
#include <limits>

namespace qrv::tools {

double peak_dbfs(const float* samples, size_t count)
{
    float peak = 0.0f;
    for (size_t i = 0; i < count; ++i)
        peak = std::fmax(peak, std::fabs(samples[i]));
    if (peak <= 0.0f)
        return -std::numeric_limits<double>::infinity();
    return 20.0 * std::log10((double)peak);
}

WavWriter::~WavWriter()
{
    close();
}

std::unique_ptr<WavWriter> WavWriter::open(const std::string& path, int sample_rate, int channels,
                                           std::string* error)
{
    if (sample_rate <= 0 || channels <= 0 || channels > 64) {
        if (error)
            *error = "unusable audio format";
        return nullptr;
    }
    SF_INFO info{};
    info.samplerate = sample_rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) {
        if (error)
            *error = "cannot write " + path + ": " + sf_strerror(nullptr);
        return nullptr;
    }
    std::unique_ptr<WavWriter> w(new WavWriter());
    w->file_ = file;
    w->sample_rate_ = sample_rate;
    w->channels_ = channels;
    return w;
}

bool WavWriter::write_planar(const float* data, int channels, int samples, size_t stride)
{
    if (!file_ || channels != channels_ || samples < 0 || (size_t)samples > stride)
        return false;
    interleaved_.resize((size_t)channels * samples);
    for (int c = 0; c < channels; ++c)
        for (int s = 0; s < samples; ++s)
            interleaved_[(size_t)s * channels + c] = data[(size_t)c * stride + s];
    const sf_count_t wrote = sf_writef_float(static_cast<SNDFILE*>(file_), interleaved_.data(), samples);
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
