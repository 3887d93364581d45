// The panel's HTTP interface: the page, the state as JSON and as a stream of
// server-sent events, previews as JPEG, and the operations that change
// something (POST only, with the panel's token and from the panel's own
// origin).
#ifndef QRV_PANEL_SERVER_H
#define QRV_PANEL_SERVER_H

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
};

// Request bodies beyond this are refused (413).
inline constexpr size_t kMaxBodyBytes = 16 * 1024;

class Server {
public:
    Server(Panel& panel, ServerOptions options);
    ~Server();
    // Binds; false when the address cannot be used.
    bool bind();
    int port() const { return port_; }
    // Serves until stop() is called from another thread.
    void run();
    void stop();

private:
    void routes();

    Panel& panel_;
    const ServerOptions options_;
    std::unique_ptr<httplib::Server> http_;
    int port_ = 0;
};

// A random token of 32 hexadecimal digits.
std::string make_token();

}  // namespace qrv_panel

#endif
