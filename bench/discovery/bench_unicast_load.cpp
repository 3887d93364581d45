// The load that unicast DNS discovery puts on a server: N browsing
// processes and M published sources over a stretch of virtual time, against
// a zone held in memory. Prints queries and updates per second; the
// server's own capacity is measured beside it by bench_unicast_dns.sh.
//   bench_unicast_load [finders] [sources] [lease_s] [poll_ms]
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "discovery/unicast/dns_update.h"
#include "discovery/unicast/unicast_browser.h"
#include "discovery/unicast/unicast_publisher.h"

using namespace qrv::discovery;

namespace {

// Enough of a zone for the publisher and the browser: updates as the
// publisher sends them, answers by name and type.
struct Zone {
    std::vector<Record> records;
    uint64_t queries = 0, updates = 0;

    DnsClient::Reply handle(const Message& m)
    {
        DnsClient::Reply reply;
        reply.status = DnsClient::Status::ok;
        reply.message.questions = m.questions;
        uint8_t rcode = 0;
        if (m.opcode() == kOpcodeUpdate) {
            ++updates;
            for (const auto& p : m.answers)
                if (p.klass == kClassNone)
                    for (const auto& r : records)
                        if (r.name.equals(p.name))
                            rcode = kRcodeYxDomain;
            if (!rcode)
                for (const auto& u : m.authorities) {
                    std::erase_if(records, [&](const Record& r) {
                        if (u.klass == kClassAny)
                            return r.name.equals(u.name) && (u.type == kTypeANY || r.type == u.type);
                        return r.type == u.type && r.name.equals(u.name) && r.same_data(u);
                    });
                    if (u.klass == kClassIN)
                        records.push_back(u);
                }
        } else {
            ++queries;
            for (const auto& r : records)
                if (r.name.equals(m.questions[0].name) && r.type == m.questions[0].type)
                    reply.message.answers.push_back(r);
        }
        reply.message.flags = uint16_t(kFlagResponse | m.opcode() << 11 | rcode);
        return reply;
    }
};

}  // namespace

int main(int argc, char** argv)
{
    const int finders = argc > 1 ? std::atoi(argv[1]) : 20;
    const int sources = argc > 2 ? std::atoi(argv[2]) : 100;
    const int lease = argc > 3 ? std::atoi(argv[3]) : 30;
    const int poll_ms = argc > 4 ? std::atoi(argv[4]) : 1000;
    const int seconds_run = 300;
    const Name domain = Name::of({"studio", "example"});
    Zone zone;
    TimePoint now = TimePoint{} + std::chrono::hours(1000);
    uint64_t unix_now = 1700000000;

    std::vector<std::unique_ptr<UnicastPublisher>> publishers;
    for (int i = 0; i < sources; ++i) {
        auto p = std::make_unique<UnicastPublisher>(domain, "host" + std::to_string(i), "host" + std::to_string(i) + "-1",
                                                    std::chrono::seconds(lease));
        p->set_address(inet_addr("10.0.0.1"));
        p->add(1, UnicastOffer{"Source", uint16_t(5000 + i), "id-" + std::to_string(i), {"id=id-" + std::to_string(i)}},
               now);
        publishers.push_back(std::move(p));
    }
    std::vector<std::unique_ptr<UnicastBrowser>> browsers;
    for (int i = 0; i < finders; ++i) {
        browsers.push_back(std::make_unique<UnicastBrowser>(std::chrono::milliseconds(poll_ms)));
        browsers.back()->set_targets({BrowseTarget{ServerAddress{}, domain}}, now);
    }
    const UnicastExchange update = [&](const Message& m, bool) { return zone.handle(m); };
    const UnicastQuery query = [&](const ServerAddress&, const Message& m) { return zone.handle(m); };

    // Warm up (everything published and resolved), then count.
    uint64_t queries0 = 0, updates0 = 0;
    const int step_ms = 100;
    for (int t = 0; t < (seconds_run + 60) * 1000; t += step_ms) {
        if (t == 60 * 1000) {
            queries0 = zone.queries;
            updates0 = zone.updates;
        }
        for (auto& p : publishers)
            p->run(now, unix_now, update);
        for (auto& b : browsers)
            b->run(now, unix_now, query);
        now += std::chrono::milliseconds(step_ms);
        if ((t + step_ms) % 1000 == 0)
            ++unix_now;
    }
    size_t seen = browsers.front()->services().size();
    std::printf("%d finders, %d sources, lease %d s, poll %d ms: %.1f queries/s, %.1f updates/s "
                "(each finder sees %zu sources)\n",
                finders, sources, lease, poll_ms, double(zone.queries - queries0) / seconds_run,
                double(zone.updates - updates0) / seconds_run, seen);
    return seen == size_t(sources) ? 0 : 1;
}
