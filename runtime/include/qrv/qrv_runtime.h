#ifndef QRV_RUNTIME_H
#define QRV_RUNTIME_H

/// @file qrv_runtime.h
/// @brief Operations of our runtime beyond the library interface: counters
/// and state, camera control, frees of captured frames, tally, the log and
/// the last error. Declared with C linkage, exported from libqrv.so.3
/// alongside the interface operations.
///
/// Threading and ownership, unless an operation says otherwise: every
/// operation may be called from any thread; records passed in are read
/// during the call; what an operation fills in belongs to the caller; texts
/// and frames that it hands out belong to the runtime until the matching
/// free or the object's destruction. An unknown or destroyed handle gives
/// false, 0, -1 or nothing, with a reason in QRVlib_get_last_error().
///
/// Environment: the runtime reads its variables once, when
/// QRVlib_initialize starts it; changes after that take effect at the next
/// start. QRV_LOG (see the log below) is read once for the whole run, by
/// the first start or by a line logged before it. The variables:
/// - QRV_INTERFACES: the interfaces to publish, browse and listen on (a
///   comma list of names, or "all"); unset: loopback only.
/// - QRV_VIDEO_CODEC, QRV_VIDEO_QUALITY, QRV_VIDEO_MAX_MBITS: video
///   compression (see QRVlib_video_codec_t).
/// - QRV_DNS_DOMAIN, QRV_DNS_SERVER, QRV_DNS_KEY, QRV_DNS_LEASE,
///   QRV_DNS_POLL_MS: discovery through a unicast DNS server.
/// - QRV_LOG: the log to standard error.
/// - QRV_LOCATOR_FILE: a file to which every sender and router created
///   appends one line "NAME<TAB>LOCATOR" (for test harnesses that reach
///   sources without discovery); unset: none.
/// - QRV_HANDSHAKE_MS: how long a receiver waits for its source to answer
///   once the connection is taken, 100 to 600000 (default 2000). A source
///   that does not answer in time is left: the receiver reports a change
///   of status (not connected), logs why at warn and retries with backoff.

#include "qrvlib.h"

/// Result codes of QRVlib_recv_capture_v2.
enum QRVlib_frame_type_e : int32_t {
    QRVlib_frame_type_none = 0,
    QRVlib_frame_type_video = 1,
    QRVlib_frame_type_audio = 2,
    QRVlib_frame_type_metadata = 3,
    /// No frame was handed out, and the reason is in QRVlib_get_last_error():
    /// the receiver's handle is not live; a frame that arrived could not be
    /// delivered (malformed, or not convertible to the wanted layout); or
    /// the caller holds 256 captured frames that it has not freed. In that
    /// last case the frame that the call took off the queue is lost: it is
    /// counted in video_dropped, audio_dropped or metadata_dropped of
    /// QRVlib_recv_get_stats, and the receiver's log says so at warn. Free
    /// held frames (QRVlib_recv_free_video_v2 and its kin) to capture again.
    QRVlib_frame_type_error = 4,
    QRVlib_frame_type_status_change = 100,
};

/// Counters of one sender since its creation.
struct QRVlib_send_stats_t {
    uint64_t video_accepted;  ///< video frames read in full
    uint64_t audio_accepted;  ///< audio frames read in full
    uint64_t refused;         ///< frames refused as malformed, of either kind
    uint64_t pacing_resyncs;  ///< times a pacing clock restarted after a stall
};

extern "C" {

/// Fills *stats with the sender's counters since its creation.
/// @param sender the sender.
/// @param stats receives the counters; the record is the caller's.
/// @return false for an unknown sender or a null pointer.
QRVLIB_API bool QRVlib_send_get_stats(QRVlib_send_instance_t sender, QRVlib_send_stats_t* stats);

/// Copies the newest video frame that the sender accepted into a buffer of
/// the caller: the record's geometry is filled in and, when data is not null
/// and capacity is large enough, the pixels are copied there packed (line
/// stride = width times bytes per pixel).
/// @param sender the sender.
/// @param frame receives the frame's geometry; its data pointer is set to data.
/// @param data the caller's buffer, or null to ask for the size alone.
/// @param capacity bytes available at data.
/// @param needed receives the bytes the pixels take; may be null.
/// @return false when no frame was accepted yet or the buffer is too small.
QRVLIB_API bool QRVlib_send_peek_video(QRVlib_send_instance_t sender, QRVlib_video_frame_v2_t* frame,
                                       uint8_t* data, uint64_t capacity, uint64_t* needed);

}  // extern "C"

// ---------------------------------------------------------------------------
// Transport, receiving, routing and camera control
// ---------------------------------------------------------------------------

/// A metadata frame: XML text. Captured frames belong to the receiver until
/// QRVlib_recv_free_metadata.
struct QRVlib_metadata_frame_t {
    int32_t length;  ///< bytes of p_data without the terminating NUL
    int64_t timecode;  ///< 100 ns units since the Unix epoch, as for video frames
    char* p_data;    ///< NUL-terminated text, or null
};

/// The state of a receiver as its last change of status left it.
struct QRVlib_recv_status_t {
    bool connected;      ///< media can arrive (from the source, or the routed source when redirected)
    bool ptz_supported;  ///< the source accepts camera commands
    bool routed;         ///< a router has sent this receiver to another source
};

/// Counters of one receiver since its creation.
struct QRVlib_recv_stats_t {
    uint64_t video_received;     ///< video frames that arrived, captured or not
    uint64_t audio_received;     ///< audio frames that arrived, captured or not
    uint64_t metadata_received;  ///< metadata frames that arrived, captured or not
    /// not captured: newer frames replaced them, the source skipped them for
    /// this receiver, or they were lost on the way (not completed from a
    /// group in time, or not decoded)
    uint64_t video_dropped;
    uint64_t audio_dropped;  ///< beyond the audio cap (oldest first), or skipped by the source for this receiver
    uint64_t metadata_dropped;  ///< beyond the metadata cap (oldest first), or skipped by the source for this receiver
    uint64_t bad_messages;   ///< connections dropped for an invalid message
    uint64_t connects;       ///< successful connections, reconnections included
    /// Messages from a source of a later version that were skipped, the
    /// connection kept: of a type this version does not know.
    uint64_t unknown_messages;
    /// Likewise: media in a payload format this version does not decode.
    uint64_t unknown_formats;
};

/// Counters of a sender's or router's server. A server takes at most 32
/// receivers. When all are taken, a new connection takes the place of one
/// that has not said hello yet (the oldest first), else of a receiver that
/// has stopped reading (stuck the longest); only when there is none is it
/// refused. At most 4 connections from one address may wait for their hello
/// at a time: a fifth ends the oldest of them. Those ended are counted
/// neither as refused nor as bad peers.
struct QRVlib_send_transport_stats_t {
    uint64_t accepted;            ///< connections taken in
    uint64_t refused;             ///< closed at once: too many connections
    uint64_t bad_peers;           ///< dropped for an invalid message
    uint64_t handshake_timeouts;  ///< dropped for saying nothing in time
    uint64_t video_dropped;       ///< frames skipped for slow receivers
    uint64_t audio_dropped;       ///< audio beyond a slow receiver's cap
    /// Messages from receivers of a later version that were skipped, the
    /// connection kept: of a type this version does not know.
    uint64_t unknown_messages;
    /// Reduced preview pictures made for receivers that asked for the
    /// lowest bandwidth: one per frame for all of them, only while one is
    /// connected.
    uint64_t previews_made;
};

/// What a sender's or router's receivers on this host hold of its shared
/// memory. Such a receiver maps each frame instead of reading its bytes and
/// holds it until it frees the frame. It may hold 8 frames at once, each
/// for 2 s, and at most the larger of 8 frames of the stream's size and a
/// floor in bytes (QRV_SHM_RECEIVER_MB, in MiB, read when the library is
/// initialized; default 64). Beyond, it is sent no new frames until it
/// frees some, while the other receivers go on at full rate; one that
/// frees nothing for 4 s while frames wait for it is dropped (its log line
/// at warn says so). What it maps stays its own until it lets go.
struct QRVlib_send_shared_memory_stats_t {
    uint64_t frames_sent;        ///< frames sent as shared memory
    uint64_t frames_withheld;    ///< not sent: the receiver held its share
    uint64_t frames_taken_back;  ///< held past 2 s: their memory is never reused
    uint64_t receivers_dropped;  ///< dropped for freeing nothing at their bound
    uint64_t bytes_held;         ///< held now by all such receivers
};

/// What one sender sends through its multicast groups (QRVlib_set_multicast:
/// one for full pictures, one for the preview), since its creation; all 0
/// while it offers none.
struct QRVlib_send_multicast_stats_t {
    uint64_t receivers;  ///< joined to a group now (also in QRVlib_send_get_no_connections)
    uint64_t messages;   ///< frames and other messages sent to the groups
    uint64_t bytes;      ///< of the datagrams to the groups, headers included
    uint64_t repairs;    ///< datagrams sent again to a receiver that missed them
    uint64_t dropped;    ///< not sent to a group: the pacing fell behind
    /// Datagrams asked for again but not sent: beyond the asking receiver's
    /// share of the stream (a quarter of its rate, at least 512 KiB/s) or
    /// past 512 in one request.
    uint64_t repairs_refused;
};

/// Who a sender let in with its site key (QRVlib_set_key_files), since its
/// creation.
struct QRVlib_send_security_stats_t {
    /// Receivers over TCP must prove the site key (TLS 1.3); false: the
    /// sender has no key and takes anyone.
    bool key_required;
    /// Peers refused for not proving the key: plain TCP, another site's
    /// key, a TLS handshake without our key or one that did not finish.
    uint64_t refused_without_key;
    /// Camera commands not carried out because the sender has an operator
    /// key and the receiver did not prove it (it holds only the site key).
    uint64_t commands_refused;
};

/// How senders compress video for receivers on other hosts. Receivers on
/// this host always get raw pixels (shared memory, or TCP on loopback),
/// and so does a receiver whose hello says it decodes nothing but raw.
/// Each frame is compressed once, on the runtime's own threads, for every
/// receiver that takes it: slices of JPEG with 4:2:2 chroma, alpha apart
/// and exact. When the encoder falls behind it takes the newest frame and
/// skips older ones; the receivers count those in video_dropped.
///
/// The defaults come from the environment, read when the library is
/// initialized (QRVlib_initialize):
/// - QRV_VIDEO_CODEC: "raw" sends raw pixels (for 10 Gbit/s links); on a
///   receiver it asks its sources for raw pixels. Otherwise: compressed.
/// - QRV_VIDEO_QUALITY: JPEG quality, 1 to 100 (default 95, visually
///   lossless).
/// - QRV_VIDEO_MAX_MBITS: ceiling of one source's video in megabits per
///   second (default 800, room for audio on a 1 Gbit/s link; 0: none).
///   A frame over its share of the ceiling steps the quality down for the
///   following frames (not below 50); it climbs back when there is room.
struct QRVlib_video_codec_t {
    bool compress;                ///< false: raw pixels to every receiver
    int32_t quality;              ///< 1 to 100
    double max_mbits_per_second;  ///< 0: no ceiling
};

/// Counters of one sender's video compression since its creation.
struct QRVlib_send_codec_stats_t {
    uint64_t compressed;  ///< frames compressed (once for all receivers)
    uint64_t skipped;     ///< frames skipped because the encoder was busy
    uint64_t bytes;       ///< of the compressed frames
    int32_t quality;      ///< for the next frame: where the ceiling has taken it
};

/// Compressed video that reached one receiver since its creation.
struct QRVlib_recv_codec_stats_t {
    uint64_t frames;   ///< compressed frames decoded
    uint64_t bytes;    ///< their compressed size
    uint64_t refused;  ///< did not decode: dropped (and in video_dropped)
};

/// Camera commands that reach a sender.
enum QRVlib_ptz_command_e : int32_t {
    QRVlib_ptz_recall_preset = 1,  ///< go to preset; value_a = speed 0.0 to 1.0
    QRVlib_ptz_store_preset = 2,   ///< store the current position as preset
    QRVlib_ptz_pan_tilt = 3,       ///< value_a = pan speed, value_b = tilt speed, -1.0 to 1.0
    QRVlib_ptz_zoom = 4,           ///< value_a = zoom, 0.0 (wide) to 1.0 (tele)
};

/// One camera command as a sender receives it (QRVlib_send_get_ptz_command).
struct QRVlib_ptz_command_t {
    QRVlib_ptz_command_e command;  ///< what to do; says which fields below count
    int32_t preset;  ///< 0 to 99, for recalling and storing a preset
    float value_a;   ///< speed, pan speed or zoom position, as the command says
    float value_b;   ///< tilt speed for pan and tilt; 0 otherwise
};

extern "C" {

/// Number of receivers connected to the sender now.
/// @param sender the sender.
/// @param timeout_ms when not 0, waits up to that many milliseconds for at
///        least one receiver.
/// @return the receivers connected; -1 for an unknown sender.
QRVLIB_API int32_t QRVlib_send_get_no_connections(QRVlib_send_instance_t sender, uint32_t timeout_ms);
/// Waits until a receiver of the sender is ready for a new video frame: one
/// past its handshake that takes video and has no frame waiting for it (it
/// has started on the newest, or was sent none yet). A producer that makes
/// frames on demand (a renderer, a screen grabber, a benchmark) calls it
/// before making each frame, so that it makes them only as fast as its
/// fastest receiver takes them, rather than making frames the links then
/// skip. A receiver fed by a multicast group, or one that asked for a lower
/// frame rate, is ready whenever nothing waits for it. Any thread; sending
/// from another thread meanwhile is allowed.
/// @param sender the sender.
/// @param timeout_ms the longest wait, in milliseconds (0: only look).
/// @return 1 when a receiver is ready; 0 when none is within the timeout,
///         or the sender is being destroyed; -1 for an unknown sender.
QRVLIB_API int32_t QRVlib_send_wait_video_wanted(QRVlib_send_instance_t sender, uint32_t timeout_ms);
/// Copies the sender's locator, NUL-terminated, into text when capacity is
/// large enough.
/// @param sender the sender.
/// @param text the caller's buffer, or null to ask for the size.
/// @param capacity bytes available at text.
/// @return the bytes needed including the NUL; 0 for an unknown sender.
QRVLIB_API uint32_t QRVlib_send_get_locator(QRVlib_send_instance_t sender, char* text, uint32_t capacity);
/// Fills *stats with the counters of the sender's server (connections,
/// refusals, frames skipped for slow receivers). Any thread.
/// @param sender the sender.
/// @param stats receives the counters; the record is the caller's.
/// @return false for an unknown sender or a null pointer.
QRVLIB_API bool QRVlib_send_get_transport_stats(QRVlib_send_instance_t sender,
                                                QRVlib_send_transport_stats_t* stats);
/// Fills *stats with what the sender's receivers on this host hold of its
/// shared memory (see QRVlib_send_shared_memory_stats_t). Any thread.
/// @param sender the sender.
/// @param stats receives the counters; the record is the caller's.
/// @return false for an unknown sender or a null pointer.
QRVLIB_API bool QRVlib_send_get_shared_memory_stats(QRVlib_send_instance_t sender,
                                                    QRVlib_send_shared_memory_stats_t* stats);
/// Sets how senders created from now on compress video, in place of the
/// environment's settings. Senders already running keep theirs.
/// @param codec the settings, read during the call.
/// @return false for a null pointer or a value out of range (quality outside
///         1 to 100, a negative or non-finite ceiling).
QRVLIB_API bool QRVlib_set_video_codec(const QRVlib_video_codec_t* codec);
/// The settings a sender created now would use: the last
/// QRVlib_set_video_codec, else the environment's.
/// @param codec receives the settings.
/// @return false for a null pointer.
QRVLIB_API bool QRVlib_get_video_codec(QRVlib_video_codec_t* codec);
/// Sets whether senders created from now on offer their receivers on other
/// hosts a multicast group, so that the network copies the media and the
/// sender's link carries one copy however many receivers there are. In
/// place of the environment's QRV_MULTICAST (off unless on or 1): only on
/// networks whose switches snoop IGMP, as others flood every port with
/// the group. The control stays on each receiver's TCP connection, and
/// QRVlib_send_get_no_connections counts every receiver however it is fed.
/// Senders already running keep theirs. Any thread.
/// @param offer true: offer a group; false: TCP to every receiver.
/// @return true.
QRVLIB_API bool QRVlib_set_multicast(bool offer);
/// Fills *stats with what the sender sent through its multicast group.
/// Any thread.
/// @param sender the sender.
/// @param stats receives the counters; the record is the caller's.
/// @return false for an unknown sender or a null pointer.
QRVLIB_API bool QRVlib_send_get_multicast_stats(QRVlib_send_instance_t sender, QRVlib_send_multicast_stats_t* stats);
/// Gives the key files of the senders, receivers and routers created from
/// now on, in place of the environment's QRV_KEY_FILE and
/// QRV_OPERATOR_KEY_FILE; objects already running keep theirs. A key file
/// holds one line, the base64 of 32 random bytes (openssl rand -base64 32),
/// or two while a key changes (both accepted from peers, the first one
/// offered); only its owner may read or write it (mode 0600 or stricter).
/// With a site key every TCP connection between a sender and a receiver
/// runs TLS 1.3 with a key derived from it, and each end refuses a peer
/// that does not prove it; the same-host path (Unix socket and shared
/// memory) is never TLS, and with a key a sender takes on it only the same
/// user, root or members of QRV_LOCAL_GROUP. The operator key carries the
/// right to steer cameras: a sender with one carries out camera commands
/// only from receivers that prove it (others' are refused and counted) and
/// from those let in on the same-host path; a receiver with one proves it
/// to every source. Any thread.
/// @param site_key_file the site key's path; null or empty: no key (plain
///        TCP, open to anyone who can reach the sender).
/// @param operator_key_file the operator key's path; null or empty: none.
///        Alone, without a site key, it is offered in the site key's place
///        (sources with this operator key take it).
/// @return false, with the reason as the last error, when a file is missing,
///         unreadable, not a regular file, readable or writable by others,
///         or not one or two keys; what was in force stays so.
QRVLIB_API bool QRVlib_set_key_files(const char* site_key_file, const char* operator_key_file);
/// Fills *stats with who the sender let in with its key. Any thread.
/// @param sender the sender.
/// @param stats receives the counters; the record is the caller's.
/// @return false for an unknown sender or a null pointer.
QRVLIB_API bool QRVlib_send_get_security_stats(QRVlib_send_instance_t sender, QRVlib_send_security_stats_t* stats);
/// Fills *stats with the sender's compression counters; all 0 while it
/// compresses nothing (no receiver on another host, or raw forced).
/// @param sender the sender.
/// @param stats receives the counters; the record is the caller's.
/// @return false for an unknown sender or a null pointer.
QRVLIB_API bool QRVlib_send_get_codec_stats(QRVlib_send_instance_t sender, QRVlib_send_codec_stats_t* stats);
/// Fills *stats with the compressed video that reached the receiver; all
/// 0 while its source sends raw pixels.
/// @param receiver the receiver.
/// @param stats receives the counters; the record is the caller's.
/// @return false for an unknown receiver or a null pointer.
QRVLIB_API bool QRVlib_recv_get_codec_stats(QRVlib_recv_instance_t receiver, QRVlib_recv_codec_stats_t* stats);
/// Sends a metadata frame to every receiver of the sender.
/// @param sender the sender.
/// @param frame the frame; its text is read during the call.
/// @return false for an unknown sender or a bad frame.
QRVLIB_API bool QRVlib_send_send_metadata(QRVlib_send_instance_t sender, const QRVlib_metadata_frame_t* frame);

/// Declares whether the source accepts camera commands; its receivers see a
/// change of status. Any thread.
/// @param sender the sender.
/// @param supported whether camera commands are accepted.
/// @return false for an unknown sender.
QRVLIB_API bool QRVlib_send_set_ptz_supported(QRVlib_send_instance_t sender, bool supported);
/// Takes the oldest camera command received. Up to 64 commands wait;
/// beyond that the oldest is dropped. Commands with values outside their
/// range never arrive. Any thread; one waiting caller at a time is the
/// expected use.
/// @param sender the sender.
/// @param command receives the command; the record is the caller's.
/// @param timeout_ms the longest wait in milliseconds.
/// @return false when none came in time, or for an unknown sender or a null
///         pointer.
QRVLIB_API bool QRVlib_send_get_ptz_command(QRVlib_send_instance_t sender, QRVlib_ptz_command_t* command,
                                            uint32_t timeout_ms);

/// Frees what a capture handed out; the record's data pointer becomes null.
/// Until then a captured frame is the caller's and keeps its content, however
/// long it is held. Captured pixels are read-only: on this host they may be
/// the sender's shared memory, mapped without write access.
/// @param receiver the receiver that captured the frame.
/// @param frame the captured frame.
QRVLIB_API void QRVlib_recv_free_video_v2(QRVlib_recv_instance_t receiver, QRVlib_video_frame_v2_t* frame);
/// Frees audio that a capture handed out; its data pointer becomes null.
/// Any thread; a frame is freed once, with the receiver that captured it.
/// @param receiver the receiver that captured the frame.
/// @param frame the captured frame.
QRVLIB_API void QRVlib_recv_free_audio_v2(QRVlib_recv_instance_t receiver, QRVlib_audio_frame_v2_t* frame);
/// Frees metadata text that a capture handed out; p_data becomes null.
/// Any thread; a frame is freed once, with the receiver that captured it.
/// @param receiver the receiver that captured the frame.
/// @param frame the captured frame.
QRVLIB_API void QRVlib_recv_free_metadata(QRVlib_recv_instance_t receiver, QRVlib_metadata_frame_t* frame);
/// The receiver's state as its last change of status left it (capture
/// reports each change as code 100). Any thread. While it is not connected
/// because its source did not prove the site key, the last error says so
/// ("the source does not hold this site's key").
/// @param receiver the receiver.
/// @param status receives the state; the record is the caller's.
/// @return false for an unknown receiver or a null pointer.
QRVLIB_API bool QRVlib_recv_get_status(QRVlib_recv_instance_t receiver, QRVlib_recv_status_t* status);
/// The receiver's counters since its creation. Any thread.
/// @param receiver the receiver.
/// @param stats receives the counters; the record is the caller's.
/// @return false for an unknown receiver or a null pointer.
QRVLIB_API bool QRVlib_recv_get_stats(QRVlib_recv_instance_t receiver, QRVlib_recv_stats_t* stats);
/// Copies the multicast group the receiver's media come from now (dotted
/// IPv4, NUL-terminated) into text when capacity is large enough; the
/// empty text when they come over its connection (TCP or shared memory).
/// Any thread.
/// @param receiver the receiver.
/// @param text the caller's buffer, or null to ask for the size.
/// @param capacity bytes available at text.
/// @return the bytes needed including the NUL; 0 for an unknown receiver.
QRVLIB_API uint32_t QRVlib_recv_get_multicast_group(QRVlib_recv_instance_t receiver, char* text,
                                                    uint32_t capacity);

/// Camera commands from a receiver, sent upstream by the link's own thread.
/// Each is false when the receiver is unknown, not connected, or its source
/// does not support camera control. A preset outside 0 to 99 or a value that
/// is not a number is refused (false); speeds and positions outside their
/// range are clamped: speed to 0.0..1.0, pan and tilt to -1.0..1.0, zoom to
/// 0.0..1.0. Any thread.
///
/// Stores the camera's current position as a preset.
/// @param receiver the receiver.
/// @param preset the preset, 0 to 99.
/// @return false as for every camera command.
QRVLIB_API bool QRVlib_recv_ptz_store_preset(QRVlib_recv_instance_t receiver, int32_t preset);
/// Moves the camera at a pan and a tilt speed.
/// @param receiver the receiver.
/// @param pan_speed -1.0 to 1.0, clamped.
/// @param tilt_speed -1.0 to 1.0, clamped.
/// @return false as for the other camera commands.
QRVLIB_API bool QRVlib_recv_ptz_pan_tilt(QRVlib_recv_instance_t receiver, float pan_speed, float tilt_speed);
/// Zooms to a position.
/// @param receiver the receiver.
/// @param zoom from 0.0 (wide) to 1.0 (tele), clamped.
/// @return false as for the other camera commands.
QRVLIB_API bool QRVlib_recv_ptz_zoom(QRVlib_recv_instance_t receiver, float zoom);

/// What became of a receiver's last camera command
/// (QRVlib_recv_ptz_wait_delivered).
enum QRVlib_ptz_delivery_e : int32_t {
    /// Not known to be there: no command was sent, the source refused it,
    /// the connection ended first or the time ran out. The reason is in
    /// QRVlib_get_last_error().
    QRVlib_ptz_delivery_failed = 0,
    /// The source's runtime holds it for its application
    /// (QRVlib_send_get_ptz_command hands it out next, after those before).
    QRVlib_ptz_delivery_acknowledged = 1,
    /// Written to the connection; the source is of a version that does not
    /// acknowledge camera commands, so no more can be known. Not waited for
    /// beyond the write.
    QRVlib_ptz_delivery_unconfirmed = 2,
};

/// Waits until the camera holds the last camera command sent through the
/// receiver. A source acknowledges each command once its runtime holds it
/// for the application; commands from one receiver are taken in the order
/// sent, so the ones before it are there too. A source that says (on
/// connecting) that it does not acknowledge is not waited for: the call
/// returns once the command is written.
///
/// Destroying a receiver writes what its connection has accepted and not
/// yet sent (camera commands, tally) and closes it gently, waiting at most
/// 500 ms and only when something is pending; this call is what tells the
/// caller that the camera has it.
///
/// Threading: any thread, also while other threads send commands or
/// capture; a command sent during the wait becomes the last one only for
/// later calls. A QRVlib_recv_destroy on another thread takes effect once
/// the wait has ended.
/// @param receiver the receiver that sent the command.
/// @param timeout_ms the longest wait in milliseconds.
/// @return QRVlib_ptz_delivery_acknowledged or QRVlib_ptz_delivery_unconfirmed
///         as above; QRVlib_ptz_delivery_failed, with a reason in
///         QRVlib_get_last_error(), for an unknown receiver, when no command
///         was sent through it, when the source refused the command (a value
///         out of its range, or a source with an operator key and a
///         receiver that did not prove it), when the connection that carried it ended
///         before the acknowledgement, and when none came within timeout_ms.
QRVLIB_API QRVlib_ptz_delivery_e QRVlib_recv_ptz_wait_delivered(QRVlib_recv_instance_t receiver,
                                                                uint32_t timeout_ms);

/// The locator of a router's own source, as for a sender.
/// @param router the router.
/// @param text the caller's buffer, or null to ask for the size.
/// @param capacity bytes available at text.
/// @return the bytes needed including the NUL; 0 for an unknown router.
QRVLIB_API uint32_t QRVlib_routing_get_locator(QRVlib_routing_instance_t router, char* text, uint32_t capacity);
/// Number of receivers connected to the router's own source now. Any
/// thread.
/// @param router the router.
/// @param timeout_ms when not 0, waits up to that many milliseconds for at
///        least one receiver, and returns at once when the router is destroyed.
/// @return the receivers connected; -1 for an unknown router.
QRVLIB_API int32_t QRVlib_routing_get_no_connections(QRVlib_routing_instance_t router, uint32_t timeout_ms);

// --- receivers' wishes ----------------------------------------------------

/**
 * @page receiver_wishes What a receiver asks of its source
 *
 * Two fields of QRVlib_recv_create_v3_t take effect when the receiver is
 * created and hold for its whole life, reconnections and routes included.
 * Both are told to the source when the receiver connects. The source acts
 * on the bandwidth: it sends only the kinds of media that it allows, and
 * video as a preview for the lowest. The colour format is the receiver's
 * own concern: the source sends video in the layout it was given (raw, or
 * compressed between hosts), whatever the receiver asked for, and the
 * receiver converts each frame to the wanted layout when it is captured.
 *
 * @b color_format (QRVlib_recv_color_format_e): the pixel layout of the
 * video frames that QRVlib_recv_capture_v2 hands out. Frames with alpha
 * are those the source sent as BGRA or RGBA; the others (UYVY, BGRX, RGBX)
 * have none.
 *  - QRVlib_recv_color_format_UYVY_BGRA (1, the default): without alpha as
 *    UYVY, with alpha as BGRA.
 *  - QRVlib_recv_color_format_BGRX_BGRA (0): every frame as BGRX (without
 *    alpha; the fourth byte is 255) or BGRA (with alpha).
 *  - QRVlib_recv_color_format_RGBX_RGBA (2): as 0, in RGBX or RGBA.
 *  - QRVlib_recv_color_format_UYVY_RGBA (3): without alpha as UYVY, with
 *    alpha as RGBA.
 *  - QRVlib_recv_color_format_fastest (100): exactly as the source sent it.
 *  - Any other value acts as the default.
 *
 * YUV is BT.709 in studio range (Y 16 to 235, Cb and Cr 16 to 240), RGB is
 * full range; in UYVY a pair's chroma belongs to its first pixel. Going to
 * RGB the second pixel of a pair takes the mean of its neighbours'
 * chroma; going to UYVY a pair's chroma is the mean of its two pixels', and
 * alpha is dropped. Alpha passes unchanged between BGRA and RGBA.
 * Conversion happens in the capture call, on the caller's thread; a frame
 * delivered in the layout it arrived in is not copied (on the same host it
 * is read straight from the source's shared memory). Either way the frame
 * is freed with QRVlib_recv_free_video_v2; its line stride is the width
 * times the bytes per pixel of the delivered layout.
 *
 * @b bandwidth (QRVlib_recv_bandwidth_e):
 *  - QRVlib_recv_bandwidth_highest (100, the default): everything as sent.
 *  - QRVlib_recv_bandwidth_lowest (50): audio and metadata as sent; video
 *    as a reduced preview picture, a quarter of each dimension (at least 1
 *    pixel; for UYVY an even width of at least 2), same layout and frame
 *    rate. The source makes one preview per frame for all such receivers,
 *    on a thread of its own and only while one is connected; previews skip
 *    frames rather than fall behind.
 *  - QRVlib_recv_bandwidth_audio_only (10): audio and metadata, no video.
 *  - QRVlib_recv_bandwidth_metadata_only (0): metadata only.
 *  - Any other value acts as highest.
 *
 * A source of the first version of the protocol ignores these wishes: it
 * sends everything in full size, and the receiver drops the kinds of media
 * it did not ask for (QRVlib_recv_stats_t still counts them as received).
 */

// --- tally -----------------------------------------------------------------

/**
 * Tally: whether a source is on program (on air) and/or on preview.
 * Receivers tell their source; the source combines what all its connected
 * receivers say.
 */
struct QRVlib_tally_t {
    bool on_program = false;  ///< on air
    bool on_preview = false;  ///< lined up to go on air next
};
static_assert(sizeof(QRVlib_tally_t) == 2);

extern "C" {

/**
 * Tells the receiver's source that it is on program and/or on preview.
 *
 * The state is kept by the receiver: it is sent at once when connected, and
 * again after every reconnection and to every new source a router sends
 * the receiver to, until the next call replaces it. It goes to the source
 * that actually carries the media: for a receiver of a routed source, the
 * source the router points at, not the router. When the receiver is
 * destroyed or its connection ends, the source no longer counts it.
 *
 * Threading: may be called from any thread, concurrently with captures;
 * the last call's state is the one the source ends up with. Does not block
 * beyond a short socket write.
 *
 * @param receiver a receiver handle.
 * @param tally the state; read during the call only.
 * @return false for an unknown receiver or a null tally; true once the
 *         state is recorded (whether or not the receiver is connected now).
 */
QRVLIB_API bool QRVlib_recv_set_tally(QRVlib_recv_instance_t receiver, const QRVlib_tally_t* tally);

/**
 * The combined tally of a sender: on program when any connected receiver
 * says so, on preview likewise. A receiver that disconnects no longer
 * counts.
 *
 * Each sender remembers the combined state that this call last reported.
 * When the state has changed since then, the call returns at once;
 * otherwise it waits up to timeout_ms for a change (0: does not wait).
 *
 * Threading: may be called from any thread; calls from several threads
 * share the one remembered state.
 *
 * @param sender a sender handle.
 * @param tally receives the combined state, whether or not it changed;
 *        written only when the sender is known and tally is not null.
 * @param timeout_ms how long to wait for a change.
 * @return true when the combined state changed since the previous call
 *         (the first call: since the sender was created); false when it
 *         did not change within the timeout, for an unknown sender or a
 *         null tally.
 */
QRVLIB_API bool QRVlib_send_get_tally(QRVlib_send_instance_t sender, QRVlib_tally_t* tally, uint32_t timeout_ms);

/**
 * The combined tally of the source whose media a receiver gets (for a
 * receiver of a router, the source the router points at), as that source
 * last reported it: each source tells its receivers when its combined
 * tally changes. Both false while not connected, or when the source is of
 * a version that does not report its tally.
 *
 * Threading: any thread; does not block.
 *
 * @param receiver a receiver handle.
 * @param tally receives the state; the record is the caller's.
 * @return false for an unknown receiver or a null tally.
 */
QRVLIB_API bool QRVlib_recv_get_source_tally(QRVlib_recv_instance_t receiver, QRVlib_tally_t* tally);


/**
 * Creates a receiver as QRVlib_recv_create_v3 does, that takes at most
 * max_video_fps video frames a second: its source skips the others for it
 * before scaling, compressing or sending them, so that a wall of previews
 * (QRVlib_recv_bandwidth_lowest) costs the network a few small pictures a
 * second per source. The frames skipped this way are not counted in
 * video_dropped. Audio and metadata are not affected.
 *
 * Threading and ownership: as QRVlib_recv_create_v3.
 *
 * @param settings as for QRVlib_recv_create_v3.
 * @param max_video_fps frames a second; 0 for every frame.
 * @return the receiver, or null (see QRVlib_get_last_error) when settings
 *         are refused or max_video_fps is negative or not a number.
 */
QRVLIB_API QRVlib_recv_instance_t QRVlib_recv_create_with_rate(const QRVlib_recv_create_v3_t* settings,
                                                              float max_video_fps);
}  // extern "C"

// --- discovery -------------------------------------------------------------

/// Counters of the process's discovery service (DNS-SD over multicast DNS).
struct QRVlib_discovery_stats_t {
    uint64_t packets_received;   ///< multicast DNS packets read, on every interface
    uint64_t packets_rejected;   ///< from outside the receiving interface's subnet
    uint64_t packets_malformed;  ///< refused by the message parser
    uint64_t packets_sent;       ///< queries, answers and announcements sent
    uint64_t cache_records;      ///< records held (capped)
    uint64_t conflicts;          ///< name conflicts met by our publications
    uint64_t interfaces;         ///< interfaces in use
    /// 1 while discovery works; 0 when its multicast socket could not be
    /// opened or joined at the start (the reason is logged at error and left
    /// as QRVlib_initialize's last error). Sources are then neither published
    /// nor found, but receivers still reach a source by its locator.
    uint64_t running;
};

/// The counters of the process's discovery service.
/// @param stats receives the counters; the record is the caller's.
/// @return false when the library is not running or stats is null.
QRVLIB_API bool QRVlib_discovery_get_stats(QRVlib_discovery_stats_t* stats);

/// Re-finds a source by its full name as finders list it ("HOST (source)"),
/// waiting for it to be visible.
/// @param name the full name.
/// @param locator the caller's buffer for the current locator,
///        NUL-terminated; written when capacity suffices.
/// @param capacity bytes available at locator.
/// @param timeout_ms the longest wait in milliseconds.
/// @return the locator's length plus one; 0 when not found in time, or for
///         a null name.
QRVLIB_API uint32_t QRVlib_discovery_resolve(const char* name, char* locator, uint32_t capacity,
                                             uint32_t timeout_ms);

/// Whether a source listed now says in its announcement (multicast or
/// unicast DNS) that it takes only peers holding the site key. The
/// announcement says only that; nothing in it comes from the key. Anyone
/// can announce anything, so this is for showing, not for trust: a
/// receiver with the key connects only to a source that proves it. Does
/// not wait. Any thread.
/// @param name the full name as finders list it ("HOST (source)").
/// @return 1 when the source needs a key, 0 when it does not, -1 when no
///         source of that name is listed now, for a null name, or before
///         the library is initialized (the reason as the last error).
QRVLIB_API int QRVlib_discovery_source_needs_key(const char* name);

/// The name under which a sender's source is published right now (it changes
/// when a conflict on the network renames it).
/// @param sender the sender.
/// @param text the caller's buffer, NUL-terminated; written when capacity
///        suffices.
/// @param capacity bytes available at text.
/// @return the bytes needed including the NUL; 0 for an unknown sender.
QRVLIB_API uint32_t QRVlib_send_get_published_name(QRVlib_send_instance_t sender, char* text, uint32_t capacity);

}  // extern "C"

// ---------------------------------------------------------------------------
// Log and last error
// ---------------------------------------------------------------------------

/**
 * @brief Severity of a log line; a lower value is more severe.
 *
 * As a maximum level, a value lets through lines of its own severity and
 * every more severe one; QRVlib_log_level_none lets nothing through.
 */
enum QRVlib_log_level_e : int32_t {
    QRVlib_log_level_none = 0,
    QRVlib_log_level_error = 1,  ///< something failed: an object or service cannot work
    QRVlib_log_level_warn = 2,   ///< a refusal or a fault that the runtime works around
    QRVlib_log_level_info = 3,   ///< starts, stops, publications, connections
    QRVlib_log_level_debug = 4,  ///< details for tracing a problem
};

/**
 * @brief Receives one log line of the runtime.
 *
 * @param user     the pointer given to QRVlib_set_log_callback.
 * @param level    the line's severity (never QRVlib_log_level_none).
 * @param category the area it comes from: "library", "discovery",
 *                 "transport", "sender", "receiver", "router" or "finder".
 * @param message  the text alone, one line without a newline, at most about
 *                 1000 bytes (no time, level or category in it).
 *
 * Both texts belong to the runtime and are valid only during the call.
 *
 * The callback may be called on any thread: the application's own threads
 * inside a runtime operation as well as the runtime's internal threads,
 * several at once. It is never called with a lock of the runtime held, so it
 * may take locks of its own, read counters and statistics of the runtime and
 * call QRVlib_set_log_callback. It must not call QRVlib_initialize,
 * QRVlib_destroy or any create or destroy operation: a destroy waits for the
 * runtime threads of its object, one of which may be the thread running the
 * callback. It should return quickly, since the thread that logged waits for
 * it. Lines that the runtime logs on a thread while the callback runs on that
 * thread are not passed to the callback again. Exceptions must not leave it.
 */
typedef void (*QRVlib_log_callback_t)(void* user, QRVlib_log_level_e level, const char* category,
                                      const char* message);

extern "C" {

/**
 * @brief Hands the runtime's log lines to the application.
 *
 * From this call on, every line of max_level or more severe is passed to
 * callback with user. A null callback, or QRVlib_log_level_none, removes the
 * callback. A new callback replaces the previous one.
 *
 * The callback does not change what goes to standard error: that depends on
 * the environment variable QRV_LOG alone, which is off unless set (for
 * example QRV_LOG=warn, or QRV_LOG=info,discovery:debug for one category in
 * more detail). With a callback and without QRV_LOG, nothing is written to
 * standard error.
 *
 * When this function returns, the callback it replaced is not running on any
 * thread and is never called again, so that user may be freed; the one
 * exception is a callback that replaces or removes itself, whose own call
 * is still running. May be called at any time, before QRVlib_initialize and
 * after QRVlib_destroy as well; the callback stays set across them. Thread
 * safe.
 *
 * @param callback receives the lines; null removes the callback.
 * @param user handed to every call of callback.
 * @param max_level the least severe level passed on;
 *        QRVlib_log_level_none removes the callback.
 */
QRVLIB_API void QRVlib_set_log_callback(QRVlib_log_callback_t callback, void* user, QRVlib_log_level_e max_level);

/**
 * @brief Why the calling thread's last failed operation failed.
 *
 * A create (QRVlib_send_create, QRVlib_find_create_v2, QRVlib_recv_create_v3,
 * QRVlib_routing_create) that returns null, a QRVlib_initialize that returns
 * false, and other operations refused for a handle or an argument they
 * cannot use leave a reason here, for example "the library is not
 * initialized", "the sender name is missing", "the sender name is longer
 * than 199 bytes" or "could not listen on 127.0.0.1: Address already in
 * use". A create or QRVlib_initialize that succeeds clears it; other
 * operations that succeed leave it as it was. A QRVlib_initialize that
 * succeeds without discovery (see QRVlib_discovery_stats_t::running) leaves
 * that reason.
 *
 * Each thread has its own last error. Failed creates are also logged at
 * warn, a failed QRVlib_initialize at error. A sender's refused frames
 * (and frames sent without metadata too long to carry) are logged at warn
 * at most once in 10 seconds per sender, with their count, since they may
 * repeat with every frame; refusals of other operations are not logged.
 *
 * @return A NUL-terminated text owned by the runtime, never null (empty
 *         when there is no error), valid until the calling thread's next
 *         call into the runtime.
 */
QRVLIB_API const char* QRVlib_get_last_error(void);

/**
 * The version of this library, "MAJOR.MINOR.PATCH" (for example "3.0.0"):
 * the version of the project that built it, which the tools built with it
 * also print for --version.
 *
 * Threading: callable from any thread at any time, also before
 * QRVlib_initialize and after QRVlib_destroy.
 *
 * @return A static string owned by the library, never null; valid for as
 *         long as the library is loaded and never to be freed.
 */
QRVLIB_API const char* QRVlib_version(void);

}  // extern "C"

#endif  // QRV_RUNTIME_H
