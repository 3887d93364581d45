// The sliced wait of native.h: long waits of the runtime cut into short
// ones so that signals reach Python while a thread waits.
#pragma once

#include <algorithm>
#include <chrono>

namespace qrv_python {

inline constexpr uint64_t kWaitSliceMs = 100;

template <class Attempt>
bool wait_sliced(std::optional<uint64_t> total_ms, Attempt&& attempt)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    for (;;) {
        uint64_t slice = kWaitSliceMs;
        if (total_ms) {
            const auto spent = (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
                                   Clock::now() - start).count();
            slice = spent >= *total_ms ? 0 : std::min(kWaitSliceMs, *total_ms - spent);
        }
        bool done = false;
        {
            py::gil_scoped_release nogil;
            done = attempt((uint32_t)slice);
        }
        if (done)
            return true;
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
        if (slice == 0 || (total_ms && Clock::now() - start >= std::chrono::milliseconds(*total_ms)))
            return false;
    }
}

}  // namespace qrv_python
