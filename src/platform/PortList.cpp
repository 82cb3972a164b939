#include "PortList.h"

#include "ProfileFile.h"
#include "Utf.h"

#include <algorithm>
#include <climits>
#include <set>

namespace platform {

int PortNumberFromName(std::u16string_view name) {
    if (name.size() <= 3) return 0;
    name.remove_prefix(3);
    while (!name.empty() && (name.front() == u' ' || (name.front() >= u'\t' && name.front() <= u'\r')))
        name.remove_prefix(1);
    bool negative = false;
    if (!name.empty() && (name.front() == u'-' || name.front() == u'+')) {
        negative = name.front() == u'-';
        name.remove_prefix(1);
    }
    long long value = 0;
    for (char16_t c : name) {
        if (c < u'0' || c > u'9') break;
        value = std::min<long long>(value * 10 + (c - u'0'), static_cast<long long>(INT_MAX) + 1);
    }
    if (negative) value = -value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

std::vector<SerialPortEntry> MappedPorts(const ProgramPlaces& places) {
    std::vector<SerialPortEntry> ports;
    std::set<int> numbers;
    // The operator's own device map first (an installed program's folder is not theirs to
    // write), then the one beside the program; a port number, and a device the operator mapped,
    // are listed once.
    std::vector<std::string> maps{places.folder + "SerialComm.ini"};
    if (!places.userSettings.empty()) maps.insert(maps.begin(), places.userSettings + "SerialComm.ini");
    std::set<std::string> mappedByUser;
    for (const std::string& map : maps)
        for (const auto& [key, value] : GetProfileSection(u"SerialComm", map)) {
            const int number = PortNumberFromName(key);
            if (number <= 0 || value.empty() || numbers.count(number) || mappedByUser.count(Utf16ToUtf8(value))) continue;
            if (maps.size() > 1 && &map == &maps.front()) mappedByUser.insert(Utf16ToUtf8(value));
            ports.push_back({u"COM" + Utf8ToUtf16(std::to_string(number)), Utf16ToUtf8(value)});
            numbers.insert(number);
        }
    return ports;
}

std::string DeviceForPort(const ProgramPlaces& places, int number) {
    for (const SerialPortEntry& e : ListSerialPorts(places))
        if (PortNumberFromName(e.name) == number) return e.device;
    return {};
}

}  // namespace platform
