#include "Dialogs.h"

#include "resource.h"

#include <commctrl.h>

#include <algorithm>

namespace win32 {

namespace {

struct Message {
    const localisation::LanguageTexts* texts;
    int mode;
    std::u16string text, title;
};

INT_PTR CALLBACK MessageProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            const auto* m = reinterpret_cast<const Message*>(lParam);
            // A button is never left without a word (the engine's box has no language, a
            // language file may lack the button's key).
            const auto caption = [&](int id, const char16_t* key, const char16_t* english) {
                const std::u16string text = m->texts->Text(u"Message_Button", key);
                SetDlgItemTextW(box, id, W(text.empty() ? std::u16string(english) : text));
            };
            const bool twoButtons = m->mode == kYesNo;
            ShowWindow(GetDlgItem(box, IDOK), twoButtons ? SW_HIDE : SW_SHOW);
            ShowWindow(GetDlgItem(box, IDYES), twoButtons ? SW_SHOW : SW_HIDE);
            ShowWindow(GetDlgItem(box, IDNO), twoButtons ? SW_SHOW : SW_HIDE);
            if (twoButtons) {
                caption(IDYES, u"Msg_IDYES", u"Yes");
                caption(IDNO, u"Msg_IDNO", u"No");
            } else {
                caption(IDOK, u"Msg_IDOK", u"OK");
            }
            SetWindowTextW(box, W(m->title));
            // The text gets the room it needs: a long message (a file's path, a system's reason)
            // is never cut off. The box grows downwards and the buttons move with it.
            HWND label = GetDlgItem(box, IDC_TEXT);
            SetWindowTextW(label, W(m->text));
            RECT r{};
            GetWindowRect(label, &r);
            MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&r), 2);
            HDC dc = GetDC(label);
            HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
            RECT need{0, 0, r.right - r.left, 0};
            DrawTextW(dc, W(m->text), -1, &need, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
            SelectObject(dc, old);
            ReleaseDC(label, dc);
            const int extra = static_cast<int>(need.bottom) - (r.bottom - r.top);
            if (extra > 0) {
                SetWindowPos(label, nullptr, 0, 0, r.right - r.left, need.bottom, SWP_NOMOVE | SWP_NOZORDER);
                for (int id : {IDOK, IDYES, IDNO}) {
                    HWND b = GetDlgItem(box, id);
                    RECT br{};
                    GetWindowRect(b, &br);
                    MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&br), 2);
                    SetWindowPos(b, nullptr, br.left, br.top + extra, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
                }
                RECT wr{};
                GetWindowRect(box, &wr);
                SetWindowPos(box, nullptr, 0, 0, wr.right - wr.left, wr.bottom - wr.top + extra, SWP_NOMOVE | SWP_NOZORDER);
            }
            SetFocus(GetDlgItem(box, twoButtons ? IDYES : IDOK));
            return FALSE;
        }
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDYES: case IDNO: case IDOK: case IDCANCEL:
                    EndDialog(box, LOWORD(wParam));
                    return TRUE;
            }
            break;
    }
    return FALSE;
}

struct Progress {
    std::u16string caption, display;
    const std::atomic<int>* value;
    std::function<bool()> ended;
    HWND* shown;
};

constexpr UINT_PTR kTimer = 1;

INT_PTR CALLBACK ProgressProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            auto* p = reinterpret_cast<Progress*>(lParam);
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            *p->shown = dialog;
            SetWindowTextW(dialog, W(p->caption));
            SetDlgItemTextW(dialog, IDC_TEXT, W(p->display));
            SendDlgItemMessageW(dialog, IDC_PROGRESS_BAR, PBM_SETRANGE32, 0, 1000000);
            SetTimer(dialog, kTimer, 20, nullptr);
            if (p->ended()) EndDialog(dialog, IDOK);  // the job ended before the box showed
            return TRUE;
        }
        case WM_TIMER: {
            auto* p = reinterpret_cast<Progress*>(GetWindowLongPtrW(dialog, DWLP_USER));
            const int v = p->value->load();
            SendDlgItemMessageW(dialog, IDC_PROGRESS_BAR, PBM_SETPOS, v < 0 ? 1000000 : std::min(v, 1000000), 0);
            if (p->ended()) {
                KillTimer(dialog, kTimer);
                EndDialog(dialog, IDOK);
            }
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) != IDCANCEL) break;  // Esc: as the close box
            [[fallthrough]];
        case WM_CLOSE:
            // The window is given back; the job runs on to its end.
            KillTimer(dialog, kTimer);
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        case WM_DESTROY:
            if (auto* p = reinterpret_cast<Progress*>(GetWindowLongPtrW(dialog, DWLP_USER)); p && *p->shown == dialog)
                *p->shown = nullptr;
            break;
    }
    return FALSE;
}

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG) return TRUE;
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

}  // namespace

int ShowMessage(HWND owner, const localisation::LanguageTexts& texts, int mode, const std::u16string& text,
                const std::u16string& title) {
    Message m{&texts, mode, text, title.empty() ? texts.Text(u"Message", u"Warning") : title};
    const INT_PTR answer = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MESSAGE), owner, MessageProc,
                                           reinterpret_cast<LPARAM>(&m));
    return answer <= 0 ? kAnswerCancel : static_cast<int>(answer);
}

void ShowProgress(HWND owner, const std::u16string& caption, const std::u16string& display, const std::atomic<int>& progress,
                  std::function<bool()> ended, HWND* shown) {
    Progress p{caption, display, &progress, std::move(ended), shown};
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PROGRESS), owner, ProgressProc, reinterpret_cast<LPARAM>(&p));
}

void ShowAbout(HWND owner) {
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUTBOX), owner, AboutProc, 0);
}

}  // namespace win32
