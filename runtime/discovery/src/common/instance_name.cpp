#include "discovery/common/instance_name.h"

#include <unistd.h>

#include "discovery/common/dns_message.h"

namespace qrv::discovery {

namespace {

// Cuts to at most n bytes without splitting a UTF-8 sequence.
std::string_view utf8_prefix(std::string_view s, size_t n)
{
    if (s.size() <= n)
        return s;
    size_t end = n;
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xc0) == 0x80)
        --end;
    return s.substr(0, end);
}

}  // namespace

std::string instance_label(std::string_view host, std::string_view source, unsigned number)
{
    const std::string suffix = number > 1 ? " (" + std::to_string(number) + ")" : std::string();
    host = utf8_prefix(host, 24);
    // host + " (" + source + suffix + ")"
    const size_t fixed = host.size() + 3 + suffix.size();
    const size_t room = kMaxLabelBytes > fixed ? kMaxLabelBytes - fixed : 0;
    std::string label(host);
    label += " (";
    label += utf8_prefix(source, room);
    label += suffix;
    label += ")";
    return label;
}

std::string short_host_name()
{
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0')
        return "localhost";
    std::string host(buf);
    host = host.substr(0, host.find('.'));
    for (auto& c : host) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        if (!ok)
            c = '-';
    }
    if (host.empty())
        host = "localhost";
    return host.substr(0, kMaxLabelBytes);
}

}  // namespace qrv::discovery
