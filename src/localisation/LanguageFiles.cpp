#include "LanguageFiles.h"

#include "platform/Folder.h"
#include "platform/ModulePath.h"
#include "platform/ProfileFile.h"
#include "platform/Utf.h"

#include <algorithm>

namespace localisation {

std::size_t ReadProfileText(const std::string& file, const char16_t* section, const char16_t* key,
                            char16_t (&buffer)[kTextBufferUnits]) {
    const std::u16string value = platform::GetProfileString(section, key, u"", file, kTextBufferUnits);
    std::copy(value.begin(), value.end(), buffer);
    buffer[value.size()] = 0;
    return value.size();
}

std::u16string ReadProfileText(const std::string& file, const char16_t* section, const char16_t* key) {
    return platform::GetProfileString(section, key, u"", file, kTextBufferUnits);
}

LanguageTexts::LanguageTexts(const std::string& file)
    : file_(file), text_(platform::DecodeProfileBytes(platform::ReadFileBytes(file))) {}

std::u16string LanguageTexts::Text(const char16_t* section, const char16_t* key) const {
    std::u16string value;
    if (!platform::FindProfileValue(text_, section, key, value)) return {};
    if (value.size() >= kTextBufferUnits) {
        value.resize(kTextBufferUnits - 1);
        if (value.back() >= 0xD800 && value.back() <= 0xDBFF) value.pop_back();  // never half a pair
    }
    return value;
}

bool LanguageTexts::Usable() const {
    static constexpr const char16_t* kNeeded[][2] = {
        {u"Dialog_Caption", u"Dialog_Caption"},  {u"Dialog_Caption", u"Serial_Caption_Open"},
        {u"Dialog_Caption", u"Serial_Caption_Close"}, {u"Dialog_Caption", u"Save_Excel"},
        {u"Dialog_Caption", u"Clear_Data"},      {u"ListCtrl_Header", u"Number"},
        {u"ListCtrl_Header", u"Data"},           {u"Message_Button", u"Msg_IDYES"},
        {u"Message_Button", u"Msg_IDNO"},        {u"Message_Button", u"Msg_IDOK"},
    };
    for (const auto& [section, key] : kNeeded)
        if (Text(section, key).empty()) return false;
    return true;
}

std::string LanguageFilePath(const std::string& moduleDir, const std::u16string& fileNameValue) {
    return moduleDir + "Language" + platform::NativeSeparators(platform::Utf16ToUtf8(fileNameValue));
}

bool StaysInLanguageFolder(const std::u16string& fileNameValue) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = fileNameValue.find_first_of(u"/\\", start);
        std::u16string_view part = std::u16string_view(fileNameValue).substr(start, end == std::u16string::npos ? end : end - start);
        // (Windows drops a step's trailing blanks and dots: ".. " and "..." are ".." there)
        while (!part.empty() && part.back() == u' ') part.remove_suffix(1);
        if (part.size() >= 2 && part.find_first_not_of(u'.') == std::u16string_view::npos) return false;
        if (end == std::u16string::npos) return true;
        start = end + 1;
    }
}

std::u16string LanguageFileNameValue(const std::string& languageFile) {
    const auto cut = languageFile.find_last_of("/\\");
    const std::string name = cut == std::string::npos ? languageFile : languageFile.substr(cut + 1);
    std::u16string value = u"\\";
    value += platform::Utf8ToUtf16(name);
    return value;
}

std::vector<std::string> ListLanguageFolder(const std::string& moduleDir) {
    std::vector<std::string> entries;
    const std::string folder = moduleDir + "Language";
    for (const std::string& name : platform::ListFolder(folder)) entries.push_back(folder + platform::kPathSeparator + name);
    // Sorted like an NTFS listing, so the list has the same order on every machine.
    std::sort(entries.begin(), entries.end());
    return entries;
}

}  // namespace localisation
