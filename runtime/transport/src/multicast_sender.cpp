#include "transport/multicast_sender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "base/error.h"
#include "base/log.h"
#include "base/thread_name.h"

namespace qrv::transport {

namespace {

// Datagrams sent back to back, in one batch, before the pacing waits, and
// the share of a frame interval at 60 fps over which one video frame is
// spread.
constexpr uint32_t kBurst = 16;
constexpr auto kVideoSpread = std::chrono::microseconds(8000);
// Messages waiting for the pacing thread; beyond, the oldest video goes.
constexpr size_t kMaxQueued = 8;
// The low bits of a pacing position: datagrams of the message sent (a
// message has fewer than 2^24, kMinPartBytes apart).
constexpr int kPacedBits = 24;
constexpr uint64_t kPacedAll = (uint64_t(1) << kPacedBits) - 1;

uint64_t new_token()
{
    std::random_device device;
    uint64_t token = 0;
    while (token == 0)
        token = (uint64_t(device()) << 32) ^ device();
    return token;
}

uint32_t stream_of(wire::MessageType type)
{
    switch (type) {
    case wire::MessageType::video:
        return wire::kStreamVideo;
    case wire::MessageType::audio:
        return wire::kStreamAudio;
    case wire::MessageType::metadata:
        return wire::kStreamMetadata;
    default:
        return 0;
    }
}

void set_option(int fd, int level, int name, const void* value, socklen_t size, const char* what)
{
    if (setsockopt(fd, level, name, value, size) != 0)
        throw Error(std::string("could not set ") + what + " of a multicast socket: " + std::strerror(errno));
}

}  // namespace

MulticastSender::MulticastSender(uint32_t group, uint32_t source, const MulticastSettings& settings, std::string name,
                                 bool sealed)
    : name_(std::move(name)), sealed_(sealed)
{
    if (sealed_) {
        key_ = wire::make_datagram_key(1);
        if (!key_)
            throw Error("could not make a key for the group's datagrams");
        sealer_ = std::make_unique<wire::DatagramSealer>(*key_);
        keyed_at_ = std::chrono::steady_clock::now();
    }
    for (auto& store : repairs_)
        store = std::make_unique<wire::RepairStore>(settings.window);
    fd_ = net::Fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd_)
        throw Error(std::string("could not make a multicast socket: ") + std::strerror(errno));
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(source);
    if (bind(fd_.get(), reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0)
        throw Error(std::string("could not bind a multicast socket to its source address: ") + std::strerror(errno));
    const in_addr out{htonl(source)};
    set_option(fd_.get(), IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out, "the interface");
    const int ttl = settings.ttl;
    set_option(fd_.get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl, "the TTL");
    const int loop = 0;
    set_option(fd_.get(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop, "the loop");
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(group);
    to.sin_port = htons(wire::kMulticastPort);
    if (connect(fd_.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
        throw Error(std::string("could not aim a multicast socket at its group: ") + std::strerror(errno));
    // Datagrams as large as the route to the group carries unfragmented:
    // fewer of them, less work per frame at both ends.
    int mtu = 0;
    socklen_t size = sizeof mtu;
    if (getsockopt(fd_.get(), IPPROTO_IP, IP_MTU, &mtu, &size) != 0) {
        QRV_LOG_AT(warn, sender, "sender '%s': the MTU of the route to the group is unknown (%s); datagrams of %u bytes",
                   name_.c_str(), std::strerror(errno), unsigned(wire::kDefaultPartBytes));
        mtu = 0;
    }
    // A sealed datagram carries the tag after its payload.
    const uint16_t part = std::max<uint16_t>(wire::kMinPartBytes, wire::part_bytes_for_mtu(mtu) -
                                                                      (sealed_ ? wire::kDatagramTagBytes : 0));
    QRV_LOG_AT(info, sender, "sender '%s': datagrams of %u bytes of media for an MTU of %d", name_.c_str(),
               unsigned(part), mtu);
    offer_ = wire::MulticastOfferFields{group, source, wire::kMulticastPort, part, new_token()};
    batch_ = std::make_unique<DatagramBatch>(fd_.get(), name_);
    thread_ = std::thread([this] {
        name_this_thread("qrv-group-send");
        run();
    });
}

MulticastSender::~MulticastSender()
{
    {
        const log::QuietLock lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void MulticastSender::send(const wire::Packet& packet)
{
    const uint32_t stream = stream_of(packet.type);
    if (stream == 0)
        return;
    const std::span<const uint8_t> whole = packet.bytes;
    wire::DatagramHeader how;
    how.part_bytes = offer_.part_bytes;
    how.token = offer_.token;
    how.stream = stream;
    log::HeldLines held;  // logged once the lock is released
    std::unique_lock lock(mutex_);
    how.sequence = sequences_[stream] + 1;
    const std::span<const uint8_t> pieces[] = {whole};
    auto cut = wire::cut_message(pieces, how);
    if (cut && sealer_) {
        switch_key_locked(std::chrono::steady_clock::now());
        cut = sealer_->seal(*cut);
    }
    if (!cut) {
        ++dropped_;
        return;
    }
    sequences_[stream] = how.sequence;
    auto message = std::make_shared<const wire::CutMessage>(std::move(*cut));
    if (queue_.size() >= kMaxQueued) {
        // Behind: the oldest frame goes (the next stands alone); audio and
        // metadata keep their order.
        const auto video = std::find_if(queue_.begin(), queue_.end(), [](const Queued& q) { return q.video; });
        queue_.erase(video != queue_.end() ? video : queue_.begin());
        ++dropped_;
    }
    queue_.push_back(Queued{message, stream == wire::kStreamVideo, stream});
    lock.unlock();
    repairs_[stream]->keep(std::move(message), std::chrono::steady_clock::now());
    wake_.notify_one();
}

std::vector<wire::DatagramKey> MulticastSender::keys() const
{
    const log::QuietLock lock(mutex_);
    std::vector<wire::DatagramKey> out;
    for (const auto* k : {&key_, &next_key_})
        if (*k)
            out.push_back(**k);
    return out;
}

std::optional<wire::DatagramKey> MulticastSender::renew()
{
    const log::QuietLock lock(mutex_);
    if (!sealed_)
        return std::nullopt;
    // Ids go up by one; a receiver tells the keys apart by them.
    const uint16_t id = static_cast<uint16_t>((next_key_ ? next_key_->id : key_->id) + 1);
    auto key = wire::make_datagram_key(id);
    if (!key) {
        QRV_LOG_AT(error, sender, "sender '%s': could not make a new key for the group; the old one stays",
                   name_.c_str());
        return std::nullopt;
    }
    next_key_ = key;
    next_sealer_ = std::make_unique<wire::DatagramSealer>(*key);
    switch_at_ = std::chrono::steady_clock::now() + kKeyOverlap;
    return key;
}

bool MulticastSender::renewal_due(std::chrono::steady_clock::time_point now) const
{
    const log::QuietLock lock(mutex_);
    return sealed_ && !next_key_ && now - keyed_at_ >= kKeyLifetime;
}

void MulticastSender::switch_key_locked(std::chrono::steady_clock::time_point now)
{
    if (!next_sealer_ || now < switch_at_)
        return;
    sealer_ = std::move(next_sealer_);
    key_ = next_key_;
    next_key_.reset();
    keyed_at_ = now;
    QRV_LOG_AT(info, sender, "sender '%s': seals the group's datagrams under key %u now", name_.c_str(),
               unsigned(key_->id));
}

void MulticastSender::run()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_)
            return;
        Queued q = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        send_paced(*q.message, q.video, q.stream);
        lock.lock();
    }
}

void MulticastSender::send_paced(const wire::CutMessage& message, bool video, uint32_t stream)
{
    // Each slice of the pacing leaves in one batch (DatagramBatch): the
    // kernel cuts it into datagrams, or one call takes them all.
    const uint32_t slice = std::min(kBurst, DatagramBatch::most_per_send(message.stride()));
    const uint32_t slices = (message.count() + slice - 1) / slice;
    const auto gap = video && slices > 1 ? kVideoSpread / slices : std::chrono::microseconds(0);
    const uint64_t at = message.sequence() << kPacedBits;
    std::atomic<uint64_t>& paced = paced_[stream];
    auto next = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < message.count(); i += slice) {
        if (i > 0 && gap.count() > 0) {
            next += gap;
            std::this_thread::sleep_until(next);
        }
        const uint32_t n = std::min(slice, message.count() - i);
        const auto run = message.datagrams(i, n);
        const uint32_t sent = batch_->send(run, message.stride());
        const uint64_t bytes = std::min(run.size(), size_t(sent) * message.stride());
        datagrams_ += sent;
        bytes_ += bytes;
        if (sent < n) {
            // A full socket buffer or a network that refuses the group: the
            // receivers ask for what they miss, or fall back to TCP.
            ++dropped_;
            QRV_LOG_AT(debug, sender, "sender '%s': %u datagrams to the group were refused: %s", name_.c_str(),
                       unsigned(n - sent), std::strerror(errno));
            paced.store(at | kPacedAll);  // the rest only as repairs
            return;
        }
        paced.store(at | (i + n));
    }
    ++messages_;
    measure(message.bytes());
}

void MulticastSender::measure(uint64_t bytes)
{
    // Bytes of each second, for the receivers' repair budgets; a stream
    // that paused starts again from its next second.
    const auto now = std::chrono::steady_clock::now();
    rate_bytes_ += bytes;
    const auto elapsed = now - rate_since_;
    if (elapsed < std::chrono::seconds(1))
        return;
    if (elapsed < std::chrono::seconds(2))
        rate_ = static_cast<uint64_t>(double(rate_bytes_) / std::chrono::duration<double>(elapsed).count());
    rate_since_ = now;
    rate_bytes_ = 0;
}

RepairOutcome MulticastSender::resend(uint32_t to, uint16_t port, uint32_t stream, uint64_t sequence,
                                     std::span<const uint32_t> indexes, RepairBudget& budget)
{
    RepairOutcome outcome;
    if (stream >= std::size(repairs_) || stream == 0 || port == 0)
        return outcome;
    const auto now = std::chrono::steady_clock::now();
    const auto kept = repairs_[stream]->find(sequence, now);
    if (!kept) {
        ++unrepaired_;
        return outcome;
    }
    // Asked before the pacing reached them (a receiver cannot tell a pause
    // of the pacing from a loss): those are on their way to the group.
    const uint32_t sent = paced_of(stream, *kept);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(to);
    at.sin_port = htons(port);
    const uint64_t rate = rate_.load();
    const uint64_t receiver = uint64_t(to) << 16 | port;
    auto send_one = [&](uint32_t index) {
        if (index >= sent)
            return;
        const auto d = kept->datagram(index);
        if (d.empty())
            return;  // not an index of the message: asked in error
        if (outcome.sent + outcome.refused >= RepairBudget::kMostPerRequest || !budget.take(d.size(), rate, now)) {
            ++outcome.refused;
            return;
        }
        // Within the receiver's own share, and then within the group's.
        if (!group_budget_.take(receiver, d.size(), rate, now)) {
            budget.give_back(d.size());
            ++outcome.refused;
            ++outcome.refused_by_group;
            return;
        }
        if (::sendto(fd_.get(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&at), sizeof at) ==
            static_cast<ssize_t>(d.size()))
            ++outcome.sent;
    };
    if (indexes.empty())
        for (uint32_t i = 0; i < std::min(sent, kept->count()); ++i)
            send_one(i);
    for (const uint32_t i : indexes)
        send_one(i);
    repairs_sent_ += outcome.sent;
    refused_ += outcome.refused;
    return outcome;
}

uint32_t MulticastSender::paced_of(uint32_t stream, const wire::CutMessage& message) const
{
    const uint64_t at = paced_[stream].load();
    const uint64_t sequence = at >> kPacedBits;
    if (message.sequence() < sequence)
        return message.count();  // passed, or dropped from the queue
    if (message.sequence() > sequence)
        return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(at & kPacedAll, message.count()));
}

MulticastSenderStats MulticastSender::stats() const
{
    return MulticastSenderStats{messages_.load(),     datagrams_.load(),   bytes_.load(),   dropped_.load(),
                                repairs_sent_.load(), unrepaired_.load(), refused_.load()};
}

}  // namespace qrv::transport
