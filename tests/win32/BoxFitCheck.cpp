// Opens every message of the language files in a folder in the Windows program's own message box,
// with its longest plausible arguments (paths of 200 characters, the recovery question with a
// five-digit count), and checks each on the screen: the text's whole extent inside the box (or
// inside its scrolling part), the box inside the work area, the buttons visible below the text.
// Run under Wine by scripts/windows-window-test.sh at 100 and 150 %:
//   box_check.exe LANGUAGE_FOLDER
// Prints one line per fault and exits with 1 when there was one.
#include "platform/ProfileFile.h"
#include "Dialogs.h"
#include "LanguageFiles.h"
#include "Notices.h"
#include "Presentation.h"
#include "platform/Utf.h"
#include "resource.h"

#include <windows.h>
#undef GetProfileSection  // (the system's own, a macro; the program's is meant here)

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

namespace {

struct Expect {
    std::string where;
    bool mustScroll = false;
    int faults = 0;
    int checked = 0;
};
Expect* current = nullptr;

void Fault(const char* what) {
    std::printf("FAULT %s: %s\n", current->where.c_str(), what);
    ++current->faults;
}

RECT InBox(HWND box, HWND control) {
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

bool Inside(const RECT& outer, const RECT& inner) {
    return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right && inner.bottom <= outer.bottom;
}

// Measures the box on screen, then answers it.
void Measure(HWND box) {
    ++current->checked;
    RECT frame{}, client{};
    GetWindowRect(box, &frame);
    GetClientRect(box, &client);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(box, MONITOR_DEFAULTTONEAREST), &monitor);
    if (!Inside(monitor.rcWork, frame)) Fault("the box reaches beyond the work area");

    HWND edit = GetDlgItem(box, IDC_TEXT);
    RECT room{};
    SendMessageW(edit, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&room));
    const RECT text = InBox(box, edit);
    if (!Inside(client, text)) Fault("the text's place reaches beyond the box");
    const bool scrolls = (GetWindowLongPtrW(edit, GWL_STYLE) & WS_VSCROLL) != 0;
    if (scrolls != current->mustScroll) Fault(scrolls ? "the text scrolls" : "a text taller than the screen does not scroll");

    // The text's extent as the edit lays it out: every line within its formatting rectangle.
    HDC dc = GetDC(edit);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(edit, WM_GETFONT, 0, 0)));
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    const auto lines = static_cast<int>(SendMessageW(edit, EM_GETLINECOUNT, 0, 0));
    int widest = 0;
    for (int i = 0; i < lines; ++i) {
        wchar_t line[2048]{};
        *reinterpret_cast<WORD*>(line) = static_cast<WORD>(std::size(line) - 1);
        const auto length = static_cast<int>(SendMessageW(edit, EM_GETLINE, i, reinterpret_cast<LPARAM>(line)));
        SIZE size{};
        GetTextExtentPoint32W(dc, line, length, &size);
        widest = std::max<int>(widest, size.cx);
    }
    SelectObject(dc, old);
    ReleaseDC(edit, dc);
    if (widest > room.right - room.left) Fault("a line is wider than the text's place");
    if (!scrolls && lines * metrics.tmHeight > room.bottom - room.top) Fault("the lines are taller than the text's place");

    for (int id : {IDYES, IDNO}) {
        HWND button = GetDlgItem(box, id);
        const RECT r = InBox(box, button);
        if (!IsWindowVisible(button) || !Inside(client, r)) Fault("a button is hidden or outside the box");
        if (r.top < text.bottom) Fault("a button overlaps the text");
    }
    EndDialog(box, IDNO);
}

void CALLBACK Tick(HWND, UINT, UINT_PTR timer, DWORD) {
    HWND box = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), [](HWND w, LPARAM found) {
        if (!IsWindowVisible(w) || !GetDlgItem(w, IDC_TEXT)) return TRUE;
        *reinterpret_cast<HWND*>(found) = w;
        return FALSE;
    }, reinterpret_cast<LPARAM>(&box));
    if (!box) return;
    KillTimer(nullptr, timer);
    Measure(box);
}

void Check(Expect& expect, const localisation::LanguageTexts& texts, const std::u16string& text) {
    current = &expect;
    SetTimer(nullptr, 0, 50, Tick);
    const desk::BoxWords words = desk::WithEnglishButtons(desk::BoxWordsFor(desk::kYesNo, false, texts));
    if (win32::ShowMessage(nullptr, words, text) != win32::kAnswerNo) Fault("the box did not answer No");
}

std::u16string Fill(std::u16string text, const std::u16string& first, const std::u16string& second) {
    for (const auto& [mark, with] : {std::pair{std::u16string(u"%1"), first}, std::pair{std::u16string(u"%2"), second}})
        for (auto at = text.find(mark); at != std::u16string::npos; at = text.find(mark, at + with.size()))
            text.replace(at, mark.size(), with);
    return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: box_check LANGUAGE_FOLDER\n", stderr);
        return 2;
    }
    const std::string folder = platform::Utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[1]));
    std::u16string path = u"C:\\Users\\operator\\Documents\\Pesavo\\";
    while (path.size() < 186) path += u"Lager_Nord_";
    path = path.substr(0, 186) + u"\\weighings.xls";

    Expect expect;
    for (const char* language : {"English.ini", "Chinese.ini"}) {
        const std::string file = folder + "\\" + language;
        const localisation::LanguageTexts texts(file);
        for (const auto& [key, value] : platform::GetProfileSection(u"Message", file)) {
            expect.where = std::string(language) + " " + platform::Utf16ToUtf8(key);
            Check(expect, texts, key == u"Journal_Restore" ? Fill(value, u"65001", u"31/12/2026 23:59:59") : Fill(value, path, path));
        }
        expect.where = std::string(language) + " save failed";
        Check(expect, texts, texts.Text(u"Message", u"Save_error") + u"\n" + localisation::FailureText(texts, ENOSPC) + u"\n" + path);
        expect.where = std::string(language) + " taller than the screen";
        expect.mustScroll = true;
        std::u16string tall;
        for (int i = 0; i < 60; ++i) tall += texts.Text(u"Message", u"Journal_Restore");
        Check(expect, texts, tall);
        expect.mustScroll = false;
    }
    std::printf("%d boxes checked, %d faults\n", expect.checked, expect.faults);
    return expect.faults == 0 && expect.checked > 20 ? 0 : 1;
}
