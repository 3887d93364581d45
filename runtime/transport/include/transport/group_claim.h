// Which multicast groups the senders of this host hold. A group is claimed
// by binding an abstract Unix socket named after its address: abstract
// names belong to the network namespace, so every process of the host sees
// them; they need no file and vanish when the socket closes, so a claim
// ends with the sender that held it, or with its process however that
// ends. Two sources of this host whose names hash to the same address thus
// send to different groups: a source-specific join cannot keep their
// streams apart, as both leave from the same address, and each receiver
// would take (and drop) the other's datagrams too.
#ifndef QRV_TRANSPORT_GROUP_CLAIM_H
#define QRV_TRANSPORT_GROUP_CLAIM_H

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "base/socket.h"
#include "transport/multicast_settings.h"

namespace qrv::transport {

// A group held for this host while this lives (moved, never copied); an
// empty one holds nothing.
class GroupClaim {
public:
    GroupClaim() = default;
    explicit GroupClaim(net::Fd fd) : fd_(std::move(fd)) {}
    bool held() const { return static_cast<bool>(fd_); }

private:
    net::Fd fd_;
};

struct ClaimedGroup {
    uint32_t group = 0;  // host order
    GroupClaim claim;    // empty when the host could not be asked (logged)
};

// The group choose_group gives identity, claimed for this host: a group
// another sender of the host holds, or avoid (the address of another
// stream of the same source; 0 for none), is skipped, said in the log at
// debug, and the next one tried. When claims cannot be made at all (no
// descriptor, a refusal other than "in use"), the first group free of
// avoid is taken unclaimed and a warning says collisions with other
// senders are not avoided. Nothing when the whole range is held. Any
// thread.
std::optional<ClaimedGroup> claim_group(std::string_view identity, const MulticastSettings& settings,
                                        uint32_t avoid = 0);

}  // namespace qrv::transport

#endif
