#include "discovery/unicast/unicast_agent.h"

#include <algorithm>
#include <ctime>
#include <random>

#include "base/log.h"
#include "base/thread_name.h"
#include "discovery/unicast/tsig.h"

namespace qrv::discovery {

UnicastAgent::UnicastAgent(UnicastConfig config, std::string host, std::string process_id,
                           std::function<void()> on_change)
    : config_(std::move(config)),
      publishes_(config_.domain && config_.server && config_.key),
      on_change_(std::move(on_change)),
      client_(config_.timeout),
      browser_(config_.poll),
      next_request_id_(std::random_device{}())
{
    // The host's name in the zone: unique per process, within one label.
    if (publishes_)
        publisher_ = std::make_unique<UnicastPublisher>(
            *config_.domain, host, host.substr(0, kMaxLabelBytes - 9) + "-" + process_id.substr(0, 8), config_.lease);
    browse_changed_ = true;
    thread_ = std::thread([this] {
        name_this_thread("qrv-dns");
        run();
    });
}

UnicastAgent::~UnicastAgent()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        abandon_.store(true);  // requests in progress end the round
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void UnicastAgent::publish(uint64_t id, UnicastOffer offer)
{
    if (!publishes_)
        return;
    {
        std::lock_guard lock(mutex_);
        commands_.emplace_back(id, std::move(offer));
        dirty_ = true;
    }
    wake_.notify_all();
}

void UnicastAgent::withdraw(uint64_t id)
{
    if (!publishes_)
        return;
    {
        std::lock_guard lock(mutex_);
        commands_.emplace_back(id, std::nullopt);
        labels_.erase(id);
        dirty_ = true;
    }
    wake_.notify_all();
}

void UnicastAgent::set_browse(uint64_t owner, std::vector<BrowseTarget> targets)
{
    {
        std::lock_guard lock(mutex_);
        if (targets.empty())
            browse_.erase(owner);
        else
            browse_[owner] = std::move(targets);
        browse_changed_ = true;
        dirty_ = true;
    }
    wake_.notify_all();
}

std::vector<UnicastService> UnicastAgent::services() const
{
    std::lock_guard lock(mutex_);
    return services_;
}

uint64_t UnicastAgent::generation() const
{
    std::lock_guard lock(mutex_);
    return generation_;
}

std::optional<std::string> UnicastAgent::label(uint64_t id) const
{
    std::lock_guard lock(mutex_);
    auto it = labels_.find(id);
    if (it == labels_.end())
        return std::nullopt;
    return it->second;
}

UnicastStats UnicastAgent::stats() const
{
    std::lock_guard lock(mutex_);
    return stats_;
}

DnsClient::Reply UnicastAgent::exchange(const ServerAddress& server, const Message& request, bool sign)
{
    Message m = request;
    // Unpredictable ids (with a fresh source port per request) keep forged
    // replies out.
    next_request_id_ = next_request_id_ * 6364136223846793005ull + 1442695040888963407ull;
    m.id = uint16_t(next_request_id_ >> 33);
    DnsClient::Reply reply;
    if (abandon_.load()) {
        reply.error = "shutting down";
        return reply;
    }
    auto bytes = build_message(m);
    if (!bytes) {
        reply.error = "a record could not be encoded";
        return reply;
    }
    std::vector<uint8_t> mac;
    if (sign && config_.key) {
        bytes = tsig_sign(*bytes, *config_.key, uint64_t(std::time(nullptr)), &mac);
        if (!bytes) {
            reply.error = "the request could not be signed";
            return reply;
        }
    }
    reply = client_.exchange(server, *bytes);
    if (reply.status == DnsClient::Status::ok && (reply.message.questions.size() != request.questions.size() ||
                                                  reply.message.opcode() != m.opcode())) {
        reply.status = DnsClient::Status::malformed;
        reply.error = "the reply does not answer the request";
    }
    if (reply.status == DnsClient::Status::ok && sign && config_.key) {
        const auto check = tsig_check_reply(reply.bytes, *config_.key, mac);
        if (check.present && check.error != 0) {
            reply.status = DnsClient::Status::malformed;
            reply.error = std::string("the server refused the key '") + config_.key->name.text() +
                          "': " + tsig_error_text(check.error);
        } else if (reply.message.rcode() == 9 /* NOTAUTH */ && !check.present) {
            reply.status = DnsClient::Status::malformed;
            reply.error = std::string("the server refused the key '") + config_.key->name.text() +
                          "' (NOTAUTH): check QRV_DNS_KEY against the server's configuration";
        } else if (!check.present || !check.verified) {
            reply.status = DnsClient::Status::malformed;
            reply.error = "the reply's signature is missing or wrong";
        }
    }
    return reply;
}

void UnicastAgent::apply_commands(TimePoint now)
{
    std::vector<std::pair<uint64_t, std::optional<UnicastOffer>>> commands;
    std::vector<BrowseTarget> targets;
    bool retarget = false;
    {
        std::lock_guard lock(mutex_);
        commands.swap(commands_);
        if (browse_changed_) {
            retarget = true;
            browse_changed_ = false;
            if (config_.domain && config_.server)
                targets.push_back(BrowseTarget{*config_.server, *config_.domain});
            for (const auto& [owner, list] : browse_)
                for (const auto& t : list)
                    if (std::find(targets.begin(), targets.end(), t) == targets.end())
                        targets.push_back(t);
        }
        dirty_ = false;
    }
    for (auto& [id, offer] : commands) {
        if (!publisher_)
            break;
        if (offer)
            publisher_->add(id, std::move(*offer), now);
        else
            publisher_->remove(id, now);
    }
    if (retarget)
        browser_.set_targets(targets, now);
}

void UnicastAgent::run()
{
    const auto query = [this](const ServerAddress& server, const Message& m) { return exchange(server, m, false); };
    const auto update = [this](const Message& m, bool sign) { return exchange(*config_.server, m, sign); };
    TimePoint next_address_check{};
    for (;;) {
        const TimePoint now = Clock::now();
        apply_commands(now);
        TimePoint next = kNever;
        if (publisher_) {
            // The address toward the server can change with the routes.
            if (now >= next_address_check) {
                publisher_->set_address(DnsClient::local_address_toward(*config_.server).value_or(0));
                next_address_check = now + seconds(10);
            }
            next = std::min(next, publisher_->run(now, uint64_t(std::time(nullptr)), update));
        }
        next = std::min(next, browser_.run(Clock::now(), uint64_t(std::time(nullptr)), query));
        // Holders of the key clear what dead processes left in their zone.
        for (const auto& e : browser_.take_expired())
            if (publisher_ && e.where.server == *config_.server && e.where.domain.equals(*config_.domain))
                publisher_->remove_expired(e.instance, e.txt, e.host, update);
        bool changed = false;
        {
            std::lock_guard lock(mutex_);
            if (browser_.generation() != seen_generation_) {
                seen_generation_ = browser_.generation();
                services_ = browser_.services();
                ++generation_;
                changed = true;
            }
            if (publisher_) {
                labels_ = publisher_->labels();
                const auto& p = publisher_->stats();
                stats_.updates = p.updates;
                stats_.conflicts = p.conflicts;
                stats_.failures = p.failures + browser_.stats().failures;
            } else {
                stats_.failures = browser_.stats().failures;
            }
            stats_.queries = browser_.stats().queries;
        }
        if (changed && on_change_)
            on_change_();
        std::unique_lock lock(mutex_);
        if (stop_)
            break;
        wake_.wait_until(lock, std::min(next, Clock::now() + seconds(1)), [this] { return stop_ || dirty_; });
        if (stop_)
            break;
    }
    apply_commands(Clock::now());
    abandon_.store(false);
    if (publisher_)
        publisher_->remove_all(update);
}

}  // namespace qrv::discovery
