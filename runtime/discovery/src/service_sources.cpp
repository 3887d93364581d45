// The service's list of sources: what the multicast DNS browser and the
// unicast DNS agent found, one entry per instance, and the subscribers told
// of its changes.
#include <arpa/inet.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>

#include "base/log.h"
#include "base/text.h"
#include "service_state.h"

namespace qrv::discovery {

bool DiscoveryService::State::is_loopback(unsigned ifindex) const
{
    const Interface* iface = socket ? socket->interface(ifindex) : nullptr;
    return iface && iface->loopback;
}

void DiscoveryService::State::refresh_sources()
{
    const bool local_changed = browser->generation() != browser_generation;
    const uint64_t unicast_now = unicast ? unicast->generation() : 0;
    if (!local_changed && unicast_now == unicast_generation)
        return;
    unicast_generation = unicast_now;
    if (local_changed)
        refresh_local_sources();
    std::vector<SourceEntry> next = local_sources;
    if (unicast)
        for (const auto& u : unicast->services()) {
            SourceEntry e = entry_of(u.instance, u.address, u.port, u.txt, false);
            const bool known = std::any_of(next.begin(), next.end(), [&](const SourceEntry& s) {
                return e.endpoint.id.empty() ? equal_nocase(s.name, e.name) : s.endpoint.id == e.endpoint.id;
            });
            if (!known)
                next.push_back(std::move(e));
        }
    if (next != sources) {
        sources = std::move(next);
        ++sources_generation;
        sources_changed.notify_all();
    }
}

SourceEntry DiscoveryService::State::entry_of(const std::string& instance, uint32_t address, uint16_t port,
                                               const std::vector<std::string>& txt, bool loop)
{
    SourceEntry e;
    e.name = instance;
    in_addr a;
    a.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    e.endpoint.address = text;
    e.endpoint.port = port;
    if (auto id = txt_value(txt, "id"))
        e.endpoint.id = *id;
    // The Unix socket is only of use on the same host.
    if (auto path = txt_value(txt, "unix"); path && loop)
        e.endpoint.unix_path = *path;
    if (auto process = txt_value(txt, "process"))
        e.process = *process;
    e.needs_key = txt_value(txt, "key").has_value();
    auto groups = txt_value(txt, "groups");
    e.groups = split_groups(groups ? *groups : std::string());
    if (e.groups.empty())
        e.groups.push_back("public");
    e.locator = format_locator(e.endpoint);
    if (parse_locator(e.locator) != e.endpoint) {
        // Text fields that a locator cannot carry: keep the address.
        e.endpoint.id.clear();
        e.endpoint.unix_path.clear();
        e.locator = format_locator(e.endpoint);
    }
    return e;
}

void DiscoveryService::State::refresh_local_sources()
{
    browser_generation = browser->generation();
    std::vector<SourceEntry> next;
    std::map<std::string, size_t> by_name;
    std::map<std::string, bool> via_loopback;
    for (const auto& b : browser->services()) {
        const std::string key = ascii_lower(b.instance);
        const bool loop = is_loopback(b.ifindex);
        auto it = by_name.find(key);
        if (it != by_name.end() && (via_loopback[key] || !loop))
            continue;
        SourceEntry e = entry_of(b.instance, b.address, b.port, b.txt, loop);
        via_loopback[key] = loop;
        if (it != by_name.end()) {
            next[it->second] = std::move(e);
        } else {
            by_name[key] = next.size();
            next.push_back(std::move(e));
        }
    }
    local_sources = std::move(next);
}

std::vector<SourceEntry> DiscoveryService::State::candidates(std::string_view name) const
{
    std::vector<SourceEntry> out;
    auto add = [&](SourceEntry e) {
        const bool known = std::any_of(out.begin(), out.end(), [&](const SourceEntry& s) {
            return s.endpoint.address == e.endpoint.address && s.endpoint.port == e.endpoint.port;
        });
        if (!known)
            out.push_back(std::move(e));
    };
    // This host's own instances first (as the list prefers them), then
    // what other interfaces saw, each the newest first.
    const auto found = browser->candidates(name);
    for (const bool loop : {true, false})
        for (const auto& b : found)
            if (is_loopback(b.ifindex) == loop)
                add(entry_of(b.instance, b.address, b.port, b.txt, loop));
    if (unicast)
        for (const auto& u : unicast->services())
            if (equal_nocase(u.instance, name))
                add(entry_of(u.instance, u.address, u.port, u.txt, false));
    return out;
}

void DiscoveryService::State::notify_subscribers()
{
    std::vector<SourceEntry> copy;
    uint64_t generation = 0;
    {
        std::lock_guard lock(mutex);
        generation = sources_generation;
        copy = sources;
    }
    const log::QuietLock lock(subscribers_mutex);
    if (generation == notified_generation)
        return;
    notified_generation = generation;
    for (auto& [id, callback] : subscribers)
        callback(copy);
}

}  // namespace qrv::discovery
