// A receiver connection's outbox and the fate of its camera commands.
#include "transport/link_channel.h"

#include <unistd.h>

namespace qrv::transport {

bool LinkChannel::enqueue_locked(Outgoing item)
{
    // Bounded: a link whose writes are stuck refuses more (a release that
    // is refused is taken back by the source after its hold time).
    if (!stream_ || outbox_.size() >= kMaxOutbox)
        return false;
    outbox_.push_back(std::move(item));
    wake();
    return true;
}

void LinkChannel::wake() const
{
    // Nonblocking: a counter already signalled stays signalled. Without an
    // eventfd the link's thread looks at the outbox every few milliseconds.
    const uint64_t one = 1;
    if (wake_)
        [[maybe_unused]] const auto n = ::write(wake_.get(), &one, sizeof one);
}

bool LinkChannel::post(std::vector<uint8_t> bytes, bool must_arrive)
{
    std::lock_guard lock(mutex_);
    return enqueue_locked({std::move(bytes), 0, must_arrive});
}

uint64_t LinkChannel::post_command(wire::PtzFields command)
{
    // Numbered under the lock that orders the outbox, so that numbers go
    // out in the order they were given.
    std::lock_guard lock(mutex_);
    command.sequence = numbered_ + 1;
    if (!enqueue_locked({wire::encode_ptz(command), command.sequence, true}))
        return 0;
    return ++numbered_;
}

LinkChannel::Delivery LinkChannel::wait_delivered(uint64_t command, Clock::time_point deadline)
{
    std::unique_lock lock(mutex_);
    for (;;) {
        // Commands are taken in order: one acknowledged later covers it.
        if (acked_ >= command)
            return refused_ != command  ? Delivery::acknowledged
                   : refused_for_key_ ? Delivery::not_permitted
                                      : Delivery::refused;
        if (!stream_ || abandoned_)
            return Delivery::lost;
        if (!acks_ && written_ >= command)
            return Delivery::written;
        if (progress_.wait_until(lock, deadline) == std::cv_status::timeout && Clock::now() >= deadline)
            return Delivery::timeout;
    }
}

void LinkChannel::abandon_waits()
{
    {
        std::lock_guard lock(mutex_);
        abandoned_ = true;
    }
    progress_.notify_all();
}

bool LinkChannel::unsettled() const
{
    std::lock_guard lock(mutex_);
    if (!stream_)
        return false;
    for (const auto& item : outbox_)
        if (item.must_arrive)
            return true;
    // Written commands count until acknowledged; from a source that does
    // not acknowledge, until the connection is closed gently.
    return writing_ || written_ > acked_ || must_arrive_written_;
}

bool LinkChannel::flush()
{
    uint64_t count;
    if (wake_)
        [[maybe_unused]] const auto n = ::read(wake_.get(), &count, sizeof count);
    for (;;) {
        Outgoing item;
        ByteStream* to;
        {
            std::lock_guard lock(mutex_);
            writing_ = false;
            if (outbox_.empty())
                return true;
            item = std::move(outbox_.front());
            outbox_.pop_front();
            writing_ = true;
            to = stream_;
        }
        // Only the link's thread closes the socket, after its last flush,
        // so it is written outside the lock.
        if (!to || !to->write_all(item.bytes)) {
            std::lock_guard lock(mutex_);
            writing_ = false;
            return false;
        }
        {
            std::lock_guard lock(mutex_);
            if (item.command)
                written_ = item.command;
            else if (item.must_arrive)
                must_arrive_written_ = true;
        }
        if (item.command)
            progress_.notify_all();
    }
}

void LinkChannel::set_acknowledging(bool acks)
{
    std::lock_guard lock(mutex_);
    acks_ = acks;
}

bool LinkChannel::acknowledge(const wire::PtzAckFields& ack)
{
    {
        std::lock_guard lock(mutex_);
        if (ack.sequence > written_ || ack.sequence <= acked_)
            return false;
        acked_ = ack.sequence;
        if (ack.outcome == wire::PtzOutcome::refused) {
            refused_ = ack.sequence;
            refused_for_key_ = ack.refusal == wire::PtzRefusal::needs_operator_key;
        }
    }
    progress_.notify_all();
    return true;
}

void LinkChannel::close()
{
    {
        std::lock_guard lock(mutex_);
        stream_ = nullptr;
        outbox_.clear();
        writing_ = false;
    }
    progress_.notify_all();
}

}  // namespace qrv::transport
