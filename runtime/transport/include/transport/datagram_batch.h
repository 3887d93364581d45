// Sends runs of equal-sized datagrams that lie back to back in one buffer
// (wire::CutMessage) with few system calls: one send that the kernel cuts
// into datagrams (UDP segmentation offload, UDP_SEGMENT) where the socket
// takes it, else one sendmmsg per run. A connected UDP socket; one thread
// at a time.
#ifndef QRV_TRANSPORT_DATAGRAM_BATCH_H
#define QRV_TRANSPORT_DATAGRAM_BATCH_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <sys/socket.h>

namespace qrv::transport {

class DatagramBatch {
public:
    // fd: a connected UDP socket, owned by the caller and open while this
    // lives. name: for the log. segment: false sends with sendmmsg even
    // where the kernel would segment.
    DatagramBatch(int fd, std::string name, bool segment = true);

    // Sends `run` as datagrams of `stride` bytes each, the last one
    // shorter or equal. Returns how many left whole; fewer than all means
    // the socket refused the rest (errno says why).
    uint32_t send(std::span<const uint8_t> run, size_t stride);

    // Whether runs still go as one segmented send.
    bool segmenting() const { return segment_; }
    // Datagrams a run may hold for one segmented send of this stride.
    static uint32_t most_per_send(size_t stride);

private:
    uint32_t send_segmented(std::span<const uint8_t> run, size_t stride);
    uint32_t send_each(std::span<const uint8_t> run, size_t stride);

    int fd_;
    std::string name_;
    bool segment_ = false;
    std::vector<mmsghdr> headers_;
    std::vector<iovec> pieces_;
};

}  // namespace qrv::transport

#endif
