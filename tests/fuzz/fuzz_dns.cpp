// Fuzzes the DNS message parser and what consumes its result: a packet
// either fails to parse, or parses into a message that builds and parses
// again to the same shape; either way the responder and the browser take
// it without harm.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "discovery/browser.h"
#include "discovery/responder.h"

using namespace qrv::discovery;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto parsed = parse_message({data, size});
    if (!parsed.message)
        return 0;
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
