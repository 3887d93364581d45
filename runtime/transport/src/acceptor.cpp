// The listening sockets of a source's server and the thread that accepts on
// them.
#include "transport/acceptor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <utility>

#include "base/error.h"
#include "base/log.h"
#include "base/thread_name.h"
#include "base/unix_socket.h"

namespace qrv::transport {

Acceptor::Acceptor(const Scope& scope, uint16_t port, bool shared_memory, const std::string& name)
{
    // One port for every address of the scope: the first bind picks it.
    std::string first_address, public_address;
    std::vector<std::pair<std::string, std::string>> failed;  // address, why
    for (const auto& iface : scope.interfaces) {
        const std::string address = iface.address_text();
        std::string why;
        net::Fd fd = net::listen_tcp(address, port, 128, &why);
        if (!fd) {
            failed.emplace_back(port ? address + ":" + std::to_string(port) : address, why);
            continue;
        }
        if (first_address.empty()) {
            port = net::local_port(fd.get());
            first_address = address;
        }
        if (!iface.loopback && public_address.empty())
            public_address = address;
        listeners_.push_back(std::move(fd));
        listener_shared_.push_back(false);
    }
    if (listeners_.empty() || port == 0) {
        std::string reason = "could not listen on ";
        for (size_t i = 0; i < failed.size(); ++i)
            reason += (i ? "; " : "") + failed[i].first + ": " + failed[i].second;
        throw Error(failed.empty() ? "could not listen: no address in scope" : reason);
    }
    for (const auto& [address, why] : failed)
        QRV_LOG_AT(warn, transport, "'%s' does not listen on %s: %s", name.c_str(), address.c_str(), why.c_str());
    if (shared_memory) {
        // Without it receivers simply use TCP.
        std::string path;
        if (net::Fd fd = net::listen_unix(path)) {
            listeners_.push_back(std::move(fd));
            listener_shared_.push_back(true);
            endpoint_.unix_path = path;
        }
    }
    wake_ = net::Fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_)
        throw Error("could not create an eventfd: " + error_text(errno));
    endpoint_.address = public_address.empty() ? first_address : public_address;
    endpoint_.port = port;
}

Acceptor::~Acceptor()
{
    stop();
}

void Acceptor::start(Admit admit, Round round)
{
    thread_ = std::thread([this, admit = std::move(admit), round = std::move(round)] {
        name_this_thread("qrv-accept");
        run(admit, round);
    });
}

void Acceptor::stop()
{
    if (!thread_.joinable())
        return;
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake_.get(), &one, sizeof one);
    thread_.join();
}

void Acceptor::run(const Admit& admit, const Round& round)
{
    std::vector<pollfd> fds;
    for (const auto& l : listeners_)
        fds.push_back(pollfd{l.get(), POLLIN, 0});
    fds.push_back(pollfd{wake_.get(), POLLIN, 0});
    // A descriptor kept in reserve: out of descriptors, it is given up for a
    // moment to accept the waiting peer and close it at once, so that the
    // peer learns it was refused rather than waiting in the backlog.
    net::Fd spare(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    auto resting_until = std::chrono::steady_clock::time_point::min();
    for (;;) {
        // While resting after running out of descriptors, the listeners are
        // not polled: their backlog stays readable and would spin the loop.
        const bool resting = std::chrono::steady_clock::now() < resting_until;
        for (size_t i = 0; i + 1 < fds.size(); ++i)
            fds[i].events = resting ? 0 : POLLIN;
        for (auto& p : fds)
            p.revents = 0;
        const int r = ::poll(fds.data(), fds.size(), resting ? 20 : 100);
        if (fds.back().revents & POLLIN)
            break;
        round();
        if (r <= 0)
            continue;
        for (size_t i = 0; i + 1 < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            net::Fd peer(::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC));
            if (peer) {
                if (!admit(std::move(peer), listener_shared_[i]))
                    break;
                continue;
            }
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                ++shed_;
                if (spare) {
                    spare.reset();
                    net::Fd shed(::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC));
                    shed.reset();
                    spare = net::Fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
                }
                resting_until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
            }
        }
    }
}

}  // namespace qrv::transport
