#pragma once
// A network serial server as a test holds it: one listening TCP port on 127.0.0.1 (chosen by the
// system) and the one connection accepted on it, to send to, receive from and close.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

class LoopbackServer {
public:
#ifdef _WIN32
    using Socket = SOCKET;
    static constexpr Socket kNone = INVALID_SOCKET;
#else
    using Socket = int;
    static constexpr Socket kNone = -1;
#endif

    LoopbackServer() {
#ifdef _WIN32
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
#endif
        listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "no loopback listener";
            return;
        }
        port = ntohs(address.sin_port);
    }
    ~LoopbackServer() {
        CloseClient();
        CloseListener();
#ifdef _WIN32
        ::WSACleanup();
#endif
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::string Place() const { return "tcp://127.0.0.1:" + std::to_string(port); }

    // Takes the connection a client has made (the listener queues it as the client connects).
    bool Accept(std::chrono::milliseconds limit = std::chrono::seconds(2)) {
        if (!Ready(listener_, limit)) return false;
        client_ = ::accept(listener_, nullptr, nullptr);
        return client_ != kNone;
    }
    void Send(const std::vector<std::uint8_t>& bytes) const {
        ASSERT_EQ(::send(client_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0),
                  static_cast<int>(bytes.size()));
    }
    // Bytes that reach the server within `limit` (then until 50 ms pass without more).
    std::vector<std::uint8_t> Receive(std::chrono::milliseconds limit) const {
        std::vector<std::uint8_t> got;
        while (Ready(client_, limit)) {
            char b[256];
            const auto n = ::recv(client_, b, sizeof b, 0);
            if (n <= 0) break;
            got.insert(got.end(), b, b + n);
            limit = std::chrono::milliseconds(50);
        }
        return got;
    }
    // The server ends the connection, as a device server that is switched off or reset.
    void CloseClient() { Close(client_); }
    // Nothing listens on the port any more: a connection to it is refused.
    void CloseListener() { Close(listener_); }

    int port = 0;

private:
    static bool Ready(Socket s, std::chrono::milliseconds limit) {
#ifdef _WIN32
        WSAPOLLFD p{s, POLLRDNORM, 0};
        return ::WSAPoll(&p, 1, static_cast<int>(limit.count())) == 1;
#else
        pollfd p{s, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(limit.count())) == 1;
#endif
    }
    static void Close(Socket& s) {
        if (s == kNone) return;
#ifdef _WIN32
        ::closesocket(s);
#else
        ::close(s);
#endif
        s = kNone;
    }

    Socket listener_ = kNone;
    Socket client_ = kNone;
};
