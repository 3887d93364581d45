// Default values of the interface records and the table of operations. The
// offsets themselves are pinned by static_asserts in the interface header;
// here the defaults that the programs rely on are checked.
#include <gtest/gtest.h>

#include <cstring>

#include "qrv/qrv_runtime.h"

TEST(Records, DefaultsOfSettings)
{
    const QRVlib_source_t source;
    EXPECT_EQ(source.name, nullptr);
    EXPECT_EQ(source.locator, nullptr);

    const QRVlib_find_create_t find;
    EXPECT_TRUE(find.option_flag);
    EXPECT_EQ(find.option_text_a, nullptr);
    EXPECT_EQ(find.option_text_b, nullptr);

    const QRVlib_send_create_t send;
    EXPECT_EQ(send.name, nullptr);
    EXPECT_EQ(send.option_text, nullptr);
    EXPECT_TRUE(send.pace_video);
    EXPECT_TRUE(send.pace_audio);

    const QRVlib_recv_create_v3_t recv;
    EXPECT_EQ(recv.source.name, nullptr);
    EXPECT_EQ(recv.source.locator, nullptr);
    EXPECT_EQ((uint32_t)recv.color_format, 1u);
    EXPECT_EQ((uint32_t)recv.bandwidth, 100u);
    EXPECT_TRUE(recv.option_flag);
    EXPECT_EQ(recv.receiver_name, nullptr);

    const QRVlib_routing_create_t routing;
    EXPECT_EQ(routing.name, nullptr);
    EXPECT_EQ(routing.option_text, nullptr);
}

TEST(Records, DefaultsOfFrames)
{
    const QRVlib_video_frame_v2_t v;
    EXPECT_EQ(v.width, 0);
    EXPECT_EQ(v.height, 0);
    EXPECT_EQ((uint32_t)v.fourcc, 0x59565955u);
    EXPECT_EQ(v.frame_rate_num, 30000);
    EXPECT_EQ(v.frame_rate_den, 1001);
    EXPECT_EQ(v.aspect_ratio, 0.0f);
    EXPECT_EQ((uint32_t)v.frame_format, 1u);
    EXPECT_EQ(v.timecode, INT64_MAX);
    EXPECT_EQ(v.data, nullptr);
    EXPECT_EQ(v.line_stride, 0);
    EXPECT_EQ(v.metadata, nullptr);
    EXPECT_EQ(v.timestamp, 0);  // not INT64_MAX

    const QRVlib_audio_frame_v2_t a;
    EXPECT_EQ(a.sample_rate, 48000);
    EXPECT_EQ(a.no_channels, 2);
    EXPECT_EQ(a.no_samples, 0);
    EXPECT_EQ(a.timecode, INT64_MAX);
    EXPECT_EQ(a.data, nullptr);
    EXPECT_EQ(a.channel_stride, 0);
    EXPECT_EQ(a.metadata, nullptr);
    EXPECT_EQ(a.timestamp, 0);

    const QRVlib_audio_frame_interleaved_16s_t i;
    EXPECT_EQ(i.sample_rate, 48000);
    EXPECT_EQ(i.no_channels, 2);
    EXPECT_EQ(i.no_samples, 0);
    EXPECT_EQ(i.timecode, INT64_MAX);
    EXPECT_EQ(i.level_setting, 0);
    EXPECT_EQ(i.data, nullptr);

    EXPECT_EQ(QRVlib_send_timecode_synthesize, INT64_MAX);
    EXPECT_EQ(QRVlib_recv_timestamp_undefined, INT64_MAX);
}

TEST(Records, FourCCCodesAreTheirNamesInMemoryOrder)
{
    const uint32_t bgra = QRVlib_FourCC_type_BGRA, uyvy = QRVlib_FourCC_type_UYVY;
    EXPECT_EQ(std::memcmp(&bgra, "BGRA", 4), 0);
    EXPECT_EQ(std::memcmp(&uyvy, "UYVY", 4), 0);
}

TEST(Records, TableHoldsTheExportedOperationsAtTheirSlots)
{
    const QRVlib_operation_table* t = QRVlib_v3_load();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t, QRVlib_v3_load());
    const void* const* slots = reinterpret_cast<const void* const*>(t);
    EXPECT_EQ(slots[0], (const void*)&QRVlib_initialize);
    EXPECT_EQ(slots[1], (const void*)&QRVlib_destroy);
    EXPECT_EQ(slots[8], (const void*)&QRVlib_send_create);
    EXPECT_EQ(slots[9], (const void*)&QRVlib_send_destroy);
    EXPECT_EQ(slots[50], (const void*)&QRVlib_send_send_video_v2);
    EXPECT_EQ(slots[10], (const void*)&QRVlib_send_send_video_async_v2);
    EXPECT_EQ(slots[2], (const void*)&QRVlib_find_create_v2);
    EXPECT_EQ(slots[6], (const void*)&QRVlib_recv_create_v3);
    EXPECT_EQ(slots[16], (const void*)&QRVlib_routing_create);
}
