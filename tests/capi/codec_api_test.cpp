// The runtime header's codec operations: settings in and out, values out of
// range refused with a reason, settings given before the start that hold
// after it, and a sender's codec counters.
#include <gtest/gtest.h>

#include <cmath>

#include "qrv/qrv_runtime.h"

TEST(CodecApi, SettingsRoundTripAndBadValuesAreRefused)
{
    QRVlib_video_codec_t before{};
    ASSERT_TRUE(QRVlib_get_video_codec(&before));
    const QRVlib_video_codec_t mine{true, 80, 250.0};
    ASSERT_TRUE(QRVlib_set_video_codec(&mine));
    QRVlib_video_codec_t now{};
    ASSERT_TRUE(QRVlib_get_video_codec(&now));
    EXPECT_TRUE(now.compress);
    EXPECT_EQ(now.quality, 80);
    EXPECT_DOUBLE_EQ(now.max_mbits_per_second, 250.0);

    for (const QRVlib_video_codec_t bad :
         {QRVlib_video_codec_t{true, 0, 800.0}, QRVlib_video_codec_t{true, 101, 800.0},
          QRVlib_video_codec_t{true, 90, -1.0}, QRVlib_video_codec_t{true, 90, NAN}}) {
        EXPECT_FALSE(QRVlib_set_video_codec(&bad));
        EXPECT_STRNE(QRVlib_get_last_error(), "");
    }
    EXPECT_FALSE(QRVlib_set_video_codec(nullptr));
    EXPECT_FALSE(QRVlib_get_video_codec(nullptr));
    ASSERT_TRUE(QRVlib_get_video_codec(&now));
    EXPECT_EQ(now.quality, 80) << "a refused setting changes nothing";
    ASSERT_TRUE(QRVlib_set_video_codec(&before));
}

TEST(CodecApi, ASenderWithoutReceiversElsewhereCompressesNothing)
{
    ASSERT_TRUE(QRVlib_initialize());
    QRVlib_send_create_t settings("codec counters");
    QRVlib_send_instance_t sender = QRVlib_send_create(&settings);
    ASSERT_NE(sender, nullptr);
    QRVlib_send_codec_stats_t stats{1, 1, 1, 1};
    ASSERT_TRUE(QRVlib_send_get_codec_stats(sender, &stats));
    EXPECT_EQ(stats.compressed, 0u);
    EXPECT_EQ(stats.bytes, 0u);
    EXPECT_EQ(stats.quality, 95);  // where it would start
    EXPECT_FALSE(QRVlib_send_get_codec_stats(sender, nullptr));
    QRVlib_send_destroy(sender);
    EXPECT_FALSE(QRVlib_send_get_codec_stats(sender, &stats));
    QRVlib_destroy();
}

TEST(CodecApi, SettingsGivenBeforeTheStartReachTheSendersAfterIt)
{
    QRVlib_video_codec_t before{};
    ASSERT_TRUE(QRVlib_get_video_codec(&before));
    const QRVlib_video_codec_t mine{true, 70, 100.0};
    ASSERT_TRUE(QRVlib_set_video_codec(&mine));
    ASSERT_TRUE(QRVlib_initialize());
    QRVlib_video_codec_t now{};
    ASSERT_TRUE(QRVlib_get_video_codec(&now));
    EXPECT_EQ(now.quality, 70) << "the start must not put the environment's settings back";
    QRVlib_send_create_t settings("codec given early");
    QRVlib_send_instance_t sender = QRVlib_send_create(&settings);
    ASSERT_NE(sender, nullptr);
    QRVlib_send_codec_stats_t stats{};
    ASSERT_TRUE(QRVlib_send_get_codec_stats(sender, &stats));
    EXPECT_EQ(stats.quality, 70);
    QRVlib_send_destroy(sender);
    QRVlib_destroy();
    ASSERT_TRUE(QRVlib_set_video_codec(&before));
}
