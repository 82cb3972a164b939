#include "CMyMsg.h"

#include "DialogUnits.h"
#include "Presentation.h"
#include "ScreenFit.h"

#include <QCoreApplication>
#include <QDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QStyle>
#include <QTimer>

void CMyMsg::SetLanguageFile(const QString& path) {
    SetTexts(std::make_shared<const localisation::LanguageTexts>(path.toStdString()));  // read once, here
}

CMyMsg::Showing CMyMsg::Prepare(int mode, const QString& text, bool systemError) const {
    const desk::BoxWords words = desk::BoxWordsFor(mode, systemError, m_texts ? *m_texts : localisation::LanguageTexts());
    const auto q = [](const std::u16string& s) { return QString::fromStdU16String(s); };
    return {words.mode, q(words.caption), text, q(words.yes), q(words.no), q(words.ok), systemError};
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

    auto* yes = new QPushButton(box);
    auto* no = new QPushButton(box);
    auto* ok = new QPushButton(box);
    auto* label = new QLabel(ui::Breakable(s.text), box);
    yes->setObjectName(QStringLiteral("6"));
    no->setObjectName(QStringLiteral("7"));
    ok->setObjectName(QStringLiteral("1"));
    label->setObjectName(QStringLiteral("1019"));
    label->setTextFormat(Qt::PlainText);  // a path or a system text is never markup
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    // Template 130 around the text (26 units to its left, 28 to its right, 16 above, 31 below
    // for the buttons), grown with the text up to the screen; beyond that the text scrolls and
    // the buttons stay where they are.
    const int sides = du.X(26 + 28), above = du.Y(16), below = du.Y(kHeight - 39);
    const QSize room = ui::WindowRoom(parent ? parent : box);
    const int bar = box->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    int width = ui::ReadableWidth(label->fontMetrics(), label->text(), du.X(123), room.width() - sides);
    int height = std::max(du.Y(23), label->heightForWidth(width));
    const int shown = std::max(du.Y(23), std::min(height, room.height() - above - below));
    const bool scrolls = height > shown;
    if (scrolls) {
        width = std::max(1, std::min(width + bar, room.width() - sides) - bar);
        height = label->heightForWidth(width);
    }
    auto* area = new QScrollArea(box);
    area->setFrameShape(QFrame::NoFrame);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setVerticalScrollBarPolicy(scrolls ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    area->setGeometry(du.X(26), above, width + (scrolls ? bar : 0), shown);
    label->resize(width, height);
    area->setWidget(label);
    const int boxWidth = std::max(du.X(kWidth), area->width() + sides);
    box->setFixedSize(boxWidth, above + shown + below);

    // The buttons keep their places in the template, centred under a wider text.
    const int left = (boxWidth - du.X(kWidth)) / 2, top = box->height() - du.Y(kHeight - 50);
    yes->setGeometry(left + du.X(23), top, du.X(50), du.Y(14));
    no->setGeometry(left + du.X(99), top, du.X(50), du.Y(14));
    ok->setGeometry(left + du.X(60), top, du.X(50), du.Y(14));

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
