// Windows COM ports with overlapped I/O: one overlapped WaitCommEvent stays pending between
// waits, reads take only what ClearCommError reports as waiting, and a write waits at most
// about a second for the driver.
#include "SerialDevice.h"

#include "Utf.h"

#include <windows.h>

#include <algorithm>
#include <string>

namespace platform {

int LastSystemError() { return static_cast<int>(::GetLastError()); }

std::string SystemErrorText(int code) {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out = n ? Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), n))
                        : "error " + std::to_string(code);
    if (text) ::LocalFree(text);
    // The system's texts end with a line break, which has no place inside a message.
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ')) out.pop_back();
    return out;
}

OpenRefusal ClassifyOpenError(int code) {
    // A COM port another program holds answers "access denied".
    if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION || code == ERROR_BUSY) return OpenRefusal::Busy;
    return OpenRefusal::Other;
}

// ---- events ----

WaitEvent::WaitEvent() : handle_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

WaitEvent::~WaitEvent() {
    if (handle_) ::CloseHandle(handle_);
}

void WaitEvent::Set() { ::SetEvent(handle_); }

void WaitEvent::Reset() { ::ResetEvent(handle_); }

// ---- device ----

struct SerialDevice::Overlapped {
    OVERLAPPED wait{};  // the WaitCommEvent that may still be pending
    OVERLAPPED io{};    // reads and writes, one at a time
    DWORD mask = 0;
    bool pending = false;
    Overlapped() {
        wait.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        io.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~Overlapped() {
        ::CloseHandle(wait.hEvent);
        ::CloseHandle(io.hEvent);
    }
    OVERLAPPED* FreshIo() {
        const HANDLE event = io.hEvent;
        io = OVERLAPPED{};
        io.hEvent = event;
        ::ResetEvent(event);
        return &io;
    }
};

SerialDevice::SerialDevice() : overlapped_(std::make_unique<Overlapped>()) {}

SerialDevice::~SerialDevice() { Close(); }

bool SerialDevice::IsOpen() const { return handle_ != nullptr; }

bool SerialDevice::Open(const std::string& path, int& error) {
    Close();
    // "COM10" and above only open through the device namespace; it works for every port.
    const std::u16string name = Utf8ToUtf16(path.rfind("\\\\", 0) == 0 ? path : "\\\\.\\" + path);
    // No sharing: a second open of the port fails while this one holds it.
    const HANDLE h = ::CreateFileW(WideCStr(name), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = static_cast<int>(::GetLastError());
        return false;
    }
    handle_ = h;
    return true;
}

const char* SerialDevice::Configure(const LineSettings& line) {
    // Reads only ever ask for bytes already waiting, so they complete at once.
    COMMTIMEOUTS timeouts{1000, 1000, 1000, 1000, 1000};
    if (!::SetCommTimeouts(handle_, &timeouts)) return "SetCommTimeouts()";
    if (!::SetCommMask(handle_, EV_RXCHAR | EV_RXFLAG)) return "SetCommMask()";
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handle_, &dcb)) return "GetCommState()";
    // Every other field keeps what the driver had, unless the settings text changes it.
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    const std::wstring text = L"baud=" + std::to_wstring(line.baud) + L" parity=" + static_cast<wchar_t>(line.parity) +
                              L" data=" + std::to_wstring(line.dataBits) + L" stop=" + std::to_wstring(line.stopBits);
    std::wstring settings = text;  // (the call may write into its text)
    if (!::BuildCommDCBW(settings.data(), &dcb)) return "BuildCommDCB()";
    return ::SetCommState(handle_, &dcb) != 0 ? nullptr : "SetCommState()";
}

void SerialDevice::Close() {
    if (!handle_) return;
    if (overlapped_->pending) {
        // A driver that never completes the cancelled wait (seen with a serial device that has
        // no UART behind it) must not hold the port's closing, and with it a search, forever:
        // closing the handle ends whatever is still pending.
        ::CancelIo(handle_);
        DWORD ignored = 0;
        if (::WaitForSingleObject(overlapped_->wait.hEvent, 500) == WAIT_OBJECT_0)
            ::GetOverlappedResult(handle_, &overlapped_->wait, &ignored, FALSE);
        overlapped_->pending = false;
    }
    ::CloseHandle(handle_);
    handle_ = nullptr;
}

void SerialDevice::Purge() {
    if (handle_) ::PurgeComm(handle_, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
}

int SerialDevice::Waiting() const {
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(handle_, &errors, &status)) return -1;
    return static_cast<int>(status.cbInQue);
}

long SerialDevice::Read(std::uint8_t* out, std::size_t size) {
    const int waiting = Waiting();
    if (waiting < 0) return -1;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, static_cast<std::size_t>(waiting)));
    if (want == 0) return 0;
    OVERLAPPED* read = overlapped_->FreshIo();
    DWORD got = 0;
    if (::ReadFile(handle_, out, want, &got, read)) return static_cast<long>(got);
    if (::GetLastError() != ERROR_IO_PENDING) return -1;
    // The read started but its completion failed: the line itself may be fine.
    return ::GetOverlappedResult(handle_, read, &got, TRUE) ? static_cast<long>(got) : -2;
}

bool SerialDevice::Write(const std::uint8_t* data, std::size_t size) {
    OVERLAPPED* write = overlapped_->FreshIo();
    DWORD done = 0;
    bool ok = ::WriteFile(handle_, data, static_cast<DWORD>(size), &done, write) != 0;
    if (!ok && ::GetLastError() == ERROR_IO_PENDING) {
        if (::WaitForSingleObject(write->hEvent, 1500) != WAIT_OBJECT_0) {
            ::CancelIo(handle_);
            ::GetOverlappedResult(handle_, write, &done, TRUE);
            ::SetLastError(ERROR_TIMEOUT);
            return false;
        }
        ok = ::GetOverlappedResult(handle_, write, &done, FALSE) != 0;
    }
    if (ok && done != size) {
        ::SetLastError(ERROR_WRITE_FAULT);
        return false;
    }
    return ok;
}

int SerialDevice::WaitAny(const WaitEvent& stop, const WaitEvent& write, bool watchData, int timeoutMs) const {
    if (::WaitForSingleObject(stop.Handle(), 0) == WAIT_OBJECT_0) return 0;
    Overlapped& o = *overlapped_;
    if (watchData) {
        // WaitCommEvent reports characters that arrive; bytes already waiting count at once.
        // Bytes waiting, or a failure the read that follows reports.
        if (Waiting() != 0) return 1;
        if (!o.pending) {
            ::ResetEvent(o.wait.hEvent);
            if (::WaitCommEvent(handle_, &o.mask, &o.wait)) {
                ::SetEvent(o.wait.hEvent);
                o.pending = true;
            } else {
                const DWORD error = ::GetLastError();
                // Access denied and an invalid parameter are the driver's passing moods: the wait
                // below goes on without the device this time.
                if (error == ERROR_IO_PENDING) o.pending = true;
                else if (error != ERROR_ACCESS_DENIED && error != ERROR_INVALID_PARAMETER) return -1;
            }
        }
    }
    const DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    if (watchData && !o.pending) {
        // No device wait could be armed: look again soon rather than never.
        const HANDLE some[2] = {stop.Handle(), write.Handle()};
        const DWORD result = ::WaitForMultipleObjects(2, some, FALSE, std::min<DWORD>(limit, 100));
        if (result == WAIT_TIMEOUT) return 3;
        if (result >= WAIT_OBJECT_0 + 2) return -1;
        return result == WAIT_OBJECT_0 ? 0 : 2;
    }
    const HANDLE all[3] = {stop.Handle(), o.wait.hEvent, write.Handle()};
    const HANDLE noData[2] = {stop.Handle(), write.Handle()};
    const DWORD result = watchData ? ::WaitForMultipleObjects(3, all, FALSE, limit)
                                   : ::WaitForMultipleObjects(2, noData, FALSE, limit);
    if (result == WAIT_TIMEOUT) return 3;
    if (result >= WAIT_OBJECT_0 + (watchData ? 3 : 2)) return -1;
    const int slot = static_cast<int>(result - WAIT_OBJECT_0);
    if (!watchData) return slot == 0 ? 0 : 2;
    if (slot == 1) {
        DWORD ignored = 0;
        o.pending = false;
        if (!::GetOverlappedResult(handle_, &o.wait, &ignored, FALSE)) return 1;  // the read reports it
    }
    return slot;
}

}  // namespace platform
