#pragma once
// What every view of the desk shows the same way, decided once below the windows: which controls
// the desk's state leaves enabled, the port list's items, which caption each control takes from
// the language, the texts each column must have room for, the save dialog's file type and the
// message box's words. A window asks and draws; how it draws is its own.
#include "Desk.h"
#include "LanguageFiles.h"
#include "MeasurementTable.h"

#include <array>
#include <string>
#include <vector>

namespace desk {

// The main window's controls that the state or the language changes, by their ids in window
// template 102 (both windows keep them).
enum class Control : int {
    Connect = 1002, Port = 1004, Language = 1005, UnitKg = 1010, UnitLb = 1011, UnitLbOz = 1012,
    Clear = 1013, Refresh = 1014, Save = 1015, LanguageOk = 1016, UnitGroup = 1019, PortGroup = 1020,
    LanguageGroup = 1021, Test = 1038,
};

struct Enabling {
    Control control;
    bool enabled;
};
// Each control whose enabled state follows `state`, once, with that state (the connect and Test
// buttons are always enabled).
std::vector<Enabling> EnabledControls(const State& state);

// The port list's items: `any` (search every port), then each port as the system names it.
std::vector<std::u16string> PortLabels(const std::u16string& any, const std::vector<PortItem>& ports);

struct Caption {
    Control control;
    std::u16string text;
};
// The captions of the language's section "Dialog_Caption" that stay while it is the window's
// language (the connect and Test buttons' follow the state).
std::vector<Caption> Captions(const localisation::LanguageTexts& texts);
// The connect button's captions (closed, connected, waiting for the scale): room for the longest
// keeps the window's width when the connection changes.
std::array<std::u16string, 3> ConnectCaptions(const localisation::LanguageTexts& texts);

// For each column, the widest texts it shows: the last row's number, the longest weight and the
// words shown in a weight's place, a unit, a duration, a time, a short explanation.
std::array<std::vector<std::u16string>, weighing::kColumns> ColumnSamples(const localisation::LanguageTexts& texts);

// The file type the save dialog offers: its name as the dialog shows it (with its pattern), the
// pattern, and the suffix a name typed without one gets.
struct FileType {
    const char16_t* name;
    const char16_t* pattern;
    const char16_t* suffix;
};
inline constexpr FileType kSaveFileType{u"Excel Files(*.xls)", u"*.xls", u"xls"};

// The message box's buttons (Mode) and the words on it.
struct BoxWords {
    int mode = kOkOnly;
    std::u16string caption, yes, no, ok;
};
// A box of `mode` in the language of `texts`: captioned with its "Warning", its buttons' words
// from "Message_Button"; a word the language lacks is empty. The serial engine's own box
// (`systemError`) shows OK alone under the caption "Application Error", whatever the language.
BoxWords BoxWordsFor(int mode, bool systemError, const localisation::LanguageTexts& texts);
// `words` with English on each button the language left without a word.
BoxWords WithEnglishButtons(BoxWords words);

}  // namespace desk
