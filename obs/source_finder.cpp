#include "source_finder.h"

#include <algorithm>

namespace qrv_obs {

namespace {
std::mutex finder_mutex;
std::weak_ptr<SourceFinder> finder_current;
}  // namespace

std::shared_ptr<SourceFinder> SourceFinder::acquire()
{
    std::lock_guard lock(finder_mutex);
    if (auto held = finder_current.lock())
        return held;
    std::shared_ptr<SourceFinder> finder(new SourceFinder());
    if (!finder->runtime_.ok())
        return nullptr;
    finder->finder_ = QRVlib_find_create_v2(nullptr);
    if (!finder->finder_) {
        QRV_OBS_LOG(LOG_ERROR, "cannot look for sources: %s", QRVlib_get_last_error());
        return nullptr;
    }
    finder->thread_ = std::thread([f = finder.get()] { f->run(); });
    finder_current = finder;
    return finder;
}

SourceFinder::~SourceFinder()
{
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
    QRVlib_find_destroy(finder_);
}

std::vector<std::string> SourceFinder::names()
{
    std::lock_guard lock(mutex_);
    return names_;
}

// Copies the finder's list whenever it changes; the wait is short so that
// the destructor never waits long for the thread.
void SourceFinder::run()
{
    bool first = true;
    while (!stopping_.load()) {
        if (!QRVlib_find_wait_for_sources(finder_, 200) && !first)
            continue;
        first = false;
        uint32_t count = 0;
        const QRVlib_source_t* sources = QRVlib_find_get_current_sources(finder_, &count);
        std::vector<std::string> now;
        for (uint32_t i = 0; sources && i < count; ++i)
            if (sources[i].name)
                now.emplace_back(sources[i].name);
        std::sort(now.begin(), now.end());
        std::lock_guard lock(mutex_);
        names_ = std::move(now);
    }
}

}  // namespace qrv_obs
