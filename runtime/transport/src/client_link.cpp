// A receiver's link as a whole: its thread, which connects (the same-host
// path first, TCP when that does not work) and connects again after a
// pause when a connection ends, and the channel through which others post
// messages for the current connection. Serving one connection is in
// client_session.cpp, the frames of the same-host path in
// client_shared_frames.cpp.
#include "transport/client_link.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "base/log.h"
#include "base/thread_name.h"
#include "base/unix_socket.h"
#include "transport/tls_stream.h"

namespace qrv::transport {

namespace {

// Same-host connections in a row that end before anything but the greeting
// came through; beyond, the link takes TCP instead.
constexpr int kSharedAttempts = 3;

// How long a link waits before it connects to another instance at the
// address it left: time for a new host there to become reachable (below).
constexpr std::chrono::milliseconds kNewHostSettle{100};

}  // namespace

ClientLink::ClientLink(Resolver resolve, std::string receiver_name, wire::HelloFields wishes, LinkEvents& events,
                       LinkOptions options)
    : resolve_(std::move(resolve)),
      receiver_name_(std::move(receiver_name)),
      wishes_(wishes),
      events_(events),
      options_(options)
{
    thread_ = std::thread([this] {
        name_this_thread("qrv-link");
        run();
    });
}

ClientLink::~ClientLink()
{
    // What must still reach the source is written and the connection
    // closed gently by the link's thread, within the close timeout; with
    // nothing of the kind (the usual case) the socket is shut at once.
    std::shared_ptr<Channel> unsettled;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        if (channel_ && channel_->unsettled())
            unsettled = channel_;
        else
            net::shutdown_both(fd_);
    }
    wake_.notify_all();
    if (unsettled) {
        const auto by = std::chrono::steady_clock::now() + options_.close_timeout;
        closing_ = true;
        unsettled->wake();
        std::unique_lock lock(mutex_);
        const bool closed = wake_.wait_until(lock, by, [this] { return fd_ < 0; });
        net::shutdown_both(fd_);
        lock.unlock();
        if (!closed)
            QRV_LOG_AT(info, receiver, "receiver '%s': what was left to send did not all go out within %lld ms",
                       log_name(), (long long)options_.close_timeout.count());
    }
    thread_.join();
}

bool ClientLink::stopping()
{
    std::lock_guard lock(mutex_);
    return stopping_;
}

bool ClientLink::pause(std::chrono::milliseconds how_long)
{
    std::unique_lock lock(mutex_);
    // Cut short when the source was listed elsewhere: the new place is
    // tried at once.
    wake_.wait_for(lock, how_long, [this] { return stopping_ || moved_; });
    return !stopping_;
}

void ClientLink::moved(const Endpoint& where)
{
    std::string left;
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || (target_ && same_instance(*target_, where)))
            return;
        moved_ = true;
        if (target_)
            left = target_->address + ":" + std::to_string(target_->port);
        // The connection goes to where the source no longer is: its reader
        // sees the end at once rather than after the silence timeout.
        net::shutdown_both(fd_);
    }
    wake_.notify_all();
    QRV_LOG_AT(info, receiver, "receiver '%s': the source is now listed at %s:%u%s%s; connecting there", log_name(),
               where.address.c_str(), (unsigned)where.port, left.empty() ? "" : ", leaving ", left.c_str());
}

std::shared_ptr<ClientLink::Channel> ClientLink::channel()
{
    std::lock_guard lock(mutex_);
    if (stopping_ || !connected_)
        return nullptr;
    return channel_;
}

bool ClientLink::send(const std::vector<uint8_t>& bytes)
{
    const auto c = channel();
    return c && c->post(bytes);
}

const char* ClientLink::log_name() const
{
    return receiver_name_.empty() ? "(unnamed)" : receiver_name_.c_str();
}

// How connecting went; the retry state carries over between attempts.
struct ClientLink::Attempt {
    net::Fd fd;
    bool shared = false;  // the fd is the same-host path's socket
    std::string path;     // that path, when it was tried
    std::string target;   // address:port, for log lines
    std::string why = "the source is not found and has no usable locator";
};

void ClientLink::run()
{
    Backoff backoff{options_.retry_min};
    for (;;) {
        std::optional<Endpoint> where;
        bool moved = false;
        if (!begin_attempt(where, moved))
            return;
        // Listed elsewhere: the new place gets the quick retries of a fresh
        // start should it fail too.
        if (moved) {
            backoff.retry = options_.retry_min;
            backoff.failing = false;
        }
        Attempt attempt = dial(where);
        // With a key, TCP runs TLS, read and written by this thread alone.
        std::unique_ptr<TlsStream> tls;
        std::string peer, local;
        if (attempt.fd && !attempt.shared && options_.keys) {
            peer = net::peer_text(attempt.fd.get());
            local = net::local_address(attempt.fd.get());
            tls = secure(std::move(attempt.fd), peer);
            if (!tls) {
                backoff.retry = std::min(backoff.retry * 2, options_.retry_max);
                if (!pause(backoff.retry))
                    return;
                continue;
            }
        }
        if (attempt.fd || tls) {
            PlainStream plain(attempt.fd.get());
            const Served served = tls ? serve(*tls, false, peer, operator_proof(tls->session()), local)
                                      : serve(plain, attempt.shared, peer);
            // Closed before the pause, as the source expects of a link that left.
            tls.reset();
            attempt.fd.reset();
            after_served(served, attempt, backoff);
        } else {
            could_not_connect(attempt, backoff);
        }
        if (!pause(backoff.retry))
            return;
    }
}

ClientLink::Attempt ClientLink::dial(const std::optional<Endpoint>& where)
{
    Attempt a;
    if (!where)
        return a;
    a.target = where->address + ":" + std::to_string(where->port);
    // The same-host path first, unless it failed before; TCP when the
    // socket cannot be reached (another host or namespace).
    {
        std::lock_guard lock(mutex_);
        if (options_.shared_memory && !where->unix_path.empty() && where->unix_path != failed_path_)
            a.path = where->unix_path;
    }
    if (!a.path.empty()) {
        a.fd = net::connect_unix(a.path);
        a.shared = static_cast<bool>(a.fd);
    }
    if (!a.fd)
        a.fd = net::connect_tcp(where->address, where->port, options_.connect_timeout, &a.why);
    return a;
}

void ClientLink::after_served(const Served& served, const Attempt& attempt, Backoff& backoff)
{
    if (served.greeted) {
        key_failing_ = false;
        backoff.retry = options_.retry_min;
        backoff.failing = false;
        handshake_failing_ = false;
    } else if (!attempt.shared) {
        // Taken but never greeted: backoff as for a refusal.
        backoff.retry = std::min(backoff.retry * 2, options_.retry_max);
    }
    if (!attempt.shared)
        return;
    backoff.shared_failures = served.well && delivered_ ? 0 : backoff.shared_failures + 1;
    if (!served.well || backoff.shared_failures >= kSharedAttempts) {
        QRV_LOG_AT(info, receiver, "receiver '%s': the same-host path to %s did not work; using TCP", log_name(),
                   attempt.target.c_str());
        backoff.shared_failures = 0;
        std::lock_guard lock(mutex_);
        failed_path_ = attempt.path;
    }
}

void ClientLink::could_not_connect(const Attempt& attempt, Backoff& backoff)
{
    backoff.retry = std::min(backoff.retry * 2, options_.retry_max);
    const char* to = attempt.target.empty() ? "" : " to ";
    // The first failure in a row at info, the retries at debug.
    if (!backoff.failing)
        QRV_LOG_AT(info, receiver, "receiver '%s' could not connect%s%s: %s; retrying", log_name(), to,
                   attempt.target.c_str(), attempt.why.c_str());
    else
        QRV_LOG_AT(debug, receiver, "receiver '%s' could not connect%s%s: %s; retrying in %lld ms", log_name(), to,
                   attempt.target.c_str(), attempt.why.c_str(), (long long)backoff.retry.count());
    backoff.failing = true;
}

bool ClientLink::begin_attempt(std::optional<Endpoint>& where, bool& moved)
{
    std::optional<Endpoint> left;
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return false;
        moved = std::exchange(moved_, false);
        if (moved)
            left = target_;
    }
    where = resolve_ ? resolve_() : std::nullopt;
    {
        std::lock_guard lock(mutex_);
        target_ = where;
    }
    // Another instance at the address just left may be a new host that took
    // the address: this host's kernel learns its hardware address from the
    // new host's answer to discovery (asked directly when the move was
    // seen) within moments; connecting before that sends to the vanished
    // host and waits out the connect timeout.
    if (where && left && left->address == where->address)
        return pause(std::min(options_.retry_min, kNewHostSettle));
    return true;
}

std::shared_ptr<ClientLink::Channel> ClientLink::open_channel(ByteStream& stream)
{
    // Without a descriptor to spare for it (a process at its limit), the
    // link goes on without the eventfd and looks at its outbox often.
    auto channel = std::make_shared<Channel>(stream, net::Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)));
    const int fd = stream.fd();
    std::lock_guard lock(mutex_);
    // Listed elsewhere while this connection was being made: it goes to
    // where the source no longer is, and is closed unused.
    if (stopping_ || moved_)
        return nullptr;
    fd_ = fd;
    channel_ = channel;
    return channel;
}

void ClientLink::close_channel(Channel& channel)
{
    channel.close();
    {
        std::lock_guard lock(mutex_);
        fd_ = -1;
        channel_.reset();
    }
    wake_.notify_all();  // a destructor waiting for the gentle close
}

}  // namespace qrv::transport
