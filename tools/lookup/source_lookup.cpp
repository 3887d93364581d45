#include "source_lookup.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "qrv/qrv_runtime.h"

namespace qrv_tools {

namespace {

using Clock = std::chrono::steady_clock;

// This host's name as the runtime puts it in front of its sources' names.
std::string this_host()
{
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0)
        return {};
    std::string host(buf);
    return host.substr(0, host.find('.'));
}

bool same_text_nocase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return tolower(x) == tolower(y); });
}

std::string joined(const std::vector<std::string>& names)
{
    std::string out;
    for (const auto& n : names)
        out += (out.empty() ? "\"" : ", \"") + n + "\"";
    return out;
}

// The sources the finder sees now whose names match wanted: only the one
// of exactly that name when there is one. The names seen go into visible.
std::vector<FoundSource> candidates_for(QRVlib_find_instance_t finder, const std::string& wanted,
                                        std::vector<std::string>& visible)
{
    uint32_t count = 0;
    const QRVlib_source_t* sources = QRVlib_find_get_current_sources(finder, &count);
    visible.clear();
    std::vector<FoundSource> candidates;
    for (uint32_t i = 0; i < count; ++i) {
        if (!sources[i].name)
            continue;
        FoundSource f{sources[i].name, sources[i].locator ? sources[i].locator : ""};
        visible.push_back(f.name);
        if (f.name == wanted) {
            candidates.assign(1, f);
            break;
        }
        if (source_name_matches(f.name, wanted))
            candidates.push_back(f);
    }
    return candidates;
}

// Of several matching sources, the one on this host when only one is; the
// names of all of them go into matches.
std::optional<FoundSource> only_one_here(const std::vector<FoundSource>& candidates,
                                         std::vector<std::string>& matches)
{
    matches.clear();
    std::vector<FoundSource> here;
    for (const auto& c : candidates) {
        matches.push_back(c.name);
        if (same_text_nocase(c.name.substr(0, c.name.find(" (")), this_host()))
            here.push_back(c);
    }
    if (here.size() == 1)
        return here.front();
    return std::nullopt;
}

std::string why_not_found(const std::string& wanted, bool cancelled, const std::vector<std::string>& matches,
                          const std::vector<std::string>& visible)
{
    if (cancelled)
        return "stopped while looking for " + wanted;
    if (!matches.empty())
        return "\"" + wanted + "\" is ambiguous: " + joined(matches) + "; give the full name";
    if (visible.empty())
        return "no such source: " + wanted + " (no sources are visible)";
    return "no such source: " + wanted + " (visible: " + joined(visible) + ")";
}

}  // namespace

bool source_name_matches(const std::string& full, const std::string& wanted)
{
    if (full == wanted)
        return true;
    const size_t open = full.find(" (");
    return open != std::string::npos && full.size() > open + 3 && full.back() == ')' &&
           full.compare(open + 2, full.size() - open - 3, wanted) == 0;
}

std::optional<FoundSource> find_source(const std::string& wanted, std::chrono::milliseconds timeout,
                                       std::chrono::milliseconds settle, const std::atomic<bool>& cancel,
                                       std::string* error)
{
    QRVlib_find_instance_t finder = QRVlib_find_create_v2(nullptr);
    if (!finder) {
        *error = std::string("cannot look for sources: ") + QRVlib_get_last_error();
        return std::nullopt;
    }
    std::optional<FoundSource> found;
    std::vector<std::string> visible, matches;
    const auto start = Clock::now();
    const auto deadline = start + timeout;
    const auto settled = std::min(deadline, start + settle);
    while (!cancel.load()) {
        const std::vector<FoundSource> candidates = candidates_for(finder, wanted, visible);
        const bool exact = candidates.size() == 1 && candidates.front().name == wanted;
        if (!exact && !candidates.empty() && Clock::now() < settled) {
            QRVlib_find_wait_for_sources(finder, 100);
            continue;
        }
        if (candidates.size() == 1) {
            found = candidates.front();
            break;
        }
        if (candidates.size() > 1) {
            found = only_one_here(candidates, matches);
            break;
        }
        if (Clock::now() >= deadline)
            break;
        QRVlib_find_wait_for_sources(finder, 100);
    }
    QRVlib_find_destroy(finder);
    if (!found)
        *error = why_not_found(wanted, cancel.load(), matches, visible);
    return found;
}

}  // namespace qrv_tools
