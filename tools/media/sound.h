// Levels of received audio and writing it as WAV files.
#ifndef QRV_TOOLS_SOUND_H
#define QRV_TOOLS_SOUND_H

#include <memory>
#include <string>
#include <vector>

namespace qrv::tools {

// Peak of one channel in dBFS (full scale 1.0); -inf for silence.
double peak_dbfs(const float* samples, size_t count);

// A WAV file of 32-bit float samples, written as planar frames arrive.
class WavWriter {
public:
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Nothing, with the reason in *error, when the file cannot be opened.
    static std::unique_ptr<WavWriter> open(const std::string& path, int sample_rate, int channels,
                                           std::string* error);
    // Appends samples channel after channel (planes `stride` floats apart);
    // false when the format differs from the file's or the write fails.
    bool write_planar(const float* data, int channels, int samples, size_t stride);
    // Finishes the file; an error text, empty on success.
    std::string close();

    int sample_rate() const { return sample_rate_; }
    int channels() const { return channels_; }
    long long frames_written() const { return frames_; }

private:
    WavWriter() = default;
    void* file_ = nullptr;  // SNDFILE, owned
    int sample_rate_ = 0;
    int channels_ = 0;
    long long frames_ = 0;
    std::vector<float> interleaved_;
};

}  // namespace qrv::tools

#endif
