#include "CPesavoDlg.h"
#include "../support/EventLoop.h"
#include "../support/ProgramFolder.h"
#include "../support/Window.h"
#include "platform/PortList.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QRadioButton>
#include <QScreen>
#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>

#include <filesystem>
#include <memory>
#include <utility>

namespace {

using namespace std::chrono_literals;

// Records every message box and answers it with a chosen button (or as `onBox` says).
struct Answers : Prompts {
    QStringList texts;
    int answer = CMyMsg::IdYes;
    std::function<int(const CMyMsg::Showing&)> onBox;
    int Answer(const CMyMsg::Showing& s) override {
        texts << s.text;
        return onBox ? onBox(s) : answer;
    }
    QString ChooseSaveFile(const QString&) override { return {}; }
};

class MainWindowTest : public ::testing::Test {
protected:
    ProgramFolder folder{"window"};
    Answers answers;
    std::unique_ptr<CPesavoDlg> dlg;

    // The window, shown; with `rows` weighings an earlier run left in the journal, put back.
    CPesavoDlg& Start(int rows = 0) {
        dlg.reset();
        dlg = std::make_unique<CPesavoDlg>(nullptr, &answers, folder.Places());
        if (rows > 0) {
            LeaveRowsInJournal(folder.File("data"), rows);
            dlg->SetJournalFolder(folder.File("data"));
        }
        const int answer = std::exchange(answers.answer, int(CMyMsg::IdYes));  // put them back
        dlg->OnInitDialog();
        dlg->show();
        if (rows > 0) {
            EXPECT_TRUE(RunUntil([&] { return Rows(*dlg) == rows; }, 5s));
            answers.texts.clear();
        }
        answers.answer = answer;
        return *dlg;
    }
    QString Caption(int id) const {
        QWidget* w = Item(*dlg, id);
        if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
        return qobject_cast<QGroupBox*>(w)->title();
    }
    QTableView* List() const { return Item<QTableView>(*dlg, CPesavoDlg::IDC_LIST); }
    bool Asked(int count) { return RunUntil([&] { return answers.texts.size() >= count; }, 5s) && answers.texts.size() == count; }
};

TEST_F(MainWindowTest, StartUpAppliesTheLanguageThatSettingsName) {
    folder.WriteSettings("\\English.ini", "English");
    CPesavoDlg& w = Start();
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Korvane Scale"));
    EXPECT_EQ(Caption(CPesavoDlg::IDC_CONNECT), QStringLiteral("Connect"));
    EXPECT_EQ(Caption(CPesavoDlg::IDC_SAVE), QStringLiteral("Save table"));
    EXPECT_EQ(Caption(CPesavoDlg::IDC_UNIT_GROUP), QStringLiteral("Display unit"));
    EXPECT_EQ(Caption(CPesavoDlg::IDC_TEST), QStringLiteral("Test"));  // in the language of the file
    EXPECT_EQ(Ports(w)->itemText(0), QStringLiteral("Auto search"));
    EXPECT_EQ(Ports(w)->itemText(1), QStringLiteral("COM3"));
    EXPECT_EQ(Ports(w)->itemData(1, Qt::ToolTipRole).toString(), QStringLiteral("/dev/null"));
    EXPECT_EQ(Languages(w)->currentText(), QStringLiteral("English"));
    EXPECT_EQ(w.Model().Title(5), QStringLiteral("Remarks"));
    const QHeaderView* header = List()->horizontalHeader();
    EXPECT_EQ(header->sectionSize(0), 80);
    EXPECT_GE(header->sectionSize(5), 200);  // "Remarks" takes the rest of the list
    EXPECT_TRUE(answers.texts.isEmpty());
}

TEST_F(MainWindowTest, SwitchingLanguageRewritesSettingsAndRetitlesTheColumns) {
    CPesavoDlg& w = Start(1);
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Korvane电子秤"));
    const int english = Languages(w)->findText(QStringLiteral("English"));
    ASSERT_GE(english, 0);
    Languages(w)->setCurrentIndex(english);
    QTest::mouseClick(Item(w, CPesavoDlg::IDC_LANGUAGE_OK), Qt::LeftButton);
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Korvane Scale"));
    const std::string settings = folder.ReadFile("Setting.ini");
    EXPECT_NE(settings.find("Language_FileName=\\English.ini"), std::string::npos) << settings;
    EXPECT_NE(settings.find("Language_Name=English"), std::string::npos) << settings;
    EXPECT_EQ(w.Model().columnCount(), 6);
    EXPECT_EQ(w.Model().Title(0), QStringLiteral("No."));
    EXPECT_EQ(w.Model().rowCount(), 1);
}

// A language that cannot be used — a subfolder, a damaged file, one deleted before Apply — is
// refused with a notice in the language that works, at Apply and at start, and Setting.ini keeps
// the working one.
TEST_F(MainWindowTest, ALanguageThatCannotBeUsedIsRefusedAndNotKept) {
    std::filesystem::create_directories(folder.File("Language/zz-folder"));
    folder.WriteFile("Language/Damaged.ini", std::string("[Language_Configuration]\r\nLanguage_Name=Damaged\r\n\x01\xff\xfe"));
    folder.WriteSettings("\\English.ini", "English");
    const std::string before = folder.ReadFile("Setting.ini");
    {
        CPesavoDlg& w = Start();
        for (const QString& name : {QString(), QStringLiteral("Damaged")}) {
            Languages(w)->setCurrentIndex(Languages(w)->findText(name));
            w.OnLanguageOK();
        }
        std::filesystem::remove(folder.File("Language/English.ini"));
        Languages(w)->setCurrentIndex(Languages(w)->findText(QStringLiteral("English")));
        w.OnLanguageOK();
        ASSERT_TRUE(Asked(3));
        for (const QString& text : answers.texts) EXPECT_TRUE(text.startsWith(QStringLiteral("The language file"))) << text.toStdString();
        EXPECT_EQ(w.windowTitle(), QStringLiteral("Korvane Scale"));
        EXPECT_EQ(Caption(CPesavoDlg::IDC_CONNECT), QStringLiteral("Connect"));
        EXPECT_EQ(folder.ReadFile("Setting.ini"), before);
        w.close();
    }
    // At the next start the settings name the English file, which is gone: the window comes up
    // in a language that works and says so, and the settings stay.
    answers.texts.clear();
    CPesavoDlg& again = Start();
    ASSERT_TRUE(Asked(1));
    EXPECT_TRUE(answers.texts.front().contains(QStringLiteral("English.ini"))) << answers.texts.front().toStdString();
    EXPECT_FALSE(Caption(CPesavoDlg::IDC_CONNECT).isEmpty());
    EXPECT_EQ(folder.ReadFile("Setting.ini"), before);
    again.close();
}

TEST_F(MainWindowTest, ReadOnlySettingsStillSwitchForThisRunAndTheOperatorIsTold) {
    CPesavoDlg& w = Start();
    const std::string before = folder.ReadFile("Setting.ini");
    ::chmod(folder.File("Setting.ini").c_str(), 0444);
    Languages(w)->setCurrentIndex(Languages(w)->findText(QStringLiteral("English")));
    w.OnLanguageOK();
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Korvane Scale"));
    EXPECT_EQ(folder.ReadFile("Setting.ini"), before);
    ASSERT_TRUE(Asked(1));
    EXPECT_TRUE(answers.texts.front().startsWith(LanguageText(w, u"Message", u"Setting_Not_Saved")));
    ::chmod(folder.File("Setting.ini").c_str(), 0644);
}

// No serial port at start-up: the notice comes in the language of the settings, with its title
// and button text, so it is never answered blind.
TEST_F(MainWindowTest, StartUpWithoutPortsSpeaksTheLanguage) {
    folder.WriteSettings("\\English.ini", "English");
    folder.WriteFile("SerialComm.ini", "[SerialComm]\r\n");
    CMyMsg::Showing seen;
    answers.onBox = [&](const CMyMsg::Showing& s) {
        seen = s;
        return int(CMyMsg::IdOk);
    };
    CPesavoDlg& w = Start();
    ASSERT_TRUE(Asked(1));
    EXPECT_EQ(seen.text, LanguageText(w, u"Message", u"Serial_Port_Abnormal"));
    EXPECT_EQ(seen.title, QStringLiteral("Notice"));
    EXPECT_EQ(seen.okCaption, QStringLiteral("OK"));
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Korvane Scale"));
    EXPECT_GT(Languages(w)->count(), 0);
    // Without settings at all (or naming a file that is gone) the English file speaks.
    std::filesystem::remove(folder.File("Setting.ini"));
    seen = {};
    Start();
    ASSERT_TRUE(Asked(2));
    EXPECT_EQ(seen.title, QStringLiteral("Notice"));
    EXPECT_FALSE(seen.text.isEmpty());
}

TEST_F(MainWindowTest, ClosingAsksOnlyWhenTheTableHasRows) {
    CPesavoDlg& w = Start();
    w.close();
    EXPECT_TRUE(RunUntil([&] { return !w.isVisible(); }, 5s));
    EXPECT_TRUE(answers.texts.isEmpty());

    Start(1);
    answers.answer = CMyMsg::IdNo;
    EXPECT_FALSE(dlg->close());
    ASSERT_TRUE(Asked(1));
    answers.answer = CMyMsg::IdCancel;  // Esc in the question keeps the table too
    EXPECT_FALSE(dlg->close());
    ASSERT_TRUE(Asked(2));
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(Rows(*dlg), 1);
    answers.answer = CMyMsg::IdYes;
    dlg->close();
    EXPECT_TRUE(RunUntil([&] { return !dlg->isVisible(); }, 5s));
    ASSERT_EQ(answers.texts.size(), 3);
    EXPECT_EQ(answers.texts[0], QStringLiteral("表格中还有数据，确定要退出程序吗？"));
}

TEST_F(MainWindowTest, EscAndEnterGoThroughTheSameClosePath) {
    CPesavoDlg& w = Start(1);
    answers.answer = CMyMsg::IdNo;
    QTest::keyClick(&w, Qt::Key_Escape);
    ASSERT_TRUE(Asked(1));
    List()->setFocus();
    QTest::keyClick(List(), Qt::Key_Return);
    ASSERT_TRUE(Asked(2));
    QTest::keyClick(Ports(w)->lineEdit(), Qt::Key_Enter);
    ASSERT_TRUE(Asked(3));
    EXPECT_TRUE(w.isVisible());
    answers.answer = CMyMsg::IdYes;
    QTest::keyClick(&w, Qt::Key_Escape);
    EXPECT_TRUE(RunUntil([&] { return !w.isVisible(); }, 5s));
}

// Keys as a Windows operator expects: Tab leaves the list for the next control, Enter and Space
// press the focused push button, the arrow keys move within the unit group.
TEST_F(MainWindowTest, TabEnterSpaceAndArrowsDoWhatTheyDoOnWindows) {
    CPesavoDlg& w = Start(2);
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    List()->setFocus();
    QTest::keyClick(List(), Qt::Key_Tab);
    EXPECT_TRUE(Ports(w)->hasFocus() || Ports(w)->lineEdit()->hasFocus());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    EXPECT_TRUE(List()->hasFocus());

    auto* test = static_cast<QPushButton*>(Item(w, CPesavoDlg::IDC_TEST));
    test->setFocus();
    QTest::keyClick(test, Qt::Key_Return);
    EXPECT_TRUE(w.GetDesk().Link().TestMode());
    EXPECT_TRUE(w.isVisible());
    auto* clear = static_cast<QPushButton*>(Item(w, CPesavoDlg::IDC_CLEAR));
    clear->setFocus();
    answers.answer = CMyMsg::IdYes;
    QTest::keyClick(clear, Qt::Key_Space);
    EXPECT_TRUE(RunUntil([&] { return Rows(w) == 0; }, 5s));

    auto* kg = static_cast<QRadioButton*>(Item(w, CPesavoDlg::IDC_UNIT_KG));
    kg->setFocus();
    QTest::keyClick(kg, Qt::Key_Right);
    EXPECT_TRUE(static_cast<QRadioButton*>(Item(w, CPesavoDlg::IDC_UNIT_LB))->isChecked());
    EXPECT_TRUE(RunUntil([&] { return w.GetDesk().Unit() == 1; }, 5s));  // moving within the group chooses, as a click does
}

// The language is read once: its file may change or go while the program runs, and every text
// stays until the operator applies a language again.
TEST_F(MainWindowTest, TextsComeFromTheLanguageReadAtItsChoice) {
    folder.WriteSettings("\\English.ini", "English");
    CPesavoDlg& w = Start();
    const std::string english = folder.ReadFile("Language/English.ini");
    std::filesystem::remove(folder.File("Language/English.ini"));
    EXPECT_EQ(LanguageText(w, u"Message", u"Warning"), QStringLiteral("Notice"));
    std::string changed = english;
    changed.replace(changed.find("Warning=Notice"), 14, "Warning=Hinweis");
    folder.WriteFile("Language/English.ini", changed);
    EXPECT_EQ(LanguageText(w, u"Message", u"Warning"), QStringLiteral("Notice"));
    Languages(w)->setCurrentIndex(Languages(w)->findText(QStringLiteral("English")));
    w.OnLanguageOK();
    EXPECT_EQ(LanguageText(w, u"Message", u"Warning"), QStringLiteral("Hinweis"));
}

TEST_F(MainWindowTest, TestButtonStartsTheTestModeOnce) {
    CPesavoDlg& w = Start();
    auto* test = static_cast<QPushButton*>(Item(w, CPesavoDlg::IDC_TEST));
    test->click();
    test->click();
    EXPECT_TRUE(w.GetDesk().Link().TestMode());
    EXPECT_EQ(test->text(), QStringLiteral("测试中... (结束测试请关闭程序)"));
}

// Every caption, group title, radio text, combo item and column title shows whole — in both
// languages, with the desktop's font at 100 %, 125 % and 150 % — with the template's arrangement;
// the window can be enlarged and the list takes the room.
TEST_F(MainWindowTest, EveryTextFitsItsControlAtEveryScaleAndTheListGrows) {
    static constexpr const char* kLongName = "Português do Brasil (Portugal e Angola)";
    std::string longer = folder.ReadFile("Language/English.ini");
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"Language_Name=English", std::string("Language_Name=") + kLongName},
                                   {"Serial_Refresh=Refresh", "Serial_Refresh=Actualizar agora"},
                                   {"Port_NoChose=Auto search", "Port_NoChose=Pesquisa automática de portas"},
                                   {"Update_Time=Time", "Update_Time=Hora da pesagem registada"}})
        longer.replace(longer.find(from), from.size(), to);
    folder.WriteFile("Language/Long.ini", longer);
    const QFont base = QApplication::font();
    const auto fits = [](const QWidget* w, const QString& text, int room) {
        return QFontMetrics(w->font()).horizontalAdvance(text) <= room;
    };
    for (const double scale : {1.0, 1.25, 1.5}) {
        QFont font = base;
        font.setPointSizeF(base.pointSizeF() * scale);
        QApplication::setFont(font);
        for (const char* language : {"\\English.ini", "\\Chinese.ini"}) {
          folder.WriteSettings(language, "");
          CPesavoDlg& w = Start();
          QApplication::processEvents();
          // Also after switching to a language with a long name and long captions.
          for (const bool switched : {false, true}) {
            if (switched) {
                Languages(w)->setCurrentIndex(Languages(w)->findText(QString::fromUtf8(kLongName)));
                w.OnLanguageOK();
                QApplication::processEvents();
            }
            const std::string where = std::string(language) + (switched ? " then long" : "") + " at " + std::to_string(scale);
            // The window stays inside the offscreen screen (800 px): at 100 % with every caption
            // whole; beyond, a caption may be elided with its whole text as its tooltip. A combo box
            // may show part of its item where its list shows it whole.
            EXPECT_TRUE(w.screen()->availableGeometry().contains(w.frameGeometry())) << where;
            const auto whole = [&](const QWidget* c, const QString& text) {
                if (c->toolTip().isEmpty()) return true;
                return scale > 1.0 && text.endsWith(QChar(0x2026)) && c->toolTip().startsWith(text.chopped(1));
            };
            for (auto* b : w.findChildren<QPushButton*>()) {
                QStyleOptionButton opt;
                opt.initFrom(b);
                opt.text = b->text();
                const int icon = b->icon().isNull() ? 0 : b->iconSize().width() + 4;
                const QRect room = b->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, b);
                EXPECT_TRUE(fits(b, b->text(), room.width() - icon)) << b->text().toStdString() << " " << where;
                EXPECT_TRUE(whole(b, b->text())) << b->text().toStdString() << " " << where;
            }
            for (auto* r : w.findChildren<QRadioButton*>()) {
                QStyleOptionButton opt;
                opt.initFrom(r);
                const QRect room = r->style()->subElementRect(QStyle::SE_RadioButtonContents, &opt, r);
                EXPECT_TRUE(fits(r, r->text(), room.width())) << r->text().toStdString() << " " << where;
            }
            for (auto* g : w.findChildren<QGroupBox*>()) {
                EXPECT_TRUE(fits(g, g->title(), g->width() - 8)) << g->title().toStdString() << " " << where;
                EXPECT_TRUE(whole(g, g->title())) << g->title().toStdString() << " " << where;
            }
            for (auto* c : w.findChildren<QComboBox*>()) {
                QStyleOptionComboBox opt;
                opt.initFrom(c);
                opt.editable = true;
                const QRect room = c->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, c);
                // Narrowed where the row is too wide for the screen, its list shows every item whole.
                if (c == Languages(w)) c->showPopup();  // (the port list would look for ports first)
                for (int i = 0; i < c->count(); ++i) {
                    const bool shown = fits(c, c->itemText(i), room.width() - 4);
                    const int list = c == Languages(w) ? c->view()->width() : c->view()->minimumWidth();
                    EXPECT_TRUE(shown || fits(c, c->itemText(i), list - 8)) << c->itemText(i).toStdString() << " " << where;
                }
                c->hidePopup();
            }
            const QHeaderView* header = List()->horizontalHeader();
            for (int col = 0; col < MeasurementModel::kColumns; ++col)
                EXPECT_TRUE(fits(header, w.Model().Title(col), header->sectionSize(col) - 8)) << col << " " << where;
            EXPECT_TRUE(fits(List(), QStringLiteral("06:25:36 12/08/2026"), header->sectionSize(MeasurementModel::UpdateTime) - 8));
            EXPECT_FALSE(List()->horizontalScrollBar()->isVisible()) << where;

            // Larger by hand: the list takes the room, the controls below keep their order.
            const QSize list = List()->size();
            w.resize(w.width() + 200, w.height() + 150);
            QApplication::processEvents();
            EXPECT_GE(List()->width(), list.width() + 190) << where;
            EXPECT_GE(List()->height(), list.height() + 140) << where;
            const auto left = [&](int id) { return Item(w, id)->mapTo(&w, QPoint()).x(); };
            EXPECT_LT(left(CPesavoDlg::IDC_CONNECT), left(CPesavoDlg::IDC_SAVE));
            EXPECT_LT(left(CPesavoDlg::IDC_SAVE), left(CPesavoDlg::IDC_UNIT_GROUP));
            EXPECT_LT(left(CPesavoDlg::IDC_UNIT_GROUP), left(CPesavoDlg::IDC_PORT_GROUP));
            EXPECT_LT(left(CPesavoDlg::IDC_PORT_GROUP), left(CPesavoDlg::IDC_LANGUAGE_GROUP));
          }
          dlg.reset();
        }
    }
    QApplication::setFont(base);
}

TEST_F(MainWindowTest, MissingManualShowsNothing) {
    CPesavoDlg& w = Start();
    EXPECT_FALSE(w.OnHelp());
    QTest::keyClick(&w, Qt::Key_F1);
    EXPECT_TRUE(answers.texts.isEmpty());
    EXPECT_TRUE(w.HelpFilePath().endsWith(QStringLiteral("Korvane电子秤上位机使用说明.pdf")));
}

}  // namespace
