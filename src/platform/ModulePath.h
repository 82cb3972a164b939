#pragma once
// Where the program lives and how paths are spelled on this platform.
#include <string>

namespace platform {

// The path separator of this platform's file names.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Folder of the running executable, ending in the path separator; empty when unknown.
std::string ModuleDirectory();

// Where the program finds what it reads: its own files, and the serial devices the kernel lists.
// The running program takes OfThisProgram(); tests and tools hand the window and the serial
// engine a scratch copy instead.
struct ProgramPlaces {
    std::string folder;      // Language\, Setting.ini, SerialComm.ini; ends in the path separator
    std::string kernelTtys;  // the kernel's serial device listing (POSIX only)
    // An installed program's folder is not the operator's to write: then the operator's own
    // Setting.ini and device map live in `userSettings` (read first when there; the shipped
    // Setting.ini stays the default) and the automatic save goes to `documents`. Both end in the
    // path separator and are created when first written; empty means the program's folder.
    std::string userSettings{};
    std::string documents{};
    std::string manual{};  // the manual F1 opens; empty: ..\Doc\ beside the program's folder

    // The Setting.ini the program writes (the operator's own when there are user folders).
    std::string SettingsToWrite() const;
    static ProgramPlaces OfThisProgram();
};

// Turns either separator into this platform's, so setting files written on Windows
// (with backslashes) work here unchanged.
std::string NativeSeparators(std::string path);

}  // namespace platform
