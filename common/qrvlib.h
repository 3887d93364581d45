// Interface of the network media library libqrv.so.3: the records that the
// programs build and lend to the library, the enumerations and constants, and
// every exported operation with C linkage.
//
// The records are read by the library through their memory layout, so every
// field's offset and every record's size is pinned below with static_assert.
// Each record has exactly one constructor whose parameters are its fields in
// order, each with its default; the constructor only stores its arguments.
#ifndef QRVLIB_H
#define QRVLIB_H

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Enumerations (each stored in 4 bytes)
// ---------------------------------------------------------------------------

// Pixel layouts: the four ASCII characters of the name packed little-endian.
enum QRVlib_FourCC_type_e : uint32_t {
    QRVlib_FourCC_type_UYVY = 0x59565955u,  // packed 4:2:2, bytes U Y0 V Y1
    QRVlib_FourCC_type_BGRA = 0x41524742u,  // 4 bytes per pixel, B G R A
    QRVlib_FourCC_type_BGRX = 0x58524742u,  // as BGRA, alpha ignored
    QRVlib_FourCC_type_RGBA = 0x41424752u,  // 4 bytes per pixel, R G B A
    QRVlib_FourCC_type_RGBX = 0x58424752u,  // as RGBA, alpha ignored
};

enum QRVlib_frame_format_type_e : uint32_t {
    QRVlib_frame_format_type_interleaved = 0,
    QRVlib_frame_format_type_progressive = 1,
    QRVlib_frame_format_type_field_0 = 2,
    QRVlib_frame_format_type_field_1 = 3,
};

// Pixel layout a receiver delivers its video in (the runtime's header says
// what each gives).
enum QRVlib_recv_color_format_e : uint32_t {
    QRVlib_recv_color_format_BGRX_BGRA = 0,
    QRVlib_recv_color_format_UYVY_BGRA = 1,
    QRVlib_recv_color_format_RGBX_RGBA = 2,  ///< RGB-ordered counterpart of BGRX_BGRA
    QRVlib_recv_color_format_UYVY_RGBA = 3,  ///< RGB-ordered counterpart of UYVY_BGRA
    QRVlib_recv_color_format_fastest = 100,
};

enum QRVlib_recv_bandwidth_e : uint32_t {
    QRVlib_recv_bandwidth_metadata_only = 0,
    QRVlib_recv_bandwidth_audio_only = 10,
    QRVlib_recv_bandwidth_lowest = 50,
    QRVlib_recv_bandwidth_highest = 100,
};

static_assert(sizeof(QRVlib_FourCC_type_e) == 4);
static_assert(sizeof(QRVlib_frame_format_type_e) == 4);
static_assert(sizeof(QRVlib_recv_color_format_e) == 4);
static_assert(sizeof(QRVlib_recv_bandwidth_e) == 4);

// ---------------------------------------------------------------------------
// Constants: each program has its own read-only copy (internal linkage).
// ---------------------------------------------------------------------------

// Default timecode of every frame record: the library fills one in.
static const int64_t QRVlib_send_timecode_synthesize = INT64_MAX;
// Timestamp value of a received frame that carries none.
static const int64_t QRVlib_recv_timestamp_undefined = INT64_MAX;

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// One source on the network. Arrays of these returned by a finder belong to
// the finder; the texts stay the library's.
struct QRVlib_source_t {
    const char* name;     // "HOST (source name)"
    const char* locator;  // where a receiver connects; opaque to programs

    QRVlib_source_t(const char* name_ = nullptr, const char* locator_ = nullptr)
        : name(name_), locator(locator_) {}
};

// Settings of a finder. A null pointer in place of this record means the
// defaults below.
//   option_flag:   show sources published by this same process too.
//   option_text_a: group filter, a comma-separated list of group names; only
//                  sources in one of these groups are shown (null: all).
//   option_text_b: extra places to look for sources by unicast DNS, a
//                  comma-separated list of domain names ("control.example")
//                  and IPv4 DNS servers of the configured QRV_DNS_DOMAIN
//                  ("10.1.0.53"); entries that are neither are logged and
//                  skipped (null: none).
struct QRVlib_find_create_t {
    bool option_flag;
    const char* option_text_a;
    const char* option_text_b;

    QRVlib_find_create_t(bool option_flag_ = true, const char* option_text_a_ = nullptr,
                         const char* option_text_b_ = nullptr)
        : option_flag(option_flag_), option_text_a(option_text_a_), option_text_b(option_text_b_) {}
};

// Settings of a sender.
//   name:        the source's own name, published as "HOST (name)".
//   option_text: comma-separated groups that the source belongs to
//                (null: the group "public"); finders list only sources of
//                the groups they ask for.
struct QRVlib_send_create_t {
    const char* name;
    const char* option_text;
    bool pace_video;  // video sends return at the frame rate
    bool pace_audio;  // audio sends return at the pace of their samples

    QRVlib_send_create_t(const char* name_ = nullptr, const char* option_text_ = nullptr,
                         bool pace_video_ = true, bool pace_audio_ = true)
        : name(name_), option_text(option_text_), pace_video(pace_video_), pace_audio(pace_audio_) {}
};

// Settings of a receiver. The library copies what it needs during the call.
//   color_format: the pixel layout captures deliver (the receiver converts).
//   bandwidth: what the source sends (all, a preview, audio, metadata).
//   option_flag: allow the video to be delivered as fields.
struct QRVlib_recv_create_v3_t {
    QRVlib_source_t source;
    QRVlib_recv_color_format_e color_format;
    QRVlib_recv_bandwidth_e bandwidth;
    bool option_flag;
    const char* receiver_name;

    QRVlib_recv_create_v3_t(QRVlib_source_t source_ = QRVlib_source_t(),
                            QRVlib_recv_color_format_e color_format_ = QRVlib_recv_color_format_UYVY_BGRA,
                            QRVlib_recv_bandwidth_e bandwidth_ = QRVlib_recv_bandwidth_highest,
                            bool option_flag_ = true, const char* receiver_name_ = nullptr)
        : source(source_), color_format(color_format_), bandwidth(bandwidth_),
          option_flag(option_flag_), receiver_name(receiver_name_) {}
};

// Settings of a router.
//   option_text: groups of the routed source, as for a sender.
struct QRVlib_routing_create_t {
    const char* name;
    const char* option_text;

    QRVlib_routing_create_t(const char* name_ = nullptr, const char* option_text_ = nullptr)
        : name(name_), option_text(option_text_) {}
};

// One video frame: height lines of line_stride bytes starting at data.
struct QRVlib_video_frame_v2_t {
    int32_t width;
    int32_t height;
    QRVlib_FourCC_type_e fourcc;
    int32_t frame_rate_num;
    int32_t frame_rate_den;
    float aspect_ratio;  // width over height of the picture; 0: square pixels
    QRVlib_frame_format_type_e frame_format;
    int64_t timecode;  // 100 ns units; QRVlib_send_timecode_synthesize: filled in
    uint8_t* data;
    int32_t line_stride;
    const char* metadata;  // optional XML text sent with the frame
    int64_t timestamp;

    QRVlib_video_frame_v2_t(int32_t width_ = 0, int32_t height_ = 0,
                            QRVlib_FourCC_type_e fourcc_ = QRVlib_FourCC_type_UYVY,
                            int32_t frame_rate_num_ = 30000, int32_t frame_rate_den_ = 1001,
                            float aspect_ratio_ = 0.0f,
                            QRVlib_frame_format_type_e frame_format_ = QRVlib_frame_format_type_progressive,
                            int64_t timecode_ = QRVlib_send_timecode_synthesize, uint8_t* data_ = nullptr,
                            int32_t line_stride_ = 0, const char* metadata_ = nullptr, int64_t timestamp_ = 0)
        : width(width_), height(height_), fourcc(fourcc_), frame_rate_num(frame_rate_num_),
          frame_rate_den(frame_rate_den_), aspect_ratio(aspect_ratio_), frame_format(frame_format_),
          timecode(timecode_), data(data_), line_stride(line_stride_), metadata(metadata_),
          timestamp(timestamp_) {}
};

// One frame of planar float audio: channel c starts c * channel_stride bytes
// after data.
struct QRVlib_audio_frame_v2_t {
    int32_t sample_rate;
    int32_t no_channels;
    int32_t no_samples;
    int64_t timecode;
    float* data;
    int32_t channel_stride;
    const char* metadata;
    int64_t timestamp;

    QRVlib_audio_frame_v2_t(int32_t sample_rate_ = 48000, int32_t no_channels_ = 2, int32_t no_samples_ = 0,
                            int64_t timecode_ = QRVlib_send_timecode_synthesize, float* data_ = nullptr,
                            int32_t channel_stride_ = 0, const char* metadata_ = nullptr,
                            int64_t timestamp_ = 0)
        : sample_rate(sample_rate_), no_channels(no_channels_), no_samples(no_samples_), timecode(timecode_),
          data(data_), channel_stride(channel_stride_), metadata(metadata_), timestamp(timestamp_) {}
};

// One frame of interleaved signed 16-bit audio.
//   level_setting: headroom in dB that full scale stands for (0: none).
struct QRVlib_audio_frame_interleaved_16s_t {
    int32_t sample_rate;
    int32_t no_channels;
    int32_t no_samples;
    int64_t timecode;
    int32_t level_setting;
    int16_t* data;

    QRVlib_audio_frame_interleaved_16s_t(int32_t sample_rate_ = 48000, int32_t no_channels_ = 2,
                                         int32_t no_samples_ = 0,
                                         int64_t timecode_ = QRVlib_send_timecode_synthesize,
                                         int32_t level_setting_ = 0, int16_t* data_ = nullptr)
        : sample_rate(sample_rate_), no_channels(no_channels_), no_samples(no_samples_), timecode(timecode_),
          level_setting(level_setting_), data(data_) {}
};

// Metadata frames are defined by the runtime's own header; captures name them
// only by pointer.
struct QRVlib_metadata_frame_t;

// ---------------------------------------------------------------------------
// Layouts (x86-64 Linux, natural alignment)
// ---------------------------------------------------------------------------
#define QRVLIB_PIN(T, field, off) static_assert(offsetof(T, field) == (off), #T "." #field)
static_assert(sizeof(QRVlib_source_t) == 16 && alignof(QRVlib_source_t) == 8);
QRVLIB_PIN(QRVlib_source_t, name, 0);
QRVLIB_PIN(QRVlib_source_t, locator, 8);

static_assert(sizeof(QRVlib_find_create_t) == 24 && alignof(QRVlib_find_create_t) == 8);
QRVLIB_PIN(QRVlib_find_create_t, option_flag, 0);
QRVLIB_PIN(QRVlib_find_create_t, option_text_a, 8);
QRVLIB_PIN(QRVlib_find_create_t, option_text_b, 16);

static_assert(sizeof(QRVlib_send_create_t) == 24 && alignof(QRVlib_send_create_t) == 8);
QRVLIB_PIN(QRVlib_send_create_t, name, 0);
QRVLIB_PIN(QRVlib_send_create_t, option_text, 8);
QRVLIB_PIN(QRVlib_send_create_t, pace_video, 16);
QRVLIB_PIN(QRVlib_send_create_t, pace_audio, 17);

static_assert(sizeof(QRVlib_recv_create_v3_t) == 40 && alignof(QRVlib_recv_create_v3_t) == 8);
QRVLIB_PIN(QRVlib_recv_create_v3_t, source, 0);
QRVLIB_PIN(QRVlib_recv_create_v3_t, color_format, 16);
QRVLIB_PIN(QRVlib_recv_create_v3_t, bandwidth, 20);
QRVLIB_PIN(QRVlib_recv_create_v3_t, option_flag, 24);
QRVLIB_PIN(QRVlib_recv_create_v3_t, receiver_name, 32);

static_assert(sizeof(QRVlib_routing_create_t) == 16 && alignof(QRVlib_routing_create_t) == 8);
QRVLIB_PIN(QRVlib_routing_create_t, name, 0);
QRVLIB_PIN(QRVlib_routing_create_t, option_text, 8);

static_assert(sizeof(QRVlib_video_frame_v2_t) == 72 && alignof(QRVlib_video_frame_v2_t) == 8);
QRVLIB_PIN(QRVlib_video_frame_v2_t, width, 0);
QRVLIB_PIN(QRVlib_video_frame_v2_t, height, 4);
QRVLIB_PIN(QRVlib_video_frame_v2_t, fourcc, 8);
QRVLIB_PIN(QRVlib_video_frame_v2_t, frame_rate_num, 12);
QRVLIB_PIN(QRVlib_video_frame_v2_t, frame_rate_den, 16);
QRVLIB_PIN(QRVlib_video_frame_v2_t, aspect_ratio, 20);
QRVLIB_PIN(QRVlib_video_frame_v2_t, frame_format, 24);
QRVLIB_PIN(QRVlib_video_frame_v2_t, timecode, 32);
QRVLIB_PIN(QRVlib_video_frame_v2_t, data, 40);
QRVLIB_PIN(QRVlib_video_frame_v2_t, line_stride, 48);
QRVLIB_PIN(QRVlib_video_frame_v2_t, metadata, 56);
QRVLIB_PIN(QRVlib_video_frame_v2_t, timestamp, 64);

static_assert(sizeof(QRVlib_audio_frame_v2_t) == 56 && alignof(QRVlib_audio_frame_v2_t) == 8);
QRVLIB_PIN(QRVlib_audio_frame_v2_t, sample_rate, 0);
QRVLIB_PIN(QRVlib_audio_frame_v2_t, no_channels, 4);
QRVLIB_PIN(QRVlib_audio_frame_v2_t, no_samples, 8);
QRVLIB_PIN(QRVlib_audio_frame_v2_t, timecode, 16);
QRVLIB_PIN(QRVlib_audio_frame_v2_t, data, 24);
QRVLIB_PIN(QRVlib_audio_frame_v2_t, channel_stride, 32);
QRVLIB_PIN(QRVlib_audio_frame_v2_t, metadata, 40);
QRVLIB_PIN(QRVlib_audio_frame_v2_t, timestamp, 48);

static_assert(sizeof(QRVlib_audio_frame_interleaved_16s_t) == 40 &&
              alignof(QRVlib_audio_frame_interleaved_16s_t) == 8);
QRVLIB_PIN(QRVlib_audio_frame_interleaved_16s_t, sample_rate, 0);
QRVLIB_PIN(QRVlib_audio_frame_interleaved_16s_t, no_channels, 4);
QRVLIB_PIN(QRVlib_audio_frame_interleaved_16s_t, no_samples, 8);
QRVLIB_PIN(QRVlib_audio_frame_interleaved_16s_t, timecode, 16);
QRVLIB_PIN(QRVlib_audio_frame_interleaved_16s_t, level_setting, 24);
QRVLIB_PIN(QRVlib_audio_frame_interleaved_16s_t, data, 32);
#undef QRVLIB_PIN

// ---------------------------------------------------------------------------
// Handles: opaque; null means failure.
// ---------------------------------------------------------------------------
typedef struct QRVlib_send_instance_type* QRVlib_send_instance_t;
typedef struct QRVlib_find_instance_type* QRVlib_find_instance_t;
typedef struct QRVlib_recv_instance_type* QRVlib_recv_instance_t;
typedef struct QRVlib_routing_instance_type* QRVlib_routing_instance_t;

// ---------------------------------------------------------------------------
// Operations
// ---------------------------------------------------------------------------
#if defined(QRVLIB_BUILDING)
#define QRVLIB_API __attribute__((visibility("default")))
#else
#define QRVLIB_API
#endif

extern "C" {

/// @file qrvlib.h
/// @brief The library's interface: records, enumerations and operations.
///
/// Threading, for every operation below unless it says otherwise: any
/// thread may call it, also at the same time as other threads on other
/// objects. Calls on one object from several threads are safe; sends on one
/// sender are carried out one after the other. A handle that was destroyed,
/// or one of another kind, is ignored (null, false or nothing happens).
/// Records passed in are read during the call only; texts in them are
/// copied where they are kept.

/// @brief Starts the library.
/// @return false when the library cannot run here; the reason is in
///         QRVlib_get_last_error() where the runtime's header is used.
/// Calls nest: each true result is matched by one QRVlib_destroy().
QRVLIB_API bool QRVlib_initialize(void);
/// @brief Shuts the library down. The call matching the first successful
/// QRVlib_initialize() destroys every object still alive and joins the
/// library's threads; handles are invalid afterwards.
QRVLIB_API void QRVlib_destroy(void);

/// @brief Creates a sender, which publishes a source named after
/// settings->name on the network.
/// @param settings read during the call; name must be set (at most 199
///        bytes), option_text names the source's groups (comma-separated).
/// @return the sender's handle, owned by the caller until
///         QRVlib_send_destroy(); null on failure (library not started, bad
///         settings, no listening socket).
QRVLIB_API QRVlib_send_instance_t QRVlib_send_create(const QRVlib_send_create_t* settings);
/// @brief Withdraws the source (receivers see it go) and frees the sender.
/// Waits for an asynchronous send still in progress.
QRVLIB_API void QRVlib_send_destroy(QRVlib_send_instance_t sender);
/// @brief Sends one video frame synchronously.
/// The pixels are copied before the call returns; the buffer is the
/// caller's again on return. With pace_video set, the call returns at the
/// frame rate of the record. A malformed frame (geometry, stride, layout,
/// rate) is refused and counted, never read beyond what it describes.
QRVLIB_API void QRVlib_send_send_video_v2(QRVlib_send_instance_t sender, const QRVlib_video_frame_v2_t* frame);
/// @brief Sends one video frame asynchronously.
/// Returns without waiting for the copy of the pixels, which stay lent to
/// the library until the next call on this sender returns. The record and
/// its metadata text are lent for this call only. A null frame waits until
/// no buffer is in use (a flush).
QRVLIB_API void QRVlib_send_send_video_async_v2(QRVlib_send_instance_t sender,
                                                const QRVlib_video_frame_v2_t* frame);
/// @brief Sends planar float audio; the buffer is free again on return.
/// Paced to the sample rate when pace_audio is set.
QRVLIB_API void QRVlib_send_send_audio_v2(QRVlib_send_instance_t sender, const QRVlib_audio_frame_v2_t* frame);
/// @brief Sends interleaved signed 16-bit audio, as QRVlib_send_send_audio_v2().
QRVLIB_API void QRVlib_util_send_send_audio_interleaved_16s(QRVlib_send_instance_t sender,
                                                            const QRVlib_audio_frame_interleaved_16s_t* frame);

/// @brief Creates a finder, which keeps the list of visible sources.
/// @param settings null for the defaults; option_flag shows the sources of
///        this process too, option_text_a keeps only sources of the named
///        groups.
/// @return the finder's handle, or null on failure.
QRVLIB_API QRVlib_find_instance_t QRVlib_find_create_v2(const QRVlib_find_create_t* settings);
/// @brief Frees the finder and the arrays it handed out.
QRVLIB_API void QRVlib_find_destroy(QRVlib_find_instance_t finder);
/// @brief Waits up to timeout_ms for the visible sources to change.
/// @return true as soon as they changed since the last query; false when
///         the time passed without a change.
QRVLIB_API bool QRVlib_find_wait_for_sources(QRVlib_find_instance_t finder, uint32_t timeout_ms);
/// @brief The visible sources now; never waits.
/// @param finder the finder.
/// @param no_sources receives the number of entries.
/// @return an array owned by the finder, valid until its next query or its
///         destruction; its texts belong to the finder as well.
QRVLIB_API const QRVlib_source_t* QRVlib_find_get_current_sources(QRVlib_find_instance_t finder,
                                                                 uint32_t* no_sources);

/// @brief Creates a receiver of the source named in settings->source.
/// Copies the texts it needs, so the finder that listed the source may be
/// destroyed at once. It connects in the background and reconnects by
/// itself, finding its source again by name.
/// @return the receiver's handle, or null on failure.
QRVLIB_API QRVlib_recv_instance_t QRVlib_recv_create_v3(const QRVlib_recv_create_v3_t* settings);
/// @brief Disconnects and frees the receiver; frames it handed out must have
/// been freed before.
QRVLIB_API void QRVlib_recv_destroy(QRVlib_recv_instance_t receiver);
/// @brief Takes the next frame, waiting up to timeout_ms.
/// @return one of the QRVlib_frame_type codes of the runtime's header: the
///         kind of frame written to its destination, 0 when none came in
///         time, 100 for a change of status, 4 (error) when no frame could
///         be handed out (see QRVlib_frame_type_error: among others, 256
///         captured frames not freed yet). Null destinations discard that
///         kind. A captured frame belongs to the caller until it is freed
///         with the runtime's free operations.
QRVLIB_API int32_t QRVlib_recv_capture_v2(QRVlib_recv_instance_t receiver, QRVlib_video_frame_v2_t* video,
                                          QRVlib_audio_frame_v2_t* audio, QRVlib_metadata_frame_t* metadata,
                                          uint32_t timeout_ms);
/// @brief Whether the connected source accepts camera commands.
QRVLIB_API bool QRVlib_recv_ptz_is_supported(QRVlib_recv_instance_t receiver);
/// @brief Recalls a stored camera preset (0 to 99) at a speed from 0.0
/// (slowest) to 1.0. @return false when not connected, not supported, or a
/// preset outside its range or a speed that is not a number.
QRVLIB_API bool QRVlib_recv_ptz_recall_preset(QRVlib_recv_instance_t receiver, int32_t preset, float speed);

/// @brief Creates a router, which publishes a source that carries
/// whichever source it is pointed at (receivers are sent there directly).
/// @return the router's handle, or null on failure.
QRVLIB_API QRVlib_routing_instance_t QRVlib_routing_create(const QRVlib_routing_create_t* settings);
/// @brief Withdraws the routed source and frees the router; its receivers
/// are left unrouted.
QRVLIB_API void QRVlib_routing_destroy(QRVlib_routing_instance_t router);
/// @brief Points the router at a source (texts copied).
/// @return false for a null source, texts that are too long, or the
///         router's own source.
QRVLIB_API bool QRVlib_routing_change(QRVlib_routing_instance_t router, const QRVlib_source_t* source);
/// @brief Points the router at nothing.
QRVLIB_API bool QRVlib_routing_clear(QRVlib_routing_instance_t router);

}  // extern "C"

// ---------------------------------------------------------------------------
// Table of operations, for programs that load the library at run time.
// One pointer per slot; slot n lies at byte 8 * n. Slots that this version
// does not fill are null.
// ---------------------------------------------------------------------------
struct QRVlib_operation_table {
    bool (*initialize)(void);                                                        // 0
    void (*destroy)(void);                                                           // 1
    QRVlib_find_instance_t (*find_create_v2)(const QRVlib_find_create_t*);           // 2
    void (*find_destroy)(QRVlib_find_instance_t);                                    // 3
    bool (*find_wait_for_sources)(QRVlib_find_instance_t, uint32_t);                 // 4
    const QRVlib_source_t* (*find_get_current_sources)(QRVlib_find_instance_t, uint32_t*);  // 5
    QRVlib_recv_instance_t (*recv_create_v3)(const QRVlib_recv_create_v3_t*);        // 6
    void (*recv_destroy)(QRVlib_recv_instance_t);                                    // 7
    QRVlib_send_instance_t (*send_create)(const QRVlib_send_create_t*);              // 8
    void (*send_destroy)(QRVlib_send_instance_t);                                    // 9
    void (*send_send_video_async_v2)(QRVlib_send_instance_t, const QRVlib_video_frame_v2_t*);  // 10
    void (*send_send_audio_v2)(QRVlib_send_instance_t, const QRVlib_audio_frame_v2_t*);        // 11
    void (*util_send_send_audio_interleaved_16s)(QRVlib_send_instance_t,
                                                 const QRVlib_audio_frame_interleaved_16s_t*);  // 12
    int32_t (*recv_capture_v2)(QRVlib_recv_instance_t, QRVlib_video_frame_v2_t*, QRVlib_audio_frame_v2_t*,
                               QRVlib_metadata_frame_t*, uint32_t);                  // 13
    bool (*recv_ptz_is_supported)(QRVlib_recv_instance_t);                           // 14
    bool (*recv_ptz_recall_preset)(QRVlib_recv_instance_t, int32_t, float);         // 15
    QRVlib_routing_instance_t (*routing_create)(const QRVlib_routing_create_t*);     // 16
    void (*routing_destroy)(QRVlib_routing_instance_t);                              // 17
    bool (*routing_change)(QRVlib_routing_instance_t, const QRVlib_source_t*);      // 18
    bool (*routing_clear)(QRVlib_routing_instance_t);                                // 19
    void* reserved[30];                                                              // 20 to 49
    void (*send_send_video_v2)(QRVlib_send_instance_t, const QRVlib_video_frame_v2_t*);  // 50
    void* reserved_tail[13];                                                         // 51 to 63
};
static_assert(offsetof(QRVlib_operation_table, initialize) == 0);
static_assert(offsetof(QRVlib_operation_table, destroy) == 8);
static_assert(offsetof(QRVlib_operation_table, send_create) == 64);
static_assert(offsetof(QRVlib_operation_table, send_destroy) == 72);
static_assert(offsetof(QRVlib_operation_table, send_send_video_v2) == 400);
static_assert(sizeof(QRVlib_operation_table) == 64 * 8);

extern "C" {
/// @brief The library's table of operations, for programs that load it at
/// run time. Owned by the library; valid while the library stays loaded.
QRVLIB_API const QRVlib_operation_table* QRVlib_v3_load(void);
}

#endif  // QRVLIB_H
