#pragma once
// A scale behind a network serial device server: the raw TCP port the server gives the scale's
// line, opened as "tcp://HOST:PORT". To the engine it is a serial line: the server connecting or
// refusing stands for the device opening or not, the server closing or vanishing for the device
// going away. POSIX sockets (TcpTransport_posix.cpp) or Winsock (TcpTransport_win32.cpp).
#include "Transport.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// Whether `place` names a network serial server (the scheme "tcp://", in any case).
bool IsTcpPlace(const std::string& place);

// Splits "tcp://HOST:PORT" into the host (a name, an IPv4 address, or an IPv6 address written in
// brackets, handed back without them) and the port (1..65535); false for anything else.
bool ParseTcpPlace(const std::string& place, std::string& host, std::uint16_t& port);

class TcpTransport : public Transport {
public:
    // How long a connection may take before the open fails; a search tries every port in turn.
    static constexpr int kConnectLimitMs = 1500;

    TcpTransport();
    ~TcpTransport() override;
    TcpTransport(const TcpTransport&) = delete;
    TcpTransport& operator=(const TcpTransport&) = delete;

    const char* Kind() const override { return "tcp"; }
    // Connects to `place`; false with `error` (EINVAL for a place that is not "tcp://HOST:PORT",
    // else the system's code: refused, unreachable, timed out, unknown host).
    bool Open(const std::string& place, int& error) override;
    // The server sets the line itself: nothing to apply on a raw connection.
    const char* Configure(const LineSettings&) override { return nullptr; }
    void Close() override;
    bool IsOpen() const override;
    // Drops the received bytes not yet read (what has been sent is the network's).
    void Purge() override;
    // The server closing the connection, or a failed connection, is −1 (the line is gone).
    long Read(std::uint8_t* out, std::size_t size) override;
    bool Write(const std::uint8_t* data, std::size_t size) override;
    int WaitAny(const WaitEvent& stop, const WaitEvent& write, bool watchData, int timeoutMs = -1) const override;

private:
#ifdef _WIN32
    std::uintptr_t socket_;  // a SOCKET; INVALID_SOCKET when closed
    void* network_ = nullptr;  // the event WSAEventSelect signals for data and for the close
#else
    int fd_ = -1;
#endif
};

}  // namespace platform
