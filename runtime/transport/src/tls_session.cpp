// A connection's TLS session: its handshake, and the steps its serving thread
// reads and writes it with.
#include "transport/tls_session.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>

#include "base/error.h"
#include "base/log.h"
#include "transport/quiet_pipe.h"

namespace qrv::transport {

namespace {

// The SSL object's read buffer: with read-ahead, one receive takes as many
// records as have arrived, up to this, instead of a header and a body per
// 16 KiB record.
constexpr size_t kReadAhead = 256 * 1024;
// Sealed records gathered for one send.
constexpr size_t kGather = 256 * 1024;

void set_nonblocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// SSL_get_error reads the thread's error queue, which must be empty before
// each call it judges. Clearing an empty queue costs as much as a small
// record's bookkeeping, so it is cleared only when something is in it.
void clear_errors()
{
    if (ERR_peek_error() != 0)
        ERR_clear_error();
}

bool again(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// Whether the kernel can seal TLS records here: its TLS upper layer is
// loaded or can be. Read once.
bool kernel_tls_offered()
{
    static const bool offered = [] {
        std::ifstream ulp("/proc/sys/net/ipv4/tcp_available_ulp");
        std::string name;
        while (ulp >> name)
            if (name == "tls")
                return true;
        utsname u{};
        return ::uname(&u) == 0 && std::filesystem::exists(std::string("/lib/modules/") + u.release +
                                                           "/kernel/net/tls");
    }();
    return offered;
}

}  // namespace

// The TCP socket behind the SSL object, and the sealed records gathered
// for one send once the handshake is done (gather on). The gather buffer
// is allocated once the peer has proved its key, and never zero-filled:
// every byte sent was written.
struct TlsWire {
    int fd = -1;
    bool gather = false;
    std::unique_ptr<uint8_t[]> out;
    size_t used = 0;  // of out
    size_t sent = 0;  // of used

    void start_gathering()
    {
        out = std::make_unique_for_overwrite<uint8_t[]>(kGather);
        gather = true;
    }
    size_t pending() const { return used - sent; }
    // Sends what is gathered as far as the socket takes it; false on an
    // error of the connection (errno says which).
    bool flush()
    {
        while (sent < used) {
            const ssize_t n = ::send(fd, out.get() + sent, used - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                sent += size_t(n);
            else if (n < 0 && again(errno))
                return true;
            else
                return false;
        }
        used = sent = 0;
        return true;
    }
};

namespace {

TlsWire& wire_of(BIO* bio)
{
    return *static_cast<TlsWire*>(BIO_get_data(bio));
}

// The connection's BIO: writes with MSG_NOSIGNAL, so that a peer resetting
// the connection is an error of this connection (EPIPE) and never a
// SIGPIPE, and gathers records once the handshake is done.
int socket_write(BIO* bio, const char* data, int len)
{
    BIO_clear_retry_flags(bio);
    TlsWire& w = wire_of(bio);
    if (w.gather && w.used + size_t(len) > kGather) {
        if (!w.flush())
            return -1;
        if (w.pending() > 0) {
            BIO_set_retry_write(bio);
            return -1;
        }
    }
    // Handshake flights, and a write larger than the gather buffer (a
    // record never is), go straight to the socket.
    if (!w.gather || size_t(len) > kGather) {
        const ssize_t n = ::send(w.fd, data, size_t(len), MSG_NOSIGNAL);
        if (n < 0 && again(errno))
            BIO_set_retry_write(bio);
        return int(n);
    }
    std::memcpy(w.out.get() + w.used, data, size_t(len));
    w.used += size_t(len);
    return len;
}

int socket_read(BIO* bio, char* data, int len)
{
    BIO_clear_retry_flags(bio);
    const ssize_t n = ::recv(wire_of(bio).fd, data, size_t(len), 0);
    if (n < 0 && again(errno))
        BIO_set_retry_read(bio);
    return int(n);
}

long socket_ctrl(BIO* bio, int cmd, long, void*)
{
    if (cmd != BIO_CTRL_FLUSH)
        return 0;
    BIO_clear_retry_flags(bio);
    TlsWire& w = wire_of(bio);
    if (!w.flush())
        return -1;
    if (w.pending() == 0)
        return 1;
    BIO_set_retry_write(bio);
    return 0;
}

int socket_create(BIO* bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

const BIO_METHOD* socket_method()
{
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qrv socket");
        if (m && (BIO_meth_set_write(m, socket_write) != 1 || BIO_meth_set_read(m, socket_read) != 1 ||
                  BIO_meth_set_ctrl(m, socket_ctrl) != 1 || BIO_meth_set_create(m, socket_create) != 1)) {
            BIO_meth_free(m);
            m = nullptr;
        }
        return m;
    }();
    return method;
}

// The connection's socket as the SSL object's BIO (the descriptor stays
// the session's): OpenSSL's own socket BIO where the kernel can seal
// records, so that OpenSSL can hand it the keys, else ours with read-ahead.
// False when OpenSSL could not make it.
bool attach_socket(SSL* ssl, TlsWire& wire)
{
    if (kernel_tls_offered()) {
        BIO* bio = BIO_new_socket(wire.fd, BIO_NOCLOSE);
        if (!bio)
            return false;
        SSL_set_options(ssl, SSL_OP_ENABLE_KTLS);
        SSL_set_bio(ssl, bio, bio);
        return true;
    }
    const BIO_METHOD* method = socket_method();
    BIO* bio = method ? BIO_new(method) : nullptr;
    if (!bio)
        return false;
    BIO_set_data(bio, &wire);
    SSL_set_bio(ssl, bio, bio);
    SSL_set_default_read_buffer_len(ssl, kReadAhead);
    SSL_set_read_ahead(ssl, 1);
    return true;
}

}  // namespace


TlsSession::TlsSession(net::Fd tcp, std::shared_ptr<const LinkKeys> keys, Role role)
    : keys_(std::move(keys)), role_(role), tcp_(std::move(tcp)), wire_(std::make_unique<TlsWire>()),
      ssl_(nullptr, SSL_free)
{
    wire_->fd = tcp_.get();
    ssl_.reset(role == Role::connecting ? keys_->new_client() : keys_->new_server());
    if (!ssl_ || !attach_socket(ssl_.get(), *wire_))
        throw Error("could not set up TLS on the connection");
    if (role == Role::connecting)
        SSL_set_connect_state(ssl_.get());
    else
        SSL_set_accept_state(ssl_.get());
    set_nonblocking(tcp_.get());
}

TlsSession::~TlsSession() = default;

TlsSession::Failure TlsSession::failure_of(int ssl_error, bool timed_out) const
{
    Failure f;
    const unsigned long e = ERR_peek_last_error();
    if (e)
        f.detail = ERR_reason_error_string(e) ? ERR_reason_error_string(e) : "";
    else if (ssl_error == SSL_ERROR_SYSCALL || ssl_error == SSL_ERROR_ZERO_RETURN)
        f.detail = "the connection closed";
    ERR_clear_error();
    if (role_ == Role::connecting) {
        f.reason = timed_out ? "the source did not finish the TLS handshake in time"
                             : "the source does not hold this site's key";
    } else {
        f.reason = timed_out ? "it did not finish the TLS handshake in time"
                   : ssl_error == SSL_ERROR_SSL ? "it does not hold this site's key"
                                                : "it closed the connection during the TLS handshake";
    }
    return f;
}

TlsSession::Failure TlsSession::handshake(Clock::time_point deadline, int cancel)
{
    const QuietPipe quiet;
    for (;;) {
        ERR_clear_error();
        const int r = SSL_do_handshake(ssl_.get());
        if (r == 1)
            break;
        const int e = SSL_get_error(ssl_.get(), r);
        const short events = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
        if (!events)
            return failure_of(e, false);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p[2] = {{tcp_.get(), events, 0}, {cancel, POLLIN, 0}};
        if (left <= 0 || ::poll(p, 2, int(left)) == 0)
            return failure_of(e, true);
        if (p[1].revents)
            return {"the connection was closed", ""};
    }
    const PeerKey key = LinkKeys::proved(ssl_.get());
    if (key == PeerKey::none)
        return failure_of(SSL_ERROR_SSL, false);
    const char* label = LinkKeys::kExporterLabel;
    if (SSL_export_keying_material(ssl_.get(), exported_.data(), exported_.size(), label,
                                   std::char_traits<char>::length(label), nullptr, 0, 0) != 1) {
        ERR_clear_error();
        return {"could not export keying material from the TLS session", ""};
    }
    log_record_path();
    // From here on the records write_step seals wait for one send:
    // handshake flights went out as they were made.
    wire_->start_gathering();
    peer_key_.store(key, std::memory_order_release);
    return {};
}

void TlsSession::log_record_path() const
{
    const bool send = BIO_get_ktls_send(SSL_get_wbio(ssl_.get())) != 0;
    const bool recv = BIO_get_ktls_recv(SSL_get_rbio(ssl_.get())) != 0;
    static std::atomic<bool> told_kernel{false}, told_user{false};
    if (send || recv) {
        if (!told_kernel.exchange(true))
            QRV_LOG_AT(info, transport, "TLS links use kernel TLS: the kernel seals records %s", send && recv
                       ? "both ways" : send ? "sent (received ones are opened here)" : "received (sent ones are sealed here)");
    } else if (!told_user.exchange(true)) {
        QRV_LOG_AT(info, transport, "TLS links seal records in userspace (%s)",
                   kernel_tls_offered() ? "the kernel did not take this connection's keys"
                                        : "this kernel offers no kernel TLS");
    }
}

std::optional<LinkKeys::Exported> TlsSession::exported() const
{
    if (peer_key_.load(std::memory_order_acquire) == PeerKey::none)
        return std::nullopt;
    return exported_;
}

TlsSession::Step TlsSession::step_after(int ssl_error) const
{
    switch (ssl_error) {
    case SSL_ERROR_WANT_READ:
        return Step::read;
    case SSL_ERROR_WANT_WRITE:
        return Step::write;
    case SSL_ERROR_ZERO_RETURN:
        return Step::ended;
    default:
        ERR_clear_error();
        return Step::failed;
    }
}

TlsSession::Step TlsSession::read_step(std::span<uint8_t> out, size_t& got)
{
    got = 0;
    clear_errors();
    if (SSL_read_ex(ssl_.get(), out.data(), out.size(), &got) == 1)
        return Step::done;
    return step_after(SSL_get_error(ssl_.get(), 0));
}

TlsSession::Step TlsSession::write_step(std::span<const uint8_t> in, size_t& put)
{
    put = 0;
    if (in.empty())
        return Step::done;
    clear_errors();
    if (SSL_write_ex(ssl_.get(), in.data(), in.size(), &put) == 1)
        return Step::done;
    return step_after(SSL_get_error(ssl_.get(), 0));
}

TlsSession::Step TlsSession::flush_step()
{
    if (!wire_->flush())
        return Step::failed;
    return wire_->pending() > 0 ? Step::write : Step::done;
}

TlsSession::Step TlsSession::close_step()
{
    if (!(SSL_get_shutdown(ssl_.get()) & SSL_SENT_SHUTDOWN)) {
        ERR_clear_error();
        SSL_shutdown(ssl_.get());
        ERR_clear_error();
    }
    return flush_step();
}

bool TlsSession::buffered() const
{
    return SSL_pending(ssl_.get()) > 0 || SSL_has_pending(ssl_.get()) == 1;
}

}  // namespace qrv::transport
