// Operations of our runtime beyond the library interface: counters and state
// that tools and tests read. Declared with C linkage, exported from
// libqrv.so.3 alongside the interface operations.
#ifndef QRV_RUNTIME_H
#define QRV_RUNTIME_H

#include "qrvlib.h"

// Result codes of QRVlib_recv_capture_v2.
enum QRVlib_frame_type_e : int32_t {
    QRVlib_frame_type_none = 0,
    QRVlib_frame_type_video = 1,
    QRVlib_frame_type_audio = 2,
    QRVlib_frame_type_metadata = 3,
    QRVlib_frame_type_error = 4,
    QRVlib_frame_type_status_change = 100,
};

// Counters of one sender since its creation.
struct QRVlib_send_stats_t {
    uint64_t video_accepted;  // video frames read in full
    uint64_t audio_accepted;  // audio frames read in full
    uint64_t refused;         // frames refused as malformed, of either kind
    uint64_t pacing_resyncs;  // times a pacing clock restarted after a stall
};

extern "C" {

// Fills *stats; false for an unknown sender or a null pointer.
QRVLIB_API bool QRVlib_send_get_stats(QRVlib_send_instance_t sender, QRVlib_send_stats_t* stats);

// Copies the newest video frame that the sender accepted into a buffer of
// the caller: the record's geometry is filled in and, when data is not null
// and capacity is large enough, the pixels are copied there packed (line
// stride = width times bytes per pixel). False when no frame was accepted yet
// or the buffer is too small; the size needed is stored in *needed.
QRVLIB_API bool QRVlib_send_peek_video(QRVlib_send_instance_t sender, QRVlib_video_frame_v2_t* frame,
                                       uint8_t* data, uint64_t capacity, uint64_t* needed);

}  // extern "C"

#endif  // QRV_RUNTIME_H
