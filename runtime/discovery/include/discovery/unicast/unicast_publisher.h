// What this process publishes in a DNS zone by signed dynamic update: per
// source a PTR record under the service type, SRV and TXT records at the
// instance name, and an A record for this process's host name. Records are
// refreshed three times per lease (the TXT record carries the refresh time
// and the lease, so browsers can tell a live source from one whose process
// died) and deleted on withdrawal.
//
// Names: "HOST (SOURCE)"; when the zone already holds that name for a live
// source of someone else, "HOST (SOURCE (2))" and so on, as on the local
// network. A name whose holder stopped refreshing it is taken over.
//
// Not thread-safe: it belongs to the thread that does the network work, and
// never reads a clock (it is handed the time).
#ifndef QRV_DISCOVERY_UNICAST_PUBLISHER_H
#define QRV_DISCOVERY_UNICAST_PUBLISHER_H

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "discovery/common/clock.h"
#include "discovery/unicast/dns_client.h"

namespace qrv::discovery {

// Sends one request to the server and returns its reply; `sign` asks for a
// signature (updates).
using UnicastExchange = std::function<DnsClient::Reply(const Message& request, bool sign)>;

struct UnicastOffer {
    std::string source_name;
    uint16_t port = 0;
    std::string id;                // the source's identity (also in txt)
    std::vector<std::string> txt;  // without the refresh fields, which are added here
};

struct UnicastPublisherStats {
    uint64_t updates = 0;   // answered with success
    uint64_t failures = 0;  // refused, unanswered or garbled
    uint64_t conflicts = 0;
};

class UnicastPublisher {
public:
    // `zone`: where records go; `target`: this process's host name in the
    // zone (first label only); `lease`: how long a publication lives.
    UnicastPublisher(Name zone, std::string host, std::string target, seconds lease);

    void add(uint64_t id, UnicastOffer offer, TimePoint now);
    // Deleted from the zone on the next run; forgotten after a few failures
    // (the lease then ends it).
    void remove(uint64_t id, TimePoint now);
    // This host's address toward the server (network order); 0: unknown.
    void set_address(uint32_t address) { address_ = address; }

    // Sends the updates that are due at `now` (`unix_now` in seconds since
    // 1970, for the refresh times). Returns when to run again.
    TimePoint run(TimePoint now, uint64_t unix_now, const UnicastExchange& exchange);
    // One attempt to delete everything; stops at the first request that
    // gets no answer, so that a dead server costs one timeout at most.
    void remove_all(const UnicastExchange& exchange);

    // Deletes an instance left behind by a process that died (and its
    // host's address), provided its TXT record is still `txt`, as seen.
    void remove_expired(const Name& instance, const std::vector<std::string>& txt, const Name& host,
                        const UnicastExchange& exchange);

    std::optional<std::string> label(uint64_t id) const;
    // The labels of everything not being withdrawn.
    std::map<uint64_t, std::string> labels() const;
    // Labels of the publications that are in the zone now.
    bool registered(uint64_t id) const;
    const UnicastPublisherStats& stats() const { return stats_; }
    const Name& service_name() const { return service_; }

private:
    enum class State { registering, registered, removing };
    struct Item {
        UnicastOffer offer;
        unsigned number = 1;
        std::string label;
        Name instance;
        State state = State::registering;
        TimePoint due{};
        milliseconds backoff{0};
        int remove_tries = 0;
        bool attempted = false;  // an update was sent: the zone may hold it
        bool failing = false;  // the last attempt failed (logged once per run of failures)
    };

    void name_item(Item& item);
    // A name below the zone (not the zone itself).
    bool in_zone(const Name& name) const;
    // Of the records we add: a third of the lease, so that a cache never
    // outlives a refresh by much.
    uint32_t record_ttl() const;
    Record srv_of(const Item& item) const;
    void add_records(Message& update, const Item& item, uint64_t unix_now) const;
    // Deletes an instance: its entry in the service's list and every record
    // at its name. The caller adds the prerequisite that proves it ours.
    void delete_instance(Message& update, const Name& instance) const;
    bool register_item(Item& item, TimePoint now, uint64_t unix_now, const UnicastExchange& exchange);
    void refresh_item(Item& item, TimePoint now, uint64_t unix_now, const UnicastExchange& exchange);
    // True when the item is finished with (deleted or given up).
    bool remove_item(Item& item, TimePoint now, const UnicastExchange& exchange);
    // The name is held by a source that is not ours and still refreshed.
    bool taken_by_other(const Item& item, uint64_t unix_now, const UnicastExchange& exchange, Message& takeover);
    void failed(Item& item, TimePoint now, const char* what, const std::string& why);

    Name zone_;
    Name service_;  // _qrv._tcp.ZONE
    Name target_;
    std::string host_;
    seconds lease_;
    uint32_t address_ = 0;
    std::map<uint64_t, Item> items_;
    UnicastPublisherStats stats_;
};

// The TXT fields that carry freshness.
inline constexpr const char* kTxtRefresh = "refresh";
inline constexpr const char* kTxtLease = "lease";
// The instance label with its letter case, which servers need not keep.
inline constexpr const char* kTxtLabel = "label";

// Seconds since 1970 after which a TXT set with refresh fields is stale;
// nothing when it carries none. `lease`, when given, receives the lease.
std::optional<uint64_t> stale_after(const std::vector<std::string>& txt, uint64_t* lease = nullptr);

}  // namespace qrv::discovery

#endif
