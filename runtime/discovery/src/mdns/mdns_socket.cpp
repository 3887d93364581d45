#include "discovery/mdns/mdns_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "discovery/common/dns_message.h"

namespace qrv::discovery {

namespace {

constexpr uint16_t kPort = 5353;
constexpr const char* kGroup = "224.0.0.251";
// The receive queue asked for: room for some thousands of packets, so that
// a burst or a flood of announcements outlasts a few hundred milliseconds
// in which the thread does not run, instead of drowning the few answers
// that matter. The kernel caps it at its own maximum.
constexpr int kReceiveBufferBytes = 4 << 20;

}  // namespace

std::unique_ptr<MdnsSocket> MdnsSocket::open(const std::vector<Interface>& interfaces, std::string* error)
{
    auto fail = [&](int fd, const char* what) -> std::unique_ptr<MdnsSocket> {
        if (error)
            *error = std::string(what) + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return nullptr;
    };
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail(fd, "socket");
    const int one = 1, zero = 0;
    const unsigned char ttl = 255, loop = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0)
        return fail(fd, "reuse");
    // Only the groups joined here, on the interfaces joined here.
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);
    if (setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one) != 0)
        return fail(fd, "pktinfo");
    // Best effort both: a larger queue, and the count of what it dropped.
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
    setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one);
    sockaddr_in bind_to{};
    bind_to.sin_family = AF_INET;
    bind_to.sin_port = htons(kPort);
    bind_to.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&bind_to), sizeof bind_to) != 0)
        return fail(fd, "bind");
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0)
        return fail(fd, "multicast options");
    std::vector<Interface> joined;
    for (const auto& iface : interfaces) {
        ip_mreqn mreq{};
        inet_pton(AF_INET, kGroup, &mreq.imr_multiaddr);
        mreq.imr_address.s_addr = iface.address;
        mreq.imr_ifindex = int(iface.index);
        if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) == 0)
            joined.push_back(iface);
    }
    if (joined.empty())
        return fail(fd, "join");
    return std::unique_ptr<MdnsSocket>(new MdnsSocket(fd, std::move(joined)));
}

MdnsSocket::~MdnsSocket()
{
    ::close(fd_);
}

const Interface* MdnsSocket::interface(unsigned ifindex) const
{
    for (const auto& i : interfaces_)
        if (i.index == ifindex)
            return &i;
    return nullptr;
}

bool MdnsSocket::source_allowed(const Interface& iface, uint32_t source)
{
    if (iface.loopback)
        return (ntohl(source) >> 24) == 127;
    return (source & iface.netmask) == (iface.address & iface.netmask);
}

bool MdnsSocket::select_interface(unsigned ifindex)
{
    const Interface* iface = interface(ifindex);
    if (!iface)
        return false;
    if (selected_ == ifindex)
        return true;
    ip_mreqn out_if{};
    out_if.imr_address.s_addr = iface->address;
    out_if.imr_ifindex = int(iface->index);
    if (setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &out_if, sizeof out_if) != 0)
        return false;
    selected_ = ifindex;
    return true;
}

bool MdnsSocket::send_multicast(std::span<const uint8_t> bytes, unsigned ifindex)
{
    if (!select_interface(ifindex))
        return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kPort);
    inet_pton(AF_INET, kGroup, &to.sin_addr);
    return ::sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
           ssize_t(bytes.size());
}

bool MdnsSocket::send_unicast(std::span<const uint8_t> bytes, unsigned ifindex, uint32_t address, uint16_t port)
{
    const Interface* iface = interface(ifindex);
    if (!iface || !source_allowed(*iface, address))
        return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    return ::sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
           ssize_t(bytes.size());
}

MdnsSocket::Receive MdnsSocket::receive(Datagram& out)
{
    out.bytes.resize(kMaxPacketBytes + 1);
    sockaddr_in from{};
    alignas(cmsghdr) char control[256];
    iovec iov{out.bytes.data(), out.bytes.size()};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd_, &msg, MSG_DONTWAIT);
    if (n < 0)
        return Receive::none;
    int arrived_on = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            arrived_on = info.ipi_ifindex;
        } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
            uint32_t dropped = 0;
            std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
            dropped_ = dropped;
        }
    }
    // The sender is filled in for rejected packets too, for the log.
    out.source_address = from.sin_addr.s_addr;
    out.source_port = ntohs(from.sin_port);
    const Interface* iface = arrived_on > 0 ? interface(unsigned(arrived_on)) : nullptr;
    if ((msg.msg_flags & MSG_TRUNC) || size_t(n) > kMaxPacketBytes || msg.msg_namelen < sizeof from || !iface ||
        !source_allowed(*iface, from.sin_addr.s_addr) || from.sin_port == 0)
        return Receive::rejected;
    out.bytes.resize(size_t(n));
    out.ifindex = iface->index;
    return Receive::packet;
}

}  // namespace qrv::discovery
