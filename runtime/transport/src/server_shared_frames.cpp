// The video frames of the same-host path as a source's connection sends
// them: a reference into the frame's shared memory instead of its bytes,
// held for the receiver until it releases the frame, and taken back (out of
// recycling) when it holds one too long. A receiver that holds its share
// skips frames; the source never waits for it.
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
    std::lock_guard lock(hold_mutex_);
    auto it = holds_.find(frame_id);
    if (it != holds_.end()) {
        gone = std::move(it->second.packet);
        holds_.erase(it);
    } else {
        taken_back_.erase(frame_id);  // an unknown number is ignored
    }
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

bool ServerConnection::write_shared(const wire::PacketPtr& p)
{
    const auto v = wire::read_video(*p);
    if (!v)
        return false;
    uint64_t id = 0;
    std::vector<wire::PacketPtr> gone;  // released outside the lock
    {
        std::lock_guard lock(hold_mutex_);
        const auto now = std::chrono::steady_clock::now();
        expire_locked(now, gone);
        // A receiver that holds its share skips this frame: the source
        // never waits for it, and the others are not affected.
        if (holds_.size() >= limits_.shared_held ||
            holds_.size() + taken_back_.size() >= limits_.shared_outstanding) {
            ++drops_.video;
            return true;
        }
        id = ++next_frame_id_;
        holds_.emplace(id, Hold{p, now});
    }
    const auto message = wire::encode_shm_video({v->fields, id, p->data_offset}, v->text);
    if (!net::write_all_with_fd(fd_.get(), message, p->bytes.shared_fd()))
        return false;
    ++drops_.shared_sent;
    return true;
}

}  // namespace qrv::transport
