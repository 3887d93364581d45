// Multicast datagrams: a message cut into them comes back whole whatever
// order, duplication or loss the network adds, and nothing a forger or a
// broken sender puts in a datagram is trusted.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <random>

#include "wire/datagram.h"
#include "wire/datagram_seal.h"
#include "wire/reassembler.h"
#include "wire/repair_store.h"
#include "wire/wire.h"

using namespace qrv::wire;
using namespace std::chrono_literals;

namespace {

constexpr uint64_t kToken = 0x0123456789abcdefull;
using Clock = std::chrono::steady_clock;

std::vector<uint8_t> pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 7 + seed);
    return v;
}

// A message as the sender hands it over: header piece, then the data.
CutMessage cut(const std::vector<uint8_t>& message, uint64_t sequence, uint16_t part = 1000,
               uint64_t token = kToken, uint32_t stream = kStreamVideo)
{
    const size_t split = std::min<size_t>(message.size(), 77);
    const std::span<const uint8_t> pieces[] = {std::span(message).first(split), std::span(message).subspan(split)};
    DatagramHeader how;
    how.part_bytes = part;
    how.token = token;
    how.stream = stream;
    how.sequence = sequence;
    auto m = cut_message(pieces, how);
    EXPECT_TRUE(m);
    return std::move(*m);
}

std::vector<uint8_t> copy(std::span<const uint8_t> s) { return {s.begin(), s.end()}; }

// The next whole message's bytes, or nothing.
std::optional<std::vector<uint8_t>> next_of(Reassembler& r, Clock::time_point now)
{
    const auto m = r.next(now);
    if (!m)
        return std::nullopt;
    return copy(*m);
}

void put_u32(std::vector<uint8_t>& d, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        d[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

TEST(Datagram, ABufferStillHeldIsNeverReusedAndAReusedOneHoldsOnlyItsNewMessage)
{
    // Larger, smaller, larger again: buffers go back to the reassembler's
    // pool as their holders let go, and only then.
    const std::vector<std::vector<uint8_t>> messages = {pattern(25'431, 1), pattern(1, 2), pattern(2000, 3),
                                                        pattern(30'007, 4), pattern(25'431, 5), pattern(999, 6)};
    Reassembler r(kToken, kStreamVideo, {});
    std::vector<std::shared_ptr<const qrv::ByteBuffer>> held;
    for (size_t i = 0; i < messages.size(); ++i) {
        const CutMessage m = cut(messages[i], 1 + i);
        for (uint32_t k = m.count(); k-- > 0;)
            ASSERT_TRUE(r.take(m.datagram(k), Clock::now()));
        auto got = r.next(Clock::now());
        ASSERT_TRUE(got);
        EXPECT_EQ(copy(*got), messages[i]);
        if (i % 2 == 0)
            held.push_back(std::move(got));  // the others go back at once
    }
    for (size_t i = 0; i < held.size(); ++i)
        EXPECT_EQ(copy(*held[i]), messages[2 * i]) << "message " << 2 * i << " changed while held";
}

TEST(Datagram, MessagesComeBackWholeAndInOrderDespiteReorderingAndDuplicates)
{
    // Sizes around the part size: one byte, exactly two parts, a ragged tail.
    const std::vector<std::vector<uint8_t>> messages = {pattern(1, 1), pattern(2000, 2), pattern(25'431, 3)};
    std::vector<std::vector<uint8_t>> datagrams;
    for (size_t i = 0; i < messages.size(); ++i) {
        const CutMessage m = cut(messages[i], 100 + i);
        EXPECT_EQ(m.count(), datagram_count(messages[i].size(), 1000));
        for (uint32_t k = 0; k < m.count(); ++k) {
            EXPECT_LE(m.datagram(k).size(), kDatagramHeaderBytes + 1000);
            datagrams.push_back(copy(m.datagram(k)));
        }
    }
    // Every third one twice, in any order after the first (which starts
    // the stream for a receiver that just joined), and the second
    // message's first piece last, so that the third waits for it.
    const size_t n = datagrams.size();
    for (size_t i = 0; i < n; i += 3)
        datagrams.push_back(datagrams[i]);
    std::swap(datagrams[1], datagrams.back());
    std::shuffle(datagrams.begin() + 1, datagrams.end() - 1, std::mt19937(7));

    Reassembler r(kToken, kStreamVideo, {});
    const auto now = Clock::now();
    size_t taken = 0;
    for (const auto& d : datagrams)
        taken += r.take(d, now);
    for (const auto& want : messages) {
        const auto got = next_of(r, now);
        ASSERT_TRUE(got);
        EXPECT_EQ(*got, want);
    }
    EXPECT_FALSE(next_of(r, now));
    EXPECT_EQ(taken, n);
    EXPECT_EQ(r.counters().duplicates, datagrams.size() - n);
    EXPECT_EQ(r.counters().messages, 3u);
    EXPECT_EQ(r.counters().lost, 0u);
}

TEST(Datagram, ForgedAndInconsistentDatagramsAreDroppedAndCounted)
{
    const auto message = pattern(5000, 9);
    const CutMessage good = cut(message, 1);
    Reassembler r(kToken, kStreamVideo, {.max_message_bytes = 1 << 20});
    const auto now = Clock::now();

    // The source's address but not its token; the token but another stream.
    EXPECT_FALSE(r.take(cut(message, 1, 1000, kToken + 1).datagram(0), now));
    EXPECT_FALSE(r.take(cut(message, 1, 1000, kToken, kStreamAudio).datagram(0), now));
    // Too short, not ours, truncated, trailing bytes.
    const auto d0 = copy(good.datagram(0));
    EXPECT_FALSE(r.take(std::span(d0).first(10), now));
    auto not_ours = d0;
    not_ours[0] ^= 1;
    EXPECT_FALSE(r.take(not_ours, now));
    EXPECT_FALSE(r.take(std::span(d0).first(d0.size() - 1), now));
    auto longer = d0;
    longer.push_back(0);
    EXPECT_FALSE(r.take(longer, now));
    // Lies in the lengths: the count, an index past it, a huge message,
    // a part size too small to be ours.
    auto lie = d0;
    put_u32(lie, 36, 99);  // count
    EXPECT_FALSE(r.take(lie, now));
    lie = d0;
    put_u32(lie, 32, 5);  // index == count
    EXPECT_FALSE(r.take(lie, now));
    lie = d0;
    put_u32(lie, 20, 0xffffffffu);  // message_bytes
    EXPECT_FALSE(r.take(lie, now));
    lie = d0;
    lie[6] = 10;
    lie[7] = 0;  // part_bytes 10
    EXPECT_FALSE(r.take(lie, now));
    // Consistent on its own, but larger than this receiver takes.
    EXPECT_FALSE(r.take(cut(pattern(2 << 20, 1), 1).datagram(0), now));
    const ReassemblyCounters& c = r.counters();
    EXPECT_EQ(c.forged, 1u);
    EXPECT_EQ(c.other_stream, 1u);
    EXPECT_EQ(c.malformed, 2u);
    EXPECT_EQ(c.bad_lengths, 6u);
    EXPECT_EQ(c.overflow, 1u);

    // The same sequence cut at another part size disagrees with the first
    // datagram the receiver kept of it.
    EXPECT_TRUE(r.take(good.datagram(0), now));
    EXPECT_FALSE(r.take(cut(message, 1, 1200).datagram(1), now));
    EXPECT_EQ(c.bad_lengths, 7u);
    for (uint32_t k = 1; k < good.count(); ++k)
        EXPECT_TRUE(r.take(good.datagram(k), now));
    EXPECT_EQ(next_of(r, now), message);
}

TEST(Datagram, SealedDatagramsOpenOnlyUnderTheirKeyAndUntouched)
{
    const auto key = make_datagram_key(7);
    const auto other = make_datagram_key(7);  // same id, other secret
    ASSERT_TRUE(key && other);
    const auto message = pattern(2500, 9);
    const CutMessage m = cut(message, 5);
    DatagramSealer sealer(*key);
    DatagramOpener opener, stranger;
    opener.add_key(*key);
    stranger.add_key(*other);
    Reassembler r(kToken, kStreamVideo, {});
    const auto now = Clock::now();
    // The whole message sealed at once gives the same datagrams, the short
    // last one included.
    const auto whole = sealer.seal(m);
    ASSERT_TRUE(whole);
    ASSERT_EQ(whole->count(), m.count());
    std::vector<uint8_t> reused;
    for (uint32_t i = 0; i < m.count(); ++i) {
        const auto plain = copy(m.datagram(i));
        const auto sealed = sealer.seal(plain);
        ASSERT_TRUE(sealed);
        ASSERT_EQ(sealed->size(), plain.size() + kDatagramTagBytes);
        EXPECT_EQ(copy(whole->datagram(i)), *sealed);
        // Nothing of the payload in clear.
        EXPECT_FALSE(std::equal(plain.begin() + kDatagramHeaderBytes, plain.end(),
                                sealed->begin() + kDatagramHeaderBytes));
        // A bit flipped in the token, the key id, the payload or the tag.
        for (size_t at : {size_t(8), size_t(42), kDatagramHeaderBytes + 3, sealed->size() - 1}) {
            auto bad = *sealed;
            bad[at] ^= 0x10;
            EXPECT_FALSE(opener.open(bad)) << "byte " << at;
        }
        EXPECT_FALSE(stranger.open(*sealed));
        // Opening into a buffer kept from call to call: a failure leaves
        // nothing of the last datagram in it.
        ASSERT_TRUE(opener.open(*sealed, reused));
        EXPECT_EQ(reused, plain);
        EXPECT_FALSE(stranger.open(*sealed, reused));
        EXPECT_TRUE(reused.empty());
        // A receiver without the key takes it for malformed, no more.
        EXPECT_FALSE(r.take(*sealed, now));
        const auto opened = opener.open(*sealed);
        ASSERT_TRUE(opened);
        EXPECT_EQ(*opened, plain);
        EXPECT_TRUE(r.take(*opened, now));
    }
    EXPECT_EQ(r.counters().malformed, m.count());
    EXPECT_EQ(next_of(r, now), message);
}

TEST(Datagram, AReceiverLeftOutOfARenewalCannotReadOnWhileTheOthersKeepBothKeysForTheOverlap)
{
    const auto first = make_datagram_key(1), second = make_datagram_key(2), third = make_datagram_key(3);
    ASSERT_TRUE(first && second && third);
    DatagramOpener stays, left;
    stays.add_key(*first);
    left.add_key(*first);
    stays.add_key(*second);  // the renewal reaches only those who stay
    const auto plain = copy(cut(pattern(300, 4), 1).datagram(0));
    const auto old_one = DatagramSealer(*first).seal(plain), new_one = DatagramSealer(*second).seal(plain);
    ASSERT_TRUE(old_one && new_one);
    EXPECT_TRUE(stays.open(*old_one));  // sent before the switch
    EXPECT_TRUE(stays.open(*new_one));
    EXPECT_TRUE(left.open(*old_one));
    EXPECT_FALSE(left.open(*new_one));
    // Two renewals on, the first key is gone.
    stays.add_key(*third);
    EXPECT_FALSE(stays.open(*old_one));
    EXPECT_TRUE(stays.open(*new_one));
}

TEST(Datagram, PartSizesFollowTheMtuAndEveryOneUpToTheLargestIsTaken)
{
    // Ethernet, jumbo frames, loopback; unknown or tiny MTUs.
    EXPECT_EQ(part_bytes_for_mtu(1500), 1428u);
    EXPECT_EQ(part_bytes_for_mtu(9000), 8928u);
    EXPECT_EQ(part_bytes_for_mtu(65536), kMaxPartBytes);
    EXPECT_EQ(part_bytes_for_mtu(0), kDefaultPartBytes);
    EXPECT_EQ(part_bytes_for_mtu(300), kMinPartBytes);
    // A receiver takes the jumbo and the largest part sizes whole, and a
    // datagram one byte past the largest UDP payload is refused.
    for (const uint16_t part : {uint16_t(8928), kMaxPartBytes}) {
        const auto message = pattern(3 * size_t(part) + 5, uint8_t(part));
        const CutMessage m = cut(message, 1, part);
        ASSERT_EQ(m.count(), 4u);
        EXPECT_EQ(m.datagram(0).size(), kDatagramHeaderBytes + part);
        Reassembler r(kToken, kStreamVideo, {});
        for (uint32_t k = 0; k < m.count(); ++k)
            EXPECT_TRUE(r.take(m.datagram(k), Clock::now()));
        EXPECT_EQ(next_of(r, Clock::now()), message);
    }
    EXPECT_LE(kDatagramHeaderBytes + kMaxPartBytes, 65507u);
    auto over = copy(cut(pattern(3 * size_t(kMaxPartBytes), 1), 1, kMaxPartBytes).datagram(0));
    over[6] = over[7] = 0xff;  // a part size of 65535
    Reassembler r(kToken, kStreamVideo, {});
    EXPECT_FALSE(r.take(over, Clock::now()));
    EXPECT_EQ(r.counters().bad_lengths, 1u);
}

TEST(Datagram, LossIsAskedForRepairedFromTheStoreOrGivenUpAfterTheWindow)
{
    RepairStore store(60ms);
    Reassembler r(kToken, kStreamVideo, {.window = 60ms});
    const auto t0 = Clock::now();
    std::vector<std::vector<uint8_t>> messages;
    for (uint64_t seq = 1; seq <= 4; ++seq) {
        messages.push_back(pattern(3500, uint8_t(seq)));
        auto m = std::make_shared<const CutMessage>(cut(messages.back(), seq));
        store.keep(m, t0);
        for (uint32_t k = 0; k < m->count(); ++k) {
            // Lost: one piece of the first, all of the second.
            if ((seq == 1 && k == 2) || seq == 2)
                continue;
            r.take(m->datagram(k), t0);
        }
    }
    EXPECT_FALSE(next_of(r, t0 + 10ms));  // waits for repairs
    // Nothing of the newest is asked for while it may still be arriving.
    EXPECT_EQ(r.missing(t0, 5ms).size(), 2u);
    const auto missing = r.missing(t0 + 10ms, 5ms);
    ASSERT_EQ(missing.size(), 2u);
    EXPECT_EQ(missing[0].sequence, 1u);
    EXPECT_EQ(missing[0].indexes, std::vector<uint32_t>{2});
    EXPECT_EQ(missing[1].sequence, 2u);
    EXPECT_TRUE(missing[1].indexes.empty());

    // The first is repaired in time; the second is not asked for.
    const auto kept = store.find(1, t0 + 20ms);
    ASSERT_TRUE(kept);
    EXPECT_TRUE(r.take(kept->datagram(2), t0 + 20ms));
    EXPECT_EQ(next_of(r, t0 + 20ms), messages[0]);
    EXPECT_FALSE(next_of(r, t0 + 50ms));
    // Past the window the second is given up and the rest follow.
    EXPECT_EQ(next_of(r, t0 + 70ms), messages[2]);
    EXPECT_EQ(next_of(r, t0 + 70ms), messages[3]);
    EXPECT_EQ(r.counters().lost, 1u);
    // Repairs come from the window only.
    EXPECT_FALSE(store.find(1, t0 + 70ms));
}

TEST(Datagram, TheRepairStoreHoldsNoMoreThanItsCap)
{
    RepairStore store(1000ms, 20'000);
    const auto t0 = Clock::now();
    for (uint64_t seq = 1; seq <= 10; ++seq)
        store.keep(std::make_shared<const CutMessage>(cut(pattern(5000, 0), seq)), t0);
    EXPECT_LE(store.bytes(), 20'000u);
    EXPECT_TRUE(store.find(10, t0));
    EXPECT_FALSE(store.find(1, t0));
    // One message larger than the cap is not kept at all.
    store.keep(std::make_shared<const CutMessage>(cut(pattern(30'000, 0), 11)), t0);
    EXPECT_FALSE(store.find(11, t0));
    EXPECT_TRUE(store.find(10, t0));
}

TEST(Datagram, OffersAndJoinsAreCheckedAndOnlyHellosWithFlagsGrow)
{
    auto fixed_of = [](const std::vector<uint8_t>& m, Parsed& p) {
        EXPECT_EQ(parse_message(m, p), ParseResult::ok);
        return std::span<const uint8_t>(m).subspan(kHeaderBytes, p.header.fixed_len);
    };
    Parsed p;
    MulticastOfferFields offer{0xefff0102u, 0x0a000001u, kMulticastPort, kDefaultPartBytes, kToken};
    auto m = encode_multicast_offer(offer);
    const auto back = decode_multicast_offer(p.header, fixed_of(m, p));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->group, offer.group);
    EXPECT_EQ(back->source, offer.source);
    EXPECT_EQ(back->token, kToken);
    // Not a group, no token, a part size no datagram has: a bad message,
    // so a receiver never joins on it.
    for (auto broken : {MulticastOfferFields{0x0a000002u, 1, kMulticastPort, 1400, 1},
                        MulticastOfferFields{0xe0000001u, 1, kMulticastPort, 1400, 0},
                        MulticastOfferFields{0xe0000001u, 1, kMulticastPort, 10, 1}})
        EXPECT_EQ(parse_message(encode_multicast_offer(broken), p), ParseResult::bad);
    // Receivers say whether they joined; nothing else.
    EXPECT_TRUE(upstream_type(MessageType::multicast_state));
    m = encode_multicast_state({kMulticastJoined});
    EXPECT_EQ(decode_multicast_state(p.header, fixed_of(m, p))->state, kMulticastJoined);
    EXPECT_EQ(parse_message(encode_multicast_state({7}), p), ParseResult::bad);

    // Requests for repairs: the indexes exactly as many as said, within
    // the upstream cap.
    EXPECT_TRUE(upstream_type(MessageType::nack));
    const uint32_t indexes[] = {3, 9};
    m = encode_nack({kStreamVideo, 40000, 0, 77}, indexes);
    auto nack = decode_nack(p.header, fixed_of(m, p));
    ASSERT_TRUE(nack);
    EXPECT_EQ(nack->count, 2u);
    EXPECT_EQ(p.header.data_len, 8u);
    EXPECT_LE(m.size() - kHeaderBytes, kMaxUpstreamBytes);
    put_u32(m, 24 + 4, (40000u) | (3u << 16));  // says three indexes, carries two
    EXPECT_EQ(parse_message(m, p), ParseResult::bad);
    const std::vector<uint32_t> many(2000, 1);
    m = encode_nack({kStreamVideo, 40000, 0, 77}, many);
    EXPECT_EQ(decode_nack(p.header, fixed_of(m, p))->count, kMaxNackIndexes);

    // A hello grows by the flags only when it offers something.
    HelloFields wishes;
    m = encode_hello("r", wishes);
    EXPECT_EQ(decode_hello(p.header, fixed_of(m, p))->flags, 0u);
    EXPECT_EQ(p.header.fixed_len, kHelloRateFixedBytes);
    wishes.flags = kHelloJoinMulticast;
    m = encode_hello("r", wishes);
    EXPECT_EQ(decode_hello(p.header, fixed_of(m, p))->flags, kHelloJoinMulticast);
    EXPECT_EQ(p.header.fixed_len, kHelloFlagsFixedBytes);
}
