// The reduced preview pictures of a source, for receivers that asked for
// the lowest bandwidth. The thread that publishes a frame only hands its
// message over (a reference, no copy); the maker's own thread scales the
// newest frame handed over, once for all such receivers, and delivers the
// preview. Frames handed over while it is busy replace each other: previews
// skip frames rather than fall behind.
#ifndef QRV_TRANSPORT_PREVIEW_MAKER_H
#define QRV_TRANSPORT_PREVIEW_MAKER_H

#include <atomic>
#include <functional>

#include "base/newest_worker.h"
#include "media/convert.h"
#include "wire/packet.h"

namespace qrv::transport {

class PreviewMaker {
public:
    // Called on the maker's thread with each preview made.
    using Deliver = std::function<void(wire::PacketPtr)>;

    // The thread stops with the maker; a frame handed over and not yet
    // scaled is dropped.
    explicit PreviewMaker(Deliver deliver);
    PreviewMaker(const PreviewMaker&) = delete;
    PreviewMaker& operator=(const PreviewMaker&) = delete;

    // A video message as the source publishes it (raw pixels). The thread
    // starts with the first one.
    void offer(wire::PacketPtr frame);

    uint64_t made() const { return made_.load(); }
    uint64_t skipped() const { return skipped_.load(); }

    // The preview message of one full video message, or null when it does
    // not hold a raw video frame.
    static wire::PacketPtr make(const wire::Packet& frame, media::Scaler& scaler, wire::PacketPool& pool);

private:
    void work(wire::PacketPtr frame);

    Deliver deliver_;
    media::Scaler scaler_;       // the worker's own
    wire::PacketPool pool_{4};   // the worker's own
    std::atomic<uint64_t> made_{0};
    std::atomic<uint64_t> skipped_{0};
    NewestWorker<wire::PacketPtr> worker_;  // last: its thread uses the above
};

}  // namespace qrv::transport

#endif
