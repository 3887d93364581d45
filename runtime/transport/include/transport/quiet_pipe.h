// SIGPIPE held back on the calling thread for a scope.
#ifndef QRV_TRANSPORT_QUIET_PIPE_H
#define QRV_TRANSPORT_QUIET_PIPE_H

#include <pthread.h>
#include <signal.h>

#include <ctime>

namespace qrv::transport {

// SIGPIPE held back on the calling thread for a scope, and one raised in it
// taken away, so that a peer resetting the connection is an error of this
// connection and never a signal that ends the process. OpenSSL's socket
// BIO, used for kernel TLS, writes with write(). Made and ended on one
// thread.
class QuietPipe {
public:
    QuietPipe()
    {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
        sigset_t pending;
        sigemptyset(&pending);
        was_pending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }
    ~QuietPipe()
    {
        const timespec zero{};
        if (!was_pending_)
            while (sigtimedwait(&pipe_, nullptr, &zero) == SIGPIPE) {
            }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    QuietPipe(const QuietPipe&) = delete;
    QuietPipe& operator=(const QuietPipe&) = delete;

private:
    sigset_t pipe_{}, old_{};
    bool was_pending_ = false;
};

}  // namespace qrv::transport

#endif
