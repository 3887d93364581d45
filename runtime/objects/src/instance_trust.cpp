#include "objects/instance_trust.h"

#include <algorithm>

namespace qrv {

InstanceTrust::InstanceTrust(std::chrono::milliseconds refusal_memory, size_t capacity)
    : memory_(refusal_memory), capacity_(std::max<size_t>(capacity, 1))
{
}

void InstanceTrust::note(const Endpoint& where, bool proved, Clock::time_point now)
{
    std::lock_guard lock(mutex_);
    // Refusals past the memory count for nothing: forget them first, then
    // the oldest outcome while still full.
    std::erase_if(outcomes_, [&](const auto& o) { return !o.second.proved && now - o.second.at > memory_; });
    const Key key{where.address, where.port};
    if (!outcomes_.count(key) && outcomes_.size() >= capacity_)
        outcomes_.erase(std::min_element(outcomes_.begin(), outcomes_.end(), [](const auto& a, const auto& b) {
            return a.second.at < b.second.at;
        }));
    outcomes_[key] = {proved, now};
}

std::optional<Endpoint> InstanceTrust::pick(const std::vector<Endpoint>& candidates, Clock::time_point now) const
{
    if (candidates.empty())
        return std::nullopt;
    std::lock_guard lock(mutex_);
    const Endpoint* proved = nullptr;
    const Endpoint* fresh = nullptr;
    const Endpoint* stalest = nullptr;
    Clock::time_point proved_at{}, stalest_at = Clock::time_point::max();
    for (const auto& c : candidates) {
        auto it = outcomes_.find({c.address, c.port});
        if (it == outcomes_.end() || (!it->second.proved && now - it->second.at > memory_)) {
            if (!fresh)
                fresh = &c;
        } else if (it->second.proved) {
            if (!proved || it->second.at > proved_at)
                proved = &c, proved_at = it->second.at;
        } else if (it->second.at < stalest_at) {
            stalest = &c, stalest_at = it->second.at;
        }
    }
    return *(proved ? proved : fresh ? fresh : stalest);
}

}  // namespace qrv
