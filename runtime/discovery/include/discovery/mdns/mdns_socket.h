// The multicast DNS socket of a process: bound to port 5353 with address
// and port reuse (several processes on a host share the port, and each
// receives every multicast packet), member of 224.0.0.251 on every
// interface of the scope, and sending out of one chosen interface at a time
// with TTL 255 and loop-back on. One socket serves all interfaces: the
// interface a packet arrived on comes with it, so that delivery never
// depends on how the kernel spreads multicast over several sockets.
// Received packets are accepted only when they arrived on an interface of
// the scope and come from its own subnet (on loopback: from 127/8). The
// receive queue is enlarged (as far as the kernel allows), and the packets
// the kernel dropped because it was full are counted.
#ifndef QRV_DISCOVERY_MDNS_SOCKET_H
#define QRV_DISCOVERY_MDNS_SOCKET_H

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/scope.h"

namespace qrv::discovery {

struct Datagram {
    std::vector<uint8_t> bytes;
    uint32_t source_address = 0;  // network byte order
    uint16_t source_port = 0;     // host byte order
    unsigned ifindex = 0;         // where it arrived
};

class MdnsSocket {
public:
    // Nothing when the socket cannot be set up or joins no interface at
    // all; interfaces that refuse the group are left out.
    static std::unique_ptr<MdnsSocket> open(const std::vector<Interface>& interfaces, std::string* error);
    ~MdnsSocket();
    MdnsSocket(const MdnsSocket&) = delete;
    MdnsSocket& operator=(const MdnsSocket&) = delete;

    int fd() const { return fd_; }
    // The interfaces that joined the group.
    const std::vector<Interface>& interfaces() const { return interfaces_; }
    const Interface* interface(unsigned ifindex) const;

    bool send_multicast(std::span<const uint8_t> bytes, unsigned ifindex);
    bool send_unicast(std::span<const uint8_t> bytes, unsigned ifindex, uint32_t address, uint16_t port);

    enum class Receive { packet, none, rejected };
    // Never blocks. `rejected`: a packet arrived but failed the checks
    // (interface out of scope, foreign subnet, oversized).
    Receive receive(Datagram& out);

    // Packets the kernel dropped so far because the receive queue was full
    // (as of the last packet received; wraps at 2^32).
    uint32_t dropped() const { return dropped_; }

    // The source-address rule, on its own for tests.
    static bool source_allowed(const Interface& iface, uint32_t source_address);

private:
    MdnsSocket(int fd, std::vector<Interface> interfaces) : fd_(fd), interfaces_(std::move(interfaces)) {}
    bool select_interface(unsigned ifindex);
    int fd_;
    std::vector<Interface> interfaces_;
    unsigned selected_ = 0;
    uint32_t dropped_ = 0;
};

}  // namespace qrv::discovery

#endif
