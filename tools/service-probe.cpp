// A client of the local weight service for scripts (the Wine scenarios, soaks), on 127.0.0.1:
//   service-probe PORT TOKEN weight            prints /v1/weight's JSON on one line; exit 1 with
//                                              the status when it is not 200
//   service-probe PORT TOKEN stream N [AFTER]  prints every message of /v1/stream (from weighing
//                                              AFTER on, or from now) a line each; exit 0 after N
//                                              weighings, 1 when the stream ends or 30 s pass first
#include <civetweb.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {

int Usage() {
    std::fprintf(stderr, "usage: service-probe PORT TOKEN weight | service-probe PORT TOKEN stream N [AFTER]\n");
    return 2;
}

int Weight(int port, const std::string& token) {
    char error[256] = {};
    mg_connection* conn = mg_connect_client("127.0.0.1", port, 0, error, sizeof error);
    if (!conn) {
        std::printf("no connection: %s\n", error);
        return 1;
    }
    const std::string request = "GET /v1/weight HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nAuthorization: Bearer " + token + "\r\nConnection: close\r\n\r\n";
    mg_write(conn, request.data(), request.size());
    int status = 0;
    std::string body;
    if (mg_get_response(conn, error, sizeof error, 10000) >= 0) {
        status = mg_get_response_info(conn)->status_code;
        char buffer[4096];
        for (int got; (got = mg_read(conn, buffer, sizeof buffer)) > 0;) body.append(buffer, static_cast<std::size_t>(got));
    }
    mg_close_connection(conn);
    if (status != 200) {
        std::printf("HTTP %d %s\n", status, status ? body.c_str() : error);
        return 1;
    }
    const nlohmann::json answer = nlohmann::json::parse(body, nullptr, false);
    std::printf("%s\n", answer.is_discarded() ? body.c_str() : answer.dump().c_str());
    return 0;
}

struct Stream {
    std::mutex mutex;
    std::condition_variable changed;
    long weighings = 0;
    bool closed = false;
};

int OnMessage(mg_connection*, int flags, char* data, size_t length, void* user) {
    auto& stream = *static_cast<Stream*>(user);
    if ((flags & 0xf) != MG_WEBSOCKET_OPCODE_TEXT) return 1;
    const std::string text(data, length);
    const nlohmann::json message = nlohmann::json::parse(text, nullptr, false);
    std::lock_guard lock(stream.mutex);
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
    if (message.is_object() && message.contains("weighing")) ++stream.weighings;
    stream.changed.notify_all();
    return 1;
}

void OnClose(const mg_connection*, void* user) {
    auto& stream = *static_cast<Stream*>(user);
    std::lock_guard lock(stream.mutex);
    stream.closed = true;
    stream.changed.notify_all();
}

int Watch(int port, const std::string& token, long wanted, const char* after) {
    Stream stream;
    std::string path = "/v1/stream?token=" + token;
    if (after) path += std::string("&after=") + after;
    char error[256] = {};
    mg_connection* conn =
        mg_connect_websocket_client("127.0.0.1", port, 0, error, sizeof error, path.c_str(), nullptr, OnMessage, OnClose, &stream);
    if (!conn) {
        std::printf("no stream: %s\n", error);
        return 1;
    }
    bool done;
    {
        std::unique_lock lock(stream.mutex);
        done = stream.changed.wait_for(lock, std::chrono::seconds(30), [&] { return stream.weighings >= wanted || stream.closed; }) &&
               stream.weighings >= wanted;
        if (!done) std::printf("%s after %ld weighings\n", stream.closed ? "the stream ended" : "30 s passed", stream.weighings);
    }
    mg_close_connection(conn);
    return done ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return Usage();
    const int port = std::atoi(argv[1]);
    const std::string token = argv[2], what = argv[3];
    mg_init_library(0);
    int result;
    if (what == "weight" && argc == 4)
        result = Weight(port, token);
    else if (what == "stream" && (argc == 5 || argc == 6))
        result = Watch(port, token, std::atol(argv[4]), argc == 6 ? argv[5] : nullptr);
    else
        result = Usage();
    mg_exit_library();
    return result;
}
