#include "base/locator.h"

#include <arpa/inet.h>

#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstdio>
#include <random>

namespace qrv {

namespace {

constexpr std::string_view kScheme = "qrv://";
constexpr size_t kMaxLocator = 1024;

bool valid_field(std::string_view v)
{
    for (char c : v)
        if (c == '&' || c == '?' || c == '\0' || (unsigned char)c < 0x20)
            return false;
    return true;
}

}  // namespace

std::string new_source_id()
{
    static std::atomic<uint64_t> counter{0};
    static const uint64_t process_random = [] {
        std::random_device device;
        return (uint64_t(device()) << 32) ^ device() ^ (uint64_t)::getpid();
    }();
    char text[40];
    std::snprintf(text, sizeof text, "%016llx-%llu", (unsigned long long)process_random,
                  (unsigned long long)counter.fetch_add(1) + 1);
    return text;
}

std::string format_locator(const Endpoint& e)
{
    std::string out(kScheme);
    out += e.address;
    out += ':';
    out += std::to_string(e.port);
    char sep = '?';
    if (!e.unix_path.empty()) {
        out += sep;
        out += "unix=";
        out += e.unix_path;
        sep = '&';
    }
    if (!e.id.empty()) {
        out += sep;
        out += "id=";
        out += e.id;
    }
    return out;
}

std::optional<Endpoint> parse_locator(std::string_view text)
{
    if (text.size() > kMaxLocator || text.substr(0, kScheme.size()) != kScheme)
        return std::nullopt;
    text.remove_prefix(kScheme.size());
    const size_t query = text.find('?');
    std::string_view hostport = text.substr(0, query);
    const size_t colon = hostport.rfind(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    Endpoint e;
    e.address = std::string(hostport.substr(0, colon));
    in_addr addr;
    if (inet_pton(AF_INET, e.address.c_str(), &addr) != 1)
        return std::nullopt;
    std::string_view port = hostport.substr(colon + 1);
    unsigned value = 0;
    auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (ec != std::errc() || end != port.data() + port.size() || port.empty() || value == 0 || value > 65535)
        return std::nullopt;
    e.port = (uint16_t)value;
    if (query != std::string_view::npos) {
        std::string_view rest = text.substr(query + 1);
        while (!rest.empty()) {
            const size_t amp = rest.find('&');
            std::string_view item = rest.substr(0, amp);
            rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
            const size_t eq = item.find('=');
            if (eq == std::string_view::npos)
                return std::nullopt;
            std::string_view key = item.substr(0, eq), val = item.substr(eq + 1);
            if (!valid_field(val))
                return std::nullopt;
            if (key == "unix")
                e.unix_path = std::string(val);
            else if (key == "id")
                e.id = std::string(val);
            // Unknown keys are ignored so that later versions can add some.
        }
    }
    return e;
}

bool same_instance(const Endpoint& a, const Endpoint& b)
{
    if (a.port != b.port)
        return false;
    return !a.id.empty() && !b.id.empty() ? a.id == b.id : a.address == b.address;
}

}  // namespace qrv
