#include "CPesavoDlg.h"

#include "CAboutDlg.h"
#include "CProgressDlg.h"
#include "DialogUnits.h"
#include "ScreenFit.h"
#include "platform/ModulePath.h"

#include <QAbstractItemView>
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
#include <QStyle>
#include <QTableView>

#include <algorithm>
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

namespace {

desk::Options OptionsAt(platform::ProgramPlaces places) {
    desk::Options options;
    options.places = std::move(places);
    return options;
}

}  // namespace

CPesavoDlg::CPesavoDlg(QWidget* parent, Prompts* prompts, platform::ProgramPlaces places)
    : CPesavoDlg(parent, prompts, OptionsAt(std::move(places))) {}

CPesavoDlg::CPesavoDlg(QWidget* parent, Prompts* prompts, desk::Options options)
    : QDialog(parent), m_prompts(prompts), m_options(std::move(options)) {
    if (m_prompts) m_box.SetAnswerer([prompts](const CMyMsg::Showing& box) { return prompts->Answer(box); });
    InitIconResources();
    setWindowIcon(QIcon(QStringLiteral(":/icons/127.svg")));
    m_iconConnected = QIcon(QStringLiteral(":/icons/139.svg"));
    m_iconDisconnected = QIcon(QStringLiteral(":/icons/141.svg"));
    setWindowTitle(QStringLiteral("Korvane电子秤"));
    // Title bar, system menu and a maximise box: the operator may give the table more room.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    setSizeGripEnabled(true);
    setFont(ui::DialogFont(9));
    CreateControls();
    m_progress = new CProgressDlg(this);
    m_deskTimer.setSingleShot(true);
    QObject::connect(&m_deskTimer, &QTimer::timeout, this, [this] {
        if (m_desk) m_desk->OnTimer();
    });
}

CPesavoDlg::~CPesavoDlg() {
    // The desk stops its workers and its line while the table's view and the widgets it talks
    // to are still there; then the list lets go of the table.
    m_progress->Finish();
    m_deskTimer.stop();
    m_desk.reset();
    m_list->setModel(nullptr);
    m_model.reset();
}

void CPesavoDlg::SetJournalFolder(const std::string& folder) { m_options.journalFolder = folder; }

void CPesavoDlg::CreateControls() {
    // The template's arrangement in layouts: every control at least its template size, and as
    // large as its text in the current font needs; the list takes whatever room is left.
    const ui::DialogUnits du(font());
    auto name = [](QWidget* w, int id) { w->setObjectName(QString::number(id)); };
    auto button = [&](QWidget* parent, int id, const char* caption, int cx, int cy) {
        auto* b = new QPushButton(QString::fromUtf8(caption), parent);
        name(b, id);
        m_templateSizes.emplace_back(b, QSize(du.X(cx), du.Y(cy)));
        m_captions.push_back({b, b->text()});
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
        m_captions.push_back({g, g->title()});
        return g;
    };
    // A button in the right-hand corner of a group, under its combo box.
    auto cornerRow = [](QWidget* w) {
        auto* row = new QHBoxLayout;
        row->addStretch(1);
        row->addWidget(w);
        return row;
    };

    m_list = new QTableView(this);
    name(m_list, IDC_LIST);
    m_list->setMinimumSize(du.X(278), du.Y(100));
    m_connect = button(this, IDC_CONNECT, "开启连接", 62, 33);
    m_connect->setIconSize(QSize(du.Y(14), du.Y(14)));
    m_connect->setIcon(m_iconDisconnected);
    m_connect->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    m_save = button(this, IDC_SAVE, "保存表格", 50, 14);
    m_clear = button(this, IDC_CLEAR, "清空数据", 50, 14);

    m_unitGroupBox = group(IDC_UNIT_GROUP, "显示单位选择");
    auto* kg = radio(m_unitGroupBox, IDC_UNIT_KG, "KG");
    auto* lb = radio(m_unitGroupBox, IDC_UNIT_LB, "LB");
    auto* lboz = radio(m_unitGroupBox, IDC_UNIT_LBOZ, "LB:OZ");
    auto* units = new QGridLayout(m_unitGroupBox);
    units->addWidget(kg, 0, 0);
    units->addWidget(lb, 0, 1);
    units->addWidget(lboz, 1, 0, 1, 2);

    m_portGroup = group(IDC_PORT_GROUP, "串口设置");
    m_ports = combo(m_portGroup, IDC_PORT, [this] { RefreshPortList(); });
    m_refresh = button(m_portGroup, IDC_REFRESH, "刷新", 28, 12);
    auto* ports = new QVBoxLayout(m_portGroup);
    ports->addWidget(m_ports);
    ports->addLayout(cornerRow(m_refresh));

    m_languageGroup = group(IDC_LANGUAGE_GROUP, "语言设置");
    m_languages = combo(m_languageGroup, IDC_LANGUAGE);
    m_languageOk = button(m_languageGroup, IDC_LANGUAGE_OK, "确认", 28, 12);
    auto* languages = new QVBoxLayout(m_languageGroup);
    languages->addWidget(m_languages);
    languages->addLayout(cornerRow(m_languageOk));

    m_test = button(this, IDC_TEST, "测试", 271, 13);

    auto* tableJobs = new QVBoxLayout;
    tableJobs->addWidget(m_save);
    tableJobs->addWidget(m_clear);
    auto* controls = new QHBoxLayout;
    controls->addWidget(m_connect);
    controls->addLayout(tableJobs);
    controls->addWidget(m_unitGroupBox);
    controls->addWidget(m_portGroup, 1);
    controls->addWidget(m_languageGroup, 1);
    auto* window = new QVBoxLayout(this);
    window->setContentsMargins(du.X(6), du.Y(5), du.X(6), du.Y(4));
    window->addWidget(m_list, 1);
    window->addLayout(controls);
    window->addWidget(m_test);

    // Template order, which is also the tab order of the tab stops.
    QWidget* order[] = {m_connect, kg, lb, lboz, m_list, m_ports, m_clear, m_refresh, m_save, m_languages, m_languageOk, m_test};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

    m_units = new QButtonGroup(this);
    m_units->addButton(kg, weighing::kKg);
    m_units->addButton(lb, weighing::kLb);
    m_units->addButton(lboz, weighing::kLbOz);
    kg->setChecked(true);
    QObject::connect(m_units, &QButtonGroup::idClicked, this, [this](int unit) { OnUnit(unit); });

    // Report view: grid lines, full-row single selection, no row headers.
    m_list->setShowGrid(true);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->verticalHeader()->hide();
    m_list->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);  // every row one height
    m_list->verticalHeader()->setDefaultSectionSize(m_list->fontMetrics().height() + 4);
    m_list->setWordWrap(false);
    m_list->setTabKeyNavigation(false);  // one tab stop, not a walk through the cells
    m_list->installEventFilter(this);

    QObject::connect(m_languageOk, &QPushButton::clicked, this, [this] { OnLanguageOK(); });
    QObject::connect(m_test, &QPushButton::clicked, this, [this] { StartTestMode(); });
    QObject::connect(m_connect, &QPushButton::clicked, this, [this] { ToggleConnection(); });
    QObject::connect(m_refresh, &QPushButton::clicked, this, [this] { RefreshPortList(); });
    QObject::connect(m_clear, &QPushButton::clicked, this, [this] { OnClearData(); });
    QObject::connect(m_save, &QPushButton::clicked, this, [this] { OnSaveTable(); });
}

namespace {

QString Shown(const QWidget* control) {
    if (auto* button = qobject_cast<const QPushButton*>(control)) return button->text();
    return static_cast<const QGroupBox*>(control)->title();
}

void Show(QWidget* control, const QString& text, const QString& whole) {
    if (auto* button = qobject_cast<QPushButton*>(control)) button->setText(text);
    else static_cast<QGroupBox*>(control)->setTitle(text);
    control->setToolTip(text == whole ? QString() : whole);
}

}  // namespace

void CPesavoDlg::SetCaption(QWidget* control, const QString& caption) {
    for (Caption& c : m_captions)
        if (c.control == control) c.whole = caption;
}

void CPesavoDlg::SetMinimumSizes() {
    // Never smaller than the template, nor than the current texts need: the layout may shrink a
    // control to its minimum, and a minimum below its text would cut it. (A group's layout
    // keeps its old size until invalidated.)
    for (QLayout* l : findChildren<QLayout*>()) l->invalidate();
    for (auto& [widget, templateSize] : m_templateSizes) {
        const QSize need = qobject_cast<QGroupBox*>(widget) ? widget->minimumSizeHint() : widget->sizeHint();
        widget->setMinimumSize(need.expandedTo(templateSize));
    }
}

int CPesavoDlg::NeededWidth() {
    // Nested layouts keep their sizes until activated: measured afresh, all of them.
    for (QLayout* l : findChildren<QLayout*>()) l->invalidate();
    return layout()->totalMinimumSize().width();
}

void CPesavoDlg::FitControls() {
    // Whole captions, combo boxes as wide as their items and every column at its width, as long
    // as the screen has room.
    const QSize before = size();
    for (const Caption& c : m_captions) Show(c.control, c.whole, c.whole);
    QComboBox* const combos[] = {m_ports, m_languages};
    for (QComboBox* combo : combos) {
        combo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
        combo->view()->setMinimumWidth(0);
    }
    if (m_listWidth > 0) m_list->setMinimumWidth(m_listWidth);
    SetMinimumSizes();
    const int room = ui::WindowRoom(this).width();
    if (NeededWidth() <= room) return KeepOnScreen(before);

    // Too wide for the screen. The list's last column, which is mostly empty, gives up its
    // room first.
    if (m_listWidth > 0) m_list->setMinimumWidth(std::max(m_listLeast, m_listWidth - (NeededWidth() - room)));

    // The combo boxes narrow next, widest first, down to their template width: the edit field
    // shows what fits of the chosen item, the list that drops down is as wide as its longest item.
    std::vector<QComboBox*> narrowing;
    for (QComboBox* combo : combos) {
        const QFontMetrics metrics(combo->view()->font());
        int widest = 0;
        for (int i = 0; i < combo->count(); ++i) widest = std::max(widest, metrics.horizontalAdvance(combo->itemText(i)));
        combo->view()->setMinimumWidth(widest + 2 * combo->view()->frameWidth() + 2 * metrics.averageCharWidth() +
                                       combo->style()->pixelMetric(QStyle::PM_ScrollBarExtent));
        combo->setMinimumContentsLength(std::max(1, (combo->sizeHint().width() + metrics.averageCharWidth() - 1) / metrics.averageCharWidth()));
        combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        narrowing.push_back(combo);
    }
    for (int excess = NeededWidth() - room; excess > 0 && !narrowing.empty(); excess = NeededWidth() - room) {
        const auto widest = std::max_element(narrowing.begin(), narrowing.end(),
                                             [](QComboBox* a, QComboBox* b) { return a->minimumWidth() < b->minimumWidth(); });
        QComboBox* combo = *widest;
        const int before = combo->minimumWidth(), chars = combo->minimumContentsLength();
        combo->setMinimumContentsLength(std::max(1, chars - std::max(1, excess / combo->fontMetrics().averageCharWidth())));
        SetMinimumSizes();
        if (combo->minimumWidth() == before || combo->minimumContentsLength() == 1) narrowing.erase(widest);
    }

    // Then the captions, widest first, each elided no further than a few characters, and only
    // where that makes the window narrower; the whole caption is the control's tooltip.
    std::vector<Caption*> eliding;
    for (Caption& c : m_captions) eliding.push_back(&c);
    const auto width = [](const Caption* c) { return c->control->fontMetrics().horizontalAdvance(Shown(c->control)); };
    for (int needed = NeededWidth(); needed > room && !eliding.empty();) {
        std::sort(eliding.begin(), eliding.end(), [&](const Caption* a, const Caption* b) { return width(a) > width(b); });
        Caption* c = eliding.front();
        const QFontMetrics metrics = c->control->fontMetrics();
        const QString before = Shown(c->control);
        const int now = width(c), next = eliding.size() > 1 ? width(eliding[1]) : 0;
        const int least = metrics.horizontalAdvance(c->whole.left(3) + QChar(0x2026));
        int limit = now - std::max(needed - room, 1);
        if (next < now) limit = std::max(limit, next);
        limit = std::max(limit, least);
        if (limit >= now) {  // elided as far as it goes
            eliding.erase(eliding.begin());
            continue;
        }
        Show(c->control, metrics.elidedText(c->whole, Qt::ElideRight, limit), c->whole);
        SetMinimumSizes();
        const int after = NeededWidth();
        if (after >= needed) {  // not what keeps the window wide
            Show(c->control, before, c->whole);
            SetMinimumSizes();
            eliding.erase(eliding.begin());
            continue;
        }
        needed = after;
    }
    KeepOnScreen(before);
}

void CPesavoDlg::KeepOnScreen(QSize before) {
    // A window already shown takes its new least size now; grown, or larger than the work area,
    // it is brought inside it. Otherwise it stays where the operator put it.
    if (!isVisible() || !screen()) return;
    // (Each group's own layout as well: a group the same size as before is not laid out again.)
    for (QLayout* l : findChildren<QLayout*>()) l->activate();
    const QRect work = screen()->availableGeometry();
    const QSize frame = frameGeometry().size() - size();
    const QSize room = work.size() - frame;
    const bool tooLarge = width() > room.width() || height() > room.height();
    if (!tooLarge && size() == before) return;
    if (tooLarge)
        resize(std::max(minimumWidth(), std::min(width(), room.width())), std::max(minimumHeight(), std::min(height(), room.height())));
    const QRect now = frameGeometry();
    const QPoint inside(std::max(work.left(), std::min(now.left(), work.right() + 1 - now.width())),
                        std::max(work.top(), std::min(now.top(), work.bottom() + 1 - now.height())));
    if (inside != now.topLeft()) move(inside);
}

int CPesavoDlg::DoModal() {
    OnInitDialog();
    return exec();
}

void CPesavoDlg::OnInitDialog() {
    if (m_desk) return;
    m_desk = std::make_unique<desk::Desk>(*this, m_options);
    m_model = std::make_unique<MeasurementModel>(
        m_desk->Table(), [this](int column) { return QString::fromStdU16String(m_desk->Title(column)); });
    m_list->setModel(m_model.get());
    // The language first, whatever else the start finds: every box after it has its words.
    m_desk->Start();
    // The template's size, grown where the texts of this language and font need more.
    const ui::DialogUnits du(font());
    // Never beyond the screen's work area, where the texts are then elided (FitControls).
    const QSize needed = sizeHint(), room = ui::WindowRoom(this);
    resize(std::min(std::max(du.X(kTemplateWidth), needed.width()), std::max(room.width(), minimumSizeHint().width())),
           std::min(std::max(du.Y(kTemplateHeight), needed.height()), std::max(room.height(), minimumSizeHint().height())));
}

// The commands go to the desk; before it has started there is nothing to command.
void CPesavoDlg::ToggleConnection() { if (m_desk) m_desk->ToggleConnection(m_ports->currentIndex()); }
void CPesavoDlg::RefreshPortList() { if (m_desk) m_desk->RefreshPortList(); }
void CPesavoDlg::StartTestMode() { if (m_desk) m_desk->StartTestMode(); }
void CPesavoDlg::OnSaveTable() { if (m_desk) m_desk->OnSaveTable(); }
void CPesavoDlg::OnClearData() { if (m_desk) m_desk->OnClearData(); }
void CPesavoDlg::OnUnit(int unit) { if (m_desk) m_desk->OnUnit(unit); }
void CPesavoDlg::OnLanguageOK() { if (m_desk) m_desk->OnLanguageOK(m_languages->currentIndex()); }

void CPesavoDlg::OnAbout() {
    auto* about = new CAboutDlg(this);
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->open();
}

QString CPesavoDlg::HelpFilePath() const { return QString::fromStdString(m_desk->ManualPath()); }

bool CPesavoDlg::OnHelp() { return m_desk->OpenManual(); }

// Esc and Enter end the dialog through the same close path as the close box, so a stray key
// never discards the table or leaves the scale without its disconnect notice.
void CPesavoDlg::reject() { close(); }
void CPesavoDlg::accept() { close(); }

void CPesavoDlg::closeEvent(QCloseEvent* event) {
    // Only the desk's Close ends the window; anything else asks the desk (rows, a running job).
    if (!m_closeAgreed && m_desk) {
        m_inCloseEvent = true;  // a Close the desk answers at once is taken up here
        m_desk->OnClose();
        m_inCloseEvent = false;
    }
    if (!m_closeAgreed && m_desk) {
        event->ignore();
        return;
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
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addSeparator();
    QObject::connect(menu->addAction(QStringLiteral("关于 Pesavo(&A)...")), &QAction::triggered, this, [this] { OnAbout(); });
    if (m_desk && m_desk->HasLivePage()) {
        // The local weight service's page, in the desktop's browser.
        std::u16string caption = m_desk->Text(u"Dialog_Caption", u"About_Live_Page");
        if (caption.empty()) caption = u"Open the live page";
        QObject::connect(menu->addAction(QString::fromStdU16String(caption)), &QAction::triggered, this, [this] { m_desk->OpenLivePage(); });
    }
    menu->popup(event->globalPos());
}
