// A sender: accepts frames from its caller, keeps its own copy of each, and
// paces the calls when asked to.
#ifndef QRV_SENDER_H
#define QRV_SENDER_H

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/log.h"
#include "objects/async_worker.h"
#include "objects/frame_store.h"
#include "discovery/discovery.h"
#include "base/locator.h"
#include "base/pacing_clock.h"
#include "qrv/qrv_runtime.h"
#include "base/scope.h"
#include "transport/ptz_inbox.h"
#include "transport/source_server.h"

namespace qrv {

struct SenderSettings {
    std::string name;
    std::string groups;
    bool pace_video = true;
    bool pace_audio = true;
};

class Sender {
public:
    // Starts the sender's server on the scope (loopback alone unless one is
    // given); throws when it cannot.
    explicit Sender(SenderSettings settings, const Scope& scope = Scope::from_value(nullptr),
                    transport::ServerOptions server_options = {});
    ~Sender();
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    const SenderSettings& settings() const { return settings_; }
    // Where receivers connect to this sender.
    Endpoint endpoint() const { return server_->endpoint(); }
    // Wakes callers waiting for connections: the sender is going away.
    void close()
    {
        server_->interrupt_waits();
        ptz_.close();
    }

    void send_video(const QRVlib_video_frame_v2_t& frame);
    // Null: waits until no caller buffer is in use.
    void send_video_async(const QRVlib_video_frame_v2_t* frame);
    void send_audio(const QRVlib_audio_frame_v2_t& frame);
    void send_audio(const QRVlib_audio_frame_interleaved_16s_t& frame);

    // Text of the frame (null: none); false when it is too long.
    bool send_metadata(const char* text, int64_t timecode);

    // Receivers past their handshake; waits up to timeout for at least one.
    size_t connections(std::chrono::milliseconds timeout = {}) const;
    bool wait_connections(size_t n, std::chrono::milliseconds timeout)
    {
        return server_->wait_connections(n, timeout);
    }
    // See SourceServer::wait_video_wanted.
    bool wait_video_wanted(std::chrono::milliseconds timeout) { return server_->wait_video_wanted(timeout); }
    transport::ServerStats transport_stats() const { return server_->stats(); }
    void set_ptz_supported(bool supported);
    std::optional<wire::PtzFields> next_ptz(std::chrono::milliseconds timeout)
    {
        return ptz_.pop(timeout);
    }

    // The receivers' combined tally, and whether it changed since the
    // previous call (waiting up to timeout for a change when it had not).
    std::pair<transport::CombinedTally, bool> tally(std::chrono::milliseconds timeout);

    // The source as published; withdrawn (goodbye) with the sender.
    void set_publication(discovery::Publication p) { publication_ = std::move(p); }
    const discovery::Publication& publication() const { return publication_; }

    QRVlib_send_stats_t stats() const;
    const FrameStore& store() const { return store_; }

private:
    static int64_t resolve_timecode(int64_t timecode);
    // The metadata a frame carries (metadata_text). Text longer than a
    // frame may carry is left off the frame: counted here and said in the
    // log, at most once in 10 s.
    std::string_view carried_metadata(const char* text);
    // A frame refused by its checks: counted, its reason left as the last
    // error and said in the log, at most once in 10 s.
    void refuse_frame(const char* kind, const std::string& why);
    void pace_video(const QRVlib_video_frame_v2_t& frame, PacingClock::clock::time_point entered);
    // Either kind of audio record: checked, stored once, sent, paced.
    template <class Frame>
    void send_audio_frame(const Frame& frame);

    const SenderSettings settings_;
    FrameStore store_;
    // Sends on one sender are serialised; the worker copies asynchronous
    // video frames while the caller goes on.
    std::mutex send_mutex_;
    PacingClock video_clock_;
    PacingClock audio_clock_;
    std::atomic<uint64_t> video_accepted_{0};
    std::atomic<uint64_t> audio_accepted_{0};
    std::atomic<uint64_t> refused_{0};
    std::atomic<uint64_t> metadata_dropped_{0};
    log::Throttle metadata_lines_{std::chrono::seconds(10)};
    log::Throttle refusal_lines_{std::chrono::seconds(10)};
    transport::PtzInbox ptz_;
    // Metadata is numbered and published in one step, apart from the paced
    // sends, so that it never waits behind a frame's pacing.
    std::mutex metadata_mutex_;
    uint64_t metadata_sequence_ = 0;
    std::mutex tally_mutex_;
    uint64_t tally_seen_ = 0;  // change count of the tally last reported
    std::unique_ptr<transport::SourceServer> server_;
    discovery::Publication publication_;
    AsyncWorker worker_;  // last member: its thread stops before the rest goes
};

}  // namespace qrv

#endif
