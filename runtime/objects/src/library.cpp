#include "objects/library.h"

#include <vector>

namespace qrv {

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
    std::lock_guard lock(mutex_);
    if (starts_ == 0 && !discovery_) {
        discovery_ = discovery::DiscoveryService::create(Scope::from_environment());
        // Receivers look their source up by name before every connection,
        // so that a source that comes back at a new address is found.
        set_source_resolver([](const std::string& name) -> std::optional<Endpoint> {
            auto service = Library::instance().discovery();
            if (!service)
                return std::nullopt;
            auto entry = service->find(name);
            if (!entry)
                return std::nullopt;
            return entry->endpoint;
        });
    }
    ++starts_;
    return true;
}

std::shared_ptr<discovery::DiscoveryService> Library::discovery() const
{
    std::lock_guard lock(mutex_);
    return discovery_;
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
    left.destroy();
}

bool Library::running() const
{
    std::lock_guard lock(mutex_);
    return starts_ > 0;
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
    left.receivers = receivers.take_all();
    left.routers = routers.take_all();
    left.finders = finders.take_all();
    left.senders = senders.take_all();
    left.discovery = std::move(discovery_);
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
    discovery.reset();
}

}  // namespace qrv
