// The process-wide discovery service: one thread that owns the sockets,
// drives the responder and the browser on the real clock, and tells
// subscribers about changes of the source set.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <utility>

#include "discovery/browser.h"
#include "base/text.h"
#include "discovery/discovery.h"
#include "discovery/instance_name.h"
#include "discovery/mdns_socket.h"
#include "discovery/responder.h"
#include "discovery/unicast_agent.h"
#include "base/log.h"

namespace qrv::discovery {

namespace {

constexpr size_t kCacheRecords = 4096;  // about 1024 services of 4 records
constexpr int kPacketsPerWakeup = 64;
constexpr size_t kMaxTxtString = 255;

const Name& service_type()
{
    static const Name type = Name::of({"_qrv", "_tcp", "local"});
    return type;
}

std::string trimmed(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return std::string(s);
}

const char* parse_error_text(ParseError e)
{
    switch (e) {
    case ParseError::none: return "no error";
    case ParseError::truncated: return "truncated";
    case ParseError::bad_label: return "bad label";
    case ParseError::name_too_long: return "name too long";
    case ParseError::bad_pointer: return "bad compression pointer";
    case ParseError::too_many_records: return "too many records";
    case ParseError::bad_rdata: return "bad record data";
    case ParseError::too_big: return "too big";
    }
    return "unknown error";
}

std::string address_text(uint32_t address, uint16_t port)
{
    in_addr a;
    a.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return std::string(text) + ":" + std::to_string(port);
}

uint64_t random_seed()
{
    std::random_device device;
    return (uint64_t(device()) << 32) ^ device() ^ uint64_t(getpid());
}

// "key=value", cut at a comma so that it fits one TXT string.
std::string txt_entry(std::string_view key, std::string_view value)
{
    std::string s = std::string(key) + "=" + std::string(value);
    if (s.size() <= kMaxTxtString)
        return s;
    s.resize(kMaxTxtString);
    const auto comma = s.rfind(',');
    if (comma != std::string::npos && comma > key.size())
        s.resize(comma);
    return s;
}

}  // namespace

std::vector<std::string> split_groups(std::string_view text)
{
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos <= text.size()) {
        const size_t comma = text.find(',', pos);
        const auto part = trimmed(text.substr(pos, comma == std::string_view::npos ? text.npos : comma - pos));
        if (!part.empty())
            out.push_back(ascii_lower(part));
        if (comma == std::string_view::npos)
            break;
        pos = comma + 1;
    }
    return out;
}

bool groups_match(std::string_view wanted, const std::vector<std::string>& source_groups)
{
    auto want = split_groups(wanted);
    if (want.empty())
        want.push_back("public");
    for (const auto& w : want)
        for (const auto& g : source_groups)
            if (equal_nocase(w, g))
                return true;
    return false;
}

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
    };
    std::map<uint64_t, Reported> reported;

    std::mutex subscribers_mutex;
    std::map<uint64_t, Callback> subscribers;
    uint64_t next_subscriber = 1;
    uint64_t notified_generation = 0;

    std::atomic<bool> stop{false};
    std::thread thread;

    log::Throttle bad_packets{std::chrono::seconds(1)};

    ~State()
    {
        unicast.reset();  // its thread wakes this one: gone before the descriptor
        if (wake_fd >= 0)
            ::close(wake_fd);
    }

    void wake()
    {
        const uint64_t one = 1;
        if (wake_fd >= 0)
            (void)!::write(wake_fd, &one, sizeof one);
    }

    bool is_loopback(unsigned ifindex) const
    {
        const Interface* iface = socket ? socket->interface(ifindex) : nullptr;
        return iface && iface->loopback;
    }

    // Called with the mutex held: turns the browser's view into entries,
    // one per instance, preferring what loopback saw, then adds the sources
    // that unicast DNS found and multicast DNS did not (same identity: one
    // entry).
    void refresh_sources()
    {
        const bool local_changed = browser->generation() != browser_generation;
        const uint64_t unicast_now = unicast ? unicast->generation() : 0;
        if (!local_changed && unicast_now == unicast_generation)
            return;
        unicast_generation = unicast_now;
        if (local_changed)
            refresh_local_sources();
        std::vector<SourceEntry> next = local_sources;
        if (unicast)
            for (const auto& u : unicast->services()) {
                SourceEntry e = entry_of(u.instance, u.address, u.port, u.txt, false);
                const bool known = std::any_of(next.begin(), next.end(), [&](const SourceEntry& s) {
                    return e.endpoint.id.empty() ? equal_nocase(s.name, e.name) : s.endpoint.id == e.endpoint.id;
                });
                if (!known)
                    next.push_back(std::move(e));
            }
        if (next != sources) {
            sources = std::move(next);
            ++sources_generation;
            sources_changed.notify_all();
        }
    }

    static SourceEntry entry_of(const std::string& instance, uint32_t address, uint16_t port,
                                const std::vector<std::string>& txt, bool loop)
    {
        SourceEntry e;
        e.name = instance;
        in_addr a;
        a.s_addr = address;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &a, text, sizeof text);
        e.endpoint.address = text;
        e.endpoint.port = port;
        if (auto id = txt_value(txt, "id"))
            e.endpoint.id = *id;
        // The Unix socket is only of use on the same host.
        if (auto path = txt_value(txt, "unix"); path && loop)
            e.endpoint.unix_path = *path;
        if (auto process = txt_value(txt, "process"))
            e.process = *process;
        auto groups = txt_value(txt, "groups");
        e.groups = split_groups(groups ? *groups : std::string());
        if (e.groups.empty())
            e.groups.push_back("public");
        e.locator = format_locator(e.endpoint);
        if (parse_locator(e.locator) != e.endpoint) {
            // Text fields that a locator cannot carry: keep the address.
            e.endpoint.id.clear();
            e.endpoint.unix_path.clear();
            e.locator = format_locator(e.endpoint);
        }
        return e;
    }

    void refresh_local_sources()
    {
        browser_generation = browser->generation();
        std::vector<SourceEntry> next;
        std::map<std::string, size_t> by_name;
        std::map<std::string, bool> via_loopback;
        for (const auto& b : browser->services()) {
            const std::string key = ascii_lower(b.instance);
            const bool loop = is_loopback(b.ifindex);
            auto it = by_name.find(key);
            if (it != by_name.end() && (via_loopback[key] || !loop))
                continue;
            SourceEntry e = entry_of(b.instance, b.address, b.port, b.txt, loop);
            via_loopback[key] = loop;
            if (it != by_name.end()) {
                next[it->second] = std::move(e);
            } else {
                by_name[key] = next.size();
                next.push_back(std::move(e));
            }
        }
        local_sources = std::move(next);
    }

    // Called with the mutex held.
    void start_unicast()
    {
        if (unicast)
            return;
        unicast = std::make_unique<UnicastAgent>(unicast_config, host, process_id, [this] { wake(); });
        for (const auto& [id, offer] : unicast_offers)
            unicast->publish(id, offer);
    }

    void notify_subscribers()
    {
        std::vector<SourceEntry> copy;
        uint64_t generation = 0;
        {
            std::lock_guard lock(mutex);
            generation = sources_generation;
            copy = sources;
        }
        std::lock_guard lock(subscribers_mutex);
        if (generation == notified_generation)
            return;
        notified_generation = generation;
        for (auto& [id, callback] : subscribers)
            callback(copy);
    }

    void send(std::vector<Outgoing>& out)
    {
        uint64_t sent = 0, failed = 0;
        for (auto& o : out) {
            if (!socket)
                break;
            auto bytes = build_message(o.message);
            const bool ok = bytes && (o.unicast_port
                                          ? socket->send_unicast(*bytes, o.ifindex, o.unicast_address, o.unicast_port)
                                          : socket->send_multicast(*bytes, o.ifindex));
            ok ? ++sent : ++failed;
        }
        out.clear();
        std::lock_guard lock(mutex);
        stats.packets_sent += sent;
        stats.send_failures += failed;
    }

    // At debug, one line a second at most: a flood of bad packets must not
    // become a flood of lines.
    void note_bad_packet(const Datagram& d, const char* what)
    {
        uint64_t suppressed = 0;
        if (!log::enabled(log::Category::discovery, log::Level::debug) || !bad_packets.allow(suppressed))
            return;
        if (d.source_port)
            QRV_LOG_AT(debug, discovery, "ignored a packet from %s: %s (%llu more not shown)",
                       address_text(d.source_address, d.source_port).c_str(), what, (unsigned long long)suppressed);
        else
            QRV_LOG_AT(debug, discovery, "ignored a packet: %s (%llu more not shown)", what,
                       (unsigned long long)suppressed);
    }

    void receive()
    {
        Datagram d;
        for (int i = 0; i < kPacketsPerWakeup; ++i) {
            d.source_port = 0;
            const auto r = socket->receive(d);
            if (r == MdnsSocket::Receive::none)
                return;
            std::vector<Outgoing> out;
            ParseError malformed = ParseError::none;
            {
                std::lock_guard lock(mutex);
                ++stats.packets_received;
                if (r == MdnsSocket::Receive::rejected) {
                    ++stats.packets_rejected;
                } else if (auto parsed = parse_message(d.bytes); !parsed.message) {
                    ++stats.packets_malformed;
                    malformed = parsed.error == ParseError::none ? ParseError::truncated : parsed.error;
                } else {
                    const auto now = Clock::now();
                    responder->on_message(*parsed.message, d.ifindex, d.source_address, d.source_port, now, out);
                    browser->on_message(*parsed.message, d.ifindex, now);
                    refresh_sources();
                }
            }
            if (r == MdnsSocket::Receive::rejected)
                note_bad_packet(d, "oversized, or not from the subnet of an interface in scope");
            else if (malformed != ParseError::none)
                note_bad_packet(d, parse_error_text(malformed));
            send(out);
        }
    }

    void run()
    {
        std::vector<pollfd> fds;
        fds.push_back(pollfd{wake_fd, POLLIN, 0});
        if (socket)
            fds.push_back(pollfd{socket->fd(), POLLIN, 0});
        while (!stop.load()) {
            std::vector<Outgoing> out;
            TimePoint deadline;
            TimePoint now;
            {
                std::lock_guard lock(mutex);
                now = Clock::now();
                responder->tick(now, out);
                browser->tick(now, out);
                refresh_sources();
                deadline = std::min(responder->next_deadline(), browser->next_deadline());
            }
            send(out);
            notify_subscribers();
            report_publications();
            int timeout_ms = 1000;
            if (deadline != kNever) {
                const auto wait = std::chrono::duration_cast<milliseconds>(deadline - now).count() + 1;
                timeout_ms = int(std::clamp<int64_t>(wait, 0, 1000));
            }
            for (auto& f : fds)
                f.revents = 0;
            if (::poll(fds.data(), fds.size(), timeout_ms) <= 0)
                continue;
            if (fds[0].revents & POLLIN) {
                uint64_t value = 0;
                (void)!::read(wake_fd, &value, sizeof value);
            }
            if (fds.size() > 1 && (fds[1].revents & POLLIN))
                receive();
            notify_subscribers();
        }
        say_goodbyes();
    }

    // Logs, outside the lock, the publications that were announced or
    // renamed after a conflict since the last look.
    void report_publications()
    {
        if (!log::enabled(log::Category::discovery, log::Level::info))
            return;
        std::vector<std::pair<std::string, std::string>> renamed;  // from, to
        std::vector<std::string> announced;
        {
            std::lock_guard lock(mutex);
            for (auto& [id, seen] : reported) {
                const auto label = responder->label(id);
                if (!label)
                    continue;
                if (*label != seen.label) {
                    renamed.emplace_back(seen.label, *label);
                    seen.label = *label;
                }
                const bool now_announced = responder->announced(id);
                if (now_announced && !seen.announced)
                    announced.push_back(*label);
                seen.announced = now_announced;
            }
        }
        for (const auto& [from, to] : renamed)
            QRV_LOG_AT(info, discovery, "the name '%s' is taken on the network: renamed to '%s'", from.c_str(),
                       to.c_str());
        for (const auto& label : announced)
            QRV_LOG_AT(info, discovery, "published '%s'", label.c_str());
    }

    // Withdraws whatever is still published and sends all its goodbyes
    // before the sockets close: one goodbye interval at most.
    void say_goodbyes()
    {
        {
            std::lock_guard lock(mutex);
            responder->remove_all(Clock::now());
        }
        for (;;) {
            std::vector<Outgoing> out;
            TimePoint next;
            {
                std::lock_guard lock(mutex);
                responder->tick(Clock::now(), out);
                next = responder->next_deadline();  // kNever once all are gone
            }
            send(out);
            if (next == kNever)
                return;
            std::this_thread::sleep_until(std::min(next, Clock::now() + kGoodbyeInterval));
        }
    }
};

std::shared_ptr<DiscoveryService> DiscoveryService::create(Scope scope, UnicastConfig unicast)
{
    std::shared_ptr<DiscoveryService> service(new DiscoveryService());
    auto st = std::make_unique<State>();
    const uint64_t seed = random_seed();
    char id[17];
    std::snprintf(id, sizeof id, "%016llx", (unsigned long long)seed);
    st->process_id = id;
    st->host = short_host_name();
    st->scope = std::move(scope);
    std::vector<LocalInterface> local;
    std::vector<unsigned> indices;
    st->socket = MdnsSocket::open(st->scope.interfaces, &st->socket_error);
    if (st->socket)
        for (const auto& iface : st->socket->interfaces()) {
            local.push_back(LocalInterface{iface.index, iface.address});
            indices.push_back(iface.index);
        }
    st->stats.interfaces = local.size();
    st->stats.running = st->socket != nullptr;
    // The SRV target names this process's host uniquely on the link, so
    // that publishers on hosts of the same name never share an address
    // record.
    const Name target = Name::of({st->host + "-" + st->process_id.substr(0, 8), "local"});
    st->responder = std::make_unique<Responder>(service_type(), st->host, target, local, seed ^ 0x5bd1e995);
    st->browser = std::make_unique<Browser>(service_type(), indices, kCacheRecords, seed ^ 0x27d4eb2f);
    st->browser->start(Clock::now());
    st->wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    st->unicast_config = std::move(unicast);
    if (st->unicast_config.domain)
        st->start_unicast();
    State* raw = st.get();
    service->state_ = std::move(st);
    raw->thread = std::thread([raw] { raw->run(); });
    return service;
}

DiscoveryService::~DiscoveryService()
{
    if (!state_)
        return;
    state_->stop.store(true);
    state_->wake();
    if (state_->thread.joinable())
        state_->thread.join();
    std::unique_ptr<UnicastAgent> unicast;
    {
        std::lock_guard lock(state_->mutex);
        unicast = std::move(state_->unicast);
    }
    unicast.reset();  // withdraws from the zone, outside the lock
}

Publication DiscoveryService::publish(const PublishRequest& request)
{
    Publication p;
    {
        std::lock_guard lock(state_->mutex);
        ServiceOffer offer;
        offer.source_name = request.name;
        offer.port = request.endpoint.port;
        const std::string id = request.endpoint.id.empty()
                                   ? state_->process_id + "-" + std::to_string(state_->next_object++)
                                   : request.endpoint.id;
        offer.txt.push_back("txtvers=1");
        offer.txt.push_back("proto=1");
        offer.txt.push_back(txt_entry("process", state_->process_id));
        offer.txt.push_back(txt_entry("id", id));
        offer.txt.push_back(txt_entry("groups", request.groups.empty() ? "public" : request.groups));
        if (!request.endpoint.unix_path.empty() && request.endpoint.unix_path.size() + 5 <= kMaxTxtString)
            offer.txt.push_back(txt_entry("unix", request.endpoint.unix_path));
        UnicastOffer unicast_offer{request.name, request.endpoint.port, id, offer.txt};
        p.id_ = state_->responder->add(std::move(offer), Clock::now());
        state_->unicast_offers.emplace(p.id_, unicast_offer);
        if (state_->unicast)
            state_->unicast->publish(p.id_, std::move(unicast_offer));
        state_->reported[p.id_].label = state_->responder->label(p.id_).value_or(std::string());
    }
    p.service_ = weak_from_this();
    state_->wake();
    return p;
}

void DiscoveryService::withdraw(uint64_t id)
{
    std::string label;
    {
        std::lock_guard lock(state_->mutex);
        label = state_->responder->label(id).value_or(std::string());
        state_->responder->remove(id, Clock::now());
        state_->reported.erase(id);
        state_->unicast_offers.erase(id);
        if (state_->unicast)
            state_->unicast->withdraw(id);
    }
    state_->wake();
    QRV_LOG_AT(debug, discovery, "withdrawing '%s'", label.c_str());
}

std::string DiscoveryService::label_of(uint64_t id) const
{
    std::lock_guard lock(state_->mutex);
    return state_->responder->label(id).value_or(std::string());
}

bool DiscoveryService::announced(uint64_t id) const
{
    std::lock_guard lock(state_->mutex);
    return state_->responder->announced(id);
}

Subscription DiscoveryService::subscribe(Callback callback, std::string_view extra_domains)
{
    Subscription s;
    std::lock_guard lock(state_->subscribers_mutex);
    s.id_ = state_->next_subscriber++;
    if (!extra_domains.empty()) {
        std::vector<std::string> skipped;
        auto targets = parse_browse_list(extra_domains, state_->unicast_config, &skipped);
        for (const auto& item : skipped)
            QRV_LOG_AT(warn, discovery, "a finder's extra domain %s is not browsed", item.c_str());
        if (!targets.empty()) {
            std::lock_guard state_lock(state_->mutex);
            state_->start_unicast();
            state_->unicast->set_browse(s.id_, std::move(targets));
        }
    }
    s.service_ = weak_from_this();
    callback(sources());
    state_->subscribers.emplace(s.id_, std::move(callback));
    return s;
}

void DiscoveryService::unsubscribe(uint64_t id)
{
    std::lock_guard lock(state_->subscribers_mutex);
    state_->subscribers.erase(id);
    std::lock_guard state_lock(state_->mutex);
    if (state_->unicast)
        state_->unicast->set_browse(id, {});
}

std::vector<SourceEntry> DiscoveryService::sources() const
{
    std::lock_guard lock(state_->mutex);
    return state_->sources;
}

std::optional<SourceEntry> DiscoveryService::find(std::string_view name) const
{
    std::lock_guard lock(state_->mutex);
    for (const auto& s : state_->sources)
        if (equal_nocase(s.name, name))
            return s;
    return std::nullopt;
}

std::optional<SourceEntry> DiscoveryService::wait_for(std::string_view name, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(state_->mutex);
    std::optional<SourceEntry> found;
    state_->sources_changed.wait_for(lock, timeout, [&] {
        for (const auto& s : state_->sources)
            if (equal_nocase(s.name, name)) {
                found = s;
                return true;
            }
        return false;
    });
    return found;
}

bool DiscoveryService::running() const
{
    return state_->socket != nullptr;
}

void DiscoveryService::log_start() const
{
    const State& st = *state_;
    const auto& uc = st.unicast_config;
    for (const auto& problem : uc.problems)
        QRV_LOG_AT(warn, discovery, "%s", problem.c_str());
    if (uc.domain) {
        if (!uc.server)
            QRV_LOG_AT(warn, discovery, "no DNS server for %s: set QRV_DNS_SERVER (resolv.conf names none)",
                       uc.domain->text().c_str());
        else if (!uc.key)
            QRV_LOG_AT(info, discovery, "browsing %s at %s; not publishing there (no QRV_DNS_KEY)",
                       uc.domain->text().c_str(), uc.server->text().c_str());
        else
            QRV_LOG_AT(info, discovery, "publishing in and browsing %s at %s with key '%s'",
                       uc.domain->text().c_str(), uc.server->text().c_str(), uc.key->name.text().c_str());
        // Sources are published at the address that faces the server;
        // they listen only on the interfaces of the scope.
        const auto toward = uc.server && uc.key ? DnsClient::local_address_toward(*uc.server) : std::nullopt;
        const bool in_scope = toward && std::any_of(st.scope.interfaces.begin(), st.scope.interfaces.end(),
                                                    [&](const Interface& i) { return i.address == *toward; });
        if (toward && !in_scope)
            QRV_LOG_AT(warn, discovery,
                       "sources are published in %s at %s, an address outside the scope where they do not "
                       "listen: add the interface toward %s to QRV_INTERFACES",
                       uc.domain->text().c_str(), ServerAddress{*toward, 0}.text().c_str(),
                       uc.server->text().c_str());
    }
    if (!st.socket) {
        QRV_LOG_AT(error, discovery,
                   "could not start: %s; sources are neither published nor found, but can be reached by locator",
                   st.socket_error.c_str());
        return;
    }
    std::string joined;
    for (const auto& iface : st.socket->interfaces())
        joined += (joined.empty() ? "" : ", ") + iface.name + " (" + iface.address_text() + ")";
    QRV_LOG_AT(info, discovery, "running on %s", joined.c_str());
    for (const auto& iface : st.scope.interfaces)
        if (!st.socket->interface(iface.index))
            QRV_LOG_AT(warn, discovery, "%s (%s) is left out: it did not join the multicast group",
                       iface.name.c_str(), iface.address_text().c_str());
}

std::string DiscoveryService::start_error() const
{
    return state_->socket ? std::string() : "could not open the multicast DNS socket (" + state_->socket_error + ")";
}

const std::string& DiscoveryService::process_id() const
{
    return state_->process_id;
}

const std::string& DiscoveryService::host() const
{
    return state_->host;
}

DiscoveryStats DiscoveryService::stats() const
{
    std::lock_guard lock(state_->mutex);
    DiscoveryStats s = state_->stats;
    s.records_ignored = state_->browser->records_ignored();
    s.cache_records = state_->browser->cache().size();
    s.cache_evictions = state_->browser->cache().evictions();
    s.conflicts = state_->responder->conflicts();
    if (state_->unicast) {
        const auto u = state_->unicast->stats();
        s.dns_queries = u.queries;
        s.dns_updates = u.updates;
        s.dns_failures = u.failures;
        s.dns_conflicts = u.conflicts;
    }
    return s;
}

// --- handles ----------------------------------------------------------------

Publication::~Publication()
{
    if (auto s = service_.lock(); s && id_)
        s->withdraw(id_);
}

Publication::Publication(Publication&& other) noexcept
    : service_(std::move(other.service_)), id_(std::exchange(other.id_, 0))
{
}

Publication& Publication::operator=(Publication&& other) noexcept
{
    if (this != &other) {
        Publication old(std::move(*this));
        service_ = std::move(other.service_);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

std::string Publication::label() const
{
    auto s = service_.lock();
    return s && id_ ? s->label_of(id_) : std::string();
}

bool Publication::announced() const
{
    auto s = service_.lock();
    return s && id_ && s->announced(id_);
}

Subscription::~Subscription()
{
    if (auto s = service_.lock(); s && id_)
        s->unsubscribe(id_);
}

Subscription::Subscription(Subscription&& other) noexcept
    : service_(std::move(other.service_)), id_(std::exchange(other.id_, 0))
{
}

Subscription& Subscription::operator=(Subscription&& other) noexcept
{
    if (this != &other) {
        Subscription old(std::move(*this));
        service_ = std::move(other.service_);
        id_ = std::exchange(other.id_, 0);
    }
    return *this;
}

}  // namespace qrv::discovery

