// Names for the runtime's threads, so that `top -H`, `perf` and debuggers
// show what each one does ("qrv-link", "qrv-decode", ...) in a process
// that may hold many more threads of its own.
#ifndef QRV_BASE_THREAD_NAME_H
#define QRV_BASE_THREAD_NAME_H

namespace qrv {

/// Names the calling thread. The kernel keeps 15 bytes; a longer name is
/// cut there. A name the system refuses leaves the thread as it was.
void name_this_thread(const char* name);

}  // namespace qrv

#endif
