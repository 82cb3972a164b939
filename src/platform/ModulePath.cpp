#include "ModulePath.h"

#include "Utf.h"

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace platform {

std::string ModuleDirectory() {
#ifdef _WIN32
    wchar_t buf[MAX_PATH * 4] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, buf, static_cast<DWORD>(std::size(buf)));
    if (n == 0 || n >= std::size(buf)) return {};
    const std::string path = Utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(buf), n));
#else
    char buf[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string path(buf, static_cast<std::size_t>(n));
#endif
    const auto cut = path.find_last_of(kPathSeparator);
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

ProgramPlaces ProgramPlaces::OfThisProgram() { return {ModuleDirectory(), "/sys/class/tty"}; }

std::string NativeSeparators(std::string path) {
    std::replace(path.begin(), path.end(), kPathSeparator == '/' ? '\\' : '/', kPathSeparator);
    return path;
}

}  // namespace platform
