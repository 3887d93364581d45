// One background thread that runs one job at a time. submit() first waits
// for the job before it to finish, so a caller that lends a buffer to a job
// knows that the previous loan has ended by the time submit() returns.
//
// A job may be cut into pieces (the copy of a frame, a band of lines each).
// The worker takes pieces one after another from a shared counter, and so
// does a caller that would otherwise only wait for the job: neither idles
// while the other works, and when both are busy the hand-over of the next
// job needs no wake-up from sleep. Whichever thread completes the last
// piece runs the job's finish.
//
// What is left to wait for after that (another thread's last piece, or a
// job that is not cut at all) is first polled for a moment, yielding the
// processor to anything else that wants it, before the waiter sleeps; the
// worker likewise polls a moment for the next job before it sleeps.
#ifndef QRV_ASYNC_WORKER_H
#define QRV_ASYNC_WORKER_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace qrv {

class AsyncWorker {
public:
    // A job of `pieces` pieces: piece(i) runs once for every i below pieces,
    // on the worker or on a waiting caller, and must not throw; finish()
    // then runs once, on the thread that completed the last piece (on the
    // worker when there are no pieces). A piece that throws anyway makes
    // the job skip its finish.
    struct Job {
        size_t pieces = 0;
        std::function<void(size_t)> piece;
        std::function<void()> finish;
    };

    AsyncWorker();
    ~AsyncWorker();
    AsyncWorker(const AsyncWorker&) = delete;
    AsyncWorker& operator=(const AsyncWorker&) = delete;

    // Waits until the worker is idle (helping with the running job's
    // pieces), then hands it the job and returns without waiting for it.
    // Any thread.
    void submit(Job job);
    // The whole job runs on the worker.
    void submit(std::function<void()> job);
    // Waits until no job is pending or running, running pieces of the
    // current job meanwhile. Any thread.
    void wait_idle();

private:
    struct Running;

    void run();
    // Takes pieces of r until none is left; true when r has pieces at all.
    bool work(Running& r);
    void complete(Running& r);
    bool help();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::shared_ptr<Running> current_;    // the submitted job until it completes
    std::atomic<bool> busy_{false};       // current_ is set; written under the mutex, polled without
    std::atomic<uint64_t> submitted_{0};  // jobs submitted; written under the mutex, polled without
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace qrv

#endif
