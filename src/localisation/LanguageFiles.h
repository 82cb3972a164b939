#pragma once
// Settings and language files on disk: where they are and how one text is read. A running
// program reads its language once (LanguageTexts); a switch of language replaces it whole, so
// the very next message shows the new one.
#include <cstddef>
#include <string>
#include <vector>

namespace localisation {

// Size of every text buffer of the program, in UTF-16 units: a value is cut to one less.
inline constexpr std::size_t kTextBufferUnits = 500;

// Reads one key into `buffer` (kTextBufferUnits units, zero-terminated); a missing file,
// section or key gives empty text. Returns the number of units read.
std::size_t ReadProfileText(const std::string& file, const char16_t* section, const char16_t* key,
                            char16_t (&buffer)[kTextBufferUnits]);

// Same lookup, returned as a string.
std::u16string ReadProfileText(const std::string& file, const char16_t* section, const char16_t* key);

// One language file read once into memory, with the lookup rules of the profile functions:
// every text of a running program comes from here, never from the disk. It is never changed
// after it is made, so any thread may read it.
class LanguageTexts {
public:
    LanguageTexts() = default;  // no file: every text is empty
    explicit LanguageTexts(const std::string& file);
    const std::string& File() const { return file_; }
    // The value, cut to kTextBufferUnits - 1 units like a fixed buffer; empty when missing.
    std::u16string Text(const char16_t* section, const char16_t* key) const;
    // The file was read and has the window's own texts (its captions, column titles and the
    // message box's buttons): a language the window can be shown in.
    bool Usable() const;

private:
    std::string file_;
    std::u16string text_;  // the whole file, decoded
};

// The language file named by a "Language_FileName" value such as "\Chinese.ini": the value keeps
// its leading backslash (setting files are shared with the Windows program), either separator works.
std::string LanguageFilePath(const std::string& moduleDir, const std::u16string& fileNameValue);

// Whether such a value names something inside the language folder: a ".." step would leave it,
// so such a value names no language and is never opened.
bool StaysInLanguageFolder(const std::u16string& fileNameValue);

// The value written back to "Language_FileName" for a chosen file: a backslash and its name.
std::u16string LanguageFileNameValue(const std::string& languageFile);

// Full paths of every entry of the language folder except "." and "..", sorted by name;
// files and subfolders alike. Empty when the folder is missing.
std::vector<std::string> ListLanguageFolder(const std::string& moduleDir);

}  // namespace localisation
