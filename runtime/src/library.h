// The library's global state: whether it is started, and every object it
// owns. Shutting down releases what callers left alive.
#ifndef QRV_LIBRARY_H
#define QRV_LIBRARY_H

#include <mutex>

#include "finder.h"
#include "receiver.h"
#include "registry.h"
#include "router.h"
#include "sender.h"

namespace qrv {

class Library {
public:
    static Library& instance();

    // Starts are counted; the shut-down matching the first start releases
    // every object still alive.
    bool start();
    void stop();
    bool running() const;

    Registry<Sender> senders;
    Registry<Finder> finders;
    Registry<Receiver> receivers;
    Registry<Router> routers;

private:
    Library() = default;
    ~Library();
    void release_all();

    mutable std::mutex mutex_;
    int starts_ = 0;
};

}  // namespace qrv

#endif
