// A receiver: connects to one source and hands its frames and changes of
// status to the caller. Its home link goes to the source it was created
// for; when that source is a router, the router redirects the receiver and a
// second link carries the media straight from the routed source. What it
// wants (kinds of media, bandwidth, pixel layout) is told to the source in
// its hello; frames are converted to the wanted layout when captured. Its
// tally goes to the source that carries the media.
#ifndef QRV_RECEIVER_H
#define QRV_RECEIVER_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "qrv/qrv_runtime.h"
#include "transport/client_link.h"

namespace qrv {

struct ReceiverSettings {
    std::string source_name;
    std::string source_locator;
    std::string receiver_name;
    // Codes of QRVlib_recv_color_format_e and QRVlib_recv_bandwidth_e; an
    // unknown colour format acts as uyvy_bgra, an unknown bandwidth as
    // highest.
    media::ColorFormat color_format = media::ColorFormat::uyvy_bgra;
    wire::Bandwidth bandwidth = wire::Bandwidth::highest;
};

// Where a source of this name can be reached now, if anyone knows: the hook
// through which discovery lets receivers follow a source that came back on
// another address or port. Unset: receivers use their locator alone.
using SourceResolver = std::function<std::optional<Endpoint>(const std::string& source_name)>;
void set_source_resolver(SourceResolver resolver);

// Bounds of the frames waiting for capture.
struct ReceiverLimits {
    size_t video = 4;       // oldest dropped beyond: the caller gets the newest
    size_t audio = 512;     // oldest dropped beyond, counted
    size_t metadata = 64;
    size_t held = 256;  // captured frames not yet freed; beyond, captures fail
    transport::LinkOptions link;
};

class Receiver final {
public:
    explicit Receiver(ReceiverSettings settings, ReceiverLimits limits = {});
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    int32_t capture(QRVlib_video_frame_v2_t* video, QRVlib_audio_frame_v2_t* audio,
                    QRVlib_metadata_frame_t* metadata, uint32_t timeout_ms);
    void free_video(QRVlib_video_frame_v2_t* frame);
    void free_audio(QRVlib_audio_frame_v2_t* frame);
    void free_metadata(QRVlib_metadata_frame_t* frame);

    bool ptz_supported() const;
    bool ptz_recall_preset(int32_t preset, float speed);
    bool ptz_store_preset(int32_t preset);
    bool ptz_pan_tilt(float pan, float tilt);
    bool ptz_zoom(float zoom);

    // Records the tally and sends it to the source that carries the media,
    // now when connected and again after every (re)connection.
    void set_tally(bool on_program, bool on_preview);

    QRVlib_recv_status_t status() const;
    QRVlib_recv_stats_t stats() const;
    // Frames arrive over the same-host shared-memory path now.
    bool shared_memory();

private:
    struct Effective {
        bool connected = false;
        bool ptz = false;
        bool operator==(const Effective&) const = default;
    };
    struct Held {
        std::shared_ptr<std::vector<uint8_t>> data;
        std::shared_ptr<const transport::SharedFrame> shared;  // pixels in the source's memory
        std::string text;
    };

    // Forwards one link's events, tagged with which link it is: 0 is the
    // home link, media links count up so that a replaced one is ignored.
    class Role final : public transport::LinkEvents {
    public:
        Role(Receiver& owner, uint64_t id) : owner_(owner), id_(id) {}
        void on_link_up(transport::ClientLink& link) override { owner_.link_up(id_, true, &link); }
        void on_link_down(transport::ClientLink&) override { owner_.link_up(id_, false); }
        void on_link_status(transport::ClientLink&, uint32_t flags) override { owner_.link_status(id_, flags); }
        void on_link_redirect(transport::ClientLink&, const std::string& locator) override
        {
            owner_.link_redirect(id_, locator);
        }
        void on_link_media(transport::ClientLink&, transport::Message&& m) override
        {
            owner_.link_media(id_, std::move(m));
        }
        void on_link_bad(transport::ClientLink&) override { owner_.link_bad(); }
        void on_link_skipped(transport::ClientLink&, bool unknown_type) override
        {
            owner_.link_skipped(unknown_type);
        }

    private:
        Receiver& owner_;
        const uint64_t id_;
    };
    struct Link {
        std::unique_ptr<Role> role;
        std::unique_ptr<transport::ClientLink> link;
    };
    static void stop(Link& link);

    void link_up(uint64_t id, bool up, transport::ClientLink* link = nullptr);
    void link_status(uint64_t id, uint32_t flags);
    void link_redirect(uint64_t id, const std::string& locator);
    void link_media(uint64_t id, transport::Message&& message);
    void link_bad();
    void link_skipped(bool unknown_type);
    Link make_link(uint64_t id, std::optional<Endpoint> where);
    // Writes the tally until what was written last is the newest state.
    void push_tally(transport::ClientLink::Channel& channel);
    // A buffer for a converted frame of n bytes, recycled once freed.
    std::shared_ptr<std::vector<uint8_t>> converted_buffer_locked(size_t n);
    // Fills the caller's record for a captured frame held under key.
    void fill_video_locked(QRVlib_video_frame_v2_t* video, const wire::VideoFields& f, uint32_t fourcc,
                           uint8_t* pixels, uint32_t line_bytes, Held& held);

    Effective effective_locked() const;
    void note_change_locked(const Effective& before);
    bool send_ptz(const wire::PtzFields& command);
    void discard_unwanted_locked(bool video, bool audio, bool metadata);

    const ReceiverSettings settings_;
    const ReceiverLimits limits_;
    const uint32_t kinds_;  // wire::kWant* of the bandwidth asked for

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<transport::Message> inbound_;
    size_t queued_[3] = {0, 0, 0};  // video, audio, metadata
    bool status_pending_ = false;
    bool home_connected_ = false;
    uint32_t home_flags_ = 0;
    bool media_connected_ = false;
    uint32_t media_flags_ = 0;
    std::string route_;  // locator the router sent us to; empty: none
    std::map<const void*, Held> held_;
    // Forgets the captured frame handed out under key; false when none was.
    bool release_held(const void* key);
    QRVlib_recv_stats_t stats_{};
    std::vector<std::shared_ptr<std::vector<uint8_t>>> converted_;  // recycled buffers
    uint32_t tally_flags_ = 0;
    bool tally_set_ = false;
    uint64_t tally_version_ = 0;

    uint64_t media_id_ = 0;  // id of the current media link; 0: none
    uint64_t next_media_id_ = 0;

    // The media link is replaced only from the home link's thread (on a
    // redirect) and destroyed outside mutex_, since its thread calls back.
    std::mutex media_mutex_;
    Link media_;
    Link home_;  // last member: stops first
};

}  // namespace qrv

#endif
