#include "objects/sender.h"

#include <algorithm>
#include <chrono>

#include "base/error.h"

namespace qrv {

// Camera commands travel with the codes of the interface's enumeration.
static_assert((int32_t)wire::PtzCommand::recall_preset == QRVlib_ptz_recall_preset);
static_assert((int32_t)wire::PtzCommand::store_preset == QRVlib_ptz_store_preset);
static_assert((int32_t)wire::PtzCommand::pan_tilt == QRVlib_ptz_pan_tilt);
static_assert((int32_t)wire::PtzCommand::zoom == QRVlib_ptz_zoom);

Sender::Sender(SenderSettings settings, const Scope& scope, transport::ServerOptions server_options)
    : settings_(std::move(settings)),
      server_(std::make_unique<transport::SourceServer>(scope, server_options.named(settings_.name),
                                                        [this](const wire::PtzFields& c) {
                                                            // Out of range: refused before the caller.
                                                            if (!transport::ptz_in_range(c))
                                                                return false;
                                                            ptz_.push(c);
                                                            return true;
                                                        }))
{
}

Sender::~Sender()
{
    worker_.wait_idle();
}

int64_t Sender::resolve_timecode(int64_t timecode)
{
    if (timecode != QRVlib_send_timecode_synthesize)
        return timecode;
    // Synthesised: the wall clock in 100 ns units since the epoch.
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
}

std::string_view Sender::carried_metadata(const char* text)
{
    const std::string_view carried = metadata_text(text);
    if (!text || !*text || !carried.empty())
        return carried;
    const uint64_t dropped = ++metadata_dropped_;
    uint64_t held_back = 0;
    if (log::enabled(log::Category::sender, log::Level::warn) && metadata_lines_.allow(held_back))
        QRV_LOG_AT(warn, sender,
                   "'%s' sent a frame without its metadata: it holds more than %zu bytes (%llu such frames so far)",
                   settings_.name.c_str(), kMaxMetadataBytes, (unsigned long long)dropped);
    return carried;
}

void Sender::refuse_frame(const char* kind, const std::string& why)
{
    const uint64_t refused = ++refused_;
    set_last_error(std::string("the ") + kind + " frame was refused: " + why);
    uint64_t held_back = 0;
    if (log::enabled(log::Category::sender, log::Level::warn) && refusal_lines_.allow(held_back))
        QRV_LOG_AT(warn, sender, "'%s' refused a%s %s frame: %s (%llu refused so far)", settings_.name.c_str(),
                   kind[0] == 'a' ? "n" : "", kind, why.c_str(), (unsigned long long)refused);
}

void Sender::pace_video(const QRVlib_video_frame_v2_t& frame, PacingClock::clock::time_point entered)
{
    if (settings_.pace_video && frame.frame_rate_num > 0 && frame.frame_rate_den > 0)
        video_clock_.pace(1, frame.frame_rate_num, frame.frame_rate_den, entered);
}

void Sender::send_video(const QRVlib_video_frame_v2_t& frame)
{
    const log::QuietLock lock(send_mutex_);  // lines logged under it go out after it
    const auto entered = PacingClock::clock::now();  // the slot starts here
    worker_.wait_idle();
    std::string why;
    const auto layout = check_video(frame, &why);
    if (!layout) {
        refuse_frame("video", why);
        return;
    }
    server_->publish(store_.put_video(frame, *layout, resolve_timecode(frame.timecode), carried_metadata(frame.metadata),
                                      server_->has_shared_receivers()));
    ++video_accepted_;
    pace_video(frame, entered);
}

void Sender::send_video_async(const QRVlib_video_frame_v2_t* frame)
{
    const log::QuietLock lock(send_mutex_);  // lines logged under it go out after it
    const auto entered = PacingClock::clock::now();  // the slot starts here
    if (!frame) {
        worker_.wait_idle();
        return;
    }
    std::string why;
    const auto layout = check_video(*frame, &why);
    if (!layout) {
        // The previous buffer is still released by this call.
        worker_.wait_idle();
        refuse_frame("video", why);
        return;
    }
    // The previous copy ends first (this thread helps with it), so that the
    // new frame takes the next number and a message the store let go of.
    worker_.wait_idle();
    // The record and its metadata text live only for this call and are
    // written into the message now; the pixels are lent until the next send
    // and copied in pieces, by the worker and by a next call that would
    // otherwise wait for it.
    auto draft = std::make_shared<VideoDraft>(store_.start_video(*frame, *layout, resolve_timecode(frame->timecode),
                                                                 carried_metadata(frame->metadata),
                                                                 server_->has_shared_receivers()));
    const size_t pieces = draft->pieces();
    worker_.submit(AsyncWorker::Job{
        pieces, [draft](size_t i) { draft->copy_piece(i); },
        [this, draft] {
            server_->publish(store_.keep_video(std::move(*draft)));
            ++video_accepted_;
        }});
    pace_video(*frame, entered);
}

template <class Frame>
void Sender::send_audio_frame(const Frame& frame)
{
    const log::QuietLock lock(send_mutex_);  // lines logged under it go out after it
    const auto entered = PacingClock::clock::now();  // the slot starts here
    std::string why;
    const auto layout = check_audio(frame, &why);
    if (!layout) {
        refuse_frame("audio", why);
        return;
    }
    std::string_view metadata;  // 16-bit interleaved records carry none
    if constexpr (requires { frame.metadata; })
        metadata = carried_metadata(frame.metadata);
    server_->publish(store_.put_audio(frame, *layout, resolve_timecode(frame.timecode), metadata));
    ++audio_accepted_;
    if (settings_.pace_audio)
        audio_clock_.pace(layout->samples, layout->sample_rate, 1, entered);
}

void Sender::send_audio(const QRVlib_audio_frame_v2_t& frame)
{
    send_audio_frame(frame);
}

void Sender::send_audio(const QRVlib_audio_frame_interleaved_16s_t& frame)
{
    send_audio_frame(frame);
}

bool Sender::send_metadata(const char* text, int64_t timecode)
{
    const std::string_view t = metadata_text(text);
    if (text && t.empty() && *text)
        return false;
    const int64_t resolved = resolve_timecode(timecode);
    const log::QuietLock lock(metadata_mutex_);  // numbers go out in order
    server_->publish(wire::make_packet(wire::MessageType::metadata,
                                       wire::encode_metadata({resolved, metadata_sequence_ + 1}, t)));
    ++metadata_sequence_;
    return true;
}

size_t Sender::connections(std::chrono::milliseconds timeout) const
{
    if (timeout.count() > 0)
        server_->wait_connections(1, timeout);
    return server_->connections();
}

std::pair<transport::CombinedTally, bool> Sender::tally(std::chrono::milliseconds timeout)
{
    uint64_t seen;
    {
        std::lock_guard lock(tally_mutex_);
        seen = tally_seen_;
    }
    const transport::CombinedTally t = server_->wait_tally(seen, timeout);
    std::lock_guard lock(tally_mutex_);
    // Callers on several threads share what was reported; counts only grow.
    const bool changed = t.changes != seen;
    tally_seen_ = std::max(tally_seen_, t.changes);
    return {t, changed};
}

void Sender::set_ptz_supported(bool supported)
{
    server_->set_status(supported ? wire::kStatusPtz : 0u);
}

QRVlib_send_stats_t Sender::stats() const
{
    QRVlib_send_stats_t s{};
    s.video_accepted = video_accepted_.load();
    s.audio_accepted = audio_accepted_.load();
    s.refused = refused_.load();
    s.pacing_resyncs = video_clock_.resyncs() + audio_clock_.resyncs();
    return s;
}

}  // namespace qrv
