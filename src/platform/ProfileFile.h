#pragma once
// Profile (INI) files with the lookup rules of the Windows profile functions, so that
// settings and language files behave the same on every platform:
//  - section and key names compare without regard to case; the first match wins;
//  - blanks around names and values are trimmed, one pair of surrounding quotes is removed;
//  - anything missing (file, section, key) yields the caller's default;
//  - files may be UTF-8 (with or without BOM) or UTF-16LE with BOM.
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#ifdef _WIN32
// windows.h gives the system's own profile functions these names; ours are meant wherever this
// header is included.
#undef GetProfileString
#undef WriteProfileString
#endif

namespace platform {

// Decodes the bytes of a profile file into UTF-16 text (BOM-sniffed, never throws).
std::u16string DecodeProfileBytes(std::string_view bytes);

// Reads the whole file; an unreadable path, a folder or anything that is not a regular file (a
// pipe, a device, a socket) gives an empty string, at once.
std::string ReadFileBytes(const std::string& path);

// Whether the last part of `path` is a name the system opens as a device wherever it stands
// (Windows: CON, NUL, COM1, LPT2.txt, …); never on other systems.
bool IsDeviceName(const std::string& path);

// Finds a value in already decoded profile text. Returns false when section or key is missing.
bool FindProfileValue(std::u16string_view text, std::u16string_view section, std::u16string_view key,
                      std::u16string& value);

// The analogue of GetPrivateProfileStringW: the value, or `fallback`, cut to bufferUnits - 1
// UTF-16 units like a caller's fixed buffer would. A cut never splits a surrogate pair.
std::u16string GetProfileString(std::u16string_view section, std::u16string_view key,
                                std::u16string_view fallback, const std::string& path,
                                std::size_t bufferUnits);

// Every key=value pair of a section, in file order (first section of that name only).
std::vector<std::pair<std::u16string, std::u16string>> GetProfileSection(std::u16string_view section,
                                                                          const std::string& path);

// The analogue of WritePrivateProfileStringW: replaces the key's value in place, keeping every
// other line and the file's encoding; creates the key, the section and the file when missing.
// Returns false when the file cannot be written (the file on disk is then unchanged).
bool WriteProfileString(std::u16string_view section, std::u16string_view key, std::u16string_view value,
                        const std::string& path);

}  // namespace platform
