#include "library.h"

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
    ++starts_;
    return true;
}

void Library::stop()
{
    {
        std::lock_guard lock(mutex_);
        if (starts_ == 0)
            return;
        if (--starts_ > 0)
            return;
    }
    release_all();
}

bool Library::running() const
{
    std::lock_guard lock(mutex_);
    return starts_ > 0;
}

void Library::release_all()
{
    // Receivers and routers before finders and senders, newest first; the
    // objects are destroyed here, outside every registry lock.
    receivers.take_all();
    routers.take_all();
    finders.take_all();
    senders.take_all();
}

}  // namespace qrv
