#include "transport/multicast_settings.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <string>

#include "base/log.h"

namespace qrv::transport {

namespace {

std::optional<long long> whole_number(const std::string& text, long long least, long long most)
{
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < least || v > most)
        return std::nullopt;
    return v;
}

}  // namespace

std::optional<std::pair<uint32_t, int>> parse_multicast_range(std::string_view text)
{
    const auto slash = text.find('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    const std::string address(text.substr(0, slash));
    const auto prefix = whole_number(std::string(text.substr(slash + 1)), 4, 32);
    in_addr a{};
    if (!prefix || inet_pton(AF_INET, address.c_str(), &a) != 1)
        return std::nullopt;
    const uint32_t base = ntohl(a.s_addr);
    const uint32_t mask = *prefix == 32 ? ~0u : ~(~0u >> *prefix);
    if ((base >> 28) != 0xe || (base & ~mask) != 0)
        return std::nullopt;
    return std::pair<uint32_t, int>(base, static_cast<int>(*prefix));
}

MulticastSettings MulticastSettings::from_settings(const Settings& settings)
{
    MulticastSettings m;
    if (const auto& v = settings.multicast) {
        if (*v == "on" || *v == "1")
            m.offer = true;
        else if (*v == "off" || *v == "0")
            m.join = false;
        else
            QRV_LOG_AT(warn, library, "QRV_MULTICAST='%s' is not on, 1, off or 0; multicast stays off for senders",
                       v->c_str());
    }
    if (const auto& v = settings.multicast_range) {
        if (const auto range = parse_multicast_range(*v)) {
            m.range_base = range->first;
            m.range_prefix = range->second;
        } else {
            QRV_LOG_AT(warn, library, "QRV_MULTICAST_RANGE='%s' is not a multicast range in CIDR; using 239.255.0.0/16",
                       v->c_str());
        }
    }
    if (const auto& v = settings.multicast_ttl) {
        if (const auto ttl = whole_number(*v, 1, 255))
            m.ttl = static_cast<int>(*ttl);
        else
            QRV_LOG_AT(warn, library, "QRV_MULTICAST_TTL='%s' is not a number from 1 to 255; using 1", v->c_str());
    }
    if (const auto& v = settings.multicast_window_ms) {
        if (const auto ms = whole_number(*v, 1, 1000))
            m.window = std::chrono::milliseconds(*ms);
        else
            QRV_LOG_AT(warn, library, "QRV_MULTICAST_WINDOW_MS='%s' is not a number of milliseconds from 1 to 1000; "
                       "using 60", v->c_str());
    }
    return m;
}

std::optional<uint32_t> choose_group(std::string_view identity, const MulticastSettings& settings,
                                     const std::function<bool(uint32_t)>& taken)
{
    // FNV-1a: stable across runs and builds, which std::hash is not.
    uint32_t hash = 2166136261u;
    for (const char c : identity)
        hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
    const uint64_t size = 1ull << (32 - settings.range_prefix);
    for (uint64_t step = 0; step < size; ++step) {
        const uint32_t group = settings.range_base + static_cast<uint32_t>((hash + step) % size);
        if ((group >> 8) == 0xe00000u)  // 224.0.0.0/24: flooded to every port
            continue;
        if (!taken(group))
            return group;
    }
    return std::nullopt;
}

}  // namespace qrv::transport
