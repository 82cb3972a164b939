#pragma once
// The operator's desk: Pesavo's whole workflow, once, in standard C++ — frames into rows, the
// journal, the scale's answers, the row limit and its automatic save, Save, Clear, the unit
// change, connecting and disconnecting, closing, the language and the start-up. It owns the
// table, its rules, the frame state, the unit, the connection and the journal. A window is only
// its view (desk::View): it shows what the desk tells it and forwards the operator's commands.
//
// Threads: every command and every answer runs on the view's thread (the one that built the
// desk). The serial engine's monitor and the connection controller's worker reach the desk
// through SerialOwner and serial::View; what they bring is taken up on the view's thread.
//
// Questions are events: a command that asks ends there, and the answer comes back through
// Answer() as a new event that carries on from what was captured when it was asked. One question
// is shown at a time; while one is open, held work (the automatic save, a disconnect, closing)
// waits. Nothing on the way from a frame to its answer waits for a person.
#include "DeskLine.h"
#include "JournalKeeper.h"

#include "ConnectionControl.h"
#include "LanguageFiles.h"
#include "Languages.h"
#include "MeasurementTable.h"
#include "Outlet.h"
#include "Questions.h"
#include "ScaleKinds.h"
#include "ScaleSession.h"
#include "TableJobs.h"
#include "TableRules.h"
#include "platform/ModulePath.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace journal {
class Journal;
struct StoredRow;
}  // namespace journal

namespace desk {

// What the window shows of the desk's state. Enabled controls follow from it: the port and
// language choices only while not connected; Save, Clear and the units only while no job owns
// the table; the language's Apply only while neither.
struct State {
    bool connected = false;
    bool waiting = false;  // the line was lost and the scale is waited for (not connected)
    bool busy = false;  // a unit change or a save owns the table
    int unit = 0;       // weighing::kKg, kLb, kLbOz
    std::u16string title, connectCaption, testCaption;
};

struct PortItem {
    int number = 0;       // COM<number>
    std::string device;   // what is behind it, for the operator to tell the scale
};

// What the desk needs of a window. Every call comes on the view's thread, except Post.
class View {
public:
    virtual ~View() = default;
    // Runs `fn` later on the view's thread, in the order posted; callable from any thread.
    virtual void Post(std::function<void()> fn) = 0;
    // Calls Desk::OnTimer once, `ms` from now (a later request replaces an earlier one).
    virtual void StartTimer(int ms) = 0;

    // The table (Desk::Table, Desk::Title): rows [first, first + count) inserted or removed, the
    // texts of rows [first, end) rewritten, everything new, the column titles.
    virtual void RowsInserted(std::size_t first, std::size_t count) = 0;
    virtual void RowsRemoved(std::size_t first, std::size_t count) = 0;
    virtual void RowsChanged(std::size_t first, std::size_t end) = 0;
    virtual void RowsReset() = 0;
    virtual void TitlesChanged() = 0;

    // The language changed: captions read anew through Desk::Text.
    virtual void ShowTexts() = 0;
    virtual void ShowState(const State& state) = 0;
    // The port list: item 0 `any` (search every port), then the ports.
    virtual void ShowPorts(const std::u16string& any, const std::vector<PortItem>& ports) = 0;
    // The language list: each language's name and its file (for the operator to tell them apart).
    virtual void ShowLanguages(const std::vector<std::u16string>& names, const std::vector<std::string>& files,
                               int selection) = 0;

    // Shows a question; the answer comes later through Desk::Answer (never from inside Ask).
    virtual void Ask(const Question& question) = 0;
    // The save dialog, starting at `fileName` in `folder`; the choice comes later through
    // Desk::SavePathChosen (empty: cancelled).
    virtual void AskSavePath(const std::string& fileName, const std::string& folder) = 0;
    // The progress dialog of a job; it follows Desk::Progress() until HideProgress.
    virtual void ShowProgress(const std::u16string& caption, const std::u16string& display) = 0;
    virtual void HideProgress() = 0;
    // The desk agreed to close: the window goes.
    virtual void Close() = 0;
};

struct Options {
    platform::ProgramPlaces places = platform::ProgramPlaces::OfThisProgram();
    std::string journalFolder;  // where the journal is kept; empty: no journal
    std::size_t lastRow = weighing::kRowLimit;  // the index of the table's last row
    std::chrono::milliseconds frameWait{200};   // for the rest of a frame that has begun
    std::function<std::int64_t()> now;          // seconds since 1970 (default: the system's)
    std::function<std::chrono::steady_clock::time_point()> clock;  // default: steady_clock
    serial::Timings timings;
    // The one kind of scale there is (default: every kind Pesavo knows, as Scales.ini sets them).
    std::shared_ptr<const scale::ScaleProtocol> protocol;
};

class Desk : public SerialOwner, public serial::View, private OutletHost, private JobHost {
public:
    // Without `line` the desk works on the serial engine of its own.
    Desk(desk::View& view, Options options, std::unique_ptr<Line> line = nullptr);
    ~Desk() override;
    Desk(const Desk&) = delete;
    Desk& operator=(const Desk&) = delete;

    // ---- the operator's commands ----
    // The window is there: settings, language, ports, table; then the journal's offer.
    void Start();
    // The connect button, with the port list's current item (0: search every port; -1: none).
    void ToggleConnection(int portItem);
    void RefreshPortList();
    void StartTestMode();
    // F1: the operator's manual in the system's viewer; false when it could not be opened.
    bool OpenManual();
    // The local weight service's live page, in the desktop's browser; false when there is none
    // or no browser started.
    bool OpenLivePage();
    bool HasLivePage() const;
    // Where the manual is: an installed program knows; otherwise it lies beside the program's
    // folder, seen from the working directory.
    std::string ManualPath() const;
    void OnSaveTable() { jobs_.OnSaveTable(); }
    void OnClearData() { jobs_.OnClearData(); }
    void OnUnit(int unit) { jobs_.OnUnit(unit); }
    void OnLanguageOK(int index);  // the language list's current item
    // The close box, Esc, Enter: asks when there are rows; the view's Close follows a Yes.
    void OnClose();

    // ---- the view's answers ----
    void Answer(std::uint64_t question, int answer);
    void SavePathChosen(const std::string& path) { jobs_.SavePathChosen(path); }
    void OnTimer();

    // ---- what the view shows ----
    const weighing::MeasurementTable& Table() const { return table_; }
    const std::u16string& Title(int column) const { return languages_.Titles()[static_cast<std::size_t>(column)]; }
    // A text of the current language (empty when missing); from any thread.
    std::u16string Text(const char16_t* section, const char16_t* key) const override;
    std::shared_ptr<const localisation::LanguageTexts> Texts() const;
    State CurrentState() const;
    const std::atomic<int>& Progress() const { return jobs_.Progress(); }  // 0..1,000,000; -1: none
    bool Connected() const { return connected_; }
    // The line was lost and its port is tried again (Setting.ini [Connection] Reconnect=1).
    bool Waiting() const { return waiting_; }
    bool Busy() const { return rules_.Busy(); }
    bool Full() const { return rules_.Full(); }
    int Unit() const override { return unit_; }
    bool JournalOn() const override;
    bool QuestionOpen() const { return questions_.Open(); }
    // One of `kind` is open or waiting for the operator.
    bool Asked(Prompt kind) const { return questions_.Asked(kind); }
    serial::ConnectionControl& Link() { return link_; }
    Line& SerialLine() { return *line_; }
    const std::string& ProgramFolder() const { return places_.folder; }
    const platform::ProgramPlaces& Places() const { return places_; }
    std::string LastSavePath() const { return jobs_.LastSavePath(); }

    // ---- the serial engine's notifications (SerialOwner) ----
    void OnSerialMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam, bool wait,
                         std::stop_token stop) override;
    void ShowSerialError(const std::string& text, std::stop_token stop) override;
    // A batch of bytes from the line, on the view's thread (the engine's delivery ends here).
    void OnSerialData(const std::uint8_t* bytes, std::size_t count);

    // ---- the connection controller's calls (serial::View), from its worker ----
    bool ShowConnected(std::stop_token stop) override;
    void Tell(serial::Notice notice, int port, const serial::OpenFailure& why, std::stop_token stop) override;
    bool RefreshPorts(std::stop_token stop) override;

private:
    // ---- the view's thread ----
    // Runs `fn` on the view's thread and waits for it; false when `stop` came first.
    bool RunOnViewThread(const std::function<void()>& fn, std::stop_token stop);
    // Runs `fn` later on the view's thread, unless the desk is gone by then.
    void PostSafe(std::function<void()> fn) override;
    bool OnViewThread() const { return std::this_thread::get_id() == viewThread_; }

    // ---- questions ----
    void Ask(Prompt kind, int mode, std::u16string text, Questions::Continuation then = {}, bool systemError = false);
    void Tell(std::u16string text) override { Ask(Prompt::Notice, kOkOnly, std::move(text)); }
    // A question answered, a job ended, a command held: the held work, once nothing is open.
    void RequestPending() override;
    void RunPending();

    // ---- state and texts ----
    void FillLanguageList();
    void ApplyLanguage();
    void SetTitles();
    void SetupTable();
    void ShowState() override;
    std::u16string MessageText(const char16_t* key, const char* english) const override;
    std::u16string UpdateTitle() const;

    // ---- connection ----
    void FillPortList();
    // Reads Scales.ini again; tells what in it cannot be used, once for each new finding.
    void LoadScaleKinds();
    void EnterConnectedState();
    // Tells the scale goodbye, gives the port back; the Test mode takes over.
    void Disconnect();
    // The operator's Disconnect with rows in the table: save them, discard them, or nothing.
    void AskPortClose();
    // What the operator's Disconnect ends: the connection, the waiting for a scale that went
    // away, or (its line lost already) nothing but the search that follows.
    void EndConnection();
    // The Test mode's search, after a connection ended (unless another has begun).
    void SearchAgain();
    void EndAtRowLimit();

    // ---- the scale's messages ----
    void TakeBytes(const std::uint8_t* bytes, std::size_t count);
    // Takes up the messages the scale's bytes made, in order, while the connection lasts; waits
    // for the rest of a begun one.
    void TakeMessages();
    void TakeMessage(const scale::Message& message);
    // Asks a polled scale for its weight when it is time, and notices a scale that fell silent.
    void KeepLineAlive(scale::Clock::time_point now);
    // The line is gone (unplugged, failing, silent, or closed by the server): the connection
    // ends; with Reconnect the scale is waited for, otherwise the operator is asked about the
    // rows (AfterLostLine) and the Test mode follows.
    void LineLost();
    void AfterLostLine();
    bool ReconnectOn() const;
    // The road of one weighing: the row, the journal, the scale's answer, the outlets, the view.
    void RecordWeighing(const scale::Message& message);
    void NoteAnswerLeft();

    // ---- what the table jobs use (JobHost) ----
    bool Closing() const override { return closing_; }
    void SetUnit(int unit) override { unit_ = unit; }
    void TableEmptied() override { SetupTable(); }
    void TakeUpTheScale() override { link_.Reconnect(); }
    // Closes: the scale is told, the rows the operator discarded leave the journal.
    void FinishClose(const std::vector<weighing::RowId>& discarded);

    // ---- journal ----
    void OpenJournal();
    // Asks whether to put the rows back; `then` runs once they are back or kept in a file.
    void OfferJournalRows(std::shared_ptr<std::vector<journal::StoredRow>> rows, int unit, std::function<void()> then);
    void RestoreJournalRows(const std::vector<journal::StoredRow>& rows, int unit);
    bool CommitJournal(bool synced = true) override;

    // ---- what the outlets use (OutletHost) ----
    journal::Journal* Journal() override { return keeper_.Get(); }
    void TitleChanged() override { ShowState(); }
    void Post(std::function<void()> fn) override { PostSafe(std::move(fn)); }
    std::int64_t Now() const override { return now_(); }
    std::chrono::steady_clock::time_point Clock() const override { return clock_(); }

    desk::View& view_;
    const platform::ProgramPlaces places_;
    const std::string journalFolder_;
    std::function<std::int64_t()> now_;
    std::function<std::chrono::steady_clock::time_point()> clock_;
    const std::thread::id viewThread_;

    Languages languages_{places_};

    // The table.
    weighing::MeasurementTable table_;
    weighing::TableRules rules_;
    weighing::HeldWork heldWork_{rules_};
    int unit_ = 0;
    std::atomic<std::int64_t> reference_{0};  // the table's start (Duration)

    // The scale, and the operator's questions.
    ScaleKinds kinds_;
    std::vector<std::string> scalesTold_;  // what of Scales.ini the operator was told last
    ScaleSession scale_;
    scale::Clock::time_point nextPoll_{}, lastHeard_{};
    bool silenceTold_ = false;  // the scale's silence was taken for a lost line
    bool waiting_ = false;      // for the scale of a lost line to come back
    bool lostLineHeld_ = false;  // a lost line's question waits for the running job
    bool disconnectHeld_ = false;  // so does the operator's Disconnect
    std::uint64_t limitEnds_ = 0;  // connections the row limit ended
    Questions questions_;
    bool pendingPosted_ = false;
    bool closing_ = false;
    bool closeAskedAgain_ = false;

    JournalKeeper keeper_{journalFolder_, table_};
    TableJobs jobs_{{view_, table_, rules_, heldWork_, questions_, keeper_, languages_, places_}, *this};

    // Where every weighing goes besides the table.
    std::vector<std::unique_ptr<WeighingOutlet>> outlets_;

    // The line and the connection (declared last: stopped first).
    std::atomic<bool> connected_{false};
    std::unique_ptr<Line> line_;
    serial::ConnectionControl link_;
    // Every posted call checks it: nothing runs on a desk that is going away.
    std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
};

}  // namespace desk
