// A memfd-backed memory region. The sender creates one per pooled video
// message with its size sealed (so that no one can shrink it under a
// reader) and its content sealed against every write but through the
// sender's own mapping (so that a receiver handed the descriptor cannot
// change what the others see); a receiver maps a descriptor it was passed
// read-only, after checking that it is such a size-sealed region.
#ifndef QRV_TRANSPORT_SHM_REGION_H
#define QRV_TRANSPORT_SHM_REGION_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/socket.h"

namespace qrv::net {

class ShmRegion {
public:
    // A new region of at least size bytes, writable through data() alone;
    // null when the system refuses (the caller falls back to ordinary
    // memory).
    static std::unique_ptr<ShmRegion> create(size_t size);
    // Maps a passed descriptor read-only; null unless it is a regular file
    // whose size is sealed against shrinking and lies within max_size.
    static std::unique_ptr<ShmRegion> map_readonly(int fd, size_t max_size);

    ~ShmRegion();
    ShmRegion(const ShmRegion&) = delete;
    ShmRegion& operator=(const ShmRegion&) = delete;

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    // The descriptor of a created region (-1 for a mapped one).
    int fd() const { return fd_.get(); }
    // Identifies the region's file on this host (device and inode).
    uint64_t device() const { return device_; }
    uint64_t inode() const { return inode_; }
    // A created region's number, unique among the regions this process
    // ever created (0 for a mapped one).
    uint64_t serial() const { return serial_; }

private:
    ShmRegion() = default;

    net::Fd fd_;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    uint64_t device_ = 0, inode_ = 0;
    uint64_t serial_ = 0;
};

// The file identity of a descriptor; false when fstat fails.
bool file_identity(int fd, uint64_t& device, uint64_t& inode);

}  // namespace qrv::net

#endif
