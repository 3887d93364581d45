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

void ClientLink::run()
{
    auto retry = options_.retry_min;
    bool failing = false;  // the current run of failed attempts was logged
    int shared_failures = 0;  // in a row
    for (;;) {
        std::optional<Endpoint> where;
        bool moved = false;
        if (!begin_attempt(where, moved))
            return;
        // Listed elsewhere: the new place gets the quick retries of a fresh
        // start should it fail too.
        if (moved) {
            retry = options_.retry_min;
            failing = false;
        }
        net::Fd fd;
        bool shared = false;
        std::string path, why = "the source is not found and has no usable locator", target;
        if (where) {
            target = where->address + ":" + std::to_string(where->port);
            // The same-host path first, unless it failed before; TCP when
            // the socket cannot be reached (another host or namespace).
            {
                std::lock_guard lock(mutex_);
                if (options_.shared_memory && !where->unix_path.empty() && where->unix_path != failed_path_)
                    path = where->unix_path;
            }
            if (!path.empty()) {
                fd = net::connect_unix(path);
                shared = static_cast<bool>(fd);
            }
            if (!fd)
                fd = net::connect_tcp(where->address, where->port, options_.connect_timeout, &why);
        }
        // With a key, TCP runs TLS, read and written by this thread alone.
        std::unique_ptr<TlsStream> tls;
        std::string peer, local;
        if (fd && !shared && options_.keys) {
            peer = net::peer_text(fd.get());
            local = net::local_address(fd.get());
            tls = secure(std::move(fd), peer);
            if (!tls) {
                retry = std::min(retry * 2, options_.retry_max);
                if (!pause(retry))
                    return;
                continue;
            }
        }
        if (fd || tls) {
            PlainStream plain(fd.get());
            const Served served = tls ? serve(*tls, false, peer, operator_proof(tls->session()), local)
                                      : serve(plain, shared, peer);
            // Closed before the pause, as the source expects of a link that left.
            tls.reset();
            fd.reset();
            if (served.greeted) {
                key_failing_ = false;
                retry = options_.retry_min;
                failing = false;
                handshake_failing_ = false;
            } else if (!shared) {
                // Taken but never greeted: backoff as for a refusal.
                retry = std::min(retry * 2, options_.retry_max);
            }
            if (shared) {
                shared_failures = served.well && delivered_ ? 0 : shared_failures + 1;
                if (!served.well || shared_failures >= kSharedAttempts) {
                    QRV_LOG_AT(info, receiver, "receiver '%s': the same-host path to %s did not work; using TCP",
                               log_name(), target.c_str());
                    shared_failures = 0;
                    std::lock_guard lock(mutex_);
                    failed_path_ = path;
                }
            }
        } else {
            retry = std::min(retry * 2, options_.retry_max);
            // The first failure in a row at info, the retries at debug.
            if (!failing)
                QRV_LOG_AT(info, receiver, "receiver '%s' could not connect%s%s: %s; retrying", log_name(),
                           target.empty() ? "" : " to ", target.c_str(), why.c_str());
            else
                QRV_LOG_AT(debug, receiver, "receiver '%s' could not connect%s%s: %s; retrying in %lld ms", log_name(),
                           target.empty() ? "" : " to ", target.c_str(), why.c_str(), (long long)retry.count());
            failing = true;
        }
        if (!pause(retry))
            return;
    }
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
