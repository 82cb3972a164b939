#include "SerialDevice.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

int LastSystemError() { return errno; }

std::string SystemErrorText(int code) { return std::strerror(code); }

OpenRefusal ClassifyOpenError(int code) {
    if (code == EBUSY) return OpenRefusal::Busy;
    if (code == EACCES || code == EPERM) return OpenRefusal::NoAccess;
    return OpenRefusal::Other;
}

// ---- events ----

WaitEvent::WaitEvent() : handle_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WaitEvent::~WaitEvent() {
    if (handle_ >= 0) close(handle_);
}

void WaitEvent::Set() {
    const std::uint64_t one = 1;
    // A counter already set stays readable; a full counter (never reached) changes nothing.
    [[maybe_unused]] const ssize_t n = write(handle_, &one, sizeof one);
}

void WaitEvent::Reset() {
    std::uint64_t value;
    [[maybe_unused]] const ssize_t n = read(handle_, &value, sizeof value);
}

// ---- device ----

SerialDevice::SerialDevice() = default;

SerialDevice::~SerialDevice() { Close(); }

bool SerialDevice::IsOpen() const { return fd_ >= 0; }

bool SerialDevice::Open(const std::string& path, int& error) {
    Close();
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return false;
    }
    // Exclusive: a lock every cooperating open honours (root included), and the terminal's
    // own exclusive mode for everyone else.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        return false;
    }
    if (isatty(fd)) ioctl(fd, TIOCEXCL);
    fd_ = fd;
    return true;
}

namespace {

speed_t Speed(int baud) {
    switch (baud) {
        case 1200: return B1200;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        default: return B0;
    }
}

}  // namespace

const char* SerialDevice::Configure(const LineSettings& settings) {
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return "tcgetattr()";
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CSTOPB | CSIZE | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    switch (settings.dataBits) {
        case 5: t.c_cflag |= CS5; break;
        case 6: t.c_cflag |= CS6; break;
        case 7: t.c_cflag |= CS7; break;
        default: t.c_cflag |= CS8; break;
    }
    if (settings.parity == 'E' || settings.parity == 'O') t.c_cflag |= PARENB;
    if (settings.parity == 'O') t.c_cflag |= PARODD;
    if (settings.stopBits == 2) t.c_cflag |= CSTOPB;
    // One byte minimum: with nothing waiting a non-blocking read then says EAGAIN, so that a
    // read of 0 bytes only ever means the device has gone.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    const speed_t speed = Speed(settings.baud);
    if (speed == B0) {
        errno = EINVAL;
        return "cfsetspeed()";
    }
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return "cfsetspeed()";
    if (tcsetattr(fd_, TCSANOW, &t) != 0) return "tcsetattr()";
    int rts = TIOCM_RTS;
    if (ioctl(fd_, TIOCMBIS, &rts) != 0 && errno != ENOTTY && errno != EINVAL) return "ioctl(TIOCMBIS)";
    return nullptr;
}

void SerialDevice::Close() {
    if (fd_ < 0) return;
    ioctl(fd_, TIOCNXCL);
    close(fd_);  // also releases the lock
    fd_ = -1;
}

void SerialDevice::Purge() {
    if (fd_ >= 0) tcflush(fd_, TCIOFLUSH);
}

int SerialDevice::Waiting() const {
    int n = 0;
    if (ioctl(fd_, FIONREAD, &n) != 0) return -1;
    return n;
}

long SerialDevice::Read(std::uint8_t* out, std::size_t size) {
    const ssize_t n = read(fd_, out, size);
    if (n > 0) return n;
    if (n == 0) {
        // A non-blocking line with nothing waiting says EAGAIN; end of file means the device
        // (or the far end of a pseudo-terminal) is gone.
        errno = size ? EIO : 0;
        return size ? -1 : 0;
    }
    if (errno == EAGAIN || errno == EINTR) return 0;
    return -1;
}

bool SerialDevice::Write(const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    int waits = 0;
    while (done < size) {
        const ssize_t n = write(fd_, data + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd p{fd_, POLLOUT, 0};
        if (++waits > 10 || poll(&p, 1, 100) < 0) {
            errno = ETIMEDOUT;
            return false;
        }
    }
    return true;
}

int SerialDevice::WaitAny(const WaitEvent& stop, const WaitEvent& write, bool watchData, int timeoutMs) const {
    pollfd p[3] = {{stop.Handle(), POLLIN, 0}, {watchData ? fd_ : -1, POLLIN, 0}, {write.Handle(), POLLIN, 0}};
    for (;;) {
        const int n = poll(p, 3, timeoutMs);
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
