// One background thread that runs one job at a time. submit() first waits
// for the job before it to finish, so a caller that lends a buffer to a job
// knows that the previous loan has ended by the time submit() returns.
//
// A caller that sends frames back to back waits for every copy, and the
// worker waits for every next job. Both sides first poll for a moment
// (yielding the processor to anything else that wants it) before they
// sleep, so that a hand-over costs no wake-up from sleep when the other
// side is quick, and nothing spins for long when it is not.
#ifndef QRV_ASYNC_WORKER_H
#define QRV_ASYNC_WORKER_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace qrv {

class AsyncWorker {
public:
    AsyncWorker();
    ~AsyncWorker();
    AsyncWorker(const AsyncWorker&) = delete;
    AsyncWorker& operator=(const AsyncWorker&) = delete;

    // Waits until the worker is idle, then hands it the job and returns
    // without waiting for the job.
    void submit(std::function<void()> job);
    // Waits until no job is pending or running.
    void wait_idle();

private:
    void run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::function<void()> job_;
    std::atomic<bool> busy_{false};  // written under the mutex, polled without
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace qrv

#endif
