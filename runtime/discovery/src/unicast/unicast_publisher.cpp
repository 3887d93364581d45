#include "discovery/unicast/unicast_publisher.h"

#include <algorithm>
#include <charconv>

#include "base/log.h"
#include "discovery/unicast/dns_update.h"
#include "discovery/common/instance_name.h"

namespace qrv::discovery {

namespace {

constexpr milliseconds kFirstBackoff{1000};
constexpr milliseconds kMaxBackoff{30000};
constexpr int kRemoveTries = 3;

std::optional<uint64_t> txt_number(const std::vector<std::string>& txt, const char* key)
{
    auto text = txt_value(txt, key);
    uint64_t value = 0;
    if (!text || text->empty())
        return std::nullopt;
    const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (ec != std::errc() || end != text->data() + text->size())
        return std::nullopt;
    return value;
}

const char* what_failed(const DnsClient::Reply& reply)
{
    switch (reply.status) {
    case DnsClient::Status::ok: return rcode_text(reply.message.rcode());
    case DnsClient::Status::timeout: return "no answer";
    case DnsClient::Status::network: return "network error";
    case DnsClient::Status::malformed: return "a malformed answer";
    }
    return "error";
}

}  // namespace

std::optional<uint64_t> stale_after(const std::vector<std::string>& txt, uint64_t* lease_out)
{
    const auto refresh = txt_number(txt, kTxtRefresh);
    const auto lease = txt_number(txt, kTxtLease);
    if (!refresh || !lease || *lease > 86400 || *refresh > (uint64_t(1) << 40))
        return std::nullopt;
    if (lease_out)
        *lease_out = *lease;
    return *refresh + *lease;
}

UnicastPublisher::UnicastPublisher(Name zone, std::string host, std::string target, seconds lease)
    : zone_(std::move(zone)), host_(std::move(host)), lease_(lease)
{
    service_ = Name::of({"_qrv", "_tcp"}).plus(zone_);
    target_ = Name::of({target}).plus(zone_);
}

void UnicastPublisher::name_item(Item& item)
{
    item.label = instance_label(host_, item.offer.source_name, item.number);
    item.instance = Name::of({item.label}).plus(service_);
}

void UnicastPublisher::add(uint64_t id, UnicastOffer offer, TimePoint now)
{
    Item item;
    item.offer = std::move(offer);
    item.due = now;
    name_item(item);
    items_[id] = std::move(item);
}

void UnicastPublisher::remove(uint64_t id, TimePoint now)
{
    auto it = items_.find(id);
    if (it == items_.end())
        return;
    if (!it->second.attempted) {
        items_.erase(it);
        return;
    }
    it->second.state = State::removing;
    it->second.due = now;
    it->second.backoff = milliseconds(0);
}

std::optional<std::string> UnicastPublisher::label(uint64_t id) const
{
    auto it = items_.find(id);
    if (it == items_.end())
        return std::nullopt;
    return it->second.label;
}

void UnicastPublisher::remove_expired(const Name& instance, const std::vector<std::string>& txt, const Name& host,
                                      const UnicastExchange& exchange)
{
    if (!in_zone(instance) || host.equals(target_))
        return;
    Message update = make_update(zone_, 0);
    require_rrset(update, make_txt(instance, txt, 0));
    delete_instance(update, instance);
    if (in_zone(host))
        delete_name(update, host);
    const auto reply = exchange(update, true);
    if (reply.status == DnsClient::Status::ok && reply.message.rcode() == kRcodeNoError) {
        ++stats_.updates;
        QRV_LOG_AT(info, discovery, "removed '%s', left behind in %s by a process that ended",
                   instance.labels.empty() ? "" : instance.labels[0].c_str(), zone_.text().c_str());
    }
}

std::map<uint64_t, std::string> UnicastPublisher::labels() const
{
    std::map<uint64_t, std::string> out;
    for (const auto& [id, item] : items_)
        if (item.state != State::removing)
            out.emplace(id, item.label);
    return out;
}

bool UnicastPublisher::registered(uint64_t id) const
{
    auto it = items_.find(id);
    return it != items_.end() && it->second.state == State::registered;
}

bool UnicastPublisher::in_zone(const Name& name) const
{
    const size_t zone_labels = zone_.labels.size();
    return name.labels.size() > zone_labels &&
           Name{std::vector(name.labels.end() - long(zone_labels), name.labels.end())}.equals(zone_);
}

uint32_t UnicastPublisher::record_ttl() const
{
    return uint32_t(std::max<int64_t>(1, lease_.count() / 3));
}

Record UnicastPublisher::srv_of(const Item& item) const
{
    return make_srv(item.instance, target_, item.offer.port, record_ttl());
}

void UnicastPublisher::delete_instance(Message& update, const Name& instance) const
{
    delete_record(update, make_ptr(service_, instance, 0));
    delete_name(update, instance);
}

void UnicastPublisher::add_records(Message& update, const Item& item, uint64_t unix_now) const
{
    const uint32_t ttl = record_ttl();
    auto txt = item.offer.txt;
    // Servers may keep names in lower case only: the label as written.
    txt.push_back(std::string(kTxtLabel) + "=" + item.label);
    txt.push_back(std::string(kTxtRefresh) + "=" + std::to_string(unix_now));
    txt.push_back(std::string(kTxtLease) + "=" + std::to_string(lease_.count()));
    add_record(update, make_ptr(service_, item.instance, ttl));
    add_record(update, srv_of(item));
    add_record(update, make_txt(item.instance, std::move(txt), ttl));
    add_record(update, make_a(target_, address_, ttl));
}

void UnicastPublisher::failed(Item& item, TimePoint now, const char* what, const std::string& why)
{
    ++stats_.failures;
    item.backoff = std::clamp(item.backoff * 2, kFirstBackoff, kMaxBackoff);
    // A registered source retries well within its lease.
    if (item.state == State::registered)
        item.backoff = std::min<milliseconds>(item.backoff, std::chrono::duration_cast<milliseconds>(lease_) / 6);
    item.due = now + item.backoff;
    if (!item.failing)
        QRV_LOG_AT(warn, discovery, "could not %s '%s' in %s: %s; retrying every %lld s at most", what,
                   item.label.c_str(), zone_.text().c_str(), why.c_str(),
                   (long long)(kMaxBackoff.count() / 1000));
    item.failing = true;
}

bool UnicastPublisher::taken_by_other(const Item& item, uint64_t unix_now, const UnicastExchange& exchange,
                                      Message& takeover)
{
    const auto reply = exchange(make_query(item.instance, kTypeTXT, 0), false);
    if (reply.status != DnsClient::Status::ok || reply.message.rcode() != kRcodeNoError)
        return true;  // cannot tell: leave the name alone
    for (const auto& r : reply.message.answers) {
        if (r.type != kTypeTXT || !r.name.equals(item.instance))
            continue;
        if (txt_value(r.strings, "id") == item.offer.id)
            return false;  // ours, left over from an earlier attempt
        const auto stale = stale_after(r.strings);
        if (!stale || *stale > unix_now)
            return true;
    }
    // Nothing but stale records there: delete their host's address too.
    const auto srv = exchange(make_query(item.instance, kTypeSRV, 0), false);
    if (srv.status == DnsClient::Status::ok)
        for (const auto& r : srv.message.answers)
            if (r.type == kTypeSRV && r.name.equals(item.instance) && !r.target.equals(target_) && in_zone(r.target))
                delete_name(takeover, r.target);
    return false;
}

bool UnicastPublisher::register_item(Item& item, TimePoint now, uint64_t unix_now, const UnicastExchange& exchange)
{
    item.attempted = true;
    Message update = make_update(zone_, 0);
    require_unused(update, item.instance);
    add_records(update, item, unix_now);
    auto reply = exchange(update, true);
    if (reply.status == DnsClient::Status::ok && reply.message.rcode() == kRcodeYxDomain) {
        Message takeover = make_update(zone_, 0);
        if (taken_by_other(item, unix_now, exchange, takeover)) {
            ++stats_.conflicts;
            const std::string old = item.label;
            ++item.number;
            name_item(item);
            QRV_LOG_AT(info, discovery, "the name '%s' is taken in %s: renamed to '%s'", old.c_str(),
                       zone_.text().c_str(), item.label.c_str());
            item.due = now;
            return true;
        }
        delete_name(takeover, item.instance);
        add_records(takeover, item, unix_now);
        reply = exchange(takeover, true);
    }
    if (reply.status != DnsClient::Status::ok || reply.message.rcode() != kRcodeNoError) {
        failed(item, now, "publish", reply.status == DnsClient::Status::ok ? what_failed(reply) : reply.error);
        return false;
    }
    ++stats_.updates;
    item.state = State::registered;
    item.backoff = milliseconds(0);
    item.failing = false;
    item.due = now + std::chrono::duration_cast<milliseconds>(lease_) / 3;
    QRV_LOG_AT(info, discovery, "published '%s' in %s", item.label.c_str(), zone_.text().c_str());
    return true;
}

void UnicastPublisher::refresh_item(Item& item, TimePoint now, uint64_t unix_now, const UnicastExchange& exchange)
{
    Message update = make_update(zone_, 0);
    // Only while the name is still ours: if the records were removed as
    // stale (and perhaps taken by another source) we register anew.
    require_rrset(update, srv_of(item));
    delete_rrset(update, item.instance, kTypeTXT);
    add_records(update, item, unix_now);
    const auto reply = exchange(update, true);
    if (reply.status == DnsClient::Status::ok &&
        (reply.message.rcode() == kRcodeNxRrset || reply.message.rcode() == kRcodeNxDomain)) {
        QRV_LOG_AT(info, discovery, "'%s' was removed from %s: publishing it again", item.label.c_str(),
                   zone_.text().c_str());
        item.state = State::registering;
        item.due = now;
        return;
    }
    if (reply.status != DnsClient::Status::ok || reply.message.rcode() != kRcodeNoError) {
        failed(item, now, "refresh", reply.status == DnsClient::Status::ok ? what_failed(reply) : reply.error);
        return;
    }
    ++stats_.updates;
    if (item.failing)
        QRV_LOG_AT(info, discovery, "refreshed '%s' in %s again", item.label.c_str(), zone_.text().c_str());
    item.failing = false;
    item.backoff = milliseconds(0);
    item.due = now + std::chrono::duration_cast<milliseconds>(lease_) / 3;
}

bool UnicastPublisher::remove_item(Item& item, TimePoint now, const UnicastExchange& exchange)
{
    Message update = make_update(zone_, 0);
    require_rrset(update, srv_of(item));
    delete_instance(update, item.instance);
    bool last = true;
    for (const auto& [id, other] : items_)
        if (&other != &item && other.state != State::removing)
            last = false;
    if (last)
        delete_name(update, target_);
    const auto reply = exchange(update, true);
    if (reply.status == DnsClient::Status::ok &&
        (reply.message.rcode() == kRcodeNoError || reply.message.rcode() == kRcodeNxRrset ||
         reply.message.rcode() == kRcodeNxDomain)) {
        ++stats_.updates;
        QRV_LOG_AT(debug, discovery, "withdrew '%s' from %s", item.label.c_str(), zone_.text().c_str());
        return true;
    }
    ++stats_.failures;
    if (++item.remove_tries >= kRemoveTries) {
        QRV_LOG_AT(warn, discovery, "could not withdraw '%s' from %s: %s; it expires with its lease",
                   item.label.c_str(), zone_.text().c_str(),
                   reply.status == DnsClient::Status::ok ? what_failed(reply) : reply.error.c_str());
        return true;
    }
    item.backoff = std::clamp(item.backoff * 2, kFirstBackoff, kMaxBackoff);
    item.due = now + item.backoff;
    return false;
}

TimePoint UnicastPublisher::run(TimePoint now, uint64_t unix_now, const UnicastExchange& exchange)
{
    for (auto it = items_.begin(); it != items_.end();) {
        Item& item = it->second;
        if (item.due > now) {
            ++it;
            continue;
        }
        if (item.state == State::removing) {
            if (remove_item(item, now, exchange)) {
                it = items_.erase(it);
                continue;
            }
        } else if (address_ == 0) {
            failed(item, now, "publish", "no local address toward the DNS server");
        } else if (item.state == State::registering) {
            // A renamed item registers again at once, a bounded number of times.
            for (int attempts = 0; attempts < 16 && item.state == State::registering && item.due <= now; ++attempts)
                if (!register_item(item, now, unix_now, exchange))
                    break;
        } else {
            refresh_item(item, now, unix_now, exchange);
        }
        ++it;
    }
    TimePoint next = kNever;
    for (const auto& [id, item] : items_)
        next = std::min(next, item.due);
    return next;
}

void UnicastPublisher::remove_all(const UnicastExchange& exchange)
{
    for (auto& [id, item] : items_)
        if (item.attempted)
            item.state = State::removing;
    for (auto it = items_.begin(); it != items_.end();) {
        if (it->second.state != State::removing) {
            it = items_.erase(it);
            continue;
        }
        it->second.remove_tries = kRemoveTries - 1;  // one attempt
        const auto before = stats_.failures;
        remove_item(it->second, Clock::now(), exchange);
        it = items_.erase(it);
        if (stats_.failures != before)
            break;
    }
    items_.clear();
}

}  // namespace qrv::discovery
