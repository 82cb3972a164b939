#pragma once
// What the desk needs of the serial line: the connection controller's Line, and the bytes the
// desk itself sends (answers and notices), when they have left, the port list, and the end of a
// connection. EngineLine is the real one over the serial engine; the desk's tests give a fake.
#include "CSerialPort.h"
#include "ConnectionControl.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace desk {

class Line : public serial::Line {
public:
    // Queues a byte for the scale; its place among every byte queued (from 1), 0 when dropped.
    virtual std::uint64_t Queue(std::uint8_t byte) = 0;
    // Queues bytes in order; the place of the last (0 when one was dropped or there were none).
    std::uint64_t QueueAll(const std::vector<std::uint8_t>& bytes) {
        std::uint64_t place = 0;
        bool dropped = bytes.empty();
        for (std::uint8_t byte : bytes) {
            place = Queue(byte);
            dropped = dropped || place == 0;
        }
        return dropped ? 0 : place;
    }
    // True once every byte up to `place` has been written without a failure.
    virtual bool Written(std::uint64_t place) = 0;
    // Ends the connection once the bytes queued so far have been written; with `release` the
    // port goes back to the system then.
    virtual void StopAfterQueued(bool release) = 0;
    // Waits at most `limit` for every byte queued so far to be written.
    virtual bool WaitForSent(std::chrono::milliseconds limit) = 0;
    // Lists the ports again; false when none (or too many) were found.
    virtual bool ListPorts() = 0;
    struct Port {
        int number = 0;
        std::string device;
    };
    virtual std::vector<Port> Ports() = 0;  // as listed last, at most 19
    // The text of the engine's error box for a call the device refused.
    virtual std::string CommErrorText(const char* call, int error) = 0;
    // Ends everything on the line (the desk is going away).
    virtual void Shutdown() = 0;
};

// The line over the serial engine.
class EngineLine : public Line {
public:
    // `owner` hears the engine's notifications; `opened` runs on the controller's worker each
    // time a port opened (the table's Duration counts from there).
    EngineLine(SerialOwner* owner, const platform::ProgramPlaces& places, std::function<void()> opened)
        : owner_(owner), opened_(std::move(opened)) {
        engine_.SetPlaces(places);
    }
    ~EngineLine() override { engine_.Shutdown(); }

    int PortCount() override { return std::min(engine_.PortCount(), CSerialPort::kMaxPorts); }
    int PortAt(int position) override { return engine_.PortAt(position); }
    bool Open(int port, const serial::LineUse& use, serial::OpenFailure& failure) override {
        PortOpening opening;
        const bool ok = engine_.OpenPort(owner_, port, &opening, use.settings, use.messageBytes);
        failure = {opening.openError, opening.refusedCall, opening.refusedError};
        if (ok && engine_.StartMonitor() && opened_) opened_();
        return ok;
    }
    void Send(const std::vector<std::uint8_t>& bytes) override {
        for (std::uint8_t byte : bytes) engine_.QueueByte(byte);
    }
    void Release() override { engine_.ClosePort(); }
    bool Networked(int port) override {
        const int count = PortCount();
        for (int i = 1; i <= count; ++i)
            if (engine_.PortAt(i) == port) return std::string_view(platform::TransportKind(engine_.DeviceAt(i))) == "tcp";
        return false;
    }

    std::uint64_t Queue(std::uint8_t byte) override { return engine_.QueueByte(byte); }
    bool Written(std::uint64_t place) override { return engine_.Written(place); }
    void StopAfterQueued(bool release) override { engine_.RequestStop(true, release); }
    bool WaitForSent(std::chrono::milliseconds limit) override { return engine_.WaitForSent(limit); }
    bool ListPorts() override { return engine_.EnumeratePorts(); }
    std::vector<Port> Ports() override {
        std::vector<Port> ports;
        const int count = std::min(engine_.PortCount(), CSerialPort::kMaxPorts);
        for (int i = 1; i <= count; ++i) ports.push_back({engine_.PortAt(i), engine_.DeviceAt(i)});
        return ports;
    }
    std::string CommErrorText(const char* call, int error) override { return engine_.CommErrorText(call, error); }
    void Shutdown() override { engine_.Shutdown(); }

    CSerialPort& Engine() { return engine_; }

private:
    CSerialPort engine_;
    SerialOwner* owner_;
    std::function<void()> opened_;
};

}  // namespace desk
