#include "MainWindow.h"

#include "Dialogs.h"
#include "Presentation.h"
#include "platform/Folder.h"
#include "platform/Utf.h"
#include "resource.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <array>
#include <utility>

namespace win32 {

namespace {

// desk::Control names the controls by their ids in this template.
constexpr int Id(desk::Control control) { return static_cast<int>(control); }
static_assert(Id(desk::Control::Connect) == IDC_CONNECT && Id(desk::Control::Port) == IDC_PORT &&
              Id(desk::Control::Language) == IDC_LANGUAGE && Id(desk::Control::UnitKg) == IDC_UNIT_KG &&
              Id(desk::Control::UnitLb) == IDC_UNIT_LB && Id(desk::Control::UnitLbOz) == IDC_UNIT_LBOZ &&
              Id(desk::Control::Clear) == IDC_CLEAR && Id(desk::Control::Refresh) == IDC_REFRESH &&
              Id(desk::Control::Save) == IDC_SAVE && Id(desk::Control::LanguageOk) == IDC_LANGUAGE_OK &&
              Id(desk::Control::UnitGroup) == IDC_UNIT_GROUP && Id(desk::Control::PortGroup) == IDC_PORT_GROUP &&
              Id(desk::Control::LanguageGroup) == IDC_LANGUAGE_GROUP && Id(desk::Control::Test) == IDC_TEST);

constexpr UINT_PTR kDeskTimer = 1;

desk::Options OptionsOf(platform::ProgramPlaces places) {
    desk::Options options;
    options.places = std::move(places);
    options.journalFolder = platform::UserDataFolder();
    return options;
}

}  // namespace

MainWindow::MainWindow(platform::ProgramPlaces places) : desk_(*this, OptionsOf(std::move(places))) {}

MainWindow::~MainWindow() { calls_.Detach(); }

INT_PTR MainWindow::Run(HINSTANCE instance) {
    return DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_PESAVO), nullptr, Proc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK MainWindow::Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<MainWindow*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        self->hwnd_ = window;
        self->calls_.Attach(window);
    }
    auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, DWLP_USER));
    return self ? self->Handle(message, wParam, lParam) : FALSE;
}

INT_PTR MainWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            OnInitDialog();
            return TRUE;
        case WindowCalls::kMessage:
            calls_.RunNext();
            return TRUE;
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam));
            return TRUE;
        case WM_TIMER:
            if (wParam != kDeskTimer) break;
            KillTimer(hwnd_, kDeskTimer);
            desk_.OnTimer();
            return TRUE;
        case WM_NOTIFY: {
            auto* header = reinterpret_cast<NMHDR*>(lParam);
            if (header->idFrom == IDC_LIST && header->code == LVN_GETDISPINFOW) {
                OnGetDispInfo(reinterpret_cast<NMLVDISPINFOW*>(lParam));
                return TRUE;
            }
            break;
        }
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
                ShowAbout(hwnd_);
                return TRUE;
            }
            if ((wParam & 0xFFF0) == IDM_LIVEPAGE) {
                desk_.OpenLivePage();
                return TRUE;
            }
            break;
        case WM_HELP:
            desk_.OpenManual();
            return TRUE;
        case WM_CLOSE:
            desk_.OnClose();
            return TRUE;
    }
    return FALSE;
}

void MainWindow::OnInitDialog() {
    if (HMENU menu = GetSystemMenu(hwnd_, FALSE)) {
        wchar_t about[128] = {};
        if (LoadStringW(GetModuleHandleW(nullptr), IDS_ABOUTBOX, about, 128) > 0) {
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
            AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, about);
        }
    }
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    icon_ = LoadIconW(instance, MAKEINTRESOURCEW(IDI_MAIN));
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
    iconConnected_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_CONNECTED), IMAGE_ICON, 32, 32, 0));
    iconDisconnected_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_DISCONNECTED), IMAGE_ICON, 32, 32, 0));
    SendMessageW(Item(IDC_CONNECT), BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(iconDisconnected_));

    list_ = Item(IDC_LIST);
    tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, instance, nullptr);
    RememberLayout();
    ListView_SetExtendedListViewStyle(list_, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    for (int c = 0; c < weighing::kColumns; ++c) {
        LVCOLUMNW column{};
        column.mask = LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        column.cx = 70;
        column.pszText = const_cast<wchar_t*>(L"");
        column.iSubItem = c;
        ListView_InsertColumn(list_, c, &column);
    }
    desk_.Start();
    // The local weight service's page, in the title's menu beside About, when there is one.
    if (HMENU menu = GetSystemMenu(hwnd_, FALSE); menu && desk_.HasLivePage()) {
        std::u16string caption = desk_.Text(u"Dialog_Caption", u"About_Live_Page");
        if (caption.empty()) caption = u"Open the live page";
        AppendMenuW(menu, MF_STRING, IDM_LIVEPAGE, reinterpret_cast<const wchar_t*>(caption.c_str()));
    }
    // Shown now, in its language, rather than when the dialog's loop first idles: a question
    // the start asks (the journal's rows, no ports) opens over the window, not alone.
    ShowWindow(hwnd_, SW_SHOW);
}

void MainWindow::OnCommand(int id, int code) {
    const auto selection = [this](int combo) { return static_cast<int>(SendMessageW(Item(combo), CB_GETCURSEL, 0, 0)); };
    if (id == IDOK || id == IDCANCEL) {
        // Esc and Enter go the close box's way: a stray key never discards the table or leaves
        // the scale without its disconnect notice.
        desk_.OnClose();
        return;
    }
    if (id == IDC_PORT && code == CBN_DROPDOWN) {
        if (!desk_.Connected()) desk_.RefreshPortList();
        return;
    }
    if (code != BN_CLICKED) return;
    switch (id) {
        case IDC_CONNECT: desk_.ToggleConnection(selection(IDC_PORT)); break;
        case IDC_UNIT_KG: case IDC_UNIT_LB: case IDC_UNIT_LBOZ: desk_.OnUnit(id - IDC_UNIT_KG); break;
        case IDC_CLEAR: desk_.OnClearData(); break;
        case IDC_REFRESH: desk_.RefreshPortList(); break;
        case IDC_SAVE: desk_.OnSaveTable(); break;
        case IDC_LANGUAGE_OK: desk_.OnLanguageOK(selection(IDC_LANGUAGE)); break;
        case IDC_TEST: desk_.StartTestMode(); break;
    }
}

// ---- what the desk asks of the window ----

void MainWindow::Post(std::function<void()> fn) { calls_.Post(std::move(fn)); }

void MainWindow::StartTimer(int ms) { SetTimer(hwnd_, kDeskTimer, static_cast<UINT>(std::max(ms, 0)), nullptr); }

void MainWindow::RowsInserted(std::size_t, std::size_t) { ShowRows(); }
void MainWindow::RowsRemoved(std::size_t, std::size_t) { ShowRows(); }
void MainWindow::RowsReset() { ShowRows(); }

void MainWindow::RowsChanged(std::size_t first, std::size_t end) {
    if (end > first) ListView_RedrawItems(list_, static_cast<int>(first), static_cast<int>(end - 1));
}

void MainWindow::TitlesChanged() { SetTitles(); }

void MainWindow::ShowTexts() {
    // (The connect button's and the Test button's captions come with the desk's state.)
    for (const desk::Caption& c : desk::Captions(*desk_.Texts())) captions_[Id(c.control)] = c.text;
    FitControls();
}

void MainWindow::ShowState(const desk::State& state) {
    SetWindowTextW(hwnd_, W(state.title));
    SetCaption(IDC_CONNECT, state.connectCaption);
    SendMessageW(Item(IDC_CONNECT), BM_SETIMAGE, IMAGE_ICON,
                 reinterpret_cast<LPARAM>(state.connected ? iconConnected_ : iconDisconnected_));
    SetCaption(IDC_TEST, state.testCaption);
    for (const desk::Enabling& e : desk::EnabledControls(state)) EnableWindow(Item(Id(e.control)), e.enabled);
    // While a unit change runs, the radio the operator chose stays checked (the desk's unit
    // changes at its end); the radios are locked meanwhile.
    if (!state.busy) CheckRadioButton(hwnd_, IDC_UNIT_KG, IDC_UNIT_LBOZ, IDC_UNIT_KG + state.unit);
}

void MainWindow::ShowPorts(const std::u16string& any, const std::vector<desk::PortItem>& ports) {
    HWND combo = Item(IDC_PORT);
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    for (const std::u16string& label : desk::PortLabels(any, ports))
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W(label)));
    SendMessageW(combo, CB_SETCURSEL, 0, 0);
    // The list opening on a refresh keeps its place; otherwise the column fits the new names.
    if (!SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0)) FitControls();
}

void MainWindow::ShowLanguages(const std::vector<std::u16string>& names, const std::vector<std::string>&, int selection) {
    HWND combo = Item(IDC_LANGUAGE);
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    for (const std::u16string& name : names) SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W(name)));
    if (!names.empty()) SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(std::max(selection, 0)), 0);
    FitControls();
}

// A box, the save dialog and the progress dialog each start from a posted call: the desk's call
// that asked for them has returned by then, and while they are open the window's messages (the
// desk's frames among them) keep running in their loop.

HWND MainWindow::Owner() const {
    // Over whichever of them is open (a question during the save dialog locks that dialog too).
    return GetLastActivePopup(hwnd_);
}

void MainWindow::Ask(const desk::Question& question) {
    calls_.Post([this, question] {
        // A button is never left without a word (a language file may lack the button's key).
        const desk::BoxWords words = desk::WithEnglishButtons(desk::BoxWordsFor(question.mode, question.systemError, *desk_.Texts()));
        ++openDialogs_;
        const int answer = ShowMessage(Owner(), words, question.text);
        --openDialogs_;
        desk_.Answer(question.id, answer);
    });
}

void MainWindow::AskSavePath(const std::string& fileName, const std::string& folder) {
    calls_.Post([this, fileName, folder] {
        wchar_t chosen[MAX_PATH * 4] = {};
        const std::u16string initial = platform::Utf8ToUtf16(fileName).substr(0, std::size(chosen) - 1);
        std::copy(initial.begin(), initial.end(), reinterpret_cast<char16_t*>(chosen));
        const std::u16string start = platform::Utf8ToUtf16(folder);
        // The file type's name and pattern, each ending in a zero, and one more zero after them.
        const std::u16string filter = std::u16string(desk::kSaveFileType.name) + u'\0' + desk::kSaveFileType.pattern + u'\0';
        OPENFILENAMEW dialog{};
        dialog.lStructSize = sizeof dialog;
        dialog.hwndOwner = Owner();
        dialog.lpstrFilter = W(filter);
        dialog.lpstrFile = chosen;
        dialog.nMaxFile = static_cast<DWORD>(std::size(chosen));
        dialog.lpstrInitialDir = W(start);
        dialog.lpstrDefExt = reinterpret_cast<const wchar_t*>(desk::kSaveFileType.suffix);
        dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_EXPLORER;
        ++openDialogs_;
        const bool ok = GetSaveFileNameW(&dialog);
        --openDialogs_;
        desk_.SavePathChosen(ok ? platform::Utf16ToUtf8(reinterpret_cast<const char16_t*>(chosen)) : std::string());
    });
}

void MainWindow::ShowProgress(const std::u16string& caption, const std::u16string& display) {
    progressWanted_ = true;
    progressCaption_ = caption;
    progressDisplay_ = display;
    if (progressDialog_) {  // the next job's progress in the dialog still open
        SetWindowTextW(progressDialog_, W(caption));
        SetDlgItemTextW(progressDialog_, IDC_TEXT, W(display));
        return;
    }
    if (progressPosted_) return;
    progressPosted_ = true;
    calls_.Post([this] { RunProgressDialog(); });
}

void MainWindow::RunProgressDialog() {
    progressPosted_ = false;
    if (!progressWanted_ || progressDialog_) return;
    progressDepth_ = ++openDialogs_;
    // It ends with the job, but never under a box opened over it (a question during a save):
    // its end would give the window back while the question is open.
    win32::ShowProgress(Owner(), progressCaption_, progressDisplay_, desk_.Progress(),
                        [this] { return (!progressWanted_ || desk_.Progress() == -1) && openDialogs_ == progressDepth_; },
                        &progressDialog_);
    --openDialogs_;
}

void MainWindow::HideProgress() {
    progressWanted_ = false;
    // At once when nothing is open over it, before a box the desk asks next can open over it;
    // else at its next tick once that is answered.
    if (progressDialog_ && openDialogs_ == progressDepth_) EndDialog(std::exchange(progressDialog_, nullptr), IDOK);
}

void MainWindow::Close() {
    HideProgress();
    KillTimer(hwnd_, kDeskTimer);
    calls_.Detach();
    EndDialog(hwnd_, IDCANCEL);
}

// ---- the table on screen ----

std::array<int, weighing::kColumns> MainWindow::ColumnWidths() const {
    // Each column as wide as its title and its widest texts need in this font.
    const auto samples = desk::ColumnSamples(*desk_.Texts());
    const auto width = [this](const std::u16string& text) { return ListView_GetStringWidth(list_, W(text)) + 16; };
    std::array<int, weighing::kColumns> widths{};
    for (int c = 0; c < weighing::kColumns; ++c) {
        int& cx = widths[static_cast<std::size_t>(c)];
        cx = width(desk_.Title(c));
        for (const std::u16string& sample : samples[static_cast<std::size_t>(c)])
            if (!sample.empty()) cx = std::max(cx, width(sample));
    }
    return widths;
}

void MainWindow::SetTitles() {
    // "Explan" takes the rest of the list.
    RECT client{};
    GetClientRect(list_, &client);
    // Room for the vertical scroll bar the rows will bring, so that it never brings a horizontal one.
    if (!(GetWindowLongPtrW(list_, GWL_STYLE) & WS_VSCROLL)) client.right -= GetSystemMetrics(SM_CXVSCROLL);
    const std::array<int, weighing::kColumns> widths = ColumnWidths();
    int used = 0;
    for (int c = 0; c < weighing::kColumns; ++c) {
        std::u16string title = desk_.Title(c);
        int cx = widths[static_cast<std::size_t>(c)];
        if (c == weighing::kExplan) cx = std::max(cx, static_cast<int>(client.right) - used);
        used += cx;
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = reinterpret_cast<wchar_t*>(title.data());
        column.cx = cx;
        ListView_SetColumn(list_, c, &column);
    }
}

void MainWindow::ShowRows() {
    const auto count = static_cast<int>(desk_.Table().size());
    ListView_SetItemCountEx(list_, count, LVSICF_NOSCROLL | LVSICF_NOINVALIDATEALL);
    InvalidateRect(list_, nullptr, FALSE);
    if (count > 0) ListView_EnsureVisible(list_, count - 1, FALSE);
}

void MainWindow::OnGetDispInfo(NMLVDISPINFOW* info) {
    if (!(info->item.mask & LVIF_TEXT) || info->item.cchTextMax <= 0) return;
    const weighing::MeasurementTable& table = desk_.Table();
    const auto row = static_cast<std::size_t>(info->item.iItem);
    const int column = info->item.iSubItem;
    std::u16string_view text;
    if (row < table.size() && column >= 0 && column < weighing::kColumns) text = table.Text(row, column);
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(info->item.cchTextMax - 1));
    std::copy_n(text.data(), n, reinterpret_cast<char16_t*>(info->item.pszText));
    info->item.pszText[n] = L'\0';
}

// ---- layout ----

namespace {

// The controls below the list, column by column from the left: a column grows when a text of
// one of its controls needs more room than the template gives, and the columns right of it move.
constexpr int kColumnsOfControls[][4] = {
    {IDC_CONNECT},
    {IDC_SAVE, IDC_CLEAR},
    {IDC_UNIT_GROUP, IDC_UNIT_KG, IDC_UNIT_LB, IDC_UNIT_LBOZ},
    {IDC_PORT_GROUP, IDC_PORT, IDC_REFRESH},
    {IDC_LANGUAGE_GROUP, IDC_LANGUAGE, IDC_LANGUAGE_OK},
};

constexpr int kLaidOut[] = {IDC_LIST,   IDC_CONNECT,    IDC_SAVE,  IDC_CLEAR,   IDC_UNIT_GROUP,     IDC_UNIT_KG,
                            IDC_UNIT_LB, IDC_UNIT_LBOZ, IDC_PORT_GROUP, IDC_PORT, IDC_REFRESH, IDC_LANGUAGE_GROUP,
                            IDC_LANGUAGE, IDC_LANGUAGE_OK, IDC_TEST};

}  // namespace

void MainWindow::RememberLayout() {
    for (int id : kLaidOut) {
        RECT r{};
        GetWindowRect(Item(id), &r);
        MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&r), 2);
        layout_[id] = r;
    }
    GetWindowRect(hwnd_, &windowRect_);
}

int MainWindow::TextWidth(const std::u16string& text) const {
    HDC dc = GetDC(hwnd_);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(hwnd_, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32W(dc, W(text), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(hwnd_, dc);
    return size.cx;
}

int MainWindow::Padding(int id) const {
    const int edge = 2 * GetSystemMetrics(SM_CXEDGE);
    switch (id) {
        case IDC_CONNECT: return 32 + 4 * edge + 12;  // the icon beside the caption
        // The circle, the gap after it and the focus frame around the text: a label given only
        // its letters loses its last one's right side in some fonts ("LB" read "LE").
        case IDC_UNIT_KG: case IDC_UNIT_LB: case IDC_UNIT_LBOZ: return GetSystemMetrics(SM_CXMENUCHECK) + TextWidth(u"  ") + 2 * edge;
        case IDC_UNIT_GROUP: case IDC_PORT_GROUP: case IDC_LANGUAGE_GROUP: return 16;
        case IDC_PORT: case IDC_LANGUAGE: return GetSystemMetrics(SM_CXVSCROLL) + 4 * edge;
        default: return 4 * edge + 8;  // push buttons
    }
}

int MainWindow::NeededWidth(int id) const {
    HWND control = Item(id);
    switch (id) {
        case IDC_CONNECT: {
            // The longest of its captions: the window keeps its width when the caption
            // changes with the connection.
            int widest = 0;
            for (const std::u16string& caption : desk::ConnectCaptions(*desk_.Texts())) widest = std::max(widest, TextWidth(caption));
            return widest + Padding(id);
        }
        case IDC_PORT: case IDC_LANGUAGE: {
            int widest = 0;
            const auto count = SendMessageW(control, CB_GETCOUNT, 0, 0);
            for (LRESULT i = 0; i < count; ++i) {
                std::u16string item(static_cast<std::size_t>(SendMessageW(control, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0)) + 1, u'\0');
                SendMessageW(control, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(item.data()));
                item.resize(item.size() - 1);
                widest = std::max(widest, TextWidth(item));
            }
            return widest + Padding(id);
        }
    }
    if (const auto caption = captions_.find(id); caption != captions_.end()) return TextWidth(caption->second) + Padding(id);
    std::u16string text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, u'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(control, reinterpret_cast<wchar_t*>(text.data()), static_cast<int>(text.size()))));
    return TextWidth(text) + Padding(id);
}

void MainWindow::SetCaption(int id, const std::u16string& text) {
    captions_[id] = text;
    ShowCaption(id);
}

void MainWindow::ShowCaption(int id) {
    const std::u16string& text = captions_[id];
    RECT r{};
    GetWindowRect(Item(id), &r);
    const int room = static_cast<int>(r.right - r.left) - Padding(id);
    std::u16string shown = text;
    if (TextWidth(text) > room) {
        // As much of the text as fits, then "…" (never half of a character's surrogate pair).
        HDC dc = GetDC(hwnd_);
        HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(hwnd_, WM_GETFONT, 0, 0)));
        int fit = 0;
        SIZE size{};
        GetTextExtentExPointW(dc, W(text), static_cast<int>(text.size()), std::max(0, room - TextWidth(u"\u2026")), &fit, nullptr, &size);
        SelectObject(dc, old);
        ReleaseDC(hwnd_, dc);
        if (fit > 0 && IS_HIGH_SURROGATE(text[static_cast<std::size_t>(fit) - 1])) --fit;
        shown = text.substr(0, static_cast<std::size_t>(std::max(fit, 0))) + u"\u2026";
    }
    SetWindowTextW(Item(id), W(shown));
    if (!tooltip_) return;
    // A group box lets the mouse through to the window: its tooltip is a place in the window.
    const bool group = id == IDC_UNIT_GROUP || id == IDC_PORT_GROUP || id == IDC_LANGUAGE_GROUP;
    TOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = hwnd_;
    tool.uFlags = TTF_SUBCLASS | (group ? 0 : TTF_IDISHWND);
    tool.uId = group ? static_cast<UINT_PTR>(id) : reinterpret_cast<UINT_PTR>(Item(id));
    SendMessageW(tooltip_, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    if (shown == text) return;
    GetWindowRect(Item(id), &tool.rect);
    MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&tool.rect), 2);
    tool.lpszText = const_cast<wchar_t*>(W(text));
    SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, 400);  // a long text on several lines
    SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

void MainWindow::FitControls() {
    if (layout_.empty()) return;
    const auto width = [&](int id) { return static_cast<int>(layout_[id].right - layout_[id].left); };
    const auto grow = [&](int id) { return std::max(0, NeededWidth(id) - width(id)); };

    // What each column of controls would grow by (KG and LB side by side, LB:OZ below them),
    // and what the list needs beyond that to show its columns without a horizontal scroll bar.
    constexpr std::size_t kColumnCount = std::size(kColumnsOfControls);
    std::array<int, kColumnCount + 1> wanted{};
    const int kg = grow(IDC_UNIT_KG), lb = grow(IDC_UNIT_LB), lboz = grow(IDC_UNIT_LBOZ);
    int controls = 0;
    for (std::size_t i = 0; i < kColumnCount; ++i) {
        int& extra = wanted[i];
        for (int id : kColumnsOfControls[i])
            if (id) extra = std::max(extra, grow(id));
        if (kColumnsOfControls[i][0] == IDC_UNIT_GROUP) extra = std::max({kg + lb, lboz, grow(IDC_UNIT_GROUP)});
        controls += extra;
    }
    {
        RECT outer{}, inner{};
        GetWindowRect(list_, &outer);
        GetClientRect(list_, &inner);
        const bool scrolls = GetWindowLongPtrW(list_, GWL_STYLE) & WS_VSCROLL;
        const int frame = static_cast<int>(outer.right - outer.left - inner.right) - (scrolls ? GetSystemMetrics(SM_CXVSCROLL) : 0);
        const std::array<int, weighing::kColumns> columns = ColumnWidths();
        int list = frame + GetSystemMetrics(SM_CXVSCROLL);
        for (int cx : columns) list += cx;
        wanted[kColumnCount] = std::max(0, list - width(IDC_LIST) - controls);
    }

    // Never wider than the work area of the window's monitor: when the texts want more, every
    // growth is cut to one limit (the short ones keep theirs), and the captions that no longer
    // fit are elided; the controls (the language list) stay on the screen.
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTONEAREST), &monitor);
    const RECT work = monitor.rcWork;
    const int room = std::max(0, static_cast<int>(work.right - work.left) - static_cast<int>(windowRect_.right - windowRect_.left));
    const auto cut = [&](int limit) {
        int sum = 0;
        for (int extra : wanted) sum += std::min(extra, limit);
        return sum;
    };
    int limit = *std::max_element(wanted.begin(), wanted.end());
    if (cut(limit) > room) {
        int low = 0, high = limit;  // cut(low) <= room < cut(high)
        while (high - low > 1) {
            const int middle = (low + high) / 2;
            (cut(middle) <= room ? low : high) = middle;
        }
        limit = low;
    }

    std::map<int, RECT> fitted = layout_;
    const auto place = [&](int id, int shift, int extra) {
        fitted[id].left += shift;
        fitted[id].right += shift + extra;
    };
    int shift = 0;
    for (std::size_t i = 0; i < kColumnCount; ++i) {
        const int extra = std::min(wanted[i], limit);
        if (kColumnsOfControls[i][0] == IDC_UNIT_GROUP) {
            const int kgExtra = std::min(kg, std::max(extra - lb, extra / 2)), lbExtra = std::min(lb, extra - kgExtra);
            place(IDC_UNIT_GROUP, shift, extra);
            place(IDC_UNIT_KG, shift, kgExtra);
            place(IDC_UNIT_LB, shift + kgExtra, lbExtra);
            place(IDC_UNIT_LBOZ, shift, std::min(lboz, extra));
        } else {
            for (int id : kColumnsOfControls[i])
                if (id) place(id, shift, extra);
        }
        shift += extra;
    }
    shift += std::min(wanted[kColumnCount], limit);
    place(IDC_LIST, 0, shift);
    place(IDC_TEST, 0, shift);
    for (const auto& [id, r] : fitted)
        SetWindowPos(Item(id), nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
    for (const auto& caption : captions_) ShowCaption(caption.first);
    // The lists open as wide as their longest item (a language's name) even when cut.
    for (int id : {IDC_PORT, IDC_LANGUAGE})
        SendMessageW(Item(id), CB_SETDROPPEDWIDTH, static_cast<WPARAM>(std::min<int>(NeededWidth(id), work.right - work.left)), 0);

    RECT now{};
    GetWindowRect(hwnd_, &now);
    const int w = static_cast<int>(windowRect_.right - windowRect_.left) + shift, h = static_cast<int>(windowRect_.bottom - windowRect_.top);
    const int x = std::clamp<int>(now.left, work.left, std::max<int>(work.left, work.right - w));
    const int y = std::clamp<int>(now.top, work.top, std::max<int>(work.top, work.bottom - h));
    SetWindowPos(hwnd_, nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
    SetTitles();  // the columns share the list's new width
    InvalidateRect(hwnd_, nullptr, TRUE);
}

}  // namespace win32
