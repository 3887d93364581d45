#include "transport/datagram_batch.h"

#include <netinet/in.h>
#include <netinet/udp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/log.h"

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103  // linux/udp.h, kernels from 4.18
#endif

namespace qrv::transport {

namespace {

// What the kernel takes in one segmented send: at most 64 segments
// (UDP_MAX_SEGMENTS of the oldest kernels that segment), and one UDP
// datagram's worth of bytes over IPv4.
constexpr uint32_t kMostSegments = 64;
constexpr size_t kMostSegmentedBytes = 65535 - 20 - 8;

}  // namespace

DatagramBatch::DatagramBatch(int fd, std::string name, bool segment) : fd_(fd), name_(std::move(name))
{
    if (!segment)
        return;
    // A kernel that knows the option takes a size of 0 (no segmenting by
    // default); each send asks for it with its own stride.
    const int none = 0;
    segment_ = setsockopt(fd_, SOL_UDP, UDP_SEGMENT, &none, sizeof none) == 0;
    if (!segment_)
        QRV_LOG_AT(info, sender, "sender '%s': no UDP segmentation here (%s); datagrams go in batches of sendmmsg",
                   name_.c_str(), std::strerror(errno));
}

uint32_t DatagramBatch::most_per_send(size_t stride)
{
    if (stride == 0)
        return 1;
    return static_cast<uint32_t>(std::clamp<size_t>(kMostSegmentedBytes / stride, 1, kMostSegments));
}

uint32_t DatagramBatch::send(std::span<const uint8_t> run, size_t stride)
{
    if (run.empty() || stride == 0)
        return 0;
    const uint32_t count = static_cast<uint32_t>((run.size() + stride - 1) / stride);
    if (count == 1)
        return ::send(fd_, run.data(), run.size(), 0) == static_cast<ssize_t>(run.size()) ? 1 : 0;
    uint32_t sent = 0;
    while (sent < count) {
        const uint32_t n = std::min(count - sent, most_per_send(stride));
        const auto part = run.subspan(sent * stride, std::min(run.size() - sent * stride, n * stride));
        const uint32_t done = segment_ ? send_segmented(part, stride) : send_each(part, stride);
        sent += done;
        if (done < n)
            break;
    }
    return sent;
}

uint32_t DatagramBatch::send_segmented(std::span<const uint8_t> run, size_t stride)
{
    const uint32_t count = static_cast<uint32_t>((run.size() + stride - 1) / stride);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
    iovec piece{const_cast<uint8_t*>(run.data()), run.size()};
    msghdr m{};
    m.msg_iov = &piece;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = UDP_SEGMENT;
    c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    const uint16_t size = static_cast<uint16_t>(stride);
    std::memcpy(CMSG_DATA(c), &size, sizeof size);
    if (::sendmsg(fd_, &m, 0) == static_cast<ssize_t>(run.size()))
        return count;
    // The route's device cannot take segmented sends (no checksum offload,
    // a tunnel): nothing of this run left, so it goes the other way, and
    // so does every run after it.
    if (errno == EIO || errno == EINVAL || errno == EOPNOTSUPP) {
        QRV_LOG_AT(info, sender, "sender '%s': the route refuses UDP segmentation (%s); datagrams go in batches "
                   "of sendmmsg", name_.c_str(), std::strerror(errno));
        segment_ = false;
        return send_each(run, stride);
    }
    return 0;
}

uint32_t DatagramBatch::send_each(std::span<const uint8_t> run, size_t stride)
{
    const uint32_t count = static_cast<uint32_t>((run.size() + stride - 1) / stride);
    headers_.assign(count, mmsghdr{});
    pieces_.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = i * stride;
        pieces_[i] = iovec{const_cast<uint8_t*>(run.data() + at), std::min(stride, run.size() - at)};
        headers_[i].msg_hdr.msg_iov = &pieces_[i];
        headers_[i].msg_hdr.msg_iovlen = 1;
    }
    uint32_t sent = 0;
    while (sent < count) {
        const int n = ::sendmmsg(fd_, headers_.data() + sent, count - sent, 0);
        if (n <= 0)
            break;
        sent += static_cast<uint32_t>(n);
    }
    return sent;
}

}  // namespace qrv::transport
