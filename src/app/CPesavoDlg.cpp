#include "CPesavoDlg.h"

#include "CAboutDlg.h"
#include "DialogUnits.h"
#include "Journal.h"
#include "platform/ModulePath.h"
#include "platform/ShellOpen.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>

#include <chrono>
#include <functional>
#include <utility>

namespace {

// A combo box that can refresh its items each time its list drops down.
class DropDownCombo : public QComboBox {
public:
    DropDownCombo(QWidget* parent, std::function<void()> beforeDropDown)
        : QComboBox(parent), beforeDropDown_(std::move(beforeDropDown)) {}
    void showPopup() override {
        if (beforeDropDown_) beforeDropDown_();
        QComboBox::showPopup();
    }

private:
    std::function<void()> beforeDropDown_;
};

}  // namespace

static void InitIconResources() { Q_INIT_RESOURCE(icons); }

CPesavoDlg::CPesavoDlg(QWidget* parent, Prompts* prompts, platform::ProgramPlaces places)
    : QDialog(parent), m_prompts(prompts), m_places(std::move(places)) {
    if (m_prompts) m_MyMsg.SetAnswerer([prompts](const CMyMsg::Showing& box) { return prompts->Answer(box); });
    InitIconResources();
    m_hIcon = QIcon(QStringLiteral(":/icons/127.svg"));
    setWindowIcon(m_hIcon);
    setWindowTitle(QStringLiteral("Korvane电子秤"));
    // Title bar, system menu and a maximise box: the operator may give the table more room.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    setSizeGripEnabled(true);
    setFont(ui::DialogFont(9));
    CreateControls();
}

CPesavoDlg::~CPesavoDlg() {
    // No worker and no monitor may outlive the window they talk to.
    m_link.Stop();
    m_workers.StopAll();
    m_SerialPort.Shutdown();
}

void CPesavoDlg::CreateControls() {
    // The template's arrangement in layouts: every control at least its template size, and as
    // large as its text in the current font needs; the list takes whatever room is left.
    const ui::DialogUnits du(font());
    auto name = [](QWidget* w, int id) { w->setObjectName(QString::number(id)); };
    auto button = [&](QWidget* parent, int id, const char* caption, int cx, int cy) {
        auto* b = new QPushButton(QString::fromUtf8(caption), parent);
        name(b, id);
        m_templateSizes.emplace_back(b, QSize(du.X(cx), du.Y(cy)));
        b->setAutoDefault(false);
        return b;
    };
    auto radio = [&](QWidget* parent, int id, const char* caption) {
        auto* r = new QRadioButton(QString::fromUtf8(caption), parent);
        name(r, id);
        // Tab enters the group at its checked button; the arrow keys move within it.
        r->setFocusPolicy(Qt::StrongFocus);
        return r;
    };
    auto combo = [&](QWidget* parent, int id, std::function<void()> beforeDropDown = {}) {
        auto* c = new DropDownCombo(parent, std::move(beforeDropDown));
        name(c, id);
        c->setEditable(true);
        c->setInsertPolicy(QComboBox::NoInsert);
        c->setSizeAdjustPolicy(QComboBox::AdjustToContents);  // every item readable, in every language
        m_templateSizes.emplace_back(c, QSize(du.X(42), 0));
        c->installEventFilter(this);
        c->lineEdit()->installEventFilter(this);
        return c;
    };
    auto group = [&](int id, const char* caption) {
        auto* g = new QGroupBox(QString::fromUtf8(caption), this);
        name(g, id);
        m_templateSizes.emplace_back(g, QSize(du.X(48), 0));
        return g;
    };
    // A button in the right-hand corner of a group, under its combo box.
    auto cornerRow = [](QWidget* w) {
        auto* row = new QHBoxLayout;
        row->addStretch(1);
        row->addWidget(w);
        return row;
    };

    m_List = new QTableView(this);
    name(m_List, IDC_LIST);
    m_List->setMinimumSize(du.X(278), du.Y(100));
    auto* connect = button(this, IDC_CONNECT, "开启连接", 62, 33);
    connect->setIconSize(QSize(du.Y(14), du.Y(14)));
    connect->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    auto* save = button(this, IDC_SAVE, "保存表格", 50, 14);
    auto* clear = button(this, IDC_CLEAR, "清空数据", 50, 14);

    auto* unitGroup = group(IDC_UNIT_GROUP, "显示单位选择");
    auto* kg = radio(unitGroup, IDC_UNIT_KG, "KG");
    auto* lb = radio(unitGroup, IDC_UNIT_LB, "LB");
    auto* lboz = radio(unitGroup, IDC_UNIT_LBOZ, "LB:OZ");
    auto* units = new QGridLayout(unitGroup);
    units->addWidget(kg, 0, 0);
    units->addWidget(lb, 0, 1);
    units->addWidget(lboz, 1, 0, 1, 2);

    auto* portGroup = group(IDC_PORT_GROUP, "串口设置");
    m_cmbPort = combo(portGroup, IDC_PORT, [this] { RefreshPortList(); });
    auto* refresh = button(portGroup, IDC_REFRESH, "刷新", 28, 12);
    auto* ports = new QVBoxLayout(portGroup);
    ports->addWidget(m_cmbPort);
    ports->addLayout(cornerRow(refresh));

    auto* languageGroup = group(IDC_LANGUAGE_GROUP, "语言设置");
    m_cmbLanguage = combo(languageGroup, IDC_LANGUAGE);
    auto* languageOk = button(languageGroup, IDC_LANGUAGE_OK, "确认", 28, 12);
    auto* languages = new QVBoxLayout(languageGroup);
    languages->addWidget(m_cmbLanguage);
    languages->addLayout(cornerRow(languageOk));

    auto* test = button(this, IDC_TEST, "测试", 271, 13);

    auto* tableJobs = new QVBoxLayout;
    tableJobs->addWidget(save);
    tableJobs->addWidget(clear);
    auto* controls = new QHBoxLayout;
    controls->addWidget(connect);
    controls->addLayout(tableJobs);
    controls->addWidget(unitGroup);
    controls->addWidget(portGroup, 1);
    controls->addWidget(languageGroup, 1);
    auto* window = new QVBoxLayout(this);
    window->setContentsMargins(du.X(6), du.Y(5), du.X(6), du.Y(4));
    window->addWidget(m_List, 1);
    window->addLayout(controls);
    window->addWidget(test);

    // Template order, which is also the tab order of the tab stops.
    QWidget* order[] = {connect, kg, lb, lboz, m_List, m_cmbPort, clear, refresh, save, m_cmbLanguage, languageOk, test};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

    m_unitGroup = new QButtonGroup(this);
    m_unitGroup->addButton(kg, 0);
    m_unitGroup->addButton(lb, 1);
    m_unitGroup->addButton(lboz, 2);
    kg->setChecked(true);
    QObject::connect(m_unitGroup, &QButtonGroup::idClicked, this, [this](int unit) { OnUnit(unit); });

    // Report view: grid lines, full-row single selection, no row headers.
    m_List->setModel(&m_Model);
    m_List->setShowGrid(true);
    m_List->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_List->setSelectionMode(QAbstractItemView::SingleSelection);
    m_List->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_List->verticalHeader()->hide();
    m_List->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);  // every row one height
    m_List->verticalHeader()->setDefaultSectionSize(m_List->fontMetrics().height() + 4);
    m_List->setWordWrap(false);
    m_List->setTabKeyNavigation(false);  // one tab stop, not a walk through the cells
    m_List->installEventFilter(this);

    QObject::connect(languageOk, &QPushButton::clicked, this, [this] { OnLanguageOK(); });
    QObject::connect(test, &QPushButton::clicked, this, [this] { StartTestMode(); });
    QObject::connect(connect, &QPushButton::clicked, this, [this] { ToggleConnection(); });
    QObject::connect(refresh, &QPushButton::clicked, this, [this] { RefreshPortList(); });
    QObject::connect(clear, &QPushButton::clicked, this, [this] { OnClearData(); });
    QObject::connect(save, &QPushButton::clicked, this, [this] { OnSaveTable(); });
}

void CPesavoDlg::FitControls() {
    // Never smaller than the template, nor than the current texts need: the layout may shrink a
    // control to its minimum, and a minimum below its text would cut it.
    for (auto& [widget, templateSize] : m_templateSizes) {
        const QSize need = qobject_cast<QGroupBox*>(widget) ? widget->minimumSizeHint() : widget->sizeHint();
        widget->setMinimumSize(need.expandedTo(templateSize));
    }
}

QWidget* CPesavoDlg::GetDlgItem(int id) const { return findChild<QWidget*>(QString::number(id)); }

void CPesavoDlg::SetCaption(int id, const QString& text) {
    QWidget* w = GetDlgItem(id);
    if (auto* b = qobject_cast<QAbstractButton*>(w)) b->setText(text);
    else if (auto* g = qobject_cast<QGroupBox*>(w)) g->setTitle(text);
}

void CPesavoDlg::DoDataExchange() { m_nUnit = std::max(0, m_unitGroup->checkedId()); }

int CPesavoDlg::DoModal() {
    OnInitDialog();
    return exec();
}

bool CPesavoDlg::OnInitDialog() {
    DoDataExchange();
    LoadSettings();
    SetupTable();
    m_hIconConnected = QIcon(QStringLiteral(":/icons/139.svg"));
    m_hIconDisconnected = QIcon(QStringLiteral(":/icons/141.svg"));
    static_cast<QPushButton*>(GetDlgItem(IDC_CONNECT))->setIcon(m_hIconConnected);
    m_RxBuffer.assign(kRxBufferSize, 0);
    m_bConnected = false;
    UpdateControls();
    m_SerialPort.SetPlaces(m_places);
    const bool portsFound = m_SerialPort.EnumeratePorts();
    // The language comes first, whatever the ports: every box after this one has its title and
    // its buttons' texts, so no question is ever answered blind.
    FillLanguageList();
    ApplyLanguage();
    // The template's size, grown where the texts of this language and font need more.
    const ui::DialogUnits du(font());
    const QSize needed = sizeHint();
    resize(std::max(du.X(kTemplateWidth), needed.width()), std::max(du.Y(kTemplateHeight), needed.height()));
    // What an earlier run left unsaved is offered back before the window is used.
    OpenJournal();
    if (portsFound) return true;
    // No port (or too many): say so before the window shows; the operator can list the ports
    // again.
    m_cmbPort->clear();
    m_MyMsg.Show(CMyMsg::ModeOk, ReadLanguageText(u"Message", u"Serial_Port_Abnormal"));
    return false;
}

void CPesavoDlg::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}

QString CPesavoDlg::HelpFilePath() {
    return QString::fromStdString(platform::NativeSeparators("..\\Doc\\Korvane电子秤上位机使用说明.pdf"));
}

bool CPesavoDlg::OnHelp() {
    // Relative to the working directory, as the manual is installed beside the program's folder.
    return platform::ShellOpenDocument(HelpFilePath().toStdString());
}

bool CPesavoDlg::ConfirmClose() {
    const auto newest = [this] { return m_Model.rowCount() > 0 ? m_Model.Table().Id(m_Model.Table().size() - 1) : 0; };
    while (m_Model.rowCount() > 0) {
        const weighing::RowId asked = newest();
        // Only an explicit Yes closes: Esc or the box's close button must not discard the table.
        if (m_MyMsg.Show(CMyMsg::ModeYesNo, ReadLanguageText(u"Message", u"Close_Exe")) != CMyMsg::IdYes)
            return false;
        if (newest() <= asked) break;  // weighings that came while it was open are asked about too
    }
    if (m_bConnected) {
        m_SerialPort.QueueByte(weighing::kDisconnectNotice);  // tell the scale we are leaving
        m_SerialPort.RequestStop(true);
        m_SerialPort.WaitForSent(std::chrono::milliseconds(200));
    }
    return true;
}

// Esc and Enter end the dialog through the same close path as the close box, so a stray key
// never discards the table or leaves the scale without its disconnect notice.
void CPesavoDlg::reject() { close(); }
void CPesavoDlg::accept() { close(); }

void CPesavoDlg::closeEvent(QCloseEvent* event) {
    if (m_bClosing) {
        event->accept();
        return;
    }
    if (m_tableRules.Busy()) {
        // A conversion or a save owns the table: close once it has ended (and asked what it must).
        m_tableRules.Hold(weighing::TableRules::kClose);
        event->ignore();
        return;
    }
    const CommandScope scope(*this);
    if (!ConfirmClose()) {
        event->ignore();
        return;
    }
    m_bClosing = true;
    // The operator chose to close without saving: the rows leave the journal with the window.
    if (m_Model.rowCount() > 0) {
        m_Model.DeleteAllRows();
        CommitJournal();
    }
    event->accept();
    QDialog::done(QDialog::Rejected);
}

void CPesavoDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F1) {
        OnHelp();
        return;
    }
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        // Enter presses the focused push button, as on Windows; elsewhere it closes the window.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            button->click();
        } else {
            close();
        }
        return;
    }
    QDialog::keyPressEvent(event);
}

bool CPesavoDlg::eventFilter(QObject* watched, QEvent* event) {
    // Enter in the list or in a combo's edit field would otherwise be swallowed by the control.
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            auto* combo = qobject_cast<QComboBox*>(watched);
            if (!(combo && combo->view()->isVisible())) {
                close();
                return true;
            }
        }
        if (key->key() == Qt::Key_F1) {
            OnHelp();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CPesavoDlg::contextMenuEvent(QContextMenuEvent* event) {
    // Stands in for the system menu's About item on desktops without one.
    QMenu menu(this);
    menu.addSeparator();
    QAction* about = menu.addAction(QStringLiteral("关于 Pesavo(&A)..."));
    if (menu.exec(event->globalPos()) == about) OnAbout();
}
