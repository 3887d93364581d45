#include "objects/library.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "base/error.h"
#include "base/log.h"
#include "base/settings.h"
#include "base/socket.h"

namespace qrv {

namespace {

// Without a single IPv4 socket nothing of the runtime can work.
void require_ipv4()
{
    net::Fd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!probe)
        throw Error("cannot create an IPv4 socket: " + error_text(errno));
}

void log_scope(const Scope& scope)
{
    std::string names;
    for (const auto& i : scope.interfaces)
        names += (names.empty() ? "" : ", ") + i.name + " (" + i.address_text() + ")";
    QRV_LOG_AT(info, library, "started; network scope: %s", names.c_str());
    for (const auto& name : scope.unmatched)
        QRV_LOG_AT(warn, library, "QRV_INTERFACES names '%s', which is not an IPv4 interface that is up: left out",
                   name.c_str());
}

}  // namespace

Library& Library::instance()
{
    static Library library;
    return library;
}

Library::~Library()
{
    release_all();
}

bool Library::start()
{
    std::shared_ptr<const Context> started;
    {
        std::lock_guard lock(mutex_);
        if (starts_ == 0 && !context_)
            started = first_start();
        ++starts_;
    }
    // Logged once the lock is released: a log hook may call back into us.
    if (started) {
        log_scope(started->scope);
        started->discovery->log_start();
    }
    return true;
}

std::shared_ptr<const Context> Library::first_start()
{
    // The environment is read here alone: every object of this run takes
    // its settings from the context.
    Settings settings = Settings::from_environment();
    log::configure(text_of(settings.log));
    require_ipv4();
    Scope scope = Scope::from_value(text_of(settings.interfaces));
    std::shared_ptr<discovery::DiscoveryService> service;
    try {
        service = discovery::DiscoveryService::create(scope, discovery::UnicastConfig::from_settings(settings));
    } catch (const std::system_error& e) {
        throw Error("could not start the discovery thread: " + e.code().message());
    }
    context_ = Context::make(std::move(settings), std::move(scope), std::move(service));
    return context_;
}

void Library::set_video_codec(const QRVlib_video_codec_t& codec)
{
    transport::VideoCodecSettings s;
    s.compress = codec.compress;
    s.quality = codec.quality;
    s.min_quality = std::min(s.min_quality, s.quality);
    s.max_bits_per_second = codec.max_mbits_per_second * 1e6;
    std::lock_guard lock(mutex_);
    given_codec_ = s;
}

void Library::set_multicast(bool offer)
{
    std::lock_guard lock(mutex_);
    given_multicast_ = offer;
}

transport::VideoCodecSettings Library::video_codec_locked() const
{
    if (given_codec_)
        return *given_codec_;
    if (context_)
        return context_->video_codec;
    // Asked before the start: what a start now would read.
    return transport::VideoCodecSettings::from_settings(Settings::from_environment());
}

QRVlib_video_codec_t Library::video_codec() const
{
    std::lock_guard lock(mutex_);
    const auto s = video_codec_locked();
    return QRVlib_video_codec_t{s.compress, s.quality, s.max_bits_per_second / 1e6};
}

void Library::set_key_files(const char* site_key_file, const char* operator_key_file)
{
    const auto path = [](const char* p) { return p && *p ? std::optional<std::string>(p) : std::nullopt; };
    LinkSecurity s = LinkSecurity::from_files(path(site_key_file), path(operator_key_file));
    if (!s.error.empty())
        throw Error(s.error);
    std::lock_guard lock(mutex_);
    given_security_ = std::move(s);
}

std::shared_ptr<const transport::LinkKeys> Library::link_keys_locked() const
{
    const LinkSecurity* s = given_security_ ? &*given_security_ : context_ ? &context_->security : nullptr;
    if (!s)
        return nullptr;
    if (!s->error.empty())
        throw Error(s->error);
    return s->keys;
}

std::shared_ptr<const transport::LinkKeys> Library::link_keys() const
{
    std::lock_guard lock(mutex_);
    return link_keys_locked();
}

transport::ServerOptions Library::server_options() const
{
    transport::ServerOptions options;
    std::lock_guard lock(mutex_);
    options.keys = link_keys_locked();
    // With a key, the same-host socket (never TLS) takes only the same
    // user, root or the local group, who may then also steer (see
    // ServerConnection::may_steer).
    options.check_local_peers = options.keys != nullptr;
    options.video_codec = video_codec_locked();
    if (context_) {
        options.queue = context_->queue;
        options.multicast = context_->multicast;
        options.local_group = context_->local_group;
    }
    if (given_multicast_)
        options.multicast.offer = *given_multicast_;
    return options;
}

std::shared_ptr<const Context> Library::context() const
{
    std::lock_guard lock(mutex_);
    return context_;
}

std::shared_ptr<discovery::DiscoveryService> Library::discovery() const
{
    std::lock_guard lock(mutex_);
    return context_ ? context_->discovery : nullptr;
}

void Library::stop()
{
    Leftovers left;
    {
        // The last shut-down takes every object in the same step that marks
        // the library stopped, so that neither an object created meanwhile
        // escapes nor one of a following start is taken.
        std::lock_guard lock(mutex_);
        if (starts_ == 0)
            return;
        if (--starts_ > 0)
            return;
        left = take_all();
    }
    const size_t alive = left.receivers.size() + left.routers.size() + left.finders.size() + left.senders.size();
    left.destroy();
    if (alive)
        QRV_LOG_AT(debug, library, "released %zu object(s) left alive at the shut-down", alive);
    QRV_LOG_AT(info, library, "stopped");
}

void Library::release_all()
{
    Leftovers left;
    {
        std::lock_guard lock(mutex_);
        left = take_all();
    }
    left.destroy();
}

Library::Leftovers Library::take_all()
{
    Leftovers left;
    left.receivers = receivers_.take_all();
    left.routers = routers_.take_all();
    left.finders = finders_.take_all();
    left.senders = senders_.take_all();
    left.context = std::move(context_);
    return left;
}

void Library::Leftovers::destroy()
{
    // Calls still blocked on these objects return first.
    for (auto& r : receivers)
        Registry<Receiver>::close(*r);
    for (auto& f : finders)
        Registry<Finder>::close(*f);
    for (auto& s : senders)
        Registry<Sender>::close(*s);
    for (auto& r : routers)
        Registry<Router>::close(*r);
    // Outside every lock, since destructors join threads.
    const auto release_all = [](auto& objects) {
        for (auto& o : objects)
            release(o);
        objects.clear();
    };
    release_all(receivers);
    release_all(routers);
    release_all(finders);
    release_all(senders);
    // Sends the goodbyes of whatever was still published, then joins.
    context.reset();
}

}  // namespace qrv
