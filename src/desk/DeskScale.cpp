// The scale: the port list, connecting and disconnecting, and the scale's messages — every
// weighing from a connected scale becomes one row (a weight, an overweight or an explained
// error) on one road, and the scale gets its answer at once.
#include "Desk.h"

#include "BatchRow.h"
#include "Journal.h"
#include "platform/Utf.h"

#include <algorithm>

namespace desk {

// ---- port list ----

void Desk::FillPortList() {
    std::vector<PortItem> ports;
    for (const Line::Port& port : line_->Ports()) ports.push_back({port.number, port.device});
    view_.ShowPorts(Text(u"Dialog_Caption", u"Port_NoChose"), ports);
}

void Desk::RefreshPortList() {
    if (!line_->ListPorts()) {
        view_.ShowPorts(Text(u"Dialog_Caption", u"Port_NoChose"), {});
        Ask(Prompt::Notice, kOkOnly, Text(u"Message", u"Serial_Port_Abnormal"));
        return;
    }
    FillPortList();
}

// ---- connecting ----

void Desk::LoadScaleKinds() {
    std::vector<std::string> unusable = kinds_.Load();
    if (unusable.empty() || unusable == scalesTold_) {
        scalesTold_ = std::move(unusable);
        return;
    }
    std::string lines;
    for (const std::string& line : unusable) lines += (lines.empty() ? "" : ", ") + line;
    Ask(Prompt::Notice, kOkOnly,
        Fill(MessageText(u"Scales_Unusable",
                         "Scales.ini (%1): Pesavo cannot use %2. Those ports are tried as if they were not named there."),
             platform::Utf8ToUtf16(kinds_.File()), platform::Utf8ToUtf16(lines)));
    scalesTold_ = std::move(unusable);
}

void Desk::ToggleConnection(int portItem) {
    if (closing_ || Asked(Prompt::JournalRestore)) return;
    if (connected_ || waiting_) {
        if (rules_.Busy()) {
            // Closing asks whether to save or discard the rows: that waits for the running job.
            lostLineHeld_ = false;  // (the operator's click asks about them all the same)
            disconnectHeld_ = true;
            rules_.Hold(weighing::TableRules::kDisconnect);
            return;
        }
        if (table_.empty()) {
            EndConnection();
            return;
        }
        AskPortClose();
        return;
    }
    // The operator connects again: a Disconnect or a lost line's question still held is about a
    // connection that is over, and moot (its rows stay).
    lostLineHeld_ = disconnectHeld_ = false;
    LoadScaleKinds();  // (a site may have named its scales since)
    if (portItem > 0) {
        link_.Connect(portItem);  // ignored while a check or search of the operator's runs
        return;
    }
    // Item 0, or no item at all (an empty list): search every port, unless a search runs.
    const serial::LinkState state = link_.State();
    if ((state == serial::LinkState::Checking || state == serial::LinkState::Searching) && !link_.TestMode()) return;
    RefreshPortList();
    if (line_->PortCount() <= 0) {
        Ask(Prompt::Notice, kOkOnly, Text(u"Message", u"No_Port"));
        return;
    }
    link_.Connect(0);
}

void Desk::AskPortClose() {
    if (Asked(Prompt::PortClose)) return;  // the question is already open
    const std::vector<weighing::RowId> asked = table_.Ids();  // what the question is about
    Ask(Prompt::PortClose, kYesNo, Text(u"Message", u"Port_Close"), [this, asked, limitEnds = limitEnds_](int answer) {
        // The row limit may have ended the connection meanwhile; it looks after the rows.
        if (limitEnds != limitEnds_ || closing_) return;
        if (answer == kYes) {
            jobs_.SaveTable(false, [this](bool started) {
                // A cancelled save keeps a live connection (or the waiting for the scale);
                // a line that is gone is closed either way.
                if (started) EndConnection();
                else if (!connected_ && !waiting_) SearchAgain();
            });
        } else if (answer == kNo) {
            jobs_.RemoveRows(asked);  // rows that came while it was open stay
            CommitJournal();
            SetupTable();
            EndConnection();
        } else if (!connected_ && !waiting_) {
            SearchAgain();  // Esc or the close button: the rows stay, but a lost line stays lost
        }
    });
}

void Desk::EndConnection() {
    if (connected_) {
        Disconnect();
    } else if (waiting_) {
        // The operator gives up on the scale that went away.
        waiting_ = false;
        link_.Stop();
        link_.Disconnected();
        ShowState();
        StartTestMode();
    } else {
        SearchAgain();
    }
}

void Desk::SearchAgain() {
    if (connected_ || waiting_ || closing_) return;
    // (Unless the operator started a check or search of a port meanwhile.)
    if (link_.State() == serial::LinkState::Idle) link_.Disconnected();
    StartTestMode();
}

void Desk::StartTestMode() {
    if (link_.TestMode() || closing_ || Asked(Prompt::JournalRestore)) return;
    link_.StartTestMode();  // searches now, or once whatever is connected or checked has ended
    ShowState();
}

void Desk::EnterConnectedState() {
    if (closing_) return;
    connected_ = true;
    waiting_ = false;
    // The kind of scale that answered, with its port's settings.
    scale_.Use(kinds_.Protocol(link_.ConnectedKind(), link_.ConnectedPort()));
    scale_.Begin();
    lastHeard_ = nextPoll_ = clock_();
    nextPoll_ += scale_.Protocol().PollEvery();  // (its probe has just asked)
    silenceTold_ = false;
    rules_.NewConnection();
    ShowState();
    // A weighing the scale sent right behind its handshake reply is the first row; less than a
    // message of it waits for its rest like any.
    const std::vector<std::uint8_t> early = link_.TakeEarlyBytes();
    if (!early.empty())
        TakeBytes(early.data(), early.size());
    else
        TakeMessages();  // (which also sets the timer a polled scale needs)
}

void Desk::Disconnect() {
    line_->QueueAll(scale_.Protocol().Goodbye());
    // The notice leaves before the monitor ends, and the port goes back to the system.
    line_->StopAfterQueued(true);
    link_.Disconnected();
    connected_ = false;
    scale_.End();
    ShowState();
    StartTestMode();
}

void Desk::EndAtRowLimit() {
    ++limitEnds_;
    line_->QueueAll(scale_.Protocol().Goodbye());
    line_->StopAfterQueued(true);
    link_.Disconnected(false);  // a full table waits for the operator, also in the Test mode
    connected_ = false;
    scale_.End();
    ShowState();
    // The automatic save (and then "Data_Error") once this frame's handling is over, no
    // question is open and no conversion or save runs.
    RequestPending();
}

// ---- the scale's messages ----

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
    lastHeard_ = clock_();
    silenceTold_ = false;
    scale_.Take(bytes, count, lastHeard_);
    TakeMessages();
}

void Desk::OnTimer() {
    if (!connected_ || closing_) return;
    KeepLineAlive(clock_());
    if (connected_) TakeMessages();
}

void Desk::KeepLineAlive(scale::Clock::time_point now) {
    const scale::ScaleProtocol& protocol = scale_.Protocol();
    if (protocol.PollEvery().count() > 0 && now >= nextPoll_) {
        line_->QueueAll(protocol.Poll());
        // A late timer sends one poll, and the next a whole period after it: never a burst.
        nextPoll_ = now - nextPoll_ >= protocol.PollEvery() ? now + protocol.PollEvery() : nextPoll_ + protocol.PollEvery();
    }
    if (protocol.SilenceLimit().count() > 0 && !silenceTold_ && now - lastHeard_ >= protocol.SilenceLimit()) {
        silenceTold_ = true;  // told once, until the scale is heard again
        LineLost();
    }
}

void Desk::LineLost() {
    // The device is gone: a box about a write to it that has not been shown yet says nothing
    // the disconnect does not.
    questions_.Forget(Prompt::LineError);
    if (!connected_ || closing_) return;
    // Nothing shows a scale as connected once its line is gone, whatever the operator answers
    // about the rows: the connection ends now. A weighing whose answer had not left may come
    // again from a scale that never heard it.
    NoteAnswerLeft();
    if (const auto& answer = scale_.AnswerInFlight()) {
        scale_.Unconfirmed(answer->raw, true);
        scale_.AnswerLeft();  // (not known to have: the journal keeps the row unanswered)
    }
    line_->StopAfterQueued(true);
    connected_ = false;
    scale_.End();
    if (ReconnectOn()) {
        // The table stays as it is and nobody is asked: the same port is tried again until the
        // scale is back, and then it is taken up as if the operator had pressed Connect.
        waiting_ = true;
        link_.Retake(std::chrono::seconds(1));
        ShowState();
        return;
    }
    link_.Disconnected(false);
    disconnectHeld_ = false;  // (the question about the rows comes all the same)
    ShowState();
    AfterLostLine();
}

void Desk::AfterLostLine() {
    if (connected_ || waiting_ || closing_) return;
    if (table_.empty()) {
        SearchAgain();
        return;
    }
    if (rules_.Busy()) {
        // Asked once the job that owns the table is over.
        lostLineHeld_ = true;
        rules_.Hold(weighing::TableRules::kDisconnect);
        return;
    }
    AskPortClose();
}

bool Desk::ReconnectOn() const { return languages_.Setting(u"Connection", u"Reconnect") == u"1"; }

void Desk::TakeMessages() {
    // In order, one row each, while the connection lasts: what came behind a message that ended
    // it (the row limit) is never judged.
    scale::Message message;
    while (connected_ && scale_.Next(clock_(), message)) TakeMessage(message);
    if (!connected_) return;
    // The timer comes back once a begun message's wait is over, when a polled scale is to be
    // asked again, and when a scale that must keep talking has been silent too long (never
    // sooner than a millisecond from now, so that a wait rounded down is not missed).
    std::optional<scale::Clock::time_point> due = scale_.Due();
    const auto sooner = [&due](scale::Clock::time_point at) {
        if (!due || at < *due) due = at;
    };
    const scale::ScaleProtocol& protocol = scale_.Protocol();
    if (protocol.PollEvery().count() > 0) sooner(nextPoll_);
    if (protocol.SilenceLimit().count() > 0 && !silenceTold_) sooner(lastHeard_ + protocol.SilenceLimit());
    if (due) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - clock_()).count();
        view_.StartTimer(static_cast<int>(std::max<std::int64_t>(left, 1)));
    }
}

void Desk::TakeMessage(const scale::Message& message) {
    if (message.kind == scale::Message::Kind::AskAgain) {
        line_->QueueAll(message.answer);
        return;
    }
    if (message.kind == scale::Message::Kind::Live) {
        for (const auto& outlet : outlets_) outlet->LiveWeight(message.reading, message.stable);
        return;
    }
    if (message.kind != scale::Message::Kind::Row) return;
    RecordWeighing(message);
    if (rules_.RowAdded(table_.size() - 1)) {
        EndAtRowLimit();  // the connection ends anyway: no question about errors
        return;
    }
    if (message.offerDisconnect && !Asked(Prompt::ErrorError)) {
        Ask(Prompt::ErrorError, kYesNo, Text(u"Message", u"Error_Error"), [this, asked = scale_.Connection()](int answer) {
            if (answer != kYes) return;
            scale_.ErrorsForgiven();
            // After the messages already answered; held while a job runs; nothing to do when the
            // connection it was about ended while the question was open.
            if (connected_ && scale_.Connection() == asked) ToggleConnection(0);
        });
    }
}

void Desk::RecordWeighing(const scale::Message& message) {
    // The first weighing after a start that found the earlier run's last row journalled before
    // its answer was known to have left: the same bytes may be that weighing sent again by a
    // scale that never heard its answer, or a new parcel of the same weight. Nothing is dropped
    // on a guess: the row is kept and says so, for the operator to judge.
    const bool maybeRepeat = scale_.MaybeRepeat(message.raw);
    if (keeper_.Get()) keeper_.Get()->NextRowFrom(message.raw.data(), message.raw.size(), maybeRepeat);
    // The language's words a row of this kind may show (a weight only the error text: weighings
    // come fast).
    std::u16string overweight, badBatch, repeat;
    const std::u16string error = Text(u"ListCtrl_Header", u"Error_EX");
    if (message.reading.kind != weighing::RowKind::Weight) {
        overweight = Text(u"ListCtrl_Header", u"Overweight");
        badBatch = Text(u"Message", u"CMD_ERROR");
    }
    if (maybeRepeat && scale_.RepeatOfLostLine())
        repeat = MessageText(u"Reconnect_Maybe_Repeat", "Maybe sent again: the same as the last weighing before the line was lost");
    else if (maybeRepeat)
        repeat = MessageText(u"Journal_Maybe_Repeat", "Maybe sent again: the same as the last weighing before Pesavo restarted");
    const std::size_t row = table_.size();
    const std::int64_t at = now_();
    const weighing::BatchRow made = weighing::RowOfReading(message.reading, message.shown.data(), message.shown.size(), row, unit_,
                                                           at, reference_, {overweight, error, badBatch, repeat}, maybeRepeat);
    // The promise, in this order: the row is in the table and on disk before the scale hears
    // that it arrived (once the answer has left, the journal notes that too: a restart learns
    // from it whether the scale will repeat the message); the answer goes out before anything
    // the row leads to, so the scale hears events in order, and nothing behind it — an outlet,
    // the network, the view — ever holds it.
    const weighing::RowId id = table_.Append(made.Views(), made.reading);
    // A scale that is never answered has nothing to hear, and nothing to send again.
    const bool unanswered = message.answer.empty();
    if (unanswered && keeper_.Get()) keeper_.Get()->MarkAnswered(id);
    CommitJournal();
    NoteAnswerLeft();  // the previous row's, if the engine has not told yet
    if (!unanswered) {
        const std::uint64_t answer = line_->QueueAll(message.answer);
        scale_.AnswerQueued(id, answer, message.raw);
    }
    const Recorded recorded{id, row, made.reading, message.raw, at, maybeRepeat, made.texts[weighing::kData], made.texts[weighing::kUnit]};
    for (const auto& outlet : outlets_) outlet->WeighingRecorded(recorded);
    view_.RowsInserted(row, 1);
}

void Desk::NoteAnswerLeft() {
    const auto& pending = scale_.AnswerInFlight();
    if (!pending || !line_->Written(pending->place)) return;
    if (keeper_.Get()) {
        keeper_.Get()->MarkAnswered(pending->id);
        CommitJournal();
    }
    scale_.AnswerLeft();
}

}  // namespace desk
