#pragma once
// The serial engine: owns one port at a time, runs one monitor thread that reads every byte the
// scale sends and hands each batch to its owner synchronously, performs the writes other threads
// queue, and lists the ports present.
#include "platform/ModulePath.h"
#include "platform/SerialDevice.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

// Notifications of the engine, with the values of the window messages they stand for.
enum SerialMessage : unsigned {
    WM_SERIAL_BREAK = 0x401,
    WM_SERIAL_CTS = 0x402,
    WM_SERIAL_LINE_ERROR = 0x404,
    WM_SERIAL_RING = 0x405,
    WM_SERIAL_DATA = 0x407,  // wParam: address of the batch, lParam: its length (1..1024)
    WM_SERIAL_RXFLAG = 0x408,
    WM_SERIAL_SENT = 0x409,
    WM_SERIAL_READ_FAILED = 0x40A,
};

// The engine's owner: the main window, or a test.
class SerialOwner {
public:
    virtual ~SerialOwner() = default;
    // Delivers a notification. With `wait`, returns only when the owner has handled it (the
    // batch of WM_SERIAL_DATA is valid until then) or when `stop` is triggered (the engine is
    // being stopped); without, the notification is only queued for the owner.
    virtual void OnSerialMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam, bool wait,
                                 std::stop_token stop) = 0;
    // Shows the engine's error box ("Application Error"); returns when it is dismissed or when
    // `stop` is triggered.
    virtual void ShowSerialError(const std::string& text, std::stop_token stop) = 0;
};

// The bytes of one read pass, gathered until they hold a whole message or the line has gone
// quiet: a message that arrives in pieces is handed on whole. How long a message is the scale's
// protocol knows; the engine only counts.
class BatchAssembler {
public:
    static constexpr std::size_t kCapacity = 1024;  // the most bytes one notification carries

    explicit BatchAssembler(std::size_t messageBytes = 1) : messageBytes_(messageBytes) {}

    std::uint8_t* Tail() { return bytes_.data() + length_; }
    std::size_t Space() const { return kCapacity - length_; }
    void Added(std::size_t n) { length_ += std::min(n, Space()); }
    const std::uint8_t* Data() const { return bytes_.data(); }
    std::size_t Size() const { return length_; }
    bool Full() const { return length_ == kCapacity; }
    // Less than a message so far: worth waiting a moment for the rest before the batch goes.
    bool WantsMore() const { return length_ > 0 && length_ < messageBytes_; }
    void Clear() { length_ = 0; }

private:
    std::size_t messageBytes_;
    std::array<std::uint8_t, kCapacity> bytes_{};
    std::size_t length_ = 0;
};

// How an open went: the device may be open and still have refused a setting.
struct PortOpening {
    bool opened = false;
    int openError = 0;               // the system's reason when the device did not open
    const char* refusedCall = nullptr;  // the configuration call the device refused, if any
    int refusedError = 0;
};

class CSerialPort {
public:
    static constexpr int kMaxPorts = 19;
    static constexpr std::uint32_t kWriteBufSize = 1024;
    static constexpr std::size_t kBatchSize = BatchAssembler::kCapacity;
    // A read pass that brought less than a message waits this long for the rest before the
    // batch goes: USB adapters and slow UARTs deliver a message in pieces (an FTDI adapter's
    // latency timer alone is 16 ms).
    static constexpr int kAssemblyGapMs = 20;

    CSerialPort();
    virtual ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Where the ports are listed from: the device map SerialComm.ini in the program's folder and
    // the kernel's serial devices.
    void SetPlaces(const platform::ProgramPlaces& places);

    // Ends a running monitor, closes the previous device and opens COM<n> with `line`'s settings;
    // a read pass then waits a moment for `messageBytes` before its batch goes. True once the
    // device is open, even when a setting failed; false when it does not open. Shows nothing:
    // `details` tells why it did not open, or which setting was refused, for the caller to say
    // (CommErrorText) when it holds no lock.
    bool OpenPort(SerialOwner* owner, int n, PortOpening* details = nullptr, const platform::LineSettings& line = {},
                  std::size_t messageBytes = 1);
    // The text of the engine's error box for a failed call.
    std::string CommErrorText(const char* call, int error) const;
    // Starts the monitor thread on the open port; false when none could be started.
    bool StartMonitor();
    // Asks the monitor thread to end at its next wait. A byte still queued is dropped, unless
    // `sendQueuedFirst`: then the monitor writes the queued bytes before it ends (the disconnect
    // notice must reach the scale, even when asked from inside a handler the monitor is waiting
    // for). With `release` the monitor also closes the port as it ends, so other programs may
    // have it; without, the port stays open.
    void RequestStop(bool sendQueuedFirst = false, bool release = false);
    // Ends the monitor, waiting for it, and closes the port. Not from inside a handler of the
    // monitor's notifications.
    void ClosePort();
    // Ends the monitor thread, waiting for it, and closes the port (the program's exit).
    void Shutdown();
    // Queues one byte for the monitor thread to send. Bytes queued before the previous ones
    // were sent are sent after them, in order.
    // Returns the byte's place in everything queued on this engine (from 1), 0 when the queue
    // is full and the byte was dropped.
    std::uint64_t QueueByte(std::uint8_t byte);
    // True once every byte up to that place has been written to the line without a failure.
    bool Written(std::uint64_t place);
    // Waits until every byte queued so far has been written, at most `limit`; false when they
    // were not (no monitor, the time ran out, or a write failed).
    bool WaitForSent(std::chrono::milliseconds limit);
    // The bytes queued and not yet taken by the monitor, oldest first.
    std::vector<std::uint8_t> PendingBytes();

    // Fills the port list; true when between 1 and 19 ports were found. The count keeps
    // counting past 19, the positions stop there.
    bool EnumeratePorts();
    // Port number and device path at 1-based position 1..19 of the list (0 / empty elsewhere).
    int PortAt(int position) const;
    std::string DeviceAt(int position) const;
    int PortCount() const;
    bool MonitorRunning() const { return m_bMonitorRunning.load() != 0; }

    // The list, as the window indexes it: element 0 the count, element i the i-th port.
    int m_nPortCount = 0;
    std::array<int, kMaxPorts> m_aPorts{};

private:
    // The monitor keeps the transport it was started on: a port opened meanwhile (from inside a
    // handler, which leaves the old monitor to end by itself) never frees it under the monitor.
    void MonitorProc(std::shared_ptr<platform::Transport> device, std::stop_token stop);
    // One read pass; false when the read failed (the device is gone).
    bool ReadAvailable(platform::Transport& device, std::stop_token stop);
    void WriteQueued(platform::Transport& device, std::stop_token stop);
    void ShowCommError(const char* call, int error, std::stop_token stop);
    void StopMonitor();
    void Deliver(unsigned message, std::uintptr_t wParam, std::intptr_t lParam, bool wait, std::stop_token stop);

    // Write queue: bytes waiting for the monitor, and how many were queued and written in all.
    std::mutex m_writeMutex;
    std::condition_variable m_writeDone;
    std::unique_ptr<std::uint8_t[]> m_pWriteBuf;
    std::uint32_t m_nWriteLen = 0;
    std::uint64_t m_nQueuedTotal = 0, m_nSentTotal = 0;  // queued, and taken by a write attempt
    std::uint64_t m_nFailedUpTo = 0;  // m_nSentTotal after the last write that failed

    std::jthread m_monitor;
    std::mutex m_controlMutex;        // serialises open, start, stop and shutdown
    std::recursive_mutex m_deviceMutex;    // guards the device during open, read and write
    std::atomic<int> m_bMonitorRunning{0};
    std::atomic<bool> m_bSendBeforeStop{false};
    std::atomic<bool> m_bReleaseAtStop{false};
    std::atomic<bool> m_bDeviceGone{false};  // a read failed: writes to it fail without a box
    platform::WaitEvent m_hStopEvent;
    platform::WaitEvent m_hWriteRequest;
    platform::WaitEvent m_hNoWrite;  // never set: a wait for received bytes alone
    std::shared_ptr<platform::Transport> m_device;  // the way to the scale, as the port's place names it
    std::vector<std::shared_ptr<platform::Transport>> m_retired;  // of another kind, served earlier
    std::atomic<std::size_t> m_nMessageBytes{1};
    std::atomic<SerialOwner*> m_owner{nullptr};
    std::atomic<unsigned> m_nPort{0};

    mutable std::mutex m_listMutex;  // guards the port list and the places it is read from
    platform::ProgramPlaces m_places;
    std::array<std::string, kMaxPorts> m_aDevices{};
};
