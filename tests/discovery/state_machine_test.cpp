// The responder, the browser and the record cache on a virtual clock: time
// only moves when the test says so, and messages pass between the state
// machines as they would over a link.
#include <gtest/gtest.h>

#include <algorithm>

#include "discovery/mdns/browser.h"
#include "discovery/common/instance_name.h"
#include "discovery/mdns/record_cache.h"
#include "discovery/mdns/responder.h"
#include "objects/finder.h"

using namespace qrv::discovery;

namespace {

const Name kType = Name::of({"_qrv", "_tcp", "local"});
constexpr unsigned kIf = 1;
constexpr uint32_t kAddrA = 0x0100007f;  // 127.0.0.1
constexpr uint32_t kAddrB = 0x0200007f;  // 127.0.0.2

// Two responders and a browser on one link; every message sent reaches
// every party (the sender included, as multicast loop-back does).
struct Link {
    TimePoint now{};
    Responder a{kType, "host", Name::of({"host-a", "local"}), {{kIf, kAddrA}}, 11};
    Responder b{kType, "host", Name::of({"host-b", "local"}), {{kIf, kAddrB}}, 22};
    Browser browser{kType, {kIf}, 64, 33};
    Browser* late = nullptr;  // a second browser, when one joins later
    std::vector<Message> sent;
    bool deliver = true;
    bool a_alive = true;  // false: a's host is gone, without a goodbye

    void pump(std::vector<Outgoing>& out, uint32_t from)
    {
        while (!out.empty()) {
            auto batch = std::move(out);
            out.clear();
            for (auto& o : batch) {
                // Over the wire and back, as every receiver would see it.
                auto bytes = build_message(o.message);
                ASSERT_TRUE(bytes);
                auto parsed = parse_message(*bytes);
                ASSERT_TRUE(parsed.message);
                sent.push_back(*parsed.message);
                if (!deliver)
                    continue;
                if (a_alive)
                    a.on_message(*parsed.message, kIf, from, kMdnsPort, now, out);
                b.on_message(*parsed.message, kIf, from, kMdnsPort, now, out);
                browser.on_message(*parsed.message, kIf, now);
                if (late)
                    late->on_message(*parsed.message, kIf, now);
            }
        }
    }

    void run_for(Duration d, Duration step = milliseconds(10))
    {
        const TimePoint end = now + d;
        while (now < end) {
            std::vector<Outgoing> out;
            if (a_alive)
                a.tick(now, out);
            pump(out, kAddrA);
            b.tick(now, out);
            pump(out, kAddrB);
            browser.tick(now, out);
            pump(out, kAddrA);
            if (late) {
                late->tick(now, out);
                pump(out, kAddrA);
            }
            now += step;
        }
    }

    std::vector<std::string> names() const { return names_of(browser); }
    static std::vector<std::string> names_of(const Browser& b)
    {
        std::vector<std::string> out;
        for (const auto& s : b.services())
            out.push_back(s.instance);
        return out;
    }
};

}  // namespace

TEST(InstanceName, LabelsNumbersAndLimits)
{
    EXPECT_EQ(instance_label("vm", "My Video", 1), "vm (My Video)");
    EXPECT_EQ(instance_label("vm", "My Video", 2), "vm (My Video (2))");
    const std::string label = instance_label("vm", std::string(100, 'x'), 12);
    EXPECT_LE(label.size(), kMaxLabelBytes);
    EXPECT_NE(label.find("(12))"), std::string::npos);
    // A multi-byte character is never cut in half.
    std::string umlauts;
    for (int i = 0; i < 40; ++i)
        umlauts += "\xc3\xa4";
    const std::string cut = instance_label("vm", umlauts, 1);
    EXPECT_LE(cut.size(), kMaxLabelBytes);
    const std::string inner = cut.substr(4, cut.size() - 5);
    EXPECT_EQ(inner.size() % 2, 0u);
}

TEST(Responder, ProbesAnnouncesAndBrowserResolves)
{
    Link link;
    link.browser.start(link.now);
    const auto id = link.a.add(ServiceOffer{"My Video", 5960, {"id=1"}}, link.now);
    link.run_for(milliseconds(600));
    EXPECT_FALSE(link.a.announced(id)) << "announced before three probes";
    link.run_for(milliseconds(800));
    EXPECT_TRUE(link.a.announced(id));
    ASSERT_EQ(link.names(), std::vector<std::string>{"host (My Video)"});
    const auto& s = link.browser.services().front();
    EXPECT_EQ(s.port, 5960);
    EXPECT_EQ(s.address, kAddrA);
    EXPECT_EQ(txt_value(s.txt, "id"), "1");
    size_t probes = 0;
    for (const auto& m : link.sent)
        if (!m.is_response() && !m.authorities.empty())
            ++probes;
    EXPECT_EQ(probes, 3u);
}

TEST(Responder, SameNameOnTwoHostsEndsDistinct)
{
    Link link;
    link.browser.start(link.now);
    // At the same moment: the probes meet and the tie-break decides.
    const auto ia = link.a.add(ServiceOffer{"Cam", 1, {"id=a"}}, link.now);
    const auto ib = link.b.add(ServiceOffer{"Cam", 2, {"id=b"}}, link.now);
    link.run_for(seconds(6));
    EXPECT_TRUE(link.a.announced(ia));
    EXPECT_TRUE(link.b.announced(ib));
    EXPECT_NE(*link.a.label(ia), *link.b.label(ib));
    EXPECT_EQ(link.names(), (std::vector<std::string>{"host (Cam (2))", "host (Cam)"}));

    // One that joins later, while the name is taken, renames on the answer
    // to its first probe.
    const auto ic = link.b.add(ServiceOffer{"Cam", 3, {"id=c"}}, link.now);
    link.run_for(seconds(4));
    EXPECT_EQ(*link.b.label(ic), "host (Cam (3))");
    EXPECT_GE(link.a.conflicts() + link.b.conflicts(), 2u);
}

TEST(Responder, SameNameTwiceInOneProcessIsRenamedAtOnce)
{
    Responder r{kType, "host", Name::of({"host-a", "local"}), {{kIf, kAddrA}}, 5};
    const auto first = r.add(ServiceOffer{"X", 0, {}}, TimePoint{});
    const auto second = r.add(ServiceOffer{"X", 0, {}}, TimePoint{});
    EXPECT_EQ(*r.label(first), "host (X)");
    EXPECT_EQ(*r.label(second), "host (X (2))");
}

TEST(Responder, GoodbyeRemovesAtOnceAndKnownAnswersSilence)
{
    Link link;
    link.browser.start(link.now);
    const auto id = link.a.add(ServiceOffer{"Gone", 7, {}}, link.now);
    link.run_for(seconds(3));
    ASSERT_EQ(link.names().size(), 1u);

    // A query listing the instance as known with most of its TTL left
    // draws no answer; one without known answers does.
    std::vector<Outgoing> out;
    Message q;
    q.questions.push_back(Question{kType, kTypePTR});
    link.a.on_message(q, kIf, kAddrB, 5353, link.now, out);
    EXPECT_EQ(out.size(), 1u);
    out.clear();
    Record known = make_ptr(kType, Name::of({"host (Gone)"}).plus(kType), kRecordTtl);
    q.answers.push_back(known);
    link.a.on_message(q, kIf, kAddrB, 5353, link.now, out);
    EXPECT_TRUE(out.empty());
    q.answers[0].ttl = kRecordTtl / 2 - 1;
    link.a.on_message(q, kIf, kAddrB, 5353, link.now, out);
    EXPECT_EQ(out.size(), 1u);
    out.clear();
    // A legacy resolver (not port 5353) gets a unicast reply with its id.
    q.answers.clear();
    q.id = 0x4242;
    link.a.on_message(q, kIf, kAddrB, 40000, link.now, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].unicast_port, 40000);
    EXPECT_EQ(out[0].message.id, 0x4242);
    EXPECT_EQ(out[0].message.questions.size(), 1u);
    out.clear();

    // The goodbye takes it off the list at once; its records stay a second
    // longer, so that a re-announcement within that second brings it back.
    // It goes out twice, so that the first one may be lost.
    link.sent.clear();
    link.deliver = false;
    link.a.remove(id, link.now);
    link.run_for(milliseconds(20));
    EXPECT_EQ(link.names().size(), 1u);
    link.deliver = true;
    link.run_for(kGoodbyeInterval);
    EXPECT_TRUE(link.names().empty());
    EXPECT_TRUE(link.a.empty());
    EXPECT_GT(link.browser.cache().size(), 0u);
    link.run_for(milliseconds(1100));
    EXPECT_EQ(link.browser.cache().size(), 0u);
    size_t goodbyes = 0;
    for (const auto& m : link.sent)
        if (m.is_response() && !m.answers.empty() &&
            std::all_of(m.answers.begin(), m.answers.end(), [](const Record& r) { return r.ttl == 0; }))
            ++goodbyes;
    EXPECT_EQ(goodbyes, 2u);
}

// A goodbye for a live source that its responder did not send (a spoof, or
// a stale peer): the responder announces again at once, so browsers have it
// back within moments; a flood of such goodbyes draws a few answers a second.
TEST(Responder, AGoodbyeNotOurOwnIsAnsweredWithAnAnnouncement)
{
    Link link;
    link.browser.start(link.now);
    link.a.add(ServiceOffer{"Victim", 7, {}}, link.now);
    link.run_for(seconds(3));
    ASSERT_EQ(link.names().size(), 1u);

    const Name instance = Name::of({"host (Victim)"}).plus(kType);
    Message spoof;
    spoof.flags = kFlagResponse;
    spoof.answers.push_back(make_ptr(kType, instance, 0));
    spoof.answers.push_back(make_srv(instance, Name::of({"host-a", "local"}), 7, 0));
    link.sent.clear();
    size_t announcements = 0;
    for (int i = 0; i < 50; ++i) {
        std::vector<Outgoing> out;
        Outgoing o;
        o.ifindex = kIf;
        o.message = spoof;
        out.push_back(o);
        link.pump(out, kAddrB);
        link.run_for(milliseconds(20));
    }
    for (const auto& m : link.sent)
        if (m.is_response() && !m.answers.empty() && m.answers[0].ttl != 0)
            ++announcements;
    EXPECT_GE(announcements, 2u);
    EXPECT_LE(announcements, 5u) << "four a second at most";
    link.run_for(milliseconds(300));
    EXPECT_EQ(link.names().size(), 1u) << "listed again after the spoofed goodbyes";
    link.run_for(seconds(2));
    EXPECT_EQ(link.names().size(), 1u);
}

TEST(Responder, WithdrawnWhileProbingAgainSaysGoodbyeForTheAnnouncedName)
{
    Link link;
    link.browser.start(link.now);
    const auto id = link.a.add(ServiceOffer{"Cam", 7, {"id=1"}}, link.now);
    link.run_for(seconds(3));
    ASSERT_EQ(link.names(), std::vector<std::string>{"host (Cam)"});
    // Someone claims the name with other data: the publisher probes anew.
    Message claim;
    claim.flags = kFlagResponse | kFlagAuthoritative;
    claim.answers.push_back(make_srv(Name::of({"host (Cam)"}).plus(kType), Name::of({"elsewhere", "local"}), 9,
                                     kRecordTtl));
    std::vector<Outgoing> out;
    link.a.on_message(claim, kIf, kAddrB, kMdnsPort, link.now, out);
    EXPECT_FALSE(link.a.announced(id));
    // Withdrawn before it announces again: the browser still hears the
    // goodbye of what it holds.
    link.a.remove(id, link.now);
    link.run_for(milliseconds(20));
    EXPECT_TRUE(link.names().empty());
    link.run_for(kGoodbyeInterval * 2);
    EXPECT_TRUE(link.a.empty());
}

TEST(Browser, ForgetsASilentPublisherWithinTheTtl)
{
    Link link;
    link.browser.start(link.now);
    link.a.add(ServiceOffer{"Alive", 7, {}}, link.now);
    link.run_for(seconds(3));
    ASSERT_EQ(link.names().size(), 1u);
    // Refresh queries keep it while its publisher answers...
    link.run_for(seconds(30), milliseconds(50));
    ASSERT_EQ(link.names().size(), 1u);
    // ...and once nothing answers any more, it goes within the TTL.
    link.deliver = false;
    const TimePoint dead = link.now;
    while (!link.names().empty() && link.now < dead + seconds(20))
        link.run_for(milliseconds(50), milliseconds(50));
    EXPECT_TRUE(link.names().empty());
    EXPECT_LE(link.now - dead, seconds(kRecordTtl));
}

// A source whose host vanished comes back from another host under the same
// name on a higher port: the browser lists the new port and address as soon
// as the announcement is in, not the records it replaces, which the cache
// keeps a second more.
TEST(Browser, ASourceStartedAgainElsewhereIsListedAtItsNewPlaceAtOnce)
{
    Link link;
    link.browser.start(link.now);
    link.a.add(ServiceOffer{"Cam", 9000, {"id=1"}}, link.now);
    link.run_for(seconds(3));
    ASSERT_EQ(link.names(), std::vector<std::string>{"host (Cam)"});
    link.a_alive = false;
    link.run_for(seconds(2));
    const auto id = link.b.add(ServiceOffer{"Cam", 9100, {"id=2"}}, link.now);
    for (int i = 0; i < 300 && !link.b.announced(id); ++i)
        link.run_for(milliseconds(10));
    ASSERT_TRUE(link.b.announced(id));
    link.run_for(milliseconds(100));
    ASSERT_EQ(link.browser.services().size(), 1u);
    const auto& s = link.browser.services().front();
    EXPECT_EQ(s.port, 9100);
    EXPECT_EQ(s.address, kAddrB);
    EXPECT_EQ(txt_value(s.txt, "id"), "2");
}

// A stranger that announces a taken name, unasked and later than the
// source, is what the browser's services show (the newest); every claim
// stays a candidate, newest first, for a receiver that can tell them apart
// by the key. A source that holds its name (it has the key) keeps it
// against the claim and announces it again; one that does not is renamed.
TEST(Browser, EveryInstanceClaimingANameIsACandidateNewestFirst)
{
    for (const bool holds : {true, false}) {
        SCOPED_TRACE(holds ? "holds its name" : "yields its name");
        Link link;
        link.browser.start(link.now);
        ServiceOffer offer{"Cam", 9000, {"id=1"}};
        offer.holds_name = holds;
        const auto id = link.a.add(offer, link.now);
        link.run_for(seconds(3));
        ASSERT_EQ(link.names(), std::vector<std::string>{"host (Cam)"});

        const Name instance = Name::of({"host (Cam)"}).plus(kType);
        const Name stranger = Name::of({"stranger", "local"});
        Message m;
        m.flags = kFlagResponse;
        m.answers = {make_ptr(kType, instance, 8), make_srv(instance, stranger, 9999, 8),
                     make_txt(instance, {"id=1"}, 8), make_a(stranger, kAddrB, 8)};
        link.now += milliseconds(10);
        link.browser.on_message(m, kIf, link.now);
        ASSERT_EQ(link.browser.services().size(), 1u);
        EXPECT_EQ(link.browser.services().front().port, 9999);
        const auto all = link.browser.candidates("HOST (cam)");
        ASSERT_EQ(all.size(), 2u);
        EXPECT_EQ(std::make_pair(all[0].address, all[0].port), std::make_pair(kAddrB, uint16_t(9999)));
        EXPECT_EQ(std::make_pair(all[1].address, all[1].port), std::make_pair(kAddrA, uint16_t(9000)));
        EXPECT_TRUE(link.browser.candidates("host (other)").empty());

        // The stranger goes on claiming the name, as it would to win it.
        for (int i = 0; i < 15; ++i) {
            std::vector<Outgoing> out;
            link.a.on_message(m, kIf, kAddrB, kMdnsPort, link.now, out);
            link.pump(out, kAddrA);
            link.run_for(milliseconds(200));
        }
        EXPECT_EQ(link.a.label(id), std::string(holds ? "host (Cam)" : "host (Cam (2))"));
        EXPECT_EQ(link.a.contested(id), holds);
        if (holds) {
            // Ours announced again: still a candidate.
            const auto again = link.browser.candidates("host (Cam)");
            EXPECT_TRUE(std::any_of(again.begin(), again.end(), [](const auto& c) { return c.port == 9000; }));
        }
    }
}

TEST(RecordCache, ExpiresGoodbyesFlushesAndStaysWithinItsCap)
{
    RecordCache cache(4);
    TimePoint t{};
    const Name n = Name::of({"a", "local"});
    EXPECT_TRUE(cache.insert(make_a(n, 1, 10), kIf, t));
    EXPECT_FALSE(cache.insert(make_a(n, 1, 10), kIf, t + seconds(5)));  // renewed
    EXPECT_FALSE(cache.expire(t + seconds(14)));
    EXPECT_TRUE(cache.expire(t + seconds(15)));
    EXPECT_EQ(cache.size(), 0u);

    // Refresh points at 80, 85, 90, 95 per cent, each once.
    cache.insert(make_a(n, 1, 100), kIf, t);
    EXPECT_TRUE(cache.take_due_refreshes(t + seconds(79)).empty());
    EXPECT_EQ(cache.take_due_refreshes(t + seconds(83)).size(), 1u);
    EXPECT_TRUE(cache.take_due_refreshes(t + seconds(83)).empty());
    EXPECT_EQ(cache.take_due_refreshes(t + seconds(99)).size(), 1u);  // later points fold together

    // Goodbye: one more second.
    cache.insert(make_ptr(kType, n, 100), kIf, t);
    EXPECT_TRUE(cache.insert(make_ptr(kType, n, 0), kIf, t + seconds(2)));
    ASSERT_EQ(cache.find(kType, kTypePTR).size(), 1u);
    EXPECT_TRUE(cache.find(kType, kTypePTR)[0]->goodbye);
    cache.expire(t + seconds(3));
    EXPECT_TRUE(cache.find(kType, kTypePTR).empty());

    // Cache flush: an owner's new address replaces the old one.
    RecordCache flush(8);
    flush.insert(make_a(n, 1, 100), kIf, t);
    flush.insert(make_a(n, 2, 100), kIf, t + seconds(5));
    flush.expire(t + seconds(7));
    ASSERT_EQ(flush.find(n, kTypeA).size(), 1u);
    EXPECT_EQ(flush.find(n, kTypeA)[0]->record.address, 2u);

    // The cap: a flood never grows it. What was there before the flood
    // stays (newest arrivals go first, whatever their TTL), and so does a
    // later answer to our own question.
    RecordCache capped(4);
    const auto host = [](uint32_t i) { return Name::of({"h" + std::to_string(i), "local"}); };
    capped.insert(make_a(host(0), 0, 10), kIf, t);
    capped.insert(make_a(host(1), 1, 10), kIf, t + seconds(1), true);
    for (uint32_t i = 2; i < 100; ++i)
        capped.insert(make_a(host(i), i, 1000 + i), kIf, t + seconds(2) + milliseconds(i));
    capped.insert(make_a(host(0), 0, 10), kIf, t + seconds(3));  // a renewal: no new arrival
    for (uint32_t i = 100; i < 200; ++i)
        capped.insert(make_a(host(i), i, 1000), kIf, t + seconds(4) + milliseconds(i));
    EXPECT_EQ(capped.size(), 4u);
    EXPECT_EQ(capped.evictions(), 196u);
    EXPECT_EQ(capped.find(host(0), kTypeA).size(), 1u);
    EXPECT_EQ(capped.find(host(1), kTypeA).size(), 1u);
    EXPECT_EQ(capped.find(host(199), kTypeA).size(), 1u);
}

// A flood of fake services, unresolved (names only) and fully resolved with
// long TTLs, sent unasked while a real source keeps answering. A browser
// that had the real source before the flood keeps it throughout; one that
// starts while the flood is on (its cache already full of fakes) finds it
// and keeps it too. When the real source's answers are lost for longer than
// its TTL (full receive queues), both have it again by the end of the
// flood, three seconds after its answers get through. Both stay within
// their cap.
TEST(Browser, AFloodOfFakeServicesNeverPushesOutTheRealSource)
{
    Link link;
    link.browser.start(link.now);
    link.a.add(ServiceOffer{"Real", 7, {}}, link.now);
    link.run_for(seconds(3));
    ASSERT_EQ(link.names(), std::vector<std::string>{"host (Real)"});

    Browser late{kType, {kIf}, 64, 44};
    const auto lists_real = [](const Browser& b) {
        const auto names = Link::names_of(b);
        return std::find(names.begin(), names.end(), "host (Real)") != names.end();
    };
    const size_t cap = link.browser.cache().capacity();
    constexpr int kFakes = 10000, kLateStart = 2000, kLossFrom = 6000, kLossTo = 6900;
    const auto fake = [](int i) {
        const Name instance = Name::of({"fake " + std::to_string(i)}).plus(kType);
        const Name host = Name::of({"fake-host-" + std::to_string(i), "local"});
        Message m;
        m.flags = kFlagResponse;
        m.answers.push_back(make_ptr(kType, instance, 4500));
        if (i % 2) {  // every other one fully resolvable
            m.answers.push_back(make_srv(instance, host, 9, 4500));
            m.answers.push_back(make_txt(instance, {"x=1"}, 4500));
            m.additionals.push_back(make_a(host, 0x0a000001u + (uint32_t)i, 4500));
        }
        return m;
    };
    for (int i = 0; i < kFakes; ++i) {
        if (i == kLateStart) {
            // The late browser's first moments: the flood fills its cache
            // before the real source answers its first query.
            for (int k = i - 100; k < i; ++k)
                late.on_message(fake(k), kIf, link.now);
            ASSERT_GT(late.cache().evictions(), 0u);  // full
            link.late = &late;
            late.start(link.now);
        }
        const Message m = fake(i);
        link.browser.on_message(m, kIf, link.now);
        if (link.late)
            late.on_message(m, kIf, link.now);
        if (i % 100 != 99)
            continue;
        // Ten seconds of flood and nine more in which nothing but the
        // flood gets through.
        link.deliver = i < kLossFrom || i >= kLossTo;
        link.run_for(link.deliver ? milliseconds(100) : seconds(1));
        ASSERT_LE(link.browser.cache().size(), cap);
        ASSERT_LE(late.cache().size(), cap);
        if (i >= kLossFrom)
            continue;  // gone, or coming back: checked at the end
        ASSERT_TRUE(lists_real(link.browser)) << "after " << i;
        if (i > kLateStart + 1000) {
            ASSERT_TRUE(lists_real(late)) << "late browser, after " << i;
        }
    }
    link.run_for(milliseconds(200));
    EXPECT_TRUE(lists_real(link.browser));
    EXPECT_TRUE(lists_real(late));
    EXPECT_GT(late.cache().evictions(), 0u);
}

TEST(Browser, IgnoresForeignRecordsAndQueries)
{
    Browser b{kType, {kIf}, 16, 1};
    b.start(TimePoint{});
    Message m;
    m.flags = kFlagResponse;
    m.answers.push_back(make_ptr(Name::of({"_other", "_tcp", "local"}), Name::of({"x", "_other", "_tcp", "local"}), 8));
    m.answers.push_back(make_a(Name::of({"stranger", "local"}), 1, 8));
    b.on_message(m, kIf, TimePoint{});
    EXPECT_EQ(b.cache().size(), 0u);
    EXPECT_EQ(b.records_ignored(), 2u);
    // A query carrying records is no answer.
    Message q;
    q.answers.push_back(make_ptr(kType, Name::of({"x"}).plus(kType), 8));
    b.on_message(q, kIf, TimePoint{});
    EXPECT_EQ(b.cache().size(), 0u);
}

TEST(Finder, SelectsByGroupAndOwnProcess)
{
    std::vector<SourceEntry> all{
        {"h (a)", "qrv://127.0.0.1:1", {}, {"public"}, "me"},
        {"h (b)", "qrv://127.0.0.1:2", {}, {"studio", "news"}, "other"},
        {"h (c)", "qrv://127.0.0.1:3", {}, {"public"}, "other"},
    };
    auto names = [](const std::vector<qrv::SourceInfo>& v) {
        std::vector<std::string> out;
        for (const auto& s : v)
            out.push_back(s.name);
        return out;
    };
    qrv::FinderSettings defaults;
    EXPECT_EQ(names(qrv::Finder::select(defaults, all, "me")), (std::vector<std::string>{"h (a)", "h (c)"}));
    qrv::FinderSettings not_mine{false, "", ""};
    EXPECT_EQ(names(qrv::Finder::select(not_mine, all, "me")), (std::vector<std::string>{"h (c)"}));
    qrv::FinderSettings news{true, " NEWS , x", ""};
    EXPECT_EQ(names(qrv::Finder::select(news, all, "me")), (std::vector<std::string>{"h (b)"}));
}

