// The video frames of the same-host path as a source's connection sends
// them: a reference into the frame's shared memory instead of its bytes,
// held for the receiver until it releases the frame, and taken back (out of
// recycling) when it holds one too long. A receiver that holds its share
// skips frames; the source never waits for it. The newest frame it could not
// be sent waits for its next release, since a release may still be on its
// way: a receiver that frees every frame at once loses none to that race.
#include "transport/server_connection.h"

#include "base/unix_socket.h"

namespace qrv::transport {

size_t ServerConnection::held() const
{
    std::lock_guard lock(hold_mutex_);
    return holds_.size() + taken_back_.size();
}

void ServerConnection::release(uint64_t frame_id)
{
    wire::PacketPtr gone;
    {
        std::lock_guard lock(hold_mutex_);
        auto it = holds_.find(frame_id);
        if (it != holds_.end()) {
            gone = std::move(it->second.packet);
            holds_.erase(it);
        } else if (taken_back_.erase(frame_id) == 0) {
            return;  // an unknown number is ignored
        }
    }
    // Room for the frame that waits for it, if one does.
    queue_.wake();
}

void ServerConnection::expire_locked(std::chrono::steady_clock::time_point now, std::vector<wire::PacketPtr>& gone)
{
    for (auto it = holds_.begin(); it != holds_.end();) {
        if (now - it->second.since >= limits_.shared_hold_timeout) {
            // The receiver still maps these pages: they leave recycling.
            it->second.packet->retire();
            gone.push_back(std::move(it->second.packet));
            taken_back_.insert(it->first);
            it = holds_.erase(it);
            ++drops_.shared_reclaimed;
        } else {
            ++it;
        }
    }
}

bool ServerConnection::offer_shared(wire::PacketPtr packet, bool& sent)
{
    if (waiting_) {
        // The receiver still held its share when the newer frame came.
        ++drops_.video;
    }
    waiting_ = std::move(packet);
    return send_waiting(sent);
}

bool ServerConnection::send_waiting(bool& sent)
{
    sent = false;
    if (!waiting_)
        return true;
    const auto v = wire::read_video(*waiting_);
    if (!v) {
        waiting_.reset();
        return false;
    }
    uint64_t id = 0;
    std::vector<wire::PacketPtr> gone;  // released outside the lock
    {
        std::lock_guard lock(hold_mutex_);
        const auto now = std::chrono::steady_clock::now();
        expire_locked(now, gone);
        // A receiver that holds its share is not sent more: the source
        // never waits for it, and the others are not affected.
        if (holds_.size() >= limits_.shared_held ||
            holds_.size() + taken_back_.size() >= limits_.shared_outstanding)
            return true;
        id = ++next_frame_id_;
        holds_.emplace(id, Hold{waiting_, now});
    }
    const wire::PacketPtr p = std::move(waiting_);
    const auto message = wire::encode_shm_video({v->fields, id, p->data_offset}, v->text);
    if (!net::write_all_with_fd(fd_.get(), message, p->bytes.shared_fd()))
        return false;
    sent = true;
    ++drops_.shared_sent;
    return true;
}

}  // namespace qrv::transport
