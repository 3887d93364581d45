// The plugin's one finder: every QRV Source's property list reads the
// sources on the network from it, so the plugin keeps one view of the
// network however many sources it has.
#ifndef QRV_OBS_SOURCE_FINDER_H
#define QRV_OBS_SOURCE_FINDER_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plugin.h"
#include "qrv/qrv_runtime.h"

namespace qrv_obs {

class SourceFinder {
public:
    /// The plugin's finder, started when nobody holds it yet; it stops when
    /// the last holder lets go. Null when the runtime or the finder cannot
    /// start (logged). Any thread.
    static std::shared_ptr<SourceFinder> acquire();

    ~SourceFinder();
    SourceFinder(const SourceFinder&) = delete;
    SourceFinder& operator=(const SourceFinder&) = delete;

    /// The full names of the sources visible now, sorted. Any thread.
    std::vector<std::string> names();

private:
    SourceFinder() = default;
    void run();

    RuntimeHold runtime_;
    QRVlib_find_instance_t finder_ = nullptr;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::mutex mutex_;  // names_
    std::vector<std::string> names_;
};

}  // namespace qrv_obs

#endif
