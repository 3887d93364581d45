// Discovery of sources inside the runtime: DNS service discovery over
// multicast DNS, service type _qrv._tcp.local, on the interfaces of the
// scope (loopback alone unless QRV_INTERFACES widens it).
//
// With QRV_DNS_DOMAIN set (unicast_config.h), sources are also published in
// and browsed from that zone of a DNS server (unicast_agent.h), so that they
// are seen across routers; a source seen both ways is one entry (same id).
//
// One DiscoveryService per process (the library starts it with its first
// start and stops it at the final shut-down). It owns one thread that does
// all network work: the responder for what this process publishes and the
// browser that keeps the sources of every process in reach.
//
// Timing: records carry a TTL of 8 s; browsers ask again at 80-95 % of it,
// so a source whose process dies (no goodbye) is forgotten at most 8 s after
// its last answer, i.e. within 9 s of its death. A withdrawn source says
// goodbye and is gone from every finder as soon as that arrives. A new source
// appears after its probing, 0.75-1 s after its creation.
//
// Re-finding a source by name (for receivers and routers):
//   auto service = qrv::Library::instance().discovery();   // may be null
//   auto entry = service->find("HOST (My Video)");        // current locator
//   auto entry = service->wait_for("HOST (My Video)", 2000ms);
//   auto sub = service->subscribe([](const std::vector<SourceEntry>& all) {...});
#ifndef QRV_DISCOVERY_DISCOVERY_H
#define QRV_DISCOVERY_DISCOVERY_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/locator.h"
#include "base/scope.h"
#include "discovery/unicast/unicast_config.h"

namespace qrv::discovery {

// One source as finders list it.
struct SourceEntry {
    std::string name;     // the instance label: "HOST (source name)"
    std::string locator;  // format_locator(endpoint)
    Endpoint endpoint;    // address from the A record, port from SRV, the rest from TXT
    std::vector<std::string> groups;  // from TXT "groups"; "public" when absent
    std::string process;  // id of the publishing process; empty for other software
    bool needs_key = false;  // TXT "key": the source takes only peers with the site key
    bool operator==(const SourceEntry&) const = default;
};

struct PublishRequest {
    std::string name;    // the source name; the published label adds the host
    std::string groups;  // comma-separated; empty means "public"
    Endpoint endpoint;   // port, Unix path and id are published
    bool needs_key = false;  // announce "key=site": peers need the site key
};

struct DiscoveryStats {
    uint64_t packets_received = 0;
    uint64_t packets_rejected = 0;   // wrong interface or foreign subnet
    uint64_t packets_malformed = 0;  // refused by the parser
    uint64_t packets_sent = 0;
    uint64_t send_failures = 0;
    uint64_t records_ignored = 0;    // well-formed but of no interest
    uint64_t cache_records = 0;
    uint64_t cache_evictions = 0;
    uint64_t conflicts = 0;
    uint64_t interfaces = 0;         // interfaces that joined the group
    // Unicast DNS (a configured domain, or finders' extra domains).
    uint64_t dns_queries = 0;
    uint64_t dns_updates = 0;        // accepted by the server
    uint64_t dns_failures = 0;       // unanswered, refused, or garbled replies
    uint64_t dns_conflicts = 0;      // names taken in the zone
    bool running = false;            // the multicast socket is open
};

class DiscoveryService;

// A published source; destroying it withdraws the source (goodbye).
class Publication {
public:
    Publication() = default;
    ~Publication();
    Publication(Publication&& other) noexcept;
    Publication& operator=(Publication&& other) noexcept;
    Publication(const Publication&) = delete;
    Publication& operator=(const Publication&) = delete;

    // The label in use now ("HOST (NAME)", or with " (2)" after a conflict).
    std::string label() const;
    bool announced() const;
    explicit operator bool() const { return id_ != 0; }

private:
    friend class DiscoveryService;
    std::weak_ptr<DiscoveryService> service_;
    uint64_t id_ = 0;
};

// A registered change callback; destroying it unregisters and waits for a
// call in progress to end.
class Subscription {
public:
    Subscription() = default;
    ~Subscription();
    Subscription(Subscription&& other) noexcept;
    Subscription& operator=(Subscription&& other) noexcept;
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

private:
    friend class DiscoveryService;
    std::weak_ptr<DiscoveryService> service_;
    uint64_t id_ = 0;
};

class DiscoveryService : public std::enable_shared_from_this<DiscoveryService> {
public:
    using Callback = std::function<void(const std::vector<SourceEntry>&)>;

    // Opens the socket on the interfaces of the scope and starts the thread.
    // Interfaces that refuse the group are left out (stats().interfaces).
    // Without a socket (none could be opened, or no interface joined) the
    // service still runs, but publishes and finds nothing: running() is
    // false and start_error() says why. Unicast DNS discovery starts at
    // once when `unicast` names a domain, else when a finder first asks for
    // domains of its own. Throws std::system_error when the thread cannot
    // start.
    static std::shared_ptr<DiscoveryService> create(Scope scope, UnicastConfig unicast = {});
    // Withdraws what is still published and joins the thread.
    ~DiscoveryService();

    Publication publish(const PublishRequest& request);
    // The callback runs at once with the current sources, then on the
    // discovery thread after every change. It must not call back into the
    // service's subscribe/unsubscribe. `extra_domains` (comma list of
    // domain names, or IPv4 servers of the configured domain) are browsed
    // by unicast DNS while the subscription lives; their sources reach
    // every subscriber. Bad entries are logged and skipped.
    Subscription subscribe(Callback callback, std::string_view extra_domains = {});

    std::vector<SourceEntry> sources() const;
    // By full name ("HOST (source)"; ASCII case ignored).
    std::optional<SourceEntry> find(std::string_view name) const;
    // Every instance that claims the name now (full name; ASCII case
    // ignored): what loopback saw first (this host's own), then the newest
    // first; then what unicast DNS found at other places. find() answers
    // the first. Anyone can announce any name by multicast DNS, so with a
    // site key these are hints: the one that proves the key is the source.
    std::vector<SourceEntry> candidates(std::string_view name) const;
    // As find, waiting up to the timeout for the source to appear.
    std::optional<SourceEntry> wait_for(std::string_view name, std::chrono::milliseconds timeout) const;
    // Asks for the source (full name) once, on every interface but
    // loopback, in a way that its host answers this host directly: a host
    // new at a vanished one's address is then reached at once, not after
    // this host's kernel forgets the old one's hardware address. The answer
    // is not awaited. Any thread; sends on sockets of its own.
    void ask_directly(std::string_view name) const;

    bool running() const;
    // Empty while running.
    std::string start_error() const;
    // Logs how the start went: where it runs, or why it does not. Kept out
    // of create, which may be called under the caller's locks.
    void log_start() const;

    const std::string& process_id() const;
    const std::string& host() const;
    DiscoveryStats stats() const;

    struct State;  // the thread's state; defined in service.cpp

private:
    friend class Publication;
    friend class Subscription;
    DiscoveryService() = default;
    void withdraw(uint64_t id);
    void unsubscribe(uint64_t id);
    std::string label_of(uint64_t id) const;
    bool announced(uint64_t id) const;

    std::unique_ptr<State> state_;
};

// The group rule of finders: true when one of the wanted groups (comma
// list; empty means "public") is among the source's groups, ignoring case
// and blanks around names.
bool groups_match(std::string_view wanted, const std::vector<std::string>& source_groups);
std::vector<std::string> split_groups(std::string_view text);

}  // namespace qrv::discovery

#endif
