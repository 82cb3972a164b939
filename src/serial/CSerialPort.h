#pragma once
// Serial engine: owns one port at a time and the list of ports present.
// (The monitor thread and the line protocol arrive with the connection work; until then
// queued bytes are only counted, so the window's close path can already use them.)
#include <array>
#include <atomic>
#include <cstdint>
#include <string>

class CSerialPort {
public:
    static constexpr int kMaxPorts = 19;

    CSerialPort() = default;
    virtual ~CSerialPort() = default;
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Where the device map file SerialComm.ini lives (the executable's folder).
    void SetModuleDir(const std::string& dir) { m_strModuleDir = dir; }

    // Fills the port list; true when between 1 and 19 ports were found. The count keeps
    // counting past 19, the positions stop there.
    bool EnumeratePorts();

    // Port number and device path at 1-based position 1..19 of the list.
    int PortAt(int position) const;
    std::string DeviceAt(int position) const;

    void QueueByte(std::uint8_t byte);
    void RequestStop() {}
    int QueuedCount() const { return m_nQueued.load(); }

    int m_nPortCount = 0;
    std::array<int, kMaxPorts> m_aPorts{};

private:
    std::string m_strModuleDir;
    std::array<std::string, kMaxPorts> m_aDevices{};
    std::atomic<int> m_nQueued{0};
};
