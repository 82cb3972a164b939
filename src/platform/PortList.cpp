#include "PortList.h"

#include <algorithm>
#include <climits>

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

std::string DeviceForPort(const ProgramPlaces& places, int number) {
    for (const SerialPortEntry& e : ListSerialPorts(places))
        if (PortNumberFromName(e.name) == number) return e.device;
    return {};
}

}  // namespace platform
