#include "client_link.h"

#include <algorithm>

namespace qrv::transport {

ClientLink::ClientLink(Resolver resolve, std::string receiver_name, LinkEvents& events, LinkOptions options)
    : resolve_(std::move(resolve)), receiver_name_(std::move(receiver_name)), events_(events), options_(options)
{
    thread_ = std::thread([this] { run(); });
}

ClientLink::~ClientLink()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        net::shutdown_both(fd_);
    }
    wake_.notify_all();
    thread_.join();
}

bool ClientLink::pause(std::chrono::milliseconds how_long)
{
    std::unique_lock lock(mutex_);
    return !wake_.wait_for(lock, how_long, [this] { return stopping_; });
}

bool ClientLink::send(const std::vector<uint8_t>& bytes)
{
    std::lock_guard wl(write_mutex_);
    int fd;
    {
        std::lock_guard lock(mutex_);
        fd = fd_;
        if (fd < 0 || stopping_ || !connected_)
            return false;
    }
    // The descriptor stays open while write_mutex_ is held: serve() takes
    // it before closing.
    return net::write_all(fd, bytes);
}

void ClientLink::run()
{
    auto retry = options_.retry_min;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
        }
        net::Fd fd;
        if (auto where = resolve_ ? resolve_() : std::nullopt)
            fd = net::connect_tcp(where->address, where->port, options_.connect_timeout);
        if (fd) {
            retry = options_.retry_min;
            serve(std::move(fd));
        } else {
            retry = std::min(retry * 2, options_.retry_max);
        }
        if (!pause(retry))
            return;
    }
}

void ClientLink::serve(net::Fd fd)
{
    // Writes to a receiver's source never block for long.
    net::set_send_timeout(fd.get(), std::chrono::seconds(2));
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        fd_ = fd.get();
    }
    if (net::write_all(fd.get(), wire::encode_hello(receiver_name_))) {
        // The link is up once the server has taken the hello in: its first
        // answer is always a status.
        bool up = false;
        BufferPool buffers;
        Message m;
        for (;;) {
            const ReadResult r = read_message(fd.get(), m, &buffers);
            if (r == ReadResult::closed)
                break;
            if (r == ReadResult::bad) {
                events_.on_link_bad(*this);
                break;
            }
            switch (m.header.type) {
            case wire::MessageType::status:
                if (!up) {
                    up = true;
                    connected_ = true;
                    ++connects_;
                    events_.on_link_up(*this);
                }
                if (auto f = wire::decode_status(m.header, m.fixed))
                    events_.on_link_status(*this, f->flags);
                break;
            case wire::MessageType::redirect:
                events_.on_link_redirect(*this, m.text);
                break;
            case wire::MessageType::video:
            case wire::MessageType::audio:
            case wire::MessageType::metadata:
                events_.on_link_media(*this, std::move(m));
                m = Message{};
                break;
            default:
                break;  // hello and camera commands are not sent to receivers
            }
        }
        if (up) {
            connected_ = false;
            events_.on_link_down(*this);
        }
    }
    std::lock_guard wl(write_mutex_);
    std::lock_guard lock(mutex_);
    fd_ = -1;
}

}  // namespace qrv::transport
