#include "ProfileFile.h"

#include "Utf.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>

#ifdef _WIN32
#include <windows.h>
#undef GetProfileString
#undef WriteProfileString
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace platform {

namespace {

// A hostile or runaway file is read only this far; real profile files are tiny.
constexpr std::size_t kMaxProfileBytes = 64u * 1024 * 1024;

char16_t FoldCase(char16_t c) {
    if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 32);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);
    return c;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (FoldCase(a[i]) != FoldCase(b[i])) return false;
    return true;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == 0xFEFF; }

std::u16string_view Trim(std::u16string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && (IsBlank(s.back()) || s.back() == u'\r')) s.remove_suffix(1);
    return s;
}

std::u16string_view Unquote(std::u16string_view s) {
    if (s.size() >= 2 && (s.front() == u'"' || s.front() == u'\'') && s.back() == s.front())
        return s.substr(1, s.size() - 2);
    return s;
}

// One parsed line of a profile file.
struct Line {
    enum Kind { Other, Section, Pair } kind = Other;
    std::u16string_view name;   // section name or key
    std::u16string_view value;  // value of a pair
};

Line ParseLine(std::u16string_view raw) {
    Line line;
    std::u16string_view s = Trim(raw);
    if (s.empty() || s.front() == u';') return line;
    if (s.front() == u'[') {
        const auto close = s.find(u']');
        line.kind = Line::Section;
        line.name = Trim(s.substr(1, close == std::u16string_view::npos ? s.size() - 1 : close - 1));
        return line;
    }
    const auto eq = s.find(u'=');
    if (eq == std::u16string_view::npos) return line;
    line.kind = Line::Pair;
    line.name = Trim(s.substr(0, eq));
    line.value = Unquote(Trim(s.substr(eq + 1)));
    return line;
}

// One line of a profile file and the line break that ended it ("\r\n", "\n", a lone "\r" as
// in old Macintosh files, or nothing at the end of the file).
struct RawLine {
    std::u16string_view text;
    std::u16string_view end;
};

std::vector<RawLine> SplitLines(std::u16string_view text) {
    std::vector<RawLine> lines;
    std::size_t start = 0, i = 0;
    while (i < text.size()) {
        if (text[i] != u'\n' && text[i] != u'\r') {
            ++i;
            continue;
        }
        const std::size_t breakLength = text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n' ? 2 : 1;
        lines.push_back({text.substr(start, i - start), text.substr(i, breakLength)});
        i += breakLength;
        start = i;
    }
    if (start < text.size()) lines.push_back({text.substr(start), {}});
    return lines;
}

// The one reading of a profile's sections: finds the first section named `section` (only the
// first of a name counts, like the Windows profile reader) and hands each of its lines to
// `visit(index, line, text)` until the next section or until `visit` returns false. `read` gives
// the text a line is judged by. Returns the section's line index, or -1 when there is none.
template <typename Read, typename Visit>
std::ptrdiff_t ScanSection(const std::vector<RawLine>& lines, std::u16string_view section, Read read, Visit visit) {
    std::ptrdiff_t found = -1;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto text = read(lines[i].text);  // a view when lines are read as they are
        const Line line = ParseLine(text);
        if (line.kind == Line::Section) {
            if (found >= 0) break;
            if (EqualNoCase(line.name, section)) found = static_cast<std::ptrdiff_t>(i);
        } else if (found >= 0 && !visit(i, line, std::u16string_view(text))) {
            break;
        }
    }
    return found;
}

std::u16string_view AsIs(std::u16string_view s) { return s; }

#ifndef _WIN32
bool IsFolder(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_directory(Utf8Path(path), ec);
}
#endif

// `Bytes`: not UTF-8 at all (an ANSI or GBK file from a Windows PC). Such a file is edited byte
// by byte: every byte the edit does not replace stays as it was.
enum class Encoding { Utf8, Utf8Bom, Utf16LeBom, Bytes };

Encoding Sniff(std::string_view bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE)
        return Encoding::Utf16LeBom;
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") return Encoding::Utf8Bom;
    return Encoding::Utf8;
}


#ifndef _WIN32
// Each byte as one unit, so that lines, sections and ASCII keys are found without decoding.
std::u16string WidenBytes(std::string_view bytes) { return std::u16string(bytes.begin(), bytes.end()); }

std::string Encode(std::u16string_view text, Encoding enc) {
    if (enc == Encoding::Bytes) {
        std::string out;
        out.reserve(text.size());
        for (char16_t c : text) out.push_back(static_cast<char>(c & 0xFF));
        return out;
    }
    if (enc == Encoding::Utf16LeBom) {
        std::string out = "\xFF\xFE";
        out.reserve(2 + text.size() * 2);
        for (char16_t c : text) {
            out.push_back(static_cast<char>(c & 0xFF));
            out.push_back(static_cast<char>(c >> 8));
        }
        return out;
    }
    std::string out = enc == Encoding::Utf8Bom ? "\xEF\xBB\xBF" : "";
    return out + Utf16ToUtf8(text);
}

// Writes in place when the folder takes no new file (a writable file in a folder the operator
// may not write to): the whole content at once, as small as a settings file is.
bool OverwriteFile(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "r+b");
    if (!f) return false;
    const bool wrote = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size() && std::fflush(f) == 0 &&
                       ::ftruncate(::fileno(f), static_cast<off_t>(bytes.size())) == 0 && ::fsync(::fileno(f)) == 0;
    return std::fclose(f) == 0 && wrote;
}

// Writes next to the target and renames, so a failed write never leaves half a file. A link is
// followed: the file it names is the one rewritten.
bool ReplaceFile(const std::string& linkOrPath, const std::string& bytes, mode_t mode) {
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::weakly_canonical(Utf8Path(linkOrPath), ec);
    const std::string path = ec ? linkOrPath : real.string();
    const std::string tmp = path + ".pesavo-tmp";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) return (errno == EACCES || errno == EROFS || errno == EPERM) && ::access(path.c_str(), W_OK) == 0 &&
                   OverwriteFile(path, bytes);
    const bool wrote = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const bool flushed = std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0;
    const bool closed = std::fclose(f) == 0;
    if (!(wrote && flushed && closed) || ::chmod(tmp.c_str(), mode) != 0 ||
        std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

#endif

}  // namespace

std::string ReadFileBytes(const std::string& path) {
    // Only a regular file is a profile: a pipe, a device or a socket under a profile's name would
    // block the reader until somebody writes to it (or hold a serial port), so it reads as empty.
    if (path.empty() || IsDeviceName(path)) return {};
    std::string bytes;
#ifdef _WIN32
    const HANDLE file = ::CreateFileW(WideCStr(Utf8ToUtf16(path)), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};  // (a folder too: it opens only with backup semantics)
    if (::GetFileType(file) == FILE_TYPE_DISK) {
        char chunk[65536];
        DWORD got = 0;
        while (bytes.size() < kMaxProfileBytes && ::ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
            bytes.append(chunk, got);
    }
    ::CloseHandle(file);
#else
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    // Opened without waiting and checked again once open: the name may have changed meanwhile.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char chunk[65536];
        while (bytes.size() < kMaxProfileBytes) {
            const ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            bytes.append(chunk, static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
#endif
    if (bytes.size() > kMaxProfileBytes) bytes.resize(kMaxProfileBytes);
    return bytes;
}

bool IsDeviceName(const std::string& path) {
#ifdef _WIN32
    // Windows opens these names as devices in every folder, with any extension ("COM5.ini") and
    // blanks before it: the console, printers, serial and parallel ports, the null device.
    const auto cut = path.find_last_of("/\\:");
    std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    name = name.substr(0, name.find('.'));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    for (char& c : name) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"})
        if (name == device) return true;
    // COM1-COM9 and LPT1-LPT9, and with the superscript digits ¹ ² ³ (UTF-8 C2 B9, C2 B2, C2 B3)
    if (name.size() >= 4 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "LPT") == 0)) {
        const std::string digit = name.substr(3);
        if (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') return true;
        if (digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3") return true;
    }
    return false;
#else
    (void)path;
    return false;
#endif
}

std::u16string DecodeProfileBytes(std::string_view bytes) {
    switch (Sniff(bytes)) {
        case Encoding::Utf16LeBom: {
            std::u16string out;
            out.reserve(bytes.size() / 2);
            for (std::size_t i = 2; i + 1 < bytes.size(); i += 2)
                out.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                    (static_cast<unsigned char>(bytes[i + 1]) << 8)));
            return out;
        }
        case Encoding::Utf8Bom: return Utf8ToUtf16(bytes.substr(3));
        case Encoding::Utf8:
        case Encoding::Bytes: break;
    }
    bool valid = true;
    std::u16string text = Utf8ToUtf16(bytes, &valid);
#ifdef _WIN32
    // Without a mark and not UTF-8: written in the system's ANSI code page (a CP1252 or GBK file
    // saved by Notepad), which is how the system's own profile functions read it too.
    if (!valid && !bytes.empty() && bytes.size() <= 0x7FFFFFFF) {
        const int n = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
        if (n > 0) {
            text.assign(static_cast<std::size_t>(n), u'\0');
            ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), reinterpret_cast<wchar_t*>(text.data()), n);
        }
    }
#endif
    // (elsewhere the system's text is UTF-8: a broken byte reads as U+FFFD, its ASCII keys and
    // values come through)
    return text;
}

bool FindProfileValue(std::u16string_view text, std::u16string_view section, std::u16string_view key,
                      std::u16string& value) {
    bool found = false;
    ScanSection(SplitLines(text), section, AsIs, [&](std::size_t, const Line& line, std::u16string_view) {
        if (line.kind != Line::Pair || !EqualNoCase(line.name, key)) return true;
        value.assign(line.value);
        found = true;
        return false;
    });
    return found;
}

#ifndef _WIN32
// The Windows build reads and writes through the system's own profile functions
// (ProfileFile_win32.cpp); elsewhere the rules above are applied here.

std::u16string GetProfileString(std::u16string_view section, std::u16string_view key,
                                std::u16string_view fallback, const std::string& path,
                                std::size_t bufferUnits) {
    std::u16string value;
    if (!FindProfileValue(DecodeProfileBytes(ReadFileBytes(path)), section, key, value)) value.assign(fallback);
    const std::size_t limit = bufferUnits == 0 ? 0 : bufferUnits - 1;
    if (value.size() > limit) {
        value.resize(limit);
        if (!value.empty() && value.back() >= 0xD800 && value.back() <= 0xDBFF) value.pop_back();
    }
    return value;
}

std::vector<std::pair<std::u16string, std::u16string>> GetProfileSection(std::u16string_view section,
                                                                          const std::string& path) {
    std::vector<std::pair<std::u16string, std::u16string>> pairs;
    const std::u16string text = DecodeProfileBytes(ReadFileBytes(path));
    ScanSection(SplitLines(text), section, AsIs, [&](std::size_t, const Line& line, std::u16string_view) {
        if (line.kind == Line::Pair) pairs.emplace_back(std::u16string(line.name), std::u16string(line.value));
        return true;
    });
    return pairs;
}

bool WriteProfileString(std::u16string_view section, std::u16string_view key, std::u16string_view value,
                        const std::string& path) {
    if (path.empty() || IsFolder(path)) return false;
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    // A read-only file stays untouched even for an administrator, who could bypass the mode.
    if (exists && (::access(path.c_str(), W_OK) != 0 || (st.st_mode & 0222) == 0)) return false;
    const std::string bytes = exists ? ReadFileBytes(path) : std::string();
    Encoding enc = Sniff(bytes);
    // A UTF-8 mark is kept as it is and the rest looked at on its own.
    const std::string_view mark = enc == Encoding::Utf8Bom ? std::string_view(bytes).substr(0, 3) : std::string_view();
    bool valid = true;
    if (enc == Encoding::Utf8 || enc == Encoding::Utf8Bom) Utf8ToUtf16(std::string_view(bytes).substr(mark.size()), &valid);
    if (!valid) enc = Encoding::Bytes;
    const std::u16string text =
        enc == Encoding::Bytes ? WidenBytes(std::string_view(bytes).substr(mark.size())) : DecodeProfileBytes(bytes);
    const std::u16string eol = text.find(u"\r\n") != std::u16string::npos || text.empty() ? u"\r\n" : u"\n";

    const std::vector<RawLine> lines = SplitLines(text);
    // In a file of unknown 8-bit encoding each line keeps its bytes, is judged as the reader
    // reads it (UTF-8, broken bytes replaced), and what is new goes in as UTF-8.
    auto asWritten = [&](std::u16string_view s) { return enc == Encoding::Bytes ? WidenBytes(Utf16ToUtf8(s)) : std::u16string(s); };
    auto asRead = [&](std::u16string_view s) {
        if (enc != Encoding::Bytes) return std::u16string(s);
        std::string narrow(s.size(), '\0');
        for (std::size_t i = 0; i < s.size(); ++i) narrow[i] = static_cast<char>(s[i] & 0xFF);
        return Utf8ToUtf16(narrow);
    };
    const std::u16string pair = asWritten(std::u16string(key) + u"=" + std::u16string(value));

    // Locate the section, the key inside it, and the last non-blank line of the section.
    std::ptrdiff_t keyLine = -1, lastInSection = -1;
    const std::ptrdiff_t sectionLine =
        ScanSection(lines, section, asRead, [&](std::size_t i, const Line& line, std::u16string_view read) {
            if (!Trim(read).empty()) lastInSection = static_cast<std::ptrdiff_t>(i);
            if (line.kind != Line::Pair || !EqualNoCase(line.name, key)) return true;
            keyLine = static_cast<std::ptrdiff_t>(i);
            return false;
        });
    if (lastInSection < 0) lastInSection = sectionLine;

    std::u16string out;
    out.reserve(text.size() + pair.size() + 32);
    // Every line keeps its own line break; new lines and a last line without one get the file's.
    auto emit = [&](std::u16string_view s, std::u16string_view end) {
        out.append(s);
        out.append(end.empty() ? std::u16string_view(eol) : end);
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (static_cast<std::ptrdiff_t>(i) == keyLine) {
            emit(pair, lines[i].end);
            continue;
        }
        emit(lines[i].text, lines[i].end);
        if (keyLine < 0 && static_cast<std::ptrdiff_t>(i) == lastInSection) emit(pair, {});
    }
    if (sectionLine < 0) {
        emit(asWritten(u"[" + std::u16string(section) + u"]"), {});
        emit(pair, {});
    }
    return ReplaceFile(path, (enc == Encoding::Bytes ? std::string(mark) : std::string()) + Encode(out, enc),
                       exists ? (st.st_mode & 07777) : 0644);
}

#endif

}  // namespace platform
