#include "ModulePath.h"

#include "Folder.h"
#include "Utf.h"

#include <algorithm>
#include <filesystem>

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

#ifdef _WIN32
namespace {
// The program's folder as the installer recorded it (HKLM\Software\Pesavo, InstallFolder); empty
// when Pesavo was not installed by it.
std::string InstalledFolder() {
    wchar_t buffer[MAX_PATH * 4]{};
    DWORD size = sizeof buffer;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Pesavo", L"InstallFolder", RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return {};
    return Utf16ToUtf8(reinterpret_cast<const char16_t*>(buffer));
}

// The folder's full long name (a start through an 8.3 short name spells it differently), without
// a trailing separator.
std::u16string LongName(const std::string& folder) {
    std::u16string name = Utf8ToUtf16(folder);
    wchar_t buffer[MAX_PATH * 4]{};
    const DWORD n = ::GetLongPathNameW(WideCStr(name), buffer, static_cast<DWORD>(std::size(buffer)));
    if (n > 0 && n < std::size(buffer)) name.assign(reinterpret_cast<const char16_t*>(buffer), n);
    while (!name.empty() && (name.back() == u'\\' || name.back() == u'/')) name.pop_back();
    return name;
}

bool SameFolder(const std::string& a, const std::string& b) {
    const std::u16string la = LongName(a), lb = LongName(b);
    if (la.empty() || lb.empty()) return false;
    return ::CompareStringOrdinal(WideCStr(la), -1, WideCStr(lb), -1, TRUE) == CSTR_EQUAL;
}
}  // namespace
#endif

std::string ProgramPlaces::SettingsToWrite() const { return (userSettings.empty() ? folder : userSettings) + "Setting.ini"; }

ProgramPlaces ProgramPlaces::OfThisProgram() {
    ProgramPlaces places{ModuleDirectory(), "/sys/class/tty"};
    bool installed = false;
#ifndef _WIN32
    // Installed as a package: the executable in <prefix>/bin, what it reads in <prefix>/share/pesavo.
    std::error_code ec;
    const std::filesystem::path shared = std::filesystem::path(places.folder) / ".." / "share" / "pesavo";
    if (!places.folder.empty() && !std::filesystem::is_directory(places.folder + "Language", ec) &&
        std::filesystem::is_directory(shared / "Language", ec)) {
        places.folder = std::filesystem::weakly_canonical(shared, ec).string() + kPathSeparator;
        places.manual = places.folder + "Doc/Korvane电子秤上位机使用说明.pdf";
        installed = true;
    }
#else
    // Installed by its installer, which names the folder it installed into: not the operator's
    // to write, whatever an administrator's rights would allow.
    installed = SameFolder(InstalledFolder(), places.folder);
    if (installed) places.manual = places.folder + "..\\Doc\\Korvane电子秤上位机使用说明.pdf";
#endif
    if (installed || !CanWriteIn(places.folder)) {
        if (const std::string settings = UserSettingsFolder(); !settings.empty()) places.userSettings = settings + kPathSeparator;
        if (const std::string documents = UserDocumentsFolder(); !documents.empty())
            places.documents = documents + kPathSeparator + "Pesavo" + kPathSeparator;
    }
    return places;
}

std::string NativeSeparators(std::string path) {
    std::replace(path.begin(), path.end(), kPathSeparator == '/' ? '\\' : '/', kPathSeparator);
    return path;
}

}  // namespace platform
