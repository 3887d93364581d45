#include "wire/repair_store.h"

#include <algorithm>

namespace qrv::wire {

RepairStore::RepairStore(std::chrono::milliseconds window, uint64_t max_bytes)
    : window_(window), max_bytes_(std::min(max_bytes, kMaxRepairBytes))
{
}

void RepairStore::forget_old(Clock::time_point now)
{
    while (!kept_.empty() && (now - kept_.front().at > window_ || bytes_ > max_bytes_)) {
        bytes_ -= kept_.front().message->bytes();
        kept_.pop_front();
    }
}

void RepairStore::keep(std::shared_ptr<const CutMessage> message, Clock::time_point now)
{
    if (!message || message->bytes() > max_bytes_)
        return;
    std::lock_guard lock(mutex_);
    // Sequences only grow; one that does not was sent by a restarted
    // stream, and what was kept before it is no longer asked for.
    if (!kept_.empty() && kept_.back().message->sequence() >= message->sequence()) {
        kept_.clear();
        bytes_ = 0;
    }
    bytes_ += message->bytes();
    kept_.push_back(Kept{std::move(message), now});
    forget_old(now);
}

std::shared_ptr<const CutMessage> RepairStore::find(uint64_t sequence, Clock::time_point now)
{
    std::lock_guard lock(mutex_);
    forget_old(now);
    const auto it = std::lower_bound(kept_.begin(), kept_.end(), sequence,
                                     [](const Kept& k, uint64_t s) { return k.message->sequence() < s; });
    if (it == kept_.end() || it->message->sequence() != sequence)
        return nullptr;
    return it->message;
}

uint64_t RepairStore::bytes() const
{
    std::lock_guard lock(mutex_);
    return bytes_;
}

}  // namespace qrv::wire
