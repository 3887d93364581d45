#include "transport/repair_budget.h"

#include <algorithm>
#include <cmath>

namespace qrv::transport {

bool RepairBudget::take(uint64_t bytes, uint64_t stream_rate, Clock::time_point now)
{
    const double per_second = double(std::max(kFloorPerSecond, stream_rate / kShareDivisor));
    if (!started_) {
        // A receiver starts with a second's worth.
        left_ = per_second;
        started_ = true;
    } else if (now > at_) {
        const double seconds = std::chrono::duration<double>(now - at_).count();
        left_ = std::min(per_second, left_ + per_second * seconds);
    }
    at_ = std::max(at_, now);
    if (double(bytes) > left_)
        return false;
    left_ -= double(bytes);
    return true;
}

void RepairBudget::give_back(uint64_t bytes)
{
    left_ += double(bytes);
}

bool RepairBudget::time_to_tell(Clock::time_point now)
{
    if (told_once_ && now - told_ < std::chrono::seconds(10))
        return false;
    told_once_ = true;
    told_ = now;
    return true;
}

namespace {

// A bucket of `per_second` that holds at most a second of it, brought to `now`.
void refill(double& left, bool& started, std::chrono::steady_clock::time_point& at, double per_second,
            std::chrono::steady_clock::time_point now)
{
    if (!started) {
        left = per_second;
        started = true;
    } else if (now > at) {
        left = std::min(per_second, left + per_second * std::chrono::duration<double>(now - at).count());
    }
    at = std::max(at, now);
}

}  // namespace

bool GroupRepairBudget::take(uint64_t receiver, uint64_t bytes, uint64_t stream_rate, Clock::time_point now)
{
    const double per_second = double(std::max(kFloorPerSecond, stream_rate / kShareDivisor));
    std::lock_guard lock(mutex_);
    refill(left_, started_, at_, per_second, now);
    if (receivers_.size() >= kMostReceivers && !receivers_.contains(receiver))
        forget_idle(now);
    Use& mine = receivers_[receiver];
    // What each took: it fades over about a second.
    if (now > mine.at)
        mine.bytes *= std::exp(-std::chrono::duration<double>(now - mine.at).count());
    mine.at = std::max(mine.at, now);
    if (double(bytes) > left_ || mine.bytes + double(bytes) > fair_share(per_second, now))
        return false;
    left_ -= double(bytes);
    mine.bytes += double(bytes);
    return true;
}

double GroupRepairBudget::fair_share(double per_second, Clock::time_point now) const
{
    // An equal share for each receiver that asked within the last second;
    // what the ones that take less leave goes to the others in equal parts.
    size_t asking = 0;
    for (const auto& [id, use] : receivers_)
        asking += now - use.at < std::chrono::seconds(1);
    if (asking <= 1)
        return per_second;
    const double equal = per_second / double(asking);
    double light = 0;
    size_t heavy = 0;
    for (const auto& [id, use] : receivers_) {
        if (now - use.at >= std::chrono::seconds(1))
            continue;
        if (use.bytes < equal)
            light += use.bytes;
        else
            ++heavy;
    }
    return heavy == 0 ? equal : (per_second - light) / double(heavy);
}

void GroupRepairBudget::forget_idle(Clock::time_point now)
{
    std::erase_if(receivers_, [&](const auto& e) { return now - e.second.at >= std::chrono::seconds(2); });
    if (receivers_.size() < kMostReceivers)
        return;
    const auto oldest = std::min_element(receivers_.begin(), receivers_.end(),
                                         [](const auto& a, const auto& b) { return a.second.at < b.second.at; });
    receivers_.erase(oldest);
}

bool GroupRepairBudget::time_to_tell(Clock::time_point now)
{
    std::lock_guard lock(mutex_);
    if (told_once_ && now - told_ < std::chrono::seconds(10))
        return false;
    told_once_ = true;
    told_ = now;
    return true;
}

}  // namespace qrv::transport
