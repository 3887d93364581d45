// One receiver connected to a source's server. A reader thread waits for the
// receiver's hello (within the handshake timeout) and then for its control
// messages; a writer thread drains the connection's bounded queue into the
// socket, so that a slow receiver blocks only its own writer.
#ifndef QRV_TRANSPORT_SERVER_CONNECTION_H
#define QRV_TRANSPORT_SERVER_CONNECTION_H

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "send_queue.h"
#include "socket.h"

namespace qrv::transport {

class ServerConnection;

// What a connection tells its server; called from the connection's reader.
class ConnectionHooks {
public:
    virtual ~ConnectionHooks() = default;
    virtual void on_ready(ServerConnection& connection) = 0;
    virtual void on_ptz(const wire::PtzFields& command) = 0;
    virtual void on_bad_peer() = 0;
    virtual void on_handshake_timeout() = 0;
    virtual void on_finished() = 0;
};

class ServerConnection {
public:
    ServerConnection(net::Fd fd, ConnectionHooks& hooks, QueueLimits limits, DropCounters& drops,
                     std::chrono::milliseconds handshake_timeout);
    ~ServerConnection();
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    void send(PacketPtr packet) { queue_.push(std::move(packet)); }
    bool ready() const { return ready_.load(); }
    void mark_ready() { ready_ = true; }
    bool finished() const { return finished_.load(); }
    std::string receiver_name() const;

private:
    void read_loop();
    void write_loop();
    void finish();

    net::Fd fd_;
    ConnectionHooks& hooks_;
    SendQueue queue_;
    const std::chrono::milliseconds handshake_timeout_;
    std::atomic<bool> ready_{false};
    std::atomic<bool> finished_{false};
    mutable std::mutex mutex_;
    std::string receiver_name_;
    std::thread reader_;
    std::thread writer_;
};

}  // namespace qrv::transport

#endif
