// The line: the port list, connecting and disconnecting, and the scale's frames — every frame
// from a connected scale becomes one row (a weighing, an overweight or an explained error) and
// the scale gets its answer at once.
#include "Desk.h"

#include "BatchRow.h"
#include "FrameDecoder.h"
#include "Journal.h"

#include <algorithm>

namespace desk {

namespace {

constexpr std::size_t kFrameBytes = 6;

}  // namespace

// ---- port list ----

void Desk::FillPortList() {
    std::vector<PortItem> ports;
    for (const Line::Port& port : line_->Ports()) ports.push_back({port.number, port.device});
    view_.ShowPorts(Text(u"Dialog_Caption", u"Port_NoChose"), ports);
}

void Desk::RefreshPortList() {
    if (!line_->ListPorts()) {
        view_.ShowPorts(Text(u"Dialog_Caption", u"Port_NoChose"), {});
        Ask(kOkOnly, Text(u"Message", u"Serial_Port_Abnormal"));
        return;
    }
    FillPortList();
}

// ---- connecting ----

void Desk::ToggleConnection(int portItem) {
    if (closing_ || offering_) return;
    if (connected_) {
        if (rules_.Busy()) {
            // Closing asks whether to save or discard the rows: that waits for the running job.
            rules_.Hold(weighing::TableRules::kDisconnect);
            return;
        }
        if (table_.empty()) {
            Disconnect();
            return;
        }
        if (portCloseAsked_) return;  // the question is already open
        portCloseAsked_ = true;
        const std::vector<weighing::RowId> asked = table_.Ids();  // what the question is about
        Ask(kYesNo, Text(u"Message", u"Port_Close"), [this, asked](int answer) {
            portCloseAsked_ = false;
            // The row limit may have ended the connection meanwhile; it looks after the rows.
            if (!connected_) return;
            if (answer == kYes) {
                SaveTable(false, [this](bool started) {
                    if (started && connected_) Disconnect();  // a cancelled save stays connected
                });
            } else if (answer == kNo) {
                RemoveRows(asked);  // rows that came while it was open stay
                CommitJournal();
                SetupTable();
                Disconnect();
            }
            // Esc or the box's close button: nothing changes.
        });
        return;
    }
    if (portItem > 0) {
        link_.Connect(portItem);  // ignored while a check or search of the operator's runs
        return;
    }
    // Item 0, or no item at all (an empty list): search every port, unless a search runs.
    const serial::LinkState state = link_.State();
    if ((state == serial::LinkState::Checking || state == serial::LinkState::Searching) && !link_.TestMode()) return;
    RefreshPortList();
    if (line_->PortCount() <= 0) {
        Ask(kOkOnly, Text(u"Message", u"No_Port"));
        return;
    }
    link_.Connect(0);
}

void Desk::StartTestMode() {
    if (link_.TestMode() || closing_ || offering_) return;
    link_.StartTestMode();  // searches now, or once whatever is connected or checked has ended
    ShowState();
}

void Desk::EnterConnectedState() {
    if (closing_) return;
    connected_ = true;
    ++connection_;
    rules_.NewConnection();
    begun_.clear();
    ShowState();
    // A weighing the scale sent right behind its handshake reply is the first row; less than a
    // frame of it waits for its rest like any frame.
    const std::vector<std::uint8_t> early = link_.TakeEarlyBytes();
    if (!early.empty()) TakeBytes(early.data(), early.size());
}

void Desk::Disconnect() {
    line_->Queue(weighing::kDisconnectNotice);
    // The notice leaves before the monitor ends, and the port goes back to the system.
    line_->StopAfterQueued(true);
    link_.Disconnected();
    connected_ = false;
    begun_.clear();
    ShowState();
    StartTestMode();
}

void Desk::EndAtRowLimit() {
    line_->Queue(weighing::kDisconnectNotice);
    line_->StopAfterQueued(true);
    link_.Disconnected(false);  // a full table waits for the operator, also in the Test mode
    connected_ = false;
    begun_.clear();
    ShowState();
    // The automatic save (and then "Data_Error") once this frame's handling is over, no
    // question is open and no conversion or save runs.
    RequestPending();
}

// ---- frames ----

void Desk::OnSerialData(const std::uint8_t* bytes, std::size_t count) {
    if (closing_) return;
    if (!connected_) {
        link_.Received(bytes, count);
        return;
    }
    TakeBytes(bytes, count);
}

void Desk::TakeBytes(const std::uint8_t* bytes, std::size_t count) {
    if (count == 0) return;
    if (begun_.empty()) begunAt_ = clock_();
    begun_.insert(begun_.end(), bytes, bytes + count);
    TakeFrames();
}

void Desk::OnTimer() {
    if (connected_ && !closing_) TakeFrames();
}

void Desk::TakeFrames() {
    if (begun_.empty()) return;
    if (begun_.size() >= kFrameBytes) {
        // Whole frames are judged at once, one row each, in order.
        const std::vector<std::uint8_t> bytes = std::exchange(begun_, {});
        const std::size_t frames = bytes.size() / kFrameBytes;
        for (std::size_t i = 0; i < frames && connected_; ++i) {
            const std::uint8_t* frame = bytes.data() + i * kFrameBytes;
            ProcessFrame(frame, frame, kFrameBytes);
        }
        const std::size_t whole = frames * kFrameBytes;
        if (!connected_ || bytes.size() == whole) return;
        // What is left behind them is the start of the next frame when it starts as a frame does
        // (its rest comes with the next read); anything else is the stray end of this read, which
        // a read's extra bytes have always been, so the next read starts a frame afresh.
        if (bytes[whole] != weighing::kWeightFrame && bytes[whole] != weighing::kOverweightFrame) return;
        begun_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(whole), bytes.end());
        begunAt_ = clock_();
    }
    // A frame has begun: its rest is waited for a while from its first byte (a USB or Bluetooth
    // adapter delivers a frame in pieces), then what is there is judged against spaces.
    const auto waited = clock_() - begunAt_;
    if (waited < frameWait_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(frameWait_ - waited).count();
        view_.StartTimer(static_cast<int>(std::max<std::int64_t>(left, 1)));
        return;
    }
    const std::vector<std::uint8_t> bytes = std::exchange(begun_, {});
    std::uint8_t frame[kFrameBytes];
    std::fill(std::begin(frame), std::end(frame), std::uint8_t{0x20});
    std::copy(bytes.begin(), bytes.end(), frame);
    ProcessFrame(frame, bytes.data(), bytes.size());
}

void Desk::ProcessFrame(const std::uint8_t* frame, const std::uint8_t* shown, std::size_t shownBytes) {
    const weighing::BatchJudgement judged = weighing::TakeBatch(frame, frameError_, errorCount_);
    if (judged.outcome == weighing::BatchOutcome::AskAgain) {
        line_->Queue(weighing::kBadFrameNotice);
        return;
    }
    // The first weighing after a start that found the earlier run's last row journalled before
    // its answer was known to have left: the same bytes may be that weighing sent again by a
    // scale that never heard its answer, or a new parcel of the same weight. Nothing is dropped
    // on a guess: the row is kept and says so, for the operator to judge.
    bool maybeRepeat = false;
    if (unconfirmed_) {
        const Unconfirmed last = *std::exchange(unconfirmed_, std::nullopt);
        maybeRepeat = std::equal(last.frame.begin(), last.frame.end(), frame, frame + kFrameBytes);
    }
    if (journal_) journal_->NextRowFrom(frame, kFrameBytes, maybeRepeat);
    // The language's words a row of this kind may show (a weighing only the error text, for an
    // unknown decimal code: frames come fast).
    std::u16string overweight, badBatch, repeat;
    const std::u16string error = Text(u"ListCtrl_Header", u"Error_EX");
    if (judged.outcome != weighing::BatchOutcome::Weighing) {
        overweight = Text(u"ListCtrl_Header", u"Overweight");
        badBatch = Text(u"Message", u"CMD_ERROR");
    }
    if (maybeRepeat)
        repeat = MessageText(u"Journal_Maybe_Repeat", "Maybe sent again: the same as the last weighing before Pesavo restarted");
    const std::size_t row = table_.size();
    const weighing::BatchRow made = weighing::RowOfBatch(judged.outcome, frame, shown, shownBytes, row, unit_, now_(), reference_,
                                                         {overweight, error, badBatch, repeat}, maybeRepeat);
    table_.Append(made.Views(), made.reading);
    view_.RowsInserted(row, 1);
    // The row is on disk before the scale hears that it arrived; once the answer has left, the
    // journal notes that too (a restart learns from it whether the scale will repeat the frame).
    // The answer goes out before anything the row leads to, so the scale hears events in order.
    CommitJournal();
    NoteAnswerLeft();  // the previous row's, if the engine has not told yet
    const std::uint64_t answer = line_->Queue(weighing::kAcknowledge);
    if (journal_) answerPending_ = AnswerPending{table_.Id(row), answer};
    SiteRowAdded(table_.Id(row), made.reading, frame, maybeRepeat);  // (behind the answer: the network never holds it)
    if (rules_.RowAdded(row)) {
        EndAtRowLimit();  // the connection ends anyway: no question about errors
        return;
    }
    if (judged.offerDisconnect && !errorAsked_) {
        errorAsked_ = true;
        Ask(kYesNo, Text(u"Message", u"Error_Error"), [this, asked = connection_](int answer) {
            errorAsked_ = false;
            if (answer != kYes) return;
            errorCount_ = 0;
            // After the frames already answered; held while a job runs; nothing to do when the
            // connection it was about ended while the question was open.
            if (connected_ && connection_ == asked) ToggleConnection(0);
        });
    }
}

void Desk::NoteAnswerLeft() {
    if (!answerPending_ || !line_->Written(answerPending_->place)) return;
    if (journal_) {
        journal_->MarkAnswered(answerPending_->id);
        CommitJournal();
    }
    answerPending_.reset();
}

}  // namespace desk
