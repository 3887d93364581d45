// qrv_panel: a control panel in the browser. Serves a page that shows every
// source with a live preview, routes the panel's outputs, steers cameras and
// sets tally.
#include <CLI/CLI.hpp>
#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "panel.h"
#include "qrv/qrv_runtime.h"
#include "server.h"

namespace {

std::atomic<bool> stop_requested{false};

void on_signal(int)
{
    stop_requested.store(true);
}

// The page's files, in the share folder beside the program's folder: where
// they are installed, and where the build links the page's sources (so that
// no path of the checkout is compiled in). Relative to the working folder
// when the program cannot tell where it lies.
std::filesystem::path default_web_dir()
{
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    const auto prefix = ec ? std::filesystem::path() : exe.parent_path().parent_path();
    return prefix / "share" / "qrv" / "panel";
}

std::filesystem::path default_state_file()
{
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state)
        return std::filesystem::path(state) / "qrv" / "panel.json";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::filesystem::path(home) / ".local" / "state" / "qrv" / "panel.json";
    return "qrv-panel.json";
}

bool loopback(const std::string& host)
{
    in_addr a{};
    return host == "localhost" || (inet_pton(AF_INET, host.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127);
}

// What the command line says.
struct Args {
    std::string listen = "127.0.0.1:8180";
    std::string state_file = default_state_file().string();
    std::string web_dir = default_web_dir().string();
    std::string groups;
    std::string tls_cert, tls_key;
};

void add_options(CLI::App& app, Args& a)
{
    app.set_version_flag("--version", std::string("qrv_panel ") + QRV_VERSION);
    app.add_option("--listen", a.listen,
                   "HOST:PORT to serve on; beyond loopback every request must carry the printed token")
        ->capture_default_str();
    // Their defaults depend on the user and the installation: said in words,
    // so that the manual page made from this help holds for everyone.
    app.add_option("--state", a.state_file,
                   "file that keeps the panel's outputs and their routes; default: "
                   "$XDG_STATE_HOME/qrv/panel.json, else ~/.local/state/qrv/panel.json");
    app.add_option("--web", a.web_dir, "folder of the page's files; default: the installed page");
    app.add_option("--groups", a.groups,
                   "show only the sources of these groups (comma-separated), and put the panel's outputs in them; "
                   "default: every source, outputs in the group \"public\"");
    app.add_option("--tls-cert", a.tls_cert,
                   "serve HTTPS (TLS 1.2 or newer) with this PEM certificate (and its chain)");
    app.add_option("--tls-key", a.tls_key, "the PEM private key of --tls-cert, without a passphrase");
    app.footer("The panel steers cameras through the runtime: a camera that asks for the operator key takes "
               "commands only when QRV_OPERATOR_KEY_FILE names it in the panel's environment.");
}

// The server's options from the command line, with a new token; none (and
// a line on stderr) when --listen is no HOST:PORT.
std::optional<qrv_panel::ServerOptions> server_options(const Args& a)
{
    const auto colon = a.listen.rfind(':');
    qrv_panel::ServerOptions options;
    try {
        if (colon == std::string::npos)
            throw std::invalid_argument("no port");
        options.host = a.listen.substr(0, colon);
        size_t used = 0;
        options.port = std::stoi(a.listen.substr(colon + 1), &used);
        if (used != a.listen.size() - colon - 1 || options.port < 0 || options.port > 65535 || options.host.empty())
            throw std::invalid_argument("bad port");
    } catch (const std::exception&) {
        fprintf(stderr, "qrv_panel: --listen wants HOST:PORT, not '%s'\n", a.listen.c_str());
        return std::nullopt;
    }
    options.web_dir = a.web_dir;
    try {
        options.token = qrv_panel::make_token();
    } catch (const std::exception& e) {
        fprintf(stderr, "qrv_panel: %s\n", e.what());
        return std::nullopt;
    }
    options.token_for_all = !loopback(options.host);
    options.tls_cert = a.tls_cert;
    options.tls_key = a.tls_key;
    return options;
}

// Serves until SIGINT or SIGTERM; the exit status.
int serve(qrv_panel::Server& server, const qrv_panel::ServerOptions& options, const std::string& listen)
{
    if (!server.error().empty()) {
        fprintf(stderr, "qrv_panel: %s\n", server.error().c_str());
        return 1;
    }
    if (!server.bind()) {
        fprintf(stderr, "qrv_panel: cannot listen on %s\n", listen.c_str());
        return 1;
    }
    const std::string address = server.scheme() + "://" + options.host + ":" + std::to_string(server.port()) + "/";
    if (options.token_for_all)
        printf("Open %s?token=%s\n", address.c_str(), options.token.c_str());
    else
        printf("Open %s\n", address.c_str());
    fflush(stdout);
    std::thread serving([&] { server.run(); });
    while (!stop_requested.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.stop();
    serving.join();
    return 0;
}

// The panel and its server, both gone before the runtime is.
int run_panel(const Args& a, const qrv_panel::ServerOptions& options)
{
    std::unique_ptr<qrv_panel::Panel> panel;
    try {
        panel = std::make_unique<qrv_panel::Panel>(a.state_file, a.groups);
    } catch (const std::exception& e) {
        fprintf(stderr, "qrv_panel: %s\n", e.what());
        return 1;
    }
    qrv_panel::Server server(*panel, options);
    const int rc = serve(server, options, a.listen);
    panel->stop();
    return rc;
}

}  // namespace

int main(int argc, char** argv)
{
    // From the start, so that a stop asked for while the panel starts ends
    // it as cleanly as one asked for later.
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    CLI::App app{"A control panel in the browser: every source live, routing, cameras and tally", "qrv_panel"};
    Args args;
    add_options(app, args);
    CLI11_PARSE(app, argc, argv);
    if (args.tls_cert.empty() != args.tls_key.empty()) {
        fprintf(stderr, "qrv_panel: --tls-cert and --tls-key go together\n");
        return 2;
    }
    const auto options = server_options(args);
    if (!options)
        return 2;

    if (!QRVlib_initialize()) {
        fprintf(stderr, "qrv_panel: the runtime cannot start: %s\n", QRVlib_get_last_error());
        return 1;
    }
    const int rc = run_panel(args, *options);
    QRVlib_destroy();
    return rc;
}
