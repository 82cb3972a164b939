#pragma once
// A way to a scale, as the serial engine uses it: opened at a place (a serial device, or a
// network serial server's "tcp://HOST:PORT"), set to a protocol's line settings, read without
// blocking, written, and waited on together with the engine's own events.
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

// A manual-reset event that can be waited on together with a transport.
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

// How the bytes travel on a serial line. A scale's protocol names them.
struct LineSettings {
    int baud = 9600;
    int dataBits = 8;   // 5..8
    char parity = 'N';  // 'N'one, 'E'ven, 'O'dd
    int stopBits = 1;   // 1 or 2
    friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

class Transport {
public:
    virtual ~Transport() = default;
    // The kind of transport (TransportKind of the places it serves).
    virtual const char* Kind() const = 0;
    // Opens `place` for this process alone; false with `error` (the system's code) when it does
    // not open.
    virtual bool Open(const std::string& place, int& error) = 0;
    // Applies `settings`; the name of the call that was refused (LastSystemError set), or null.
    virtual const char* Configure(const LineSettings& settings) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // Drops every received byte not yet read and everything not yet sent.
    virtual void Purge() = 0;
    // Reads up to `size` waiting bytes without blocking: the count read, 0 when none is waiting,
    // −1 on failure (LastSystemError set; the far end has gone), −2 when a read was started but
    // its completion failed (the line may still work).
    virtual long Read(std::uint8_t* out, std::size_t size) = 0;
    // Writes all of `data`, waiting at most about a second for room; false on failure.
    virtual bool Write(const std::uint8_t* data, std::size_t size) = 0;
    // Waits for `stop`, data (or a hang-up), or `write`, and returns 0, 1 or 2 for the lowest one
    // ready; 3 when `timeoutMs` (−1: no limit) ran out first; −1 when the wait itself failed. With
    // `watchData` false the transport is left out of the wait.
    virtual int WaitAny(const WaitEvent& stop, const WaitEvent& write, bool watchData, int timeoutMs = -1) const = 0;
};

// The kind of transport a port's place (as the port list names it) needs: "tcp" for a place
// starting "tcp://" (in any case), else "serial"; and a new one (Transport.cpp).
const char* TransportKind(const std::string& place);
std::unique_ptr<Transport> MakeTransport(const std::string& place);

}  // namespace platform
