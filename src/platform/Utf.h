#pragma once
// UTF-8 / UTF-16 conversions used wherever the program crosses between file bytes
// (UTF-8 paths and files) and its UTF-16 texts.
#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

// Decodes UTF-8; every malformed sequence becomes U+FFFD so hostile input never throws.
// When `valid` is given it reports whether the input was well-formed.
std::u16string Utf8ToUtf16(std::string_view in, bool* valid = nullptr);
// The same, appended to `out`; returns whether the input was well-formed.
bool AppendUtf8AsUtf16(std::string_view in, std::u16string& out);

// Encodes UTF-16; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view in);

#ifdef _WIN32
// A UTF-16 text as the Windows API's wide string (wchar_t is UTF-16 there).
inline const wchar_t* WideCStr(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
#endif

// A file system path from a UTF-8 path text (on Windows the wide path the system needs).
inline std::filesystem::path Utf8Path(std::string_view utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace platform
