#include "CMyMsg.h"
#include "../support/ProgramFolder.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

namespace {

// Runs `act` on the next real box once it is on screen, looking again until it is there (a busy
// machine may take a while to show it).
void WhenBoxShown(std::function<void(QWidget*)> act) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (!w->isVisible() || !w->inherits("QDialog")) continue;
            poll->stop();
            poll->deleteLater();
            act(w);
            return;
        }
    });
    poll->start(10);
}

// Presses a button of the next real box once it is on screen.
void PressWhenShown(const QString& buttonName, int key = 0) {
    WhenBoxShown([buttonName, key](QWidget* w) {
        if (key) {
            QTest::keyClick(w, static_cast<Qt::Key>(key));
            return;
        }
        auto* b = w->findChild<QPushButton*>(buttonName);
        ASSERT_NE(b, nullptr);
        EXPECT_TRUE(b->isVisible());
        b->click();
    });
}

class CMyMsgTest : public ::testing::Test {
protected:
    ProgramFolder folder{"msg"};
    CMyMsg msg;
    void SetUp() override { msg.SetLanguageFile(QString::fromStdString(folder.File("Language/English.ini"))); }
    void TearDown() override { msg.SetAnswerer({}); }
};

TEST_F(CMyMsgTest, RealBoxReturnsThePressedButtonInBothModes) {
    msg.SetMessage(CMyMsg::ModeYesNo, QStringLiteral("Question?"), QString());
    PressWhenShown(QStringLiteral("6"));
    EXPECT_EQ(msg.DoModal(), CMyMsg::IdYes);
    msg.SetMessage(CMyMsg::ModeYesNo, QStringLiteral("Question?"), QString());
    PressWhenShown(QStringLiteral("7"));
    EXPECT_EQ(msg.DoModal(), CMyMsg::IdNo);
    PressWhenShown(QString(), Qt::Key_Escape);
    EXPECT_EQ(msg.DoModal(), CMyMsg::IdCancel);
    msg.SetMessage(CMyMsg::ModeOk, QStringLiteral("Notice"), QString());
    PressWhenShown(QStringLiteral("1"));
    EXPECT_EQ(msg.DoModal(), CMyMsg::IdOk);
}

TEST_F(CMyMsgTest, TitleAndCaptionsComeFromTheLanguageFileAtEachShowing) {
    CMyMsg::Showing seen;
    msg.SetAnswerer([&](const CMyMsg::Showing& s) {
        seen = s;
        return CMyMsg::IdYes;
    });
    EXPECT_EQ(msg.Show(CMyMsg::ModeYesNo, QStringLiteral("text")), CMyMsg::IdYes);
    EXPECT_EQ(seen.title, QStringLiteral("Notice"));
    EXPECT_EQ(seen.yesCaption, QStringLiteral("Yes"));
    EXPECT_EQ(seen.noCaption, QStringLiteral("No"));
    EXPECT_EQ(seen.text, QStringLiteral("text"));

    msg.SetLanguageFile(QString::fromStdString(folder.File("Language/Chinese.ini")));
    msg.Show(CMyMsg::ModeOk, QStringLiteral("t"));
    EXPECT_EQ(seen.title, QStringLiteral("提示"));
    EXPECT_EQ(seen.okCaption, QStringLiteral("确定"));

    msg.SetMessage(CMyMsg::ModeOk, QStringLiteral("t"), QStringLiteral("Explicit"));
    msg.DoModal();
    EXPECT_EQ(seen.title, QStringLiteral("Explicit"));
}

TEST_F(CMyMsgTest, MissingKeysGiveEmptyCaptionsButTheButtonsStillWork) {
    folder.WriteFile("bare.ini", "[Message]\nOther=x\n");
    msg.SetLanguageFile(QString::fromStdString(folder.File("bare.ini")));
    msg.SetMessage(CMyMsg::ModeYesNo, QStringLiteral("Question?"), QString());
    WhenBoxShown([](QWidget* w) {
        EXPECT_TRUE(w->windowTitle().isEmpty());
        auto* yes = w->findChild<QPushButton*>(QStringLiteral("6"));
        EXPECT_TRUE(yes->text().isEmpty());
        EXPECT_EQ(w->findChild<QLabel*>(QStringLiteral("1019"))->text(), QStringLiteral("Question?"));
        yes->click();
    });
    EXPECT_EQ(msg.DoModal(), CMyMsg::IdYes);
}

TEST_F(CMyMsgTest, ShowingsFromWorkerThreadsAreSerialisedOnTheUiThread) {
    std::atomic<int> onScreen{0}, maxOnScreen{0}, answered{0};
    msg.SetAnswerer([&](const CMyMsg::Showing&) {
        EXPECT_TRUE(QThread::currentThread() == qApp->thread());
        maxOnScreen = std::max(maxOnScreen.load(), ++onScreen);
        QTest::qWait(10);  // lets other requests arrive while this box is "open"
        --onScreen;
        ++answered;
        return CMyMsg::IdNo;
    });
    std::atomic<int> results{0};
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i)
        workers.emplace_back([&] { results += msg.Show(CMyMsg::ModeYesNo, QStringLiteral("from a worker")); });
    while (answered < 4) QTest::qWait(5);
    for (auto& t : workers) t.join();
    EXPECT_EQ(results, 4 * CMyMsg::IdNo);
    EXPECT_EQ(maxOnScreen, 1);
}

TEST_F(CMyMsgTest, AWorkerToldToStopDoesNotWaitForTheBox) {
    std::stop_source stop;
    stop.request_stop();
    int result = 0;
    std::thread worker([&] { result = msg.Show(CMyMsg::ModeYesNo, QStringLiteral("never answered"), stop.get_token()); });
    worker.join();  // returns although the user-interface thread never served the request
    EXPECT_EQ(result, CMyMsg::IdCancel);
}

}  // namespace
