// Finding a source on the network by the name a user gives: in full as
// finders list it, "HOST (name)", or the source's own name alone.
#ifndef QRV_GST_SOURCE_LOOKUP_H
#define QRV_GST_SOURCE_LOOKUP_H

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

namespace qrv_gst {

struct FoundSource {
    std::string name;     ///< full name, "HOST (name)"
    std::string locator;  ///< where a receiver connects
};

/// True when the listed full name is the wanted one, or "HOST (wanted)".
bool source_name_matches(const std::string& full, const std::string& wanted);

/// Waits up to timeout for the wanted source to be visible. A short name
/// that several hosts publish picks this host's source and is otherwise
/// refused as ambiguous. Returns early with nothing when *cancel becomes
/// true. On failure *error says why, naming what is visible.
/// Blocks the calling thread; the runtime must be started.
std::optional<FoundSource> find_source(const std::string& wanted, std::chrono::milliseconds timeout,
                                       const std::atomic<bool>& cancel, std::string* error);

}  // namespace qrv_gst

#endif
