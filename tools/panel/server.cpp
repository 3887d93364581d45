#include "server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <strings.h>

#include <cmath>
#include <fstream>
#include <iomanip>
#include <stdexcept>
#include <sstream>

#include "source_id.h"
#include "tls.h"

namespace qrv_panel {

namespace {

using nlohmann::json;

// The text of a JSON value. Source names are as peers announced them and
// messages may quote a request's own bytes: what is not UTF-8 goes out as
// U+FFFD, where the default would throw (and, in the event stream, end the
// process).
std::string json_text(const json& j)
{
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

void answer(httplib::Response& res, const Outcome& o)
{
    res.status = o.status;
    res.set_content(json_text(json{{"ok", o.status == 200}, {"message", o.message}}), "application/json");
}

void refuse(httplib::Response& res, int status, const std::string& why)
{
    answer(res, {status, why});
}

std::optional<std::string> read_file(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The JSON object of a request body; null when it is not one.
std::optional<json> body_object(const httplib::Request& req)
{
    auto j = json::parse(req.body, nullptr, false);
    if (j.is_discarded() || !j.is_object())
        return std::nullopt;
    return j;
}

std::optional<std::string> string_field(const json& j, const char* key)
{
    if (!j.contains(key) || !j[key].is_string())
        return std::nullopt;
    return j[key].get<std::string>();
}

// The source a request names: by "source_id" (the id the state gives each
// source, which holds every byte of its name, as the page does) or by
// "source" (its name as text); none when it names none or the id is none.
std::optional<std::string> named_source(const json& j)
{
    if (j.contains("source_id"))
        return j["source_id"].is_string() ? source_name(j["source_id"].get<std::string>()) : std::nullopt;
    return string_field(j, "source");
}

std::optional<bool> bool_field(const json& j, const char* key)
{
    if (!j.contains(key) || !j[key].is_boolean())
        return std::nullopt;
    return j[key].get<bool>();
}

// The value of one cookie of the request; empty when absent.
std::string cookie(const httplib::Request& req, const std::string& name)
{
    const std::string all = req.get_header_value("Cookie");
    size_t at = 0;
    while (at < all.size()) {
        size_t end = all.find(';', at);
        if (end == std::string::npos)
            end = all.size();
        std::string pair = all.substr(at, end - at);
        pair.erase(0, pair.find_first_not_of(' '));
        if (pair.compare(0, name.size() + 1, name + "=") == 0)
            return pair.substr(name.size() + 1);
        at = end + 1;
    }
    return {};
}

// The camera command's numbers from a request body, into c; the reason
// when one is not a number or the preset not a whole number.
std::optional<std::string> read_camera_values(const json& body, CameraCommand& c)
{
    auto number = [&](const char* key, double& out) {
        if (!body.contains(key))
            return true;
        if (!body[key].is_number())
            return false;
        out = body[key];
        return true;
    };
    double preset = 0;
    if (!number("preset", preset) || !number("speed", c.speed) || !number("pan", c.pan) ||
        !number("tilt", c.tilt) || !number("zoom", c.zoom))
        return "camera values must be numbers";
    if (preset != std::floor(preset) || preset < -1e6 || preset > 1e6)
        return "the preset must be a whole number from 0 to 99";
    c.preset = static_cast<int>(preset);
    return std::nullopt;
}

// A place among the open event streams, given back when the stream's
// response goes (the client left, or the server stops).
class StreamPlace {
public:
    explicit StreamPlace(std::atomic<int>& open) : open_(open) {}
    ~StreamPlace() { --open_; }
    StreamPlace(const StreamPlace&) = delete;
    StreamPlace& operator=(const StreamPlace&) = delete;

private:
    std::atomic<int>& open_;
};

// Threads for requests other than event streams: the HTTP library's own
// default count.
constexpr int kRequestThreads = 8;

}  // namespace

std::string make_token()
{
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        throw std::runtime_error("no random bytes for the panel's token");
    std::ostringstream s;
    for (const unsigned char b : bytes)
        s << std::hex << std::setw(2) << std::setfill('0') << unsigned(b);
    return s.str();
}

namespace {

// Whether a Host header names this machine by "localhost" or a loopback
// address (a port may follow).
bool loopback_host(const std::string& host)
{
    std::string name = host;
    if (!name.empty() && name.front() == '[')
        name = name.substr(1, name.find(']') - 1);
    else if (const auto colon = name.rfind(':'); colon != std::string::npos)
        name.resize(colon);
    in_addr a{};
    return strcasecmp(name.c_str(), "localhost") == 0 || name == "::1" ||
           (inet_pton(AF_INET, name.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127);
}

// Compared in a time that does not depend on where they differ.
bool same_token(const std::string& given, const std::string& token)
{
    return given.size() == token.size() && CRYPTO_memcmp(given.data(), token.data(), token.size()) == 0;
}

}  // namespace

Server::Server(Panel& panel, ServerOptions options) : panel_(panel), options_(std::move(options))
{
    if (options_.tls()) {
        auto https = std::make_unique<httplib::SSLServer>([this](SSL_CTX& ctx) {
            return setup_tls(ctx, options_.tls_cert, options_.tls_key, error_);
        });
        if (!https->is_valid() && error_.empty())
            error_ = "cannot make a TLS context";
        http_ = std::move(https);
    } else {
        http_ = std::make_unique<httplib::Server>();
    }
    // A thread for every event stream allowed, and requests still served
    // while all of them are open.
    http_->new_task_queue = [] { return new httplib::ThreadPool(kMaxEventStreams + kRequestThreads); };
    http_->set_payload_max_length(kMaxBodyBytes);
    // Small writes go at once: over TLS, the records after the handshake
    // otherwise wait for a delayed acknowledgement (40 ms on every request).
    http_->set_tcp_nodelay(true);
    // A connection holds a thread of the pool from its accept to its close:
    // one that waits for a request (its first or its next, as browsers leave
    // several open) holds it for the keep-alive time, a TLS handshake or a
    // request that stalls halfway for the read time at each wait. The
    // library's 5 s each let a handful of idle clients delay everyone. A
    // page asks for each tile's picture four times a second, so the
    // connections it uses get their next request well within 1 s and stay
    // open; the bytes of a handshake or a request on a local network come
    // within milliseconds, and 2 s still outlasts a lost segment or two.
    http_->set_keep_alive_timeout(1);
    http_->set_read_timeout(2, 0);
    http_->set_write_timeout(5, 0);
    routes();
}

Server::~Server()
{
    stop();
}

bool Server::bind()
{
    if (!error_.empty())
        return false;
    if (options_.port == 0)
        port_ = http_->bind_to_any_port(options_.host);
    else
        port_ = http_->bind_to_port(options_.host, options_.port) ? options_.port : -1;
    return port_ > 0;
}

void Server::run()
{
    http_->listen_after_bind();
}

void Server::stop()
{
    if (http_)
        http_->stop();
}

void Server::routes()
{
    guard_requests();
    page_routes();
    reading_routes();
    changing_routes();
}

void Server::guard_requests()
{
    // Every request: the token where it is needed; every POST: the token and
    // the panel's own origin (a page elsewhere cannot make the operator's
    // browser change anything).
    http_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        // On loopback reading needs no token, and the page carries it: a
        // page elsewhere whose name was made to resolve to this machine
        // (DNS rebinding) would read it and then change anything. Such
        // requests name another host.
        if (!options_.token_for_all && req.has_header("Host") && !loopback_host(req.get_header_value("Host"))) {
            refuse(res, 403, "the panel answers requests to localhost or a loopback address only");
            return httplib::Server::HandlerResponse::Handled;
        }
        const bool changes = req.method != "GET" && req.method != "HEAD";
        if (changes || options_.token_for_all) {
            std::string given =
                req.has_header("X-QRV-Token") ? req.get_header_value("X-QRV-Token") : req.get_param_value("token");
            // Reading requests of the page (its files, events, previews)
            // carry the token as the cookie that the page's first request
            // set; changes never count on a cookie alone.
            if (given.empty() && !changes)
                given = cookie(req, "qrv_token");
            if (!same_token(given, options_.token)) {
                refuse(res, 403, given.empty() ? "the panel's token is missing" : "the panel's token is wrong");
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        if (changes && req.has_header("Origin") &&
            req.get_header_value("Origin") != scheme() + "://" + req.get_header_value("Host")) {
            refuse(res, 403, "requests from another origin are refused");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
}

// The page's own files; the first one gives the page its token.
void Server::page_routes()
{
    auto page = [this](const std::string& file, const char* type) {
        return [this, file, type](const httplib::Request&, httplib::Response& res) {
            auto text = read_file(options_.web_dir / file);
            if (!text) {
                refuse(res, 404, "the panel's page is missing: " + (options_.web_dir / file).string());
                return;
            }
            if (file == "index.html") {
                const std::string mark = "{{TOKEN}}";
                if (auto at = text->find(mark); at != std::string::npos)
                    text->replace(at, mark.size(), options_.token);
                if (options_.token_for_all)
                    res.set_header("Set-Cookie", "qrv_token=" + options_.token + "; HttpOnly; SameSite=Strict; Path=/" +
                                                     (options_.tls() ? "; Secure" : ""));
            }
            res.set_header("Cache-Control", "no-store");
            res.set_content(*text, type);
        };
    };
    http_->Get("/", page("index.html", "text/html; charset=utf-8"));
    http_->Get("/app.js", page("app.js", "text/javascript; charset=utf-8"));
    http_->Get("/style.css", page("style.css", "text/css; charset=utf-8"));
}

// The state, as it is and as it changes, and the previews.
void Server::reading_routes()
{
    http_->Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(json_text(panel_.snapshot()), "application/json");
    });
    http_->Get("/api/events", [this](const httplib::Request&, httplib::Response& res) {
        if (++event_streams_ > kMaxEventStreams) {
            --event_streams_;
            res.set_header("Retry-After", "5");
            return refuse(res, 503, "the panel serves " + std::to_string(kMaxEventStreams) +
                                        " event streams at once; try again later");
        }
        auto place = std::make_shared<StreamPlace>(event_streams_);
        res.set_header("Cache-Control", "no-store");
        auto seen = std::make_shared<uint64_t>(0);
        res.set_chunked_content_provider("text/event-stream", [this, seen, place](size_t, httplib::DataSink& sink) {
            // The state at once, then at every change, at least each second.
            *seen = panel_.wait_change(*seen, std::chrono::milliseconds(*seen ? 1000 : 0));
            const std::string event = "data: " + json_text(panel_.snapshot()) + "\n\n";
            return sink.is_writable() && sink.write(event.data(), event.size());
        });
    });
    http_->Get("/api/preview", [this](const httplib::Request& req, httplib::Response& res) {
        const auto source = req.has_param("source_id") ? source_name(req.get_param_value("source_id"))
                                                       : std::optional<std::string>(req.get_param_value("source"));
        const std::string jpeg = source ? panel_.preview(*source) : std::string();
        if (jpeg.empty()) {
            refuse(res, 404, "no preview of '" + source.value_or(req.get_param_value("source_id")) + "'");
            return;
        }
        res.set_header("Cache-Control", "no-store");
        res.set_content(jpeg, "image/jpeg");
    });
}

// The operations that change something: outputs, routes, tally, cameras.
void Server::changing_routes()
{
    http_->Post("/api/outputs", [this](const httplib::Request& req, httplib::Response& res) {
        const auto body = req.body.empty() ? std::optional<json>(json::object()) : body_object(req);
        if (!body)
            return refuse(res, 400, "the request is not a JSON object");
        const auto name = string_field(*body, "name");
        if (body->contains("name") && !name)
            return refuse(res, 400, "the output's name must be a string");
        answer(res, panel_.add_output(name.value_or("")));
    });
    http_->Post("/api/route", [this](const httplib::Request& req, httplib::Response& res) {
        const auto body = body_object(req);
        const auto output = body ? string_field(*body, "output") : std::nullopt;
        if (!output)
            return refuse(res, 400, "the request must name an output");
        const auto source = named_source(*body);
        const bool nowhere = !body->contains("source_id") && body->contains("source") && (*body)["source"].is_null();
        if (!source && !nowhere)
            return refuse(res, 400, "the request must name a source, or null for none");
        answer(res, panel_.route(*output, source));
    });
    http_->Post("/api/tally", [this](const httplib::Request& req, httplib::Response& res) {
        const auto body = body_object(req);
        const auto source = body ? named_source(*body) : std::nullopt;
        const auto program = body ? bool_field(*body, "program") : std::nullopt;
        const auto preview = body ? bool_field(*body, "preview") : std::nullopt;
        if (!source || !program || !preview)
            return refuse(res, 400, "the request must name a source and give program and preview as true or false");
        answer(res, panel_.set_tally(*source, *program, *preview));
    });
    http_->Post("/api/camera", [this](const httplib::Request& req, httplib::Response& res) {
        const auto body = body_object(req);
        const auto source = body ? named_source(*body) : std::nullopt;
        const auto action = body ? string_field(*body, "action") : std::nullopt;
        if (!source || !action)
            return refuse(res, 400, "the request must name a source and an action");
        CameraCommand c;
        c.action = *action;
        if (auto why = read_camera_values(*body, c))
            return refuse(res, 400, *why);
        answer(res, panel_.camera(*source, c));
    });
}

}  // namespace qrv_panel
