#pragma once
// The main window: a view of the operator's desk (desk::Desk). It shows the table, the
// connection's state and the language's texts as the desk tells it, asks the desk's questions
// with its own boxes and dialogs — never waiting for them — and forwards the operator's
// commands. Widgets, layout, keys and its dialogs are its own; the workflow is the desk's.
#include "CMyMsg.h"
#include "Desk.h"
#include "MeasurementModel.h"
#include "Presentation.h"
#include "Prompts.h"
#include "platform/ModulePath.h"

#include <QDialog>
#include <QIcon>
#include <QTimer>

#include <memory>
#include <string>
#include <utility>
#include <vector>

class CProgressDlg;
class QButtonGroup;
class QComboBox;
class QGroupBox;
class QPushButton;
class QTableView;

class CPesavoDlg : public QDialog, public desk::View {
    Q_OBJECT
public:
    // Control ids of window template 102 (each control's object name, for finding it).
    enum ControlId {
        IDC_LIST = 1000, IDC_CONNECT = 1002, IDC_PORT = 1004, IDC_LANGUAGE = 1005,
        IDC_UNIT_KG = 1010, IDC_UNIT_LB = 1011, IDC_UNIT_LBOZ = 1012, IDC_CLEAR = 1013,
        IDC_REFRESH = 1014, IDC_SAVE = 1015, IDC_LANGUAGE_OK = 1016, IDC_UNIT_GROUP = 1019,
        IDC_PORT_GROUP = 1020, IDC_LANGUAGE_GROUP = 1021, IDC_TEST = 1038,
    };
    static constexpr int kTemplateWidth = 287, kTemplateHeight = 206;  // dialog units

    // Without `prompts` the window shows its real boxes and the platform's save dialog; `places`
    // is where the desk reads its languages, settings and ports (the program's own folder by
    // default). `options` also sets the journal's folder and the row limit.
    explicit CPesavoDlg(QWidget* parent = nullptr, Prompts* prompts = nullptr,
                        platform::ProgramPlaces places = platform::ProgramPlaces::OfThisProgram());
    CPesavoDlg(QWidget* parent, Prompts* prompts, desk::Options options);
    ~CPesavoDlg() override;

    // Where the journal is kept (the user's data folder); before OnInitDialog. A window without
    // one keeps no journal.
    void SetJournalFolder(const std::string& folder);

    // Starts the desk (settings, language, ports, the journal's offer) and sizes the window;
    // DoModal then runs it until it closes.
    void OnInitDialog();
    int DoModal();

    // The operator's commands, forwarded to the desk.
    void ToggleConnection();
    void RefreshPortList();
    void StartTestMode();
    void OnSaveTable();
    void OnClearData();
    void OnUnitKg() { OnUnit(weighing::kKg); }
    void OnUnitLb() { OnUnit(weighing::kLb); }
    void OnUnitLbOz() { OnUnit(weighing::kLbOz); }
    void OnLanguageOK();
    // Commands of the window's own.
    void OnAbout();
    bool OnHelp();
    QString HelpFilePath() const;

    // After OnInitDialog: the desk the window shows, and the table as the list sees it.
    desk::Desk& GetDesk() { return *m_desk; }
    MeasurementModel& Model() { return *m_model; }

    // ---- desk::View ----
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
    // Minimum sizes for the current texts; on a screen too narrow for them, the list's last
    // column and the combo boxes narrow, then the widest captions are elided (whole in their
    // tooltips), until the window fits.
    void FitControls();
    void SetMinimumSizes();
    int NeededWidth();  // the window's least width for its controls as they are now
    void SetCaption(QWidget* control, const QString& caption);  // whole; FitControls shows it
    void KeepOnScreen(QSize before);  // `before`: the window's size before the fit
    void OnUnit(int unit);
    QWidget* Widget(desk::Control control) const;

    Prompts* m_prompts;  // the operator's answers when given, else the real dialogs
    desk::Options m_options;
    std::unique_ptr<desk::Desk> m_desk;
    std::unique_ptr<MeasurementModel> m_model;
    CMyMsg m_box;
    QTimer m_deskTimer;
    bool m_closeAgreed = false;  // the desk said Close: the close event goes through
    bool m_inCloseEvent = false;
    bool m_scrollPending = false;

    QIcon m_iconConnected, m_iconDisconnected;
    std::vector<std::pair<QWidget*, QSize>> m_templateSizes;  // controls and their template sizes
    struct Caption {
        QWidget* control;  // a push button or a group box
        QString whole;     // what the language says, however much of it the control shows
    };
    std::vector<Caption> m_captions;
    int m_listWidth = 0, m_listLeast = 0;  // the list's least width: all columns, "Explan" at its title
    QTableView* m_list = nullptr;
    QPushButton* m_connect = nullptr;
    QPushButton* m_save = nullptr;
    QPushButton* m_clear = nullptr;
    QPushButton* m_refresh = nullptr;
    QPushButton* m_languageOk = nullptr;
    QPushButton* m_test = nullptr;
    QGroupBox* m_unitGroupBox = nullptr;
    QGroupBox* m_portGroup = nullptr;
    QGroupBox* m_languageGroup = nullptr;
    QButtonGroup* m_units = nullptr;
    QComboBox* m_ports = nullptr;
    QComboBox* m_languages = nullptr;
    CProgressDlg* m_progress = nullptr;
};
