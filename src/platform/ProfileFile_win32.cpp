// Profile files through the Windows profile functions themselves, so the Windows build reads
// and writes settings and language files exactly as the system does.
#include "ProfileFile.h"

#include "Utf.h"

#include <windows.h>
// The system's A/W macros of these names would rename the functions defined here.
#undef GetProfileString
#undef WriteProfileString
#undef GetProfileSection

namespace platform {

std::u16string GetProfileString(std::u16string_view section, std::u16string_view key,
                                std::u16string_view fallback, const std::string& path,
                                std::size_t bufferUnits) {
    if (bufferUnits == 0) return {};
    const std::u16string s(section), k(key), f(fallback), file = Utf8ToUtf16(path);
    std::u16string buffer(bufferUnits, u'\0');
    const DWORD n = ::GetPrivateProfileStringW(WideCStr(s), WideCStr(k), WideCStr(f), reinterpret_cast<wchar_t*>(buffer.data()),
                                               static_cast<DWORD>(bufferUnits), WideCStr(file));
    buffer.resize(n);
    // The system cuts at the buffer; never keep half of a surrogate pair.
    if (n == bufferUnits - 1 && !buffer.empty() && buffer.back() >= 0xD800 && buffer.back() <= 0xDBFF) buffer.pop_back();
    return buffer;
}

std::vector<std::pair<std::u16string, std::u16string>> GetProfileSection(std::u16string_view section,
                                                                          const std::string& path) {
    const std::u16string s(section), file = Utf8ToUtf16(path);
    // The section comes as "key=value\0key=value\0\0"; grow the buffer until it fits.
    std::u16string buffer(4096, u'\0');
    for (;;) {
        const DWORD n = ::GetPrivateProfileSectionW(WideCStr(s), reinterpret_cast<wchar_t*>(buffer.data()),
                                                    static_cast<DWORD>(buffer.size()), WideCStr(file));
        if (n + 2 < buffer.size() || buffer.size() >= (1u << 24)) {
            buffer.resize(n);
            break;
        }
        buffer.assign(buffer.size() * 4, u'\0');
    }
    std::vector<std::pair<std::u16string, std::u16string>> pairs;
    std::size_t start = 0;
    while (start < buffer.size()) {
        std::size_t end = buffer.find(u'\0', start);
        if (end == std::u16string::npos) end = buffer.size();
        const std::u16string_view line(buffer.data() + start, end - start);
        const auto eq = line.find(u'=');
        if (eq != std::u16string_view::npos) pairs.emplace_back(std::u16string(line.substr(0, eq)), std::u16string(line.substr(eq + 1)));
        start = end + 1;
    }
    return pairs;
}

bool WriteProfileString(std::u16string_view section, std::u16string_view key, std::u16string_view value,
                        const std::string& path) {
    const std::u16string s(section), k(key), v(value), file = Utf8ToUtf16(path);
    const DWORD attributes = ::GetFileAttributesW(WideCStr(file));
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))) {
        ::SetLastError(ERROR_ACCESS_DENIED);  // also for an administrator, as on the other platforms
        return false;
    }
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // A file the system creates itself is ANSI and would lose every other script: start it
        // as UTF-16 (its byte-order mark alone), which the profile functions then keep.
        const HANDLE h = ::CreateFileW(WideCStr(file), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        static const unsigned char kBom[2] = {0xFF, 0xFE};
        DWORD written = 0;
        const bool ok = ::WriteFile(h, kBom, sizeof kBom, &written, nullptr) && written == sizeof kBom;
        ::CloseHandle(h);
        if (!ok) {
            ::DeleteFileW(WideCStr(file));
            return false;
        }
    }
    return ::WritePrivateProfileStringW(WideCStr(s), WideCStr(k), WideCStr(v), WideCStr(file)) != 0;
}

}  // namespace platform
