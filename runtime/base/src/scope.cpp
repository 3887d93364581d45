#include "base/scope.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace qrv {

std::string Interface::address_text() const
{
    char text[INET_ADDRSTRLEN] = {};
    in_addr a;
    a.s_addr = address;
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

bool Scope::loopback_only() const
{
    for (const auto& i : interfaces)
        if (!i.loopback)
            return false;
    return true;
}

const Interface* Scope::interface_for(uint32_t address) const
{
    for (const auto& i : interfaces)
        if ((address & i.netmask) == (i.address & i.netmask))
            return &i;
    return nullptr;
}

namespace {

std::vector<Interface> up_interfaces()
{
    std::vector<Interface> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return out;
    for (ifaddrs* p = list; p; p = p->ifa_next) {
        if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET || !(p->ifa_flags & IFF_UP) || !p->ifa_name)
            continue;
        Interface i;
        i.name = p->ifa_name;
        i.index = if_nametoindex(p->ifa_name);
        i.address = reinterpret_cast<sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr;
        i.netmask = p->ifa_netmask ? reinterpret_cast<sockaddr_in*>(p->ifa_netmask)->sin_addr.s_addr : 0xffffffffu;
        i.loopback = (p->ifa_flags & IFF_LOOPBACK) != 0;
        out.push_back(i);
    }
    freeifaddrs(list);
    return out;
}

Interface loopback_interface()
{
    Interface lo;
    lo.name = "lo";
    lo.index = if_nametoindex("lo");
    lo.address = htonl(INADDR_LOOPBACK);
    lo.netmask = htonl(0xff000000u);
    lo.loopback = true;
    return lo;
}

}  // namespace

Scope Scope::from_value(const char* value)
{
    Scope scope;
    const std::string_view v = value ? std::string_view(value) : std::string_view();
    const auto up = up_interfaces();
    bool have_loopback = false;
    if (v == "all") {
        scope.interfaces = up;
    } else {
        size_t pos = 0;
        while (pos <= v.size() && !v.empty()) {
            const size_t comma = v.find(',', pos);
            const std::string_view name = v.substr(pos, comma == std::string_view::npos ? v.npos : comma - pos);
            bool matched = false;
            for (const auto& i : up)
                if (!name.empty() && i.name == name) {
                    scope.interfaces.push_back(i);
                    matched = true;
                }
            if (!matched && !name.empty())
                scope.unmatched.emplace_back(name);
            if (comma == std::string_view::npos)
                break;
            pos = comma + 1;
        }
    }
    for (const auto& i : scope.interfaces)
        have_loopback = have_loopback || i.loopback;
    // Loopback always stays in scope: sources of this host remain visible.
    if (!have_loopback)
        scope.interfaces.insert(scope.interfaces.begin(), loopback_interface());
    return scope;
}

}  // namespace qrv
