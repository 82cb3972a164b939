#pragma once
// The serial line as the engine needs it: an exclusive open with the fixed line settings,
// purge, non-blocking reads of what is waiting, writes, and a wait over three sources (stop,
// data, write request) that returns the lowest one ready. POSIX devices (SerialDevice_posix.cpp)
// or Windows COM ports with overlapped I/O (SerialDevice_win32.cpp).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

#ifdef _WIN32
using NativeHandle = void*;  // an event or file HANDLE
#else
using NativeHandle = int;    // a file descriptor
#endif

// The calling thread's last system error (errno, or GetLastError on Windows) and its text.
int LastSystemError();
std::string SystemErrorText(int code);

// Why a device did not open, as the operator needs to hear it.
enum class OpenRefusal { Busy, NoAccess, Other };
OpenRefusal ClassifyOpenError(int code);

// A manual-reset event that can be waited on together with a device.
class WaitEvent {
public:
    WaitEvent();
    ~WaitEvent();
    WaitEvent(const WaitEvent&) = delete;
    WaitEvent& operator=(const WaitEvent&) = delete;

    void Set();
    void Reset();
    NativeHandle Handle() const { return handle_; }

private:
    NativeHandle handle_;
};

class SerialDevice {
public:
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    SerialDevice();
    ~SerialDevice();
    // Opens `path` (a device path, or "COM<n>" on Windows) for this process alone (a second open fails) and applies 9600 baud, no
    // parity, 8 data bits, 1 stop bit, raw bytes, RTS on (skipped where the device has no RTS
    // control, such as a pseudo-terminal). False with `error` (the system's code) when it does
    // not open.
    bool Open(const std::string& path, int& error);
    // Applies the line settings again; the name of the call the device refused (LastSystemError
    // set), or null when it took them all.
    const char* Configure();
    void Close();
    bool IsOpen() const;

    // Drops every received byte not yet read and everything not yet sent.
    void Purge();
    // Bytes waiting to be read; −1 on failure (LastSystemError set).
    int Waiting() const;
    // Reads up to `size` waiting bytes without blocking: the count read, 0 when none is
    // waiting, −1 on failure (LastSystemError set; EIO on POSIX when the far end has gone), −2
    // when a read was started but its completion failed (Windows; the line may still work).
    long Read(std::uint8_t* out, std::size_t size);
    // Writes all of `data`, waiting at most about a second for room; false on failure (LastSystemError set).
    bool Write(const std::uint8_t* data, std::size_t size);

    // Waits for `stop`, data (or a hang-up) on the device, or `write`, and returns 0, 1 or 2 for
    // the lowest one ready; 3 when `timeoutMs` (−1: no limit) ran out first; −1 when the wait
    // itself failed. With `watchData` false the device is left out of the wait.
    int WaitAny(const WaitEvent& stop, const WaitEvent& write, bool watchData, int timeoutMs = -1) const;

private:
#ifdef _WIN32
    struct Overlapped;                      // the pending wait and its events
    void* handle_ = nullptr;
    std::unique_ptr<Overlapped> overlapped_;
#else
    int fd_ = -1;
#endif
};

}  // namespace platform
