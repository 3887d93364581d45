// The process-wide discovery service: its creation and the operations of
// its callers (publish, withdraw, subscribe, look up), and the handles they
// hold. The thread that does the work is in service_loop.cpp.
#include <unistd.h>
#include <sys/eventfd.h>

#include <cstdio>
#include <mutex>
#include <random>
#include <thread>
#include <utility>

#include "base/log.h"
#include "base/text.h"
#include "base/thread_name.h"
#include "discovery/common/instance_name.h"
#include "service_state.h"

namespace qrv::discovery {

namespace {

constexpr size_t kCacheRecords = 4096;  // about 1024 services of 4 records
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
    raw->thread = std::thread([raw] {
        name_this_thread("qrv-discovery");
        raw->run();
    });
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
        // Only that a key is needed: nothing derived from it.
        if (request.needs_key)
            offer.txt.push_back("key=site");
        offer.holds_name = request.needs_key;
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
    const log::QuietLock lock(state_->subscribers_mutex);
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
    const log::QuietLock lock(state_->subscribers_mutex);
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

std::vector<SourceEntry> DiscoveryService::candidates(std::string_view name) const
{
    std::lock_guard lock(state_->mutex);
    return state_->candidates(name);
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

