// The window's side of the weight frames: every batch the scale sends while connected becomes
// one row (a weighing, an overweight or an explained error), and the scale gets its answer.
#include "CPesavoDlg.h"

#include "BatchRow.h"
#include "Journal.h"

#include <QComboBox>
#include <QPushButton>
#include <QTableView>

#include <ctime>

bool CPesavoDlg::ProcessFrame() {
    std::uint8_t head[6];
    {
        std::lock_guard lock(m_rxMutex);
        std::copy_n(m_RxBuffer.begin(), 6, head);
    }
    const int row = m_Model.rowCount();

    const weighing::BatchJudgement judged = weighing::TakeBatch(head, m_bFrameError, m_nErrorCount);
    if (judged.outcome == weighing::BatchOutcome::AskAgain) {
        m_SerialPort.QueueByte(weighing::kBadFrameNotice);
        return false;
    }
    // The first weighing after a start that found the earlier run's last row journalled before
    // its answer was known to have left: the same bytes may be that weighing sent again by a
    // scale that never heard its answer, or a new parcel of the same weight. Nothing is dropped
    // on a guess: the row is kept and says so, for the operator to judge.
    bool maybeRepeat = false;
    if (m_unconfirmed) {
        const Unconfirmed last = *std::exchange(m_unconfirmed, std::nullopt);
        maybeRepeat = std::equal(last.frame.begin(), last.frame.end(), head);
    }
    if (m_journal) m_journal->NextRowFrom(head);
    std::vector<std::uint8_t> batch;
    {
        std::lock_guard lock(m_rxMutex);
        batch.assign(m_RxBuffer.begin(), m_RxBuffer.begin() + std::min(m_nRxCount, kRxBufferSize));
    }
    // The language's words a row of this kind may show (a weighing only the error text, for an
    // unknown decimal code: frames come fast).
    std::u16string overweight, badBatch, repeat;
    const std::u16string error = ReadLanguageText(u"ListCtrl_Header", u"Error_EX").toStdU16String();
    if (judged.outcome != weighing::BatchOutcome::Weighing) {
        overweight = ReadLanguageText(u"ListCtrl_Header", u"Overweight").toStdU16String();
        badBatch = ReadLanguageText(u"Message", u"CMD_ERROR").toStdU16String();
    }
    if (maybeRepeat)
        repeat = MessageText(u"Journal_Maybe_Repeat", "Maybe sent again: the same as the last weighing before Pesavo restarted")
                     .toStdU16String();
    const weighing::BatchRow made =
        weighing::RowOfBatch(judged.outcome, head, batch.data(), batch.size(), static_cast<std::size_t>(row), m_nUnit,
                             static_cast<std::int64_t>(std::time(nullptr)), m_tReference,
                             {overweight, error, badBatch, repeat}, maybeRepeat);
    m_Model.AppendRow(made.Views(), made.reading);
    // The new row is the last one: scroll to the bottom once the window is idle again. Rows
    // that arrive together share one scroll, and one layout of the list.
    if (!m_bScrollPending) {
        m_bScrollPending = true;
        QMetaObject::invokeMethod(
            this, [this] {
                m_bScrollPending = false;
                m_List->scrollToBottom();
            },
            Qt::QueuedConnection);
    }
    // The frame's answer goes out before anything its row leads to (the disconnect notice of
    // the row limit or of the operator's Yes), so the scale hears the events in their order.
    // The row is on disk before the scale hears that it arrived; once the answer has left, the
    // journal notes that too (a restart learns from it whether the scale will repeat the frame).
    CommitJournal();
    NoteAnswerLeft();  // the previous row's, if the engine has not told yet
    const std::uint64_t answer = m_SerialPort.QueueByte(weighing::kAcknowledge);
    if (m_journal) m_answerPending = PendingAnswer{m_Model.Table().Id(static_cast<std::size_t>(row)), answer};
    if (m_tableRules.RowAdded(static_cast<std::size_t>(row))) {
        EndAtRowLimit();  // the connection ends anyway: no question about errors
        return true;
    }
    if (judged.offerDisconnect &&
        m_MyMsg.Show(CMyMsg::ModeYesNo, ReadLanguageText(u"Message", u"Error_Error")) == CMyMsg::IdYes) {
        // Held until a running conversion or save has ended; nothing to do when the connection
        // ended while the question was open.
        if (m_bConnected) ToggleConnection();
        m_nErrorCount = 0;
    }
    return true;
}

void CPesavoDlg::EndAtRowLimit() {
    m_SerialPort.QueueByte(weighing::kDisconnectNotice);
    m_SerialPort.RequestStop(true, true);
    m_link.Disconnected(false);  // a full table waits for the operator, also in the Test mode
    auto* button = static_cast<QPushButton*>(GetDlgItem(IDC_CONNECT));
    button->setText(ReadLanguageText(u"Dialog_Caption", u"Serial_Caption_Open"));
    button->setIcon(m_hIconDisconnected);
    m_bConnected = false;
    UpdateControls();
    // The automatic save (and then "Data_Error") once this frame's handling is over, and not
    // before a conversion or save that is running has ended.
    RequestPending();
}

void CPesavoDlg::OnClearData() {
    if (m_tableRules.Busy()) return;  // the button is disabled meanwhile: the job owns the table
    const CommandScope scope(*this);
    // The rows the question is about: weighings that arrive while it is open are not the
    // operator's to discard unseen.
    const std::vector<weighing::RowId> asked = m_Model.Table().Ids();
    if (!asked.empty() &&
        m_MyMsg.Show(CMyMsg::ModeYesNo, ReadLanguageText(u"Message", u"Clear_Data")) == CMyMsg::IdYes) {
        m_Model.RemoveRows(asked);
        CommitJournal();
        SetupTable();
    }
    if (!m_tableRules.TakesUpTheScale(static_cast<std::size_t>(m_Model.rowCount()))) return;
    // The row limit ended the connection and the table is empty again: carry on with the scale
    // that filled it.
    SetupTable();
    m_tableRules.NewConnection();
    m_link.Reconnect();  // the port that was connected last, checked as if chosen by hand
}
