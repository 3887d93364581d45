// A small fixed pool of threads for data-parallel work: a job is a count of
// independent pieces, run by the pool's threads and by the caller itself,
// and the call returns when every piece is done.
#ifndef QRV_BASE_THREAD_POOL_H
#define QRV_BASE_THREAD_POOL_H

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qrv {

class ThreadPool {
public:
    /// A pool that runs up to `parallelism` pieces at once: parallelism - 1
    /// threads of its own plus the calling thread. 0 means default_size().
    /// The threads live until the pool is destroyed; the destructor joins
    /// them (it must not run while a run() is in progress). They carry
    /// `name` (kept by the caller; see name_this_thread).
    explicit ThreadPool(size_t parallelism = 0, const char* name = "qrv-pool");
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    /// Pieces that may run at once (the pool's threads and the caller).
    size_t size() const { return workers_.size() + 1; }

    /// Runs task(i) for every i in [0, pieces) and returns once all are done.
    /// Thread-safe: calls from several threads run one after another. The
    /// task must not throw and must not call run() on the same pool.
    void run(size_t pieces, const std::function<void(size_t)>& task);

    /// The cores of this machine, at least 1 and at most 4: enough for
    /// frame-sized work without crowding out everything else.
    static size_t default_size();

private:
    struct Job;
    void work();
    static void take_pieces(Job& job);

    std::mutex run_mutex_;  // one job at a time
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::shared_ptr<Job> job_;
    uint64_t generation_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace qrv

#endif
