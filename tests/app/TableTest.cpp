// The window's decoding of batches into rows, the table's texts and the Clear command.
#include "CPesavoDlg.h"
#include "../support/ProgramFolder.h"
#include "../support/EventLoop.h"
#include "../support/ScaleSim.h"

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
    std::mutex mutex;
    QStringList boxes;
    int answer = CMyMsg::IdNo;
    int portCloseAnswer = CMyMsg::IdNo;  // the save question on closing: discard by default
    QString savePath;                    // the save dialog's answer; empty cancels
    std::unique_ptr<CPesavoDlg> dlg;

    void SetUp() override {
        folder.WriteSettings("\\English.ini", "English");
        dlg = std::make_unique<CPesavoDlg>(nullptr, this);
        dlg->OnInitDialog();
        dlg->m_bConnected = true;  // decoding, without a port: answers stay queued in the engine
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
    Bytes Sent() { return dlg->m_SerialPort.PendingBytes(); }
};

const Bytes kGood = {0x5F, 0x02, 0x00, 0x04, 0xD2, 0x8B};
const Bytes kBad = {0x5F, 0x02, 0x00, 0x04, 0xD2, 0x00};

TEST_F(TableTest, ABadFrameIsAskedAgainThenRecordedWithItsBytes) {
    Feed(kBad);
    EXPECT_EQ(Rows(), 0);
    EXPECT_EQ(Sent(), (Bytes{0xF9}));
    Feed(kBad);
    ASSERT_EQ(Rows(), 1);
    EXPECT_EQ(Data(0), Text(u"ListCtrl_Header", u"Error_EX"));
    EXPECT_EQ(Q(dlg->Model().Text(0, MeasurementModel::Explan)), Text(u"Message", u"CMD_ERROR") + "5F020004D200");
    EXPECT_EQ(Sent(), (Bytes{0xF9, 0x9F}));
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
    const Bytes sent = Sent();
    ASSERT_GE(sent.size(), 2u);  // ...with its notice, after the last frame's answer
    EXPECT_EQ(sent[sent.size() - 2], 0x9F);
    EXPECT_EQ(sent.back(), 0x3A);
}

TEST_F(TableTest, NumbersAndDurations) {
    dlg->m_tReference = static_cast<std::int64_t>(std::time(nullptr)) - 3725;
    Feed(kGood);
    EXPECT_EQ(Q(dlg->Model().Text(0, MeasurementModel::Number)), "       1");
    EXPECT_EQ(Q(dlg->Model().Text(0, MeasurementModel::Duration)).left(5), "01:02");
    dlg->m_tReference = static_cast<std::int64_t>(std::time(nullptr)) - 90000;
    for (int i = 1; i < 100; ++i) Feed(kGood);
    EXPECT_EQ(Q(dlg->Model().Text(99, MeasurementModel::Number)), "     100");
    EXPECT_EQ(Q(dlg->Model().Text(99, MeasurementModel::Duration)).left(5), "01:00");
}

TEST_F(TableTest, ClearAsksAndRestartsTheDuration) {
    Feed(kGood);
    Feed(kGood);
    dlg->m_tReference = 5;
    answer = CMyMsg::IdNo;
    static_cast<QPushButton*>(dlg->GetDlgItem(CPesavoDlg::IDC_CLEAR))->click();
    EXPECT_EQ(Rows(), 2);
    answer = CMyMsg::IdYes;
    static_cast<QPushButton*>(dlg->GetDlgItem(CPesavoDlg::IDC_CLEAR))->click();
    EXPECT_EQ(Rows(), 0);
    EXPECT_EQ(dlg->Model().columnCount(), 6);
    EXPECT_GE(dlg->m_tReference, static_cast<std::int64_t>(std::time(nullptr)) - 1);
    const int asked = static_cast<int>(boxes.size());
    static_cast<QPushButton*>(dlg->GetDlgItem(CPesavoDlg::IDC_CLEAR))->click();
    EXPECT_EQ(boxes.size(), asked);  // an empty table asks nothing
}

// Random batches of 1 to 1024 bytes, connected and not: no crash and nothing outside the
// buffers (this suite also runs under the address sanitizer).
TEST_F(TableTest, RandomBatchesNeverBreakTheWindow) {
    std::mt19937 random(11);
    Bytes batch;
    for (int i = 0; i < 100000; ++i) {
        batch.resize(1 + random() % (i % 10 == 0 ? 1024 : 12));
        for (auto& b : batch) b = static_cast<std::uint8_t>(random());
        if (i % 3 == 0) batch[0] = 0x5F;
        dlg->m_bConnected = i % 5 != 0;
        Feed(batch);
        if (Rows() > 60000) dlg->Model().DeleteAllRows();  // stays short of the row limit
    }
    EXPECT_LE(Rows(), 65001);
}

}  // namespace
