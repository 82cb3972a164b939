#include "CMyMsg.h"

#include "DialogUnits.h"

#include <QCoreApplication>
#include <QDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

void CMyMsg::SetLanguageFile(const QString& path) {
    SetTexts(std::make_shared<const localisation::LanguageTexts>(path.toStdString()));  // read once, here
}

QString CMyMsg::ReadText(const char16_t* section, const char16_t* key) const {
    return m_texts ? QString::fromStdU16String(m_texts->Text(section, key)) : QString();
}

CMyMsg::Showing CMyMsg::Prepare(int mode, const QString& text, bool systemError) const {
    Showing s;
    s.mode = mode;
    s.text = text;
    s.systemError = systemError;
    if (systemError) {
        s.mode = ModeOk;
        s.title = QStringLiteral("Application Error");
        s.okCaption = QStringLiteral("OK");
        return s;
    }
    s.title = ReadText(u"Message", u"Warning");
    s.yesCaption = ReadText(u"Message_Button", u"Msg_IDYES");
    s.noCaption = ReadText(u"Message_Button", u"Msg_IDNO");
    s.okCaption = ReadText(u"Message_Button", u"Msg_IDOK");
    return s;
}

void CMyMsg::Open(QWidget* parent, const Showing& s, std::function<void(int)> answered) const {
    QObject* context = parent ? static_cast<QObject*>(parent) : QCoreApplication::instance();
    if (m_answerer) {
        // After the event that asked, as a person's answer would come.
        QTimer::singleShot(0, context, [answerer = m_answerer, s, answered] { answered(answerer(s)); });
        return;
    }
    if (s.systemError) {
        auto* box = new QMessageBox(QMessageBox::Critical, s.title, s.text, QMessageBox::Ok, parent);
        box->setAttribute(Qt::WA_DeleteOnClose);
        QObject::connect(box, &QDialog::finished, context, [answered] { answered(IdOk); });
        box->open();
        return;
    }

    auto* box = new QDialog(parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(s.title);
    box->setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    box->setFont(ui::DialogFont(8));
    const ui::DialogUnits du(box->font());
    box->setFixedSize(du.X(kWidth), du.Y(kHeight));

    auto* yes = new QPushButton(box);
    auto* no = new QPushButton(box);
    auto* ok = new QPushButton(box);
    auto* label = new QLabel(s.text, box);
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

    if (s.mode == ModeYesNo) {
        ok->hide();
        yes->setText(s.yesCaption);
        no->setText(s.noCaption);
        yes->setDefault(true);
    } else {
        yes->hide();
        no->hide();
        ok->setText(s.okCaption);
    }
    for (auto [button, result] : {std::pair{yes, IdYes}, {no, IdNo}, {ok, IdOk}})
        QObject::connect(button, &QPushButton::clicked, box, [box, result = result] { box->done(result); });
    QObject::connect(box, &QDialog::finished, context, [answered](int result) {
        answered(result == IdYes || result == IdNo || result == IdOk ? result : IdCancel);
    });
    box->open();
}
