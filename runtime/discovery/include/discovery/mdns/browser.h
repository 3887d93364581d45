// Browses one service type: asks for its instances (at start, and again
// when a resolved instance went silent, then at intervals doubling from one
// second up to a minute), keeps what answers bring in a capped record
// cache, re-asks for each record at 80 to 95 per cent of its TTL, lists the
// cached instances that answered it as known answers so that responders
// stay silent about them, resolves instances whose SRV, TXT or address is
// missing, and offers the set of fully resolved instances. What arrives in
// answer to one of its own recent questions is marked as asked for, which
// ranks it above unasked records when the cache is full.
#ifndef QRV_DISCOVERY_BROWSER_H
#define QRV_DISCOVERY_BROWSER_H

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "discovery/mdns/record_cache.h"

namespace qrv::discovery {

// One resolved instance as seen on one interface.
struct BrowsedService {
    std::string instance;  // the instance label, e.g. "host (My Video)"
    Name target;           // SRV target host
    uint16_t port = 0;
    uint32_t address = 0;  // network byte order
    std::vector<std::string> txt;
    unsigned ifindex = 0;
    bool operator==(const BrowsedService& o) const
    {
        return instance == o.instance && target.labels == o.target.labels && port == o.port &&
               address == o.address && txt == o.txt && ifindex == o.ifindex;
    }
};

class Browser {
public:
    // Interfaces are the kernel indices on which queries go out.
    Browser(Name service_type, std::vector<unsigned> interfaces, size_t capacity, uint64_t seed);

    void start(TimePoint now);
    void on_message(const Message& message, unsigned ifindex, TimePoint now);
    void tick(TimePoint now, std::vector<Outgoing>& out);
    TimePoint next_deadline() const;

    // Resolved instances, one entry per instance and interface, ordered by
    // instance label.
    const std::vector<BrowsedService>& services() const { return services_; }
    // Every resolved combination of SRV and address record that the cache
    // holds for the instance label (ASCII case ignored), on any interface:
    // the newest first (by the later arrival of the two). services() holds
    // the first of each interface.
    std::vector<BrowsedService> candidates(std::string_view instance) const;
    // Raised whenever services() changes.
    uint64_t generation() const { return generation_; }
    const RecordCache& cache() const { return cache_; }
    uint64_t records_ignored() const { return ignored_; }

private:
    bool wanted(const Record& r, const std::vector<Name>& targets_in_message) const;
    bool is_instance_name(const Name& n) const;
    void rebuild();
    // Rebuilds now while the rate allows, or marks the services for a
    // rebuild at the next refill.
    void rebuild_soon(TimePoint now);
    void add_resolve_questions(TimePoint now, std::vector<Question>& questions);
    void emit(std::vector<Question> questions, TimePoint now, std::vector<Outgoing>& out);
    // True when the message answers a question we asked within the answer
    // window that has answers left to credit (and takes one).
    bool answers_our_question(const Message& m, TimePoint now);

    const Name type_;
    const std::vector<unsigned> interfaces_;
    Random random_;
    RecordCache cache_;
    bool started_ = false;
    TimePoint next_query_ = kNever;
    Duration query_interval_ = seconds(1);
    struct Pending {
        TimePoint next{};
        Duration interval = seconds(1);
    };
    std::map<std::string, Pending> resolving_;  // by lower-cased instance label
    std::vector<BrowsedService> services_;
    uint64_t generation_ = 0;
    bool dirty_ = false;            // the cache changed since the last rebuild
    int rebuild_tokens_ = 4;        // rebuilds allowed now (kRebuildsAtOnce at most)
    TimePoint refill_at_{};         // when the bucket last gained a token
    bool resolve_wanted_ = false;   // the cache changed since the last resolve pass
    TimePoint next_resolve_pass_{};
    std::set<std::string> srv_targets_;  // hosts that cached SRV records name
    // Our recent questions (name key and type): when they went out, and
    // how many more answers to them count as asked for. At most one entry
    // per name and type in the cache (and the service type).
    struct Asked {
        TimePoint at{};
        int credits = 0;
    };
    std::map<std::pair<std::string, uint16_t>, Asked> asked_;
    uint64_t ignored_ = 0;
};

}  // namespace qrv::discovery

#endif
