#include "ModulePath.h"

#include <algorithm>
#include <unistd.h>

namespace platform {

namespace {
std::string g_testModuleDir;
}

void SetModuleDirectoryForTesting(const std::string& dir) { g_testModuleDir = dir; }

std::string ModuleDirectory() {
    if (!g_testModuleDir.empty()) return g_testModuleDir;
    char buf[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string path(buf, static_cast<std::size_t>(n));
    const auto cut = path.find_last_of('/');
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string NativeSeparators(std::string path) {
    std::replace(path.begin(), path.end(), kPathSeparator == '/' ? '\\' : '/', kPathSeparator);
    return path;
}

}  // namespace platform
