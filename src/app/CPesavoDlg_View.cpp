// The window as the desk's view: what the desk tells it to show, the questions it asks with the
// window's own boxes and dialogs, and the answers it hands back — each as an event of its own,
// never from inside the call that asked.
#include "CPesavoDlg.h"

#include "CProgressDlg.h"
#include "UiCall.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QPushButton>
#include <QStyle>
#include <QTableView>

namespace {

QString FromUtf16(const std::u16string& s) { return QString::fromStdU16String(s); }

}  // namespace

QWidget* CPesavoDlg::Widget(desk::Control control) const {
    switch (control) {
        case desk::Control::Connect: return m_connect;
        case desk::Control::Port: return m_ports;
        case desk::Control::Language: return m_languages;
        case desk::Control::UnitKg: return m_units->button(weighing::kKg);
        case desk::Control::UnitLb: return m_units->button(weighing::kLb);
        case desk::Control::UnitLbOz: return m_units->button(weighing::kLbOz);
        case desk::Control::Clear: return m_clear;
        case desk::Control::Refresh: return m_refresh;
        case desk::Control::Save: return m_save;
        case desk::Control::LanguageOk: return m_languageOk;
        case desk::Control::UnitGroup: return m_unitGroupBox;
        case desk::Control::PortGroup: return m_portGroup;
        case desk::Control::LanguageGroup: return m_languageGroup;
        case desk::Control::Test: return m_test;
    }
    return nullptr;
}

void CPesavoDlg::Post(std::function<void()> fn) { ui::PostToUiThread(this, std::move(fn)); }

void CPesavoDlg::StartTimer(int ms) { m_deskTimer.start(ms); }

// ---- the table ----

void CPesavoDlg::RowsInserted(std::size_t first, std::size_t count) {
    m_model->RowsInserted(static_cast<int>(first), static_cast<int>(count));
    // The new rows are the last ones: scroll to the bottom once the window is idle again. Rows
    // that arrive together share one scroll, and one layout of the list.
    if (m_scrollPending) return;
    m_scrollPending = true;
    QMetaObject::invokeMethod(
        this, [this] {
            m_scrollPending = false;
            m_list->scrollToBottom();
        },
        Qt::QueuedConnection);
}

void CPesavoDlg::RowsRemoved(std::size_t, std::size_t) { m_model->Reset(); }
void CPesavoDlg::RowsChanged(std::size_t first, std::size_t end) {
    m_model->RowsChanged(static_cast<int>(first), static_cast<int>(end));
}
void CPesavoDlg::RowsReset() { m_model->Reset(); }

void CPesavoDlg::TitlesChanged() {
    m_model->TitlesChanged();
    FitColumns();  // the new titles may need more room
    FitControls();
}

void CPesavoDlg::FitColumns() {
    // Each column as wide as the template has it, or as its title and its longest text need in
    // this font; "Explan" takes the rest of the list.
    const QFontMetrics list(m_list->font()), head(m_list->horizontalHeader()->font());
    const int pad = 2 * m_list->style()->pixelMetric(QStyle::PM_HeaderMargin) + 10;
    const auto samples = desk::ColumnSamples(*m_desk->Texts());
    QHeaderView* header = m_list->horizontalHeader();
    header->setMinimumSectionSize(10);
    header->setStretchLastSection(true);
    int total = 0, explan = 0;
    for (int c = 0; c < MeasurementModel::kColumns; ++c) {
        const int title = head.horizontalAdvance(m_model->Title(c)) + pad;
        int width = std::max(c == MeasurementModel::Explan ? 200 : 80, title);
        // ("Explan" has its 200 for an explanation.)
        if (c != MeasurementModel::Explan)
            for (const std::u16string& text : samples[c]) width = std::max(width, list.horizontalAdvance(FromUtf16(text)) + pad);
        // ("Explan", the last, stretches over the rest: from its title's width it may also narrow.)
        header->resizeSection(c, c == MeasurementModel::Explan ? title : width);
        total += width;
        if (c == MeasurementModel::Explan) explan = width - title;
    }
    // The list shows every column without a horizontal scroll bar at the window's smallest; on a
    // narrow screen "Explan", which stretches, may give up all but its title's room.
    m_listWidth = total + 2 * m_list->frameWidth() + m_list->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    m_listLeast = m_listWidth - explan;
    m_list->setMinimumWidth(m_listWidth);
}

// ---- texts, state, lists ----

void CPesavoDlg::ShowTexts() {
    // The connect and Test buttons and the title follow the state.
    for (const desk::Caption& c : desk::Captions(*m_desk->Texts())) SetCaption(Widget(c.control), FromUtf16(c.text));
    m_box.SetTexts(m_desk->Texts());
    m_model->TitlesChanged();
    FitColumns();
    FitControls();
}

void CPesavoDlg::ShowState(const desk::State& state) {
    setWindowTitle(FromUtf16(state.title));
    SetCaption(m_connect, FromUtf16(state.connectCaption));
    m_connect->setIcon(state.connected ? m_iconConnected : m_iconDisconnected);
    SetCaption(m_test, FromUtf16(state.testCaption));
    for (const desk::Enabling& e : desk::EnabledControls(state)) Widget(e.control)->setEnabled(e.enabled);
    // While a conversion runs the button clicked stays chosen; its end brings the desk's unit.
    if (QAbstractButton* b = m_units->button(state.unit); b && !state.busy) b->setChecked(true);
    FitControls();  // the connect button's caption may have changed with the state
}

void CPesavoDlg::ShowPorts(const std::u16string& any, const std::vector<desk::PortItem>& ports) {
    m_ports->setCurrentIndex(-1);
    m_ports->clear();
    const std::vector<std::u16string> labels = desk::PortLabels(any, ports);
    for (std::size_t i = 0; i < labels.size(); ++i) {
        m_ports->addItem(FromUtf16(labels[i]));
        // The device behind each port, so the operator can tell which one is the scale.
        if (i > 0) m_ports->setItemData(static_cast<int>(i), QString::fromStdString(ports[i - 1].device), Qt::ToolTipRole);
    }
    m_ports->setCurrentIndex(0);
    FitControls();
}

void CPesavoDlg::ShowLanguages(const std::vector<std::u16string>& names, const std::vector<std::string>& files,
                               int selection) {
    m_languages->clear();
    for (std::size_t i = 0; i < names.size(); ++i) {
        m_languages->addItem(FromUtf16(names[i]));
        if (i < files.size()) m_languages->setItemData(static_cast<int>(i), QString::fromStdString(files[i]), Qt::ToolTipRole);
    }
    m_languages->setCurrentIndex(names.empty() ? -1 : selection);
    FitControls();
}

// ---- questions, dialogs ----

void CPesavoDlg::Ask(const desk::Question& question) {
    const CMyMsg::Showing showing = m_box.Prepare(question.mode, FromUtf16(question.text), question.systemError);
    const std::uint64_t id = question.id;
    // With the operator of the tests as well, the answer comes as an event of its own.
    m_box.Open(this, showing, [this, id](int answer) { m_desk->Answer(id, answer); });
}

void CPesavoDlg::AskSavePath(const std::string& fileName, const std::string& folder) {
    const QString name = QString::fromStdString(fileName);
    if (m_prompts) {
        QTimer::singleShot(0, this, [this, name] { m_desk->SavePathChosen(m_prompts->ChooseSaveFile(name).toStdString()); });
        return;
    }
    auto* dialog = new QFileDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setDefaultSuffix(QString::fromUtf16(desk::kSaveFileType.suffix));
    dialog->setNameFilter(QString::fromUtf16(desk::kSaveFileType.name));
    if (!folder.empty()) dialog->setDirectory(QString::fromStdString(folder));
    dialog->selectFile(name);
    QObject::connect(dialog, &QDialog::finished, this, [this, dialog](int result) {
        const QStringList chosen = dialog->selectedFiles();
        const std::string path = result == QDialog::Accepted && !chosen.isEmpty() ? chosen.front().toStdString() : std::string();
        Post([this, path] { m_desk->SavePathChosen(path); });
    });
    dialog->open();
}

void CPesavoDlg::ShowProgress(const std::u16string& caption, const std::u16string& display) {
    m_progress->Start(FromUtf16(caption), FromUtf16(display), m_desk->Progress());
}

void CPesavoDlg::HideProgress() { m_progress->Finish(); }

void CPesavoDlg::Close() {
    m_closeAgreed = true;
    if (!m_inCloseEvent) close();  // (inside the close event, that event goes through)
}
