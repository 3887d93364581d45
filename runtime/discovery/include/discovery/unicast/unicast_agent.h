// Unicast DNS service discovery for one process: a thread of its own that
// publishes this process's sources in the configured zone and browses the
// configured domain plus those that finders add. Nothing here blocks a
// caller: publish, withdraw and set_browse queue work for the thread, whose
// requests each wait at most the configured timeout.
#ifndef QRV_DISCOVERY_UNICAST_AGENT_H
#define QRV_DISCOVERY_UNICAST_AGENT_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "discovery/unicast/unicast_browser.h"
#include "discovery/unicast/unicast_config.h"
#include "discovery/unicast/unicast_publisher.h"

namespace qrv::discovery {

struct UnicastStats {
    uint64_t queries = 0;
    uint64_t updates = 0;
    uint64_t failures = 0;  // requests unanswered, refused or with bad replies
    uint64_t conflicts = 0;
};

class UnicastAgent {
public:
    // Starts the thread. `on_change` runs on that thread (with no lock of
    // the agent held) whenever services() changes. Throws std::system_error
    // when the thread cannot start.
    UnicastAgent(UnicastConfig config, std::string host, std::string process_id, std::function<void()> on_change);
    // Withdraws what is published (one attempt, bounded by the timeout)
    // and joins the thread.
    ~UnicastAgent();
    UnicastAgent(const UnicastAgent&) = delete;
    UnicastAgent& operator=(const UnicastAgent&) = delete;

    // Whether publish does anything: a domain, a server and a key are set.
    bool publishes() const { return publishes_; }
    void publish(uint64_t id, UnicastOffer offer);
    void withdraw(uint64_t id);
    // Extra targets browsed on behalf of `owner` (a finder); an empty list
    // ends them.
    void set_browse(uint64_t owner, std::vector<BrowseTarget> targets);

    std::vector<UnicastService> services() const;
    uint64_t generation() const;
    // The label in the zone, once the thread has tried to publish it.
    std::optional<std::string> label(uint64_t id) const;
    UnicastStats stats() const;
    const UnicastConfig& config() const { return config_; }

private:
    void run();
    void apply_commands(TimePoint now);
    DnsClient::Reply exchange(const ServerAddress& server, const Message& request, bool sign);

    const UnicastConfig config_;
    const bool publishes_;
    const std::function<void()> on_change_;
    DnsClient client_;
    std::unique_ptr<UnicastPublisher> publisher_;  // thread-confined
    UnicastBrowser browser_;                       // thread-confined
    uint64_t seen_generation_ = 0;
    uint64_t next_request_id_;
    std::atomic<bool> abandon_{false};  // stopping: new requests fail at once

    mutable std::mutex mutex_;  // everything below
    std::condition_variable wake_;
    bool stop_ = false;
    bool dirty_ = false;  // commands waiting
    std::vector<std::pair<uint64_t, std::optional<UnicastOffer>>> commands_;  // nothing: withdraw
    std::map<uint64_t, std::vector<BrowseTarget>> browse_;
    bool browse_changed_ = false;
    std::vector<UnicastService> services_;
    uint64_t generation_ = 0;
    std::map<uint64_t, std::string> labels_;
    UnicastStats stats_;

    std::thread thread_;  // last: starts after everything above exists
};

}  // namespace qrv::discovery

#endif
