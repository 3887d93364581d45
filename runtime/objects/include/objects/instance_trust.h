// Which instance of a source to connect to when a site key is in use.
// Anyone can announce any name by multicast DNS, so every instance that
// claims a name is a candidate, and only one that proves the key over TLS
// is the source. This remembers, per address and port, how the key went:
// an instance that proved it is preferred while it is listed; one that did
// not is left alone for a while, so that a spoofer announcing the name
// again does not draw every attempt to itself.
#ifndef QRV_OBJECTS_INSTANCE_TRUST_H
#define QRV_OBJECTS_INSTANCE_TRUST_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/locator.h"

namespace qrv {

// Every place that claims a source name now, in the order discovery gives
// (the newest first).
using SourceCandidates = std::function<std::vector<Endpoint>(const std::string& source_name)>;

class InstanceTrust {
public:
    using Clock = std::chrono::steady_clock;

    // refusal_memory: how long an instance that failed the key is skipped
    // while others are listed. capacity: instances remembered at most.
    explicit InstanceTrust(std::chrono::milliseconds refusal_memory = std::chrono::seconds(60),
                           size_t capacity = 256);

    // How the key went with an instance. Any thread.
    void note(const Endpoint& where, bool proved, Clock::time_point now = Clock::now());
    // The candidate to connect to: the one that proved the key last, else
    // the first not refused within the memory, else the one refused the
    // longest ago (so that all are tried in turn). Empty: nullopt.
    std::optional<Endpoint> pick(const std::vector<Endpoint>& candidates, Clock::time_point now = Clock::now()) const;

private:
    using Key = std::pair<std::string, uint16_t>;
    struct Outcome {
        bool proved = false;
        Clock::time_point at{};
    };

    const std::chrono::milliseconds memory_;
    const size_t capacity_;
    mutable std::mutex mutex_;
    std::map<Key, Outcome> outcomes_;
};

// What a receiver with a site key needs to choose among a name's
// instances; unset members: the plain resolver alone.
struct KeyedLookup {
    SourceCandidates candidates;
    std::shared_ptr<InstanceTrust> trust;
};

}  // namespace qrv

#endif
