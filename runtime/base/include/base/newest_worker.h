// A thread that works on the newest item handed to it. Live media wants this
// wherever slow work (scaling, compressing, decoding) must never hold up the
// thread that produces frames: an item handed over while the worker is busy
// replaces the one waiting, so the work skips items rather than fall behind.
#ifndef QRV_BASE_NEWEST_WORKER_H
#define QRV_BASE_NEWEST_WORKER_H

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "base/thread_name.h"

namespace qrv {

/// Runs a work function on a thread of its own over the newest item offered.
///
/// Threading: offer() and stop() may be called from any thread; the work
/// function runs only on the worker's thread, one item at a time, so state
/// it alone touches needs no lock. The thread starts with the first offer
/// and is joined by stop() or the destructor. An owner whose work function
/// uses its other members declares the worker after them (or calls stop()
/// first), so that the thread ends before they are destroyed.
template <class T>
class NewestWorker {
public:
    using Work = std::function<void(T&&)>;

    /// name: the thread's (a literal; see name_this_thread).
    explicit NewestWorker(const char* name, Work work) : name_(name), work_(std::move(work)) {}
    ~NewestWorker() { stop(); }
    NewestWorker(const NewestWorker&) = delete;
    NewestWorker& operator=(const NewestWorker&) = delete;

    /// Hands item over and returns at once. Returns true when it replaced an
    /// item that was still waiting (which is then dropped, outside the lock,
    /// since dropping may release shared memory). After stop(), items are
    /// dropped and false is returned.
    bool offer(T item)
    {
        std::optional<T> replaced;
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return false;
            if (!thread_.joinable())
                thread_ = std::thread([this] { run(); });
            replaced = std::exchange(pending_, std::optional<T>(std::move(item)));
        }
        wake_.notify_one();
        return replaced.has_value();
    }

    /// Stops the thread once its current item is done and joins it; an item
    /// still waiting is dropped. Idempotent; not from the work function.
    void stop()
    {
        std::optional<T> dropped;  // released outside the lock
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            dropped = std::move(pending_);
            pending_.reset();
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

private:
    void run()
    {
        name_this_thread(name_);
        for (;;) {
            std::optional<T> item;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || pending_.has_value(); });
                if (stopping_)
                    return;
                item = std::move(pending_);
                pending_.reset();
            }
            work_(std::move(*item));
        }
    }

    const char* name_;
    Work work_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<T> pending_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace qrv

#endif
