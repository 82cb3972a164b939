#include "Languages.h"

#include "Notices.h"
#include "Questions.h"
#include "platform/Folder.h"
#include "platform/ProfileFile.h"
#include "platform/Utf.h"

#include <cerrno>
#include <filesystem>

namespace desk {

namespace {

constexpr const char16_t* kColumnKeys[weighing::kColumns] = {u"Number", u"Data", u"Unit", u"Duration", u"Update_Time", u"Explan"};

bool IsFile(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(platform::Utf8Path(path), ec);
}

}  // namespace

void Languages::Load() {
    settingFile_ = places_.SettingsToWrite();
    const std::u16string value = Setting(u"Language_FileName");
    const std::string chosen = localisation::LanguageFilePath(places_.folder, value);
    // Read once, here; a name that leaves the language folder is not opened at all.
    auto texts = localisation::StaysInLanguageFolder(value) ? std::make_shared<const localisation::LanguageTexts>(chosen)
                                                             : std::make_shared<const localisation::LanguageTexts>();
    if (!texts->Usable()) {
        // No settings, or they name a file that is gone, damaged or without the window's texts:
        // English if it can be used, else the first language of the folder that can, so that no
        // box ever shows without words. Setting.ini keeps what the operator chose.
        std::vector<std::string> candidates{places_.folder + "Language" + platform::kPathSeparator + "English.ini"};
        for (const std::string& file : localisation::ListLanguageFolder(places_.folder)) candidates.push_back(file);
        std::shared_ptr<const localisation::LanguageTexts> fallback;
        for (const std::string& file : candidates) {
            if (!IsFile(file)) continue;
            auto candidate = std::make_shared<const localisation::LanguageTexts>(file);
            if (candidate->Usable()) {
                fallback = std::move(candidate);
                break;
            }
        }
        // A language the settings name but that cannot be used is worth a word; no settings at
        // all (a first start) are not.
        if (!value.empty()) refusedAtStart_ = chosen;
        texts = fallback ? fallback : std::make_shared<const localisation::LanguageTexts>();
    }
    std::lock_guard lock(mutex_);
    texts_ = std::move(texts);
}

std::u16string Languages::Setting(const char16_t* section, const char16_t* key) const {
    // The operator's own choice first, key by key: the shipped Setting.ini stays the default.
    if (!places_.userSettings.empty()) {
        std::u16string value = localisation::ReadProfileText(settingFile_, section, key);
        if (!value.empty()) return value;
    }
    return localisation::ReadProfileText(places_.folder + "Setting.ini", section, key);
}

std::u16string Languages::RefusalText(const std::string& file) const {
    // In the language the window keeps (English words when none can be used).
    const std::shared_ptr<const localisation::LanguageTexts> kept = Texts();
    const std::u16string keptName = kept->File().empty() ? std::u16string(u"-") : kept->Text(u"Language_Configuration", u"Language_Name");
    return Fill(MessageText(u"Language_Unusable", "The language file %1 cannot be used: it is missing, cannot be read "
                                                  "or lacks the window's texts. The window stays in %2."),
                platform::Utf8ToUtf16(file), keptName);
}

Languages::List Languages::ListFolder() {
    List list;
    files_ = localisation::ListLanguageFolder(places_.folder);
    list.files = files_;
    const std::u16string current = Setting(u"Language_Name");
    const std::shared_ptr<const localisation::LanguageTexts> inUse = Texts();
    int selection = 0, inUseAt = -1;
    for (std::size_t i = 0; i < files_.size(); ++i) {
        // Read as the window reads its texts, so that a name is the same wherever it is shown.
        list.names.push_back(localisation::LanguageTexts(files_[i]).Text(u"Language_Configuration", u"Language_Name"));
        if (list.names.back() == current) selection = static_cast<int>(i);  // the last match wins
        if (files_[i] == inUse->File()) inUseAt = static_cast<int>(i);
    }
    // The list shows the language the window is in: where the settings name another (a file that
    // is gone or cannot be used), Apply would otherwise switch to a language nobody chose.
    if (inUseAt >= 0 && !files_.empty() &&
        list.names[static_cast<std::size_t>(selection)] != list.names[static_cast<std::size_t>(inUseAt)])
        selection = inUseAt;
    list.selection = files_.empty() ? -1 : selection;
    return list;
}

Languages::Switch Languages::SwitchTo(int index) {
    Switch result;
    if (index < 0 || static_cast<std::size_t>(index) >= files_.size()) return result;
    result.file = files_[static_cast<std::size_t>(index)];
    auto texts = std::make_shared<const localisation::LanguageTexts>(result.file);
    const std::u16string name = texts->Text(u"Language_Configuration", u"Language_Name");
    if (!IsFile(result.file) || !texts->Usable()) {
        // Missing (deleted since the list was filled), unreadable or damaged: not applied, and
        // Setting.ini keeps the language that works.
        result.outcome = Switch::Refused;
        return result;
    }
    {
        std::lock_guard lock(mutex_);  // the connection worker may be reading a text
        texts_ = std::move(texts);
    }
    result.outcome = Switch::Switched;
    // A settings file that cannot be written only means the next start uses the old language.
    errno = 0;
    if (!places_.userSettings.empty()) platform::MakeFolder(places_.userSettings);  // the operator's own, on the first switch
    result.saved = platform::WriteProfileString(u"Language_Configuration", u"Language_Name", name, settingFile_) &&
                   platform::WriteProfileString(u"Language_Configuration", u"Language_FileName",
                                                localisation::LanguageFileNameValue(result.file), settingFile_);
    result.why = result.saved ? 0 : errno ? errno : EIO;
    return result;
}

std::shared_ptr<const localisation::LanguageTexts> Languages::Texts() const {
    std::lock_guard lock(mutex_);
    return texts_ ? texts_ : std::make_shared<const localisation::LanguageTexts>();
}

std::u16string Languages::Text(const char16_t* section, const char16_t* key) const {
    std::lock_guard lock(mutex_);
    return texts_ ? texts_->Text(section, key) : std::u16string();
}

std::u16string Languages::MessageText(const char16_t* key, const char* english) const {
    return localisation::MessageOr(*Texts(), key, english);
}

void Languages::ReadTitles() {
    for (int c = 0; c < weighing::kColumns; ++c) titles_[static_cast<std::size_t>(c)] = Text(u"ListCtrl_Header", kColumnKeys[c]);
}

}  // namespace desk
