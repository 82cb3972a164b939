#include "Folder.h"

#include "Utf.h"

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

}  // namespace platform
