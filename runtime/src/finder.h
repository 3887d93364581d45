// A finder: keeps the set of visible sources and lets its caller wait for a
// change of that set.
#ifndef QRV_FINDER_H
#define QRV_FINDER_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "qrvlib.h"

namespace qrv {

struct FinderSettings {
    bool show_local_sources = true;
    std::string groups;
    std::string extra_hosts;
};

struct SourceInfo {
    std::string name;
    std::string locator;
    bool operator==(const SourceInfo&) const = default;
};

class Finder {
public:
    explicit Finder(FinderSettings settings);
    ~Finder();
    Finder(const Finder&) = delete;
    Finder& operator=(const Finder&) = delete;

    // True as soon as the visible set differs from what the caller last
    // queried; false when the timeout passes without a change.
    bool wait_for_change(uint32_t timeout_ms);
    // Never waits. The array stays valid until the next query or destruction.
    const QRVlib_source_t* current(uint32_t* count);

    // Replaces the visible set, waking waiters when it changed.
    void update(std::vector<SourceInfo> sources);

private:
    const FinderSettings settings_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<SourceInfo> visible_;
    uint64_t generation_ = 0;       // raised on every change of visible_
    uint64_t seen_generation_ = 0;  // the generation the caller last saw
    // What the last query handed out; owned here.
    std::vector<SourceInfo> snapshot_;
    std::vector<QRVlib_source_t> snapshot_records_;
};

}  // namespace qrv

#endif
