#pragma once
// The Windows program's main window (template 102) over the same Qt-free rules as the Linux
// window: the serial engine and its connection control, the measurement table with its job and
// row-limit rules, the row a batch becomes, the language files and the workbook writer. This
// file only shows them and forwards the operator's commands.
#include "CSerialPort.h"
#include "ConnectionControl.h"
#include "EngineLine.h"
#include "LanguageFiles.h"
#include "MeasurementTable.h"
#include "TableRules.h"
#include "WindowCalls.h"
#include "WorkbookExport.h"
#include "platform/ModulePath.h"

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <ctime>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace win32 {

class MainWindow : public SerialOwner, public serial::View {
public:
    static constexpr int kRxBufferSize = 2000;  // the most bytes of a batch kept

    explicit MainWindow(platform::ProgramPlaces places = platform::ProgramPlaces::OfThisProgram());
    ~MainWindow() override;

    // Runs the window modally; returns when it has been closed.
    INT_PTR Run(HINSTANCE instance);

    // SerialOwner (the monitor thread).
    void OnSerialMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam, bool wait,
                         std::stop_token stop) override;
    void ShowSerialError(const std::string& text, std::stop_token stop) override;
    // serial::View (the connection worker).
    bool ShowConnected(std::stop_token stop) override;
    void Tell(serial::Notice notice, int port, const serial::OpenFailure& why, std::stop_token stop) override;
    bool RefreshPorts(std::stop_token stop) override;

private:
    static INT_PTR CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // A worker's box, shown once no other box is open; gives up when `stop` is triggered.
    void ShowFromWorker(const std::function<void()>& show, std::stop_token stop);
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void OnInitDialog();
    void OnCommand(int id, int code);

    // Language and settings.
    void LoadSettings();
    std::u16string Text(const char16_t* section, const char16_t* key) const;
    std::u16string MessageText(const char16_t* key, const char* english) const;
    void FillLanguageList();
    void ApplyLanguage();
    void OnLanguageOK();
    int Say(int mode, const std::u16string& text);

    // The table on screen.
    void SetupTable();
    void SetTitles();
    void ShowRows();  // the list's row count follows the table
    void OnGetDispInfo(NMLVDISPINFOW* info);

    // Connection.
    void FillPortList();
    void RefreshPortList();
    void UpdateControls();
    void SetConnectCaption(bool connected);
    void EnterConnectedState();
    static constexpr UINT_PTR kEarlyPartTimer = 1;
    void TakeEarlyPart();  // the early frame's bytes, when its rest has not taken them along
    void ToggleConnection();
    void StartTestMode();
    void EndAtRowLimit();

    // Frames.
    void OnSerialData(const std::uint8_t* bytes, int count);
    void ProcessFrame(const std::vector<std::uint8_t>& batch, std::size_t received);  // padded batch, bytes received

    // Commands and jobs.
    void OnClearData();
    void OnUnit(int unit);
    void FinishConversion(int unit, std::size_t rows);
    bool SaveTable(bool automatic);
    struct SaveJob;
    void FinishSave(const SaveJob& save);
    void FinishJob(int mode, const std::u16string& message);
    void RemoveRows(const std::vector<weighing::RowId>& ids);
    void OnClose();
    bool ConfirmClose();

    // A command of the operator or of the line in progress: what was held (a job's end, the
    // automatic save, a disconnect, closing) runs when the outermost one ends.
    struct CommandScope {
        explicit CommandScope(MainWindow& w) : w_(w) { w_.heldWork_.Enter(); }
        ~CommandScope() {
            if (w_.heldWork_.Leave()) w_.RunPending();
        }
        MainWindow& w_;
    };
    void RequestPending();
    void RunPending();

    HWND Item(int id) const { return GetDlgItem(hwnd_, id); }
    // Controls as wide as their texts need in this language and font (the template's sizes are
    // the least), the window growing with them.
    void RememberLayout();
    void FitControls();
    int NeededWidth(int id) const;
    int TextWidth(const std::u16string& text) const;
    std::map<int, RECT> layout_;  // the template's places, in client coordinates
    RECT windowRect_{};

    platform::ProgramPlaces places_;
    HWND hwnd_ = nullptr;
    HWND list_ = nullptr;
    HICON icon_ = nullptr, iconConnected_ = nullptr, iconDisconnected_ = nullptr;
    WindowCalls calls_;

    std::string moduleDir_, settingFile_;
    mutable std::mutex textMutex_;  // the connection worker reads texts too
    std::shared_ptr<const localisation::LanguageTexts> texts_;
    std::vector<std::string> languageFiles_;

    CSerialPort engine_;
    std::atomic<bool> connected_{false};
    std::atomic<std::int64_t> reference_{0};
    serial::EngineLine line_{engine_, this, [this] { reference_ = static_cast<std::int64_t>(std::time(nullptr)); }};
    serial::ConnectionControl link_{line_, *this};
    std::vector<std::uint8_t> earlyPart_;  // the start of a frame that came behind the handshake reply

    weighing::MeasurementTable table_;
    weighing::TableRules rules_;
    int unit_ = 0;
    bool frameError_ = false;
    int errorCount_ = 0;

    std::atomic<int> progress_{-1};
    std::jthread job_;
    weighing::HeldWork heldWork_{rules_};  // commands in progress, and what waits for their end
    bool closing_ = false;
};

}  // namespace win32
