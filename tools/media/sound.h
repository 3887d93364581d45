// Levels of received audio and writing it as WAV files.
#ifndef QRV_TOOLS_SOUND_H
#define QRV_TOOLS_SOUND_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qrv::tools {

// Peak of one channel in dBFS (full scale 1.0); -inf for silence.
double peak_dbfs(const float* samples, size_t count);

// True when every sample of `samples` samples in each of `channels` planes
// (`stride` floats apart) is a 16-bit value as the library hands 16-bit
// audio out, v / 32768: the sample times 32768 is a whole number from
// -32768 to 32767. False for anything else, infinities and NaN included.
bool holds_16bit_samples(const float* data, int channels, int samples, size_t stride);

// How a WAV file stores its samples.
enum class WavSamples {
    pcm16,    // signed 16-bit integers
    float32,  // 32-bit IEEE floating point
};

// A WAV file in the extensible format (WAVE_FORMAT_EXTENSIBLE), written as
// planar float frames arrive. Its channel mask gives the channels, in their
// order, the usual speaker positions: 1 centre; 2 left, right; 3 left,
// right, centre; 4 left, right, back left, back right; 5 left, right,
// centre, back left, back right; 6 (5.1) left, right, centre, low
// frequency, back left, back right; 7 (6.1) left, right, centre, low
// frequency, back centre, side left, side right; 8 (7.1) as 6, then side
// left, side right. Other counts declare no positions (mask 0).
class WavWriter {
public:
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Nothing, with the reason in *error, when the file cannot be opened.
    static std::unique_ptr<WavWriter> open(const std::string& path, int sample_rate, int channels,
                                           WavSamples format, std::string* error);
    // Appends samples channel after channel (planes `stride` floats apart);
    // false when the format differs from the file's or the write fails. A
    // 16-bit file takes each sample times 32768, rounded to the nearest
    // integer and held within -32768 to 32767.
    bool write_planar(const float* data, int channels, int samples, size_t stride);
    // Finishes the file; an error text, empty on success.
    std::string close();

    int sample_rate() const { return sample_rate_; }
    int channels() const { return channels_; }
    WavSamples format() const { return format_; }
    long long frames_written() const { return frames_; }

private:
    WavWriter() = default;
    void* file_ = nullptr;  // SNDFILE, owned
    int sample_rate_ = 0;
    int channels_ = 0;
    WavSamples format_ = WavSamples::float32;
    long long frames_ = 0;
    std::vector<float> interleaved_;
    std::vector<int16_t> interleaved_16_;
};

}  // namespace qrv::tools

#endif
