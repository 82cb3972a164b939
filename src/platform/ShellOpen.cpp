#include "ShellOpen.h"

#ifdef _WIN32
#include "Utf.h"

#include <windows.h>
#include <shellapi.h>

namespace platform {

bool ShellOpenDocument(const std::string& path) {
    const std::u16string wide = Utf8ToUtf16(path);
    const wchar_t* name = WideCStr(wide);
    const DWORD attributes = ::GetFileAttributesW(name);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    // Values above 32 mean the viewer was started.
    return reinterpret_cast<INT_PTR>(::ShellExecuteW(nullptr, L"open", name, nullptr, nullptr, SW_SHOWNORMAL)) > 32;
}

bool ShellOpenAddress(const std::string& address) {
    if (address.rfind("http://", 0) != 0 && address.rfind("https://", 0) != 0) return false;
    const std::u16string wide = Utf8ToUtf16(address);
    return reinterpret_cast<INT_PTR>(::ShellExecuteW(nullptr, L"open", WideCStr(wide), nullptr, nullptr, SW_SHOWNORMAL)) > 32;
}

}  // namespace platform

#else
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace platform {

namespace {

bool Open(const std::string& path) {
    char opener[] = "xdg-open";
    std::string arg = path;
    char* argv[] = {opener, arg.data(), nullptr};
    pid_t pid = 0;
    if (::posix_spawnp(&pid, opener, nullptr, nullptr, argv, environ) != 0) return false;
    // xdg-open returns quickly; reap it in the background so no zombie is left behind.
    std::thread([pid] {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }).detach();
    return true;
}

}  // namespace

bool ShellOpenDocument(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    return Open(path);
}

bool ShellOpenAddress(const std::string& address) {
    if (address.rfind("http://", 0) != 0 && address.rfind("https://", 0) != 0) return false;
    return Open(address);
}

}  // namespace platform

#endif
