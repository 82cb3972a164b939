#pragma once
// The far end of a serial line, held by a test: what a scale would hold. On Linux a
// pseudo-terminal of the test's own; under Wine the line of tools/line-peer, linked as a COM port
// in the prefix and reached over loopback TCP (PESAVO_LINE_PEER=port, PESAVO_LINE_COM=n).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

class FarEnd {
public:
    FarEnd() {
#ifdef _WIN32
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        const char* peer = std::getenv("PESAVO_LINE_PEER");
        const char* com = std::getenv("PESAVO_LINE_COM");
        port = com ? std::atoi(com) : 0;
        device = "COM" + std::to_string(port);
        socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(peer ? std::atoi(peer) : 0));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (!peer || ::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ADD_FAILURE() << "no line-peer to connect to (PESAVO_LINE_PEER)";
            return;
        }
        const BOOL on = TRUE;
        ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        char ready = 0;
        ::recv(socket_, &ready, 1, 0);  // the line is linked and ready
#else
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        device = ptsname(master_);
        termios t{};
        const int slave = open(device.c_str(), O_RDWR | O_NOCTTY);
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        close(slave);
#endif
    }
    ~FarEnd() { Close(); }
    FarEnd(const FarEnd&) = delete;
    FarEnd& operator=(const FarEnd&) = delete;

    // The far end goes away, as an unplugged device.
    void Close() {
#ifdef _WIN32
        if (socket_ != INVALID_SOCKET) ::closesocket(socket_);
        socket_ = INVALID_SOCKET;
#else
        if (master_ >= 0) close(master_);
        master_ = -1;
#endif
    }
    void Send(const std::vector<std::uint8_t>& bytes) const {
#ifdef _WIN32
        ASSERT_EQ(::send(socket_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0),
                  static_cast<int>(bytes.size()));
#else
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
#endif
    }
    // Bytes that reach this end within `limit` (then until 50 ms pass without more).
    std::vector<std::uint8_t> Receive(std::chrono::milliseconds limit) const {
        std::vector<std::uint8_t> got;
        for (;;) {
#ifdef _WIN32
            WSAPOLLFD p{socket_, POLLRDNORM, 0};
            if (WSAPoll(&p, 1, static_cast<int>(limit.count())) != 1) break;
            char b[256];
            const int n = ::recv(socket_, b, sizeof b, 0);
#else
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(limit.count())) != 1) break;
            std::uint8_t b[256];
            const ssize_t n = read(master_, b, sizeof b);
#endif
            if (n <= 0) break;
            got.insert(got.end(), b, b + n);
            limit = std::chrono::milliseconds(50);
        }
        return got;
    }

    std::string device;  // what the port list maps the port to
#ifdef _WIN32
    int port = 0;  // COM number of the linked line
#else
    int port = 5;  // COM number the test's device map gives the line
#endif

private:
#ifdef _WIN32
    SOCKET socket_ = INVALID_SOCKET;
#else
    int master_ = -1;
#endif
};
