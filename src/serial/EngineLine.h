#pragma once
// The connection controller's line over the serial engine: open and start the monitor, send,
// and give the port back.
#include "CSerialPort.h"
#include "ConnectionControl.h"

#include <algorithm>
#include <functional>

namespace serial {

class EngineLine : public Line {
public:
    // `opened` runs on the controller's worker each time a port opened (the window restarts its
    // Duration from there).
    EngineLine(CSerialPort& engine, SerialOwner* owner, std::function<void()> opened)
        : engine_(engine), owner_(owner), opened_(std::move(opened)) {}

    int PortCount() override { return std::min(engine_.PortCount(), CSerialPort::kMaxPorts); }
    int PortAt(int position) override { return engine_.PortAt(position); }
    bool Open(int port, OpenFailure& failure) override {
        PortOpening opening;
        const bool ok = engine_.OpenPort(owner_, port, &opening);
        failure = {opening.openError, opening.refusedCall, opening.refusedError};
        if (ok && engine_.StartMonitor() && opened_) opened_();
        return ok;
    }
    void Send(std::uint8_t byte) override { engine_.QueueByte(byte); }
    void Release() override { engine_.ClosePort(); }

private:
    CSerialPort& engine_;
    SerialOwner* owner_;
    std::function<void()> opened_;
};

}  // namespace serial
