#pragma once
// The main window: shows the measurement table and the connection, and forwards the operator's
// commands. The table's rows and the rules of whole-table jobs and of the row limit live in
// Qt-free code (weighing::MeasurementTable, weighing::TableRules); the window only applies them.
#include "CMyMsg.h"
#include "CProgressDlg.h"
#include "CSerialPort.h"
#include "platform/ModulePath.h"
#include "ConnectionControl.h"
#include "EngineLine.h"
#include "FrameDecoder.h"
#include "MeasurementModel.h"
#include "Prompts.h"
#include "TableRules.h"
#include "WorkerThreads.h"

#include <QDialog>
#include <QIcon>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace journal {
class Journal;
struct StoredRow;
}  // namespace journal

class QButtonGroup;
class QComboBox;
class QGroupBox;
class QPushButton;
class QRadioButton;
class QTableView;

class CPesavoDlg : public QDialog, public SerialOwner, public serial::View {
    Q_OBJECT
public:
    static constexpr int kRxBufferSize = 2000;  // bytes of the receive buffer
    static constexpr int kTextUnits = 500;      // UTF-16 units of the shared text buffer

    // Control ids of window template 102.
    enum ControlId {
        IDC_LIST = 1000, IDC_CONNECT = 1002, IDC_PORT = 1004, IDC_LANGUAGE = 1005,
        IDC_UNIT_KG = 1010, IDC_UNIT_LB = 1011, IDC_UNIT_LBOZ = 1012, IDC_CLEAR = 1013,
        IDC_REFRESH = 1014, IDC_SAVE = 1015, IDC_LANGUAGE_OK = 1016, IDC_UNIT_GROUP = 1019,
        IDC_PORT_GROUP = 1020, IDC_LANGUAGE_GROUP = 1021, IDC_TEST = 1038,
    };
    static constexpr int kTemplateWidth = 287, kTemplateHeight = 206;  // dialog units

    // Without `prompts` the window shows its real boxes and the platform's save dialog; `places`
    // is where it reads its languages, settings and ports (the program's own folder by default).
    explicit CPesavoDlg(QWidget* parent = nullptr, Prompts* prompts = nullptr,
                        platform::ProgramPlaces places = platform::ProgramPlaces::OfThisProgram());
    ~CPesavoDlg() override;

    // Initialises the window (before it is shown) and runs it modally.
    int DoModal();
    bool OnInitDialog();

    QWidget* GetDlgItem(int id) const;
    void DoDataExchange();  // controls → members (the unit choice)

    // Settings and language.
    void LoadSettings();
    QString ReadLanguageText(const char16_t* section, const char16_t* key);  // from any thread
    QString LanguageFile();
    void FillLanguageList();
    void ApplyLanguage();
    void OnLanguageOK();

    // Journal: every row on disk before the scale hears it arrived. `folder` is where it is kept
    // (the user's data folder); set before OnInitDialog, which opens it and offers back the rows
    // an earlier run left. A window without one keeps no journal.
    void SetJournalFolder(const std::string& folder);
    bool IsJournalOn() const { return m_journal != nullptr && !m_bJournalOff; }

    // Table.
    bool SetupTable();
    MeasurementModel& Model() { return m_Model; }
    // The row limit ended the connection; the next new connection takes rows again.
    bool IsTableFull() const { return m_tableRules.Full(); }
    // A conversion or a save owns the table: nothing else may change or remove rows.
    bool IsTableBusy() const { return m_tableRules.Busy(); }

    // Connection (port list, open and close, handshake, search, Test mode).
    void RefreshPortList();
    void FillPortList();  // combo 1004 from the list held by the engine
    void ToggleConnection();
    bool SaveTable(bool automatic);
    void OnSaveTable();
    void OnClearData();
    // Display unit: 0 kg, 1 lb, 2 lb:oz.
    void OnUnitKg() { OnUnit(weighing::kKg); }
    void OnUnitLb() { OnUnit(weighing::kLb); }
    void OnUnitLbOz() { OnUnit(weighing::kLbOz); }
    void OnUnit(int unit);
    void OnSerialData(const std::uint8_t* bytes, int count);
    bool ProcessFrame();

    // SerialOwner: the engine's notifications and error box.
    void OnSerialMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam, bool wait,
                         std::stop_token stop) override;
    void ShowSerialError(const std::string& text, std::stop_token stop) override;

    // serial::View: the connection controller's calls, from its worker.
    bool ShowConnected(std::stop_token stop) override;
    void Tell(serial::Notice notice, int port, const serial::OpenFailure& why, std::stop_token stop) override;
    bool RefreshPorts(std::stop_token stop) override;
    serial::ConnectionControl& Link() { return m_link; }

    // Window commands of its own.
    void OnAbout();
    bool OnHelp();
    void StartTestMode();
    bool ConfirmClose();  // the close question and the disconnect notice; false keeps the window open

    static QString HelpFilePath();

    // ---- members, in the order of the window's state table ----
    QIcon m_hIcon;
    CSerialPort m_SerialPort;
    QIcon m_hIconDisconnected;
    QIcon m_hIconConnected;
    std::vector<std::uint8_t> m_RxBuffer;
    int m_nRxCount = 0;
    std::atomic<bool> m_bConnected{false};
    bool m_bFrameError = false;
    QComboBox* m_cmbPort = nullptr;
    QTableView* m_List = nullptr;
    std::atomic<std::int64_t> m_tReference{0};
    int m_nUnit = 0;
    QString m_strLanguageFile;
    QStringList m_astrLanguageFiles;
    QString m_strSettingFile;
    QString m_strModuleDir;
    QComboBox* m_cmbLanguage = nullptr;
    char16_t m_szText[kTextUnits] = {};
    CMyMsg m_MyMsg;
    Prompts* m_prompts = nullptr;  // the operator's answers when given, else the real dialogs
    platform::ProgramPlaces m_places;  // where the languages, settings and ports are read from
    CProgressDlg m_dlgProgress;
    QString m_strSavePath;
    int m_nErrorCount = 0;

protected:
    void reject() override;
    void accept() override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void FitColumns();   // column widths for the current titles and font
    void FitControls();  // minimum sizes for the current texts
    std::vector<std::pair<QWidget*, QSize>> m_templateSizes;  // controls and their template sizes
    void EnterConnectedState();
    // Enables the controls for the connection's state and for a running table job.
    void UpdateControls();
    void ClearHandshakeBytes();
    // A message text of the language file, or `english` when the file lacks the key.
    QString MessageText(const char16_t* key, const char* english);
    // The row limit was reached: the connection ends, the automatic save falls due.
    void EndAtRowLimit();
    struct ConversionTexts {
        QString error, overweight;  // the Data texts of error and overweight rows
    };
    void ConvertThread(int unit, int rows, const ConversionTexts& texts, std::stop_token stop);
    void FinishConversion(int unit, int rows, const ConversionTexts& texts);
    struct SaveJob;
    void FinishSave(const SaveJob& save);
    // Whole-table jobs: the progress dialog while one runs, its end on the window's thread, and
    // what comes after it at the top level (its message, then the commands held meanwhile).
    void ShowProgress();
    void FinishJob(int messageMode, const QString& message);
    void RunPending();
    void RequestPending();  // RunPending now, or as the command in progress ends
    // Marks a command in progress (it may open a modal loop): held work waits for its end.
    class CommandScope {
    public:
        explicit CommandScope(CPesavoDlg& dlg);
        ~CommandScope();
        CommandScope(const CommandScope&) = delete;
        CommandScope& operator=(const CommandScope&) = delete;

    private:
        CPesavoDlg& dlg_;
    };

    void SetCaption(int id, const QString& text);
    void UpdateTitle();  // the language's caption; it also says when rows are not journalled

    void OpenJournal();
    void OfferJournalRows(const std::vector<journal::StoredRow>& rows, int unit);
    void RestoreJournalRows(const std::vector<journal::StoredRow>& rows, int unit);
    // Makes the table's changes part of the journal, on disk; a failure turns the journal off
    // and tells the operator once.
    bool CommitJournal();
    void JournalOff(const QString& why);
    // The engine wrote to the line: the journal notes that the last row's answer has left.
    void NoteAnswerLeft();

    MeasurementModel m_Model;
    weighing::TableRules m_tableRules;
    weighing::HeldWork m_heldWork{m_tableRules};  // commands in progress, and what waits for their end
    std::mutex m_textMutex;  // guards m_szText, m_strLanguageFile and m_texts, shared by every text lookup
    std::shared_ptr<const localisation::LanguageTexts> m_texts;  // the current language, read once
    bool m_bClosing = false;
    bool m_bScrollPending = false;
    QButtonGroup* m_unitGroup = nullptr;
    std::mutex m_rxMutex;  // guards m_RxBuffer
    std::vector<std::uint8_t> m_earlyPart;  // the start of a first frame split behind the reply
    std::string m_journalFolder;
    bool m_bWantJournal = false;
    std::unique_ptr<journal::Journal> m_journal;
    bool m_bJournalOff = false;  // wanted, but rows are not being journalled
    // The last row an earlier run journalled, when its answer was not known to have left: a
    // scale that never heard it sends the same frame again first.
    struct Unconfirmed {
        weighing::RowId id;
        std::array<std::uint8_t, 6> frame;
    };
    std::optional<Unconfirmed> m_unconfirmed;
    struct PendingAnswer {
        weighing::RowId id;
        std::uint64_t place;  // of its 0x9F among the bytes queued on the engine
    };
    std::optional<PendingAnswer> m_answerPending;
    WorkerThreads m_workers;  // conversion and export
    serial::EngineLine m_line{m_SerialPort, this, [this] { m_tReference = static_cast<std::int64_t>(std::time(nullptr)); }};
    serial::ConnectionControl m_link{m_line, *this};  // declared last: stopped before what it uses goes
};
