#include "Folder.h"

#include "Utf.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
#else
#include <dirent.h>
#include <pwd.h>
#include <unistd.h>
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

#ifdef _WIN32
namespace {
std::string Environment(const wchar_t* name) {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD n = ::GetEnvironmentVariableW(name, buffer, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH) return {};
    return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(buffer), n));
}
}  // namespace
#else
namespace {
// $HOME, else the account's own home (a service or a cron job may run without one).
std::string Home() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return home;
    const passwd* account = ::getpwuid(::getuid());
    return account && account->pw_dir && account->pw_dir[0] == '/' ? account->pw_dir : "";
}

// $XDG_CONFIG_HOME, else ~/.config; a relative one is ignored, as the base directory rules say.
std::string ConfigHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return xdg;
    const std::string home = Home();
    return home.empty() ? home : home + "/.config";
}
}  // namespace
#endif

std::string UserSettingsFolder() {
#ifdef _WIN32
    const std::string appData = Environment(L"APPDATA");
    return appData.empty() ? appData : appData + "\\Pesavo";
#else
    const std::string config = ConfigHome();
    return config.empty() ? config : config + "/pesavo";
#endif
}

std::string UserDocumentsFolder() {
#ifdef _WIN32
    wchar_t buffer[MAX_PATH + 1]{};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, buffer))) return {};
    return Utf16ToUtf8(reinterpret_cast<const char16_t*>(buffer));
#else
    const std::string homeFolder = Home();
    // The desktop's own name for it: XDG_DOCUMENTS_DIR="$HOME/…" in user-dirs.dirs.
    if (const std::string config = ConfigHome(); !config.empty()) {
        std::ifstream dirs(config + "/user-dirs.dirs");
        for (std::string line; std::getline(dirs, line);) {
            const std::string key = "XDG_DOCUMENTS_DIR=\"";
            if (line.compare(0, key.size(), key) != 0 || line.size() < key.size() + 1 || line.back() != '"') continue;
            std::string value = line.substr(key.size(), line.size() - key.size() - 1);
            if (value.compare(0, 6, "$HOME/") == 0 && !homeFolder.empty()) value = homeFolder + value.substr(5);
            if (!value.empty() && value[0] == '/') return value;
        }
    }
    return homeFolder.empty() ? homeFolder : homeFolder + "/Documents";
#endif
}

std::string MakeFolder(const std::string& folder) {
    std::error_code ec;
    std::filesystem::create_directories(Utf8Path(folder), ec);
    return folder;
}

bool CanWriteIn(const std::string& folder) {
#ifdef _WIN32
    // The folder's permissions are the system's to judge: try a file that removes itself.
    const std::u16string probe = Utf8ToUtf16(folder + "~pesavo-write-check.tmp");
    const HANDLE file = ::CreateFileW(WideCStr(probe), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    ::CloseHandle(file);
    return true;
#else
    return !folder.empty() && ::access(folder.c_str(), W_OK | X_OK) == 0;
#endif
}

}  // namespace platform
