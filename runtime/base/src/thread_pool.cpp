#include "base/thread_pool.h"

#include <algorithm>
#include <atomic>

#include "base/thread_name.h"

namespace qrv {

struct ThreadPool::Job {
    const std::function<void(size_t)>* task = nullptr;
    size_t pieces = 0;
    std::atomic<size_t> next{0};
    std::atomic<size_t> finished{0};
};

ThreadPool::ThreadPool(size_t parallelism, const char* name)
{
    const size_t n = parallelism ? parallelism : default_size();
    for (size_t i = 1; i < n; ++i)
        workers_.emplace_back([this, name] {
            name_this_thread(name);
            work();
        });
}

ThreadPool::~ThreadPool()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : workers_)
        t.join();
}

size_t ThreadPool::default_size()
{
    const unsigned cores = std::thread::hardware_concurrency();
    return std::clamp<size_t>(cores, 1, 4);
}

void ThreadPool::take_pieces(Job& job)
{
    for (;;) {
        const size_t i = job.next.fetch_add(1, std::memory_order_relaxed);
        if (i >= job.pieces)
            return;
        (*job.task)(i);
        job.finished.fetch_add(1, std::memory_order_acq_rel);
    }
}

void ThreadPool::run(size_t pieces, const std::function<void(size_t)>& task)
{
    if (pieces == 0)
        return;
    if (workers_.empty() || pieces == 1) {
        for (size_t i = 0; i < pieces; ++i)
            task(i);
        return;
    }
    std::lock_guard serial(run_mutex_);
    auto job = std::make_shared<Job>();
    job->task = &task;
    job->pieces = pieces;
    {
        std::lock_guard lock(mutex_);
        job_ = job;
        ++generation_;
    }
    wake_.notify_all();
    take_pieces(*job);
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return job->finished.load(std::memory_order_acquire) == pieces; });
    job_.reset();
}

void ThreadPool::work()
{
    uint64_t seen = 0;
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || (job_ && generation_ != seen); });
            if (stopping_)
                return;
            seen = generation_;
            job = job_;
        }
        take_pieces(*job);
        // The caller waits on done_ under mutex_: notified under it too, so
        // that the wake-up cannot fall between its check and its wait.
        std::lock_guard lock(mutex_);
        done_.notify_all();
    }
}

}  // namespace qrv
