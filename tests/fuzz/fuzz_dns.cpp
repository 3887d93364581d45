// Fuzzes the DNS message parser and what consumes its result: a packet
// either fails to parse, or parses into a message that builds and parses
// again to the same shape; either way the responder and the browser take
// it without harm, and so do the unicast side: the reply signature check,
// and the browser and publisher fed the packet as the server's every reply.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "discovery/mdns/browser.h"
#include "discovery/mdns/responder.h"
#include "discovery/unicast/tsig.h"
#include "discovery/unicast/unicast_browser.h"
#include "discovery/unicast/unicast_publisher.h"

using namespace qrv::discovery;

namespace {

// The packet as the reply to every unicast request.
void fuzz_unicast(const uint8_t* data, size_t size, const Message& m)
{
    static const TsigKey key{Name::of({"k"}), std::vector<uint8_t>(32, 7)};
    const std::vector<uint8_t> mac(32, 1);
    (void)tsig_check_reply({data, size}, key, mac);

    DnsClient::Reply reply;
    reply.status = DnsClient::Status::ok;
    reply.message = m;
    const Name domain = Name::of({"studio", "example"});
    TimePoint now{};
    UnicastBrowser browser(milliseconds(1000));
    browser.set_targets({BrowseTarget{ServerAddress{}, domain}}, now);
    UnicastPublisher publisher(domain, "host", "host-1", seconds(30));
    publisher.set_address(0x0100007f);
    publisher.add(1, UnicastOffer{"fuzz", 1, "1", {"id=1"}}, now);
    for (int round = 0; round < 3; ++round) {
        now += seconds(11);
        browser.run(now, 1700000000 + round * 11, [&](const ServerAddress&, const Message&) { return reply; });
        publisher.run(now, 1700000000 + round * 11, [&](const Message&, bool) { return reply; });
        (void)browser.services();
    }
    publisher.remove(1, now);
    publisher.run(now, 1700000040, [&](const Message&, bool) { return reply; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto parsed = parse_message({data, size});
    if (!parsed.message)
        return 0;
    fuzz_unicast(data, size, *parsed.message);
    const Message& m = *parsed.message;
    const auto rebuilt = build_message(m);
    if (!rebuilt)
        std::abort();  // whatever parses must be representable again
    if (rebuilt->size() <= kMaxPacketBytes) {
        const auto again = parse_message(*rebuilt);
        if (!again.message || again.message->questions.size() != m.questions.size() ||
            again.message->answers.size() != m.answers.size() ||
            again.message->additionals.size() != m.additionals.size())
            std::abort();
    }

    static const Name type = Name::of({"_qrv", "_tcp", "local"});
    TimePoint now{};
    Responder responder(type, "host", Name::of({"host-1", "local"}), {{1, 0x0100007f}}, 1);
    responder.add(ServiceOffer{"fuzz", 1, {"id=1"}}, now);
    Browser browser(type, {1}, 32, 2);
    browser.start(now);
    std::vector<Outgoing> out;
    for (int round = 0; round < 3; ++round) {
        now += seconds(1);
        responder.tick(now, out);
        responder.on_message(m, 1, 0x0200007f, uint16_t(round == 1 ? 40000 : 5353), now, out);
        browser.on_message(m, 1, now);
        browser.tick(now, out);
        for (const auto& o : out)
            if (!build_message(o.message))
                std::abort();
        out.clear();
    }
    return 0;
}
