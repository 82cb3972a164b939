// The network serial server over POSIX sockets: a non-blocking socket, connected within a limit,
// and polled together with the engine's events like a serial device.
#include "TcpTransport.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

void SetOption(int fd, int level, int name, int value) { ::setsockopt(fd, level, name, &value, sizeof value); }

// Connects `fd` to `address` by `end`; 0, or the reason it did not.
int Connect(int fd, const addrinfo& address, Clock::time_point end) {
    if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) return 0;
    if (errno != EINPROGRESS && errno != EINTR) return errno;
    pollfd p{fd, POLLOUT, 0};
    for (;;) {
        const int n = ::poll(&p, 1, MsLeft(end));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return ETIMEDOUT;
        break;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

}  // namespace

TcpTransport::TcpTransport() = default;

TcpTransport::~TcpTransport() { Close(); }

bool TcpTransport::IsOpen() const { return fd_ >= 0; }

bool TcpTransport::Open(const std::string& place, int& error) {
    Close();
    std::string host;
    std::uint16_t port = 0;
    if (!ParseTcpPlace(place, host, port)) {
        error = EINVAL;
        return false;
    }
    const auto end = Clock::now() + std::chrono::milliseconds(kConnectLimitMs);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (host.find(':') != std::string::npos ? AI_NUMERICHOST : 0);
    addrinfo* found = nullptr;
    const int resolved = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (resolved != 0) {
        // (a name the resolver does not know is "no such device or address")
        error = resolved == EAI_SYSTEM && errno != 0 ? errno : ENXIO;
        return false;
    }
    error = ETIMEDOUT;
    // Each address the name has in turn, all within the one limit.
    for (const addrinfo* a = found; a && MsLeft(end) > 0; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        error = Connect(fd, *a, end);
        if (error != 0) {
            ::close(fd);
            continue;
        }
        // Small frames go at once; a server that vanishes is noticed within about half a minute
        // when the line is quiet (keepalive) and when a write goes unanswered (user timeout).
        SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
        SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
        SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, 10);
        SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, 5);
        SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, 3);
#ifdef TCP_USER_TIMEOUT
        SetOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, 25000);
#endif
        fd_ = fd;
        break;
    }
    ::freeaddrinfo(found);
    return fd_ >= 0;
}

void TcpTransport::Close() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
}

void TcpTransport::Purge() {
    if (fd_ < 0) return;
    std::uint8_t discard[1024];
    // What is waiting now; a close stays for the next read to report.
    while (::recv(fd_, discard, sizeof discard, MSG_DONTWAIT) > 0) {
    }
}

long TcpTransport::Read(std::uint8_t* out, std::size_t size) {
    if (size == 0) return 0;
    const ssize_t n = ::recv(fd_, out, size, MSG_DONTWAIT);
    if (n > 0) return n;
    if (n == 0) {
        errno = ECONNRESET;  // the server closed the connection: the line has gone
        return -1;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    return -1;
}

bool TcpTransport::Write(const std::uint8_t* data, std::size_t size) {
    const auto end = Clock::now() + std::chrono::seconds(1);
    std::size_t done = 0;
    while (done < size) {
        // (no SIGPIPE for a connection the server has closed: the failure is returned)
        const ssize_t n = ::send(fd_, data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        pollfd p{fd_, POLLOUT, 0};
        const int left = MsLeft(end);
        if (left == 0 || (::poll(&p, 1, left) < 0 && errno != EINTR)) {
            errno = ETIMEDOUT;
            return false;
        }
    }
    return true;
}

int TcpTransport::WaitAny(const WaitEvent& stop, const WaitEvent& write, bool watchData, int timeoutMs) const {
    // A closed or failed connection wakes the wait too (POLLHUP, POLLERR): the read reports it.
    pollfd p[3] = {{stop.Handle(), POLLIN, 0}, {watchData ? fd_ : -1, POLLIN, 0}, {write.Handle(), POLLIN, 0}};
    for (;;) {
        const int n = ::poll(p, 3, timeoutMs);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) return 3;
        for (int i = 0; i < 3; ++i)
            if (p[i].revents != 0) return i;
    }
}

}  // namespace platform
