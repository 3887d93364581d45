// The stop flag and its SIGINT handler, shared in source by the programs.
// Each program that includes this header holds its own flag and handler
// (internal linkage). The flag is zero-initialised static storage: no code
// runs at start-up to set it.
#ifndef QRV_RUN_FRAME_H
#define QRV_RUN_FRAME_H

#include <atomic>
#include <csignal>

static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(sizeof(std::atomic<bool>) == 1);

static std::atomic<bool> exit_loop;

// Only ever stores true; everything else is left to the program's loops.
static void sigint_handler(int)
{
    exit_loop.store(true, std::memory_order_seq_cst);
}

#endif  // QRV_RUN_FRAME_H
