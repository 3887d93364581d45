// Browsing a DNS zone for sources: asks for the PTR set of the service type
// at a short interval, resolves (SRV, TXT, A) instances that are new, and
// known ones again only at a third of their lease and when it runs out; it
// hides an instance whose TXT refresh time is older than its lease (its
// process died without withdrawing it).
//
// Not thread-safe: it belongs to the thread that does the network work, and
// never reads a clock (it is handed the time).
#ifndef QRV_DISCOVERY_UNICAST_BROWSER_H
#define QRV_DISCOVERY_UNICAST_BROWSER_H

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "discovery/common/clock.h"
#include "discovery/unicast/dns_client.h"
#include "discovery/unicast/unicast_config.h"

namespace qrv::discovery {

// Sends one query to a server and returns its reply.
using UnicastQuery = std::function<DnsClient::Reply(const ServerAddress& server, const Message& request)>;

// One resolved instance.
struct UnicastService {
    std::string instance;  // the label: "HOST (source)"
    uint32_t address = 0;  // network order
    uint16_t port = 0;
    std::vector<std::string> txt;
    bool operator==(const UnicastService&) const = default;
};

struct UnicastBrowserStats {
    uint64_t queries = 0;
    uint64_t failures = 0;         // unanswered, garbled or refused
    uint64_t records_ignored = 0;  // answers that do not fit the question
};

class UnicastBrowser {
public:
    // At most this many instances per browsed domain.
    static constexpr size_t kMaxInstances = 1024;

    explicit UnicastBrowser(milliseconds poll) : poll_(poll) {}

    // Replaces what is browsed; instances of targets that go are dropped.
    void set_targets(const std::vector<BrowseTarget>& targets, TimePoint now);
    // Asks what is due at `now`; returns when to run again.
    TimePoint run(TimePoint now, uint64_t unix_now, const UnicastQuery& query);

    // The live instances of every target, in a stable order.
    std::vector<UnicastService> services() const;
    // Instances found stale for a whole lease more (their publisher is
    // gone), once each, for a holder of the key to delete.
    struct Expired {
        BrowseTarget where;
        Name instance;
        std::vector<std::string> txt;  // as seen: the deletion requires it unchanged
        Name host;                     // the SRV target
    };
    std::vector<Expired> take_expired() { return std::exchange(expired_, {}); }
    // Raised whenever services() changes.
    uint64_t generation() const { return generation_; }
    const UnicastBrowserStats& stats() const { return stats_; }

private:
    struct Instance {
        UnicastService service;
        bool resolved = false;      // SRV, TXT and A are known and fresh
        TimePoint next_resolve{};   // when to ask again (lease end, or retry)
        bool reported_expired = false;
    };
    struct Target {
        BrowseTarget where;
        TimePoint next_poll{};
        milliseconds backoff{0};
        bool failing = false;
        std::map<std::string, Instance> instances;  // by lower-case label
    };

    void poll(Target& target, TimePoint now, uint64_t unix_now, const UnicastQuery& query);
    // False when the server did not answer.
    bool resolve(Target& target, Instance& instance, TimePoint now, uint64_t unix_now, const UnicastQuery& query);
    struct Lookup;  // what the server says about one instance
    Lookup look_up(Target& target, const Name& name, const std::string& label, const UnicastQuery& query);
    // An instance found live: takes what was found and says when to ask
    // again. `stale`: when its records go stale (unix time), if they do.
    void take_live(Instance& instance, UnicastService found, std::optional<uint64_t> stale, TimePoint now,
                   uint64_t unix_now);
    // An instance with records missing or stale: looked at again soon, and
    // reported once when it is stale for a whole lease more.
    void note_unresolved(Target& target, Instance& instance, const Lookup& lookup, const Name& name,
                         TimePoint now, uint64_t unix_now);
    // The reply when it is a good answer to the question (NXDOMAIN counts).
    const Message* answer(const DnsClient::Reply& reply, Target& target);

    milliseconds poll_;
    std::vector<Target> targets_;
    uint64_t generation_ = 0;
    UnicastBrowserStats stats_;
    std::vector<Expired> expired_;
};

}  // namespace qrv::discovery

#endif
