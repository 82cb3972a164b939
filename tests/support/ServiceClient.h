#pragma once
// A client of the local weight service for tests, over CivetWeb's own client: plain HTTP calls
// with the headers a test writes, and WebSocket stream clients that keep every message.
#include <civetweb.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct HttpAnswer {
    int status = 0;  // 0: no answer
    std::string body;
    std::map<std::string, std::string> headers;
    nlohmann::json Json() const { return nlohmann::json::parse(body, nullptr, false); }
};

// Sends `request` (its request line and headers, without the blank line that ends them) and
// `body` to 127.0.0.1:`port`.
inline HttpAnswer Http(int port, const std::string& request, const std::string& body = {}) {
    char error[256] = {};
    HttpAnswer answer;
    std::string text = request + "\r\n";
    if (!body.empty() && request.find("Content-Length") == std::string::npos) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    text += "Connection: close\r\n\r\n";
    mg_connection* conn = mg_connect_client("127.0.0.1", port, 0, error, sizeof error);
    if (!conn) return answer;
    mg_write(conn, text.data(), text.size());
    if (!body.empty()) mg_write(conn, body.data(), body.size());
    if (mg_get_response(conn, error, sizeof error, 10000) >= 0) {
        const mg_response_info* info = mg_get_response_info(conn);
        answer.status = info->status_code;
        for (int i = 0; i < info->num_headers; ++i) answer.headers[info->http_headers[i].name] = info->http_headers[i].value;
        char buffer[4096];
        for (int got; (got = mg_read(conn, buffer, sizeof buffer)) > 0;) answer.body.append(buffer, static_cast<std::size_t>(got));
    }
    mg_close_connection(conn);
    return answer;
}

inline HttpAnswer Get(int port, const std::string& path, const std::string& token, const std::string& more = {}) {
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port);
    if (!token.empty()) request += "\r\nAuthorization: Bearer " + token;
    if (!more.empty()) request += "\r\n" + more;
    return Http(port, request);
}

// One stream client: every message it was sent, parsed, in order.
class StreamClient {
public:
    // Without `keep` only the weighings' arrivals are kept (and the messages' count); with
    // `parse` false nothing is read of the messages but that they came.
    StreamClient(int port, const std::string& pathAndQuery, bool keep = true, bool parse = true) : keep_(keep), parse_(parse) {
        char error[256] = {};
        conn_ = mg_connect_websocket_client("127.0.0.1", port, 0, error, sizeof error, pathAndQuery.c_str(), nullptr, &StreamClient::Data,
                                            &StreamClient::Closed, this);
        if (!conn_) error_ = error;
    }
    ~StreamClient() {
        if (conn_) mg_close_connection(conn_);
    }
    bool Open() const { return conn_ != nullptr; }
    const std::string& Error() const { return error_; }
    std::vector<nlohmann::json> Messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    // Waits until `done(messages)` holds; false when `wait` passed first.
    template <class Done>
    bool WaitFor(Done done, std::chrono::milliseconds wait) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, wait, [&] { return done(messages_) || closed_; }) && done(messages_);
    }
    bool Closed() const {
        std::lock_guard lock(mutex_);
        return closed_;
    }
    std::size_t Count() const {
        std::lock_guard lock(mutex_);
        return count_;
    }
    // Each weighing's seq and when it came.
    std::vector<std::pair<std::size_t, std::chrono::steady_clock::time_point>> Arrivals() const {
        std::lock_guard lock(mutex_);
        return arrivals_;
    }

private:
    static int Data(mg_connection*, int flags, char* data, size_t length, void* self) {
        auto& me = *static_cast<StreamClient*>(self);
        if ((flags & 0xf) == MG_WEBSOCKET_OPCODE_TEXT) {
            if (!me.parse_) {
                std::lock_guard lock(me.mutex_);
                ++me.count_;
                return 1;
            }
            const auto at = std::chrono::steady_clock::now();
            nlohmann::json m = nlohmann::json::parse(std::string(data, length), nullptr, false);
            std::lock_guard lock(me.mutex_);
            if (m.is_object() && m.contains("weighing")) me.arrivals_.emplace_back(m["weighing"]["seq"].get<std::size_t>(), at);
            ++me.count_;
            if (me.keep_) me.messages_.push_back(std::move(m));
            me.changed_.notify_all();
        }
        return 1;
    }
    static void Closed(const mg_connection*, void* self) {
        auto& me = *static_cast<StreamClient*>(self);
        std::lock_guard lock(me.mutex_);
        me.closed_ = true;
        me.changed_.notify_all();
    }

    const bool keep_, parse_;
    std::size_t count_ = 0;
    mg_connection* conn_ = nullptr;
    std::string error_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<nlohmann::json> messages_;
    std::vector<std::pair<std::size_t, std::chrono::steady_clock::time_point>> arrivals_;
    bool closed_ = false;
};
