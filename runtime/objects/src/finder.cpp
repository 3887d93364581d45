#include "objects/finder.h"

#include <algorithm>
#include <chrono>

namespace qrv {

Finder::Finder(FinderSettings settings) : settings_(std::move(settings)) {}

Finder::~Finder() = default;

bool Finder::wait_for_change(uint32_t timeout_ms)
{
    std::unique_lock lock(mutex_);
    const bool changed = changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                           [this] { return closed_ || generation_ != seen_generation_; });
    if (closed_)
        return false;
    seen_generation_ = generation_;
    return changed;
}

void Finder::close()
{
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

const QRVlib_source_t* Finder::current(uint32_t* count)
{
    std::lock_guard lock(mutex_);
    snapshot_ = visible_;
    seen_generation_ = generation_;
    snapshot_records_.clear();
    snapshot_records_.reserve(snapshot_.size());
    for (const auto& s : snapshot_)
        snapshot_records_.emplace_back(s.name.c_str(), s.locator.c_str());
    if (count)
        *count = (uint32_t)snapshot_records_.size();
    return snapshot_records_.empty() ? nullptr : snapshot_records_.data();
}

void Finder::update(std::vector<SourceInfo> sources)
{
    {
        std::lock_guard lock(mutex_);
        if (sources == visible_)
            return;
        visible_ = std::move(sources);
        ++generation_;
    }
    changed_.notify_all();
}

void Finder::follow(discovery::DiscoveryService& service)
{
    const std::string own = service.process_id();
    subscription_ = service.subscribe([this, own](const std::vector<discovery::SourceEntry>& all) {
        update(select(settings_, all, own));
    }, settings_.extra_hosts);
}

std::vector<SourceInfo> Finder::select(const FinderSettings& settings,
                                       const std::vector<discovery::SourceEntry>& all, const std::string& own_process)
{
    std::vector<SourceInfo> out;
    for (const auto& e : all) {
        if (!settings.show_local_sources && !own_process.empty() && e.process == own_process)
            continue;
        if (!discovery::groups_match(settings.groups, e.groups))
            continue;
        out.push_back(SourceInfo{e.name, e.locator});
    }
    std::sort(out.begin(), out.end(), [](const SourceInfo& a, const SourceInfo& b) { return a.name < b.name; });
    return out;
}

}  // namespace qrv
