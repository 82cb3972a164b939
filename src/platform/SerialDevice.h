#pragma once
// The serial line as the engine needs it: an exclusive open with a protocol's line settings,
// purge, non-blocking reads of what is waiting, writes, and a wait over three sources (stop,
// data, write request) that returns the lowest one ready. POSIX devices (SerialDevice_posix.cpp)
// or Windows COM ports with overlapped I/O (SerialDevice_win32.cpp).
#include "Transport.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// The calling thread's last system error (errno, or GetLastError on Windows) and its text.
int LastSystemError();
std::string SystemErrorText(int code);

// Why a device did not open, as the operator needs to hear it.
enum class OpenRefusal { Busy, NoAccess, Other };
OpenRefusal ClassifyOpenError(int code);

class SerialDevice : public Transport {
public:
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    SerialDevice();
    ~SerialDevice() override;
    const char* Kind() const override { return "serial"; }
    // Opens `path` (a device path, or "COM<n>" on Windows) for this process alone (a second open
    // fails). False with `error` (the system's code) when it does not open.
    bool Open(const std::string& path, int& error) override;
    // Applies the line settings (baud, data bits, parity, stop bits), raw bytes, RTS on (skipped
    // where the device has no RTS control, such as a pseudo-terminal).
    const char* Configure(const LineSettings& settings) override;
    void Close() override;
    bool IsOpen() const override;

    void Purge() override;
    // Bytes waiting to be read; −1 on failure (LastSystemError set).
    int Waiting() const;
    // (EIO on POSIX when the far end has gone)
    long Read(std::uint8_t* out, std::size_t size) override;
    bool Write(const std::uint8_t* data, std::size_t size) override;
    int WaitAny(const WaitEvent& stop, const WaitEvent& write, bool watchData, int timeoutMs = -1) const override;

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
