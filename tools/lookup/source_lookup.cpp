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
            matches.clear();
            std::vector<FoundSource> here;
            for (const auto& c : candidates) {
                matches.push_back(c.name);
                if (same_text_nocase(c.name.substr(0, c.name.find(" (")), this_host()))
                    here.push_back(c);
            }
            if (here.size() == 1)
                found = here.front();
            break;
        }
        if (Clock::now() >= deadline)
            break;
        QRVlib_find_wait_for_sources(finder, 100);
    }
    QRVlib_find_destroy(finder);
    if (!found) {
        if (cancel.load())
            *error = "stopped while looking for " + wanted;
        else if (!matches.empty())
            *error = "\"" + wanted + "\" is ambiguous: " + joined(matches) + "; give the full name";
        else if (visible.empty())
            *error = "no such source: " + wanted + " (no sources are visible)";
        else
            *error = "no such source: " + wanted + " (visible: " + joined(visible) + ")";
    }
    return found;
}

}  // namespace qrv_tools
