// The network scope of the runtime: the interfaces on which it publishes,
// browses and accepts connections. By default only loopback, so that a
// source is visible on this host alone. The environment variable
// QRV_INTERFACES widens it: a comma-separated list of interface names, or
// "all" for every IPv4 interface that is up (loopback included).
#ifndef QRV_SCOPE_H
#define QRV_SCOPE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qrv {

struct Interface {
    std::string name;
    unsigned index = 0;     // kernel interface index
    uint32_t address = 0;   // IPv4, network byte order
    uint32_t netmask = 0;   // network byte order
    bool loopback = false;
    std::string address_text() const;
};

struct Scope {
    std::vector<Interface> interfaces;
    // Names in QRV_INTERFACES that matched no interface that is up.
    std::vector<std::string> unmatched;

    bool loopback_only() const;
    // The interface whose subnet holds the address (network byte order),
    // if any.
    const Interface* interface_for(uint32_t address) const;

    // From the value of QRV_INTERFACES (null: unset; the library passes
    // what its Settings read). Names that match no interface that is up are
    // left out; a scope never ends up empty: loopback remains.
    static Scope from_value(const char* value);
};

}  // namespace qrv

#endif
