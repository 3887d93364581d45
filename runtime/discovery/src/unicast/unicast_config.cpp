#include "discovery/unicast/unicast_config.h"

#include <charconv>

namespace qrv::discovery {

namespace {

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

std::optional<long> number(const char* text, long lo, long hi)
{
    if (!text)
        return std::nullopt;
    long value = 0;
    const std::string_view s(text);
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size() || value < lo || value > hi)
        return std::nullopt;
    return value;
}

}  // namespace

std::optional<Name> parse_domain(std::string_view text)
{
    text = trim(text);
    if (!text.empty() && text.back() == '.')
        text.remove_suffix(1);
    if (text.empty())
        return std::nullopt;
    Name name;
    size_t pos = 0;
    for (;;) {
        const auto dot = text.find('.', pos);
        const auto label = text.substr(pos, dot == std::string_view::npos ? text.npos : dot - pos);
        // Host-name characters (and '_'), as domains are written.
        for (char c : label)
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
                return std::nullopt;
        name.labels.emplace_back(label);
        if (dot == std::string_view::npos)
            break;
        pos = dot + 1;
    }
    if (!name.valid())
        return std::nullopt;
    return name;
}

UnicastConfig UnicastConfig::from_settings(const Settings& settings)
{
    UnicastConfig c;
    if (const char* domain = text_of(settings.dns_domain); domain && *domain) {
        c.domain = parse_domain(domain);
        if (!c.domain)
            c.problems.push_back(std::string("QRV_DNS_DOMAIN '") + domain + "' is not a domain name");
    }
    if (const char* server = text_of(settings.dns_server); server && *server) {
        c.server = parse_server(server);
        if (!c.server)
            c.problems.push_back(std::string("QRV_DNS_SERVER '") + server + "' is not an IPv4 address[:port]");
    } else {
        c.server = system_nameserver();
    }
    if (const char* key = text_of(settings.dns_key); key && *key) {
        std::string why;
        c.key = parse_tsig_key(key, &why);
        if (!c.key)
            c.problems.push_back("QRV_DNS_KEY is refused: " + why);  // the secret stays out of logs
    }
    if (const char* lease = text_of(settings.dns_lease)) {
        if (auto v = number(lease, 5, 3600))
            c.lease = std::chrono::seconds(*v);
        else
            c.problems.push_back(std::string("QRV_DNS_LEASE '") + lease + "' is not a number of seconds in 5..3600");
    }
    if (const char* poll = text_of(settings.dns_poll_ms)) {
        if (auto v = number(poll, 100, 60000))
            c.poll = std::chrono::milliseconds(*v);
        else
            c.problems.push_back(std::string("QRV_DNS_POLL_MS '") + poll + "' is not a number in 100..60000");
    }
    return c;
}

std::vector<BrowseTarget> parse_browse_list(std::string_view list, const UnicastConfig& config,
                                            std::vector<std::string>* skipped)
{
    std::vector<BrowseTarget> out;
    auto skip = [&](std::string_view item, const char* why) {
        if (skipped)
            skipped->push_back("'" + std::string(item) + "' (" + why + ")");
    };
    size_t pos = 0;
    while (pos <= list.size()) {
        const auto comma = list.find(',', pos);
        const auto item = trim(list.substr(pos, comma == std::string_view::npos ? list.npos : comma - pos));
        pos = comma == std::string_view::npos ? list.size() + 1 : comma + 1;
        if (item.empty())
            continue;
        BrowseTarget target;
        if (auto server = parse_server(item)) {
            if (!config.domain) {
                skip(item, "a server, but QRV_DNS_DOMAIN is not set");
                continue;
            }
            target = BrowseTarget{*server, *config.domain};
        } else if (auto domain = parse_domain(item)) {
            if (!config.server) {
                skip(item, "no DNS server is configured");
                continue;
            }
            target = BrowseTarget{*config.server, *domain};
        } else {
            skip(item, "neither a domain name nor an IPv4 address");
            continue;
        }
        bool seen = false;
        for (const auto& t : out)
            seen = seen || t == target;
        if (!seen)
            out.push_back(std::move(target));
    }
    return out;
}

}  // namespace qrv::discovery
