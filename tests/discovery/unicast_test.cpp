// Unicast DNS discovery without a network: signatures against a vector
// computed independently (Python's hmac), the wire form of updates, and the
// publisher and browser against an in-memory zone on a virtual clock.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdio>
#include <fstream>

#include "base/text.h"
#include "discovery/unicast/dns_update.h"
#include "discovery/unicast/tsig.h"
#include "discovery/unicast/unicast_browser.h"
#include "discovery/unicast/unicast_config.h"
#include "discovery/unicast/unicast_publisher.h"

using namespace qrv::discovery;
using namespace std::chrono_literals;

namespace {

std::vector<uint8_t> from_hex(std::string_view hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(uint8_t(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

const char* kKeyText = "hmac-sha256:qrv-key:c2VjcmV0LWtleS1mb3ItdGVzdHMtb25seS0xMjM0NTY=";

TEST(Tsig, SignsAsAnIndependentImplementationDoes)
{
    const auto key = parse_tsig_key(kKeyText);
    ASSERT_TRUE(key);
    EXPECT_EQ(std::string(key->secret.begin(), key->secret.end()), "secret-key-for-tests-only-123456");
    const auto message = from_hex("1234280000010000000000000673747564696f076578616d706c650000060001");
    std::vector<uint8_t> mac;
    const auto signed_message = tsig_sign(message, *key, 1700000000, &mac);
    ASSERT_TRUE(signed_message);
    // hmac.new(secret, message + variables, sha256), variables per RFC 8945.
    EXPECT_EQ(mac, from_hex("926493698105eedeafe59a31338cecffe4e1c966be65377c78c337e693dfb490"));
    // The result parses, one more additional record, the TSIG record last.
    const auto parsed = parse_message(*signed_message);
    ASSERT_TRUE(parsed.message);
    ASSERT_EQ(parsed.message->additionals.size(), 1u);
    const auto& tsig = parsed.message->additionals[0];
    EXPECT_EQ(tsig.type, kTypeTSIG);
    EXPECT_EQ(tsig.klass, kClassAny);
    EXPECT_TRUE(tsig.name.equals(Name::of({"qrv-key"})));
    // The MAC sits in the record after algorithm name (13), time (6), fudge (2), size (2).
    ASSERT_GE(tsig.raw.size(), 23u + 32u + 6u);
    EXPECT_EQ(std::vector<uint8_t>(tsig.raw.begin() + 23, tsig.raw.begin() + 55), mac);
    EXPECT_FALSE(tsig_sign(std::vector<uint8_t>(11), *key, 0));
}

TEST(Tsig, ChecksRepliesAndReportsTheServersError)
{
    const auto key = parse_tsig_key(kKeyText);
    ASSERT_TRUE(key);
    // A server's reply MAC covers the request MAC (after its length), the
    // reply, then the variables; tsig_sign MACs exactly the bytes it is
    // given plus the variables, so it yields that MAC for the prefixed reply.
    const std::vector<uint8_t> request_mac(32, 0xab);
    const auto reply = from_hex("1234a80000010000000000000673747564696f076578616d706c650000060001");
    std::vector<uint8_t> covered = {0, 32};
    covered.insert(covered.end(), request_mac.begin(), request_mac.end());
    covered.insert(covered.end(), reply.begin(), reply.end());
    std::vector<uint8_t> mac;
    ASSERT_TRUE(tsig_sign(covered, *key, 1700000000, &mac));
    auto signed_reply = *tsig_sign(reply, *key, 1700000000);
    const size_t mac_at = signed_reply.size() - 6 - 32;
    std::copy(mac.begin(), mac.end(), signed_reply.begin() + long(mac_at));
    auto check = tsig_check_reply(signed_reply, *key, request_mac);
    EXPECT_TRUE(check.present);
    EXPECT_TRUE(check.verified);
    EXPECT_EQ(check.error, 0);
    signed_reply[mac_at] ^= 1;
    EXPECT_FALSE(tsig_check_reply(signed_reply, *key, request_mac).verified);
    EXPECT_FALSE(tsig_check_reply(reply, *key, request_mac).present);
}

TEST(Tsig, KeyTextsThatAreRefused)
{
    std::string why;
    EXPECT_FALSE(parse_tsig_key("hmac-md5:k:c2VjcmV0", &why));
    EXPECT_NE(why.find("hmac-sha256"), std::string::npos);
    EXPECT_FALSE(parse_tsig_key("hmac-sha256:k:not*base64", &why));
    EXPECT_FALSE(parse_tsig_key("hmac-sha256::c2VjcmV0", &why));
    EXPECT_FALSE(parse_tsig_key("hmac-sha256:k", &why));
    EXPECT_FALSE(parse_tsig_key("/nonexistent/key/file", &why));
    // A file holding the key, as the server's tools write it.
    const std::string path = testing::TempDir() + "/qrv-tsig-key";
    std::ofstream(path) << "# " << kKeyText << "\nkey:\n  - id: qrv-key\n";
    const auto key = parse_tsig_key(path);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->secret.size(), 32u);
    std::remove(path.c_str());
}

TEST(DnsUpdate, DeletionsAndPrerequisitesCarryNoData)
{
    Message update = make_update(Name::of({"studio", "example"}), 7);
    const Name instance = Name::of({"cam (My Video)", "_qrv", "_tcp", "studio", "example"});
    require_unused(update, instance);
    delete_rrset(update, instance, kTypeTXT);
    delete_name(update, instance);
    add_record(update, make_srv(instance, Name::of({"cam", "studio", "example"}), 5960, 10));
    const auto bytes = build_message(update);
    ASSERT_TRUE(bytes);
    EXPECT_EQ((*bytes)[2] >> 3 & 0xf, kOpcodeUpdate);
    const auto parsed = parse_message(*bytes);
    ASSERT_TRUE(parsed.message);
    const Message& m = *parsed.message;
    ASSERT_EQ(m.questions.size(), 1u);
    EXPECT_EQ(m.questions[0].type, 6);
    ASSERT_EQ(m.answers.size(), 1u);
    EXPECT_EQ(m.answers[0].klass, kClassNone);
    EXPECT_EQ(m.answers[0].type, kTypeANY);
    EXPECT_TRUE(m.answers[0].raw.empty());
    ASSERT_EQ(m.authorities.size(), 3u);
    EXPECT_EQ(m.authorities[0].klass, kClassAny);
    EXPECT_EQ(m.authorities[0].type, kTypeTXT);
    EXPECT_EQ(m.authorities[0].ttl, 0u);
    EXPECT_EQ(m.authorities[1].type, kTypeANY);
    // Additions are plain class IN: the multicast cache-flush bit is gone.
    EXPECT_EQ(m.authorities[2].klass, kClassIN);
    EXPECT_FALSE(m.authorities[2].cache_flush);
    EXPECT_EQ(m.authorities[2].port, 5960);
}

TEST(UnicastConfig, EnvironmentAndFinderLists)
{
    std::map<std::string, std::string> env = {{"QRV_DNS_DOMAIN", "studio.example."},
                                              {"QRV_DNS_SERVER", "10.1.2.3:5353"},
                                              {"QRV_DNS_KEY", kKeyText},
                                              {"QRV_DNS_LEASE", "2"}};
    auto get = [&](const char* name) -> const char* {
        auto it = env.find(name);
        return it == env.end() ? nullptr : it->second.c_str();
    };
    auto c = UnicastConfig::from_settings(qrv::Settings::from(get));
    ASSERT_TRUE(c.domain && c.server && c.key);
    EXPECT_EQ(c.domain->text(), "studio.example");
    EXPECT_EQ(c.server->text(), "10.1.2.3:5353");
    EXPECT_EQ(c.lease, 30s);  // out of range: refused and said
    ASSERT_EQ(c.problems.size(), 1u);
    EXPECT_NE(c.problems[0].find("QRV_DNS_LEASE"), std::string::npos);

    std::vector<std::string> skipped;
    const auto targets = parse_browse_list(" control.example , 10.9.9.9, bad name,,control.example, 1.2.3.4:0", c,
                                           &skipped);
    ASSERT_EQ(targets.size(), 2u);
    EXPECT_EQ(targets[0].domain.text(), "control.example");
    EXPECT_EQ(targets[0].server.text(), "10.1.2.3:5353");
    EXPECT_EQ(targets[1].domain.text(), "studio.example");
    EXPECT_EQ(targets[1].server.text(), "10.9.9.9:53");
    EXPECT_EQ(skipped.size(), 2u);

    env["QRV_DNS_KEY"] = "hmac-sha256:k:***";
    c = UnicastConfig::from_settings(qrv::Settings::from(get));
    EXPECT_FALSE(c.key);
    for (const auto& p : c.problems)
        EXPECT_EQ(p.find("***"), std::string::npos) << "the secret must stay out of logs";
}

// A zone held in memory that applies updates as RFC 2136 says, for the
// parts the publisher uses.
struct FakeZone {
    std::vector<Record> records;
    bool down = false;
    int updates = 0;

    static bool same(const Record& a, const Record& b)
    {
        return a.type == b.type && a.name.equals(b.name) && a.same_data(b);
    }

    uint8_t apply(const Message& m)
    {
        for (const auto& p : m.answers) {
            if (p.klass == kClassNone && p.type == kTypeANY) {
                for (const auto& r : records)
                    if (r.name.equals(p.name))
                        return kRcodeYxDomain;
            } else if (p.klass == kClassIN) {
                int n = 0, matching = 0;
                for (const auto& r : records)
                    if (r.name.equals(p.name) && r.type == p.type)
                        ++n, matching += same(r, p);
                if (n != 1 || matching != 1)
                    return kRcodeNxRrset;
            }
        }
        for (const auto& u : m.authorities) {
            std::erase_if(records, [&](const Record& r) {
                if (u.klass == kClassAny)
                    return r.name.equals(u.name) && (u.type == kTypeANY || r.type == u.type);
                if (u.klass == kClassNone)
                    return same(r, u);
                return same(r, u);  // an addition replaces its duplicate
            });
            if (u.klass == kClassIN)
                records.push_back(u);
        }
        ++updates;
        return kRcodeNoError;
    }

    DnsClient::Reply handle(const Message& request)
    {
        DnsClient::Reply reply;
        if (down) {
            reply.status = DnsClient::Status::timeout;
            reply.error = "no reply";
            return reply;
        }
        reply.status = DnsClient::Status::ok;
        reply.message.questions = request.questions;
        uint8_t rcode = 0;
        if (request.opcode() == kOpcodeUpdate) {
            rcode = apply(request);
        } else {
            const auto& q = request.questions.at(0);
            for (const auto& r : records)
                if (r.name.equals(q.name) && r.type == q.type)
                    reply.message.answers.push_back(r);
        }
        reply.message.flags = uint16_t(kFlagResponse | request.opcode() << 11 | rcode);
        return reply;
    }

    UnicastExchange updater()
    {
        return [this](const Message& m, bool) { return handle(m); };
    }
    UnicastQuery querier()
    {
        return [this](const ServerAddress&, const Message& m) { return handle(m); };
    }
};

UnicastOffer offer(const std::string& name, uint16_t port, const std::string& id)
{
    return UnicastOffer{name, port, id, {"txtvers=1", "id=" + id, "groups=public"}};
}

struct UnicastWorld : testing::Test {
    FakeZone zone;
    Name domain = Name::of({"studio", "example"});
    TimePoint now = TimePoint{} + 1000h;
    uint64_t unix_now = 1700000000;
    UnicastBrowser browser{1000ms};

    UnicastWorld() { browser.set_targets({BrowseTarget{ServerAddress{}, domain}}, now); }

    std::unique_ptr<UnicastPublisher> publisher(const std::string& process, uint32_t address)
    {
        auto p = std::make_unique<UnicastPublisher>(domain, "cam", "cam-" + process, 30s);
        p->set_address(address);
        return p;
    }
    void advance(Duration d)
    {
        now += d;
        unix_now += uint64_t(std::chrono::duration_cast<seconds>(d).count());
    }
    std::vector<UnicastService> browse()
    {
        browser.run(now, unix_now, zone.querier());
        return browser.services();
    }
};

TEST_F(UnicastWorld, ConflictsRenameAndBrowsersSeeBoth)
{
    auto first = publisher("aaaa", inet_addr("10.0.1.5"));
    auto second = publisher("bbbb", inet_addr("10.0.1.6"));
    first->add(1, offer("My Video", 5960, "a-1"), now);
    first->run(now, unix_now, zone.updater());
    second->add(1, offer("My Video", 5961, "b-1"), now);
    second->run(now, unix_now, zone.updater());
    EXPECT_EQ(first->label(1), "cam (My Video)");
    EXPECT_EQ(second->label(1), "cam (My Video (2))");
    EXPECT_EQ(second->stats().conflicts, 1u);

    auto seen = browse();
    ASSERT_EQ(seen.size(), 2u);
    std::sort(seen.begin(), seen.end(), [](auto& a, auto& b) { return a.port < b.port; });
    EXPECT_EQ(seen[0].instance, "cam (My Video)");
    EXPECT_EQ(seen[0].address, inet_addr("10.0.1.5"));
    EXPECT_EQ(seen[1].instance, "cam (My Video (2))");
    EXPECT_EQ(seen[1].address, inet_addr("10.0.1.6"));
    EXPECT_EQ(txt_value(seen[1].txt, "id"), "b-1");

    // A server that keeps names in lower case only: the label keeps its
    // case through the TXT record.
    for (auto& r : zone.records)
        for (auto& l : r.target.labels)
            l = qrv::ascii_lower(l);
    first->add(2, offer("Second", 5970, "a-2"), now);
    first->run(now, unix_now, zone.updater());
    for (auto& r : zone.records)
        for (auto& l : r.target.labels)
            l = qrv::ascii_lower(l);
    advance(1s);
    seen = browse();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](auto& s) { return s.instance == "cam (Second)"; }));
    first->remove(2, now);

    // Withdrawn: the records go, the other publisher's host stays.
    first->remove(1, now);
    first->run(now, unix_now, zone.updater());
    EXPECT_FALSE(first->label(1));
    advance(1s);
    seen = browse();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].instance, "cam (My Video (2))");
    for (const auto& r : zone.records)
        EXPECT_EQ(r.name.text().find("cam-aaaa"), std::string::npos) << r.name.text();
}

TEST_F(UnicastWorld, ADeadPublisherFadesWithinItsLeaseAndItsNameIsTakenOver)
{
    auto live = publisher("aaaa", inet_addr("10.0.1.5"));
    auto dead = publisher("bbbb", inet_addr("10.0.1.6"));
    live->add(1, offer("Live", 5960, "a-1"), now);
    dead->add(1, offer("My Video", 5961, "b-1"), now);
    live->run(now, unix_now, zone.updater());
    dead->run(now, unix_now, zone.updater());
    ASSERT_EQ(browse().size(), 2u);
    // `dead` runs no more; `live` keeps refreshing. `dead` is hidden one
    // second before its lease ends (whole seconds). Queries stay few: the
    // PTR set once a second, each instance (3 queries) when new and then
    // once per third of its lease only.
    for (int s = 1; s <= 28; ++s) {
        advance(1s);
        live->run(now, unix_now, zone.updater());
        ASSERT_EQ(browse().size(), 2u) << "at " << s << " s";
    }
    const auto queries = browser.stats().queries;
    EXPECT_LE(queries, 30u + 2 * 3 * 3);
    advance(1s);
    live->run(now, unix_now, zone.updater());
    auto seen = browse();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].instance, "cam (Live)");

    // After one more lease the browser hands the instance over for deletion
    // by a holder of the key; it goes unless it was refreshed meanwhile.
    for (int s = 0; s < 33; ++s) {
        advance(1s);
        live->run(now, unix_now, zone.updater());
        browse();
    }
    auto expired = browser.take_expired();
    ASSERT_EQ(expired.size(), 1u);
    EXPECT_EQ(expired[0].instance.labels[0], "cam (My Video)");
    EXPECT_TRUE(browser.take_expired().empty());
    // Not deleted when it changed since it was seen.
    auto refreshed = expired[0].txt;
    refreshed.push_back("changed");
    const size_t before = zone.records.size();
    live->remove_expired(expired[0].instance, refreshed, expired[0].host, zone.updater());
    EXPECT_EQ(zone.records.size(), before);

    // A new process publishing the same name takes over the stale one.
    auto next = publisher("cccc", inet_addr("10.0.1.7"));
    next->add(1, offer("My Video", 5962, "c-1"), now);
    next->run(now, unix_now, zone.updater());
    EXPECT_EQ(next->label(1), "cam (My Video)");
    EXPECT_EQ(next->stats().conflicts, 0u);
    for (const auto& r : zone.records)
        EXPECT_EQ(r.name.text().find("cam-bbbb"), std::string::npos) << "the stale host's address is removed";
    advance(2s);
    EXPECT_EQ(browse().size(), 2u);

    // Deleted as seen: PTR, SRV, TXT and the host's address.
    auto dies = publisher("dddd", inet_addr("10.0.1.8"));
    dies->add(1, offer("Other", 5963, "d-1"), now);
    dies->run(now, unix_now, zone.updater());
    for (int s = 0; s < 62; ++s) {
        advance(1s);
        live->run(now, unix_now, zone.updater());
        next->run(now, unix_now, zone.updater());
        browse();
    }
    expired = browser.take_expired();
    ASSERT_EQ(expired.size(), 1u);
    const size_t all = zone.records.size();
    live->remove_expired(expired[0].instance, expired[0].txt, expired[0].host, zone.updater());
    EXPECT_EQ(zone.records.size(), all - 4);
}

TEST_F(UnicastWorld, ServerDownThenUpAndRecordsRemovedBehindOurBack)
{
    auto p = publisher("aaaa", inet_addr("10.0.1.5"));
    zone.down = true;
    p->add(1, offer("My Video", 5960, "a-1"), now);
    TimePoint next = p->run(now, unix_now, zone.updater());
    EXPECT_EQ(p->stats().failures, 1u);
    EXPECT_EQ(next, now + 1s);
    advance(1s);
    next = p->run(now, unix_now, zone.updater());
    EXPECT_EQ(next, now + 2s) << "backs off";
    EXPECT_TRUE(browse().empty());
    zone.down = false;
    advance(2s);
    p->run(now, unix_now, zone.updater());
    EXPECT_TRUE(p->registered(1));
    advance(1s);
    ASSERT_EQ(browse().size(), 1u);

    // Someone removed everything (as stale): the next refresh publishes anew.
    zone.records.clear();
    advance(10s);
    p->run(now, unix_now, zone.updater());
    p->run(now, unix_now, zone.updater());
    advance(1s);
    ASSERT_EQ(browse().size(), 1u);
    EXPECT_EQ(p->label(1), "cam (My Video)");
}

TEST_F(UnicastWorld, GarbageAnswersAreIgnored)
{
    // PTR records that point outside the service, or with extra labels.
    zone.records.push_back(make_ptr(Name::of({"_qrv", "_tcp", "studio", "example"}),
                                    Name::of({"x", "y", "_qrv", "_tcp", "studio", "example"}), 10));
    zone.records.push_back(make_ptr(Name::of({"_qrv", "_tcp", "studio", "example"}),
                                    Name::of({"x", "_other", "_tcp", "studio", "example"}), 10));
    // An instance without SRV data is not shown.
    zone.records.push_back(make_ptr(Name::of({"_qrv", "_tcp", "studio", "example"}),
                                    Name::of({"half", "_qrv", "_tcp", "studio", "example"}), 10));
    EXPECT_TRUE(browse().empty());
    EXPECT_EQ(browser.stats().records_ignored, 2u);
}

}  // namespace
