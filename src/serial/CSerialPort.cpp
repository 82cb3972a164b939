#include "CSerialPort.h"

#include "platform/PortList.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

CSerialPort::CSerialPort()
    : m_pWriteBuf(std::make_unique<std::uint8_t[]>(kWriteBufSize)), m_device(std::make_unique<platform::SerialDevice>()) {}

CSerialPort::~CSerialPort() { Shutdown(); }

void CSerialPort::SetPlaces(const platform::ProgramPlaces& places) {
    std::lock_guard lock(m_listMutex);
    m_places = places;
}

// ---- port list ----

bool CSerialPort::EnumeratePorts() {
    std::lock_guard lock(m_listMutex);
    m_nPortCount = 0;
    m_aPorts.fill(0);
    m_aDevices.fill({});
    for (const platform::SerialPortEntry& entry : platform::ListSerialPorts(m_places)) {
        ++m_nPortCount;
        if (m_nPortCount <= kMaxPorts) {
            m_aPorts[static_cast<std::size_t>(m_nPortCount - 1)] = platform::PortNumberFromName(entry.name);
            m_aDevices[static_cast<std::size_t>(m_nPortCount - 1)] = entry.device;
        }
    }
    return m_nPortCount >= 1 && m_nPortCount <= kMaxPorts;
}

int CSerialPort::PortAt(int position) const {
    std::lock_guard lock(m_listMutex);
    return position >= 1 && position <= kMaxPorts ? m_aPorts[static_cast<std::size_t>(position - 1)] : 0;
}

std::string CSerialPort::DeviceAt(int position) const {
    std::lock_guard lock(m_listMutex);
    return position >= 1 && position <= kMaxPorts ? m_aDevices[static_cast<std::size_t>(position - 1)] : std::string();
}

int CSerialPort::PortCount() const {
    std::lock_guard lock(m_listMutex);
    return m_nPortCount;
}

// ---- open, start, stop ----

void CSerialPort::StopMonitor() {
    m_hStopEvent.Set();
    if (m_monitor.joinable()) {
        m_monitor.request_stop();  // ends a delivery the owner has not taken yet
        if (m_monitor.get_id() == std::this_thread::get_id()) m_monitor.detach();
        else m_monitor.join();
    }
}

bool CSerialPort::OpenPort(SerialOwner* owner, int n, PortOpening* details, const platform::LineSettings& line,
                           std::size_t messageBytes) {
    PortOpening ignored;
    PortOpening& result = details ? *details : ignored;
    result = {};
    std::lock_guard control(m_controlMutex);
    StopMonitor();
    m_hStopEvent.Reset();
    m_hWriteRequest.Reset();
    {
        // A request queued while no monitor ran is dropped with the old port.
        std::lock_guard lock(m_writeMutex);
        if (m_nWriteLen != 0) m_nFailedUpTo = m_nQueuedTotal;  // never written
        m_nWriteLen = 0;
        m_nSentTotal = m_nQueuedTotal;
    }
    m_owner = owner;
    m_nPort = static_cast<unsigned>(n);
    m_bDeviceGone = false;

    std::string device;
    {
        std::lock_guard lock(m_listMutex);
        for (int i = 0; i < std::min(m_nPortCount, kMaxPorts); ++i)
            if (m_aPorts[static_cast<std::size_t>(i)] == n) {
                device = m_aDevices[static_cast<std::size_t>(i)];
                break;
            }
        if (device.empty()) device = platform::DeviceForPort(m_places, n);
    }
    std::lock_guard port(m_deviceMutex);
    m_device->Close();
    m_nMessageBytes = std::max<std::size_t>(messageBytes, 1);
    int error = ENOENT;
    if (device.empty()) {
        result.openError = error;
        return false;
    }
    // The same transport serves the next port of its kind: a device may still complete an I/O
    // it was told to cancel into the one it was given (a Windows driver can), so one that served
    // is never freed while the engine lives.
    if (std::string_view(m_device->Kind()) != platform::TransportKind(device)) {
        m_retired.push_back(std::move(m_device));
        m_device = platform::MakeTransport(device);
    }
    if (!m_device->Open(device, error)) {
        result.openError = error;
        return false;
    }
    result.opened = true;
    if (const char* refused = m_device->Configure(line)) {
        result.refusedCall = refused;
        result.refusedError = platform::LastSystemError();
    }
    m_device->Purge();
    return true;
}

void CSerialPort::ClosePort() {
    std::lock_guard control(m_controlMutex);
    StopMonitor();
    std::lock_guard port(m_deviceMutex);
    m_device->Close();
}

bool CSerialPort::StartMonitor() {
    std::lock_guard control(m_controlMutex);
    if (!m_device->IsOpen()) return false;
    StopMonitor();
    m_hStopEvent.Reset();
    m_bSendBeforeStop = false;
    m_bReleaseAtStop = false;
    {
        // The monitor starts on an empty line: whatever came before it is stale.
        std::lock_guard port(m_deviceMutex);
        m_device->Purge();
    }
    m_bMonitorRunning = 1;  // set before the thread runs, so a poll right after sees it
    m_monitor = std::jthread([this, device = m_device](std::stop_token stop) { MonitorProc(device, stop); });
    return true;
}

void CSerialPort::RequestStop(bool sendQueuedFirst, bool release) {
    if (sendQueuedFirst) m_bSendBeforeStop = true;
    if (release) m_bReleaseAtStop = true;
    m_hStopEvent.Set();
    m_writeDone.notify_all();
}

void CSerialPort::Shutdown() {
    std::lock_guard control(m_controlMutex);
    m_bSendBeforeStop = true;  // a notice queued on the way out still goes
    StopMonitor();
    std::lock_guard port(m_deviceMutex);
    m_device->Close();
}

// ---- writes ----

std::uint64_t CSerialPort::QueueByte(std::uint8_t byte) {
    std::uint64_t place;
    {
        std::lock_guard lock(m_writeMutex);
        if (m_nWriteLen == kWriteBufSize) return 0;  // a thousand unsent bytes: the line is dead
        m_pWriteBuf[m_nWriteLen++] = byte;
        place = ++m_nQueuedTotal;
    }
    m_hWriteRequest.Set();
    return place;
}

bool CSerialPort::Written(std::uint64_t place) {
    std::lock_guard lock(m_writeMutex);
    return place != 0 && m_nSentTotal >= place && m_nFailedUpTo < place;
}

bool CSerialPort::WaitForSent(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_writeMutex);
    const std::uint64_t target = m_nQueuedTotal, before = m_nSentTotal;
    m_writeDone.wait_for(lock, limit, [&] { return m_nSentTotal >= target || !MonitorRunning(); });
    // Every byte waiting at the call taken by a write, and no write of them failed.
    return m_nSentTotal >= target && m_nFailedUpTo <= before;
}

std::vector<std::uint8_t> CSerialPort::PendingBytes() {
    std::lock_guard lock(m_writeMutex);
    return {m_pWriteBuf.get(), m_pWriteBuf.get() + m_nWriteLen};
}

void CSerialPort::WriteQueued(platform::Transport& device, std::stop_token stop) {
    m_hWriteRequest.Reset();
    std::uint8_t bytes[kWriteBufSize];
    std::uint32_t count;
    {
        std::lock_guard lock(m_writeMutex);
        count = m_nWriteLen;
        std::memcpy(bytes, m_pWriteBuf.get(), count);
        m_nWriteLen = 0;
    }
    if (count == 0) return;
    bool written;
    int error = 0;
    {
        // No purge before the write: received bytes not yet read may be the rest of a frame.
        std::lock_guard port(m_deviceMutex);
        written = device.Write(bytes, count);
        if (!written) error = platform::LastSystemError();
    }
    {
        std::lock_guard lock(m_writeMutex);
        m_nSentTotal += count;  // taken: nothing is retried
        if (!written) m_nFailedUpTo = m_nSentTotal;
    }
    m_writeDone.notify_all();
    // To a device that is gone (the scale unplugged) the read failure has said it all: the
    // disconnect notice that follows it cannot arrive, and that needs no box of its own.
    if (!written && !m_bDeviceGone) ShowCommError("WriteFile()", error, stop);
    Deliver(WM_SERIAL_SENT, 0, static_cast<std::intptr_t>(m_nPort.load()), false, stop);
}

// ---- monitor ----

void CSerialPort::Deliver(unsigned message, std::uintptr_t wParam, std::intptr_t lParam, bool wait,
                          std::stop_token stop) {
    if (SerialOwner* owner = m_owner.load()) owner->OnSerialMessage(message, wParam, lParam, wait, stop);
}

void CSerialPort::MonitorProc(std::shared_ptr<platform::Transport> device, std::stop_token stop) {
    bool watchData = true;  // off once the device has failed: a gone device would wake us forever
    for (;;) {
        const int slot = device->WaitAny(m_hStopEvent, m_hWriteRequest, watchData);
        if (slot == 0) {
            if (m_bSendBeforeStop) WriteQueued(*device, stop);
            break;
        }
        if (slot == 1) {
            Deliver(WM_SERIAL_RXFLAG, 0, static_cast<std::intptr_t>(m_nPort.load()), false, stop);
            if (!ReadAvailable(*device, stop)) watchData = false;
        } else if (slot == 2) {
            WriteQueued(*device, stop);
        } else if (slot != 3) {
            ShowCommError("WaitCommEvent()", platform::LastSystemError(), stop);
            break;
        }
    }
    if (m_bReleaseAtStop) {
        // The connection was closed: the port goes back to the system now, not at the next open.
        std::lock_guard port(m_deviceMutex);
        device->Close();
    }
    m_bMonitorRunning = 0;
    m_writeDone.notify_all();
}

bool CSerialPort::ReadAvailable(platform::Transport& device, std::stop_token stop) {
    BatchAssembler batch(m_nMessageBytes.load());
    auto deliver = [&] {
        Deliver(WM_SERIAL_DATA, reinterpret_cast<std::uintptr_t>(batch.Data()), static_cast<std::intptr_t>(batch.Size()),
                true, stop);
        batch.Clear();
    };
    // The moment the pass stops waiting for the rest of a frame: a gap after its last byte.
    auto quietAt = std::chrono::steady_clock::now();
    for (;;) {
        long n;
        int error = 0;
        {
            std::lock_guard port(m_deviceMutex);
            n = device.Read(batch.Tail(), batch.Space());
            if (n < 0) error = platform::LastSystemError();
        }
        if (n == -2) {
            // The read's completion failed, not the line: say so and end this pass.
            ShowCommError("GetOverlappedResults() in ReadFile()", error, stop);
            break;
        }
        if (n < 0) {
            // The bytes of this pass are dropped. Told without waiting: the owner may answer a
            // failure by reopening a port, which ends this very thread.
            m_bDeviceGone = true;
            Deliver(WM_SERIAL_READ_FAILED, 0, 0, false, stop);
            return false;
        }
        if (n == 0) {
            // Less than a message so far: give the rest of it a moment to arrive. (A device may
            // wake the wait without a byte to read: the gap is kept by the clock, not by wakes.)
            if (!batch.WantsMore()) break;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(quietAt - std::chrono::steady_clock::now());
            if (left.count() <= 0 || device.WaitAny(m_hStopEvent, m_hNoWrite, true, static_cast<int>(left.count())) != 1) break;
            continue;
        }
        batch.Added(static_cast<std::size_t>(n));
        quietAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAssemblyGapMs);
        if (batch.Full()) deliver();  // a full batch goes now; the rest follows in the next
    }
    if (batch.Size() > 0) deliver();
    return true;
}

std::string CSerialPort::CommErrorText(const char* call, int error) const {
    char text[512];
    std::snprintf(text, sizeof text, "WARNING:  %s Failed with the following error: \n%s\nPort: %d\n", call,
                  platform::SystemErrorText(error).c_str(), static_cast<int>(m_nPort.load()));
    return text;
}

void CSerialPort::ShowCommError(const char* call, int error, std::stop_token stop) {
    if (SerialOwner* owner = m_owner.load()) owner->ShowSerialError(CommErrorText(call, error), stop);
}
