#include "CMyMsg.h"
#include "../support/EventLoop.h"
#include "../support/ProgramFolder.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace {

// The box open on screen, once there is one (a busy machine may take a while to show it).
QWidget* OpenBox() {
    QWidget* box = nullptr;
    RunUntil(
        [&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (w->isVisible() && w->inherits("QDialog")) box = w;
            return box != nullptr;
        },
        std::chrono::seconds(5));
    return box;
}

class CMyMsgTest : public ::testing::Test {
protected:
    ProgramFolder folder{"msg"};
    CMyMsg msg;
    void SetUp() override { msg.SetLanguageFile(QString::fromStdString(folder.File("Language/English.ini"))); }
    // Opens a box of `mode` and lets `act` answer it on screen; the answer the box gave.
    int Answered(int mode, const std::function<void(QWidget*)>& act) {
        int answer = 0;
        msg.Open(nullptr, msg.Prepare(mode, QStringLiteral("Question?")), [&](int a) { answer = a; });
        EXPECT_EQ(answer, 0);  // nothing waits: the box is open, unanswered
        QWidget* box = OpenBox();
        if (!box) return -1;
        act(box);
        EXPECT_TRUE(RunUntil([&] { return answer != 0; }, std::chrono::seconds(5)));
        return answer;
    }
    static std::function<void(QWidget*)> Press(const char* name) {
        return [name](QWidget* box) { box->findChild<QPushButton*>(QString::fromLatin1(name))->click(); };
    }
};

TEST_F(CMyMsgTest, RealBoxGivesThePressedButtonInBothModesAndItsLanguage) {
    EXPECT_EQ(Answered(CMyMsg::ModeYesNo, [](QWidget* box) {
                  EXPECT_EQ(box->windowTitle(), QStringLiteral("Notice"));
                  EXPECT_EQ(box->findChild<QPushButton*>(QStringLiteral("6"))->text(), QStringLiteral("Yes"));
                  EXPECT_FALSE(box->findChild<QPushButton*>(QStringLiteral("1"))->isVisible());
                  box->findChild<QPushButton*>(QStringLiteral("6"))->click();
              }),
              CMyMsg::IdYes);
    EXPECT_EQ(Answered(CMyMsg::ModeYesNo, Press("7")), CMyMsg::IdNo);
    EXPECT_EQ(Answered(CMyMsg::ModeYesNo, [](QWidget* box) { QTest::keyClick(box, Qt::Key_Escape); }), CMyMsg::IdCancel);
    msg.SetLanguageFile(QString::fromStdString(folder.File("Language/Chinese.ini")));
    EXPECT_EQ(Answered(CMyMsg::ModeOk, [](QWidget* box) {
                  EXPECT_EQ(box->windowTitle(), QStringLiteral("提示"));
                  EXPECT_EQ(box->findChild<QPushButton*>(QStringLiteral("1"))->text(), QStringLiteral("确定"));
                  box->findChild<QPushButton*>(QStringLiteral("1"))->click();
              }),
              CMyMsg::IdOk);
    // The serial engine's box keeps its fixed words, whatever the language.
    const CMyMsg::Showing system = msg.Prepare(CMyMsg::ModeYesNo, QStringLiteral("WARNING"), true);
    EXPECT_EQ(system.title, QStringLiteral("Application Error"));
    EXPECT_EQ(system.mode, CMyMsg::ModeOk);
}

TEST_F(CMyMsgTest, MissingKeysGiveEmptyCaptionsButTheButtonsStillWork) {
    folder.WriteFile("bare.ini", "[Message]\nOther=x\n");
    msg.SetLanguageFile(QString::fromStdString(folder.File("bare.ini")));
    EXPECT_EQ(Answered(CMyMsg::ModeYesNo, [](QWidget* box) {
                  EXPECT_TRUE(box->windowTitle().isEmpty());
                  auto* yes = box->findChild<QPushButton*>(QStringLiteral("6"));
                  EXPECT_TRUE(yes->text().isEmpty());
                  EXPECT_EQ(box->findChild<QLabel*>(QStringLiteral("1019"))->text(), QStringLiteral("Question?"));
                  yes->click();
              }),
              CMyMsg::IdYes);
}

// An answerer stands in for the operator, and answers as the operator would: later, as an event
// of its own, never inside the call that opened the box.
TEST_F(CMyMsgTest, AnAnswererAnswersAfterTheOpeningCallHasReturned) {
    CMyMsg::Showing seen;
    msg.SetAnswerer([&](const CMyMsg::Showing& s) {
        seen = s;
        return CMyMsg::IdNo;
    });
    int answer = 0;
    msg.Open(nullptr, msg.Prepare(CMyMsg::ModeYesNo, QStringLiteral("text")), [&](int a) { answer = a; });
    EXPECT_EQ(answer, 0);
    EXPECT_TRUE(RunUntil([&] { return answer != 0; }, std::chrono::seconds(5)));
    EXPECT_EQ(answer, CMyMsg::IdNo);
    EXPECT_EQ(seen.text, QStringLiteral("text"));
    EXPECT_EQ(seen.noCaption, QStringLiteral("No"));
}

}  // namespace
