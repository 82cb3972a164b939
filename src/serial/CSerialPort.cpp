#include "CSerialPort.h"

#include "platform/PortList.h"

bool CSerialPort::EnumeratePorts() {
    m_nPortCount = 0;
    m_aPorts.fill(0);
    m_aDevices.fill({});
    for (const platform::SerialPortEntry& entry : platform::ListSerialPorts(m_strModuleDir)) {
        ++m_nPortCount;
        if (m_nPortCount <= kMaxPorts) {
            m_aPorts[m_nPortCount - 1] = platform::PortNumberFromName(entry.name);
            m_aDevices[m_nPortCount - 1] = entry.device;
        }
    }
    return m_nPortCount >= 1 && m_nPortCount <= kMaxPorts;
}

int CSerialPort::PortAt(int position) const {
    return position >= 1 && position <= kMaxPorts ? m_aPorts[position - 1] : 0;
}

std::string CSerialPort::DeviceAt(int position) const {
    return position >= 1 && position <= kMaxPorts ? m_aDevices[position - 1] : std::string();
}

void CSerialPort::QueueByte(std::uint8_t) { ++m_nQueued; }
