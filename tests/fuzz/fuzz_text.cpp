// libFuzzer target: the text the runtime takes from peers, files and the
// environment. The input is read as lines: the whole of it as a locator
// (as a peer's discovery record carries it), a key file and a multicast
// range; its first lines as the DNS settings and the rest as a finder's
// browse list. Whatever parses must say the same thing when written out
// and parsed again; nothing may crash, hang or grow without bound.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/locator.h"
#include "base/settings.h"
#include "base/site_key.h"
#include "discovery/unicast/unicast_config.h"
#include "transport/multicast_settings.h"

using namespace qrv;

namespace {

void check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_text: %s\n", what);
        std::abort();
    }
}

void locator_round_trip(std::string_view text)
{
    const auto e = parse_locator(text);
    if (!e)
        return;
    const auto again = parse_locator(format_locator(*e));
    check(again && again->address == e->address && again->port == e->port && again->unix_path == e->unix_path &&
              again->id == e->id,
          "a locator written out parses to another endpoint");
}

void key_file(const std::string& text)
{
    try {
        const SiteKey key = SiteKey::parse(text, "fuzz");
        check(!key.keys().empty() && key.keys().size() <= 2, "a key file gave no key or more than two");
    } catch (const Error&) {
    }
}

void multicast_range(std::string_view text)
{
    const auto r = transport::parse_multicast_range(text);
    if (!r)
        return;
    check(r->first >> 28 == 0xe && r->second >= 4 && r->second <= 32, "a range outside multicast");
    const uint32_t a = r->first;
    const std::string written = std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." +
                                std::to_string(a >> 8 & 255) + "." + std::to_string(a & 255) + "/" +
                                std::to_string(r->second);
    check(transport::parse_multicast_range(written) == r, "a range written out parses to another");
}

std::vector<std::string> lines_of(std::string_view text)
{
    std::vector<std::string> lines;
    while (!text.empty() && lines.size() < 8) {
        const size_t end = text.find('\n');
        lines.emplace_back(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    lines.emplace_back(text);
    return lines;
}

// The settings named, one line each, in order; those past the last line
// stay unset.
void fill(std::initializer_list<std::optional<std::string>*> fields, const std::vector<std::string>& lines)
{
    size_t i = 0;
    for (auto* f : fields)
        *f = i < lines.size() ? std::optional<std::string>(lines[i++]) : std::nullopt;
}

void dns_settings(const std::vector<std::string>& lines)
{
    Settings s;
    fill({&s.dns_domain, &s.dns_server, &s.dns_key, &s.dns_lease, &s.dns_poll_ms}, lines);
    if (!s.dns_server || s.dns_server->empty())
        s.dns_server = "127.0.0.1";  // never the host's own resolver
    const auto config = discovery::UnicastConfig::from_settings(s);
    std::vector<std::string> skipped;
    const auto targets = discovery::parse_browse_list(lines.back(), config, &skipped);
    check(targets.size() + skipped.size() <= lines.back().size() + 1, "more browse targets than entries");
    for (const auto& line : lines)
        if (const auto name = discovery::parse_domain(line)) {
            const auto again = discovery::parse_domain(name->text());
            check(again && again->equals(*name), "a domain written out parses to another");
        }
}

void multicast_settings(const std::vector<std::string>& lines)
{
    Settings s;
    fill({&s.multicast, &s.multicast_range, &s.multicast_ttl, &s.multicast_window_ms}, lines);
    const auto m = transport::MulticastSettings::from_settings(s);
    check(m.ttl >= 1 && m.ttl <= 255 && m.window.count() >= 1 && m.window.count() <= 1000,
          "multicast settings out of their ranges");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    locator_round_trip(text);
    key_file(text);
    multicast_range(text);
    const auto lines = lines_of(text);
    dns_settings(lines);
    multicast_settings(lines);
    return 0;
}
