// Publishes service instances of one type: for each, probes its name (three
// queries 250 ms apart, after a random delay of up to 250 ms), renames it on
// a conflict ("HOST (NAME (2))", ...), settles simultaneous probes by the
// standard tie-break, announces it twice one second apart, answers queries
// for it (skipping what a query lists among its known answers with at least
// half the TTL left; legacy unicast queries get a unicast reply), and says
// goodbye with TTL 0 when it is withdrawn (twice, kGoodbyeInterval apart,
// and for the name it was announced under). Every record carries a TTL of
// kRecordTtl seconds, so that a browser forgets an instance whose publisher
// died within that time.
#ifndef QRV_DISCOVERY_RESPONDER_H
#define QRV_DISCOVERY_RESPONDER_H

#include <optional>
#include <string>
#include <vector>

#include "discovery/common/clock.h"

namespace qrv::discovery {

inline constexpr uint32_t kRecordTtl = 8;  // seconds
inline constexpr uint16_t kMdnsPort = 5353;
inline constexpr Duration kGoodbyeInterval = milliseconds(100);

struct LocalInterface {
    unsigned ifindex = 0;
    uint32_t address = 0;  // network byte order; what our A record says there
};

struct ServiceOffer {
    std::string source_name;  // the name the caller chose
    uint16_t port = 0;
    std::vector<std::string> txt;
    // Kept against claims that come after the announcement rather than
    // given up: with a site key, receivers connect only to the instance
    // that proves it, so a stranger announcing the name must not push the
    // source off it. Before the announcement a conflict still renames.
    bool holds_name = false;
};

class Responder {
public:
    // host_label: the short host name that starts each instance label;
    // target: the host name that SRV records point at.
    Responder(Name service_type, std::string host_label, Name target, std::vector<LocalInterface> interfaces,
              uint64_t seed);

    uint64_t add(ServiceOffer offer, TimePoint now);
    // Goodbyes from the next tick on, then gone.
    void remove(uint64_t id, TimePoint now);
    void remove_all(TimePoint now);

    void on_message(const Message& message, unsigned ifindex, uint32_t source_address, uint16_t source_port,
                    TimePoint now, std::vector<Outgoing>& out);
    void tick(TimePoint now, std::vector<Outgoing>& out);
    TimePoint next_deadline() const;

    // The instance label in use (it changes on a conflict).
    std::optional<std::string> label(uint64_t id) const;
    bool announced(uint64_t id) const;
    // Another instance claimed the name after we announced it, and we kept
    // it (ServiceOffer::holds_name).
    bool contested(uint64_t id) const;
    uint64_t conflicts() const { return conflicts_; }
    bool empty() const { return entries_.empty(); }

private:
    enum class State { waiting, probing, announcing, live, leaving };
    struct Entry {
        uint64_t id = 0;
        ServiceOffer offer;
        unsigned number = 1;
        Name name;
        std::optional<Name> published;  // the name last announced
        State state = State::waiting;
        int step = 0;
        TimePoint next{};
        TimePoint defended = TimePoint::min();  // last answer to a goodbye not ours
        TimePoint claimed = TimePoint::min();   // last announcement against a claim
        bool contested = false;
    };

    void relabel(Entry& e);
    bool label_taken(const std::string& label, uint64_t except) const;
    Record ptr_record(const Entry& e) const;
    Record srv_record(const Entry& e) const;
    Record txt_record(const Entry& e) const;
    Record address_record(unsigned ifindex) const;
    Record services_record() const;
    uint32_t address_on(unsigned ifindex) const;
    bool lost_tie_break(const Entry& e, const std::vector<Record>& theirs) const;
    void conflict(Entry& e, TimePoint now);
    // A claim on a name we hold: announce ours again, once a second at
    // most, so that caches keep it beside the stranger's.
    void hold(Entry& e, TimePoint now);
    // A response that claims or withdraws names of ours.
    void on_response(const Message& m, TimePoint now);
    // A query's probes for names we are probing too: the tie-break.
    void on_probes(const Message& m, TimePoint now);
    void answer(const Message& query, unsigned ifindex, uint32_t source_address, uint16_t source_port,
                std::vector<Outgoing>& out) const;
    struct Reply;  // the records of an answer, each once
    bool any_live() const;
    void answer_question(const Question& q, unsigned ifindex, bool any_live, Reply& reply) const;
    // The entries whose time came at a tick, by what they send.
    struct Due {
        std::vector<const Entry*> probing, announcing, leaving;
    };
    void advance(Entry& e, TimePoint now, Due& due);
    Outgoing probe(unsigned ifindex, const std::vector<const Entry*>& entries) const;
    Outgoing announcement(unsigned ifindex, const std::vector<const Entry*>& entries) const;
    // With the address record too when no entry remains announced.
    Outgoing goodbye(unsigned ifindex, const std::vector<const Entry*>& entries, bool last) const;

    const Name type_;
    const Name services_;  // _services._dns-sd._udp.local
    const std::string host_;
    const Name target_;
    const std::vector<LocalInterface> interfaces_;
    Random random_;
    std::vector<Entry> entries_;
    uint64_t next_id_ = 1;
    uint64_t conflicts_ = 0;
};

}  // namespace qrv::discovery

#endif
