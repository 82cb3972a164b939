// Any bytes as a settings or language file — any encoding, any line endings, broken text —
// are read without a fault; a value written into such a file is read back as written and
// leaves every other section's values as they were.
#include "platform/ProfileFile.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace {

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "%s\n", what);
        std::abort();
    }
}

std::string ScratchFile() {
    return "/tmp/pesavo-fuzz-profile-" + std::to_string(getpid()) + ".ini";
}

// Whether a section name is "Other" to the profile functions (which fold ASCII and Latin-1 letters).
bool IsOther(const std::u16string& s) {
    static const std::u16string other = u"other";
    if (s.size() != other.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i)
        if ((s[i] >= u'A' && s[i] <= u'Z' ? s[i] + 32 : s[i]) != other[i]) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string section8 = in.ConsumeRandomLengthString(16);
    const std::string key8 = in.ConsumeRandomLengthString(16);
    const std::size_t buffer = in.ConsumeIntegralInRange<std::size_t>(1, 300);
    const std::string bytes = in.ConsumeRemainingBytesAsString();
    const std::u16string section(section8.begin(), section8.end()), key(key8.begin(), key8.end());

    const std::u16string text = platform::DecodeProfileBytes(bytes);
    std::u16string value;
    if (platform::FindProfileValue(text, section, key, value))
        Require(value.find(u'\n') == std::u16string::npos && value.find(u'\r') == std::u16string::npos, "a value holds a line break");

    const std::string path = ScratchFile();
    {
        std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    const std::u16string read = platform::GetProfileString(section, key, u"-", path, buffer);
    Require(read.size() < buffer, "a value longer than its buffer");
    if (!read.empty()) Require(read.back() < 0xD800 || read.back() > 0xDBFF, "half of a surrogate pair at the cut");
    const auto others = platform::GetProfileSection(u"Other", path);

    // Names the Windows functions cannot hold (blank-edged, brackets, '=', line breaks) are left out.
    auto plainName = [](const std::u16string& s) {
        if (s.empty() || s.front() == u' ' || s.back() == u' ' || s.front() == u'\t' || s.back() == u'\t') return false;
        for (char16_t c : s)
            if (c == u'[' || c == u']' || c == u'=' || c == u'\r' || c == u'\n' || c == u';' || c == 0 || c == u'"') return false;
        return true;
    };
    if (plainName(section) && plainName(key) && !IsOther(section)) {
        const std::u16string written = u"value " + key;
        if (platform::WriteProfileString(section, key, written, path)) {
            Require(platform::GetProfileString(section, key, u"", path, 512) == written, "a written value does not read back");
            Require(platform::GetProfileSection(u"Other", path) == others, "a write changed another section");
        }
    }
    unlink(path.c_str());
    return 0;
}
