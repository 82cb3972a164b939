// Boxes and the main window fit their texts and the screen: every message of the shipped
// languages with its longest plausible arguments, and a very long caption, at 100 and 150 %.
#include "CMyMsg.h"
#include "CPesavoDlg.h"
#include "Notices.h"
#include "platform/ProfileFile.h"
#include "../support/EventLoop.h"
#include "../support/ProgramFolder.h"
#include "../support/Window.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>

namespace {

using namespace std::chrono_literals;

// Opens `text` in the real box and checks it on screen: the text whole inside the box (or its
// scrolling part), the box inside the work area, both buttons visible under the text.
void CheckBox(CMyMsg& msg, const QString& text, bool mustScroll, const std::string& where) {
    int answer = 0;
    msg.Open(nullptr, msg.Prepare(CMyMsg::ModeYesNo, text), [&](int a) { answer = a; });
    QDialog* box = nullptr;
    ASSERT_TRUE(RunUntil([&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible() && qobject_cast<QDialog*>(w)) box = static_cast<QDialog*>(w);
        return box != nullptr;
    }, 5s)) << where;
    const QRect work = box->screen()->availableGeometry();
    auto* label = box->findChild<QLabel*>(QStringLiteral("1019"));
    auto* area = box->findChild<QScrollArea*>();
    EXPECT_TRUE(work.contains(box->frameGeometry())) << where;
    EXPECT_EQ(QString(label->text()).remove(QChar(0x200B)), text) << where;
    const QRect room = label->contentsRect();
    const QRect extent = label->fontMetrics().boundingRect(room, Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, label->text());
    EXPECT_TRUE(room.contains(extent)) << where << ": text " << extent.width() << "x" << extent.height() << " in "
                                       << room.width() << "x" << room.height();
    const QRect viewport(area->viewport()->mapTo(box, QPoint()), area->viewport()->size());
    EXPECT_TRUE(box->rect().contains(viewport)) << where;
    EXPECT_LE(label->width(), viewport.width()) << where;
    EXPECT_EQ(area->verticalScrollBar()->isVisible(), mustScroll) << where;
    if (!mustScroll) {
        EXPECT_LE(label->height(), viewport.height()) << where;
    }
    for (const char* id : {"6", "7"}) {
        auto* button = box->findChild<QPushButton*>(QLatin1String(id));
        EXPECT_TRUE(button->isVisible() && box->rect().contains(button->geometry())) << where;
        EXPECT_GE(button->y(), viewport.bottom()) << where;
    }
    box->findChild<QPushButton*>(QStringLiteral("7"))->click();
    EXPECT_TRUE(RunUntil([&] { return answer == CMyMsg::IdNo; }, 5s)) << where;
}

TEST(ScreenFitTest, EveryMessageStaysWholeOnTheScreen) {
    ProgramFolder folder{"fit"};
    QString path = QStringLiteral("/home/operator/Pesavo/");
    while (path.size() < 186) path += QStringLiteral("Lager_Nord_");
    path = path.left(186) + QStringLiteral("/weighings.xls");
    ASSERT_EQ(path.size(), 200);

    const QFont base = QApplication::font();
    for (const double scale : {1.0, 1.5}) {
        QFont font = base;
        font.setPointSizeF(base.pointSizeF() * scale);
        QApplication::setFont(font);
        for (const char* language : {"English.ini", "Chinese.ini"}) {
            const std::string file = folder.File(std::string("Language/") + language);
            const std::string where = std::string(language) + " at " + std::to_string(scale);
            CMyMsg msg;
            msg.SetLanguageFile(QString::fromStdString(file));
            const localisation::LanguageTexts texts(file);
            for (const auto& [key, value] : platform::GetProfileSection(u"Message", file)) {
                QString text = QString::fromStdU16String(value);
                if (key == u"Journal_Restore") text = text.arg(QStringLiteral("65001"), QStringLiteral("31/12/2026 23:59:59"));
                else if (text.contains(QStringLiteral("%2"))) text = text.arg(path, path);
                else if (text.contains(QStringLiteral("%1"))) text = text.arg(path);
                CheckBox(msg, text, false, where + " " + QString::fromStdU16String(key).toStdString());
            }
            // A save that failed, as the desk says it; and a text taller than any screen, which scrolls.
            CheckBox(msg, QString::fromStdU16String(texts.Text(u"Message", u"Save_error") + u"\n" + localisation::FailureText(texts, ENOSPC)) +
                              '\n' + path, false, where + " save");
            CheckBox(msg, QString::fromStdU16String(texts.Text(u"Message", u"Journal_Restore")).repeated(60), true, where + " tall");
        }

    }
    QApplication::setFont(base);
}

// A language with a 180-character connect caption: the window stays inside the screen, the
// caption is elided with its whole text as its tooltip, also after the texts are shown again,
// and the controls to switch back stay within reach.
TEST(ScreenFitTest, AVeryLongCaptionKeepsTheWindowOnTheScreen) {
    ProgramFolder folder{"caption"};
    std::string caption;
    while (caption.size() < 180) caption += "Connect the scale on the chosen port ";
    caption.resize(179);
    caption += '.';  // (an ini value's trailing blanks are not part of it)
    std::string texts = folder.ReadFile("Language/English.ini");
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"Serial_Caption_Open=Connect", "Serial_Caption_Open=" + caption},
                                   {"Language_Name=English", "Language_Name=English (long)"}})
        texts.replace(texts.find(from), from.size(), to);
    folder.WriteFile("Language/Long.ini", texts);
    folder.WriteSettings("\\Long.ini", "English (long)");
    struct Quiet : Prompts {
        int Answer(const CMyMsg::Showing&) override { return CMyMsg::IdOk; }
        QString ChooseSaveFile(const QString&) override { return {}; }
    } quiet;

    const QFont base = QApplication::font();
    for (const double scale : {1.0, 1.5}) {
        QFont font = base;
        font.setPointSizeF(base.pointSizeF() * scale);
        QApplication::setFont(font);
        CPesavoDlg w(nullptr, &quiet, folder.Places());
        w.OnInitDialog();
        w.show();
        QApplication::processEvents();
        for (const bool again : {false, true}) {
            if (again) {  // the same language applied again: its texts and the state shown anew
                w.OnLanguageOK();
                QApplication::processEvents();
            }
            const std::string where = std::to_string(scale) + (again ? " again" : "");
            EXPECT_TRUE(w.screen()->availableGeometry().contains(w.frameGeometry())) << where;
            const QAbstractButton* connect = Button(w, CPesavoDlg::IDC_CONNECT);
            EXPECT_EQ(connect->toolTip().toStdString(), caption) << where;
            EXPECT_TRUE(connect->text().endsWith(QChar(0x2026)) && caption.starts_with(connect->text().chopped(1).toStdString()))
                << connect->text().toStdString() << " " << where;
            for (const int id : {CPesavoDlg::IDC_LANGUAGE, CPesavoDlg::IDC_LANGUAGE_OK, CPesavoDlg::IDC_TEST}) {
                const QWidget* control = Item(w, id);
                EXPECT_TRUE(control->isVisible() && w.rect().contains(QRect(control->mapTo(&w, QPoint()), control->size())))
                    << id << " " << where;
            }
            for (const auto& [id, key] : {std::pair{CPesavoDlg::IDC_SAVE, u"Save_Excel"}, {CPesavoDlg::IDC_LANGUAGE_OK, u"Language_OK"}}) {
                EXPECT_EQ(Button(w, id)->text(), LanguageText(w, u"Dialog_Caption", key)) << where;
                EXPECT_TRUE(Button(w, id)->toolTip().isEmpty()) << where;
            }
        }
    }
    QApplication::setFont(base);
}

}  // namespace
