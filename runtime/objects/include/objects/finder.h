// A finder: keeps the set of visible sources and lets its caller wait for a
// change of that set. Connected to the discovery service (follow()), the set
// is what the service sees, narrowed by the finder's settings: sources of
// this process only when show_local_sources is set, and only sources in one
// of the wanted groups (comma list, default "public").
//
// Timing: a new source appears about 1 s after its creation (probing); one
// destroyed normally disappears as soon as its goodbye arrives; one whose
// process died disappears at most 8 s after its last answer, i.e. within
// 9 s (records live 8 s and are asked for again from 80 % of that).
#ifndef QRV_FINDER_H
#define QRV_FINDER_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "discovery/discovery.h"
#include "qrvlib.h"

namespace qrv {

struct FinderSettings {
    bool show_local_sources = true;
    std::string groups;
    std::string extra_hosts;  // comma list of extra DNS domains (or servers) to browse
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
    // Wakes every waiter, now and later, with no change: the finder is
    // going away.
    void close();

    // Never waits. The array stays valid until the next query or destruction.
    const QRVlib_source_t* current(uint32_t* count);

    // Replaces the visible set, waking waiters when it changed.
    void update(std::vector<SourceInfo> sources);

    // From now on the visible set follows the service.
    void follow(discovery::DiscoveryService& service);
    // The sources among `all` that these settings let through, by name.
    static std::vector<SourceInfo> select(const FinderSettings& settings,
                                          const std::vector<discovery::SourceEntry>& all,
                                          const std::string& own_process);

private:
    const FinderSettings settings_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<SourceInfo> visible_;
    uint64_t generation_ = 0;       // raised on every change of visible_
    uint64_t seen_generation_ = 0;  // the generation the caller last saw
    bool closed_ = false;
    // What the last query handed out; owned here.
    std::vector<SourceInfo> snapshot_;
    std::vector<QRVlib_source_t> snapshot_records_;
    discovery::Subscription subscription_;  // last: unsubscribed first
};

}  // namespace qrv

#endif
