// The credentials of a same-host peer and the rule of who may connect.
#include "base/peer_credentials.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "base/error.h"
#include "base/log.h"

namespace qrv::net {

namespace {

// Buffers for the user and group database: their own hint, grown on ERANGE
// up to a bound.
constexpr size_t kMaxEntryBytes = 1 << 20;
constexpr int kMaxGroups = 65536;

size_t first_size(int name)
{
    const long hint = ::sysconf(name);
    return hint > 0 ? static_cast<size_t>(hint) : 16384;
}

// Whether the user, by its primary or a supplementary group, is in group.
bool user_in_group(uid_t uid, gid_t group)
{
    std::vector<char> buffer(first_size(_SC_GETPW_R_SIZE_MAX));
    passwd entry{};
    passwd* found = nullptr;
    int rc;
    while ((rc = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < kMaxEntryBytes)
        buffer.resize(buffer.size() * 2);
    if (rc != 0 || !found)
        return false;  // a user without a name has no supplementary groups
    if (entry.pw_gid == group)
        return true;
    int count = 32;
    std::vector<gid_t> groups;
    for (;;) {
        groups.resize(static_cast<size_t>(count));
        int asked = count;
        if (::getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &asked) >= 0) {
            groups.resize(static_cast<size_t>(asked));
            break;
        }
        if (asked <= count || asked > kMaxGroups)
            return false;
        count = asked;
    }
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

}  // namespace

std::optional<gid_t> local_group_from(const std::optional<std::string>& name)
{
    if (!name || name->empty())
        return std::nullopt;
    std::vector<char> buffer(first_size(_SC_GETGR_R_SIZE_MAX));
    group entry{};
    group* found = nullptr;
    int rc;
    while ((rc = ::getgrnam_r(name->c_str(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < kMaxEntryBytes)
        buffer.resize(buffer.size() * 2);
    if (rc != 0 || !found) {
        QRV_LOG_AT(warn, library, "QRV_LOCAL_GROUP names '%s', which is not a group here%s%s: only the same user "
                   "and root may use this host's sources", name->c_str(), rc ? ": " : "",
                   rc ? error_text(rc).c_str() : "");
        return std::nullopt;
    }
    return entry.gr_gid;
}

LocalPeer check_local_peer(int fd, std::optional<gid_t> group)
{
    LocalPeer peer;
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred)
        return peer;
    peer.known = true;
    peer.credentials = {cred.pid, cred.uid, cred.gid};
    peer.allowed = cred.uid == ::geteuid() || cred.uid == 0 ||
                   (group && (cred.gid == *group || user_in_group(cred.uid, *group)));
    return peer;
}

}  // namespace qrv::net
