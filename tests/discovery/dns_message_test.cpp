// The DNS message parser and builder: round trips of what we publish, and
// every class of malformed packet refused without a crash.
#include <gtest/gtest.h>

#include "discovery/common/dns_message.h"

using namespace qrv::discovery;

namespace {

const Name kType = Name::of({"_qrv", "_tcp", "local"});

Message sample()
{
    Message m;
    m.flags = kFlagResponse | kFlagAuthoritative;
    const Name instance = Name::of({"host (My.Video)"}).plus(kType);
    const Name target = Name::of({"host-1", "local"});
    m.questions.push_back(Question{kType, kTypePTR, kClassIN, true});
    m.answers.push_back(make_ptr(kType, instance, 8));
    m.answers.push_back(make_srv(instance, target, 5960, 8));
    m.answers.push_back(make_txt(instance, {"txtvers=1", "groups=public,studio", "flag"}, 8));
    m.additionals.push_back(make_a(target, 0x0100007f, 8));
    Record other;
    other.name = target;
    other.type = kTypeAAAA;
    other.ttl = 120;
    other.raw.assign(16, 0xab);
    m.additionals.push_back(other);
    return m;
}

std::vector<uint8_t> header(uint16_t qd, uint16_t an, uint16_t ns = 0, uint16_t ar = 0, uint16_t flags = 0x8400)
{
    return {0, 0, uint8_t(flags >> 8), uint8_t(flags), uint8_t(qd >> 8), uint8_t(qd), uint8_t(an >> 8), uint8_t(an),
            uint8_t(ns >> 8), uint8_t(ns), uint8_t(ar >> 8), uint8_t(ar)};
}

ParseError error_of(const std::vector<uint8_t>& bytes)
{
    auto r = parse_message(bytes);
    EXPECT_FALSE(r.message.has_value());
    return r.error;
}

}  // namespace

TEST(DnsMessage, RoundTripKeepsEveryFieldAndCompresses)
{
    const Message m = sample();
    auto bytes = build_message(m);
    ASSERT_TRUE(bytes);
    auto parsed = parse_message(*bytes);
    ASSERT_TRUE(parsed.message) << int(parsed.error);
    const Message& p = *parsed.message;
    EXPECT_EQ(p.flags, m.flags);
    ASSERT_EQ(p.questions.size(), 1u);
    EXPECT_TRUE(p.questions[0].name.equals(kType));
    EXPECT_TRUE(p.questions[0].unicast_response);
    ASSERT_EQ(p.answers.size(), 3u);
    ASSERT_EQ(p.additionals.size(), 2u);
    // The dot stays inside its label.
    EXPECT_EQ(p.answers[0].target.labels.front(), "host (My.Video)");
    EXPECT_FALSE(p.answers[0].cache_flush);
    EXPECT_TRUE(p.answers[1].cache_flush);
    EXPECT_EQ(p.answers[1].port, 5960);
    EXPECT_EQ(p.answers[2].strings, (std::vector<std::string>{"txtvers=1", "groups=public,studio", "flag"}));
    EXPECT_EQ(p.additionals[0].address, 0x0100007fu);
    EXPECT_EQ(p.additionals[1].raw, std::vector<uint8_t>(16, 0xab));
    for (size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(p.answers[i].same_data(m.answers[i])) << i;
    // Compression: the service type is written once in full.
    const std::string wire(bytes->begin(), bytes->end());
    size_t count = 0;
    for (size_t at = wire.find("_qrv"); at != std::string::npos; at = wire.find("_qrv", at + 1))
        ++count;
    EXPECT_EQ(count, 1u);
}

TEST(DnsMessage, NamesCompareWithoutCaseAndEnforceLimits)
{
    EXPECT_TRUE(Name::of({"Host", "LOCAL"}).equals(Name::of({"host", "local"})));
    EXPECT_FALSE(Name::of({"host"}).equals(Name::of({"host", "local"})));
    EXPECT_FALSE(Name::of({std::string(64, 'a')}).valid());
    EXPECT_TRUE(Name::of({std::string(63, 'a')}).valid());
    Name long_name;
    for (int i = 0; i < 5; ++i)
        long_name.labels.push_back(std::string(60, 'x'));  // 5 * 61 + 1 > 255
    EXPECT_FALSE(long_name.valid());
    Message m;
    m.questions.push_back(Question{long_name, kTypeA});
    EXPECT_FALSE(build_message(m));
    Message t;
    t.answers.push_back(make_txt(kType, {std::string(256, 'a')}, 1));
    EXPECT_FALSE(build_message(t));
}

TEST(DnsMessage, TxtValueLookup)
{
    const std::vector<std::string> txt{"ID=abc", "flag", "groups=", "x=1=2"};
    EXPECT_EQ(txt_value(txt, "id"), "abc");
    EXPECT_EQ(txt_value(txt, "flag"), "");
    EXPECT_EQ(txt_value(txt, "groups"), "");
    EXPECT_EQ(txt_value(txt, "x"), "1=2");
    EXPECT_FALSE(txt_value(txt, "missing"));
}

TEST(DnsMessage, RefusesEveryTruncation)
{
    auto bytes = build_message(sample());
    ASSERT_TRUE(bytes);
    for (size_t n = 0; n < bytes->size(); ++n) {
        std::vector<uint8_t> cut(bytes->begin(), bytes->begin() + n);
        EXPECT_FALSE(parse_message(cut).message) << "length " << n;
    }
}

TEST(DnsMessage, RefusesPointerLoopsAndForwardPointers)
{
    // A question whose name points at itself.
    auto self = header(1, 0, 0, 0, 0);
    self.insert(self.end(), {0xc0, 12, 0, 1, 0, 1});
    EXPECT_EQ(error_of(self), ParseError::bad_pointer);
    // Two names pointing at each other: the second points forward.
    auto pair = header(2, 0, 0, 0, 0);
    pair.insert(pair.end(), {0xc0, 18, 0, 1, 0, 1, 0xc0, 12, 0, 1, 0, 1});
    EXPECT_EQ(error_of(pair), ParseError::bad_pointer);
    // A pointer beyond the packet.
    auto beyond = header(1, 0, 0, 0, 0);
    beyond.insert(beyond.end(), {0xc1, 0xff, 0, 1, 0, 1});
    EXPECT_EQ(error_of(beyond), ParseError::bad_pointer);
    // Reserved label types.
    auto reserved = header(1, 0, 0, 0, 0);
    reserved.insert(reserved.end(), {0x40, 'a', 0, 0, 1, 0, 1});
    EXPECT_EQ(error_of(reserved), ParseError::bad_label);
}

TEST(DnsMessage, RefusesOversizedNamesAndAbsurdCounts)
{
    // 5 labels of 60 bytes: over 255 bytes in all.
    auto big = header(1, 0, 0, 0, 0);
    for (int i = 0; i < 5; ++i) {
        big.push_back(60);
        big.insert(big.end(), 60, 'x');
    }
    big.insert(big.end(), {0, 0, 1, 0, 1});
    EXPECT_EQ(error_of(big), ParseError::name_too_long);
    // A long name built from pointers to earlier labels is limited as well.
    auto chain = header(8, 0, 0, 0, 0);
    chain.push_back(60);
    chain.insert(chain.end(), 60, 'a');
    chain.insert(chain.end(), {0, 0, 1, 0, 1});
    size_t previous = 12;
    for (int i = 0; i < 7; ++i) {
        const size_t here = chain.size();
        chain.push_back(60);
        chain.insert(chain.end(), 60, 'b');
        chain.push_back(uint8_t(0xc0 | (previous >> 8)));
        chain.push_back(uint8_t(previous));
        chain.insert(chain.end(), {0, 1, 0, 1});
        previous = here;
    }
    EXPECT_EQ(error_of(chain), ParseError::name_too_long);
    // Counts that the packet cannot hold.
    EXPECT_EQ(error_of(header(0xffff, 0xffff, 0xffff, 0xffff)), ParseError::too_many_records);
    EXPECT_EQ(error_of(header(0, 3)), ParseError::truncated);
    EXPECT_EQ(error_of(std::vector<uint8_t>(kMaxPacketBytes + 1, 0)), ParseError::too_big);
}

TEST(DnsMessage, RefusesMalformedRecordData)
{
    auto record = [](uint16_t type, std::vector<uint8_t> rdata) {
        auto m = header(0, 1);
        m.insert(m.end(), {1, 'a', 0, uint8_t(type >> 8), uint8_t(type), 0, 1, 0, 0, 0, 8,
                           uint8_t(rdata.size() >> 8), uint8_t(rdata.size())});
        m.insert(m.end(), rdata.begin(), rdata.end());
        return m;
    };
    EXPECT_EQ(error_of(record(kTypeA, {127, 0, 0})), ParseError::bad_rdata);
    EXPECT_EQ(error_of(record(kTypeSRV, {0, 0, 0, 0})), ParseError::bad_rdata);
    // A TXT string that runs past its record.
    EXPECT_EQ(error_of(record(kTypeTXT, {5, 'a', 'b'})), ParseError::bad_rdata);
    // A PTR whose name ends before its data does: trailing bytes.
    EXPECT_EQ(error_of(record(kTypePTR, {1, 'b', 0, 9})), ParseError::bad_rdata);
    // A PTR name running past the data length.
    EXPECT_FALSE(parse_message(record(kTypePTR, {3, 'b'})).message);
    // rdlength beyond the packet.
    auto m = record(kTypeA, {127, 0, 0, 1});
    m[m.size() - 5] = 0x10;
    EXPECT_EQ(error_of(m), ParseError::truncated);
    // Well-formed data of an unknown type is kept.
    EXPECT_TRUE(parse_message(record(99, {1, 2, 3})).message);
}
