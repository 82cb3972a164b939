#include "CMyMsg.h"

#include "DialogUnits.h"
#include "LanguageFiles.h"
#include "UiCall.h"

#include <QDialog>
#include <QEventLoop>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <chrono>
#include <thread>
#include <vector>

namespace {

constexpr int kBoxBusy = -1;

// State of the one box that may be on screen; touched on the user-interface thread only.
bool g_boxOnScreen = false;
std::vector<QEventLoop*> g_waitingForBox;

void ReleaseBox() {
    g_boxOnScreen = false;
    for (QEventLoop* loop : g_waitingForBox) loop->quit();
}

}  // namespace

void CMyMsg::SetAnswerer(Answerer answerer) {
    std::lock_guard lock(m_mutex);
    m_answerer = std::move(answerer);
}

void CMyMsg::SetLanguageFile(const QString& path) {
    auto texts = std::make_shared<const localisation::LanguageTexts>(path.toStdString());  // read once, here
    std::lock_guard lock(m_mutex);
    m_strLangFile = path;
    m_texts = std::move(texts);
}

QString CMyMsg::LanguageFile() const {
    std::lock_guard lock(m_mutex);
    return m_strLangFile;
}

QString CMyMsg::ReadText(const char16_t* section, const char16_t* key) const {
    std::shared_ptr<const localisation::LanguageTexts> texts;
    {
        std::lock_guard lock(m_mutex);
        texts = m_texts;
    }
    return texts ? QString::fromStdU16String(texts->Text(section, key)) : QString();
}

void CMyMsg::AddCaptions(Showing& s) const {
    s.yesCaption = ReadText(u"Message_Button", u"Msg_IDYES");
    s.noCaption = ReadText(u"Message_Button", u"Msg_IDNO");
    s.okCaption = ReadText(u"Message_Button", u"Msg_IDOK");
}

CMyMsg::Showing CMyMsg::Prepare(int mode, const QString& text, const QString& title) const {
    Showing s;
    s.mode = mode;
    s.text = text;
    s.title = title.isEmpty() ? ReadText(u"Message", u"Warning") : title;
    AddCaptions(s);
    return s;
}

void CMyMsg::SetMessage(int mode, const QString& text, const QString& title) {
    const Showing s = Prepare(mode, text, title);
    std::lock_guard lock(m_mutex);
    m_strTitle = s.title;
    m_strText = s.text;
    m_nMode = s.mode;
}

int CMyMsg::DoModal(std::stop_token stop) {
    Showing s;
    {
        std::lock_guard lock(m_mutex);
        s.mode = m_nMode;
        s.title = m_strTitle;
        s.text = m_strText;
    }
    AddCaptions(s);
    return Run(s, stop);
}

int CMyMsg::Show(int mode, const QString& text, std::stop_token stop) {
    return Run(Prepare(mode, text, QString()), stop);
}

void CMyMsg::ShowSystemError(const QString& text, std::stop_token stop) {
    Showing s;
    s.mode = ModeOk;
    s.title = QStringLiteral("Application Error");
    s.text = text;
    s.okCaption = QStringLiteral("OK");
    s.systemError = true;
    Run(s, stop);
}

int CMyMsg::Run(const Showing& s, std::stop_token stop) const {
    Answerer answerer;
    {
        std::lock_guard lock(m_mutex);
        answerer = m_answerer;
    }
    if (ui::OnUiThread()) return RunOnUiThread(s, answerer);
    // A worker waits in its own thread while another box is open, so the user-interface
    // thread never has to nest a waiting loop for it.
    for (;;) {
        const std::optional<int> result = ui::CallOnUiThread<int>(
            [s, answerer] { return g_boxOnScreen ? kBoxBusy : RunOnUiThread(s, answerer); }, stop);
        if (!result) return IdCancel;
        if (*result != kBoxBusy) return *result;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int CMyMsg::RunOnUiThread(const Showing& prepared, const Answerer& answerer) {
    // On the user-interface thread itself (a handler that runs while a box is open) the only
    // way to wait is a local loop, left as soon as the open box is answered.
    while (g_boxOnScreen) {
        QEventLoop loop;
        g_waitingForBox.push_back(&loop);
        loop.exec();
        std::erase(g_waitingForBox, &loop);
    }
    g_boxOnScreen = true;

    if (answerer) {
        const int result = answerer(prepared);
        ReleaseBox();
        return result;
    }
    if (prepared.systemError) {
        QMessageBox box(QMessageBox::Critical, prepared.title, prepared.text, QMessageBox::Ok);
        box.exec();
        ReleaseBox();
        return IdOk;
    }

    QDialog box;
    box.setWindowTitle(prepared.title);
    box.setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    box.setFont(ui::DialogFont(8));
    const ui::DialogUnits du(box.font());
    box.setFixedSize(du.X(kWidth), du.Y(kHeight));

    auto* yes = new QPushButton(&box);
    auto* no = new QPushButton(&box);
    auto* ok = new QPushButton(&box);
    auto* label = new QLabel(prepared.text, &box);
    yes->setObjectName(QStringLiteral("6"));
    no->setObjectName(QStringLiteral("7"));
    ok->setObjectName(QStringLiteral("1"));
    label->setObjectName(QStringLiteral("1019"));
    yes->setGeometry(du.Rect(23, 50, 50, 14));
    no->setGeometry(du.Rect(99, 50, 50, 14));
    ok->setGeometry(du.Rect(60, 50, 50, 14));
    label->setGeometry(du.Rect(26, 16, 123, 23));
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    ok->setText(QStringLiteral("确认"));

    if (prepared.mode == ModeYesNo) {
        ok->hide();
        yes->setText(prepared.yesCaption);
        no->setText(prepared.noCaption);
        yes->setDefault(true);
    } else if (prepared.mode == ModeOk) {
        yes->hide();
        no->hide();
        ok->setText(prepared.okCaption);
    } else {
        yes->hide();
        no->hide();
    }
    QObject::connect(yes, &QPushButton::clicked, &box, [&box] { box.done(IdYes); });
    QObject::connect(no, &QPushButton::clicked, &box, [&box] { box.done(IdNo); });
    QObject::connect(ok, &QPushButton::clicked, &box, [&box] { box.done(IdOk); });
    QObject::connect(&box, &QDialog::finished, &box, [] { ReleaseBox(); });
    const int result = box.exec();
    if (g_boxOnScreen) ReleaseBox();
    return result == IdYes || result == IdNo || result == IdOk ? result : IdCancel;
}
