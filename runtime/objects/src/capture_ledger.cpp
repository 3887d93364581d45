#include "objects/capture_ledger.h"

namespace qrv {

bool CaptureLedger::full() const
{
    std::lock_guard lock(mutex_);
    return held_.size() >= limit_;
}

size_t CaptureLedger::size() const
{
    std::lock_guard lock(mutex_);
    return held_.size();
}

const CaptureLedger::Held* CaptureLedger::hold(const void* key, Held held)
{
    std::lock_guard lock(mutex_);
    if (held_.size() >= limit_)
        return nullptr;
    Held& slot = held_[key];
    // Whatever the slot held before leaves with the argument, after the lock.
    std::swap(slot, held);
    return &slot;
}

bool CaptureLedger::release(const void* key)
{
    if (!key)
        return false;
    std::map<const void*, Held>::node_type gone;
    {
        std::lock_guard lock(mutex_);
        gone = held_.extract(key);
    }
    // Destroyed here, outside the lock.
    return !gone.empty();
}

std::shared_ptr<ByteBuffer> CaptureLedger::converted_buffer(size_t n)
{
    auto buffer = converted_.acquire();  // neither held by the caller nor being filled
    buffer->resize(n);
    return buffer;
}

}  // namespace qrv
