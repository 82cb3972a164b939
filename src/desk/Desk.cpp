// The desk's life, its questions and held work, its state and its language.
#include "Desk.h"

#include "Journal.h"
#include "Notices.h"
#include "platform/ProfileFile.h"
#include "platform/Folder.h"
#include "platform/ModulePath.h"
#include "platform/ShellOpen.h"
#include "platform/Utf.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <filesystem>

namespace desk {

namespace {

// A worker's wait for the answer to its notice; the answer may come after the worker gave up.
struct AnswerWait {
    std::mutex mutex;
    std::condition_variable_any answered;
    bool done = false;
    void Set() {
        {
            std::lock_guard lock(mutex);
            done = true;
        }
        answered.notify_all();
    }
    void Wait(std::stop_token stop) {
        std::unique_lock lock(mutex);
        answered.wait(lock, stop, [this] { return done; });
    }
};

}  // namespace

Desk::Desk(desk::View& view, Options options, std::unique_ptr<Line> line)
    : view_(view),
      places_(std::move(options.places)),
      journalFolder_(std::move(options.journalFolder)),
      now_(options.now ? std::move(options.now) : [] { return static_cast<std::int64_t>(std::time(nullptr)); }),
      clock_(options.clock ? std::move(options.clock) : [] { return std::chrono::steady_clock::now(); }),
      viewThread_(std::this_thread::get_id()),
      rules_(options.lastRow),
      kinds_({places_.userSettings, places_.folder}, std::move(options.protocol)),
      scale_(kinds_.Protocol("frame6", 0), options.frameWait),
      // One box at a time, the save dialog included.
      questions_(view_, heldWork_, [this] { return !jobs_.ChoosingPath() && !closing_; }, [this] { RequestPending(); }),
      line_(line ? std::move(line) : std::make_unique<EngineLine>(this, places_, [this] { reference_ = now_(); })),
      link_(*line_, *this, [this](int port) { return kinds_.UsesAt(port); }, options.timings) {}

Desk::~Desk() {
    outlets_.clear();  // (their threads post to this desk)
    *alive_ = false;
    // No worker and no monitor may outlive the desk they talk to.
    link_.Stop();
    jobs_.Stop();
    line_->Shutdown();
}

// ---- threads ----

void Desk::PostSafe(std::function<void()> fn) {
    view_.Post([alive = alive_, fn = std::move(fn)] {
        if (*alive) fn();
    });
}

bool Desk::RunOnViewThread(const std::function<void()>& fn, std::stop_token stop) {
    if (OnViewThread()) {
        fn();
        return true;
    }
    struct Call {
        std::mutex mutex;
        std::condition_variable_any cv;
        bool started = false, done = false, abandoned = false;
    };
    auto call = std::make_shared<Call>();
    // `fn` refers to the caller's stack: once the caller has given up, it never runs.
    view_.Post([call, &fn, alive = alive_] {
        {
            std::lock_guard lock(call->mutex);
            if (call->abandoned || !*alive) return;
            call->started = true;
        }
        fn();
        {
            std::lock_guard lock(call->mutex);
            call->done = true;
        }
        call->cv.notify_all();
    });
    std::unique_lock lock(call->mutex);
    call->cv.wait(lock, stop, [&] { return call->done; });
    if (call->done) return true;
    if (call->started) {
        call->cv.wait(lock, [&] { return call->done; });  // it uses our stack: let it end
        return true;
    }
    call->abandoned = true;
    return false;
}

// ---- start ----

void Desk::Start() {
    languages_.Load();
    SetupTable();
    const bool portsFound = line_->ListPorts();
    // The language comes first, whatever the ports: every box after this one has its words.
    FillLanguageList();
    ApplyLanguage();
    if (!languages_.RefusedAtStart().empty()) Ask(Prompt::Notice, kOkOnly, languages_.RefusalText(languages_.RefusedAtStart()));
    // What an earlier run left unsaved is offered back before the window is used.
    OpenJournal();
    if (auto site = MakeSiteOutlet(*this, {places_.userSettings, places_.folder})) outlets_.push_back(std::move(site));
    if (auto service = MakeServiceOutlet(*this, {places_.userSettings, places_.folder}, places_.folder + "Web" + platform::kPathSeparator))
        outlets_.push_back(std::move(service));
    if (auto wedge = MakeWedgeOutlet(*this, {places_.userSettings, places_.folder})) outlets_.push_back(std::move(wedge));
    for (const auto& outlet : outlets_) outlet->Started();
    ShowState();  // (the outlets' first picture)
    if (!portsFound) Ask(Prompt::Notice, kOkOnly, Text(u"Message", u"Serial_Port_Abnormal"));
    LoadScaleKinds();
}

// ---- questions and held work ----

void Desk::Ask(Prompt kind, int mode, std::u16string text, Questions::Continuation then, bool systemError) {
    questions_.Ask(kind, mode, std::move(text), std::move(then), systemError);
}

void Desk::Answer(std::uint64_t question, int answer) { questions_.Answer(question, answer); }

void Desk::RequestPending() {
    if (pendingPosted_) return;
    pendingPosted_ = true;
    PostSafe([this] {
        pendingPosted_ = false;
        RunPending();
    });
}

void Desk::RunPending() {
    heldWork_.Run({
        [this] { ShowState(); },
        [this](int mode, const std::u16string& message) { Ask(mode == kYesNo ? Prompt::TableFull : Prompt::Notice, mode, message); },
        // Nothing to save when a save that ran meanwhile took every row.
        [this] { if (!table_.empty()) jobs_.SaveTable(true); },
        [this] {
            // A lost line's question is about the rows it left, never about a connection made
            // since (that one goes on; the operator's own click on it asks afresh).
            if (std::exchange(lostLineHeld_, false)) AfterLostLine();
            else if (std::exchange(disconnectHeld_, false) && (connected_ || waiting_)) ToggleConnection(0);
        },
        [this] { OnClose(); },
        [this] { return closing_; },
    });
}

// ---- closing ----

void Desk::OnClose() {
    if (closing_ || Asked(Prompt::CloseExe)) return;  // (the question is open: its answer decides)
    if (rules_.Busy() || questions_.Open() || jobs_.ChoosingPath()) {
        // A job owns the table, or the operator is being asked: close once that is over.
        rules_.Hold(weighing::TableRules::kClose);
        if (!rules_.Busy()) RequestPending();
        return;
    }
    if (table_.empty() && waiting_) {
        // A scale that went away may be about to come back with weighings: closing is asked for.
        Ask(Prompt::CloseExe, kYesNo,
            MessageText(u"Close_Waiting", "Pesavo is waiting for the scale to come back. Close the program anyway?"),
            [this](int answer) {
                if (answer == kYes && !closing_) table_.empty() ? FinishClose({}) : OnClose();
            });
        return;
    }
    if (table_.empty()) {
        FinishClose({});
        return;
    }
    // The question is about the rows the operator saw.
    const std::vector<weighing::RowId> asked = table_.Ids();
    Ask(Prompt::CloseExe, kYesNo, Text(u"Message", u"Close_Exe"), [this, asked](int answer) {
        // Only an explicit Yes closes: Esc or the box's close button must not discard the table.
        if (answer != kYes || closing_) {
            closeAskedAgain_ = false;
            return;
        }
        const bool more = !table_.empty() && table_.Id(table_.size() - 1) > asked.back();
        if (more && !JournalOn() && !closeAskedAgain_) {
            // Weighings came while it was open and nothing keeps them: ask once more, about all.
            closeAskedAgain_ = true;
            OnClose();
            return;
        }
        FinishClose(more && JournalOn() ? asked : table_.Ids());
    });
}

void Desk::FinishClose(const std::vector<weighing::RowId>& discarded) {
    closing_ = true;
    if (waiting_) {
        waiting_ = false;
        link_.Stop();  // no more tries at the port
    }
    if (connected_) {
        connected_ = false;
        line_->QueueAll(scale_.Protocol().Goodbye());  // tell the scale we are leaving
        line_->StopAfterQueued(false);
        line_->WaitForSent(std::chrono::milliseconds(200));
        NoteAnswerLeft();  // the last row's answer, for the rows the journal keeps
    }
    // The rows the operator chose to close without saving leave the journal with the window;
    // rows that came while the question was open stay there for the next start.
    if (!discarded.empty()) {
        jobs_.RemoveRows(discarded);
        CommitJournal();
    }
    view_.Close();
}

// ---- settings and language ----

void Desk::FillLanguageList() {
    const Languages::List list = languages_.ListFolder();
    view_.ShowLanguages(list.names, list.files, list.selection);
}

std::shared_ptr<const localisation::LanguageTexts> Desk::Texts() const { return languages_.Texts(); }

std::u16string Desk::Text(const char16_t* section, const char16_t* key) const { return languages_.Text(section, key); }

std::u16string Desk::MessageText(const char16_t* key, const char* english) const { return languages_.MessageText(key, english); }

void Desk::ApplyLanguage() {
    SetTitles();
    view_.ShowTexts();
    FillPortList();  // from the ports found last
    ShowState();
}

void Desk::OnLanguageOK(int index) {
    if (rules_.Busy() || connected_ || closing_) return;  // the button is disabled meanwhile
    const Languages::Switch done = languages_.SwitchTo(index);
    if (done.outcome == Languages::Switch::Refused) {
        Ask(Prompt::Notice, kOkOnly, languages_.RefusalText(done.file));
        FillLanguageList();
        return;
    }
    if (done.outcome != Languages::Switch::Switched) return;
    ApplyLanguage();
    // The operator hears that the next start uses the old language, and why, in the new one.
    if (!done.saved)
        Ask(Prompt::Notice, kOkOnly,
            MessageText(u"Setting_Not_Saved", "Setting.ini could not be written: the language applies until the program "
                                              "ends, and the next start uses the previous one.") +
                u"\n" + localisation::FailureText(*Texts(), done.why) + u"\n(" + platform::Utf8ToUtf16(languages_.SettingFile()) + u")");
}

void Desk::SetTitles() {
    languages_.ReadTitles();
    view_.TitlesChanged();
}

void Desk::SetupTable() { reference_ = now_(); }

// ---- the manual ----

std::string Desk::ManualPath() const {
    if (!places_.manual.empty()) return places_.manual;
    return platform::NativeSeparators("..\\Doc\\Korvane电子秤上位机使用说明.pdf");
}

bool Desk::OpenManual() { return platform::ShellOpenDocument(ManualPath()); }

bool Desk::HasLivePage() const {
    return std::any_of(outlets_.begin(), outlets_.end(), [](const auto& outlet) { return !outlet->PageAddress().empty(); });
}

bool Desk::OpenLivePage() {
    for (const auto& outlet : outlets_)
        if (const std::string address = outlet->PageAddress(); !address.empty()) return platform::ShellOpenAddress(address);
    return false;
}

// ---- state ----

std::u16string Desk::UpdateTitle() const {
    std::u16string title = Text(u"Dialog_Caption", u"Dialog_Caption");
    if (connected_ || waiting_) {
        // Which scale the rows come from, and where (or came from, and is waited for).
        const scale::ScaleProtocol& protocol = scale_.Protocol();
        title += u" \u2014 " + MessageText((u"Scale_" + platform::Utf8ToUtf16(protocol.Name())).c_str(), protocol.DisplayName().c_str()) +
                 u" COM" + platform::Utf8ToUtf16(std::to_string(link_.ConnectedPort()));
        if (waiting_) title += u" \u2014 " + MessageText(u"Reconnect_Waiting", "waiting for the scale");
    }
    if (keeper_.Off()) title += u" \u2014 " + MessageText(u"Journal_Off", "rows not journalled");
    for (const auto& outlet : outlets_)
        if (std::u16string part = outlet->TitlePart(); !part.empty()) title += u" \u2014 " + part;
    return title;
}

State Desk::CurrentState() const {
    State state;
    state.connected = connected_;
    state.waiting = waiting_;
    state.busy = rules_.Busy();
    state.unit = unit_;
    state.title = UpdateTitle();
    state.connectCaption = waiting_ ? MessageText(u"Reconnect_Caption", "Waiting for the scale")
                                    : Text(u"Dialog_Caption", connected_ ? u"Serial_Caption_Close" : u"Serial_Caption_Open");
    // The Test button's captions; a language without them keeps the program's own.
    state.testCaption = Text(u"Dialog_Caption", link_.TestMode() ? u"Test_Running_Caption" : u"Test_Caption");
    if (state.testCaption.empty()) state.testCaption = link_.TestMode() ? u"测试中... (结束测试请关闭程序)" : u"测试";
    return state;
}

void Desk::ShowState() {
    view_.ShowState(CurrentState());
    if (outlets_.empty()) return;
    DeskPicture picture;
    picture.connected = connected_;
    if (connected_) {
        picture.port = link_.ConnectedPort();
        picture.scale = scale_.Protocol().Name();
    }
    picture.unit = unit_;
    picture.errorText = Text(u"ListCtrl_Header", u"Error_EX");
    picture.overweightText = Text(u"ListCtrl_Header", u"Overweight");
    for (const auto& outlet : outlets_) outlet->Shown(picture);
}

bool Desk::JournalOn() const { return keeper_.On(); }

// ---- the connection controller's calls ----

bool Desk::ShowConnected(std::stop_token stop) {
    return RunOnViewThread([this] { EnterConnectedState(); }, stop);
}

bool Desk::RefreshPorts(std::stop_token stop) {
    return RunOnViewThread([this] { RefreshPortList(); }, stop);
}

void Desk::Tell(serial::Notice notice, int port, const serial::OpenFailure& why, std::stop_token stop) {
    std::u16string text;
    bool systemError = false;
    Prompt kind = Prompt::Notice;
    switch (notice) {
        case serial::Notice::ConnectionFails: text = Text(u"Message", u"Connection_Fails"); break;
        case serial::Notice::AutoError: text = Text(u"Message", u"Auto_Error"); break;
        case serial::Notice::NoPort: text = Text(u"Message", u"No_Port"); break;
        case serial::Notice::SettingsRefused:
            // The engine's own box, naming the call the device refused.
            text = platform::Utf8ToUtf16(line_->CommErrorText(why.refusedCall, why.refusedError));
            systemError = true;
            kind = Prompt::SettingsRefused;
            break;
        case serial::Notice::CannotOpen: text = localisation::CannotOpenText(*Texts(), port, why.error); break;
    }
    // The worker waits for the operator on its own thread, never the window's.
    auto wait = std::make_shared<AnswerWait>();
    if (!RunOnViewThread([&] { Ask(kind, kOkOnly, text, [wait](int) { wait->Set(); }, systemError); }, stop)) return;
    wait->Wait(stop);
}

// ---- the engine's notifications ----

void Desk::OnSerialMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam, bool, std::stop_token) {
    if (message == WM_SERIAL_DATA) {
        // Taken up on the view's thread; the engine goes on reading at once. The batches stay
        // in their order, and nothing on their way waits for a person.
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(wParam);
        std::vector<std::uint8_t> batch(bytes, bytes + std::max<std::intptr_t>(lParam, 0));
        PostSafe([this, batch = std::move(batch)] { OnSerialData(batch.data(), batch.size()); });
    } else if (message == WM_SERIAL_SENT) {
        PostSafe([this] { NoteAnswerLeft(); });
    } else if (message == WM_SERIAL_READ_FAILED) {
        // The device failed under an open connection (unplugged, simulator ended): close it as
        // the operator would. Ignored while no connection is up: a running check moves on.
        PostSafe([this] { LineLost(); });
    }
}

void Desk::ShowSerialError(const std::string& text, std::stop_token) {
    // Told, not waited for: the line goes on.
    PostSafe([this, text] {
        Ask(Prompt::LineError, kOkOnly, platform::Utf8ToUtf16(text), {}, true);
    });
}

}  // namespace desk
