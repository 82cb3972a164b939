// The desk's life, its questions and held work, its state and its language.
#include "Desk.h"

#include "Journal.h"
#include "Notices.h"
#include "SixByteProtocol.h"
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

constexpr const char16_t* kColumnKeys[weighing::kColumns] = {u"Number", u"Data", u"Unit", u"Duration", u"Update_Time", u"Explan"};

bool IsFile(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(platform::Utf8Path(path), ec);
}

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
      scale_(options.protocol ? std::move(options.protocol) : std::make_shared<scale::SixByteProtocol>(), options.frameWait),
      // One box at a time, the save dialog included.
      questions_(view_, heldWork_, [this] { return !choosing_ && !closing_; }, [this] { RequestPending(); }),
      line_(line ? std::move(line) : std::make_unique<EngineLine>(this, places_, [this] { reference_ = now_(); })),
      link_(*line_, *this, scale_.Protocol().Use(), options.timings) {}

Desk::~Desk() {
    outlets_.clear();  // (their threads post to this desk)
    *alive_ = false;
    // No worker and no monitor may outlive the desk they talk to.
    link_.Stop();
    if (saveWorker_.joinable()) {
        saveWorker_.request_stop();
        saveWorker_.join();
    }
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
    LoadSettings();
    SetupTable();
    const bool portsFound = line_->ListPorts();
    // The language comes first, whatever the ports: every box after this one has its words.
    FillLanguageList();
    ApplyLanguage();
    if (!refusedAtStart_.empty()) RefuseLanguage(refusedAtStart_);
    // What an earlier run left unsaved is offered back before the window is used.
    OpenJournal();
    if (auto site = MakeSiteOutlet(*this, {places_.userSettings, places_.folder})) outlets_.push_back(std::move(site));
    for (const auto& outlet : outlets_) outlet->Started();
    if (!portsFound) Ask(Prompt::Notice, kOkOnly, Text(u"Message", u"Serial_Port_Abnormal"));
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
        [this] { if (!table_.empty()) SaveTable(true); },
        [this] { if (connected_) ToggleConnection(0); },
        [this] { OnClose(); },
        [this] { return closing_; },
    });
}

// ---- closing ----

void Desk::OnClose() {
    if (closing_ || Asked(Prompt::CloseExe)) return;  // (the question is open: its answer decides)
    if (rules_.Busy() || questions_.Open() || choosing_) {
        // A job owns the table, or the operator is being asked: close once that is over.
        rules_.Hold(weighing::TableRules::kClose);
        if (!rules_.Busy()) RequestPending();
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
        RemoveRows(discarded);
        CommitJournal();
    }
    view_.Close();
}

// ---- settings and language ----

void Desk::LoadSettings() {
    settingFile_ = places_.SettingsToWrite();
    const std::u16string value = Setting(u"Language_FileName");
    const std::string chosen = localisation::LanguageFilePath(places_.folder, value);
    // Read once, here; a name that leaves the language folder is not opened at all.
    auto texts = localisation::StaysInLanguageFolder(value) ? std::make_shared<const localisation::LanguageTexts>(chosen)
                                                             : std::make_shared<const localisation::LanguageTexts>();
    if (!texts->Usable()) {
        // No settings, or they name a file that is gone, damaged or without the window's texts:
        // English if it can be used, else the first language of the folder that can, so that no
        // box ever shows without words. Setting.ini keeps what the operator chose.
        std::vector<std::string> candidates{places_.folder + "Language" + platform::kPathSeparator + "English.ini"};
        for (const std::string& file : localisation::ListLanguageFolder(places_.folder)) candidates.push_back(file);
        std::shared_ptr<const localisation::LanguageTexts> fallback;
        for (const std::string& file : candidates) {
            if (!IsFile(file)) continue;
            auto candidate = std::make_shared<const localisation::LanguageTexts>(file);
            if (candidate->Usable()) {
                fallback = std::move(candidate);
                break;
            }
        }
        // A language the settings name but that cannot be used is worth a word; no settings at
        // all (a first start) are not.
        if (!value.empty()) refusedAtStart_ = chosen;
        texts = fallback ? fallback : std::make_shared<const localisation::LanguageTexts>();
    }
    std::lock_guard lock(textMutex_);
    texts_ = std::move(texts);
}

std::u16string Desk::Setting(const char16_t* key) const {
    // The operator's own choice first, key by key: the shipped Setting.ini stays the default.
    if (!places_.userSettings.empty()) {
        std::u16string value = localisation::ReadProfileText(settingFile_, u"Language_Configuration", key);
        if (!value.empty()) return value;
    }
    return localisation::ReadProfileText(places_.folder + "Setting.ini", u"Language_Configuration", key);
}

void Desk::RefuseLanguage(const std::string& file) {
    // In the language the window keeps (English words when none can be used).
    const std::shared_ptr<const localisation::LanguageTexts> kept = Texts();
    const std::u16string keptName = kept->File().empty() ? std::u16string(u"-") : kept->Text(u"Language_Configuration", u"Language_Name");
    Ask(Prompt::Notice, kOkOnly, Fill(MessageText(u"Language_Unusable", "The language file %1 cannot be used: it is missing, cannot be read "
                                                        "or lacks the window's texts. The window stays in %2."),
                      platform::Utf8ToUtf16(file), keptName));
}

std::shared_ptr<const localisation::LanguageTexts> Desk::Texts() const {
    std::lock_guard lock(textMutex_);
    return texts_ ? texts_ : std::make_shared<const localisation::LanguageTexts>();
}

std::u16string Desk::Text(const char16_t* section, const char16_t* key) const {
    std::lock_guard lock(textMutex_);
    return texts_ ? texts_->Text(section, key) : std::u16string();
}

std::u16string Desk::MessageText(const char16_t* key, const char* english) const {
    return localisation::MessageOr(*Texts(), key, english);
}

void Desk::FillLanguageList() {
    languageFiles_ = localisation::ListLanguageFolder(places_.folder);
    const std::u16string current = Setting(u"Language_Name");
    const std::shared_ptr<const localisation::LanguageTexts> inUse = Texts();
    std::vector<std::u16string> names;
    int selection = 0, inUseAt = -1;
    for (std::size_t i = 0; i < languageFiles_.size(); ++i) {
        // Read as the window reads its texts, so that a name is the same wherever it is shown.
        names.push_back(localisation::LanguageTexts(languageFiles_[i]).Text(u"Language_Configuration", u"Language_Name"));
        if (names.back() == current) selection = static_cast<int>(i);  // the last match wins
        if (languageFiles_[i] == inUse->File()) inUseAt = static_cast<int>(i);
    }
    // The list shows the language the window is in: where the settings name another (a file that
    // is gone or cannot be used), Apply would otherwise switch to a language nobody chose.
    if (inUseAt >= 0 && !languageFiles_.empty() && names[static_cast<std::size_t>(selection)] != names[static_cast<std::size_t>(inUseAt)])
        selection = inUseAt;
    view_.ShowLanguages(names, languageFiles_, languageFiles_.empty() ? -1 : selection);
}

void Desk::ApplyLanguage() {
    SetTitles();
    view_.ShowTexts();
    FillPortList();  // from the ports found last
    ShowState();
}

void Desk::OnLanguageOK(int index) {
    if (rules_.Busy() || connected_ || closing_) return;  // the button is disabled meanwhile
    if (index < 0 || static_cast<std::size_t>(index) >= languageFiles_.size()) return;
    const std::string file = languageFiles_[static_cast<std::size_t>(index)];
    auto texts = std::make_shared<const localisation::LanguageTexts>(file);
    const std::u16string name = texts->Text(u"Language_Configuration", u"Language_Name");
    if (!IsFile(file) || !texts->Usable()) {
        // Missing (deleted since the list was filled), unreadable or damaged: not applied, and
        // Setting.ini keeps the language that works.
        RefuseLanguage(file);
        FillLanguageList();
        return;
    }
    {
        std::lock_guard lock(textMutex_);  // the connection worker may be reading a text
        texts_ = std::move(texts);
    }
    // A settings file that cannot be written only means the next start uses the old language;
    // the operator hears so, and why, in the new one.
    errno = 0;
    if (!places_.userSettings.empty()) platform::MakeFolder(places_.userSettings);  // the operator's own, on the first switch
    const bool kept = platform::WriteProfileString(u"Language_Configuration", u"Language_Name", name, settingFile_) &&
                      platform::WriteProfileString(u"Language_Configuration", u"Language_FileName",
                                                   localisation::LanguageFileNameValue(file), settingFile_);
    const int why = errno;
    ApplyLanguage();
    if (!kept)
        Ask(Prompt::Notice, kOkOnly, MessageText(u"Setting_Not_Saved", "Setting.ini could not be written: the language applies until the program "
                                                       "ends, and the next start uses the previous one.") +
                         u"\n" + localisation::FailureText(*Texts(), why ? why : EIO) + u"\n(" +
                         platform::Utf8ToUtf16(settingFile_) + u")");
}

void Desk::SetTitles() {
    for (int c = 0; c < weighing::kColumns; ++c) titles_[static_cast<std::size_t>(c)] = Text(u"ListCtrl_Header", kColumnKeys[c]);
    view_.TitlesChanged();
}

void Desk::SetupTable() { reference_ = now_(); }

// ---- the manual ----

std::string Desk::ManualPath() const {
    if (!places_.manual.empty()) return places_.manual;
    return platform::NativeSeparators("..\\Doc\\Korvane电子秤上位机使用说明.pdf");
}

bool Desk::OpenManual() { return platform::ShellOpenDocument(ManualPath()); }

// ---- state ----

std::u16string Desk::UpdateTitle() const {
    std::u16string title = Text(u"Dialog_Caption", u"Dialog_Caption");
    if (journalOff_) title += u" \u2014 " + MessageText(u"Journal_Off", "rows not journalled");
    for (const auto& outlet : outlets_)
        if (std::u16string part = outlet->TitlePart(); !part.empty()) title += u" \u2014 " + part;
    return title;
}

State Desk::CurrentState() const {
    State state;
    state.connected = connected_;
    state.busy = rules_.Busy();
    state.unit = unit_;
    state.title = UpdateTitle();
    state.connectCaption = Text(u"Dialog_Caption", connected_ ? u"Serial_Caption_Close" : u"Serial_Caption_Open");
    // The Test button's captions; a language without them keeps the program's own.
    state.testCaption = Text(u"Dialog_Caption", link_.TestMode() ? u"Test_Running_Caption" : u"Test_Caption");
    if (state.testCaption.empty()) state.testCaption = link_.TestMode() ? u"测试中... (结束测试请关闭程序)" : u"测试";
    return state;
}

void Desk::ShowState() { view_.ShowState(CurrentState()); }

bool Desk::JournalOn() const { return journal_ != nullptr && !journalOff_; }

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
        PostSafe([this] {
            // The device is gone: a box about a write to it that has not been shown yet says
            // nothing the disconnect does not.
            questions_.Forget(Prompt::LineError);
            if (connected_) ToggleConnection(0);
        });
    }
}

void Desk::ShowSerialError(const std::string& text, std::stop_token) {
    // Told, not waited for: the line goes on.
    PostSafe([this, text] {
        Ask(Prompt::LineError, kOkOnly, platform::Utf8ToUtf16(text), {}, true);
    });
}

}  // namespace desk
