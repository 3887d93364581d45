#include "objects/async_worker.h"

#include <sched.h>

#include <chrono>

#include "base/thread_name.h"

namespace qrv {

namespace {

// Polling stops after a bound of time or of rounds, whichever comes first
// (a round is one yield of the processor, well under a microsecond when
// nothing else is ready to run; the round bound holds where a clock does
// not move on its own). A caller that waits for a whole job (a copy of a
// millisecond or more) sleeps soon, since its polling would take a
// processor from that very job, or from a receiver, on a host of few
// processors. A caller that has helped with the pieces waits at most for
// the other thread's last piece and the finish, so it polls longer.
constexpr auto kCallerPoll = std::chrono::microseconds(50);
constexpr auto kHelperPoll = std::chrono::microseconds(300);
constexpr auto kWorkerPoll = std::chrono::microseconds(100);
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

// A submitted job and the counters its threads share. Everything but the
// counters is written before the job is handed over (under the mutex) and
// only read afterwards, until the last piece completes.
struct AsyncWorker::Running {
    explicit Running(Job j) : job(std::move(j)), pieces(job.pieces), left(job.pieces) {}
    Job job;
    const size_t pieces;
    std::atomic<size_t> next{0};  // the next piece to take
    std::atomic<size_t> left;     // pieces not completed yet
    std::atomic<bool> failed{false};
};

AsyncWorker::AsyncWorker()
    : thread_([this] {
          name_this_thread("qrv-send-copy");
          run();
      })
{
}

AsyncWorker::~AsyncWorker()
{
    wait_idle();
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
    submit(Job{0, {}, std::move(job)});
}

void AsyncWorker::submit(Job job)
{
    auto running = std::make_shared<Running>(std::move(job));
    wait_idle();
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !busy_; });
        current_ = std::move(running);
        busy_ = true;
        submitted_.fetch_add(1, std::memory_order_release);
    }
    changed_.notify_all();
}

void AsyncWorker::wait_idle()
{
    const bool helped = help();
    if (poll([this] { return !busy_.load(std::memory_order_acquire); }, helped ? kHelperPoll : kCallerPoll))
        return;
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
}

bool AsyncWorker::help()
{
    if (!busy_.load(std::memory_order_acquire))
        return false;
    std::shared_ptr<Running> r;
    {
        std::lock_guard lock(mutex_);
        r = current_;
    }
    return r && work(*r);
}

bool AsyncWorker::work(Running& r)
{
    // Taking a number needs no ordering: the job itself was handed over
    // under the mutex. Completing one releases its writes; the thread that
    // completes the last acquires them all (the decrements form one release
    // sequence) before it runs the finish.
    for (size_t i; (i = r.next.fetch_add(1, std::memory_order_relaxed)) < r.pieces;) {
        try {
            r.job.piece(i);
        } catch (...) {
            r.failed.store(true, std::memory_order_relaxed);
        }
        if (r.left.fetch_sub(1, std::memory_order_acq_rel) == 1)
            complete(r);
    }
    return r.pieces > 0;
}

void AsyncWorker::complete(Running& r)
{
    try {
        if (r.job.finish && !r.failed.load(std::memory_order_relaxed))
            r.job.finish();
    } catch (...) {
        // A job's failure must not take the worker down; the job accounts
        // for its own errors.
    }
    // No piece runs any more: what the job holds (a loaned buffer, a
    // message from a pool) is let go before anyone learns it is done.
    r.job = Job{};
    {
        std::lock_guard lock(mutex_);
        current_.reset();
        busy_ = false;
    }
    changed_.notify_all();
}

void AsyncWorker::run()
{
    uint64_t seen = 0;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (submitted_ == seen && !stopping_) {
            // A caller sending back to back hands over the next job at once.
            lock.unlock();
            poll([&] { return submitted_.load(std::memory_order_acquire) != seen; }, kWorkerPoll);
            lock.lock();
        }
        changed_.wait(lock, [&] { return submitted_ != seen || stopping_; });
        if (submitted_ == seen)
            return;  // stopping, with nothing left to run
        seen = submitted_;
        // A caller may have completed the job already.
        std::shared_ptr<Running> r = current_;
        lock.unlock();
        if (r && !work(*r))
            complete(*r);
        r.reset();
        lock.lock();
    }
}

}  // namespace qrv
