// The bounded queue of packets waiting for one receiver's socket. Video
// keeps only the newest frames (a slow receiver skips frames); audio keeps
// its order and is never duplicated, dropping the oldest only beyond a
// generous cap; control messages and metadata have a cap of their own.
#ifndef QRV_TRANSPORT_SEND_QUEUE_H
#define QRV_TRANSPORT_SEND_QUEUE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "base/bounded_queue.h"
#include "base/settings.h"
#include "wire/packet.h"

namespace qrv::transport {

struct QueueLimits {
    size_t video = 2;
    size_t audio = 256;
    size_t other = 64;
    // A video frame of at least this many bytes waits alone: the frames
    // still waiting when it comes are dropped (0: never).
    uint64_t video_alone_bytes = 0;
    // The same for receivers over TCP. A large frame takes milliseconds to
    // write, so one waiting behind another would reach the receiver that
    // much later; when the link falls behind for a moment, the next frame
    // sent is the newest rather than a backlog that takes several frames
    // to drain. Small frames still wait two deep.
    uint64_t tcp_video_alone_bytes = uint64_t{4} << 20;
    // Shared-memory frames one receiver may hold at once (beyond, it skips
    // frames), and how long before the source takes one back: the source
    // stops counting on it and never reuses its memory, which stays the
    // receiver's until it releases the frame.
    size_t shared_held = 8;
    std::chrono::milliseconds shared_hold_timeout{2000};
    // Frames held and taken back that one receiver has not released yet;
    // beyond, it gets no more shared-memory frames until it releases some,
    // so a receiver that never releases cannot make memory grow without end.
    size_t shared_outstanding = 32;
    // The same in bytes of shared memory: the larger of this floor and
    // shared_held frames of the size being sent. A receiver that holds its
    // share of frames at once is within it; a source's memory grows by no
    // more than this for one that keeps every frame.
    uint64_t shared_bytes_floor = uint64_t{64} << 20;
    // A receiver that has released nothing for this long (and for the hold
    // timeout at least) while frames wait for it, its share full, is
    // dropped: it breaks its contract.
    std::chrono::milliseconds shared_hoard_timeout{4000};

    // The defaults with what the settings change (QRV_SHM_RECEIVER_MB, the
    // floor in MiB, 1 to 65536; any other value keeps the default).
    static QueueLimits from_settings(const Settings& settings);
};

struct DropCounters {
    std::atomic<uint64_t> video{0};
    std::atomic<uint64_t> audio{0};
    std::atomic<uint64_t> other{0};
    std::atomic<uint64_t> shared_sent{0};       // frames sent as shared memory
    std::atomic<uint64_t> shared_reclaimed{0};  // held past the timeout
    std::atomic<uint64_t> shared_withheld{0};   // not sent: the receiver held its share
    std::atomic<uint64_t> shared_hoarders{0};   // receivers dropped for releasing nothing
};

class SendQueue {
public:
    SendQueue(QueueLimits limits, DropCounters& drops)
        : drops_(drops), video_alone_bytes_(limits.video_alone_bytes), items_({limits.video, limits.audio, limits.other})
    {
    }

    void push(wire::PacketPtr packet);
    // An eventfd that each push (and close) adds to, for a consumer that
    // waits on descriptors rather than in pop (-1: none). Set before the
    // first push; the descriptor stays the caller's.
    void notify(int eventfd) { notify_fd_ = eventfd; }
    // Called on the consumer's thread, outside the queue's lock, each time
    // it takes the last video frame that was waiting: the receiver is ready
    // for the next one. Set before the first pop.
    void on_video_taken(std::function<void()> f) { video_taken_ = std::move(f); }
    // Whether a video frame waits to be taken.
    bool video_waiting() const;
    // Blocks until a packet is there (true) or the queue is closed (false).
    bool pop(wire::PacketPtr& out);
    // Like pop, but gives up at the deadline (idle) when nothing came, and
    // returns woken when wake() was called since the last return.
    enum class Pop { item, idle, woken, closed };
    Pop pop_until(wire::PacketPtr& out, std::chrono::steady_clock::time_point deadline);
    // Makes the current or next pop_until return (woken when there is no
    // packet), for a consumer that has work of its own besides the queue.
    void wake();
    void close();
    size_t size() const;

private:
    enum Kind : size_t { video, audio, other };
    static size_t kind_of(const wire::Packet& p);
    void signal() const;
    // Under the lock: takes the next packet; true when it was the last
    // video frame waiting.
    bool take_locked(wire::PacketPtr& out);

    DropCounters& drops_;
    const uint64_t video_alone_bytes_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    BoundedQueue<wire::PacketPtr, 3> items_;
    bool closed_ = false;
    bool woken_ = false;
    int notify_fd_ = -1;
    std::function<void()> video_taken_;
};

}  // namespace qrv::transport

#endif
