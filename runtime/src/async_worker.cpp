#include "async_worker.h"

namespace qrv {

AsyncWorker::AsyncWorker() : thread_([this] { run(); }) {}

AsyncWorker::~AsyncWorker()
{
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !busy_; });
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void AsyncWorker::submit(std::function<void()> job)
{
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !busy_; });
        job_ = std::move(job);
        busy_ = true;
    }
    changed_.notify_all();
}

void AsyncWorker::wait_idle()
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
}

void AsyncWorker::run()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return busy_ || stopping_; });
        if (busy_) {
            auto job = std::move(job_);
            job_ = nullptr;
            lock.unlock();
            try {
                job();
            } catch (...) {
                // A job's failure must not take the worker down; the job
                // accounts for its own errors.
            }
            lock.lock();
            busy_ = false;
            changed_.notify_all();
        } else if (stopping_) {
            return;
        }
    }
}

}  // namespace qrv
