#include "WeightService.h"

#include "ServiceJson.h"

#include "platform/ProfileFile.h"
#include "platform/Utf.h"

#include <civetweb.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace service {

namespace {

using namespace std::chrono_literals;

constexpr int kMaxConnections = 64;
constexpr long long kMaxBody = 64 * 1024;
constexpr std::size_t kMaxLimit = 10000;
constexpr auto kLiveEvery = 100ms;  // at most ten live weights a second to a client
// Weighings that come in a burst go to a client together, at most this often: a weighing alone
// leaves at once, but a scale that sends as fast as it is answered does not wake every client's
// sender for every weighing (which would take the cores from the desk).
constexpr auto kBurstEvery = 10ms;
constexpr int kWriteTimeoutMs = 10000;  // a client that takes no bytes that long is dropped (a busy machine may hold a reader for seconds)
constexpr int kStreamBuffer = 128 * 1024;  // what the system holds for a stream client that is not reading

bool SameToken(const std::string& shown, const std::string& token) {
    // Every byte compared, whatever the first difference: the time tells nothing.
    unsigned difference = shown.size() == token.size() ? 0u : 1u;
    for (std::size_t i = 0; i < shown.size(); ++i) difference |= static_cast<unsigned char>(shown[i] ^ token[i % token.size()]);
    return difference == 0;
}

std::optional<std::uint64_t> Number(const std::string& text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The service's threads give way to the desk's: a flood of clients costs the scale's answers
// nothing but the time the desk leaves.
void GiveWay() {
#ifdef _WIN32
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
#else
    // (a thread's own niceness, on Linux; elsewhere the call changes nothing it may not)
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 10);
#endif
}

bool IsLoopback(const std::string& address) { return address.rfind("127.", 0) == 0 || address == "::1"; }

// `name` is an IPv4 address written out (a name would be one DNS could rebind).
bool IsAddress(const std::string& name) {
    int parts = 0;
    for (std::size_t at = 0; at <= name.size(); ++parts) {
        const std::size_t dot = std::min(name.find('.', at), name.size());
        const auto value = Number(name.substr(at, dot - at));
        if (!value || *value > 255 || dot - at > 3) return false;
        at = dot + 1;
    }
    return parts == 4;
}

}  // namespace

// ---- the server ----

struct Client {
    mg_connection* conn = nullptr;
    int socket = -1;           // its socket, where it could be found (POSIX)
    std::uint64_t cursor = 0;  // the last weighing it was sent
    std::thread sender;
    std::atomic<bool> stop{false};
};

struct WeightService::Impl {
    Settings settings;
    WeighingLog& log;
    const std::string run;
    PageFiles page;
    std::string html, script, style;
    mg_context* context = nullptr;
    std::atomic<int> port{0};  // the one listened on (settings.port, or the system's choice for 0)
    std::atomic<int> connections{0};
    std::atomic<int> clients{0};
    // The stream's message of each recent weighing, made once for every client that sends it.
    struct Made {
        std::uint64_t seq = 0, words = 0;
        std::shared_ptr<const std::string> text;
    };
    std::mutex madeMutex;
    std::array<Made, 1024> made;

    Impl(Settings s, WeighingLog& l, std::string r, PageFiles p)
        : settings(std::move(s)), log(l), run(std::move(r)), page(std::move(p)) {}

    // ---- answers ----
    struct Reply {
        int status = 200;
        std::string type = "application/json";
        std::string body;
        std::vector<std::pair<std::string, std::string>> headers;
    };

    static Reply Error(int status, const char* why) {
        return {status, "application/json", json{{"error", why}}.dump(), {}};
    }

    std::string Header(const mg_connection* conn, const char* name) const {
        const char* value = mg_get_header(conn, name);
        return value ? value : "";
    }

    std::string Query(const mg_connection* conn, const char* name, bool& bad) const {
        const mg_request_info* info = mg_get_request_info(conn);
        if (!info->query_string) return {};
        char value[512];
        const int got = mg_get_var(info->query_string, std::strlen(info->query_string), name, value, sizeof value);
        if (got == -2) bad = true;  // (longer than any value it could mean)
        return got >= 0 ? std::string(value, static_cast<std::size_t>(got)) : std::string();
    }

    // The origins of the service itself: its own page's calls (by the name it was reached by,
    // which HostAllowed has checked).
    bool OwnOrigin(const std::string& origin, const std::string& host) const {
        if (!host.empty() && origin.size() == host.size() + 7 && mg_strcasecmp(origin.c_str(), ("http://" + host).c_str()) == 0) return true;
        const std::string suffix = ":" + std::to_string(port.load());
        for (const std::string& name : {std::string("127.0.0.1"), std::string("localhost"), settings.listen})
            if (origin == "http://" + name + suffix) return true;
        return false;
    }

    bool ListedOrigin(const std::string& origin) const {
        return std::find(settings.origins.begin(), settings.origins.end(), origin) != settings.origins.end();
    }

    // The Host a caller names must be this service by address or by the loopback's name.
    bool HostAllowed(const std::string& host) const {
        std::string name = host, named;
        if (const std::size_t colon = host.rfind(':'); colon != std::string::npos && host.find(']') == std::string::npos) {
            name = host.substr(0, colon);
            named = host.substr(colon + 1);
        } else if (host.rfind("[::1]", 0) == 0) {
            if (host.size() > 5 && host[5] != ':') return false;
            name = "[::1]";
            named = host.size() > 6 ? host.substr(6) : "";
        }
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (!named.empty() && named != std::to_string(port.load())) return false;
        if (name == "localhost" || name == "[::1]") return true;
        if (!IsAddress(name)) return false;
        return settings.listen == "0.0.0.0" || name == settings.listen || IsLoopback(name);
    }

    bool Authorized(const mg_connection* conn, bool queryToo, bool& badQuery) const {
        const std::string header = Header(conn, "Authorization");
        if (header.rfind("Bearer ", 0) == 0) return SameToken(header.substr(7), settings.token);
        if (!queryToo) return false;
        const std::string shown = Query(conn, "token", badQuery);
        return !shown.empty() && SameToken(shown, settings.token);
    }

    Reply Weight() const {
        const Words words = log.CurrentWords();
        json answer = StateJson(run, log.CurrentConnection());
        answer["live"] = LiveJson(log.CurrentLive());
        const auto last = log.Last();
        answer["last"] = last ? WeighingJson(*last, words) : json();
        return {200, "application/json", answer.dump(), {}};
    }

    Reply Weighings(const mg_connection* conn) const {
        bool bad = false;
        const std::string afterText = Query(conn, "after", bad), limitText = Query(conn, "limit", bad);
        const auto after = afterText.empty() ? std::optional<std::uint64_t>(0) : Number(afterText);
        const auto limit = limitText.empty() ? std::optional<std::uint64_t>(1000) : Number(limitText);
        if (bad || !after || !limit || *limit == 0 || *limit > kMaxLimit) return Error(400, "after and limit are whole numbers, limit 1 to 10000");
        const Words words = log.CurrentWords();
        std::uint64_t missed = 0;
        const std::vector<Weighing> found = log.After(*after, static_cast<std::size_t>(*limit), &missed);
        json list = json::array();
        for (const Weighing& w : found) list.push_back(WeighingJson(w, words));
        const std::uint64_t next = found.empty() ? *after : found.back().seq;
        // `missed`: how many after `after` are no longer kept (a client that was away too long).
        return {200, "application/json", json{{"weighings", std::move(list)}, {"next", next}, {"missed", missed}}.dump(), {}};
    }

    // The point-of-sale boxes' read: the last weighing, or the live weight once it is stable.
    Reply ScaleRead(const std::string& body) const {
        const json request = json::parse(body, nullptr, false);
        if (request.is_discarded() || !request.is_object()) return Error(400, "the body is not a JSON-RPC request");
        // The id is answered as it came: only what JSON-RPC allows one to be (a deep array would
        // take a deep recursion to write back).
        const auto given = request.find("id");
        if (given != request.end() && !given->is_null() && !given->is_string() && !given->is_number())
            return Error(400, "a JSON-RPC id is a string, a number or null");
        const json id = given != request.end() ? *given : json();
        const Connection connection = log.CurrentConnection();
        const auto live = log.CurrentLive();
        const auto last = log.Last();
        json weight = 0.0;
        if (last && last->reading.kind == weighing::RowKind::Weight) weight = Kg(last->reading.kg, last->reading.decimals);
        const char* info = "ok";
        if (!connection.connected)
            info = "disconnected";
        else if (live && live->overload) {
            weight = 0.0;  // (no weight to sell by)
            info = "moving";
        } else if (live && live->stable)
            weight = Kg(live->kg, live->decimals);
        else if (live)
            info = "moving";
        return {200, "application/json",
                json{{"jsonrpc", "2.0"}, {"id", id}, {"result", {{"weight", weight}, {"unit", "kg"}, {"info", info}}}}.dump(), {}};
    }

    Reply Page() const {
        if (html.empty()) return Error(404, "the live page is not installed");
        std::string texts = log.CurrentWords().pageTexts;
        // Inside a script element: no "</script>" can end it early.
        for (std::size_t at = 0; (at = texts.find('<', at)) != std::string::npos;) texts.replace(at, 1, "\\u003c");
        std::string body = html;
        if (const std::size_t at = body.find("{{TEXTS}}"); at != std::string::npos) body.replace(at, 9, texts);
        return {200, "text/html; charset=utf-8", std::move(body), {}};
    }

    void Send(mg_connection* conn, Reply reply, const std::string& origin) const {
        if (mg_response_header_start(conn, reply.status) != 0) {
            // A request the library took for a WebSocket handshake (refused here): its status
            // line and headers written as they are, and the connection ends.
            mg_printf(conn, "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %s\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n",
                      reply.status, mg_get_response_code_text(conn, reply.status), reply.type.c_str(), std::to_string(reply.body.size()).c_str());
            mg_write(conn, reply.body.data(), reply.body.size());
            return;
        }
        mg_response_header_add(conn, "Content-Type", reply.type.c_str(), -1);
        mg_response_header_add(conn, "Content-Length", std::to_string(reply.body.size()).c_str(), -1);
        mg_response_header_add(conn, "Cache-Control", "no-store", -1);
        mg_response_header_add(conn, "X-Content-Type-Options", "nosniff", -1);
        // The page's address holds the token: it goes nowhere else.
        mg_response_header_add(conn, "Referrer-Policy", "no-referrer", -1);
        if (reply.type.rfind("text/html", 0) == 0)
            mg_response_header_add(conn, "Content-Security-Policy",
                                   "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
                                   "img-src 'self'; frame-ancestors 'none'",
                                   -1);
        if (!origin.empty() && ListedOrigin(origin)) {
            mg_response_header_add(conn, "Access-Control-Allow-Origin", origin.c_str(), -1);
            mg_response_header_add(conn, "Vary", "Origin", -1);
        }
        for (const auto& [name, value] : reply.headers) mg_response_header_add(conn, name.c_str(), value.c_str(), -1);
        mg_response_header_send(conn);
        if (std::strcmp(mg_get_request_info(conn)->request_method, "HEAD") != 0) mg_write(conn, reply.body.data(), reply.body.size());
    }

    // Every request comes here first. Returns 0 only for a stream client let through to the
    // WebSocket handshake.
    int Request(mg_connection* conn) {
        const mg_request_info* info = mg_get_request_info(conn);
        const std::string method = info->request_method ? info->request_method : "";
        const std::string path = info->local_uri ? info->local_uri : "";
        const std::string origin = Header(conn, "Origin");
        const auto answer = [&](Reply reply) {
            Send(conn, std::move(reply), origin);
            return 1;
        };
        if (connections.load() > kMaxConnections) return answer(Error(503, "too many connections"));
        const std::string host = Header(conn, "Host");
        if (host.empty()) return answer(Error(400, "no Host"));
        if (!HostAllowed(host)) return answer(Error(403, "this service is not reached by that name"));
        const bool hwProxy = settings.hwProxy && path == "/hw_proxy/scale_read";
        if (!origin.empty() && !OwnOrigin(origin, host) && !ListedOrigin(origin)) return answer(Error(403, "origin not allowed"));
        // A caller elsewhere without a listed origin never reads the point of sale's weight.
        if (hwProxy && !IsLoopback(info->remote_addr) && !ListedOrigin(origin)) return answer(Error(403, "only on this computer"));

        struct Route {
            const char* path;
            const char* method;
            bool token;
        };
        static constexpr Route routes[] = {{"/", "GET", true},           {"/live.js", "GET", false}, {"/live.css", "GET", false},
                                           {"/v1/weight", "GET", true},  {"/v1/weighings", "GET", true},
                                           {"/v1/stream", "GET", true},  {"/hw_proxy/scale_read", "POST", false}};
        const Route* route = nullptr;
        for (const Route& r : routes)
            if (path == r.path && (std::strcmp(r.path, "/hw_proxy/scale_read") != 0 || settings.hwProxy)) route = &r;
        if (!route) return answer(Error(404, "no such path"));
        if (method == "OPTIONS") {
            // A browser's preflight: only for the listed origins.
            if (origin.empty() || !ListedOrigin(origin)) return answer(Error(403, "origin not allowed"));
            Reply reply{204, "text/plain", "", {}};
            reply.headers = {{"Access-Control-Allow-Methods", std::string(route->method) + ", OPTIONS"},
                             {"Access-Control-Allow-Headers", "Authorization, Content-Type"},
                             {"Access-Control-Max-Age", "600"}};
            return answer(std::move(reply));
        }
        const bool head = method == "HEAD" && std::strcmp(route->method, "GET") == 0;
        if (method != route->method && !head) {
            Reply reply = Error(405, "method not allowed");
            reply.headers = {{"Allow", std::string(route->method) + ", OPTIONS"}};
            return answer(std::move(reply));
        }
        if (info->content_length > kMaxBody) return answer(Error(413, "the body is over 64 KiB"));
        bool badQuery = false;
        if (route->token && !Authorized(conn, path == "/" || path == "/v1/stream", badQuery)) {
            Reply reply = Error(401, "token missing or wrong");
            reply.headers = {{"WWW-Authenticate", "Bearer"}};
            return answer(std::move(reply));
        }
        if (badQuery) return answer(Error(400, "malformed query"));

        if (path == "/v1/stream") {
            const char* upgrade = mg_get_header(conn, "Upgrade");
            if (!upgrade || mg_strcasecmp(upgrade, "websocket") != 0 || !mg_get_header(conn, "Sec-WebSocket-Key"))
                return answer(Error(400, "the stream is a WebSocket"));
            const std::string after = Query(conn, "after", badQuery);
            if (badQuery || (!after.empty() && !Number(after))) return answer(Error(400, "after is a whole number"));
            return 0;
        }
        if (path == "/v1/weight") return answer(Weight());
        if (path == "/v1/weighings") return answer(Weighings(conn));
        if (path == "/") return answer(Page());
        if (path == "/live.js") return answer({script.empty() ? 404 : 200, "text/javascript; charset=utf-8", script, {}});
        if (path == "/live.css") return answer({style.empty() ? 404 : 200, "text/css; charset=utf-8", style, {}});
        // The point-of-sale call: its body, at most 64 KiB whatever the header said.
        std::string body;
        char buffer[8192];
        for (int got; (got = mg_read(conn, buffer, sizeof buffer)) > 0;) {
            body.append(buffer, static_cast<std::size_t>(got));
            if (static_cast<long long>(body.size()) > kMaxBody) return answer(Error(413, "the body is over 64 KiB"));
        }
        return answer(ScaleRead(body));
    }

    // ---- the stream ----

    static bool Write(mg_connection* conn, const std::string& text) {
        return mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_TEXT, text.data(), text.size()) > 0;
    }
    static bool Write(mg_connection* conn, const json& message) { return Write(conn, message.dump()); }

    std::shared_ptr<const std::string> WeighingMessage(const Weighing& w, const Words& words) {
        Made& slot = made[w.seq % made.size()];
        {
            std::lock_guard lock(madeMutex);
            if (slot.seq == w.seq && slot.words == words.version) return slot.text;
        }
        auto text = std::make_shared<const std::string>(json{{"weighing", WeighingJson(w, words)}}.dump());
        std::lock_guard lock(madeMutex);
        slot = {w.seq, words.version, text};
        return text;
    }

    void Feed(Client& client) {
        GiveWay();
        Versions seen = log.Now();
        seen.seq = client.cursor;
        bool ok = Write(client.conn, {{"state", StateJson(run, log.CurrentConnection())}});
        std::optional<Live> liveSent = log.CurrentLive();
        if (ok && liveSent) ok = Write(client.conn, {{"live", LiveJson(liveSent)}});
        auto nextLive = std::chrono::steady_clock::now() + kLiveEvery;
        auto lastBurst = std::chrono::steady_clock::now() - kBurstEvery;
        bool livePending = false;  // a change of the live weight waits for its turn
        while (ok && !client.stop) {
            const auto until = livePending ? nextLive : std::chrono::steady_clock::now() + kLiveEvery;
            const Versions now = log.Wait(seen, until);
            if (client.stop) break;
            if (now.connection != seen.connection) {
                seen.connection = now.connection;
                ok = Write(client.conn, {{"state", StateJson(run, log.CurrentConnection())}});
            }
            if (seen.seq < now.seq) {
                const auto at = std::chrono::steady_clock::now();
                if (at < lastBurst + kBurstEvery) std::this_thread::sleep_until(lastBurst + kBurstEvery);
                lastBurst = std::chrono::steady_clock::now();
            }
            const std::uint64_t newest = log.Now().seq;
            while (ok && seen.seq < newest) {
                // A client so far behind that what it missed is no longer kept cannot be given
                // every weighing: it is dropped (it may come again with ?after=).
                std::uint64_t missed = 0;
                const Words words = log.CurrentWords();
                const std::vector<Weighing> next = log.After(seen.seq, 256, &missed);
                if (missed > 0 || next.empty()) {
                    ok = false;
                    break;
                }
                for (const Weighing& w : next) {
                    if (!(ok = Write(client.conn, *WeighingMessage(w, words)))) break;
                    seen.seq = client.cursor = w.seq;
                }
            }
            if (now.live != seen.live) {
                seen.live = now.live;
                livePending = true;
            }
            if (ok && livePending && std::chrono::steady_clock::now() >= nextLive) {
                livePending = false;
                if (const auto live = log.CurrentLive(); live != liveSent) {
                    liveSent = live;
                    ok = Write(client.conn, {{"live", LiveJson(live)}});
                    nextLive = std::chrono::steady_clock::now() + kLiveEvery;
                }
            }
        }
        if (!ok && !client.stop) {
            // Gone, too slow, or too far behind: the connection ends (its last bytes stay unsent
            // where it does not read them: the server's thread for it ends at once).
#ifndef _WIN32
            if (client.socket >= 0) ::shutdown(client.socket, SHUT_RDWR);
#endif
            mg_websocket_write(client.conn, MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, "\x03\xe8", 2);
        }
    }
};

namespace {

#ifndef _WIN32
// The socket of a connection: the server library keeps it to itself, so it is found by its two
// ends. (-1 when not found.)
int SocketOf(const mg_connection* conn, int servicePort) {
    const mg_request_info* info = mg_get_request_info(conn);
    rlimit limit{};
    const int last = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 65536)) : 1024;
    for (int fd = 0; fd < last; ++fd) {
        sockaddr_in peer{}, local{};
        socklen_t size = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0 || peer.sin_family != AF_INET) continue;
        size = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) continue;
        if (ntohs(peer.sin_port) == info->remote_port && ntohs(local.sin_port) == servicePort) return fd;
    }
    return -1;
}
#endif

WeightService::Impl& Of(const mg_connection* conn) {
    return *static_cast<WeightService::Impl*>(mg_get_user_context_data(conn));
}

int StreamConnect(const mg_connection* conn, void*) {
    auto* client = new Client;
    bool bad = false;
    const std::string after = Of(conn).Query(conn, "after", bad);
    // From `after`, or from now on; never beyond now (a seq of an earlier run, say).
    const std::uint64_t now = Of(conn).log.Now().seq;
    const auto seq = Number(after);
    client->cursor = seq ? std::min(*seq, now) : now;
    mg_set_user_connection_data(conn, client);
    return 0;
}

void StreamReady(mg_connection* conn, void*) {
    auto* client = static_cast<Client*>(mg_get_user_connection_data(conn));
    if (!client) return;
    client->conn = conn;
#ifndef _WIN32
    // A client that stops reading costs this much of the system's memory before it is dropped,
    // not the megabytes a socket may grow to.
    client->socket = SocketOf(conn, Of(conn).port.load());
    if (client->socket >= 0) ::setsockopt(client->socket, SOL_SOCKET, SO_SNDBUF, &kStreamBuffer, sizeof kStreamBuffer);
#endif
    ++Of(conn).clients;
    client->sender = std::thread([conn, client] { Of(conn).Feed(*client); });
}

int StreamData(mg_connection*, int, char*, size_t, void*) { return 1; }  // (a client has nothing to say)

void StreamClose(const mg_connection* conn, void*) {
    auto* client = static_cast<Client*>(mg_get_user_connection_data(conn));
    if (!client) return;
    client->stop = true;
    if (client->sender.joinable()) {
        client->sender.join();
        --Of(conn).clients;
    }
    mg_set_user_connection_data(conn, nullptr);
    delete client;
}

}  // namespace

WeightService::WeightService(Settings settings, WeighingLog& log, std::string run, PageFiles page)
    : impl_(std::make_unique<Impl>(std::move(settings), log, std::move(run), std::move(page))) {}

WeightService::~WeightService() {
    if (impl_->context) mg_stop(impl_->context);  // (closes every client; their senders end first)
}

bool WeightService::Start(std::string& why) {
    Impl& s = *impl_;
    s.html = platform::ReadFileBytes(s.page.folder + "live.html");
    s.script = platform::ReadFileBytes(s.page.folder + "live.js");
    s.style = platform::ReadFileBytes(s.page.folder + "live.css");
    static std::once_flag library;
    std::call_once(library, [] { mg_init_library(0); });
    mg_callbacks callbacks{};
    callbacks.begin_request = [](mg_connection* conn) { return Of(conn).Request(conn); };
    callbacks.log_message = [](const mg_connection*, const char*) { return 1; };  // (a request's line holds its token)
    callbacks.init_thread = [](const mg_context*, int) -> void* {
        GiveWay();
        return nullptr;
    };
    callbacks.init_connection = [](const mg_connection* conn, void** data) {
        ++Of(conn).connections;
        *data = nullptr;
        return 0;
    };
    callbacks.connection_closed = [](const mg_connection* conn) { --Of(conn).connections; };
    s.port = s.settings.port;
    const std::string ports = s.settings.listen + ":" + std::to_string(s.settings.port);
    const std::string threads = std::to_string(kMaxConnections + 16);
    const std::string timeout = std::to_string(kWriteTimeoutMs);
    const char* options[] = {"listening_ports", ports.c_str(), "num_threads", threads.c_str(), "request_timeout_ms", timeout.c_str(),
                             "websocket_timeout_ms", "30000", "enable_websocket_ping_pong", "yes", "enable_keep_alive", "yes",
                             "keep_alive_timeout_ms", "5000", "max_request_size", "16384", nullptr};
    char error[256] = {};
    mg_init_data init{};
    init.callbacks = &callbacks;
    init.user_data = &s;
    init.configuration_options = options;
    mg_error_data errors{};
    errors.text = error;
    errors.text_buffer_size = sizeof error;
    s.context = mg_start2(&init, &errors);
    if (!s.context) {
        why = error[0] ? error : "cannot listen on " + ports;
        return false;
    }
    if (s.settings.port == 0) {
        // Any free port (tests): the one the system gave is the service's from now on.
        mg_server_port listening[4] = {};
        if (mg_get_server_ports(s.context, 4, listening) > 0) s.port = listening[0].port;
    }
    mg_set_websocket_handler(s.context, "/v1/stream", StreamConnect, StreamReady, StreamData, StreamClose, nullptr);
    return true;
}

int WeightService::Port() const { return impl_->port.load(); }

std::string WeightService::PageAddress() const {
    const std::string host = impl_->settings.listen == "0.0.0.0" ? "127.0.0.1" : impl_->settings.listen;
    return "http://" + host + ":" + std::to_string(impl_->port.load()) + "/?token=" + impl_->settings.token;
}

int WeightService::StreamClients() const { return impl_->clients.load(); }

}  // namespace service
