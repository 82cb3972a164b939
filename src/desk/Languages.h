#pragma once
// The desk's language: Setting.ini (the operator's own before the shipped one), the language in
// use and its texts, the list of the language folder, a switch to another, and the table's column
// titles in the language. The texts are read once per language and replaced whole by a switch,
// so the very next message is in the new one; any thread may read them.
#include "LanguageFiles.h"
#include "MeasurementTable.h"
#include "platform/ModulePath.h"

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace desk {

class Languages {
public:
    explicit Languages(const platform::ProgramPlaces& places) : places_(places) {}

    // Reads the settings and the language they name; one that cannot be used gives way to
    // English, else to the first of the folder that can (see RefusedAtStart).
    void Load();
    // The language file the settings name, when it could not be used (empty: none, or none named).
    const std::string& RefusedAtStart() const { return refusedAtStart_; }
    // What the operator is told of a language file that cannot be used.
    std::u16string RefusalText(const std::string& file) const;

    // The language folder as the list shows it: each entry's name, its file, and the entry of the
    // language in use.
    struct List {
        std::vector<std::u16string> names;
        std::vector<std::string> files;
        int selection = -1;
    };
    List ListFolder();

    // Switches to entry `index` of the list shown last and keeps the choice in Setting.ini.
    struct Switch {
        enum Outcome { Ignored, Refused, Switched } outcome = Ignored;
        std::string file;    // the file switched to (or refused)
        bool saved = true;   // the choice is in Setting.ini
        int why = 0;         // errno when it is not
    };
    Switch SwitchTo(int index);

    std::shared_ptr<const localisation::LanguageTexts> Texts() const;
    // A text of the language in use (empty when missing); from any thread.
    std::u16string Text(const char16_t* section, const char16_t* key) const;
    // A message of the language, or the program's English words when it has none.
    std::u16string MessageText(const char16_t* key, const char* english) const;
    // The column titles, read again from the language in use.
    void ReadTitles();
    const std::array<std::u16string, weighing::kColumns>& Titles() const { return titles_; }
    const std::string& SettingFile() const { return settingFile_; }
    // A value of Setting.ini: the operator's own file first, then the shipped one.
    std::u16string Setting(const char16_t* section, const char16_t* key) const;

private:
    std::u16string Setting(const char16_t* key) const { return Setting(u"Language_Configuration", key); }

    const platform::ProgramPlaces& places_;
    std::string settingFile_;
    std::string refusedAtStart_;
    mutable std::mutex mutex_;  // the workers read texts too
    std::shared_ptr<const localisation::LanguageTexts> texts_;
    std::vector<std::string> files_;  // of the list shown last
    std::array<std::u16string, weighing::kColumns> titles_;
};

}  // namespace desk
