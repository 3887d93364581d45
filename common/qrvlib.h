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

/// Pixel layout of a video frame's data: the four ASCII characters of the
/// layout's name packed little-endian, the first character in the lowest
/// byte ("UYVY" reads 0x59565955). Lines hold width times the bytes per
/// pixel given below; senders set line_stride to that, or more for padded
/// lines. The default of every video frame is UYVY.
enum QRVlib_FourCC_type_e : uint32_t {
    /// Packed 4:2:2, 2 bytes a pixel: per pair of pixels the bytes U Y0 V Y1;
    /// the width must be even.
    QRVlib_FourCC_type_UYVY = 0x59565955u,
    QRVlib_FourCC_type_BGRA = 0x41524742u,  ///< 4 bytes a pixel in the order B G R A, with alpha
    QRVlib_FourCC_type_BGRX = 0x58524742u,  ///< as BGRA, the fourth byte ignored (no alpha)
    QRVlib_FourCC_type_RGBA = 0x41424752u,  ///< 4 bytes a pixel in the order R G B A, with alpha
    QRVlib_FourCC_type_RGBX = 0x58424752u,  ///< as RGBA, the fourth byte ignored (no alpha)
};

/// How a video frame's lines relate to the picture: a whole frame, or one
/// field of an interlaced picture. The default of every video frame is
/// progressive; codes above 3 are refused.
enum QRVlib_frame_format_type_e : uint32_t {
    QRVlib_frame_format_type_interleaved = 0,  ///< both fields of an interlaced picture, their lines alternating
    QRVlib_frame_format_type_progressive = 1,  ///< one whole picture, taken at one moment (the default)
    QRVlib_frame_format_type_field_0 = 2,      ///< the first field of an interlaced picture alone
    QRVlib_frame_format_type_field_1 = 3,      ///< the second field of an interlaced picture alone
};

/// Pixel layout a receiver delivers its video in, chosen when the receiver
/// is created (QRVlib_recv_create_v3_t::color_format). Video "with alpha"
/// is what the source sent as BGRA or RGBA; the runtime's header describes
/// the conversions. Any value not listed acts as the default, UYVY_BGRA.
enum QRVlib_recv_color_format_e : uint32_t {
    QRVlib_recv_color_format_BGRX_BGRA = 0,  ///< BGRX without alpha (the fourth byte 255), BGRA with alpha
    QRVlib_recv_color_format_UYVY_BGRA = 1,  ///< UYVY without alpha, BGRA with alpha (the default)
    QRVlib_recv_color_format_RGBX_RGBA = 2,  ///< RGB-ordered counterpart of BGRX_BGRA
    QRVlib_recv_color_format_UYVY_RGBA = 3,  ///< RGB-ordered counterpart of UYVY_BGRA
    QRVlib_recv_color_format_fastest = 100,  ///< exactly as the source sent it, never converted
};

/// What a receiver asks its source to send, chosen when the receiver is
/// created (QRVlib_recv_create_v3_t::bandwidth). Any value not listed acts
/// as the default, highest.
enum QRVlib_recv_bandwidth_e : uint32_t {
    QRVlib_recv_bandwidth_metadata_only = 0,  ///< metadata alone: no video, no audio
    QRVlib_recv_bandwidth_audio_only = 10,    ///< audio and metadata, no video
    /// Audio and metadata as sent, video as a preview picture a quarter of
    /// each dimension.
    QRVlib_recv_bandwidth_lowest = 50,
    QRVlib_recv_bandwidth_highest = 100,      ///< everything as sent (the default)
};

static_assert(sizeof(QRVlib_FourCC_type_e) == 4);
static_assert(sizeof(QRVlib_frame_format_type_e) == 4);
static_assert(sizeof(QRVlib_recv_color_format_e) == 4);
static_assert(sizeof(QRVlib_recv_bandwidth_e) == 4);

// ---------------------------------------------------------------------------
// Constants: each program has its own read-only copy (internal linkage).
// ---------------------------------------------------------------------------

/// Default timecode of every frame record (INT64_MAX): the library fills in
/// the time of sending, in 100 ns units since the Unix epoch.
static const int64_t QRVlib_send_timecode_synthesize = INT64_MAX;
/// Timestamp value of a received frame that carries none (INT64_MAX).
static const int64_t QRVlib_recv_timestamp_undefined = INT64_MAX;

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

/// One source on the network. Arrays of these returned by a finder belong to
/// the finder; the texts stay the library's.
struct QRVlib_source_t {
    /// The full name, "HOST (source name)", as finders list it; a receiver
    /// finds its source by this name again after a reconnection. Null by
    /// default.
    const char* name;
    /// Where a receiver connects; opaque to programs, copied from a finder's
    /// list. Null by default: the receiver looks the source up by name.
    const char* locator;

    /// Stores each argument in the field of its name; each default is
    /// the field's.
    /// @param name_ the value of #name.
    /// @param locator_ the value of #locator.
    QRVlib_source_t(const char* name_ = nullptr, const char* locator_ = nullptr)
        : name(name_), locator(locator_) {}
};

/// Settings of a finder. A null pointer in place of this record means the
/// defaults of the fields.
struct QRVlib_find_create_t {
    /// Show sources published by this same process too. Default true.
    bool option_flag;
    /// Group filter: a comma-separated list of group names; only sources in
    /// one of these groups are shown. Default null: all groups.
    const char* option_text_a;
    /// Extra places to look for sources by unicast DNS: a comma-separated
    /// list of domain names ("control.example") and IPv4 DNS servers of the
    /// configured QRV_DNS_DOMAIN ("10.1.0.53"); entries that are neither are
    /// logged and skipped. Default null: none.
    const char* option_text_b;

    /// Stores each argument in the field of its name; each default is
    /// the field's.
    /// @param option_flag_ the value of #option_flag.
    /// @param option_text_a_ the value of #option_text_a.
    /// @param option_text_b_ the value of #option_text_b.
    QRVlib_find_create_t(bool option_flag_ = true, const char* option_text_a_ = nullptr,
                         const char* option_text_b_ = nullptr)
        : option_flag(option_flag_), option_text_a(option_text_a_), option_text_b(option_text_b_) {}
};

/// Settings of a sender.
struct QRVlib_send_create_t {
    /// The source's own name, published as "HOST (name)"; at most 199
    /// bytes. Required: the default, null, is refused.
    const char* name;
    /// Comma-separated groups that the source belongs to; finders list only
    /// sources of the groups they ask for. Default null: the group "public".
    const char* option_text;
    /// Video sends return at the frame rate of their frames. Default true;
    /// false returns as soon as a frame is taken in.
    bool pace_video;
    /// Audio sends return at the pace of their samples. Default true; false
    /// returns as soon as the samples are taken in.
    bool pace_audio;

    /// Stores each argument in the field of its name; each default is
    /// the field's.
    /// @param name_ the value of #name.
    /// @param option_text_ the value of #option_text.
    /// @param pace_video_ the value of #pace_video.
    /// @param pace_audio_ the value of #pace_audio.
    QRVlib_send_create_t(const char* name_ = nullptr, const char* option_text_ = nullptr,
                         bool pace_video_ = true, bool pace_audio_ = true)
        : name(name_), option_text(option_text_), pace_video(pace_video_), pace_audio(pace_audio_) {}
};

/// Settings of a receiver. The library copies what it needs during the call.
struct QRVlib_recv_create_v3_t {
    /// The source to receive, usually an entry of a finder's list. Default:
    /// both texts null.
    QRVlib_source_t source;
    /// Pixel layout of the video handed out; the source sends frames as it
    /// was given them and the receiver converts. Default
    /// QRVlib_recv_color_format_UYVY_BGRA.
    QRVlib_recv_color_format_e color_format;
    /// What the source sends: all, a preview, audio alone or metadata
    /// alone. Default QRVlib_recv_bandwidth_highest.
    QRVlib_recv_bandwidth_e bandwidth;
    /// Allow the video to be delivered as fields. Default true.
    bool option_flag;
    /// The name this receiver gives its source, shown to the source's
    /// side. Default null: none.
    const char* receiver_name;

    /// Stores each argument in the field of its name; each default is
    /// the field's.
    /// @param source_ the value of #source.
    /// @param color_format_ the value of #color_format.
    /// @param bandwidth_ the value of #bandwidth.
    /// @param option_flag_ the value of #option_flag.
    /// @param receiver_name_ the value of #receiver_name.
    QRVlib_recv_create_v3_t(QRVlib_source_t source_ = QRVlib_source_t(),
                            QRVlib_recv_color_format_e color_format_ = QRVlib_recv_color_format_UYVY_BGRA,
                            QRVlib_recv_bandwidth_e bandwidth_ = QRVlib_recv_bandwidth_highest,
                            bool option_flag_ = true, const char* receiver_name_ = nullptr)
        : source(source_), color_format(color_format_), bandwidth(bandwidth_),
          option_flag(option_flag_), receiver_name(receiver_name_) {}
};

/// Settings of a router.
struct QRVlib_routing_create_t {
    /// Name of the routed source, published as "HOST (name)" as for a
    /// sender. Required: the default, null, is refused.
    const char* name;
    /// Groups of the routed source, as for a sender. Default null: the group
    /// "public".
    const char* option_text;

    /// Stores each argument in the field of its name; each default is
    /// the field's.
    /// @param name_ the value of #name.
    /// @param option_text_ the value of #option_text.
    QRVlib_routing_create_t(const char* name_ = nullptr, const char* option_text_ = nullptr)
        : name(name_), option_text(option_text_) {}
};

/// One video frame: height lines of line_stride bytes starting at data.
/// Frames are refused when their geometry, layout or rate is out of range:
/// width and height 1 to 16384, at most 256 MiB of pixels, a frame rate
/// from 0.1 to 1000 frames a second.
struct QRVlib_video_frame_v2_t {
    int32_t width;   ///< pixels a line; even for UYVY. Default 0
    int32_t height;  ///< lines a frame. Default 0
    QRVlib_FourCC_type_e fourcc;  ///< pixel layout of data. Default QRVlib_FourCC_type_UYVY
    int32_t frame_rate_num;  ///< numerator of the frame rate in frames a second. Default 30000
    int32_t frame_rate_den;  ///< its denominator. Default 1001: about 29.97 frames a second
    float aspect_ratio;  ///< width over height of the picture as shown; 0 (the default): square pixels
    QRVlib_frame_format_type_e frame_format;  ///< whole frame or field. Default progressive
    /// Time of the frame in 100 ns units since the Unix epoch; the default,
    /// QRVlib_send_timecode_synthesize, has the library fill in the time of
    /// sending. Receivers get the value sent.
    int64_t timecode;
    /// Start of the pixels: height lines of line_stride bytes each. Lent to
    /// the library for the send only; on a capture, the receiver's until
    /// freed. Default null.
    uint8_t* data;
    /// Bytes from the start of one line to the start of the next: at least
    /// width times the bytes per pixel of fourcc. Default 0
    int32_t line_stride;
    /// Optional XML text sent with the frame, NUL-terminated.
    /// Default null: none.
    const char* metadata;
    /// A time of the sender's choosing, carried unchanged
    /// to the receivers. Default 0.
    int64_t timestamp;

    /// Stores each argument in the field of its name; each default is
    /// the field's.
    /// @param width_ the value of #width.
    /// @param height_ the value of #height.
    /// @param fourcc_ the value of #fourcc.
    /// @param frame_rate_num_ the value of #frame_rate_num.
    /// @param frame_rate_den_ the value of #frame_rate_den.
    /// @param aspect_ratio_ the value of #aspect_ratio.
    /// @param frame_format_ the value of #frame_format.
    /// @param timecode_ the value of #timecode.
    /// @param data_ the value of #data.
    /// @param line_stride_ the value of #line_stride.
    /// @param metadata_ the value of #metadata.
    /// @param timestamp_ the value of #timestamp.
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

/// One frame of planar float audio: channel c starts c * channel_stride bytes
/// after data. Frames are refused outside 8000 to 768000 samples a second or
/// 1 to 64 channels.
struct QRVlib_audio_frame_v2_t {
    int32_t sample_rate;  ///< samples a second in each channel. Default 48000
    int32_t no_channels;  ///< number of channels. Default 2
    int32_t no_samples;   ///< samples in each channel in this frame. Default 0
    /// Time of the frame's first sample in 100 ns units since the Unix
    /// epoch; the default, QRVlib_send_timecode_synthesize, has the library
    /// fill in the time of sending.
    int64_t timecode;
    /// Channel 0's first sample; one 32-bit float a sample, full scale
    /// -1.0 to 1.0. Lent for the send only. Default null.
    float* data;
    /// Bytes from the start of one channel's samples to the start of the
    /// next: at least 4 times no_samples. Default 0.
    int32_t channel_stride;
    /// Optional XML text sent with the frame, NUL-terminated. Default null.
    const char* metadata;
    /// A time of the sender's choosing, carried unchanged
    /// to the receivers. Default 0.
    int64_t timestamp;

    /// Stores each argument in the field of its name; each default is
    /// the field's.
    /// @param sample_rate_ the value of #sample_rate.
    /// @param no_channels_ the value of #no_channels.
    /// @param no_samples_ the value of #no_samples.
    /// @param timecode_ the value of #timecode.
    /// @param data_ the value of #data.
    /// @param channel_stride_ the value of #channel_stride.
    /// @param metadata_ the value of #metadata.
    /// @param timestamp_ the value of #timestamp.
    QRVlib_audio_frame_v2_t(int32_t sample_rate_ = 48000, int32_t no_channels_ = 2, int32_t no_samples_ = 0,
                            int64_t timecode_ = QRVlib_send_timecode_synthesize, float* data_ = nullptr,
                            int32_t channel_stride_ = 0, const char* metadata_ = nullptr,
                            int64_t timestamp_ = 0)
        : sample_rate(sample_rate_), no_channels(no_channels_), no_samples(no_samples_), timecode(timecode_),
          data(data_), channel_stride(channel_stride_), metadata(metadata_), timestamp(timestamp_) {}
};

/// One frame of interleaved signed 16-bit audio, sent as planar float.
struct QRVlib_audio_frame_interleaved_16s_t {
    int32_t sample_rate;  ///< samples a second in each channel. Default 48000
    int32_t no_channels;  ///< number of channels. Default 2
    int32_t no_samples;   ///< samples in each channel in this frame. Default 0
    /// Time of the frame's first sample in 100 ns units, as in the planar
    /// frame. Default QRVlib_send_timecode_synthesize: filled in.
    int64_t timecode;
    /// Headroom in dB that full scale stands for. Default 0: none.
    int32_t level_setting;
    /// no_samples times no_channels signed 16-bit values, the channels
    /// interleaved. Lent for the send only. Default null.
    int16_t* data;

    /// Stores each argument in the field of its name; each default is
    /// the field's.
    /// @param sample_rate_ the value of #sample_rate.
    /// @param no_channels_ the value of #no_channels.
    /// @param no_samples_ the value of #no_samples.
    /// @param timecode_ the value of #timecode.
    /// @param level_setting_ the value of #level_setting.
    /// @param data_ the value of #data.
    QRVlib_audio_frame_interleaved_16s_t(int32_t sample_rate_ = 48000, int32_t no_channels_ = 2,
                                         int32_t no_samples_ = 0,
                                         int64_t timecode_ = QRVlib_send_timecode_synthesize,
                                         int32_t level_setting_ = 0, int16_t* data_ = nullptr)
        : sample_rate(sample_rate_), no_channels(no_channels_), no_samples(no_samples_), timecode(timecode_),
          level_setting(level_setting_), data(data_) {}
};

/// Metadata frames are defined by the runtime's own header; captures name
/// them only by pointer.
struct QRVlib_metadata_frame_t;

// ---------------------------------------------------------------------------
// Layouts (x86-64 Linux, natural alignment)
// ---------------------------------------------------------------------------
/// @cond LAYOUT_CHECKS
// Checks at compile time, not part of the reference.
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
/// @endcond

// ---------------------------------------------------------------------------
// Handles: opaque; null means failure.
// ---------------------------------------------------------------------------
/// A sender, from QRVlib_send_create() until QRVlib_send_destroy().
typedef struct QRVlib_send_instance_type* QRVlib_send_instance_t;
/// A finder, from QRVlib_find_create_v2() until QRVlib_find_destroy().
typedef struct QRVlib_find_instance_type* QRVlib_find_instance_t;
/// A receiver, from QRVlib_recv_create_v3() until QRVlib_recv_destroy().
typedef struct QRVlib_recv_instance_type* QRVlib_recv_instance_t;
/// A router, from QRVlib_routing_create() until QRVlib_routing_destroy().
typedef struct QRVlib_routing_instance_type* QRVlib_routing_instance_t;

// ---------------------------------------------------------------------------
// Operations
// ---------------------------------------------------------------------------
/// Marks an exported operation: visible outside the library that defines
/// it (QRVLIB_BUILDING set), nothing for the programs that call it.
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
/// Calls nest: each true result is matched by one QRVlib_destroy().
/// @return false when the library cannot run here; the reason is in
///         QRVlib_get_last_error() where the runtime's header is used.
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
/// @param sender the sender; null or unknown: nothing happens.
QRVLIB_API void QRVlib_send_destroy(QRVlib_send_instance_t sender);
/// @brief Sends one video frame synchronously.
/// The pixels are copied before the call returns; the buffer is the
/// caller's again on return. With pace_video set, the call returns at the
/// frame rate of the record. A malformed frame (geometry, stride, layout,
/// rate) is refused and counted, never read beyond what it describes.
/// @param sender the sender.
/// @param frame the frame, read during the call only.
QRVLIB_API void QRVlib_send_send_video_v2(QRVlib_send_instance_t sender, const QRVlib_video_frame_v2_t* frame);
/// @brief Sends one video frame asynchronously.
/// Returns without waiting for the copy of the pixels, which stay lent to
/// the library until the next call on this sender returns. The record and
/// its metadata text are lent for this call only.
/// @param sender the sender.
/// @param frame the frame; null waits until no buffer is in use (a flush).
QRVLIB_API void QRVlib_send_send_video_async_v2(QRVlib_send_instance_t sender,
                                                const QRVlib_video_frame_v2_t* frame);
/// @brief Sends planar float audio; the buffer is free again on return.
/// Paced to the sample rate when pace_audio is set.
/// @param sender the sender.
/// @param frame the samples, read during the call only.
QRVLIB_API void QRVlib_send_send_audio_v2(QRVlib_send_instance_t sender, const QRVlib_audio_frame_v2_t* frame);
/// @brief Sends interleaved signed 16-bit audio, as QRVlib_send_send_audio_v2().
/// @param sender the sender.
/// @param frame the samples, read during the call only.
QRVLIB_API void QRVlib_util_send_send_audio_interleaved_16s(QRVlib_send_instance_t sender,
                                                            const QRVlib_audio_frame_interleaved_16s_t* frame);

/// @brief Creates a finder, which keeps the list of visible sources.
/// @param settings null for the defaults; option_flag shows the sources of
///        this process too, option_text_a keeps only sources of the named
///        groups.
/// @return the finder's handle, or null on failure.
QRVLIB_API QRVlib_find_instance_t QRVlib_find_create_v2(const QRVlib_find_create_t* settings);
/// @brief Frees the finder and the arrays it handed out.
/// @param finder the finder; null or unknown: nothing happens.
QRVLIB_API void QRVlib_find_destroy(QRVlib_find_instance_t finder);
/// @brief Waits up to timeout_ms for the visible sources to change.
/// @param finder the finder.
/// @param timeout_ms the longest wait in milliseconds; 0 does not wait.
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
/// @param settings the source and what to ask of it; read during the call.
/// @return the receiver's handle, or null on failure.
QRVLIB_API QRVlib_recv_instance_t QRVlib_recv_create_v3(const QRVlib_recv_create_v3_t* settings);
/// @brief Disconnects and frees the receiver; frames it handed out must have
/// been freed before.
/// @param receiver the receiver; null or unknown: nothing happens.
QRVLIB_API void QRVlib_recv_destroy(QRVlib_recv_instance_t receiver);
/// @brief Takes the next frame, waiting up to timeout_ms.
/// Null destinations discard that kind. A captured frame belongs to the
/// caller until it is freed with the runtime's free operations.
/// @param receiver the receiver.
/// @param video receives a video frame, or null.
/// @param audio receives an audio frame, or null.
/// @param metadata receives a metadata frame, or null.
/// @param timeout_ms the longest wait in milliseconds.
/// @return one of the QRVlib_frame_type codes of the runtime's header: the
///         kind of frame written to its destination, 0 when none came in
///         time, 100 for a change of status, 4 (error) when no frame could
///         be handed out (see QRVlib_frame_type_error: among others, 256
///         captured frames not freed yet).
QRVLIB_API int32_t QRVlib_recv_capture_v2(QRVlib_recv_instance_t receiver, QRVlib_video_frame_v2_t* video,
                                          QRVlib_audio_frame_v2_t* audio, QRVlib_metadata_frame_t* metadata,
                                          uint32_t timeout_ms);
/// @brief Whether the connected source accepts camera commands.
/// @param receiver the receiver.
/// @return true when connected to a source that accepts them.
QRVLIB_API bool QRVlib_recv_ptz_is_supported(QRVlib_recv_instance_t receiver);
/// @brief Recalls a stored camera preset at a speed.
/// @param receiver the receiver.
/// @param preset the preset, 0 to 99.
/// @param speed from 0.0 (slowest) to 1.0, clamped.
/// @return false when not connected, not supported, or a preset outside
///         its range or a speed that is not a number.
QRVLIB_API bool QRVlib_recv_ptz_recall_preset(QRVlib_recv_instance_t receiver, int32_t preset, float speed);

/// @brief Creates a router, which publishes a source that carries
/// whichever source it is pointed at (receivers are sent there directly).
/// @param settings the routed source's name and groups; read during the
///        call.
/// @return the router's handle, or null on failure.
QRVLIB_API QRVlib_routing_instance_t QRVlib_routing_create(const QRVlib_routing_create_t* settings);
/// @brief Withdraws the routed source and frees the router; its receivers
/// are left unrouted.
/// @param router the router; null or unknown: nothing happens.
QRVLIB_API void QRVlib_routing_destroy(QRVlib_routing_instance_t router);
/// @brief Points the router at a source (texts copied).
/// @param router the router.
/// @param source the source to carry, usually from a finder's list.
/// @return false for a null source, texts that are too long, or the
///         router's own source.
QRVLIB_API bool QRVlib_routing_change(QRVlib_routing_instance_t router, const QRVlib_source_t* source);
/// @brief Points the router at nothing.
/// @param router the router.
/// @return false for an unknown router.
QRVLIB_API bool QRVlib_routing_clear(QRVlib_routing_instance_t router);

}  // extern "C"

// ---------------------------------------------------------------------------
// Table of operations, for programs that load the library at run time.
// ---------------------------------------------------------------------------
/// The library's operations as pointers, for programs that load the
/// library at run time (QRVlib_v3_load()). One pointer per slot; slot n lies
/// at byte 8 * n. Each member points to the operation of the same name with
/// the prefix QRVlib_; slots that this version does not fill are null.
struct QRVlib_operation_table {
    /// Slot 0: QRVlib_initialize().
    bool (*initialize)(void);
    /// Slot 1: QRVlib_destroy().
    void (*destroy)(void);
    /// Slot 2: QRVlib_find_create_v2().
    QRVlib_find_instance_t (*find_create_v2)(const QRVlib_find_create_t*);
    /// Slot 3: QRVlib_find_destroy().
    void (*find_destroy)(QRVlib_find_instance_t);
    /// Slot 4: QRVlib_find_wait_for_sources().
    bool (*find_wait_for_sources)(QRVlib_find_instance_t, uint32_t);
    /// Slot 5: QRVlib_find_get_current_sources().
    const QRVlib_source_t* (*find_get_current_sources)(QRVlib_find_instance_t, uint32_t*);
    /// Slot 6: QRVlib_recv_create_v3().
    QRVlib_recv_instance_t (*recv_create_v3)(const QRVlib_recv_create_v3_t*);
    /// Slot 7: QRVlib_recv_destroy().
    void (*recv_destroy)(QRVlib_recv_instance_t);
    /// Slot 8: QRVlib_send_create().
    QRVlib_send_instance_t (*send_create)(const QRVlib_send_create_t*);
    /// Slot 9: QRVlib_send_destroy().
    void (*send_destroy)(QRVlib_send_instance_t);
    /// Slot 10: QRVlib_send_send_video_async_v2().
    void (*send_send_video_async_v2)(QRVlib_send_instance_t, const QRVlib_video_frame_v2_t*);
    /// Slot 11: QRVlib_send_send_audio_v2().
    void (*send_send_audio_v2)(QRVlib_send_instance_t, const QRVlib_audio_frame_v2_t*);
    /// Slot 12: QRVlib_util_send_send_audio_interleaved_16s().
    void (*util_send_send_audio_interleaved_16s)(QRVlib_send_instance_t,
                                                 const QRVlib_audio_frame_interleaved_16s_t*);
    /// Slot 13: QRVlib_recv_capture_v2().
    int32_t (*recv_capture_v2)(QRVlib_recv_instance_t, QRVlib_video_frame_v2_t*, QRVlib_audio_frame_v2_t*,
                               QRVlib_metadata_frame_t*, uint32_t);
    /// Slot 14: QRVlib_recv_ptz_is_supported().
    bool (*recv_ptz_is_supported)(QRVlib_recv_instance_t);
    /// Slot 15: QRVlib_recv_ptz_recall_preset().
    bool (*recv_ptz_recall_preset)(QRVlib_recv_instance_t, int32_t, float);
    /// Slot 16: QRVlib_routing_create().
    QRVlib_routing_instance_t (*routing_create)(const QRVlib_routing_create_t*);
    /// Slot 17: QRVlib_routing_destroy().
    void (*routing_destroy)(QRVlib_routing_instance_t);
    /// Slot 18: QRVlib_routing_change().
    bool (*routing_change)(QRVlib_routing_instance_t, const QRVlib_source_t*);
    /// Slot 19: QRVlib_routing_clear().
    bool (*routing_clear)(QRVlib_routing_instance_t);
    /// Slots 20 to 49: null in this version.
    void* reserved[30];
    /// Slot 50: QRVlib_send_send_video_v2().
    void (*send_send_video_v2)(QRVlib_send_instance_t, const QRVlib_video_frame_v2_t*);
    /// Slots 51 to 63: null in this version.
    void* reserved_tail[13];
};
static_assert(offsetof(QRVlib_operation_table, initialize) == 0);
static_assert(offsetof(QRVlib_operation_table, destroy) == 8);
static_assert(offsetof(QRVlib_operation_table, send_create) == 64);
static_assert(offsetof(QRVlib_operation_table, send_destroy) == 72);
static_assert(offsetof(QRVlib_operation_table, send_send_video_v2) == 400);
static_assert(sizeof(QRVlib_operation_table) == 64 * 8);

extern "C" {
/// @brief The library's table of operations, for programs that load it at
/// run time.
/// @return the table, never null; owned by the library and valid while
///         the library stays loaded.
QRVLIB_API const QRVlib_operation_table* QRVlib_v3_load(void);
}

#endif  // QRVLIB_H
