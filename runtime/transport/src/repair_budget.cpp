#include "transport/repair_budget.h"

#include <algorithm>

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

bool RepairBudget::time_to_tell(Clock::time_point now)
{
    if (told_once_ && now - told_ < std::chrono::seconds(10))
        return false;
    told_once_ = true;
    told_ = now;
    return true;
}

}  // namespace qrv::transport
