// The control panel's HTTP interface, in process: a sender of our own on
// loopback, the panel and its server on a free port, and an HTTP client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>

#include "build_paths.h"
#include "panel.h"
#include "qrv/qrv_runtime.h"
#include "server.h"

using namespace std::chrono_literals;
using nlohmann::json;

namespace {

bool eventually(const std::function<bool()>& ok, std::chrono::milliseconds limit = 5s)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!ok()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// The group of this process's panel and sources: the panel shows only
// them, and never connects to the sources of tests running beside it.
const std::string& test_group()
{
    static const std::string group = "panel-test-" + std::to_string(getpid());
    return group;
}

// Announces a source of the test's group by mDNS on loopback, as any peer
// could: its instance label is raw bytes. A ttl of 0 says it is gone.
void announce(const std::string& instance, uint16_t ttl)
{
    auto name = [](std::initializer_list<std::string> labels) {
        std::string out;
        for (const auto& l : labels)
            out += char(l.size()) + l;
        return out + '\0';
    };
    auto u16 = [](size_t v) { return std::string{char(v >> 8), char(v & 0xff)}; };
    auto record = [&](const std::string& owner, int type, const std::string& data) {
        return owner + u16(type) + u16(0x8001) + u16(0) + u16(ttl) + u16(data.size()) + data;
    };
    const std::string service = name({"_qrv", "_tcp", "local"}), host = name({"peer", "local"});
    const std::string label = name({instance, "_qrv", "_tcp", "local"}), txt = "groups=" + test_group();
    const std::string message = u16(0) + u16(0x8400) + u16(0) + u16(4) + u16(0) + u16(0) +
                                record(service, 12, label) + record(label, 33, u16(0) + u16(0) + u16(9) + host) +
                                record(label, 16, char(txt.size()) + txt) +
                                record(host, 1, std::string("\x7f\0\0\x01", 4));
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    in_addr lo{htonl(INADDR_LOOPBACK)};
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(5353);
    inet_pton(AF_INET, "224.0.0.251", &to.sin_addr);
    sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(fd);
}

// Opens /api/events on a connection of its own, kept open; the status line
// of the answer (empty when none came within 5 s) goes into status.
int open_event_stream(int port, std::string& status)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval wait{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    const std::string request = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    char answer[64] = {};
    status.clear();
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size()) &&
        recv(fd, answer, sizeof answer - 1, 0) > 0)
        status = std::string(answer).substr(0, std::string(answer).find('\r'));
    return fd;
}

// A running panel with its server and a client of it.
struct RunningPanel {
    // With a certificate and key: over HTTPS, the client trusting any.
    RunningPanel(const std::filesystem::path& state, bool token_for_all = false,
                 const std::filesystem::path& tls_cert = {}, const std::filesystem::path& tls_key = {})
        : panel(std::make_unique<qrv_panel::Panel>(state, test_group()))
    {
        qrv_panel::ServerOptions o;
        o.port = 0;
        o.web_dir = qrv_test::build_dir() + "/share/qrv/panel";
        o.token = "0123456789abcdef0123456789abcdef";
        o.token_for_all = token_for_all;
        o.tls_cert = tls_cert;
        o.tls_key = tls_key;
        server = std::make_unique<qrv_panel::Server>(*panel, o);
        EXPECT_TRUE(server->bind()) << server->error();
        serving = std::thread([this] { server->run(); });
        client = std::make_unique<httplib::Client>(origin());
        client->enable_server_certificate_verification(false);
        client->set_read_timeout(5, 0);
        EXPECT_TRUE(eventually([&] { return client->Get("/api/state") != nullptr; }));
    }
    ~RunningPanel()
    {
        server->stop();
        serving.join();
        panel->stop();
    }
    httplib::Result post(const std::string& path, const std::string& body, bool with_token = true,
                         const std::string& origin = "")
    {
        httplib::Headers h;
        if (with_token)
            h.emplace("X-QRV-Token", "0123456789abcdef0123456789abcdef");
        if (!origin.empty())
            h.emplace("Origin", origin);
        return client->Post(path.c_str(), h, body, "application/json");
    }
    std::string origin() const { return server->scheme() + "://127.0.0.1:" + std::to_string(server->port()); }
    json state() { return json::parse(client->Get("/api/state")->body); }
    json source(const std::string& name)
    {
        const json all = state();  // kept: the loop reads into it
        for (const auto& s : all["sources"])
            if (s["name"] == name)
                return s;
        return nullptr;
    }

    std::unique_ptr<qrv_panel::Panel> panel;
    std::unique_ptr<qrv_panel::Server> server;
    std::thread serving;
    std::unique_ptr<httplib::Client> client;
};

class PanelApi : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QRVlib_initialize());
        state_ = std::filesystem::temp_directory_path() / ("qrv-panel-test-" + std::to_string(getpid()) + ".json");
        std::filesystem::remove(state_);
        QRVlib_send_create_t s("Panel Camera", test_group().c_str());
        s.pace_video = false;
        sender_ = QRVlib_send_create(&s);
        ASSERT_TRUE(sender_);
        QRVlib_send_set_ptz_supported(sender_, true);
        uint32_t n = QRVlib_send_get_published_name(sender_, nullptr, 0);
        name_.assign(n, '\0');
        QRVlib_send_get_published_name(sender_, name_.data(), n);
        name_.resize(n - 1);
        pixels_.assign(64 * 36 * 4, 0x80);
        pumping_ = std::thread([this] {
            QRVlib_video_frame_v2_t f;
            f.width = 64, f.height = 36, f.line_stride = 256;
            f.data = pixels_.data();
            while (!stop_) {
                QRVlib_send_send_video_v2(sender_, &f);
                std::this_thread::sleep_for(20ms);
            }
        });
    }
    void TearDown() override
    {
        stop_ = true;
        if (pumping_.joinable())
            pumping_.join();
        QRVlib_send_destroy(sender_);
        QRVlib_destroy();
        std::filesystem::remove(state_);
    }

    std::filesystem::path state_;
    QRVlib_send_instance_t sender_ = nullptr;
    std::string name_;
    std::vector<uint8_t> pixels_;
    std::atomic<bool> stop_{false};
    std::thread pumping_;
};

TEST_F(PanelApi, ListsSourcesWithPreviewsAndServesThePage)
{
    RunningPanel p(state_);
    ASSERT_TRUE(eventually([&] { return p.source(name_).is_object() && p.source(name_)["picture"] > 0; })) << p.state().dump();
    const auto s = p.source(name_);
    EXPECT_TRUE(s["connected"]);
    EXPECT_TRUE(s["ptz"]);
    auto jpeg = p.client->Get("/api/preview", httplib::Params{{"source", name_}}, httplib::Headers{});
    ASSERT_TRUE(jpeg);
    EXPECT_EQ(jpeg->status, 200);
    ASSERT_GT(jpeg->body.size(), 2u);
    EXPECT_EQ((uint8_t)jpeg->body[0], 0xFF);
    EXPECT_EQ((uint8_t)jpeg->body[1], 0xD8);
    EXPECT_EQ(p.client->Get("/api/preview?source=nobody")->status, 404);
    auto page = p.client->Get("/");
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find("0123456789abcdef0123456789abcdef"), std::string::npos) << "the page carries its token";
}

TEST_F(PanelApi, ChangesNeedTheTokenAndTheSameOriginAndWellFormedRequests)
{
    RunningPanel p(state_);
    EXPECT_EQ(p.post("/api/outputs", "{}", false)->status, 403);
    httplib::Headers wrong{{"X-QRV-Token", "nope"}};
    EXPECT_EQ(p.client->Post("/api/outputs", wrong, "{}", "application/json")->status, 403);
    EXPECT_EQ(p.post("/api/outputs", "{}", true, "http://evil.example")->status, 403);
    EXPECT_EQ(p.state()["outputs"].size(), 0u) << "nothing changed";
    const std::string origin = "http://127.0.0.1:" + std::to_string(p.server->port());
    EXPECT_EQ(p.post("/api/outputs", "{}", true, origin)->status, 200);

    EXPECT_EQ(p.post("/api/route", "{not json")->status, 400);
    EXPECT_EQ(p.post("/api/route", "[1,2]")->status, 400);
    EXPECT_EQ(p.post("/api/route", R"({"output":"Panel Output 1","source":42})")->status, 400);
    EXPECT_EQ(p.post("/api/route", R"({"output":"Nowhere","source":null})")->status, 404);
    EXPECT_EQ(p.post("/api/route", R"j({"output":"Panel Output 1","source":"HOST (Nobody)"})j")->status, 404);
    EXPECT_EQ(p.post("/api/tally", R"j({"source":"HOST (Nobody)","program":true,"preview":false})j")->status, 404);
    EXPECT_EQ(p.post("/api/tally", R"({"source":"x","program":"yes","preview":false})")->status, 400);
    // Missing values are refused, not read from the request's absent keys.
    for (const char* body :
         {R"({"source":"x"})", R"({"source":"x","program":true})", R"({"source":"x","preview":true})"}) {
        const auto r = p.post("/api/tally", body);
        ASSERT_TRUE(r) << body;
        EXPECT_EQ(r->status, 400) << body;
    }
    EXPECT_EQ(p.post("/api/outputs", std::string(qrv_panel::kMaxBodyBytes + 1, ' '))->status, 413);
    EXPECT_EQ(p.post("/api/outputs", R"({"name":"Panel Output 1"})")->status, 409);
    EXPECT_EQ(p.post("/api/outputs", R"({"name":"Panel\u0000Output 2"})")->status, 400)
        << "its source would be published as \"Panel\"";

    // A page elsewhere whose name resolves to this machine (DNS rebinding)
    // reads neither the token nor anything else, and changes nothing.
    const std::string rebound = "rebound.example:" + std::to_string(p.server->port());
    const auto page = p.client->Get("/", httplib::Headers{{"Host", rebound}});
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 403);
    EXPECT_EQ(page->body.find("0123456789abcdef0123456789abcdef"), std::string::npos);
    httplib::Headers as_rebound{
        {"Host", rebound}, {"Origin", "http://" + rebound}, {"X-QRV-Token", "0123456789abcdef0123456789abcdef"}};
    EXPECT_EQ(p.client->Post("/api/outputs", as_rebound, "{}", "application/json")->status, 403);
    EXPECT_EQ(p.client->Get("/", httplib::Headers{{"Host", "localhost"}})->status, 200);
    EXPECT_EQ(p.state()["outputs"].size(), 1u);

    // Beyond loopback every request needs the token; the page sets it as a
    // cookie for the requests of its own files and events.
    RunningPanel open(state_.string() + ".open", true);
    EXPECT_EQ(open.client->Get("/api/state")->status, 403);
    EXPECT_EQ(open.client->Get("/?token=0123456789abcdef0123456789abcdef")->status, 200);
    httplib::Headers with_cookie{{"Cookie", "a=b; qrv_token=0123456789abcdef0123456789abcdef"}};
    EXPECT_EQ(open.client->Get("/api/state", with_cookie)->status, 200);
    EXPECT_EQ(open.client->Post("/api/outputs", with_cookie, "{}", "application/json")->status, 403)
        << "a cookie alone changes nothing";
    std::filesystem::remove(state_.string() + ".open");
}

TEST_F(PanelApi, CameraCommandsOutOfRangeAreRefusedAndTallyReachesTheSource)
{
    RunningPanel p(state_);
    ASSERT_TRUE(eventually([&] { return p.source(name_).is_object() && p.source(name_)["ptz"] == true; }));
    const json source = name_;
    auto camera = [&](const std::string& rest) {
        return p.post("/api/camera", R"({"source":)" + source.dump() + "," + rest + "}")->status;
    };
    EXPECT_EQ(camera(R"("action":"recall","preset":100)"), 400);
    EXPECT_EQ(camera(R"("action":"recall","preset":2.5)"), 400);
    EXPECT_EQ(camera(R"("action":"zoom","zoom":2)"), 400);
    EXPECT_EQ(camera(R"("action":"pan_tilt","pan":"left")"), 400);
    EXPECT_EQ(camera(R"("action":"dance")"), 400);
    QRVlib_ptz_command_t c{};
    EXPECT_FALSE(QRVlib_send_get_ptz_command(sender_, &c, 200)) << "refused values are not sent";
    EXPECT_EQ(camera(R"("action":"recall","preset":7,"speed":0.5)"), 200);
    ASSERT_TRUE(QRVlib_send_get_ptz_command(sender_, &c, 5000));
    EXPECT_EQ(c.command, QRVlib_ptz_recall_preset);
    EXPECT_EQ(c.preset, 7);

    EXPECT_EQ(p.post("/api/tally", R"({"source":)" + source.dump() + R"(,"program":true,"preview":false})")->status,
              200);
    EXPECT_TRUE(eventually([&] {
        QRVlib_tally_t t{};
        QRVlib_send_get_tally(sender_, &t, 100);
        return t.on_program && !t.on_preview;
    }));
    EXPECT_TRUE(p.source(name_)["tally"]["program"]);

    // The tile's frame shows the source's tally over all its receivers,
    // another's preview included, apart from the panel's own buttons.
    char locator[256];
    ASSERT_GT(QRVlib_send_get_locator(sender_, locator, sizeof locator), 0u);
    QRVlib_recv_create_v3_t rs(QRVlib_source_t(name_.c_str(), locator));
    rs.bandwidth = QRVlib_recv_bandwidth_metadata_only;
    QRVlib_recv_instance_t other = QRVlib_recv_create_v3(&rs);
    ASSERT_NE(other, nullptr);
    const QRVlib_tally_t preview{false, true};
    QRVlib_recv_set_tally(other, &preview);
    EXPECT_TRUE(eventually([&] { return p.source(name_)["on_air"] == json{{"program", true}, {"preview", true}}; }));
    EXPECT_FALSE(p.source(name_)["tally"]["preview"]);
    QRVlib_recv_destroy(other);
    EXPECT_TRUE(eventually([&] { return p.source(name_)["on_air"]["preview"] == false; }));
}

TEST_F(PanelApi, OutputsAndTheirRoutesSurviveARestart)
{
    {
        RunningPanel p(state_);
        ASSERT_TRUE(eventually([&] { return p.source(name_).is_object(); }));
        ASSERT_EQ(p.post("/api/outputs", "{}")->status, 200);
        ASSERT_EQ(p.post("/api/route", R"({"output":"Panel Output 1","source":)" + json(name_).dump() + "}")->status,
                  200);
        std::ifstream in(state_);
        const auto saved = json::parse(in);
        EXPECT_EQ(saved["outputs"][0]["source"], name_);
    }
    RunningPanel again(state_);
    const auto outputs = again.state()["outputs"];
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_EQ(outputs[0]["name"], "Panel Output 1");
    EXPECT_EQ(outputs[0]["source"], name_);
    // The restored output carries the source: its receiver is sent there.
    ASSERT_TRUE(eventually([&] {
        const auto o = again.source(name_.substr(0, name_.find(" (")) + " (Panel Output 1)");
        return o.is_object() && o["routed"] == true && o["connected"] == true;
    }, 10s));
}

// Given a certificate, the panel speaks HTTPS only: the page and its changes
// from its https origin work, a plain HTTP request to the port gets nothing
// of the panel, and a key that is not the certificate's stops the server
// before it serves.
TEST_F(PanelApi, ServesHttpsWithItsCertificateAndNothingInClear)
{
    const auto dir = std::filesystem::temp_directory_path() / ("qrv-panel-tls-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto cert = dir / "cert.pem", key = dir / "key.pem", other = dir / "other.pem";
    const std::string make = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                             "-subj /CN=127.0.0.1 -days 1 -keyout " + key.string() + " -out " + cert.string() +
                             " 2>/dev/null && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " +
                             other.string() + " 2>/dev/null";
    if (std::system(make.c_str()) != 0) {
        std::filesystem::remove_all(dir);
        GTEST_SKIP() << "openssl cannot make a certificate here";
    }
    {
        RunningPanel p(state_, false, cert, key);
        ASSERT_EQ(p.server->scheme(), "https");
        const auto page = p.client->Get("/");
        ASSERT_TRUE(page);
        EXPECT_EQ(page->status, 200);
        EXPECT_EQ(p.post("/api/outputs", "{}", true, p.origin())->status, 200) << "the page's own origin is https";
        EXPECT_EQ(p.post("/api/outputs", "{}", true, "http://127.0.0.1:" + std::to_string(p.server->port()))->status,
                  403);

        httplib::Client plain("127.0.0.1", p.server->port());
        plain.set_read_timeout(2, 0);
        const auto clear = plain.Get("/api/state");
        EXPECT_FALSE(clear && clear->body.find("outputs") != std::string::npos) << clear->body;
        EXPECT_EQ(p.client->Get("/api/state")->status, 200) << "still serving after the plain request";

        qrv_panel::ServerOptions mismatched;
        mismatched.port = 0;
        mismatched.tls_cert = cert;
        mismatched.tls_key = other;
        qrv_panel::Server wrong(*p.panel, mismatched);
        EXPECT_FALSE(wrong.bind());
        EXPECT_NE(wrong.error().find(other.string()), std::string::npos) << wrong.error();
    }
    std::filesystem::remove_all(dir);
}

// Names are as peers announced them, in any bytes: one that is not UTF-8
// is shown with U+FFFD in the state and in the event stream (where it once
// ended the process), and a request that quotes such bytes is answered.
// The page names the source by its id, which holds the name's bytes (the
// text it shows cannot be sent back): such a source is routed, and the
// route kept, to the very name.
TEST_F(PanelApi, ANameThatIsNotUtf8IsShownReplaced)
{
    const std::string shown = "HOST (caf\xEF\xBF\xBD)", id = "484f53542028636166e929";
    {
        RunningPanel p(state_);
        std::string streamed;
        std::thread events([&] {
            httplib::Client c(p.origin());
            c.set_read_timeout(5, 0);
            const auto end = std::chrono::steady_clock::now() + 10s;
            c.Get("/api/events", [&](const char* data, size_t size) {
                streamed.append(data, size);
                return streamed.find(shown) == std::string::npos && std::chrono::steady_clock::now() < end;
            });
        });
        EXPECT_TRUE(eventually([&] {
            announce("HOST (caf\xE9)", 120);
            return p.source(shown).is_object();
        }));
        EXPECT_EQ(p.source(shown)["id"], id);
        ASSERT_EQ(p.post("/api/outputs", "{}")->status, 200);
        const auto routed = p.post("/api/route", json{{"output", "Panel Output 1"}, {"source_id", id}}.dump());
        ASSERT_TRUE(routed);
        EXPECT_EQ(routed->status, 200) << routed->body;
        EXPECT_EQ(p.state()["outputs"][0]["source"], shown);
        announce("HOST (caf\xE9)", 0);
        events.join();
        EXPECT_NE(streamed.find(shown), std::string::npos) << streamed.substr(0, 500);
        const auto quoted = p.client->Get("/api/preview?source=%FF");
        ASSERT_TRUE(quoted);
        EXPECT_EQ(quoted->status, 404);
    }
    RunningPanel again(state_);
    EXPECT_EQ(again.state()["outputs"][0]["source_id"], id) << "restored to the name's bytes";
}

// Opens a connection that sends nothing, as a browser leaves one after its
// requests; closed by the caller.
int open_idle_connection(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    return fd;
}

// Each event stream holds a thread of the server while it lasts: with as
// many open as the panel allows, the state is still served and one more
// stream is refused; once they close, streams are taken again. An idle
// connection holds a thread too, briefly: with more of them open than the
// server has threads, a request is still answered within moments.
TEST_F(PanelApi, OpenEventStreamsLeaveThePanelAnswering)
{
    RunningPanel p(state_);
    std::vector<int> streams;
    std::string status;
    for (int i = 0; i < qrv_panel::kMaxEventStreams; ++i) {
        streams.push_back(open_event_stream(p.server->port(), status));
        ASSERT_EQ(status, "HTTP/1.1 200 OK") << "stream " << i;
    }
    const auto state = p.client->Get("/api/state");
    ASSERT_TRUE(state) << "no answer while the streams are open";
    EXPECT_EQ(state->status, 200);
    close(open_event_stream(p.server->port(), status));
    EXPECT_EQ(status, "HTTP/1.1 503 Service Unavailable");
    for (int fd : streams)
        close(fd);
    EXPECT_TRUE(eventually([&] {
        close(open_event_stream(p.server->port(), status));
        return status == "HTTP/1.1 200 OK";
    }));

    // More idle connections than the server has threads (one for each event
    // stream allowed, and a few more), each accepted before the next comes:
    // the server's backlog is short, and a connection it drops is tried
    // again only a second later.
    std::vector<int> idle;
    for (int i = 0; i < 2 * qrv_panel::kMaxEventStreams; ++i) {
        idle.push_back(open_idle_connection(p.server->port()));
        std::this_thread::sleep_for(2ms);
    }
    const auto asked = std::chrono::steady_clock::now();
    const auto answered = p.client->Get("/api/state");
    const auto waited = std::chrono::steady_clock::now() - asked;
    for (int fd : idle)
        close(fd);
    ASSERT_TRUE(answered) << "no answer past idle connections";
    EXPECT_LT(waited, 3s) << "idle connections hold the server's threads";
}

// Sources that went keep their tiles ("gone") up to the limit; past it a
// new source takes the place of the one gone longest, so that names once
// announced (by anyone) cannot keep the panel from showing new sources.
TEST_F(PanelApi, NewSourcesFindRoomAfterManyHaveGone)
{
    RunningPanel p(state_);
    ASSERT_TRUE(eventually([&] { return p.source(name_).is_object(); }));
    auto flood = [](uint16_t ttl) {
        for (size_t i = 0; i < qrv_panel::kMaxTiles; ++i)
            announce("GONE (" + std::to_string(i) + ")", ttl);
    };
    auto present = [&] {
        const json all = p.state()["sources"];
        return std::count_if(all.begin(), all.end(), [](const json& s) { return s["present"] == true; });
    };
    ASSERT_TRUE(eventually([&] {
        flood(120);
        return p.state()["sources"].size() == qrv_panel::kMaxTiles;
    }, 10s));
    ASSERT_TRUE(eventually([&] {
        flood(0);
        return present() == 1;
    }, 10s));
    QRVlib_send_create_t s("Late Camera", test_group().c_str());
    std::unique_ptr<std::remove_pointer_t<QRVlib_send_instance_t>, void (*)(QRVlib_send_instance_t)> late(
        QRVlib_send_create(&s), QRVlib_send_destroy);
    ASSERT_TRUE(late);
    const std::string late_name = name_.substr(0, name_.find(" (")) + " (Late Camera)";
    EXPECT_TRUE(eventually([&] { return p.source(late_name).is_object(); })) << "no room for a new source";
    EXPECT_EQ(p.state()["sources"].size(), qrv_panel::kMaxTiles);
    EXPECT_TRUE(p.source(name_)["present"]);
}

// A change that cannot be kept in the state file is made, and the answer
// says it was not kept. (The folder is a regular file: root may write
// anywhere else.)
TEST_F(PanelApi, AStateThatCannotBeKeptIsAnError)
{
    const std::string not_a_folder = state_.string() + ".file";
    std::ofstream(not_a_folder) << "a file, not a folder\n";
    {
        RunningPanel p(not_a_folder + "/panel.json");
        const auto r = p.post("/api/outputs", "{}");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 500);
        const auto answer = json::parse(r->body, nullptr, false);
        EXPECT_EQ(answer["ok"], false) << r->body;
        EXPECT_NE(r->body.find("cannot be kept"), std::string::npos) << r->body;
        EXPECT_EQ(p.state()["outputs"].size(), 1u) << "the output is made all the same";
    }
    std::filesystem::remove(not_a_folder);
}

}  // namespace
