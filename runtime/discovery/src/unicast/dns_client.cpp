#include "discovery/unicast/dns_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/socket.h"

namespace qrv::discovery {

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in to_sockaddr(const ServerAddress& server)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = server.address;
    sa.sin_port = htons(server.port);
    return sa;
}

uint16_t id_of(std::span<const uint8_t> bytes)
{
    return bytes.size() >= 2 ? uint16_t(bytes[0] << 8 | bytes[1]) : 0;
}

DnsClient::Reply parsed(std::vector<uint8_t> bytes)
{
    DnsClient::Reply reply;
    auto result = parse_message(bytes);
    if (!result.message || !result.message->is_response()) {
        reply.status = DnsClient::Status::malformed;
        reply.error = result.message ? "the reply is not a response" : "the reply could not be parsed";
        return reply;
    }
    reply.status = DnsClient::Status::ok;
    reply.message = std::move(*result.message);
    reply.bytes = std::move(bytes);
    return reply;
}

}  // namespace

std::string ServerAddress::text() const
{
    in_addr a;
    a.s_addr = address;
    char buffer[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, buffer, sizeof buffer);
    return std::string(buffer) + ":" + std::to_string(port);
}

std::optional<ServerAddress> parse_server(std::string_view text)
{
    ServerAddress server;
    std::string host(text);
    if (const auto colon = host.find(':'); colon != std::string::npos) {
        const std::string port = host.substr(colon + 1);
        host.resize(colon);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        const unsigned long value = std::stoul(port);
        if (value == 0 || value > 65535)
            return std::nullopt;
        server.port = uint16_t(value);
    }
    in_addr a;
    if (inet_pton(AF_INET, host.c_str(), &a) != 1)
        return std::nullopt;
    server.address = a.s_addr;
    return server;
}

std::optional<ServerAddress> system_nameserver(const std::string& path)
{
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string keyword, value;
        if (words >> keyword >> value && keyword == "nameserver")
            if (auto server = parse_server(value))
                return server;
    }
    return std::nullopt;
}

DnsClient::Reply DnsClient::exchange(const ServerAddress& server, std::span<const uint8_t> request) const
{
    if (request.size() < 12 || request.size() > 0xffff) {
        Reply r;
        r.error = "the request is not a DNS message";
        return r;
    }
    Reply reply = request.size() <= 512 ? over_udp(server, request) : Reply{};
    if (request.size() > 512 || (reply.status == Status::ok && reply.message.truncated()))
        reply = over_tcp(server, request);
    return reply;
}

DnsClient::Reply DnsClient::over_udp(const ServerAddress& server, std::span<const uint8_t> request) const
{
    Reply reply;
    net::Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const sockaddr_in sa = to_sockaddr(server);
    // Connected: the kernel drops datagrams from any other address or port.
    if (!fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
        ::send(fd.get(), request.data(), request.size(), 0) != ssize_t(request.size())) {
        reply.error = std::string("could not send to ") + server.text() + ": " + std::strerror(errno);
        return reply;
    }
    const auto deadline = Clock::now() + timeout_;
    std::vector<uint8_t> buffer(kMaxPacketBytes + 1);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd.get(), POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, int(left)) <= 0) {
            reply.status = Status::timeout;
            reply.error = "no reply from " + server.text();
            return reply;
        }
        const ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            // ICMP port unreachable and the like.
            reply.error = std::string("no DNS server at ") + server.text() + ": " + std::strerror(errno);
            return reply;
        }
        if (size_t(n) < 12 || id_of(std::span(buffer.data(), size_t(n))) != id_of(request))
            continue;  // not the reply to this request
        if (size_t(n) > kMaxPacketBytes) {
            reply.status = Status::malformed;
            reply.error = "oversized reply";
            return reply;
        }
        return parsed(std::vector<uint8_t>(buffer.begin(), buffer.begin() + n));
    }
}

DnsClient::Reply DnsClient::over_tcp(const ServerAddress& server, std::span<const uint8_t> request) const
{
    Reply reply;
    in_addr a;
    a.s_addr = server.address;
    char host[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, host, sizeof host);
    std::string why;
    net::Fd fd = net::connect_tcp(host, server.port, timeout_, &why);
    if (!fd) {
        reply.error = "could not connect to " + server.text() + ": " + why;
        return reply;
    }
    net::set_send_timeout(fd.get(), timeout_);
    net::set_recv_timeout(fd.get(), timeout_);
    const uint8_t length[2] = {uint8_t(request.size() >> 8), uint8_t(request.size())};
    if (!net::write_all(fd.get(), length) || !net::write_all(fd.get(), request)) {
        reply.error = "could not send to " + server.text() + " over TCP";
        return reply;
    }
    uint8_t header[2];
    if (!net::wait_readable(fd.get(), timeout_) || !net::read_exact(fd.get(), header)) {
        reply.status = Status::timeout;
        reply.error = "no reply from " + server.text() + " over TCP";
        return reply;
    }
    const size_t size = size_t(header[0] << 8 | header[1]);
    if (size < 12 || size > kMaxPacketBytes) {
        reply.status = Status::malformed;
        reply.error = "a TCP reply of " + std::to_string(size) + " bytes";
        return reply;
    }
    std::vector<uint8_t> bytes(size);
    if (!net::read_exact(fd.get(), bytes)) {
        reply.status = Status::timeout;
        reply.error = "the TCP reply from " + server.text() + " ended early";
        return reply;
    }
    if (id_of(bytes) != id_of(request)) {
        reply.status = Status::malformed;
        reply.error = "a TCP reply to another request";
        return reply;
    }
    return parsed(std::move(bytes));
}

std::optional<uint32_t> DnsClient::local_address_toward(const ServerAddress& server)
{
    net::Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_in sa = to_sockaddr(server);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (!fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0 || local.sin_addr.s_addr == 0)
        return std::nullopt;
    return local.sin_addr.s_addr;
}

}  // namespace qrv::discovery
