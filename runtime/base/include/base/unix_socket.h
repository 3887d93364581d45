// Unix-domain stream sockets of the same-host path: an abstract listening
// socket (named "@NAME" in locators; nothing on the file system, gone with
// the process, private to the network namespace), and descriptor passing.
#ifndef QRV_TRANSPORT_UNIX_SOCKET_H
#define QRV_TRANSPORT_UNIX_SOCKET_H

#include <span>
#include <string>
#include <vector>

#include "base/socket.h"

namespace qrv::net {

// A listening socket on a fresh abstract name; its locator path ("@...")
// is stored in path. Invalid on failure.
Fd listen_unix(std::string& path, int backlog = 128);
// Connects to "@NAME" (abstract) or a file-system path; invalid on failure
// or on a path that does not fit.
Fd connect_unix(const std::string& path);

// Writes every byte, the first part together with the descriptor.
bool write_all_with_fd(int fd, std::span<const uint8_t> bytes, int pass_fd);
// Reads exactly out.size() bytes, keeping the descriptors that came along
// (at most a few per call; more, or a cut-off control part, fails).
// A control part cut off by the kernel (the reader is out of descriptors)
// sets *truncated when given: the stream cannot go on, but it did not end.
bool read_exact_with_fds(int fd, std::span<uint8_t> out, std::vector<Fd>& passed, bool* truncated = nullptr);

}  // namespace qrv::net

#endif
