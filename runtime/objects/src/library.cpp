#include "objects/library.h"

#include <sys/socket.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "base/error.h"
#include "base/log.h"
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
    log::configure();
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
    require_ipv4();
    // The scope is read here alone: every object of this run takes it from
    // the context.
    Scope scope = Scope::from_environment();
    std::shared_ptr<discovery::DiscoveryService> service;
    try {
        service = discovery::DiscoveryService::create(scope);
    } catch (const std::system_error& e) {
        throw Error("could not start the discovery thread: " + e.code().message());
    }
    context_ = Context::make(std::move(scope), std::move(service));
    return context_;
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
    receivers.clear();
    routers.clear();
    finders.clear();
    senders.clear();
    // Sends the goodbyes of whatever was still published, then joins.
    context.reset();
}

}  // namespace qrv
