// Who is at the other end of a same-host (Unix) socket, and whether that
// user may use this process's sources: the same user, root, or a member of
// one group named by the settings (QRV_LOCAL_GROUP). The kernel records the
// peer's credentials when it connects, so a peer cannot claim another's.
#ifndef QRV_BASE_PEER_CREDENTIALS_H
#define QRV_BASE_PEER_CREDENTIALS_H

#include <sys/types.h>

#include <optional>
#include <string>

namespace qrv::net {

struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

// The group id of the group named by the settings' text, looked up once by
// the caller; nothing when unset, empty or unknown (the last logged at warn).
std::optional<gid_t> local_group_from(const std::optional<std::string>& name);

// What the check found of one peer.
struct LocalPeer {
    bool known = false;  // the kernel gave the credentials
    PeerCredentials credentials;
    bool allowed = false;
};

// Reads the credentials of the connected Unix socket fd and says whether the
// peer may connect: its user is this process's effective user or root, or
// it is in group (its connecting group, its user's primary group or one of
// its supplementary groups). A peer whose credentials cannot be read is not
// allowed. Any thread; asks the user database only for a peer that is not
// the same user, root or connecting as the group.
LocalPeer check_local_peer(int fd, std::optional<gid_t> group);

}  // namespace qrv::net

#endif
