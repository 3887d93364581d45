#include "server_connection.h"

#include "message_io.h"

namespace qrv::transport {

ServerConnection::ServerConnection(net::Fd fd, ConnectionHooks& hooks, QueueLimits limits, DropCounters& drops,
                                   std::chrono::milliseconds handshake_timeout)
    : fd_(std::move(fd)), hooks_(hooks), queue_(limits, drops), handshake_timeout_(handshake_timeout)
{
    // A receiver that stops reading blocks its writer at most this long
    // per write before the connection is dropped.
    net::set_send_timeout(fd_.get(), std::chrono::seconds(5));
    // A hello that starts but never ends counts as no hello.
    net::set_recv_timeout(fd_.get(), handshake_timeout_);
    reader_ = std::thread([this] { read_loop(); });
    writer_ = std::thread([this] { write_loop(); });
}

ServerConnection::~ServerConnection()
{
    finish();
    reader_.join();
    writer_.join();
}

std::string ServerConnection::receiver_name() const
{
    std::lock_guard lock(mutex_);
    return receiver_name_;
}

void ServerConnection::finish()
{
    if (!finished_.exchange(true)) {
        net::shutdown_both(fd_.get());
        queue_.close();
    }
}

void ServerConnection::read_loop()
{
    const int fd = fd_.get();
    Message m;
    // The first message must be the hello, within the handshake timeout.
    if (!net::wait_readable(fd, handshake_timeout_)) {
        if (!finished_.load())
            hooks_.on_handshake_timeout();
        finish();
        hooks_.on_finished();
        return;
    }
    ReadResult r = read_message(fd, m);
    if (r != ReadResult::ok || m.header.type != wire::MessageType::hello) {
        if (r != ReadResult::closed)
            hooks_.on_bad_peer();
        finish();
        hooks_.on_finished();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        receiver_name_ = m.text;
    }
    // The server greets the receiver and then marks it ready, under its
    // lock, so that the greeting comes before any frame.
    hooks_.on_ready(*this);
    // Receivers may stay silent for as long as they like from here on.
    net::set_recv_timeout(fd, std::chrono::milliseconds(0));
    while (!finished_.load()) {
        r = read_message(fd, m);
        if (r == ReadResult::closed)
            break;
        if (r == ReadResult::bad) {
            hooks_.on_bad_peer();
            break;
        }
        switch (m.header.type) {
        case wire::MessageType::ptz:
            if (auto f = wire::decode_ptz(m.header, m.fixed))
                hooks_.on_ptz(*f);
            break;
        case wire::MessageType::hello:
            break;  // a repeated hello changes nothing
        default:
            // Media and source-side messages have no business here.
            hooks_.on_bad_peer();
            finish();
            break;
        }
    }
    finish();
    hooks_.on_finished();
}

void ServerConnection::write_loop()
{
    PacketPtr p;
    while (queue_.pop(p)) {
        if (!net::write_all(fd_.get(), p->bytes)) {
            finish();
            break;
        }
        p.reset();
    }
}

}  // namespace qrv::transport
