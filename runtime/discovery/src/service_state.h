// The state of the discovery service, shared by the files that implement
// it: service.cpp (creation and the public operations), service_loop.cpp
// (the thread: sockets, timers, goodbyes), service_sources.cpp (the source
// list from what multicast and unicast DNS found, and its subscribers) and
// service_report.cpp (what the service logs about itself).
#ifndef QRV_DISCOVERY_SERVICE_STATE_H
#define QRV_DISCOVERY_SERVICE_STATE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/scope.h"
#include "discovery/discovery.h"
#include "discovery/mdns/browser.h"
#include "discovery/mdns/mdns_socket.h"
#include "discovery/mdns/responder.h"
#include "discovery/unicast/unicast_agent.h"

namespace qrv::discovery {

struct DiscoveryService::State {
    Scope scope;
    std::string host;
    std::string process_id;
    std::unique_ptr<MdnsSocket> socket;
    std::string socket_error;  // why there is no socket
    int wake_fd = -1;

    mutable std::mutex mutex;  // everything below up to the subscribers
    mutable std::condition_variable sources_changed;
    std::unique_ptr<Responder> responder;
    std::unique_ptr<Browser> browser;
    uint64_t browser_generation = 0;
    std::vector<SourceEntry> local_sources;  // what multicast DNS sees
    UnicastConfig unicast_config;
    // Unicast DNS discovery: made at the start when a domain is configured,
    // or when a finder first asks for domains of its own.
    std::unique_ptr<UnicastAgent> unicast;
    uint64_t unicast_generation = 0;
    std::map<uint64_t, UnicastOffer> unicast_offers;  // what we publish, for a late agent
    std::vector<SourceEntry> sources;
    uint64_t sources_generation = 0;
    DiscoveryStats stats;
    uint64_t next_object = 1;
    // Our publications as last logged, to report renames and announcements.
    struct Reported {
        std::string label;
        bool announced = false;
        bool contested = false;  // a claim on the name was logged
    };
    std::map<uint64_t, Reported> reported;

    std::mutex subscribers_mutex;
    std::map<uint64_t, Callback> subscribers;
    uint64_t next_subscriber = 1;
    uint64_t notified_generation = 0;

    std::atomic<bool> stop{false};
    std::thread thread;

    log::Throttle bad_packets{std::chrono::seconds(1)};
    log::Throttle overflows{std::chrono::seconds(10)};
    uint32_t dropped_reported = 0;  // the socket's drop count as last logged

    // service_loop.cpp: the thread and its sockets.
    ~State();
    // Wakes the thread (any thread).
    void wake();
    // Makes the unicast DNS agent and hands it what is published; with the
    // mutex held.
    void start_unicast();
    // Builds and sends what the responder and browser asked for; without
    // the mutex.
    void send(std::vector<Outgoing>& out);
    // At debug, one line a second at most: a flood of bad packets must not
    // become a flood of lines.
    void note_bad_packet(const Datagram& d, const char* what);
    // Reads what the socket holds, a bounded number of packets per wake-up.
    void receive();
    // At warn, one line in ten seconds at most: packets the kernel dropped
    // because our receive queue was full.
    void note_overflow();
    // The thread's loop, until stop; then say_goodbyes.
    void run();
    // Withdraws whatever is still published and sends all its goodbyes
    // before the sockets close: one goodbye interval at most.
    void say_goodbyes();

    // service_sources.cpp: the list of sources.
    bool is_loopback(unsigned ifindex) const;
    // Called with the mutex held: turns the browser's view into entries,
    // one per instance, preferring what loopback saw, then adds the sources
    // that unicast DNS found and multicast DNS did not (same identity: one
    // entry).
    void refresh_sources();
    // With the mutex held: the browser's services, one entry per instance.
    void refresh_local_sources();
    // One entry from what a browser found; the Unix socket path only when
    // seen on loopback.
    static SourceEntry entry_of(const std::string& instance, uint32_t address, uint16_t port,
                                const std::vector<std::string>& txt, bool loop);
    // With the mutex held: every instance of the name, as
    // DiscoveryService::candidates describes.
    std::vector<SourceEntry> candidates(std::string_view name) const;
    // Hands the list to every subscriber when it changed since the last
    // call; without the mutex (takes it, then subscribers_mutex).
    void notify_subscribers();

    // service_report.cpp: logs, outside the lock, the publications that
    // were announced or renamed after a conflict since the last look.
    void report_publications();
};

}  // namespace qrv::discovery

#endif
