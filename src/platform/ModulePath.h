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

// Tests run the program's logic against a folder of their own; empty restores the real one.
void SetModuleDirectoryForTesting(const std::string& dir);

// Turns either separator into this platform's, so setting files written on Windows
// (with backslashes) work here unchanged.
std::string NativeSeparators(std::string path);

}  // namespace platform
