// The sender behind qrvsink: one published source shared by the element's
// video and audio branches.
#ifndef QRV_GST_SENDER_CORE_H
#define QRV_GST_SENDER_CORE_H

#include <gst/gst.h>

#include <atomic>
#include <memory>
#include <string>

#include "library_ref.h"
#include "qrv/qrv_runtime.h"

namespace qrv_gst {

/// A published source. Created when qrvsink starts and destroyed when the
/// last of its users (the element and its branches) lets go. Sends may come
/// from both branches' streaming threads at once; the runtime serialises
/// them.
class SenderCore {
public:
    /// Publishes source_name in groups (null: the default group); null with
    /// the reason in *error when the runtime refuses.
    static std::shared_ptr<SenderCore> create(const std::string& source_name, const char* groups,
                                              std::string* error);
    ~SenderCore();
    SenderCore(const SenderCore&) = delete;
    SenderCore& operator=(const SenderCore&) = delete;

    QRVlib_send_instance_t get() const { return sender_; }

    /// Posts an element message "qrv-tally" from poster when the source's
    /// tally changed since the last poll. Never waits.
    void poll_tally(GstElement* poster);

    /// Waits until a receiver is connected, once: after the first one came,
    /// returns at once. False when *cancel became true first. Blocks the
    /// calling streaming thread, checking cancel every 50 ms.
    bool wait_for_receiver(const std::atomic<bool>& cancel);

private:
    SenderCore(std::shared_ptr<LibraryRef> library, QRVlib_send_instance_t sender)
        : library_(std::move(library)), sender_(sender) {}
    std::shared_ptr<LibraryRef> library_;
    QRVlib_send_instance_t sender_;
    std::atomic<bool> had_receiver_{false};
};

}  // namespace qrv_gst

#endif
