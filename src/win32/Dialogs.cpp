#include "Dialogs.h"

#include "resource.h"

#include <commctrl.h>

#include <algorithm>

namespace win32 {

namespace {

// Gives the text of a box (a read-only edit without a frame, `id`) the room it needs, the box
// growing with it: wrapped at a readable width, never narrower than the template has it, a word
// longer than a line (a path) broken where it must be. The box never grows beyond the work area
// of its monitor: beyond that the text scrolls inside it. The controls below the text (the
// buttons, the progress bar) move down with it and stay inside; the box keeps its centre where
// it fits.
void FitToText(HWND box, int id, const std::u16string& text) {
    HWND edit = GetDlgItem(box, id);
    SendMessageW(edit, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, 0);
    SetWindowTextW(edit, W(text));
    RECT client{}, frame{}, label{};
    GetClientRect(box, &client);
    GetWindowRect(box, &frame);
    GetWindowRect(edit, &label);
    MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&label), 2);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(box, MONITOR_DEFAULTTONEAREST), &monitor);
    const RECT work = monitor.rcWork;
    const int frameWidth = (frame.right - frame.left) - client.right, frameHeight = (frame.bottom - frame.top) - client.bottom;
    const int labelWidth = label.right - label.left, labelHeight = label.bottom - label.top;
    const int right = client.right - label.right, below = client.bottom - label.bottom;  // margins and buttons
    const int widest = (work.right - work.left) - frameWidth - label.left - right;
    const int highest = (work.bottom - work.top) - frameHeight - label.top - below;
    RECT readable{0, 0, 250, 0};  // dialog units: some 60 Latin letters, 30 Chinese characters
    MapDialogRect(box, &readable);

    HDC dc = GetDC(edit);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(edit, WM_GETFONT, 0, 0)));
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    const int slack = 2 * GetSystemMetrics(SM_CXEDGE);  // the edit's way of wrapping may differ by a pixel
    RECT need{0, 0, std::max(labelWidth, std::min<int>(readable.right, widest)) - slack, 0};
    DrawTextW(dc, W(text), -1, &need, DT_CALCRECT | DT_WORDBREAK | DT_EDITCONTROL | DT_EXPANDTABS | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(edit, dc);

    int width = std::clamp<int>(need.right + slack, labelWidth, std::max(labelWidth, widest));
    // The lines the edit itself shows at that width.
    SetWindowPos(edit, nullptr, 0, 0, width, labelHeight, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    const auto lines = static_cast<int>(SendMessageW(edit, EM_GETLINECOUNT, 0, 0));
    int height = std::max(labelHeight, lines * static_cast<int>(metrics.tmHeight) + 2);
    if (height > highest) {
        // Taller than the screen: it scrolls (and Tab reaches it for the keyboard).
        height = std::max(labelHeight, highest);
        width = std::min(width + GetSystemMetrics(SM_CXVSCROLL), std::max(labelWidth, widest));
        SetWindowLongPtrW(edit, GWL_STYLE, GetWindowLongPtrW(edit, GWL_STYLE) | WS_VSCROLL | WS_TABSTOP);
    }
    SetWindowPos(edit, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);

    const int wider = width - labelWidth, taller = height - labelHeight;
    if (wider == 0 && taller == 0) return;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        RECT r{};
        GetWindowRect(child, &r);
        MapWindowPoints(nullptr, box, reinterpret_cast<POINT*>(&r), 2);
        if (child == edit || r.top < label.bottom) continue;
        // A control across the box (the progress bar) widens with it, the buttons keep their place
        // relative to its middle.
        const bool across = (r.right - r.left) * 2 > client.right;
        SetWindowPos(child, nullptr, r.left + (across ? 0 : wider / 2), r.top + taller, r.right - r.left + (across ? wider : 0),
                     r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    const int boxWidth = client.right + wider + frameWidth, boxHeight = client.bottom + taller + frameHeight;
    const int x = std::clamp<int>((frame.left + frame.right - boxWidth) / 2, work.left, std::max<int>(work.left, work.right - boxWidth));
    const int y = std::clamp<int>((frame.top + frame.bottom - boxHeight) / 2, work.top, std::max<int>(work.top, work.bottom - boxHeight));
    SetWindowPos(box, nullptr, x, y, boxWidth, boxHeight, SWP_NOZORDER | SWP_NOACTIVATE);
}

struct Message {
    const desk::BoxWords* words;
    std::u16string text;
};

INT_PTR CALLBACK MessageProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            const auto* m = reinterpret_cast<const Message*>(lParam);
            const desk::BoxWords& words = *m->words;
            const bool twoButtons = words.mode == kYesNo;
            ShowWindow(GetDlgItem(box, IDOK), twoButtons ? SW_HIDE : SW_SHOW);
            ShowWindow(GetDlgItem(box, IDYES), twoButtons ? SW_SHOW : SW_HIDE);
            ShowWindow(GetDlgItem(box, IDNO), twoButtons ? SW_SHOW : SW_HIDE);
            if (twoButtons) {
                SetDlgItemTextW(box, IDYES, W(words.yes));
                SetDlgItemTextW(box, IDNO, W(words.no));
            } else {
                SetDlgItemTextW(box, IDOK, W(words.ok));
            }
            SetWindowTextW(box, W(words.caption));
            FitToText(box, IDC_TEXT, m->text);
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
            FitToText(dialog, IDC_TEXT, p->display);
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

int ShowMessage(HWND owner, const desk::BoxWords& words, const std::u16string& text) {
    Message m{&words, text};
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
