// The listening side of a source's server: a TCP socket on every address of
// its scope (one port for all of them), the Unix socket of the same-host
// path, and the thread that takes connections in and hands each to the
// server. A process out of descriptors still tells a waiting peer it was
// refused instead of leaving it in the backlog.
#ifndef QRV_TRANSPORT_ACCEPTOR_H
#define QRV_TRANSPORT_ACCEPTOR_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/locator.h"
#include "base/scope.h"
#include "base/socket.h"

namespace qrv::transport {

class Acceptor {
public:
    /// A connection taken in; shared: it came over the Unix socket. Called
    /// on the acceptor's thread. Returns false when the server is stopping,
    /// which ends this round of accepting.
    using Admit = std::function<bool(net::Fd peer, bool shared)>;
    /// Called on the acceptor's thread once per round (at least every
    /// 100 ms), before it accepts anything.
    using Round = std::function<void()>;

    /// Listens on every address of the scope at port (0: an ephemeral one,
    /// picked by the first bind) and, with shared_memory, on a Unix socket
    /// when one can be made. Throws Error when no TCP socket can be bound,
    /// saying why; addresses that fail while others work are logged.
    /// name: the source's, for log lines.
    Acceptor(const Scope& scope, uint16_t port, bool shared_memory, const std::string& name);
    ~Acceptor();
    Acceptor(const Acceptor&) = delete;
    Acceptor& operator=(const Acceptor&) = delete;

    /// Where receivers reach the source: an address that is not loopback
    /// when there is one, the port, and the Unix path (empty: none). The
    /// id is left empty.
    const Endpoint& endpoint() const { return endpoint_; }

    /// Starts the thread. Once only.
    void start(Admit admit, Round round);
    /// Wakes the thread and joins it. Any thread but the acceptor's;
    /// idempotent.
    void stop();

    /// Peers closed at once because the process ran out of descriptors or
    /// memory.
    uint64_t shed() const { return shed_.load(); }

private:
    void run(const Admit& admit, const Round& round);

    std::vector<net::Fd> listeners_;
    std::vector<bool> listener_shared_;  // per listener: the Unix socket
    net::Fd wake_;                       // an eventfd that stops the thread
    Endpoint endpoint_;
    std::atomic<uint64_t> shed_{0};
    std::thread thread_;
};

}  // namespace qrv::transport

#endif
