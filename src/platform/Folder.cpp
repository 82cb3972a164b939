#include "Folder.h"

#include "Utf.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#endif

namespace platform {

std::vector<std::string> ListFolder(const std::string& folder) {
    std::vector<std::string> names;
    auto keep = [&](std::string name) {
        if (name != "." && name != "..") names.push_back(std::move(name));
    };
#ifdef _WIN32
    const std::u16string pattern = Utf8ToUtf16(folder + "\\*");
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW(WideCStr(pattern), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        keep(Utf16ToUtf8(reinterpret_cast<const char16_t*>(found.cFileName)));
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
#else
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return names;
    while (const dirent* e = ::readdir(dir)) keep(e->d_name);
    ::closedir(dir);
#endif
    return names;
}

std::string UserDataFolder() {
#ifdef _WIN32
    wchar_t buffer[MAX_PATH + 1];
    const DWORD n = ::GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH) return {};
    return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(buffer), n)) + "\\Pesavo";
#else
    // A relative XDG_DATA_HOME is to be ignored, as the base directory rules say.
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/pesavo";
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return std::string(home) + "/.local/share/pesavo";
    return {};
#endif
}

}  // namespace platform
