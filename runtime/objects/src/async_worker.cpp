#include "objects/async_worker.h"

#include <sched.h>

#include <chrono>

namespace qrv {

namespace {

// Polling stops after a bound of time or of rounds, whichever comes first
// (a round is one yield of the processor, well under a microsecond when
// nothing else is ready to run; the round bound holds where a clock does
// not move on its own). Both bounds cover a quick turn-around only: a
// caller that waits for the copy of a large frame (a millisecond or more)
// sleeps instead, since its polling would take a processor from that very
// copy, or from the receiver, on a host of few processors.
constexpr auto kCallerPoll = std::chrono::microseconds(50);
constexpr auto kWorkerPoll = std::chrono::microseconds(50);
constexpr int kMaxRounds = 20000;

template <class Pred>
bool poll(Pred pred, std::chrono::microseconds bound)
{
    const auto until = std::chrono::steady_clock::now() + bound;
    for (int i = 0; i < kMaxRounds; ++i) {
        if (pred())
            return true;
        sched_yield();
        if ((i & 15) == 15 && std::chrono::steady_clock::now() >= until)
            break;
    }
    return pred();
}

}  // namespace

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
    wait_idle();
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
    if (poll([this] { return !busy_.load(std::memory_order_acquire); }, kCallerPoll))
        return;
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
}

void AsyncWorker::run()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!busy_ && !stopping_) {
            // A caller sending back to back hands over the next job at once.
            lock.unlock();
            poll([this] { return busy_.load(std::memory_order_acquire); }, kWorkerPoll);
            lock.lock();
        }
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
