// The video frames of the same-host path as a source's connection sends
// them: a reference into the frame's shared memory instead of its bytes,
// held for the receiver until it releases the frame, and taken back (out of
// recycling) when it holds one too long. A receiver that holds its share
// (in frames and in bytes, taken back ones included) skips frames; the
// source never waits for it, and one that releases nothing for long while
// frames wait is dropped. The newest frame it could not be sent waits for
// its next release, since a release may still be on its way: a receiver
// that frees every frame at once loses none to that race. A receiver that
// keeps the regions it was passed gets each region's descriptor once and
// its number after that.
#include "transport/server_connection.h"

#include <algorithm>
#include <optional>

#include "base/log.h"
#include "base/unix_socket.h"

namespace qrv::transport {

size_t ServerConnection::held() const
{
    std::lock_guard lock(hold_mutex_);
    return holds_.size() + taken_back_.size();
}

uint64_t ServerConnection::held_bytes() const
{
    std::lock_guard lock(hold_mutex_);
    return held_bytes_;
}

void ServerConnection::release(uint64_t frame_id)
{
    wire::PacketPtr gone;
    bool wake = false;
    {
        std::lock_guard lock(hold_mutex_);
        auto it = holds_.find(frame_id);
        if (it != holds_.end()) {
            held_bytes_ -= it->second.bytes;
            gone = std::move(it->second.packet);
            holds_.erase(it);
        } else if (auto back = taken_back_.find(frame_id); back != taken_back_.end()) {
            held_bytes_ -= back->second;
            taken_back_.erase(back);
        } else {
            return;  // an unknown number is ignored
        }
        owes_since_ = std::chrono::steady_clock::now();
        wake = frame_waits_;
    }
    // Room for the frame that waits for it, if one does; a release while
    // none waits (the steady state) wakes no one.
    if (wake)
        queue_.wake();
}

void ServerConnection::expire_locked(std::chrono::steady_clock::time_point now, std::vector<wire::PacketPtr>& gone)
{
    for (auto it = holds_.begin(); it != holds_.end();) {
        if (now - it->second.since >= limits_.shared_hold_timeout) {
            // The receiver still maps these pages: they leave recycling.
            it->second.packet->retire();
            gone.push_back(std::move(it->second.packet));
            taken_back_.emplace(it->first, it->second.bytes);
            it = holds_.erase(it);
            ++drops_.shared_reclaimed;
        } else {
            ++it;
        }
    }
}

bool ServerConnection::has_room_locked(uint64_t frame_bytes) const
{
    const uint64_t bound = std::max<uint64_t>(limits_.shared_bytes_floor, limits_.shared_held * frame_bytes);
    return holds_.size() < limits_.shared_held &&
           holds_.size() + taken_back_.size() < limits_.shared_outstanding && held_bytes_ + frame_bytes <= bound;
}

bool ServerConnection::offer_shared(wire::PacketPtr packet, bool& sent)
{
    if (waiting_) {
        // The receiver still held its share when the newer frame came.
        ++drops_.video;
        ++drops_.shared_withheld;
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
    const uint64_t bytes = waiting_->bytes.shared_size();
    uint64_t id = 0;
    std::vector<wire::PacketPtr> gone;  // released outside the lock
    std::optional<std::chrono::steady_clock::duration> hoarding;
    uint64_t held = 0;
    size_t frames = 0;
    {
        std::lock_guard lock(hold_mutex_);
        const auto now = std::chrono::steady_clock::now();
        expire_locked(now, gone);
        // A receiver that holds its share is not sent more: the source
        // never waits for it, and the others are not affected.
        frame_waits_ = !has_room_locked(bytes);
        if (frame_waits_) {
            // Never before its frames could have been taken back: until
            // then it is within its contract.
            if (now - owes_since_ < std::max(limits_.shared_hoard_timeout, limits_.shared_hold_timeout))
                return true;
            hoarding = now - owes_since_;
            held = held_bytes_;
            frames = holds_.size() + taken_back_.size();
        } else {
            if (holds_.empty() && taken_back_.empty())
                owes_since_ = now;
            id = ++next_frame_id_;
            holds_.emplace(id, Hold{waiting_, now, bytes});
            held_bytes_ += bytes;
        }
    }
    if (hoarding)
        return drop_hoarder(held, frames, *hoarding);
    const wire::PacketPtr p = std::move(waiting_);
    // A receiver that keeps regions by number is passed each descriptor
    // once; others are passed it with every frame.
    const uint64_t region = (wishes_.flags & wire::kHelloSharedRegions) ? p->bytes.shared_id() : 0;
    const bool pass = region == 0 || !passed_.find(region);
    if (pass && region != 0)
        passed_.keep(region, {});
    const auto message = wire::encode_shm_video({v->fields, id, p->data_offset, region}, v->text);
    if (!(pass ? net::write_all_with_fd(fd_.get(), message, p->bytes.shared_fd())
               : net::write_all(fd_.get(), message)))
        return false;
    sent = true;
    ++drops_.shared_sent;
    return true;
}

bool ServerConnection::drop_hoarder(uint64_t bytes, size_t frames, std::chrono::steady_clock::duration quiet)
{
    // What it maps stays its own; it just gets nothing more.
    if (finish()) {
        ++drops_.shared_hoarders;
        QRV_LOG_AT(warn, transport,
                   "'%s' dropped receiver '%s' (%s): it holds %zu frames (%.1f MB) of shared memory and "
                   "released none for %lld ms",
                   source_.c_str(), receiver_name().c_str(), peer_.c_str(), frames, static_cast<double>(bytes) / 1e6,
                   static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(quiet).count()));
    }
    return false;
}

}  // namespace qrv::transport
