// Finding a source on the network by the name a user gives: in full as
// finders list it, "HOST (name)", or the source's own name alone. Shared by
// the monitor and the GStreamer plugin, so it is built position-independent.
#ifndef QRV_TOOLS_SOURCE_LOOKUP_H
#define QRV_TOOLS_SOURCE_LOOKUP_H

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

namespace qrv_tools {

/// A source that was found: what a receiver needs to connect to it.
struct FoundSource {
    std::string name;     ///< full name, "HOST (name)"
    std::string locator;  ///< where a receiver connects
};

/// True when the listed full name is the wanted one, or "HOST (wanted)".
/// Pure; any thread.
bool source_name_matches(const std::string& full, const std::string& wanted);

/// Waits up to timeout for the wanted source to be visible, through a finder
/// of its own. The full name is taken as soon as it is seen; a short name is
/// decided on only after settle (or the timeout, if shorter), since a fresh
/// finder hears other hosts' answers one by one. A short name that several
/// hosts publish picks this host's source and is otherwise refused as
/// ambiguous. Returns early with nothing when cancel becomes true.
///
/// Blocks the calling thread; the runtime must be loaded. On failure returns
/// nothing and *error says why: the finder could not be made, the name is
/// ambiguous (naming the matches), or no such source (naming what is
/// visible).
std::optional<FoundSource> find_source(const std::string& wanted, std::chrono::milliseconds timeout,
                                       std::chrono::milliseconds settle, const std::atomic<bool>& cancel,
                                       std::string* error);

}  // namespace qrv_tools

#endif
