#include "Presentation.h"

#include "Notices.h"
#include "platform/Utf.h"

namespace desk {

namespace {

struct CaptionKey {
    Control control;
    const char16_t* key;
};

constexpr CaptionKey kCaptionKeys[] = {
    {Control::Save, u"Save_Excel"},          {Control::Clear, u"Clear_Data"},
    {Control::UnitGroup, u"Change_Unit_Caption"}, {Control::PortGroup, u"Serial_Caption_Port"},
    {Control::Refresh, u"Serial_Refresh"},   {Control::LanguageGroup, u"Language_Caption"},
    {Control::LanguageOk, u"Language_OK"},
};

}  // namespace

std::vector<Enabling> EnabledControls(const State& state) {
    // The port and the language are chosen only while not connected (nor waiting for the scale); while a job owns the table,
    // nothing may start another job or change rows; a new language waits for both.
    const bool choosing = !state.connected && !state.waiting, free = !state.busy;
    return {
        {Control::PortGroup, choosing},     {Control::Port, choosing},     {Control::Refresh, choosing},
        {Control::LanguageGroup, choosing}, {Control::Language, choosing}, {Control::LanguageOk, choosing && free},
        {Control::Save, free},              {Control::Clear, free},        {Control::UnitKg, free},
        {Control::UnitLb, free},            {Control::UnitLbOz, free},
    };
}

std::vector<std::u16string> PortLabels(const std::u16string& any, const std::vector<PortItem>& ports) {
    std::vector<std::u16string> labels{any};
    for (const PortItem& port : ports) labels.push_back(u"COM" + platform::Utf8ToUtf16(std::to_string(port.number)));
    return labels;
}

std::vector<Caption> Captions(const localisation::LanguageTexts& texts) {
    std::vector<Caption> captions;
    for (const CaptionKey& c : kCaptionKeys) captions.push_back({c.control, texts.Text(u"Dialog_Caption", c.key)});
    return captions;
}

std::array<std::u16string, 3> ConnectCaptions(const localisation::LanguageTexts& texts) {
    return {texts.Text(u"Dialog_Caption", u"Serial_Caption_Open"), texts.Text(u"Dialog_Caption", u"Serial_Caption_Close"),
            localisation::MessageOr(texts, u"Reconnect_Caption", "Waiting for the scale")};
}

std::array<std::vector<std::u16string>, weighing::kColumns> ColumnSamples(const localisation::LanguageTexts& texts) {
    return {{
        {u"   65001"},
        {u"-16777.215", texts.Text(u"ListCtrl_Header", u"Overweight"), texts.Text(u"ListCtrl_Header", u"Error_EX")},
        {u"LB:OZ"},
        {u"00:00:00"},
        {u"00:00:00 12/31/2026"},
        {u"Maybe sent again"},
    }};
}

BoxWords BoxWordsFor(int mode, bool systemError, const localisation::LanguageTexts& texts) {
    if (systemError) return {kOkOnly, u"Application Error", {}, {}, u"OK"};
    return {mode, texts.Text(u"Message", u"Warning"), texts.Text(u"Message_Button", u"Msg_IDYES"),
            texts.Text(u"Message_Button", u"Msg_IDNO"), texts.Text(u"Message_Button", u"Msg_IDOK")};
}

BoxWords WithEnglishButtons(BoxWords words) {
    for (auto [word, english] : {std::pair{&words.yes, u"Yes"}, {&words.no, u"No"}, {&words.ok, u"OK"}})
        if (word->empty()) *word = english;
    return words;
}

}  // namespace desk
