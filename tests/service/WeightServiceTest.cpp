// The local weight service against a real server on a loopback port: what each endpoint
// answers, who is turned away and with which status, and the stream under load — 64 clients
// each get every weighing once and in order while one that stopped reading is dropped.
#include "WeightService.h"
#include "../support/ServiceClient.h"

#include "FrameDecoder.h"
#include "platform/ProfileFile.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

const std::string kToken = "5d1c0ffee5d1c0ffee5d1c0ffee5d1c0";

struct Server {
    explicit Server(service::Settings settings = Default()) {
        folder = (std::filesystem::temp_directory_path() / ("pesavo-service-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()))).string() + "/";
        std::filesystem::create_directories(folder);
        std::ofstream(folder + "live.html") << "<script id=texts type=application/json>{{TEXTS}}</script>";
        service = std::make_unique<service::WeightService>(settings, log, "run-1", service::PageFiles{folder});
        std::string why;
        started = service->Start(why);
        port = service->Port();
    }
    static service::Settings Default() {
        service::Settings s;
        s.port = 0;
        s.token = kToken;
        s.origins = {"https://shop.example"};
        s.hwProxy = true;
        return s;
    }
    service::WeighingLog log;
    std::string folder;
    std::unique_ptr<service::WeightService> service;
    bool started = false;
    int port = 0;
};

service::Weighing Row(std::size_t number, weighing::RowKind kind, double kg = 0, std::int8_t decimals = 3) {
    return {0, number, {kind, kg, decimals}, 1765357503, false};
}

TEST(WeightServiceTest, EachEndpointAnswersAndOnlyWhoMayAskIsLetIn) {
    Server s;
    ASSERT_TRUE(s.started);
    const int port = s.port;

    // Nothing yet.
    json weight = Get(port, "/v1/weight", kToken).Json();
    EXPECT_EQ(weight["run"], "run-1");
    EXPECT_EQ(weight["connected"], false);
    EXPECT_TRUE(weight["live"].is_null() && weight["last"].is_null() && weight["port"].is_null()) << weight;

    s.log.SetConnection({true, 5, "sics"});
    s.log.SetWords({weighing::kKg, u"Error", u"Overweight", R"({"Title":"</script><b>"})"});
    s.log.Add(Row(1, weighing::RowKind::Error));
    s.log.Add(Row(2, weighing::RowKind::Overweight, 555.5));
    s.log.Add(Row(3, weighing::RowKind::Weight, 1.25));
    s.log.SetLive(service::Live{0.73, 3, false});

    weight = Get(port, "/v1/weight", kToken).Json();
    EXPECT_EQ(weight["connected"], true);
    EXPECT_EQ(weight["port"], "COM5");
    EXPECT_EQ(weight["scale"], "sics");
    EXPECT_EQ(weight["live"], (json{{"kg", 0.73}, {"stable", false}}));
    const json last = weight["last"];
    EXPECT_EQ(last["seq"], 3);
    EXPECT_EQ(last["number"], 3);
    EXPECT_EQ(last["kind"], "weight");
    EXPECT_EQ(last["kg"], 1.25);
    EXPECT_EQ(last["text"], "1.250");
    EXPECT_EQ(last["unit"], "KG");
    EXPECT_EQ(last["maybe_repeat"], false);
    EXPECT_TRUE(std::regex_match(last["time"].get<std::string>(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)"))) << last["time"];

    // The weighings after one, one at a time; in the table's unit as it is now.
    s.log.SetWords({weighing::kLb, u"Error", u"Overweight", R"({"Title":"</script><b>"})"});
    json page = Get(port, "/v1/weighings?after=1&limit=1", kToken).Json();
    ASSERT_EQ(page["weighings"].size(), 1u) << page;
    EXPECT_EQ(page["weighings"][0]["kind"], "overweight");
    EXPECT_TRUE(page["weighings"][0]["kg"].is_null());
    EXPECT_EQ(page["weighings"][0]["text"], "Overweight");
    EXPECT_EQ(page["next"], 2);
    page = Get(port, "/v1/weighings?after=2", kToken).Json();
    EXPECT_EQ(page["weighings"][0]["unit"], "LB");
    EXPECT_EQ(page["weighings"][0]["text"], weighing::WeightText(1.25, 3, weighing::kLb));
    EXPECT_EQ(page["next"], 3);
    EXPECT_EQ(Get(port, "/v1/weighings?after=3", kToken).Json()["weighings"].size(), 0u);
    EXPECT_EQ(Get(port, "/v1/weighings?after=0", kToken).Json()["weighings"][0]["kg"], nullptr);
    // An overload on the pan is no weight to sell by.
    s.log.SetLive(service::Live{0, 3, true, true});
    EXPECT_EQ(Get(port, "/v1/weight", kToken).Json()["live"]["kg"], nullptr);

    // The point of sale's read, as its clients send it: no token.
    const auto scaleRead = [&](const std::string& headers = {}) {
        return Http(port, "POST /hw_proxy/scale_read HTTP/1.1\r\nHost: localhost:" + std::to_string(port) +
                              "\r\nContent-Type: application/json" + headers,
                    R"({"jsonrpc":"2.0","method":"call","params":{},"id":417})");
    };
    s.log.SetLive(service::Live{0.73, 3, false});
    HttpAnswer read = scaleRead();
    EXPECT_EQ(read.status, 200);
    EXPECT_EQ(read.Json(), (json{{"jsonrpc", "2.0"}, {"id", 417}, {"result", {{"weight", 1.25}, {"unit", "kg"}, {"info", "moving"}}}}));
    s.log.SetLive(service::Live{0.73, 3, true});
    EXPECT_EQ(scaleRead().Json()["result"], (json{{"weight", 0.73}, {"unit", "kg"}, {"info", "ok"}}));
    s.log.SetLive(service::Live{0, 3, true, true});
    EXPECT_EQ(scaleRead().Json()["result"], (json{{"weight", 0.0}, {"unit", "kg"}, {"info", "moving"}}));
    read = scaleRead("\r\nOrigin: https://shop.example");
    EXPECT_EQ(read.headers["Access-Control-Allow-Origin"], "https://shop.example");
    s.log.SetConnection({false, 0, ""});
    EXPECT_EQ(scaleRead().Json()["result"]["info"], "disconnected");

    // The live page, with its texts where no "</script>" in them can end the script early.
    HttpAnswer html = Http(port, "GET /?token=" + kToken + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(html.status, 200);
    EXPECT_NE(html.body.find(R"({"Title":"\u003c/script>\u003cb>"})"), std::string::npos) << html.body;
    EXPECT_NE(html.headers["Content-Security-Policy"].find("default-src 'none'"), std::string::npos);

    // Who is turned away, and how.
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port);
    struct Refusal {
        std::string request, body;
        int status;
    } refusals[] = {
        {"GET /v1/weight HTTP/1.1\r\n" + host, "", 401},
        {"GET /v1/weight HTTP/1.1\r\n" + host + "\r\nAuthorization: Bearer " + kToken + "x", "", 401},
        {"GET /v1/weight?token=" + kToken + " HTTP/1.1\r\n" + host, "", 401},  // (only the page and the stream take it so)
        {"GET /?token=nope HTTP/1.1\r\n" + host, "", 401},
        {"GET /v1/weight HTTP/1.1\r\n" + host + "\r\nAuthorization: Bearer " + kToken + "\r\nOrigin: https://evil.example", "", 403},
        {"OPTIONS /v1/weight HTTP/1.1\r\n" + host + "\r\nOrigin: https://evil.example\r\nAccess-Control-Request-Method: GET", "", 403},
        {"GET /v1/weight HTTP/1.1\r\nHost: rebind.evil.example:" + std::to_string(port) + "\r\nAuthorization: Bearer " + kToken, "", 403},
        {"GET /v1/weight HTTP/1.1\r\nHost: 127.0.0.1:1\r\nAuthorization: Bearer " + kToken, "", 403},
        {"POST /hw_proxy/scale_read HTTP/1.1\r\n" + host + "\r\nOrigin: https://evil.example", "{}", 403},
        {"GET /v1/weight HTTP/1.0", "", 400},  // (no Host)
        {"GET /v1/weighings?after=x HTTP/1.1\r\n" + host + "\r\nAuthorization: Bearer " + kToken, "", 400},
        {"GET /v1/weighings?limit=0 HTTP/1.1\r\n" + host + "\r\nAuthorization: Bearer " + kToken, "", 400},
        {"GET /v1/stream HTTP/1.1\r\n" + host + "\r\nAuthorization: Bearer " + kToken, "", 400},  // (not a WebSocket)
        {"POST /hw_proxy/scale_read HTTP/1.1\r\n" + host, "{\"jsonrpc\":", 400},
        {"POST /hw_proxy/scale_read HTTP/1.1\r\n" + host, "{\"id\":" + std::string(2000, '[') + std::string(2000, ']') + "}", 400},
        {"GET /v1/stream?token=nope HTTP/1.1\r\n" + host + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13", "", 401},
        {"GET /v1/nothing HTTP/1.1\r\n" + host + "\r\nAuthorization: Bearer " + kToken, "", 404},
        {"GET /../../etc/passwd HTTP/1.1\r\n" + host, "", 404},
        {"POST /v1/weight HTTP/1.1\r\n" + host + "\r\nAuthorization: Bearer " + kToken, "{}", 405},
        {"GET /hw_proxy/scale_read HTTP/1.1\r\n" + host, "", 405},
        {"POST /hw_proxy/scale_read HTTP/1.1\r\n" + host, std::string(70000, ' '), 413},
    };
    for (const Refusal& r : refusals) {
        const HttpAnswer a = Http(port, r.request, r.body);
        EXPECT_EQ(a.status, r.status) << r.request.substr(0, r.request.find('\r')) << " " << a.body;
        EXPECT_EQ(a.body.find(kToken), std::string::npos);
    }
    // A listed origin's preflight, and its call.
    HttpAnswer preflight = Http(port, "OPTIONS /v1/weight HTTP/1.1\r\n" + host +
                                          "\r\nOrigin: https://shop.example\r\nAccess-Control-Request-Method: GET");
    EXPECT_EQ(preflight.status, 204);
    EXPECT_EQ(preflight.headers["Access-Control-Allow-Origin"], "https://shop.example");
    EXPECT_NE(preflight.headers["Access-Control-Allow-Headers"].find("Authorization"), std::string::npos);
    EXPECT_EQ(Get(port, "/v1/weight", kToken, "Origin: https://shop.example").status, 200);
    EXPECT_EQ(Http(port, "GET /v1/weight HTTP/1.1\r\nHost: localhost:" + std::to_string(port) + "\r\nAuthorization: Bearer " + kToken).status, 200);

    // More than 64 connections: the next is told to come back, and the service is there again
    // once they go.
    std::vector<mg_connection*> idle;
    char error[256];
    for (int i = 0; i < 64; ++i)
        if (mg_connection* c = mg_connect_client("127.0.0.1", port, 0, error, sizeof error)) idle.push_back(c);
    ASSERT_EQ(idle.size(), 64u);
    int status = 0;
    for (int attempt = 0; attempt < 100 && status != 503; ++attempt) status = Get(port, "/v1/weight", kToken).status;
    EXPECT_EQ(status, 503);
    for (mg_connection* c : idle) mg_close_connection(c);
    for (int attempt = 0; attempt < 200 && status != 200; ++attempt, std::this_thread::sleep_for(10ms))
        status = Get(port, "/v1/weight", kToken).status;
    EXPECT_EQ(status, 200);
}

#ifndef _WIN32
// A stream client that reads nothing: the handshake sent, then silence, with the smallest
// receive buffer, so that the server's writes to it stall at once.
int StalledClient(int port, const std::string& token) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int small = 2048;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return -1;
    const std::string request = "GET /v1/stream?after=0&token=" + token + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                "Sec-WebSocket-Version: 13\r\n\r\n";
    return ::send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size()) ? fd : -1;
}
#endif

TEST(WeightServiceTest, SixtyFourStreamClientsGetEveryWeighingOnceAndInOrderAndOneThatStoppedReadingIsDropped) {
    Server s;
    ASSERT_TRUE(s.started);
    s.log.SetWords({weighing::kKg, u"Error", u"Overweight", "{}"});
    const std::string stream = "/v1/stream?after=0&token=" + kToken;
#ifndef _WIN32
    const int stalled = StalledClient(s.port, kToken);
    ASSERT_GE(stalled, 0);
#endif
    std::vector<std::unique_ptr<StreamClient>> clients;
    for (int i = 0; i < 63; ++i) {  // (64 with the stalled one)
        clients.push_back(std::make_unique<StreamClient>(s.port, stream));
        ASSERT_TRUE(clients.back()->Open()) << i << ": " << clients.back()->Error();
    }
    // The desk: weighings as fast as they come, the live weight changing under them.
#ifdef _WIN32
    // Under Wine every socket call is a round trip to its server process: on a busy machine 63
    // clients take up to a minute for a thousand weighings.
    constexpr int kWeighings = 1000;
#else
    constexpr int kWeighings = 3000;
#endif
    const auto started = std::chrono::steady_clock::now();
    s.log.SetConnection({true, 3, "frame6"});
    for (int i = 1; i <= kWeighings; ++i) {
        s.log.Add(Row(static_cast<std::size_t>(i), weighing::RowKind::Weight, i / 1000.0));
        if (i % 50 == 0) s.log.SetLive(service::Live{i / 1000.0, 3, i % 100 == 0});
    }
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const auto weighings = [](const std::vector<json>& messages) {
        return std::count_if(messages.begin(), messages.end(), [](const json& m) { return m.contains("weighing"); });
    };
    for (std::size_t c = 0; c < clients.size(); ++c) {
        ASSERT_TRUE(clients[c]->WaitFor([&](const std::vector<json>& m) { return weighings(m) >= kWeighings; }, 240s))
            << "client " << c << " got " << weighings(clients[c]->Messages());
    }
    // Each exactly once, in order, with its weight; the state first; the live weight at most ten
    // times a second.
    const auto wrote = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    for (std::size_t c = 0; c < clients.size(); ++c) {
        const std::vector<json> messages = clients[c]->Messages();
        ASSERT_TRUE(messages.front().contains("state")) << messages.front();
        std::uint64_t next = 1;
        int live = 0;
        for (const json& m : messages) {
            if (m.contains("live")) ++live;
            if (!m.contains("weighing")) continue;
            ASSERT_EQ(m["weighing"]["seq"], next) << "client " << c;
            EXPECT_EQ(m["weighing"]["number"], next);
            ++next;
        }
        EXPECT_EQ(next, kWeighings + 1u);
        EXPECT_LE(live, 10 * wrote + 2) << "client " << c;
    }
    std::printf("%d weighings to each of %zu clients: the desk's part %.3f s, every client had them all after %.3f s\n", kWeighings,
                clients.size(), seconds, wrote);
#ifndef _WIN32
    // The one that never read was let go while the others had every weighing: the server ended
    // its connection.
    const auto until = std::chrono::steady_clock::now() + 30s;
    while (s.service->StreamClients() > 63 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(s.service->StreamClients(), 63) << "the stalled client was never dropped";
    char buffer[65536];
    ssize_t got = 1;
    while (got > 0) got = ::recv(stalled, buffer, sizeof buffer, 0);
    ::close(stalled);
#endif
    // One that comes later with ?after= gets what it missed, and nothing before.
    StreamClient late(s.port, "/v1/stream?after=" + std::to_string(kWeighings - 3) + "&token=" + kToken);
    ASSERT_TRUE(late.WaitFor([&](const std::vector<json>& m) { return weighings(m) >= 3; }, 10s));
    s.log.Add(Row(kWeighings + 1, weighing::RowKind::Error));
    ASSERT_TRUE(late.WaitFor([&](const std::vector<json>& m) { return weighings(m) >= 4; }, 10s));
    std::vector<std::uint64_t> seqs;
    for (const json& m : late.Messages())
        if (m.contains("weighing")) seqs.push_back(m["weighing"]["seq"]);
    EXPECT_EQ(seqs, (std::vector<std::uint64_t>{kWeighings - 2, kWeighings - 1, kWeighings, kWeighings + 1}));
    EXPECT_EQ(s.service->StreamClients(), 64);
    s.service.reset();  // (the server ends every stream: the clients then close at once)
}

}  // namespace
