// The ports of a Windows system: the network serial servers of the device map, then the values
// of the registry key the serial drivers fill in, each value's data being the port's name
// ("COM5").
#include "PortList.h"

#include "TcpTransport.h"
#include "Utf.h"

#include <windows.h>

#include <set>

namespace platform {

std::vector<SerialPortEntry> ListSerialPorts(const ProgramPlaces& places) {
    // The system lists its own serial devices; a map written for another system names device
    // paths that mean nothing here.
    std::vector<SerialPortEntry> ports;
    std::set<int> numbers;
    for (SerialPortEntry& e : MappedPorts(places))
        if (IsTcpPlace(e.device)) {
            numbers.insert(PortNumberFromName(e.name));
            ports.push_back(std::move(e));
        }
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return ports;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = static_cast<DWORD>(std::size(name));
        wchar_t data[256];
        DWORD dataBytes = sizeof data;
        DWORD type = 0;
        const LONG result = ::RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                                            reinterpret_cast<BYTE*>(data), &dataBytes);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS || type != REG_SZ) continue;  // not a port name, or longer than any
        std::u16string value(reinterpret_cast<const char16_t*>(data), dataBytes / sizeof(wchar_t));
        while (!value.empty() && value.back() == u'\0') value.pop_back();
        if (value.empty() || numbers.count(PortNumberFromName(value))) continue;
        ports.push_back({value, Utf16ToUtf8(value)});
    }
    ::RegCloseKey(key);
    return ports;
}

}  // namespace platform
