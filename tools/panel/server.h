// The panel's HTTP interface: the page, the state as JSON and as a stream of
// server-sent events, previews as JPEG, and the operations that change
// something (POST only, with the panel's token and from the panel's own
// origin).
#ifndef QRV_PANEL_SERVER_H
#define QRV_PANEL_SERVER_H

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

#include "panel.h"

namespace httplib {
class Server;
}

namespace qrv_panel {

struct ServerOptions {
    std::string host = "127.0.0.1";
    int port = 8180;  // 0: any free port
    std::filesystem::path web_dir;
    std::string token;  // every state-changing request carries it
    // Beyond loopback every request, reading ones included, needs the token.
    bool token_for_all = false;
    // HTTPS with this certificate and private key (PEM files); both empty:
    // plain HTTP.
    std::filesystem::path tls_cert;
    std::filesystem::path tls_key;
    bool tls() const { return !tls_cert.empty() || !tls_key.empty(); }
};

// Request bodies beyond this are refused (413).
inline constexpr size_t kMaxBodyBytes = 16 * 1024;
// Event streams open at once (each holds a thread of the server while it
// lasts); more are refused (503), so that other requests always find a
// thread of their own.
inline constexpr int kMaxEventStreams = 32;

class Server {
public:
    Server(Panel& panel, ServerOptions options);
    ~Server();
    // Why the server cannot serve (the certificate or key cannot be used);
    // empty when it can.
    const std::string& error() const { return error_; }
    // Binds; false when the address cannot be used or error() says why.
    bool bind();
    int port() const { return port_; }
    // "https" or "http": how the page is reached.
    std::string scheme() const { return options_.tls() ? "https" : "http"; }
    // Serves until stop() is called from another thread.
    void run();
    void stop();

private:
    void routes();
    // Checks the token and origin of every request before its route.
    void guard_requests();
    void page_routes();
    void reading_routes();
    void changing_routes();

    Panel& panel_;
    const ServerOptions options_;
    std::string error_;
    std::unique_ptr<httplib::Server> http_;
    int port_ = 0;
    std::atomic<int> event_streams_{0};
};

// A random token of 32 hexadecimal digits, from OpenSSL's generator;
// throws when it has none to give.
std::string make_token();

}  // namespace qrv_panel

#endif
