#include "MainWindow.h"

#include "BatchRow.h"
#include "CompoundFile.h"
#include "Dialogs.h"
#include "Notices.h"
#include "FrameDecoder.h"
#include "platform/ProfileFile.h"
#include "platform/SerialDevice.h"
#include "platform/ShellOpen.h"
#include "platform/Utf.h"
#include "resource.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>

namespace win32 {

namespace {

constexpr std::size_t kChunkRows = 1000;

struct CaptionKey {
    int id;
    const char16_t* key;
};

// Captions of the window's controls in section "Dialog_Caption".
constexpr CaptionKey kCaptions[] = {
    {IDC_SAVE, u"Save_Excel"},           {IDC_CLEAR, u"Clear_Data"},       {IDC_UNIT_GROUP, u"Change_Unit_Caption"},
    {IDC_PORT_GROUP, u"Serial_Caption_Port"}, {IDC_REFRESH, u"Serial_Refresh"}, {IDC_LANGUAGE_GROUP, u"Language_Caption"},
    {IDC_LANGUAGE_OK, u"Language_OK"},
};

constexpr const char16_t* kColumnKeys[weighing::kColumns] = {u"Number", u"Data", u"Unit", u"Duration", u"Update_Time", u"Explan"};

// Controls that stay as they are while a scale is connected.
constexpr int kLockedControls[] = {IDC_PORT_GROUP, IDC_PORT, IDC_REFRESH, IDC_LANGUAGE_GROUP, IDC_LANGUAGE, IDC_LANGUAGE_OK};

std::u16string Latin(const std::string& s) { return {s.begin(), s.end()}; }

bool IsFile(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(platform::Utf8Path(path), ec);
}

}  // namespace

MainWindow::MainWindow(platform::ProgramPlaces places) : places_(std::move(places)) {}

MainWindow::~MainWindow() {
    calls_.Detach();
    if (job_.joinable()) {
        job_.request_stop();
        job_.join();
    }
    link_.Stop();
    engine_.Shutdown();
}

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
            if (wParam != kEarlyPartTimer) break;
            KillTimer(hwnd_, kEarlyPartTimer);
            TakeEarlyPart();
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
            break;
        case WM_HELP:
            // The manual beside the program's folder, as the operator's desk has it.
            platform::ShellOpenDocument(platform::NativeSeparators("..\\Doc\\Korvane电子秤上位机使用说明.pdf"));
            return TRUE;
        case WM_CLOSE:
            OnClose();
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
    CheckRadioButton(hwnd_, IDC_UNIT_KG, IDC_UNIT_LBOZ, IDC_UNIT_KG);

    list_ = Item(IDC_LIST);
    RememberLayout();
    ListView_SetExtendedListViewStyle(list_, LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    LoadSettings();
    for (int c = 0; c < weighing::kColumns; ++c) {
        LVCOLUMNW column{};
        column.mask = LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        column.cx = c == weighing::kExplan ? 200 : (c == weighing::kUpdateTime ? 130 : 70);
        column.pszText = const_cast<wchar_t*>(L"");
        column.iSubItem = c;
        ListView_InsertColumn(list_, c, &column);
    }
    SetupTable();
    SendMessageW(Item(IDC_CONNECT), BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(iconConnected_));
    connected_ = false;
    engine_.SetPlaces(places_);
    const bool portsFound = engine_.EnumeratePorts();
    // The language comes first, whatever the ports: every box after this one has its words.
    FillLanguageList();
    ApplyLanguage();
    UpdateControls();
    if (!portsFound) Say(kOk, Text(u"Message", u"Serial_Port_Abnormal"));
}

void MainWindow::OnCommand(int id, int code) {
    switch (id) {
        case IDC_CONNECT: if (code == BN_CLICKED) ToggleConnection(); break;
        case IDC_UNIT_KG: if (code == BN_CLICKED) OnUnit(weighing::kKg); break;
        case IDC_UNIT_LB: if (code == BN_CLICKED) OnUnit(weighing::kLb); break;
        case IDC_UNIT_LBOZ: if (code == BN_CLICKED) OnUnit(weighing::kLbOz); break;
        case IDC_CLEAR: if (code == BN_CLICKED) OnClearData(); break;
        case IDC_REFRESH: if (code == BN_CLICKED) RefreshPortList(); break;
        case IDC_SAVE:
            if (code == BN_CLICKED && !table_.empty()) SaveTable(false);
            break;
        case IDC_LANGUAGE_OK: if (code == BN_CLICKED) OnLanguageOK(); break;
        case IDC_TEST: if (code == BN_CLICKED) StartTestMode(); break;
        case IDC_PORT:
            if (code == CBN_DROPDOWN && !connected_) RefreshPortList();
            break;
        case IDOK:
        case IDCANCEL:
            // Esc and Enter go the close box's way: a stray key never discards the table or leaves
            // the scale without its disconnect notice.
            OnClose();
            break;
    }
}

// ---- language and settings ----

void MainWindow::LoadSettings() {
    moduleDir_ = places_.folder;
    settingFile_ = moduleDir_ + "Setting.ini";
    const std::u16string value = localisation::ReadProfileText(settingFile_, u"Language_Configuration", u"Language_FileName");
    std::string file = localisation::LanguageFilePath(moduleDir_, value);
    if (!IsFile(file)) {
        // No settings, or they name a file that is gone: English if it is there, else the first
        // language of the folder, so that no box ever shows without words.
        const std::string english = moduleDir_ + "Language" + platform::kPathSeparator + "English.ini";
        const std::vector<std::string> files = localisation::ListLanguageFolder(moduleDir_);
        if (IsFile(english)) {
            file = english;
        } else {
            const auto first = std::find_if(files.begin(), files.end(), IsFile);
            if (first != files.end()) file = *first;
        }
    }
    auto texts = std::make_shared<const localisation::LanguageTexts>(file);
    std::lock_guard lock(textMutex_);
    texts_ = std::move(texts);
}

std::u16string MainWindow::Text(const char16_t* section, const char16_t* key) const {
    std::lock_guard lock(textMutex_);
    return texts_ ? texts_->Text(section, key) : std::u16string();
}

std::u16string MainWindow::MessageText(const char16_t* key, const char* english) const {
    const std::u16string text = Text(u"Message", key);
    return text.empty() ? platform::Utf8ToUtf16(english) : text;
}

int MainWindow::Say(int mode, const std::u16string& text) {
    std::shared_ptr<const localisation::LanguageTexts> texts;
    {
        std::lock_guard lock(textMutex_);
        texts = texts_;
    }
    return ShowMessage(hwnd_, texts ? *texts : localisation::LanguageTexts(), mode, text);
}

void MainWindow::FillLanguageList() {
    HWND combo = Item(IDC_LANGUAGE);
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    languageFiles_ = localisation::ListLanguageFolder(moduleDir_);
    const std::u16string current = localisation::ReadProfileText(settingFile_, u"Language_Configuration", u"Language_Name");
    int selection = 0;
    for (std::size_t i = 0; i < languageFiles_.size(); ++i) {
        const std::u16string name = localisation::ReadProfileText(languageFiles_[i], u"Language_Configuration", u"Language_Name");
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W(name)));
        if (name == current) selection = static_cast<int>(i);  // the last match wins
    }
    if (!languageFiles_.empty()) SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(selection), 0);
}

void MainWindow::ApplyLanguage() {
    // This build keeps no journal of the rows (no SQLite for it): the operator is told, as the
    // Linux window tells when its journal is off.
    SetWindowTextW(hwnd_, W(Text(u"Dialog_Caption", u"Dialog_Caption") + u" \u2014 " +
                            MessageText(u"Journal_Off", "rows not journalled")));
    SetConnectCaption(connected_);
    for (const CaptionKey& c : kCaptions) SetDlgItemTextW(hwnd_, c.id, W(Text(u"Dialog_Caption", c.key)));
    FillPortList();
    FitControls();
    SetTitles();
}

void MainWindow::OnLanguageOK() {
    if (rules_.Busy() || connected_) return;  // the button is disabled meanwhile
    const auto index = SendMessageW(Item(IDC_LANGUAGE), CB_GETCURSEL, 0, 0);
    if (index < 0 || static_cast<std::size_t>(index) >= languageFiles_.size()) return;
    const std::string file = languageFiles_[static_cast<std::size_t>(index)];
    {
        auto texts = std::make_shared<const localisation::LanguageTexts>(file);
        std::lock_guard lock(textMutex_);
        texts_ = std::move(texts);
    }
    const std::u16string name = localisation::ReadProfileText(file, u"Language_Configuration", u"Language_Name");
    // A settings file that cannot be written only means the next start uses the old language;
    // the operator hears so, in the new one.
    const bool kept = platform::WriteProfileString(u"Language_Configuration", u"Language_Name", name, settingFile_) &&
                      platform::WriteProfileString(u"Language_Configuration", u"Language_FileName",
                                                   localisation::LanguageFileNameValue(file), settingFile_);
    ApplyLanguage();
    if (!kept)
        Say(kOk, MessageText(u"Setting_Not_Saved", "Setting.ini could not be written: the language applies until the program ends, "
                                                   "and the next start uses the previous one.") +
                     u"\n(" + platform::Utf8ToUtf16(settingFile_) + u")");
}

// ---- the table on screen ----

void MainWindow::SetupTable() {
    SetTitles();
    ShowRows();
    reference_ = static_cast<std::int64_t>(std::time(nullptr));
}

void MainWindow::SetTitles() {
    // Each column as wide as its title and its longest text need in this font; "Explan" takes
    // the rest of the list, and at least room for a short explanation.
    const std::u16string samples[weighing::kColumns][3] = {
        {u"   65001"},
        {u"-16777.215", Text(u"ListCtrl_Header", u"Overweight"), Text(u"ListCtrl_Header", u"Error_EX")},
        {u"LB:OZ"},
        {u"00:00:00"},
        {u"00:00:00 12/31/2026"},
        {},
    };
    const auto width = [this](const std::u16string& text) { return ListView_GetStringWidth(list_, W(text)) + 16; };
    RECT client{};
    GetClientRect(list_, &client);
    // Room for the vertical scroll bar the rows will bring, so that it never brings a horizontal one.
    if (!(GetWindowLongPtrW(list_, GWL_STYLE) & WS_VSCROLL)) client.right -= GetSystemMetrics(SM_CXVSCROLL);
    int used = 0;
    for (int c = 0; c < weighing::kColumns; ++c) {
        std::u16string title = Text(u"ListCtrl_Header", kColumnKeys[c]);
        int cx = width(title);
        for (const std::u16string& sample : samples[c])
            if (!sample.empty()) cx = std::max(cx, width(sample));
        if (c == weighing::kExplan) cx = std::max(cx, std::max(static_cast<int>(client.right) - used, width(u"Maybe sent again")));
        used += cx;
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = reinterpret_cast<wchar_t*>(title.data());
        column.cx = cx;
        ListView_SetColumn(list_, c, &column);
    }
}

void MainWindow::ShowRows() {
    const auto count = static_cast<int>(table_.size());
    ListView_SetItemCountEx(list_, count, LVSICF_NOSCROLL | LVSICF_NOINVALIDATEALL);
    InvalidateRect(list_, nullptr, FALSE);
    if (count > 0) ListView_EnsureVisible(list_, count - 1, FALSE);
}

void MainWindow::OnGetDispInfo(NMLVDISPINFOW* info) {
    if (!(info->item.mask & LVIF_TEXT) || info->item.cchTextMax <= 0) return;
    const auto row = static_cast<std::size_t>(info->item.iItem);
    const int column = info->item.iSubItem;
    std::u16string_view text;
    if (row < table_.size() && column >= 0 && column < weighing::kColumns) text = table_.Text(row, column);
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

int MainWindow::NeededWidth(int id) const {
    HWND control = Item(id);
    std::u16string text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, u'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(control, reinterpret_cast<wchar_t*>(text.data()), static_cast<int>(text.size()))));
    const int edge = 2 * GetSystemMetrics(SM_CXEDGE);
    switch (id) {
        case IDC_CONNECT:
            // The icon beside the longer of its two captions: the window keeps its width when the
            // caption changes with the connection.
            return std::max(TextWidth(Text(u"Dialog_Caption", u"Serial_Caption_Open")),
                            TextWidth(Text(u"Dialog_Caption", u"Serial_Caption_Close"))) + 32 + 4 * edge + 12;
        case IDC_UNIT_KG: case IDC_UNIT_LB: case IDC_UNIT_LBOZ: return TextWidth(text) + GetSystemMetrics(SM_CXMENUCHECK) + 6;
        case IDC_UNIT_GROUP: case IDC_PORT_GROUP: case IDC_LANGUAGE_GROUP: return TextWidth(text) + 16;
        case IDC_PORT: case IDC_LANGUAGE: {
            int widest = 0;
            const auto count = SendMessageW(control, CB_GETCOUNT, 0, 0);
            for (LRESULT i = 0; i < count; ++i) {
                std::u16string item(static_cast<std::size_t>(SendMessageW(control, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0)) + 1, u'\0');
                SendMessageW(control, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(item.data()));
                item.resize(item.size() - 1);
                widest = std::max(widest, TextWidth(item));
            }
            return widest + GetSystemMetrics(SM_CXVSCROLL) + 4 * edge;
        }
        default: return TextWidth(text) + 4 * edge + 8;  // push buttons
    }
}

void MainWindow::FitControls() {
    if (layout_.empty()) return;
    const auto width = [&](int id) { return static_cast<int>(layout_[id].right - layout_[id].left); };
    const auto grow = [&](int id) { return std::max(0, NeededWidth(id) - width(id)); };
    std::map<int, RECT> fitted = layout_;
    const auto place = [&](int id, int shift, int extra) {
        fitted[id].left += shift;
        fitted[id].right += shift + extra;
    };
    int shift = 0;
    for (const auto& column : kColumnsOfControls) {
        int extra = 0;
        if (column[0] == IDC_UNIT_GROUP) {
            // KG and LB side by side, LB:OZ below them.
            const int kg = grow(IDC_UNIT_KG), lb = grow(IDC_UNIT_LB), lboz = grow(IDC_UNIT_LBOZ);
            extra = std::max({kg + lb, lboz, grow(IDC_UNIT_GROUP)});
            place(IDC_UNIT_GROUP, shift, extra);
            place(IDC_UNIT_KG, shift, kg);
            place(IDC_UNIT_LB, shift + kg, lb);
            place(IDC_UNIT_LBOZ, shift, lboz);
        } else {
            for (int id : column)
                if (id) extra = std::max(extra, grow(id));
            for (int id : column)
                if (id) place(id, shift, extra);
        }
        shift += extra;
    }
    place(IDC_LIST, 0, shift);
    place(IDC_TEST, 0, shift);
    for (const auto& [id, r] : fitted)
        SetWindowPos(Item(id), nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowPos(hwnd_, nullptr, 0, 0, windowRect_.right - windowRect_.left + shift, windowRect_.bottom - windowRect_.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(hwnd_, nullptr, TRUE);
}

// ---- connection ----

void MainWindow::FillPortList() {
    HWND combo = Item(IDC_PORT);
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W(Text(u"Dialog_Caption", u"Port_NoChose"))));
    const int count = std::min(engine_.PortCount(), CSerialPort::kMaxPorts);
    for (int i = 1; i <= count; ++i) {
        const std::u16string name = u"COM" + Latin(std::to_string(engine_.PortAt(i)));
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W(name)));
    }
    SendMessageW(combo, CB_SETCURSEL, 0, 0);
}

void MainWindow::RefreshPortList() {
    SendMessageW(Item(IDC_PORT), CB_RESETCONTENT, 0, 0);
    if (!engine_.EnumeratePorts()) {
        Say(kOk, Text(u"Message", u"Serial_Port_Abnormal"));
        return;
    }
    FillPortList();
}

void MainWindow::UpdateControls() {
    const bool idle = !rules_.Busy();
    for (int id : kLockedControls) EnableWindow(Item(id), !connected_);
    // While a conversion or a save owns the table, nothing may start another job or change rows.
    for (int id : {IDC_SAVE, IDC_CLEAR, IDC_UNIT_KG, IDC_UNIT_LB, IDC_UNIT_LBOZ}) EnableWindow(Item(id), idle);
    EnableWindow(Item(IDC_LANGUAGE_OK), idle && !connected_);
}

void MainWindow::SetConnectCaption(bool connected) {
    HWND button = Item(IDC_CONNECT);
    SetWindowTextW(button, W(Text(u"Dialog_Caption", connected ? u"Serial_Caption_Close" : u"Serial_Caption_Open")));
    SendMessageW(button, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(connected ? iconConnected_ : iconDisconnected_));
    FitControls();
}

void MainWindow::EnterConnectedState() {
    SetConnectCaption(true);
    connected_ = true;
    rules_.NewConnection();
    UpdateControls();
    // A weighing the scale sent right behind its handshake reply is the first row, answered as
    // any other once this call (which the controller waits for) is over.
    // Less than a frame of it waits a moment for its rest (which the engine may itself hold for
    // its gap): the rest's batch takes it along when it comes first, else it goes alone.
    earlyPart_ = link_.TakeEarlyBytes();
    if (earlyPart_.empty()) return;
    if (earlyPart_.size() >= BatchAssembler::kFrameBytes) calls_.Post([this] { TakeEarlyPart(); });
    else SetTimer(hwnd_, kEarlyPartTimer, 250, nullptr);
}

void MainWindow::TakeEarlyPart() {
    const std::vector<std::uint8_t> part = std::exchange(earlyPart_, {});
    if (!part.empty() && connected_) OnSerialData(part.data(), static_cast<int>(part.size()));
}

void MainWindow::ToggleConnection() {
    if (connected_ && rules_.Busy()) {
        // Closing asks whether to save or discard the rows: that waits for the running job.
        rules_.Hold(weighing::TableRules::kDisconnect);
        return;
    }
    const CommandScope scope(*this);
    if (connected_) {
        if (!table_.empty()) {
            const std::vector<weighing::RowId> asked = table_.Ids();  // what the question is about
            const int answer = Say(kYesNo, Text(u"Message", u"Port_Close"));
            if (!connected_) return;  // the row limit ended it meanwhile and looks after the rows
            if (answer == kAnswerYes) {
                if (!SaveTable(false)) return;  // save cancelled: stay connected
                if (!connected_) return;
            } else if (answer == kAnswerNo) {
                RemoveRows(asked);  // rows that came while it was open stay
                SetupTable();
            } else {
                return;
            }
        }
        engine_.QueueByte(weighing::kDisconnectNotice);
        engine_.RequestStop(true, true);  // the notice leaves first; the port goes back to the system
        link_.Disconnected();
        connected_ = false;
        SetConnectCaption(false);
        UpdateControls();
        StartTestMode();
        return;
    }
    const auto item = SendMessageW(Item(IDC_PORT), CB_GETCURSEL, 0, 0);
    if (item > 0) {
        link_.Connect(static_cast<int>(item));  // ignored while a check or search of the operator's runs
        return;
    }
    const serial::LinkState state = link_.State();
    if ((state == serial::LinkState::Checking || state == serial::LinkState::Searching) && !link_.TestMode()) return;
    RefreshPortList();
    if (engine_.PortCount() <= 0) {
        Say(kOk, Text(u"Message", u"No_Port"));
        return;
    }
    link_.Connect(0);
}

void MainWindow::StartTestMode() {
    if (link_.TestMode()) return;
    SetDlgItemTextW(hwnd_, IDC_TEST, L"测试中... (结束测试请关闭程序)");
    link_.StartTestMode();
}

void MainWindow::EndAtRowLimit() {
    engine_.QueueByte(weighing::kDisconnectNotice);
    engine_.RequestStop(true, true);
    link_.Disconnected(false);  // a full table waits for the operator, also in the Test mode
    connected_ = false;
    SetConnectCaption(false);
    UpdateControls();
    RequestPending();  // the automatic save, once this frame's handling and any job are over
}

bool MainWindow::ShowConnected(std::stop_token stop) {
    return calls_.Run([this] { EnterConnectedState(); }, stop);
}

bool MainWindow::RefreshPorts(std::stop_token stop) {
    return calls_.Run([this] { RefreshPortList(); }, stop);
}

void MainWindow::Tell(serial::Notice notice, int port, const serial::OpenFailure& why, std::stop_token stop) {
    std::u16string text;
    switch (notice) {
        case serial::Notice::ConnectionFails: text = Text(u"Message", u"Connection_Fails"); break;
        case serial::Notice::AutoError: text = Text(u"Message", u"Auto_Error"); break;
        case serial::Notice::NoPort: text = Text(u"Message", u"No_Port"); break;
        case serial::Notice::SettingsRefused:
            ShowSerialError(engine_.CommErrorText(why.refusedCall, why.refusedError), stop);
            return;
        case serial::Notice::CannotOpen: {
            std::shared_ptr<const localisation::LanguageTexts> texts;
            {
                std::lock_guard lock(textMutex_);
                texts = texts_;
            }
            text = localisation::CannotOpenText(texts ? *texts : localisation::LanguageTexts(), port, why.error);
            break;
        }
    }
    ShowFromWorker([&] { Say(kOk, text); }, stop);
}

void MainWindow::ShowFromWorker(const std::function<void()>& show, std::stop_token stop) {
    // While another box is open the worker waits in its own thread, so the window's thread never
    // nests a waiting loop for it.
    for (;;) {
        bool busy = false;
        const bool ran = calls_.Run(
            [&] {
                if (MessageBoxOnScreen()) busy = true;
                else show();
            },
            stop);
        if (!ran || !busy) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void MainWindow::OnSerialMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam, bool wait,
                                 std::stop_token stop) {
    if (message == WM_SERIAL_DATA && wait) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(wParam);
        const int count = static_cast<int>(lParam);
        calls_.Run([&] { OnSerialData(bytes, count); }, stop);
    } else if (message == WM_SERIAL_READ_FAILED) {
        // The device failed under an open connection (unplugged): close it as the operator would.
        calls_.Post([this] {
            if (connected_) ToggleConnection();
        });
    }
}

void MainWindow::ShowSerialError(const std::string& text, std::stop_token stop) {
    ShowFromWorker([&] { ShowMessage(hwnd_, localisation::LanguageTexts(), kOk, platform::Utf8ToUtf16(text), u"Application Error"); },
                   stop);
}

// ---- frames ----

void MainWindow::OnSerialData(const std::uint8_t* bytes, int count) {
    const CommandScope scope(*this);  // a frame's questions are not the place for held work
    count = std::max(count, 0);
    if (connected_ && !earlyPart_.empty()) {
        // The first frame began right behind the handshake reply: it goes first, whole, or with
        // this batch as its rest.
        std::vector<std::uint8_t> early = std::exchange(earlyPart_, {});
        if (early.size() < BatchAssembler::kFrameBytes) {
            early.insert(early.end(), bytes, bytes + count);
            OnSerialData(early.data(), static_cast<int>(early.size()));
            return;
        }
        OnSerialData(early.data(), static_cast<int>(early.size()));
        if (!connected_) {
            link_.Received(bytes, static_cast<std::size_t>(count));
            return;
        }
    }
    if (!connected_) {
        link_.Received(bytes, static_cast<std::size_t>(count));
        return;
    }
    // A frame is judged on its first six bytes; a shorter batch is judged against spaces.
    std::vector<std::uint8_t> batch(bytes, bytes + std::min(count, kRxBufferSize));
    const std::size_t received = batch.size();
    if (batch.size() < BatchAssembler::kFrameBytes) batch.resize(BatchAssembler::kFrameBytes, 0x20);
    ProcessFrame(batch, received);
}

void MainWindow::ProcessFrame(const std::vector<std::uint8_t>& batch, std::size_t received) {
    const weighing::BatchJudgement judged = weighing::TakeBatch(batch.data(), frameError_, errorCount_);
    if (judged.outcome == weighing::BatchOutcome::AskAgain) {
        engine_.QueueByte(weighing::kBadFrameNotice);
        return;
    }
    const std::size_t row = table_.size();
    // The language's words a row of this kind may show (a weighing only the error text, for an
    // unknown decimal code: frames come fast).
    std::u16string overweight, badBatch;
    const std::u16string error = Text(u"ListCtrl_Header", u"Error_EX");
    if (judged.outcome != weighing::BatchOutcome::Weighing) {
        overweight = Text(u"ListCtrl_Header", u"Overweight");
        badBatch = Text(u"Message", u"CMD_ERROR");
    }
    const weighing::BatchRow made =
        weighing::RowOfBatch(judged.outcome, batch.data(), batch.data(), received, row, unit_, static_cast<std::int64_t>(std::time(nullptr)),
                             reference_, {overweight, error, badBatch, {}});
    table_.Append(made.Views(), made.reading);
    ShowRows();
    // The frame's answer goes out before anything its row leads to, so the scale hears the
    // events in their order.
    engine_.QueueByte(weighing::kAcknowledge);
    if (rules_.RowAdded(row)) {
        EndAtRowLimit();  // the connection ends anyway: no question about errors
        return;
    }
    if (judged.offerDisconnect && Say(kYesNo, Text(u"Message", u"Error_Error")) == kAnswerYes) {
        if (connected_) ToggleConnection();
        errorCount_ = 0;
    }
}

// ---- commands and jobs ----

void MainWindow::RemoveRows(const std::vector<weighing::RowId>& ids) {
    const auto runs = table_.RunsOf(ids);  // last run first, so earlier positions stay put
    if (runs.empty()) return;
    for (const auto& [first, count] : runs) table_.Erase(first, count);
    table_.Renumber(runs.back().first);
    ShowRows();
}

void MainWindow::OnClearData() {
    if (rules_.Busy()) return;  // the button is disabled meanwhile: the job owns the table
    const CommandScope scope(*this);
    const std::vector<weighing::RowId> asked = table_.Ids();
    if (!asked.empty() && Say(kYesNo, Text(u"Message", u"Clear_Data")) == kAnswerYes) {
        RemoveRows(asked);
        SetupTable();
    }
    if (!rules_.TakesUpTheScale(table_.size())) return;
    // The row limit ended the connection and the table is empty again: carry on with the scale.
    SetupTable();
    rules_.NewConnection();
    link_.Reconnect();
}

void MainWindow::OnUnit(int unit) {
    if (unit_ == unit) return;
    const CommandScope scope(*this);
    if (!rules_.Begin(weighing::TableJob::Conversion)) {
        CheckRadioButton(hwnd_, IDC_UNIT_KG, IDC_UNIT_LBOZ, IDC_UNIT_KG + unit_);  // keep the unit shown
        return;
    }
    UpdateControls();
    const std::size_t rows = table_.size();
    const std::u16string error = Text(u"ListCtrl_Header", u"Error_EX"), overweight = Text(u"ListCtrl_Header", u"Overweight");
    progress_ = 0;
    if (job_.joinable()) job_.join();
    job_ = std::jthread([this, unit, rows, error, overweight](std::stop_token stop) {
        const int step = 1000000 / static_cast<int>(rows + 1);
        for (std::size_t first = 0; first < rows; first += kChunkRows) {
            const std::size_t end = std::min(first + kChunkRows, rows);
            const bool applied = calls_.Run([&] { table_.RenderRows(first, end, unit, error, overweight); }, stop);
            if (!applied) return;  // the window is going away
            progress_ += step * static_cast<int>(end - first);
        }
        calls_.Post([this, unit, rows] { FinishConversion(unit, rows); });
    });
    ShowProgress(hwnd_, Text(u"Progress", u"Change_Caption"), Text(u"Progress", u"Change_Display"), progress_);
}

void MainWindow::FinishConversion(int unit, std::size_t rows) {
    // Rows that arrived meanwhile were rendered in the old unit: bring them over, then switch.
    const std::u16string error = Text(u"ListCtrl_Header", u"Error_EX"), overweight = Text(u"ListCtrl_Header", u"Overweight");
    table_.RenderRows(rows, table_.size(), unit, error, overweight);
    unit_ = unit;
    CheckRadioButton(hwnd_, IDC_UNIT_KG, IDC_UNIT_LBOZ, IDC_UNIT_KG + unit);
    ShowRows();
    FinishJob(kOk, {});
}

struct MainWindow::SaveJob {
    bool automatic = false;
    std::string path;
    exporter::UnmovedFile written;
    std::array<std::u16string, exporter::kColumns> titles;
    weighing::TableSnapshot rows;
    exporter::SaveResult result;
};

bool MainWindow::SaveTable(bool automatic) {
    const CommandScope scope(*this);
    if (!rules_.Begin(automatic ? weighing::TableJob::AutomaticSave : weighing::TableJob::Save)) {
        if (automatic) rules_.Hold(weighing::TableRules::kAutomaticSave);
        return false;
    }
    UpdateControls();
    // The rows of this save are the ones in the table now; rows that arrive while the operator
    // chooses the file, or while it is written, stay for the next save.
    auto save = std::make_shared<SaveJob>();
    save->automatic = automatic;
    save->rows = table_.Snapshot();
    for (int c = 0; c < exporter::kColumns; ++c) save->titles[static_cast<std::size_t>(c)] = Text(u"ListCtrl_Header", kColumnKeys[c]);

    const std::string fileName = exporter::DefaultFileName(std::time(nullptr));
    if (automatic) {
        save->path = moduleDir_ + fileName;
    } else {
        wchar_t chosen[MAX_PATH * 4] = {};
        const std::u16string initial = Latin(fileName);
        std::copy(initial.begin(), initial.end(), reinterpret_cast<char16_t*>(chosen));
        const std::u16string folder = platform::Utf8ToUtf16(moduleDir_);
        OPENFILENAMEW dialog{};
        dialog.lStructSize = sizeof dialog;
        dialog.hwndOwner = hwnd_;
        dialog.lpstrFilter = L"Excel Files(*.xls)\0*.xls\0\0";
        dialog.lpstrFile = chosen;
        dialog.nMaxFile = static_cast<DWORD>(std::size(chosen));
        dialog.lpstrInitialDir = W(folder);
        dialog.lpstrDefExt = L"xls";
        dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_EXPLORER;
        if (!GetSaveFileNameW(&dialog)) {
            rules_.End();
            UpdateControls();
            return false;  // what was held meanwhile (the automatic save of a full table) follows
        }
        save->path = platform::Utf16ToUtf8(reinterpret_cast<const char16_t*>(chosen));
    }
    progress_ = 0;
    if (job_.joinable()) job_.join();
    job_ = std::jthread([this, save](std::stop_token stop) {
        const exporter::CellText text = [&](std::size_t row, int column) { return save->rows.Text(row, column); };
        save->result = exporter::WriteTableWorkbook(save->path, save->titles, save->rows.size(), text, &progress_, stop, &save->written);
        if (stop.stop_requested()) return;  // the window is going away
        calls_.Post([this, save] { FinishSave(*save); });
    });
    ShowProgress(hwnd_, Text(u"Progress", u"Save_Caption"), Text(u"Progress", u"Save_Display"), progress_);
    return true;
}

void MainWindow::FinishSave(const SaveJob& save) {
    exporter::SaveResult result = save.result;
    if (result.written) {
        result.error = cfb::MoveFileIntoPlace(save.written.written, save.written.target);
        result.written = result.error == 0;
        // Exactly the rows in the file leave the table; rows that came meanwhile stay, in order.
        if (result.written) RemoveRows(save.rows.Ids());
        else {
            std::error_code ec;
            std::filesystem::remove(platform::Utf8Path(save.written.written), ec);
        }
    }
    if (result.written) {
        FinishJob(save.automatic ? kYesNo : kOk, save.automatic ? Text(u"Message", u"Data_Error") : std::u16string());
    } else {
        // Nothing is removed: every row stays for another try.
        FinishJob(kOk, Text(u"Message", u"Save_error") + u" \n\rerror: " + Latin(std::to_string(result.error)));
    }
}

void MainWindow::FinishJob(int mode, const std::u16string& message) {
    const CommandScope scope(*this);  // its end takes the job's end up, when nothing else runs
    progress_ = -1;                   // the progress dialog closes at its next tick
    heldWork_.JobEnded(mode, message);
}

void MainWindow::RequestPending() {
    if (heldWork_.Idle()) calls_.Post([this] { RunPending(); });
}

void MainWindow::RunPending() {
    heldWork_.Run({
        [this] { UpdateControls(); },
        [this](int mode, const std::u16string& message) { Say(mode, message); },
        [this] { if (!table_.empty()) SaveTable(true); },
        [this] { if (connected_) ToggleConnection(); },
        [this] { OnClose(); },
        [this] { return closing_; },
    });
}

bool MainWindow::ConfirmClose() {
    const auto newest = [this] { return table_.empty() ? 0 : table_.Id(table_.size() - 1); };
    while (!table_.empty()) {
        const weighing::RowId asked = newest();
        // Only an explicit Yes closes: Esc or the box's close button must not discard the table.
        if (Say(kYesNo, Text(u"Message", u"Close_Exe")) != kAnswerYes) return false;
        if (newest() <= asked) break;  // weighings that came while it was open are asked about too
    }
    if (connected_) {
        engine_.QueueByte(weighing::kDisconnectNotice);  // tell the scale we are leaving
        engine_.RequestStop(true);
        engine_.WaitForSent(std::chrono::milliseconds(200));
    }
    return true;
}

void MainWindow::OnClose() {
    if (closing_) return;
    if (rules_.Busy()) {
        // A conversion or a save owns the table: close once it has ended.
        rules_.Hold(weighing::TableRules::kClose);
        return;
    }
    const CommandScope scope(*this);
    if (!ConfirmClose()) return;
    closing_ = true;
    calls_.Detach();
    EndDialog(hwnd_, IDCANCEL);
}

}  // namespace win32
