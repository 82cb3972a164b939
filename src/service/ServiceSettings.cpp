#include "ServiceSettings.h"

#include "platform/ProfileFile.h"
#include "platform/Utf.h"

#include <charconv>
#include <filesystem>
#include <random>

namespace service {

namespace {

std::string Trimmed(std::string text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string Value(const std::string& file, const char16_t* key) {
    return Trimmed(platform::Utf16ToUtf8(platform::GetProfileString(u"Service", key, u"", file, 4096)));
}

}  // namespace

std::string NewToken() {
    std::random_device random;
    static const char digits[] = "0123456789abcdef";
    std::string token;
    for (int i = 0; i < 8; ++i) {
        std::uint32_t bits = random();
        for (int d = 0; d < 8; ++d, bits >>= 4) token += digits[bits & 15];
    }
    return token;
}

SettingsRead ReadSettings(const std::vector<std::string>& folders) {
    SettingsRead read;
    Settings& s = read.settings;
    for (const std::string& folder : folders) {
        if (folder.empty()) continue;
        std::error_code ec;
        if (std::filesystem::is_regular_file(std::filesystem::u8path(folder + "Service.ini"), ec)) {
            s.file = folder + "Service.ini";
            break;
        }
    }
    if (s.file.empty()) return read;
    const std::string port = Value(s.file, u"Port");
    if (port.empty()) return read;
    int number = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (error != std::errc() || end != port.data() + port.size() || number < 0 || number > 65535) {
        read.problem = "Port=" + port;
        return read;
    }
    s.port = number;
    if (s.port == 0) return read;
    if (std::string listen = Value(s.file, u"Listen"); !listen.empty()) {
        // An address, not a name: what the service checks callers' Host against.
        int parts = 0;
        for (std::size_t at = 0; at <= listen.size(); ++parts) {
            const std::size_t dot = std::min(listen.find('.', at), listen.size());
            int value = -1;
            const auto [end, error] = std::from_chars(listen.data() + at, listen.data() + dot, value);
            if (error != std::errc() || end != listen.data() + dot || value < 0 || value > 255 || dot - at > 3) parts = 99;
            at = dot + 1;
        }
        if (parts != 4) {
            read.problem = "Listen=" + listen;
            s.port = 0;
            return read;
        }
        s.listen = listen;
    }
    std::string origins = Value(s.file, u"Origins");
    for (std::size_t at = 0; at <= origins.size();) {
        const std::size_t comma = std::min(origins.find(',', at), origins.size());
        std::string origin = Trimmed(origins.substr(at, comma - at));
        while (!origin.empty() && origin.back() == '/') origin.pop_back();
        if (!origin.empty()) s.origins.push_back(origin);
        at = comma + 1;
    }
    s.hwProxy = Value(s.file, u"HwProxy") == "1";
    s.token = Value(s.file, u"Token");
    if (s.token.empty()) {
        // A new one, written into the file with every other byte of it kept.
        s.token = NewToken();
        read.tokenNotSaved = !platform::WriteProfileString(u"Service", u"Token", platform::Utf8ToUtf16(s.token), s.file);
    }
    return read;
}

}  // namespace service
