#pragma once
// The Windows program's main window (template 102): a view of the operator's desk. The desk
// runs the workflow (frames, the table, connecting, saving, questions); this window shows what
// the desk tells it, forwards the operator's commands, and keeps what is its own: the template,
// the virtual list view, the layout fitted to the language, keys, icons and its dialogs.
#include "Desk.h"
#include "WindowCalls.h"

#include <windows.h>
#include <commctrl.h>

#include <array>
#include <map>
#include <string>

namespace win32 {

class MainWindow : public desk::View {
public:
    explicit MainWindow(platform::ProgramPlaces places = platform::ProgramPlaces::OfThisProgram());
    ~MainWindow() override;

    // Runs the window modally; returns when it has been closed.
    INT_PTR Run(HINSTANCE instance);

    // desk::View
    void Post(std::function<void()> fn) override;
    void StartTimer(int ms) override;
    void RowsInserted(std::size_t first, std::size_t count) override;
    void RowsRemoved(std::size_t first, std::size_t count) override;
    void RowsChanged(std::size_t first, std::size_t end) override;
    void RowsReset() override;
    void TitlesChanged() override;
    void ShowTexts() override;
    void ShowState(const desk::State& state) override;
    void ShowPorts(const std::u16string& any, const std::vector<desk::PortItem>& ports) override;
    void ShowLanguages(const std::vector<std::u16string>& names, const std::vector<std::string>& files,
                       int selection) override;
    void Ask(const desk::Question& question) override;
    void AskSavePath(const std::string& fileName, const std::string& folder) override;
    void ShowProgress(const std::u16string& caption, const std::u16string& display) override;
    void HideProgress() override;
    void Close() override;

private:
    static INT_PTR CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void OnInitDialog();
    void OnCommand(int id, int code);

    // The table on screen.
    void SetTitles();
    std::array<int, weighing::kColumns> ColumnWidths() const;  // what titles and texts need
    void ShowRows();  // the list's row count follows the table
    void OnGetDispInfo(NMLVDISPINFOW* info);
    // The progress dialog, started from a posted call so that nothing the desk runs waits in it.
    void RunProgressDialog();
    HWND Owner() const;  // of the next box or dialog

    HWND Item(int id) const { return GetDlgItem(hwnd_, id); }
    // Controls as wide as their texts need in this language and font (the template's sizes are
    // the least), the window growing with them.
    void RememberLayout();
    void FitControls();
    int NeededWidth(int id) const;
    int Padding(int id) const;  // around the caption: edges, the icon, the radio's circle
    int TextWidth(const std::u16string& text) const;
    // Captions the window may have to shorten: a caption wider than its control (the window
    // fits the screen's work area, not every text) shows elided, its whole text as its tooltip.
    void SetCaption(int id, const std::u16string& text);
    void ShowCaption(int id);
    std::map<int, std::u16string> captions_;
    HWND tooltip_ = nullptr;
    std::map<int, RECT> layout_;  // the template's places, in client coordinates
    RECT windowRect_{};

    HWND hwnd_ = nullptr;
    HWND list_ = nullptr;
    HICON icon_ = nullptr, iconConnected_ = nullptr, iconDisconnected_ = nullptr;

    // The progress dialog: wanted between ShowProgress and HideProgress, on screen while
    // `progressDialog_` is set, its start posted once.
    bool progressWanted_ = false, progressPosted_ = false;
    HWND progressDialog_ = nullptr;
    int openDialogs_ = 0, progressDepth_ = 0;  // boxes and dialogs open; the progress dialog's place among them
    std::u16string progressCaption_, progressDisplay_;

    WindowCalls calls_;
    desk::Desk desk_;  // declared last: it goes first, while the window's calls are still there
};

}  // namespace win32
