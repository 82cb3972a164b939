// Which transport a port's place needs, and what a network place names: the same on every
// platform.
#include "SerialDevice.h"
#include "TcpTransport.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace platform {

namespace {

constexpr std::string_view kTcpScheme = "tcp://";

bool IsHostNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

bool IsAddress6Char(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
}

}  // namespace

bool IsTcpPlace(const std::string& place) {
    return place.size() >= kTcpScheme.size() &&
           std::equal(kTcpScheme.begin(), kTcpScheme.end(), place.begin(),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

bool ParseTcpPlace(const std::string& place, std::string& host, std::uint16_t& port) {
    if (!IsTcpPlace(place)) return false;
    const std::string_view rest = std::string_view(place).substr(kTcpScheme.size());
    std::size_t colon;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos || close == 1) return false;
        const std::string_view inside = rest.substr(1, close - 1);
        if (!std::all_of(inside.begin(), inside.end(), IsAddress6Char) || inside.find(':') == std::string_view::npos)
            return false;
        host.assign(inside);
        colon = close + 1;
    } else {
        colon = rest.find(':');
        if (colon == 0 || colon == std::string_view::npos) return false;
        const std::string_view name = rest.substr(0, colon);
        if (!std::all_of(name.begin(), name.end(), IsHostNameChar)) return false;
        host.assign(name);
    }
    if (colon >= rest.size() || rest[colon] != ':') return false;
    const std::string_view digits = rest.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    unsigned value = 0;
    for (char c : digits) value = value * 10 + static_cast<unsigned>(c - '0');
    if (value < 1 || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

const char* TransportKind(const std::string& place) { return IsTcpPlace(place) ? "tcp" : "serial"; }

std::unique_ptr<Transport> MakeTransport(const std::string& place) {
    if (IsTcpPlace(place)) return std::make_unique<TcpTransport>();
    return std::make_unique<SerialDevice>();
}

}  // namespace platform
