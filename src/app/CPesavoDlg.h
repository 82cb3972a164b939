#pragma once
// The main window: one dialog that holds the state of the whole program. Every store is fixed
// in size when the window is constructed; nothing is allocated per measurement.
#include "CMyMsg.h"
#include "CProgressDlg.h"
#include "CSerialPort.h"
#include "FrameDecoder.h"
#include "MeasurementModel.h"
#include "WorkerThreads.h"

#include <QDialog>
#include <QIcon>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <cstdint>
#include <mutex>
#include <vector>

class QButtonGroup;
class QComboBox;
class QGroupBox;
class QPushButton;
class QRadioButton;
class QTableView;

class CPesavoDlg : public QDialog, public SerialOwner {
    Q_OBJECT
public:
    static constexpr int kStoreSize = 70000;    // entries of the weight store
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

    explicit CPesavoDlg(QWidget* parent = nullptr);
    ~CPesavoDlg() override;

    // Initialises the window (before it is shown) and runs it modally.
    int DoModal();
    bool OnInitDialog();

    QWidget* GetDlgItem(int id) const;
    void DoDataExchange();  // controls → members (the unit choice)

    // Settings and language.
    void LoadSettings();
    QString ReadLanguageText(const char16_t* section, const char16_t* key);
    void FillLanguageList();
    void ApplyLanguage();
    void OnLanguageOK();

    // Table.
    bool SetupTable();
    MeasurementModel& Model() { return m_Model; }

    // Connection (port list, open and close, handshake, search, Test mode).
    void RefreshPortList();
    void FillPortList();  // combo 1004 from the list held by the engine
    void ToggleConnection();
    void StartHandshake();
    bool SaveTable(bool automatic);
    void OnSaveTable();
    void OnClearData();
    // Display unit: 0 kg, 1 lb, 2 lb:oz.
    void OnUnitKg() { OnUnit(weighing::kKg); }
    void OnUnitLb() { OnUnit(weighing::kLb); }
    void OnUnitLbOz() { OnUnit(weighing::kLbOz); }
    void OnUnit(int unit);
    // The Data text of row `row` in `unit`, from its stored weight, width code and kind.
    QString RenderData(int row, int unit);
    // Asks for the file of an interactive save (the platform's save dialog); empty when
    // cancelled. Tests put an answer of their own in its place.
    static std::function<QString(const QString& initialName)> s_saveDialog;
    void OnSerialData(const std::uint8_t* bytes, int count);
    bool ProcessFrame();
    QString FormatWeight(int row);  // the Data text of the weight frame in m_RxBuffer for `row`

    // SerialOwner: the engine's notifications and error box.
    void OnSerialMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam, bool wait,
                         std::stop_token stop) override;
    void ShowSerialError(const std::string& text, std::stop_token stop) override;

    // Window commands of its own.
    void OnAbout();
    bool OnHelp();
    void StartTestMode();
    bool ConfirmClose();  // the close question and the disconnect notice; false keeps the window open

    static QString HelpFilePath();

    // ---- members, in the order of the window's state table ----
    QIcon m_hIcon;
    CSerialPort m_SerialPort;
    std::atomic<bool> m_bTestMode{false};
    QIcon m_hIconDisconnected;
    QIcon m_hIconConnected;
    std::vector<std::uint8_t> m_RxBuffer;
    int m_nRxCount = 0;
    std::atomic<bool> m_bConnected{false};
    bool m_bFrameError = false;
    QComboBox* m_cmbPort = nullptr;
    QTableView* m_List = nullptr;
    std::array<double, kStoreSize> m_adWeight;
    std::array<std::int16_t, kStoreSize> m_anWidthCode;
    std::array<weighing::RowKind, kStoreSize> m_anRowKind;  // how each row is rendered
    std::atomic<std::int64_t> m_tReference{0};
    int m_nUnit = 0;
    std::atomic<int> m_nSearchIndex{0};
    HandshakeEvent m_hHandshake;
    QString m_strLanguageFile;
    QStringList m_astrLanguageFiles;
    QString m_strSettingFile;
    QString m_strModuleDir;
    QComboBox* m_cmbLanguage = nullptr;
    char16_t m_szText[kTextUnits] = {};
    CMyMsg m_MyMsg;
    bool m_bTableFull = false;
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
    // Connection steps shared by the opening paths and the check threads.
    void OpenAndStart(int position);
    // One step of the automatic search: open the port at `position`, ask it, start the check.
    void SearchFrom(int position);
    void EnterConnectedState();
    void SetLockedControlsEnabled(bool enabled);
    void ClearHandshakeBytes();
    std::uint8_t HandshakeByte();
    int SearchLimit();  // positions the search may try: the count, never past the stored 19
    void ManualCheckThread(std::stop_token stop);
    void AutoSearchThread(std::stop_token stop);
    void TestCycleThread(std::stop_token stop);
    void StartWorker(void (CPesavoDlg::*thread)(std::stop_token));
    void TableFull();
    void ConvertThread(int unit, std::stop_token stop);
    void ExportThread(std::stop_token stop);
    void RemoveSavedRows(int count);

    void SetCaption(int id, const QString& text);

    MeasurementModel m_Model;
    std::mutex m_textMutex;  // guards m_szText, shared by every text lookup
    bool m_bClosing = false;
    bool m_bScrollPending = false;
    QButtonGroup* m_unitGroup = nullptr;
    std::mutex m_rxMutex;  // guards m_RxBuffer between the window and the check threads
    WorkerThreads m_workers;
};
