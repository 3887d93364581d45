#include "transport/frame_loss_window.h"

#include <algorithm>

namespace qrv::transport {

FrameLossWindow::FrameLossWindow(size_t frames, std::chrono::milliseconds span) : most_(frames), span_(span) {}

void FrameLossWindow::add(Clock::time_point now, uint64_t whole, uint64_t lost)
{
    // Only the last most_ outcomes can matter; lost ones go in last, so
    // that a burst bigger than the window still counts as loss.
    whole = std::min<uint64_t>(whole, most_);
    lost = std::min<uint64_t>(lost, most_);
    for (uint64_t i = 0; i < whole + lost; ++i)
        outcomes_.push_back(Outcome{now, i >= whole});
    lost_ += lost;
    while (outcomes_.size() > most_) {
        lost_ -= outcomes_.front().lost;
        outcomes_.pop_front();
    }
    forget_old(now);
}

void FrameLossWindow::forget_old(Clock::time_point now)
{
    while (!outcomes_.empty() && now - outcomes_.front().at > span_) {
        lost_ -= outcomes_.front().lost;
        outcomes_.pop_front();
    }
}

FrameLossWindow::Tally FrameLossWindow::tally(Clock::time_point now)
{
    forget_old(now);
    return Tally{outcomes_.size(), lost_};
}

bool FrameLossWindow::too_lossy(Clock::time_point now)
{
    const Tally t = tally(now);
    return t.frames >= 100 && t.lost * 100 > t.frames;
}

}  // namespace qrv::transport
