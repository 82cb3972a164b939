#include "ShellOpen.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace platform {

bool ShellOpenDocument(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
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

}  // namespace platform
