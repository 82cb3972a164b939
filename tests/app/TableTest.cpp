// The window's decoding of batches into rows, the table's texts and the Clear command.
#include "CPesavoDlg.h"
#include "../support/ProgramFolder.h"
#include "../support/EventLoop.h"
#include "../support/QuietScale.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <mutex>
#include <random>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;


class TableTest : public ::testing::Test, public Prompts {
protected:
    ProgramFolder folder{"table"};
    QuietScale scale{folder};
    std::mutex mutex;
    QStringList boxes;
    int answer = CMyMsg::IdNo;
    int portCloseAnswer = CMyMsg::IdNo;  // the save question on closing: discard by default
    QString savePath;                    // the save dialog's answer; empty cancels
    std::unique_ptr<CPesavoDlg> dlg;

    void SetUp() override {
        folder.WriteSettings("\\English.ini", "English");
        dlg = std::make_unique<CPesavoDlg>(nullptr, this, folder.Places());
        dlg->OnInitDialog();
        ASSERT_TRUE(scale.Connect(*dlg));
    }
    void TearDown() override { dlg.reset(); }
    // The operator: every box recorded and answered, the save dialog answered with savePath.
    int Answer(const CMyMsg::Showing& s) override {
        std::lock_guard lock(mutex);
        boxes << s.text;
        return s.text == dlg->ReadLanguageText(u"Message", u"Port_Close") ? portCloseAnswer : answer;
    }
    QString ChooseSaveFile(const QString&) override { return savePath; }
    void Feed(const Bytes& batch) { dlg->OnSerialData(batch.data(), static_cast<int>(batch.size())); }
    QString Data(int row) { return Q(dlg->Model().Text(row, MeasurementModel::Data)); }
    QString Text(const char16_t* section, const char16_t* key) { return dlg->ReadLanguageText(section, key); }
    int Rows() { return dlg->Model().rowCount(); }
    // The scale's answers, once there are `count`.
    Bytes Sent(std::size_t count) { return scale.Heard(count); }
};

const Bytes kGood = {0x5F, 0x02, 0x00, 0x04, 0xD2, 0x8B};
const Bytes kBad = {0x5F, 0x02, 0x00, 0x04, 0xD2, 0x00};

TEST_F(TableTest, ABadFrameIsAskedAgainThenRecordedWithItsBytes) {
    Feed(kBad);
    EXPECT_EQ(Rows(), 0);
    EXPECT_EQ(Sent(1), (Bytes{0xF9}));
    Feed(kBad);
    ASSERT_EQ(Rows(), 1);
    EXPECT_EQ(Data(0), Text(u"ListCtrl_Header", u"Error_EX"));
    EXPECT_EQ(Q(dlg->Model().Text(0, MeasurementModel::Explan)), Text(u"Message", u"CMD_ERROR") + "5F020004D200");
    EXPECT_EQ(Sent(2), (Bytes{0xF9, 0x9F}));
    // A bad notice followed by a good frame: the good frame is recorded normally.
    Feed({0x41});
    Feed(kGood);
    EXPECT_EQ(Rows(), 2);
    EXPECT_EQ(Data(1), "123.4");
    EXPECT_EQ(dlg->m_nErrorCount, 0);
}

TEST_F(TableTest, ShortAndLongBatches) {
    Feed({0x5F, 0x02, 0x00});  // judged against spaces: bad
    EXPECT_EQ(Rows(), 0);
    Bytes twenty = kGood;
    for (int i = 0; i < 14; ++i) twenty.push_back(i % 2 ? 0x3F : 0x5F);
    Feed(twenty);  // only its first frame counts
    ASSERT_EQ(Rows(), 1);
    EXPECT_EQ(Data(0), "123.4");
}

TEST_F(TableTest, TheFirstRowTakesTheDisplayUnitLaterRowsCopyTheRowAbove) {
    static_cast<QAbstractButton*>(dlg->GetDlgItem(CPesavoDlg::IDC_UNIT_LB))->click();  // an empty table converts at once
    Feed(kGood);
    EXPECT_EQ(Q(dlg->Model().Text(0, MeasurementModel::Unit)), "LB");
    EXPECT_EQ(Data(0), "271.9");
    Feed({0x3F});
    EXPECT_EQ(Q(dlg->Model().Text(1, MeasurementModel::Unit)), "LB");
    EXPECT_EQ(Data(1), Text(u"ListCtrl_Header", u"Overweight"));
}

TEST_F(TableTest, RepeatedErrorsOfferToDisconnect) {
    const QString question = Text(u"Message", u"Error_Error");
    // Each error row clears the frame error flag, so every second bad frame is only asked again.
    for (int i = 0; i < 6; ++i) Feed(kBad);
    EXPECT_EQ(Rows(), 3);
    EXPECT_FALSE(boxes.contains(question));
    answer = CMyMsg::IdYes;
    Feed(kBad);
    Feed(kBad);  // the fourth error row
    EXPECT_TRUE(boxes.contains(question));
    EXPECT_TRUE(boxes.contains(Text(u"Message", u"Port_Close")));  // the close offers to save...
    EXPECT_EQ(Rows(), 0);                                            // ...and No discards
    EXPECT_FALSE(dlg->m_bConnected);
    EXPECT_EQ(dlg->m_nErrorCount, 0);
    const Bytes sent = Sent(9);  // three F9, four 9F... then the last frame's 9F and the notice
    ASSERT_EQ(sent.size(), 9u);
    EXPECT_EQ(sent[7], 0x9F);
    EXPECT_EQ(sent[8], 0x3A);
}

TEST_F(TableTest, NumbersAndDurations) {
    Feed(kGood);
    EXPECT_EQ(Q(dlg->Model().Text(0, MeasurementModel::Number)), "       1");
    EXPECT_EQ(Q(dlg->Model().Text(0, MeasurementModel::Duration)).left(7), "00:00:0");  // since connecting
    for (int i = 1; i < 100; ++i) Feed(kGood);
    EXPECT_EQ(Q(dlg->Model().Text(99, MeasurementModel::Number)), "     100");
}

TEST_F(TableTest, ClearAsksAndRestartsTheDuration) {
    Feed(kGood);
    Feed(kGood);
    // A second after connecting, so that a restart of the duration shows.
    const std::int64_t connected = dlg->m_tReference;
    ASSERT_TRUE(RunUntil([&] { return std::time(nullptr) > connected; }, 3s));
    answer = CMyMsg::IdNo;
    static_cast<QPushButton*>(dlg->GetDlgItem(CPesavoDlg::IDC_CLEAR))->click();
    EXPECT_EQ(Rows(), 2);
    answer = CMyMsg::IdYes;
    static_cast<QPushButton*>(dlg->GetDlgItem(CPesavoDlg::IDC_CLEAR))->click();
    EXPECT_EQ(Rows(), 0);
    EXPECT_EQ(dlg->Model().columnCount(), 6);
    EXPECT_GT(dlg->m_tReference, connected);
    const int asked = static_cast<int>(boxes.size());
    static_cast<QPushButton*>(dlg->GetDlgItem(CPesavoDlg::IDC_CLEAR))->click();
    EXPECT_EQ(boxes.size(), asked);  // an empty table asks nothing
}

// Random batches of 1 to 1024 bytes, connected and then disconnected: no crash and nothing
// outside the buffers (this suite also runs under the address sanitizer).
TEST_F(TableTest, RandomBatchesNeverBreakTheWindow) {
    std::mt19937 random(11);
    Bytes batch;
    for (int i = 0; i < 100000; ++i) {
        if (i == 80000 && dlg->m_bConnected) static_cast<QPushButton*>(dlg->GetDlgItem(CPesavoDlg::IDC_CONNECT))->click();
        batch.resize(1 + random() % (i % 10 == 0 ? 1024 : 12));
        for (auto& b : batch) b = static_cast<std::uint8_t>(random());
        if (i % 3 == 0) batch[0] = 0x5F;
        Feed(batch);
        if (Rows() > 60000) dlg->Model().DeleteAllRows();  // stays short of the row limit
    }
    EXPECT_LE(Rows(), 65001);
}

}  // namespace
