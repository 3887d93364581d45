// The receiver's parts on their own: the bounded queues of frames waiting
// for capture, the ledger of frames held by the caller, and the outbox
// through which a link's thread writes what others post, with the fate of
// the camera commands it carries.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "objects/capture_ledger.h"
#include "objects/frame_queue.h"
#include "transport/client_link.h"

namespace {

using qrv::CaptureLedger;
using qrv::FrameQueue;
using qrv::transport::Message;
using qrv::wire::MessageType;
using namespace std::chrono_literals;

Message frame(MessageType type, uint8_t tag)
{
    Message m;
    m.header.type = type;
    m.data = std::make_shared<qrv::ByteBuffer>();
    m.data->assign(std::span<const uint8_t>(&tag, 1));
    return m;
}

// A message whose shared frame runs then() when its last reference goes.
Message shared_frame(std::function<void()> then)
{
    Message m;
    m.header.type = MessageType::video;
    auto f = std::make_shared<qrv::transport::SharedFrame>();
    f->release = std::move(then);
    m.shared = std::move(f);
    return m;
}

auto soon()
{
    return std::chrono::steady_clock::now() + 20ms;
}

constexpr uint32_t kAll = qrv::wire::kWantVideo | qrv::wire::kWantAudio | qrv::wire::kWantMetadata;
constexpr bool kEvery[3] = {true, true, true};

TEST(FrameQueue, DropsTheOldestOfAFullKindOnlyAndCountsIt)
{
    FrameQueue q({2, 8, 8}, kAll);
    q.push(frame(MessageType::video, 1));
    q.push(frame(MessageType::audio, 9));
    q.push(frame(MessageType::video, 2));
    q.push(frame(MessageType::video, 3));
    const auto c = q.counts();
    EXPECT_EQ(c.received[0], 3u);
    EXPECT_EQ(c.dropped[0], 1u);
    EXPECT_EQ(c.dropped[1], 0u);
    std::vector<uint8_t> order;
    Message m;
    while (q.wait(kEvery, soon(), m) == FrameQueue::Next::frame)
        order.push_back(m.data->data()[0]);
    EXPECT_EQ(order, (std::vector<uint8_t>{9, 2, 3}));
}

// Few big frames fill the byte bound long before the count bounds: the
// oldest go, whatever their kind, and the newest always stays.
TEST(FrameQueue, BytesAreBoundedAcrossKindsAndCloseEndsWaits)
{
    FrameQueue q({4, 512, 64, 10'000}, kAll);
    auto big = [](MessageType type, uint8_t tag) {
        Message m = frame(type, tag);
        m.data->resize(4000);
        return m;
    };
    for (uint8_t i = 1; i <= 5; ++i)
        q.push(big(i % 2 ? MessageType::audio : MessageType::video, i));
    const auto c = q.counts();
    EXPECT_EQ(c.dropped[0] + c.dropped[1], 3u) << "two frames of 4000 bytes fit in 10000";
    std::vector<uint8_t> order;
    Message m;
    while (q.wait(kEvery, soon(), m) == FrameQueue::Next::frame)
        order.push_back(m.data->data()[0]);
    EXPECT_EQ(order, (std::vector<uint8_t>{4, 5}));

    // A single frame larger than the bound is still delivered.
    FrameQueue tiny({4, 4, 4, 10}, kAll);
    tiny.push(big(MessageType::video, 7));
    ASSERT_EQ(tiny.wait(kEvery, soon(), m), FrameQueue::Next::frame);

    // Closing ends a long wait at once and refuses what comes after.
    std::thread closer([&] {
        std::this_thread::sleep_for(50ms);
        tiny.close();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tiny.wait(kEvery, start + 20s, m), FrameQueue::Next::none);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    closer.join();
    tiny.push(frame(MessageType::video, 8));
    EXPECT_EQ(tiny.wait(kEvery, soon(), m), FrameQueue::Next::none);
}

TEST(FrameQueue, KindsNotAskedOfTheSourceAreCountedButNotKept)
{
    FrameQueue q({4, 4, 4}, qrv::wire::kWantAudio);
    q.push(frame(MessageType::video, 1));
    Message m;
    EXPECT_EQ(q.wait(kEvery, soon(), m), FrameQueue::Next::none);
    EXPECT_EQ(q.counts().received[0], 1u);
}

TEST(FrameQueue, StatusComesFirstAndFramesOfKindsNotCapturedAreLetGo)
{
    FrameQueue q({4, 4, 4}, kAll);
    q.push(frame(MessageType::audio, 1));
    q.flag_status();
    const bool video_only[3] = {true, false, false};
    Message m;
    EXPECT_EQ(q.wait(video_only, soon(), m), FrameQueue::Next::status);
    EXPECT_EQ(q.wait(video_only, soon(), m), FrameQueue::Next::none);
    EXPECT_EQ(q.wait(kEvery, soon(), m), FrameQueue::Next::none);  // the audio went with the first wait
}

TEST(FrameQueue, FramesLetGoAreReleasedOutsideItsLock)
{
    // A release that comes back into the queue would deadlock if a dropped,
    // cleared or unwanted frame were destroyed with the lock held.
    FrameQueue q({1, 4, 4}, kAll);
    std::atomic<int> released{0};
    auto reenter = [&] {
        (void)q.counts();
        ++released;
    };
    q.push(shared_frame(reenter));
    q.push(shared_frame(reenter));  // drops the first
    q.clear();                      // drops the second
    q.push(shared_frame(reenter));
    const bool none[3] = {false, false, false};
    Message m;
    EXPECT_EQ(q.wait(none, soon(), m), FrameQueue::Next::none);
    EXPECT_EQ(released.load(), 3);
}

TEST(CaptureLedger, RefusesBeyondItsLimitAndReleasesEachKeyOnce)
{
    CaptureLedger ledger(2);
    int a = 0, b = 0, c = 0;
    ASSERT_NE(ledger.hold(&a, {}), nullptr);
    ASSERT_NE(ledger.hold(&b, {}), nullptr);
    EXPECT_TRUE(ledger.full());
    EXPECT_EQ(ledger.hold(&c, {}), nullptr);
    EXPECT_TRUE(ledger.release(&a));
    EXPECT_FALSE(ledger.release(&a));
    EXPECT_FALSE(ledger.release(&c));
    EXPECT_FALSE(ledger.release(nullptr));
    EXPECT_NE(ledger.hold(&c, {}), nullptr);
}

TEST(CaptureLedger, AHeldSharedFrameIsReleasedByItsFreeOutsideTheLock)
{
    CaptureLedger ledger(4);
    std::atomic<int> released{0};
    int key = 0;
    {
        Message m = shared_frame([&] {
            EXPECT_EQ(ledger.size(), 0u);  // takes the ledger's lock
            ++released;
        });
        ASSERT_NE(ledger.hold(&key, {nullptr, std::move(m.shared), {}}), nullptr);
    }
    EXPECT_EQ(released.load(), 0);
    EXPECT_TRUE(ledger.release(&key));
    EXPECT_EQ(released.load(), 1);
}

TEST(CaptureLedger, ConvertedBuffersAreReusedOnceFreed)
{
    CaptureLedger ledger(4);
    auto first = ledger.converted_buffer(64);
    const uint8_t* where = first->data();
    ASSERT_NE(ledger.hold(where, {first, nullptr, {}}), nullptr);
    first.reset();
    EXPECT_NE(ledger.converted_buffer(64)->data(), where);  // still held by the caller
    EXPECT_TRUE(ledger.release(where));
    EXPECT_EQ(ledger.converted_buffer(64)->data(), where);
}

TEST(LinkOutbox, PostedMessagesAreWrittenInOrderByFlushAndRefusedOnceClosed)
{
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    qrv::net::Fd mine(sv[0]), peer(sv[1]);
    qrv::transport::LinkChannel channel(mine.get(), qrv::net::Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)));
    ASSERT_GE(channel.wake_fd(), 0);
    EXPECT_TRUE(channel.post({1, 2}));
    EXPECT_TRUE(channel.post({3}));
    EXPECT_FALSE(channel.unsettled());  // releases need not reach the source
    uint8_t got[8];
    EXPECT_EQ(::recv(peer.get(), got, sizeof got, MSG_DONTWAIT), -1);  // nothing written by post itself
    EXPECT_TRUE(channel.flush());
    ASSERT_EQ(::recv(peer.get(), got, sizeof got, 0), 3);
    EXPECT_EQ(got[0], 1);
    EXPECT_EQ(got[2], 3);
    channel.close();
    EXPECT_FALSE(channel.post({4}));
}

// Reads the numbered camera commands that a channel wrote.
std::vector<qrv::wire::PtzFields> commands_written(int fd)
{
    std::vector<qrv::wire::PtzFields> out;
    Message m;
    while (qrv::net::wait_readable(fd, std::chrono::milliseconds(0)) &&
           qrv::transport::read_message(fd, m) == qrv::transport::ReadResult::ok)
        if (auto c = qrv::wire::decode_ptz(m.header, m.fixed))
            out.push_back(*c);
    return out;
}

// What a caller is told of its last command: the source's answer, not a
// wait for a source that never answers or does not acknowledge at all.
TEST(LinkOutbox, CommandsAreNumberedInOrderAndTheirFateIsKnown)
{
    using Delivery = qrv::transport::LinkChannel::Delivery;
    const auto soon = [] { return std::chrono::steady_clock::now() + 50ms; };
    const qrv::wire::PtzFields zoom{qrv::wire::PtzCommand::zoom, 0, 0.5f, 0.0f};
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    qrv::net::Fd mine(sv[0]), peer(sv[1]);
    qrv::transport::LinkChannel channel(mine.get(), qrv::net::Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)));
    channel.set_acknowledging(true);

    EXPECT_EQ(channel.post_command(zoom), 1u);
    EXPECT_EQ(channel.post_command(zoom), 2u);
    EXPECT_TRUE(channel.unsettled());  // not written yet
    EXPECT_EQ(channel.wait_delivered(2, soon()), Delivery::timeout);
    EXPECT_FALSE(channel.acknowledge({1, qrv::wire::PtzOutcome::held}));  // not written: the peer lies
    ASSERT_TRUE(channel.flush());
    const auto sent = commands_written(peer.get());
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].sequence, 1u);
    EXPECT_EQ(sent[1].sequence, 2u);
    // A peer that never acknowledges: the wait ends at its deadline.
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(channel.wait_delivered(2, soon()), Delivery::timeout);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 40ms);
    EXPECT_TRUE(channel.unsettled());  // written, not acknowledged

    // An acknowledgement covers the commands before it.
    std::thread source([&] {
        std::this_thread::sleep_for(20ms);
        channel.acknowledge({2, qrv::wire::PtzOutcome::held});
    });
    EXPECT_EQ(channel.wait_delivered(1, std::chrono::steady_clock::now() + 5s), Delivery::acknowledged);
    source.join();
    EXPECT_EQ(channel.wait_delivered(2, soon()), Delivery::acknowledged);
    EXPECT_FALSE(channel.unsettled());
    EXPECT_FALSE(channel.acknowledge({2, qrv::wire::PtzOutcome::held}));  // twice

    EXPECT_EQ(channel.post_command(zoom), 3u);
    ASSERT_TRUE(channel.flush());
    EXPECT_TRUE(channel.acknowledge({3, qrv::wire::PtzOutcome::refused}));
    EXPECT_EQ(channel.wait_delivered(3, soon()), Delivery::refused);

    EXPECT_EQ(channel.post_command(zoom), 4u);
    ASSERT_TRUE(channel.flush());
    channel.close();
    EXPECT_EQ(channel.wait_delivered(4, soon()), Delivery::lost);
    EXPECT_EQ(channel.post_command(zoom), 0u);
}

TEST(LinkOutbox, ASourceThatDoesNotAcknowledgeIsNotWaitedFor)
{
    using Delivery = qrv::transport::LinkChannel::Delivery;
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    qrv::net::Fd mine(sv[0]), peer(sv[1]);
    qrv::transport::LinkChannel channel(mine.get(), qrv::net::Fd());
    EXPECT_EQ(channel.post_command({qrv::wire::PtzCommand::recall_preset, 3, 1.0f, 0.0f}), 1u);
    ASSERT_TRUE(channel.flush());
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(channel.wait_delivered(1, before + std::chrono::seconds(5)), Delivery::written);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100));
    // Still worth a gentle close: the source may not have read it yet.
    EXPECT_TRUE(channel.unsettled());
}

}  // namespace
