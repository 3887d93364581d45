// One background thread that runs one job at a time. submit() first waits
// for the job before it to finish, so a caller that lends a buffer to a job
// knows that the previous loan has ended by the time submit() returns.
#ifndef QRV_ASYNC_WORKER_H
#define QRV_ASYNC_WORKER_H

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
    bool busy_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace qrv

#endif
