#include "transport/multicast_receiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/error.h"
#include "base/log.h"
#include "base/thread_name.h"

namespace qrv::transport {

namespace {

// Room in the socket for a few frames while the thread is busy; more when
// the process may (root).
constexpr int kReceiveBuffer = 16 << 20;

// Datagrams taken off a socket in one call, in a buffer of at most this
// many bytes; and at most so many in one pass of the thread.
constexpr size_t kMostPerBatch = 64;
constexpr size_t kBatchBufferBytes = 1 << 20;
// Room for one coalesced run: a UDP datagram's worth of bytes.
constexpr size_t kCoalescedBytes = 65536;
constexpr uint32_t kMostPerDrain = 4096;

// How long the newest message may bring nothing before what it lacks is
// asked for: more than the longest pause of a source's pacing (a frame is
// spread over 8 ms in at least two bursts).
constexpr auto kSettle = std::chrono::milliseconds(6);

#ifndef UDP_GRO
#define UDP_GRO 104  // linux/udp.h, kernels from 5.0
#endif

// The size of each datagram of a coalesced run, as the kernel says it; 0
// for a single datagram.
size_t segment_size(msghdr& h)
{
    for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c))
        if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
            int size = 0;
            std::memcpy(&size, CMSG_DATA(c), sizeof size);
            return size > 0 ? size_t(size) : 0;
        }
    return 0;
}

wire::ReassemblyLimits limits_for(std::chrono::milliseconds window)
{
    wire::ReassemblyLimits l;
    l.window = window;
    return l;
}

}  // namespace

std::optional<Message> media_message(std::span<const uint8_t> bytes, BufferPool& pool)
{
    wire::Parsed p;
    if (wire::parse_message(bytes, p) != wire::ParseResult::ok || p.consumed != bytes.size())
        return std::nullopt;
    const auto type = p.header.type;
    if (type != wire::MessageType::video && type != wire::MessageType::audio && type != wire::MessageType::metadata)
        return std::nullopt;
    Message m;
    m.header = p.header;
    const size_t fixed_end = wire::kHeaderBytes + p.header.fixed_len;
    const size_t text_end = fixed_end + p.header.text_len;
    m.fixed.assign(bytes.begin() + wire::kHeaderBytes, bytes.begin() + fixed_end);
    m.text.assign(bytes.begin() + fixed_end, bytes.begin() + text_end);
    if (p.header.data_len > 0) {
        m.data = pool.acquire();
        m.data->assign(bytes.subspan(text_end));
        if (m.data->size() != p.header.data_len)
            return std::nullopt;  // no memory for it
    }
    return m;
}

MulticastReceiver::MulticastReceiver(const wire::MulticastOfferFields& offer, uint32_t interface,
                                     std::chrono::milliseconds window, Deliver deliver, Ask ask, std::string name,
                                     bool sealed, bool coalesce)
    : name_(std::move(name)), deliver_(std::move(deliver)), ask_(std::move(ask)), window_(window),
      video_(offer.token, wire::kStreamVideo, limits_for(window)),
      audio_(offer.token, wire::kStreamAudio, limits_for(window)),
      metadata_(offer.token, wire::kStreamMetadata, limits_for(window)), sealed_(sealed)
{
    const auto fail = [](const char* what) {
        throw Error(std::string("could not ") + what + " for multicast: " + std::strerror(errno));
    };
    fd_ = net::Fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    stop_ = net::Fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!fd_ || !stop_)
        fail("make a socket");
    // Other receivers of this host may take the same group and port.
    const int one = 1;
    setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0)
        setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    // Bound to the group, so that no other group's datagrams to the port
    // come in.
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(offer.group);
    at.sin_port = htons(offer.port);
    if (bind(fd_.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0)
        fail("bind to the group");
    ip_mreq_source join{};
    join.imr_multiaddr.s_addr = htonl(offer.group);
    join.imr_interface.s_addr = htonl(interface);
    join.imr_sourceaddr.s_addr = htonl(offer.source);
    if (setsockopt(fd_.get(), IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, &join, sizeof join) != 0)
        fail("join the group");
    // A source sends its datagrams in runs the kernel cuts (UDP_SEGMENT);
    // a socket that takes them whole spares the kernel cutting them and
    // itself most of its calls. Older kernels refuse: one at a time.
    if (coalesce) {
        coalesce_ = setsockopt(fd_.get(), SOL_UDP, UDP_GRO, &one, sizeof one) == 0;
        if (!coalesce_)
            QRV_LOG_AT(debug, receiver, "receiver '%s': datagrams of the group one at a time (UDP_GRO: %s)",
                       name_.c_str(), std::strerror(errno));
    }
    // Repairs come to a port of their own on the interface.
    repair_ = net::Fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_in mine{};
    mine.sin_family = AF_INET;
    mine.sin_addr.s_addr = htonl(interface);
    socklen_t size = sizeof mine;
    if (!repair_ || bind(repair_.get(), reinterpret_cast<const sockaddr*>(&mine), sizeof mine) != 0 ||
        getsockname(repair_.get(), reinterpret_cast<sockaddr*>(&mine), &size) != 0)
        fail("bind the socket for repairs");
    repair_port_ = ntohs(mine.sin_port);
    make_batch(offer.part_bytes);
    thread_ = std::thread([this] {
        name_this_thread("qrv-group-recv");
        run();
    });
}

MulticastReceiver::~MulticastReceiver()
{
    const uint64_t one = 1;
    if (write(stop_.get(), &one, sizeof one) != sizeof one)
        QRV_LOG_AT(error, receiver, "receiver '%s': could not stop the multicast thread", name_.c_str());
    thread_.join();
}

void MulticastReceiver::make_batch(uint16_t part_bytes)
{
    // Room for a datagram of the offer's part size, sealed or not, and a
    // byte more, so that a longer one shows as too long; as many as fit
    // a bounded buffer.
    datagram_bytes_ = wire::kDatagramHeaderBytes + std::max(part_bytes, wire::kMinPartBytes) +
                      (sealed_ ? wire::kDatagramTagBytes : 0) + 1;
    slot_bytes_ = coalesce_ ? std::max(datagram_bytes_, kCoalescedBytes) : datagram_bytes_;
    const size_t slots = std::clamp<size_t>(kBatchBufferBytes / slot_bytes_, 1, kMostPerBatch);
    buffers_.assign(slots * slot_bytes_, 0);
    pieces_.resize(slots);
    batch_.assign(slots, mmsghdr{});
    controls_.assign(coalesce_ ? slots : 0, Control{});
    for (size_t i = 0; i < slots; ++i) {
        pieces_[i] = iovec{buffers_.data() + i * slot_bytes_, slot_bytes_};
        batch_[i].msg_hdr.msg_iov = &pieces_[i];
        batch_[i].msg_hdr.msg_iovlen = 1;
    }
}

void MulticastReceiver::run()
{
    for (;;) {
        pollfd fds[3] = {{fd_.get(), POLLIN, 0}, {repair_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
        // Wakes now and then to ask for what is missing and give up
        // messages past their window.
        const int n = poll(fds, 3, 5);
        if (n < 0 && errno != EINTR)
            return;
        if (fds[2].revents)
            return;
        drain(std::chrono::steady_clock::now());
    }
}

void MulticastReceiver::drain(std::chrono::steady_clock::time_point now)
{
    std::vector<Message> out;
    std::vector<std::vector<uint8_t>> asks;
    {
        std::lock_guard lock(mutex_);
        take_from(fd_.get(), now);
        take_from(repair_.get(), now);
        for (wire::Reassembler* r : {&video_, &audio_, &metadata_})
            while (auto whole = r->next(now)) {
                if (auto m = media_message(*whole, data_buffers_))
                    out.push_back(std::move(*m));
                else
                    ++bad_messages_;
            }
        // The video's frames, whole or given up, for the quality of the group.
        const auto& v = video_.counters();
        frames_.add(now, v.messages - seen_whole_, v.lost - seen_lost_);
        seen_whole_ = v.messages;
        seen_lost_ = v.lost;
        ask_missing(now, asks);
        report(now);
    }
    for (auto& a : asks)
        ask_(std::move(a));
    for (auto& m : out)
        deliver_(std::move(m));
}

void MulticastReceiver::ask_missing(std::chrono::steady_clock::time_point now, std::vector<std::vector<uint8_t>>& out)
{
    // A request and its answer take a round trip; asked again after a
    // third of the window, at most three times.
    const auto again = std::max(window_ / 3, std::chrono::milliseconds(5));
    const uint32_t streams[] = {wire::kStreamVideo, wire::kStreamAudio, wire::kStreamMetadata};
    const wire::Reassembler* rs[] = {&video_, &audio_, &metadata_};
    for (int k = 0; k < 3; ++k)
        for (const auto& m : rs[k]->missing(now, kSettle)) {
            Asked& a = asked_[{streams[k], m.sequence}];
            if (a.times >= 3 || (a.times > 0 && now - a.at < again))
                continue;
            a.at = now;
            ++a.times;
            ++asks_;
            out.push_back(wire::encode_nack({streams[k], repair_port_, 0, m.sequence}, m.indexes));
        }
    // Requests older than the window are of messages given up or whole.
    std::erase_if(asked_, [&](const auto& e) { return now - e.second.at > 2 * window_; });
}

void MulticastReceiver::report(std::chrono::steady_clock::time_point now)
{
    // Every ten seconds at most, and only when something changed.
    if (now - reported_at_ < std::chrono::seconds(10))
        return;
    if (unauthenticated_ != reported_unauthenticated_)
        QRV_LOG_AT(warn, receiver,
                   "receiver '%s': dropped %llu datagrams on the group that did not prove the stream's key",
                   name_.c_str(), (unsigned long long)(unauthenticated_ - reported_unauthenticated_));
    reported_unauthenticated_ = unauthenticated_;
    uint64_t lost = 0, forged = 0, bad = 0;
    for (const wire::Reassembler* r : {&video_, &audio_, &metadata_}) {
        const auto& c = r->counters();
        lost += c.lost;
        forged += c.forged;
        bad += c.malformed + c.bad_lengths;
    }
    if (asks_ != reported_asks_ || lost != reported_lost_)
        QRV_LOG_AT(info, receiver, "receiver '%s': %llu requests for repairs and %llu messages lost on the group",
                   name_.c_str(), (unsigned long long)asks_, (unsigned long long)lost);
    // Datagrams that are not the source's: someone else sends to the group
    // and port, or forges the source's address.
    if (forged != reported_forged_ || bad != reported_bad_)
        QRV_LOG_AT(warn, receiver,
                   "receiver '%s': dropped %llu datagrams on the group without the stream's token and %llu "
                   "malformed or with lengths that do not add up",
                   name_.c_str(), (unsigned long long)forged, (unsigned long long)bad);
    reported_at_ = now;
    reported_asks_ = asks_;
    reported_lost_ = lost;
    reported_forged_ = forged;
    reported_bad_ = bad;
}

void MulticastReceiver::take_from(int fd, std::chrono::steady_clock::time_point now)
{
    // A bounded number of datagrams, so that delivering and asking are not
    // starved; each batch in one call.
    const uint32_t slots = static_cast<uint32_t>(batch_.size());
    for (uint32_t taken = 0; taken < kMostPerDrain;) {
        // The kernel shortens each control part to what it wrote.
        for (size_t i = 0; i < controls_.size(); ++i) {
            batch_[i].msg_hdr.msg_control = controls_[i].bytes;
            batch_[i].msg_hdr.msg_controllen = sizeof controls_[i].bytes;
        }
        const int got = recvmmsg(fd, batch_.data(), slots, MSG_DONTWAIT | MSG_TRUNC, nullptr);
        if (got <= 0)
            break;
        for (int i = 0; i < got; ++i)
            taken += take_received(size_t(i), now);
        if (uint32_t(got) < slots)
            break;  // the socket is empty
    }
}

uint32_t MulticastReceiver::take_received(size_t i, std::chrono::steady_clock::time_point now)
{
    const uint8_t* at = buffers_.data() + i * slot_bytes_;
    msghdr& h = batch_[i].msg_hdr;
    const size_t length = batch_[i].msg_len;  // whole, even past the slot
    const size_t segment = coalesce_ ? segment_size(h) : 0;
    // A datagram longer than may be shows as one byte too long (the most
    // that is checked), not cut to fit.
    if (segment == 0 || segment >= length) {
        if (const auto d = unseal(std::span<const uint8_t>(at, std::min(length, datagram_bytes_))))
            take_one(*d, now);
        return 1;
    }
    // A run, each datagram of segment bytes but the last, each checked on
    // its own. One cut off by a slot too short (never, for a datagram's
    // worth) is left for the repairs.
    ++runs_;
    const size_t held = std::min(length, slot_bytes_);
    uint32_t count = 0;
    for (size_t off = 0; off < held; off += segment) {
        const size_t size = std::min(segment, length - off);
        if (off + size > held)
            break;
        ++count;
        if (const auto d = unseal(std::span<const uint8_t>(at + off, std::min(size, datagram_bytes_))))
            take_one(*d, now);
    }
    return count;
}

std::optional<std::span<const uint8_t>> MulticastReceiver::unseal(std::span<const uint8_t> d)
{
    if (!sealed_)
        return d;
    // Datagrams of a group joined while others were on it come before its
    // key does (over the connection): dropped, but no sign of foul play.
    if (!opener_.has_key())
        return std::nullopt;
    // A source with a site key seals everything: a plain datagram is as
    // suspect as one that fails authentication.
    if (!opener_.open(d, opened_)) {
        ++unauthenticated_;
        return std::nullopt;
    }
    return std::span<const uint8_t>(opened_);
}

void MulticastReceiver::take_one(std::span<const uint8_t> d, std::chrono::steady_clock::time_point now)
{
    // The stream decides the reassembler; any other is counted by the
    // video's.
    uint32_t stream = 0;
    if (d.size() >= 20)
        stream = d[16] | d[17] << 8 | d[18] << 16 | uint32_t(d[19]) << 24;
    wire::Reassembler& r = stream == wire::kStreamAudio      ? audio_
                           : stream == wire::kStreamMetadata ? metadata_
                                                             : video_;
    // Any datagram of the source's stream shows the group works, even
    // one dropped as late, a duplicate or beyond what may be held (a
    // large frame on a busy host); only ones not of the stream do not.
    const auto before = r.counters();
    const bool taken = r.take(d, now);
    const auto& after = r.counters();
    if (taken || (after.malformed == before.malformed && after.bad_lengths == before.bad_lengths &&
                  after.forged == before.forged))
        last_ = now.time_since_epoch().count();
}

std::optional<std::chrono::steady_clock::time_point> MulticastReceiver::last_datagram() const
{
    const auto last = last_.load();
    if (last == 0)
        return std::nullopt;
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(last));
}

FrameLossWindow::Tally MulticastReceiver::frame_loss(std::chrono::steady_clock::time_point now)
{
    std::lock_guard lock(mutex_);
    return frames_.tally(now);
}

bool MulticastReceiver::too_lossy(std::chrono::steady_clock::time_point now)
{
    std::lock_guard lock(mutex_);
    return frames_.too_lossy(now);
}

void MulticastReceiver::add_key(const wire::DatagramKey& key)
{
    std::lock_guard lock(mutex_);
    opener_.add_key(key);
}

MulticastReceiverStats MulticastReceiver::stats() const
{
    std::lock_guard lock(mutex_);
    MulticastReceiverStats s;
    s.bad_messages = bad_messages_;
    s.asked = asks_;
    s.unauthenticated = unauthenticated_;
    s.runs = runs_;
    for (const wire::Reassembler* r : {&video_, &audio_, &metadata_}) {
        const auto& c = r->counters();
        s.datagrams.datagrams += c.datagrams;
        s.datagrams.duplicates += c.duplicates;
        s.datagrams.malformed += c.malformed;
        s.datagrams.bad_lengths += c.bad_lengths;
        s.datagrams.forged += c.forged;
        s.datagrams.other_stream += c.other_stream;
        s.datagrams.stale += c.stale;
        s.datagrams.overflow += c.overflow;
        s.datagrams.messages += c.messages;
        s.datagrams.lost += c.lost;
    }
    return s;
}

}  // namespace qrv::transport
