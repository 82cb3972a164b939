// The network serial server over Winsock: a non-blocking socket, connected within a limit, whose
// data and close signal an event (WSAEventSelect) that is waited on with the engine's events.
#include "TcpTransport.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <climits>

#ifndef TCP_MAXRT
#define TCP_MAXRT 5  // (ws2ipdef.h of the Windows SDK; not in every mingw-w64)
#endif

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Winsock is started once for the process, by whichever thread first needs it.
bool WinsockStarted() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

SOCKET AsSocket(std::uintptr_t s) { return static_cast<SOCKET>(s); }

// Whether `s` becomes writable (connected, with `connecting`) or fails within `ms`: 0, or the
// reason.
int WaitWritable(SOCKET s, int ms, bool connecting) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    if (connecting) FD_SET(s, &failed);  // (where a failed connect shows)
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    const int n = ::select(0, nullptr, &writable, &failed, &limit);
    if (n == SOCKET_ERROR) return ::WSAGetLastError();
    if (n == 0) return WSAETIMEDOUT;
    int error = 0;
    int length = sizeof error;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) return ::WSAGetLastError();
    return connecting && FD_ISSET(s, &failed) && error == 0 ? WSAECONNREFUSED : error;
}

SOCKET NewSocket(const addrinfoW& a) {
    SOCKET s = ::WSASocketW(a.ai_family, a.ai_socktype, a.ai_protocol, nullptr, 0,
                            WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
        // (a system from before the flag: the handle is made non-inheritable afterwards)
        s = ::WSASocketW(a.ai_family, a.ai_socktype, a.ai_protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (s != INVALID_SOCKET) ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    }
    return s;
}

}  // namespace

TcpTransport::TcpTransport() : socket_(INVALID_SOCKET), network_(::WSACreateEvent()) {}

TcpTransport::~TcpTransport() {
    Close();
    if (network_) ::WSACloseEvent(network_);
}

bool TcpTransport::IsOpen() const { return AsSocket(socket_) != INVALID_SOCKET; }

bool TcpTransport::Open(const std::string& place, int& error) {
    Close();
    std::string host;
    std::uint16_t port = 0;
    if (!ParseTcpPlace(place, host, port)) {
        error = WSAEINVAL;
        return false;
    }
    if (!WinsockStarted()) {
        error = WSANOTINITIALISED;
        return false;
    }
    const auto end = Clock::now() + std::chrono::milliseconds(kConnectLimitMs);
    addrinfoW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV | (host.find(':') != std::string::npos ? AI_NUMERICHOST : 0);
    const std::wstring wideHost(host.begin(), host.end());  // (ASCII only: the place was checked)
    const std::wstring service = std::to_wstring(port);
    addrinfoW* found = nullptr;
    const int resolved = ::GetAddrInfoW(wideHost.c_str(), service.c_str(), &hints, &found);
    if (resolved != 0) {
        error = resolved;  // a Winsock code, such as WSAHOST_NOT_FOUND
        return false;
    }
    error = WSAETIMEDOUT;
    for (const addrinfoW* a = found; a && MsLeft(end) > 0; a = a->ai_next) {
        const SOCKET s = NewSocket(*a);
        if (s == INVALID_SOCKET) {
            error = ::WSAGetLastError();
            continue;
        }
        u_long nonBlocking = 1;
        ::ioctlsocket(s, FIONBIO, &nonBlocking);
        // A refused connection is retried by the system before it says so: a short first wait
        // and two retries keep both that and a lost first try inside the limit (best effort: an
        // older system goes by its defaults).
        TCP_INITIAL_RTO_PARAMETERS rto{250, 2};
        DWORD ignored = 0;
        ::WSAIoctl(s, SIO_TCP_INITIAL_RTO, &rto, sizeof rto, nullptr, 0, &ignored, nullptr, nullptr);
        error = ::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0 ? 0 : ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) error = WaitWritable(s, MsLeft(end), true);
        if (error != 0) {
            ::closesocket(s);
            continue;
        }
        // Small frames go at once; a quiet connection to a server that vanished is noticed
        // within about a minute (keepalive), one with an unanswered write within half a minute.
        const BOOL on = TRUE;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        tcp_keepalive keepalive{1, 10000, 5000};
        ::WSAIoctl(s, SIO_KEEPALIVE_VALS, &keepalive, sizeof keepalive, nullptr, 0, &ignored, nullptr, nullptr);
        const DWORD maxRetransmitSeconds = 25;
        ::setsockopt(s, IPPROTO_TCP, TCP_MAXRT, reinterpret_cast<const char*>(&maxRetransmitSeconds), sizeof maxRetransmitSeconds);
        // Data and the server's close signal the event the waits watch.
        if (::WSAEventSelect(s, network_, FD_READ | FD_CLOSE) != 0) {
            error = ::WSAGetLastError();
            ::closesocket(s);
            continue;
        }
        socket_ = s;
        break;
    }
    ::FreeAddrInfoW(found);
    return IsOpen();
}

void TcpTransport::Close() {
    if (!IsOpen()) return;
    ::closesocket(AsSocket(socket_));
    socket_ = INVALID_SOCKET;
    ::WSAResetEvent(network_);
}

void TcpTransport::Purge() {
    if (!IsOpen()) return;
    char discard[1024];
    // What is waiting now; a close stays for the next read to report.
    while (::recv(AsSocket(socket_), discard, sizeof discard, 0) > 0) {
    }
}

long TcpTransport::Read(std::uint8_t* out, std::size_t size) {
    if (size == 0) return 0;
    const int n = ::recv(AsSocket(socket_), reinterpret_cast<char*>(out), static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
    if (n > 0) return n;
    if (n == 0) {
        ::WSASetLastError(WSAECONNRESET);  // the server closed the connection: the line has gone
        return -1;
    }
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

bool TcpTransport::Write(const std::uint8_t* data, std::size_t size) {
    const auto end = Clock::now() + std::chrono::seconds(1);
    std::size_t done = 0;
    while (done < size) {
        const int n = ::send(AsSocket(socket_), reinterpret_cast<const char*>(data + done),
                             static_cast<int>(std::min<std::size_t>(size - done, INT_MAX)), 0);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n == SOCKET_ERROR && ::WSAGetLastError() != WSAEWOULDBLOCK) return false;
        const int left = MsLeft(end);
        const int waited = left > 0 ? WaitWritable(AsSocket(socket_), left, false) : WSAETIMEDOUT;
        if (waited != 0) {
            ::WSASetLastError(waited);
            return false;
        }
    }
    return true;
}

int TcpTransport::WaitAny(const WaitEvent& stop, const WaitEvent& write, bool watchData, int timeoutMs) const {
    if (::WaitForSingleObject(stop.Handle(), 0) == WAIT_OBJECT_0) return 0;
    const SOCKET s = AsSocket(socket_);
    if (watchData) {
        // Clear the event first, then look: what arrives (or closes) after the look sets it again.
        WSANETWORKEVENTS seen{};
        ::WSAEnumNetworkEvents(s, network_, &seen);
        char peek;
        const int n = ::recv(s, &peek, 1, MSG_PEEK);
        // Bytes waiting, the server's close (0) or a failure: the read that follows reports it.
        if (n >= 0 || ::WSAGetLastError() != WSAEWOULDBLOCK) return 1;
    }
    const DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    const HANDLE all[3] = {stop.Handle(), network_, write.Handle()};
    const HANDLE noData[2] = {stop.Handle(), write.Handle()};
    const DWORD result = watchData ? ::WaitForMultipleObjects(3, all, FALSE, limit)
                                   : ::WaitForMultipleObjects(2, noData, FALSE, limit);
    if (result == WAIT_TIMEOUT) return 3;
    if (result >= WAIT_OBJECT_0 + (watchData ? 3 : 2)) return -1;
    const int slot = static_cast<int>(result - WAIT_OBJECT_0);
    return watchData ? slot : (slot == 0 ? 0 : 2);
}

}  // namespace platform
