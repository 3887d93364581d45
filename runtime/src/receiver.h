// A receiver: connects to one source and hands its frames and changes of
// status to the caller.
#ifndef QRV_RECEIVER_H
#define QRV_RECEIVER_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "qrvlib.h"

namespace qrv {

struct ReceiverSettings {
    std::string source_name;
    std::string source_locator;
    std::string receiver_name;
};

class Receiver {
public:
    explicit Receiver(ReceiverSettings settings);
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    int32_t capture(QRVlib_video_frame_v2_t* video, QRVlib_audio_frame_v2_t* audio,
                    QRVlib_metadata_frame_t* metadata, uint32_t timeout_ms);
    bool ptz_supported() const;
    bool ptz_recall_preset(int32_t preset, float speed);

private:
    const ReceiverSettings settings_;
    std::mutex mutex_;
    std::condition_variable event_;
};

}  // namespace qrv

#endif
