// The operator's workflow driven through the desk with a fake window and a fake line, on the
// test's own thread: what the scale hears for every kind of batch, when a row is on disk, the row
// limit and the work held behind an open question, and answers that come after the state they
// were asked in has gone.
#include "Desk.h"

#include "../support/ProgramFolder.h"
#include "FrameDecoder.h"
#include "Protocols.h"
#include "SixByteProtocol.h"
#include "LanguageFiles.h"
#include "TableRules.h"
#ifdef PESAVO_DESK_JOURNAL
#include "CompoundFile.h"
#include "Journal.h"
#include "platform/PortList.h"
#include "platform/Utf.h"
#endif
#ifdef PESAVO_DESK_SITE
#include "../support/PostgresCluster.h"
#include <sys/stat.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using desk::kNo;
using desk::kYes;

constexpr int kScalePort = 7;
constexpr std::uint8_t kAck = weighing::kAcknowledge, kBad = weighing::kBadFrameNotice,
                       kBye = weighing::kDisconnectNotice;

// A weighing of `grams` (three decimals) with its check byte.
Bytes Weight(std::uint32_t grams) {
    Bytes f = {weighing::kWeightFrame, 0x08, static_cast<std::uint8_t>(grams >> 16), static_cast<std::uint8_t>(grams >> 8),
               static_cast<std::uint8_t>(grams), 0};
    f[5] = static_cast<std::uint8_t>(f[0] ^ f[1] ^ f[2] ^ f[3] ^ f[4]);
    return f;
}
const Bytes kOverweight = {weighing::kOverweightFrame, 0, 0, 0, 0, 0};
const Bytes kDamaged = {0x5F, 0x08, 0x00, 0x10, 0x00, 0x00};  // its check byte is wrong

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// The Data text a weighing shows in kilograms.
std::u16string KgText(const Bytes& frame) {
    const weighing::Weighing w = weighing::DecodeWeight(frame.data());
    const std::string text = weighing::WeightText(w.kg, w.decimals, weighing::kKg);
    return {text.begin(), text.end()};
}

// The scale's end of the line; it outlives the desk, which owns the line. Only the handshake
// comes from the connection controller's worker: the rest is the view's thread.
struct Wire {
    std::atomic<int> handshakes{0};
    Bytes greeting;  // the last one sent
    Bytes heard;  // what the desk queued, in order
    std::size_t taken = 0;
    bool sentAtOnce = true;  // else written only up to `sentUpTo`
    std::uint64_t sentUpTo = 0;
    std::vector<std::pair<std::size_t, bool>> stops;  // bytes heard by then, whether released
    std::vector<std::chrono::milliseconds> waits;
    std::function<void(std::uint8_t)> onQueue;

    // What the scale heard since the last look.
    Bytes Take() { return {heard.begin() + static_cast<std::ptrdiff_t>(std::exchange(taken, heard.size())), heard.end()}; }
};

class FakeLine : public desk::Line {
public:
    explicit FakeLine(Wire& wire) : wire_(wire) {}
    int PortCount() override { return 1; }
    int PortAt(int position) override { return position == 1 ? kScalePort : 0; }
    bool Open(int port, const serial::LineUse&, serial::OpenFailure& failure) override {
        failure = {port == kScalePort ? 0 : 2, nullptr, 0};
        return port == kScalePort;
    }
    void Send(const std::vector<std::uint8_t>& bytes) override {
        wire_.greeting = bytes;
        ++wire_.handshakes;
    }
    void Release() override {}
    std::uint64_t Queue(std::uint8_t byte) override {
        wire_.heard.push_back(byte);
        if (wire_.onQueue) wire_.onQueue(byte);
        return wire_.heard.size();
    }
    bool Written(std::uint64_t place) override { return wire_.sentAtOnce || place <= wire_.sentUpTo; }
    void StopAfterQueued(bool release) override { wire_.stops.emplace_back(wire_.heard.size(), release); }
    bool WaitForSent(std::chrono::milliseconds limit) override {
        wire_.waits.push_back(limit);
        return true;
    }
    bool ListPorts() override { return true; }
    std::vector<Port> Ports() override { return {{kScalePort, "/dev/ttyUSB0"}}; }
    std::string CommErrorText(const char*, int) override { return "refused"; }
    void Shutdown() override {}

private:
    Wire& wire_;
};

// A window without a screen: records what the desk asks of it; posted calls run when the test
// pumps them, on the test's thread.
class FakeView : public desk::View {
public:
    explicit FakeView(Wire& wire) : wire_(wire) {}
    struct Asked {
        desk::Question question;
        std::size_t heard;  // bytes the scale had heard when it was asked
    };
    std::vector<Asked> asked;
    std::vector<std::string> savePaths;
    int progressShown = 0, closed = 0;
    std::u16string title;
    std::vector<std::u16string> languages;
    int languageShown = -1;
    std::vector<int> timers;  // every timer asked for, in milliseconds

    void Post(std::function<void()> fn) override {
        {
            std::lock_guard lock(mutex_);
            posted_.push_back(std::move(fn));
        }
        changed_.notify_all();
    }
    void StartTimer(int ms) override { timers.push_back(ms); }
    void RowsInserted(std::size_t, std::size_t) override {}
    void RowsRemoved(std::size_t, std::size_t) override {}
    void RowsChanged(std::size_t, std::size_t) override {}
    void RowsReset() override {}
    void TitlesChanged() override {}
    void ShowTexts() override {}
    void ShowState(const desk::State& state) override { title = state.title; }
    void ShowPorts(const std::u16string&, const std::vector<desk::PortItem>&) override {}
    void ShowLanguages(const std::vector<std::u16string>& names, const std::vector<std::string>&, int selection) override {
        languages = names;
        languageShown = selection;
    }
    void Ask(const desk::Question& question) override { asked.push_back({question, wire_.heard.size()}); }
    void AskSavePath(const std::string& fileName, const std::string&) override { savePaths.push_back(fileName); }
    void ShowProgress(const std::u16string&, const std::u16string&) override { ++progressShown; }
    void HideProgress() override {}
    void Close() override { ++closed; }

    bool RunOne() {
        std::function<void()> fn;
        {
            std::lock_guard lock(mutex_);
            if (posted_.empty()) return false;
            fn = std::move(posted_.front());
            posted_.pop_front();
        }
        fn();
        return true;
    }
    void RunPosted() {
        for (std::unique_lock lock(mutex_); !posted_.empty(); lock.lock()) {
            const std::function<void()> fn = std::move(posted_.front());
            posted_.pop_front();
            lock.unlock();
            fn();
        }
    }
    // Runs posted calls until `done` holds; false when it did not within `limit`.
    bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            RunPosted();
            if (done()) return true;
            if (std::chrono::steady_clock::now() > end) return false;
            std::unique_lock lock(mutex_);
            changed_.wait_for(lock, 5ms, [this] { return !posted_.empty(); });
        }
    }

private:
    Wire& wire_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> posted_;
};

class DeskTest : public ::testing::Test {
protected:
    DeskTest() : folder_("desk") {
        std::filesystem::copy_file(ProgramFolder::SourceDir() / "Setting.ini", folder_.File("Setting.ini"),
                                   std::filesystem::copy_options::overwrite_existing);
    }

    void Open(std::size_t lastRow, const std::string& journalFolder = {}) {
        desk_.reset();
        view_ = std::make_unique<FakeView>(wire_);
        desk::Options options;
        options.places = places_;
        options.journalFolder = journalFolder;
        options.lastRow = lastRow;
        options.now = [] { return std::int64_t{1700000000}; };
        options.clock = [this] { return clock_; };
        options.timings.cyclePause = 1h;  // the Test mode's search never comes round here
        options.protocol = protocol_;
        desk_ = std::make_unique<desk::Desk>(*view_, options, std::make_unique<FakeLine>(wire_));
        desk_->Start();
        view_->RunPosted();
    }
    // The operator connects to the scale's port; the scale answers the handshake, with what it
    // sends right behind its answer.
    void Connect(const Bytes& behindReply = {}) {
        desk_->ToggleConnection(1);
        ASSERT_TRUE(view_->PumpUntil([this] { return wire_.handshakes > 0; }));
        const Bytes reply = Join({{scale::kGreetingReply}, behindReply});
        desk_->OnSerialData(reply.data(), reply.size());
        ASSERT_TRUE(view_->PumpUntil([this] { return desk_->Connected(); }));
        if (behindReply.empty()) {
            ASSERT_EQ(wire_.Take(), Bytes{});
        }
    }
    void Feed(const Bytes& bytes) {
        desk_->OnSerialData(bytes.data(), bytes.size());
        view_->RunPosted();
    }
    void Later(std::chrono::milliseconds span) {
        clock_ += span;
        desk_->OnTimer();
        view_->RunPosted();
    }

    std::u16string Message(const char16_t* key) const {
        std::u16string text = desk_->Text(u"Message", key);
        EXPECT_FALSE(text.empty()) << "no text for a question";
        return text;
    }
    // Questions are found by their kind, never by their words.
    int TimesAsked(desk::Prompt kind) const {
        return static_cast<int>(std::count_if(view_->asked.begin(), view_->asked.end(),
                                               [&](const FakeView::Asked& a) { return a.question.kind == kind; }));
    }
    // Answers the question shown last, which must be of `kind`.
    void Answer(desk::Prompt kind, int answer) {
        ASSERT_TRUE(desk_->QuestionOpen());
        const desk::Question q = view_->asked.back().question;
        ASSERT_EQ(q.kind, kind);
        desk_->Answer(q.id, answer);
    }
    std::vector<std::u16string> Column(int column) const {
        std::vector<std::u16string> texts;
        for (std::size_t r = 0; r < desk_->Table().size(); ++r) texts.emplace_back(desk_->Table().Text(r, column));
        return texts;
    }
    // The workbooks in the program's folder.
    long Workbooks() const {
        const std::filesystem::directory_iterator files(folder_.Path());
        return std::count_if(begin(files), end(files), [](const auto& e) { return e.path().extension() == ".xls"; });
    }

    Wire wire_;
    ProgramFolder folder_;
    platform::ProgramPlaces places_ = folder_.Places();
    std::chrono::steady_clock::time_point clock_{std::chrono::hours(1)};
    // The desk's tests are about one scale: the six-byte one unless a test plugs in another.
    std::shared_ptr<const scale::ScaleProtocol> protocol_ = std::make_shared<scale::SixByteProtocol>();
    std::unique_ptr<FakeView> view_;
    std::unique_ptr<desk::Desk> desk_;  // last: goes first
};

// ---- frames ----

// Every kind of batch the line brings, one after the other, and what the scale hears for each.
TEST_F(DeskTest, EveryBatchGetsItsAnswerAndItsRow) {
    Open(99);
    Connect();
    const std::u16string error = desk_->Text(u"ListCtrl_Header", u"Error_EX"),
                         overweight = desk_->Text(u"ListCtrl_Header", u"Overweight"),
                         received = desk_->Text(u"Message", u"CMD_ERROR");

    Feed(Weight(1234));
    EXPECT_EQ(wire_.Take(), Bytes{kAck});
    Feed(kDamaged);  // asked again, no row
    EXPECT_EQ(wire_.Take(), Bytes{kBad});
    EXPECT_EQ(desk_->Table().size(), 1u);
    Feed(kDamaged);  // the second in a row is an error row
    EXPECT_EQ(wire_.Take(), Bytes{kAck});
    Feed(kOverweight);
    EXPECT_EQ(wire_.Take(), Bytes{kAck});

    // A frame in two pieces 60 ms apart, and one whose rest comes just inside the wait.
    const Bytes split = Weight(2500), late = Weight(3100);
    Feed({split.begin(), split.begin() + 3});
    Later(60ms);
    Feed({split.begin() + 3, split.end()});
    EXPECT_EQ(wire_.Take(), Bytes{kAck});
    Feed({late.begin(), late.begin() + 2});
    Later(190ms);
    EXPECT_EQ(wire_.Take(), Bytes{});
    Feed({late.begin() + 2, late.end()});
    EXPECT_EQ(wire_.Take(), Bytes{kAck});

    // Pieces whose rest never comes are judged once 200 ms have passed since their first byte,
    // padded: a first one is asked again, a second one in a row is an error row showing its bytes.
    Feed({0x5F, 0x08, 0x03});
    Later(199ms);
    EXPECT_EQ(wire_.Take(), Bytes{});
    Later(1ms);
    EXPECT_EQ(wire_.Take(), Bytes{kBad});
    Feed({0x5F});
    Later(200ms);
    EXPECT_EQ(wire_.Take(), Bytes{kAck});
    // A timer that comes a fraction of a millisecond early is asked to come back: the piece is
    // never left unjudged (and the scale unanswered).
    Feed({0x5F, 0x08});
    clock_ += std::chrono::microseconds(199500);
    view_->timers.clear();
    desk_->OnTimer();
    ASSERT_EQ(view_->timers, std::vector<int>{1});
    clock_ += std::chrono::microseconds(500);
    desk_->OnTimer();
    EXPECT_EQ(wire_.Take(), Bytes{kBad});

    EXPECT_EQ(Column(weighing::kData),
              (std::vector<std::u16string>{KgText(Weight(1234)), error, overweight, KgText(split), KgText(late), error}));
    EXPECT_EQ(desk_->Table().Text(1, weighing::kExplan), received + u"5F0800100000");
    EXPECT_EQ(desk_->Table().Text(5, weighing::kExplan), received + u"5F");
    EXPECT_EQ(desk_->Table().ReadingAt(2).kind, weighing::RowKind::Overweight);

    // Several whole frames in one read, with the start of the next one behind them.
    const Bytes third = Weight(4200);
    Feed(Join({Weight(4000), kOverweight, Weight(4100), {third.begin(), third.begin() + 2}}));
    EXPECT_EQ(wire_.Take(), (Bytes{kAck, kAck, kAck}));
    Feed({third.begin() + 2, third.end()});
    EXPECT_EQ(wire_.Take(), Bytes{kAck}) << "the frame begun behind whole ones is not waited for";
    const std::vector<std::u16string> data = Column(weighing::kData);
    EXPECT_EQ(std::vector<std::u16string>(data.begin() + 6, data.end()),
              (std::vector<std::u16string>{KgText(Weight(4000)), overweight, KgText(Weight(4100)), KgText(third)}));

    // A damaged frame begun behind a whole one is still a frame: asked again, and the frames
    // behind it stay in step. A stray byte behind a frame is the end of that read.
    Bytes damaged = Weight(4300);
    damaged[5] ^= 0xFF;
    Feed(Join({Weight(4400), {damaged.begin(), damaged.begin() + 3}}));
    Feed(Join({{damaged.begin() + 3, damaged.end()}, Weight(4500), Weight(4600)}));
    Feed(Join({Weight(4700), {0x8B}}));
    Feed(Weight(4800));
    EXPECT_EQ(wire_.Take(), (Bytes{kAck, kBad, kAck, kAck, kAck, kAck}));
    EXPECT_EQ(Column(weighing::kData).back(), KgText(Weight(4800)));
    EXPECT_EQ(desk_->Table().size(), 15u);
}

// Errors keep coming: the question is asked behind the fourth error row's answer, the line goes
// on while it is open, and a Yes disconnects after the frames already answered.
// The questions on their own: one box at a time, in order; a notice already waiting is not
// queued twice; a question is known by its kind; a stale answer changes nothing; none shows while
// the save dialog is open; the last answer lets the held work run.
TEST(QuestionsTest, OneBoxAtATimeEachKnownByItsKind) {
    using desk::Prompt;
    Wire wire;
    FakeView view(wire);
    weighing::TableRules rules;
    weighing::HeldWork held(rules);
    bool mayShow = true;
    int idle = 0;
    desk::Questions questions(view, held, [&] { return mayShow; }, [&] { ++idle; });
    std::vector<int> answers;
    questions.Ask(Prompt::Notice, desk::kOkOnly, u"no port");
    questions.Ask(Prompt::Notice, desk::kOkOnly, u"no port");  // says nothing new
    questions.Ask(Prompt::LineError, desk::kOkOnly, u"write failed", {}, true);
    questions.Ask(Prompt::PortClose, desk::kYesNo, u"save first?", [&](int a) { answers.push_back(a); });
    ASSERT_EQ(view.asked.size(), 1u);
    EXPECT_FALSE(held.Idle());
    EXPECT_TRUE(questions.Asked(Prompt::PortClose));
    EXPECT_FALSE(questions.Asked(Prompt::CloseExe));
    questions.Forget(Prompt::LineError);  // (the device went away: its box says nothing more)
    questions.Answer(view.asked[0].question.id + 7, desk::kOk);  // stale
    ASSERT_EQ(view.asked.size(), 1u);
    questions.Answer(view.asked[0].question.id, desk::kOk);
    ASSERT_EQ(view.asked.size(), 2u);
    EXPECT_EQ(view.asked[1].question.kind, Prompt::PortClose);
    EXPECT_EQ(idle, 0);
    mayShow = false;  // the save dialog opens
    questions.Ask(Prompt::CloseExe, desk::kYesNo, u"close?", [&](int a) { answers.push_back(a); });
    questions.Answer(view.asked[1].question.id, desk::kNo);
    EXPECT_EQ(answers, std::vector<int>{desk::kNo});
    EXPECT_EQ(view.asked.size(), 2u) << "a box over the save dialog";
    EXPECT_EQ(idle, 1);
    mayShow = true;
    questions.ShowNext();
    ASSERT_EQ(view.asked.size(), 3u);
    EXPECT_EQ(view.asked[2].question.kind, Prompt::CloseExe);
    questions.Answer(view.asked[2].question.id, desk::kYes);
    EXPECT_EQ(answers, (std::vector<int>{desk::kNo, desk::kYes}));
    EXPECT_FALSE(questions.Open());
    EXPECT_TRUE(held.Idle());
    EXPECT_EQ(idle, 2);
}

// The table's jobs on their own: one at a time; a save writes and removes exactly the rows it
// took, while rows keep coming; what is refused meanwhile; a cancelled save starts nothing.
TEST(TableJobsTest, OneJobAtATimeAndASaveRemovesExactlyItsRows) {
    Wire wire;
    FakeView view(wire);
    ProgramFolder folder("jobs");
    const platform::ProgramPlaces places = folder.Places();
    weighing::MeasurementTable table;
    weighing::TableRules rules;
    weighing::HeldWork held(rules);
    desk::Languages languages(places);
    languages.Load();
    desk::Questions questions(view, held, [] { return true; }, [] {});
    desk::JournalKeeper keeper({}, table);
    // The desk's side: posted calls go through the view, the job's end is taken up at once.
    struct Host : desk::JobHost {
        Host(FakeView& v, weighing::HeldWork& h) : view(v), held(h) {}
        FakeView& view;
        weighing::HeldWork& held;
        int unit = weighing::kKg;
        void ShowState() override {}
        bool CommitJournal(bool) override { return false; }
        void RequestPending() override { held.Run({[] {}, [](int, const std::u16string&) {}, [] {}, [] {}, [] {}, [] { return false; }}); }
        void PostSafe(std::function<void()> fn) override { view.Post(std::move(fn)); }
        std::int64_t Now() const override { return 1700000000; }
        bool Closing() const override { return false; }
        int Unit() const override { return unit; }
        void SetUnit(int u) override { unit = u; }
        void TableEmptied() override {}
        void TakeUpTheScale() override {}
    } host(view, held);
    desk::TableJobs jobs({view, table, rules, held, questions, keeper, languages, places}, host);
    const auto add = [&](double kg) {
        const std::u16string number = weighing::NumberText(table.size());
        table.Append({number, u"1.000", u"KG", u"", u"", u""}, {weighing::RowKind::Weight, kg, 3});
    };
    for (double kg : {1.0, 2.0, 3.0}) add(kg);

    jobs.OnSaveTable();
    ASSERT_EQ(view.savePaths.size(), 1u);
    jobs.OnUnit(weighing::kLb);   // refused: the save owns the table
    jobs.OnClearData();           // refused too
    EXPECT_EQ(host.unit, weighing::kKg);
    EXPECT_TRUE(view.asked.empty());
    add(4.0);  // a weighing while the operator chooses the file
    jobs.SavePathChosen(folder.File("saved.xls"));
    ASSERT_TRUE(view.PumpUntil([&] { return !rules.Busy(); }));
    EXPECT_TRUE(std::filesystem::is_regular_file(folder.File("saved.xls")));
    ASSERT_EQ(table.size(), 1u) << "the save removed other rows than its own";
    EXPECT_EQ(table.ReadingAt(0).kg, 4.0);
    EXPECT_EQ(table.Text(0, weighing::kNumber), weighing::NumberText(0));

    jobs.OnSaveTable();
    jobs.SavePathChosen({});  // cancelled
    EXPECT_FALSE(rules.Busy());
    EXPECT_EQ(table.size(), 1u);
    jobs.OnUnit(weighing::kLb);  // now it may run, in steps on the desk's thread
    ASSERT_TRUE(view.PumpUntil([&] { return !rules.Busy(); }));
    EXPECT_EQ(host.unit, weighing::kLb);
}

// A second kind of scale, in a few lines: greeted with "?", it answers "!"; each weighing is a
// line "W<kg>" ending in CR, answered "K"; a line it cannot read is answered "R" without a row.
class LineScale : public scale::ScaleProtocol {
public:
    std::string Name() const override { return "lines"; }
    std::string DisplayName() const override { return "line scale"; }
    serial::LineUse Use() const override {
        serial::LineUse use;
        use.settings = {19200, 7, 'E', 1};
        use.greeting = {'?'};
        use.recognise = [](const std::uint8_t* bytes, std::size_t count, std::size_t& used) {
            used = 1;
            return count == 0 ? serial::Reply::NotYet : bytes[0] == '!' ? serial::Reply::Scale : serial::Reply::Other;
        };
        return use;
    }
    std::vector<std::uint8_t> Goodbye() const override { return {'Q'}; }
    std::unique_ptr<scale::Session> Open(std::chrono::milliseconds) const override { return std::make_unique<Lines>(); }

private:
    struct Lines : scale::Session {
        std::string line;  // what came of the line so far
        void Take(const std::uint8_t* bytes, std::size_t count, scale::Clock::time_point) override { line.append(bytes, bytes + count); }
        bool Next(scale::Clock::time_point, scale::Message& m) override {
            const auto end = line.find('\r');
            if (end == std::string::npos) return false;
            const std::string text = line.substr(0, end);
            line.erase(0, end + 1);
            m = {};
            m.raw.assign(text.begin(), text.end());
            char* rest = nullptr;
            const double kg = text.size() > 1 && text[0] == 'W' ? std::strtod(text.c_str() + 1, &rest) : 0;
            if (rest && *rest == 0) {
                m.reading = {weighing::RowKind::Weight, kg, 3};
                m.answer = {'K'};
            } else {
                m.kind = scale::Message::Kind::AskAgain;
                m.answer = {'R'};
            }
            return true;
        }
        std::optional<scale::Clock::time_point> Due() const override { return std::nullopt; }
        void ErrorsForgiven() override {}
        void Restart() override { line.clear(); }
    };
};

#ifdef PESAVO_DESK_JOURNAL
std::vector<journal::StoredRow> JournalOnDisk(const std::filesystem::path& folder);  // (below)
#endif

// The line scale plugs into the desk, the engine and the controller as it is: greeted, its lines
// become rows (their bytes in the journal), each answered once it is on disk, and goodbye.
TEST_F(DeskTest, AnotherKindOfScalePlugsIn) {
    protocol_ = std::make_shared<LineScale>();
#ifdef PESAVO_DESK_JOURNAL
    const std::filesystem::path journalFolder = folder_.File("journal");
    Open(99, journalFolder.string());
#else
    Open(99);
#endif
    desk_->ToggleConnection(1);
    ASSERT_TRUE(view_->PumpUntil([this] { return wire_.handshakes > 0; }));
    EXPECT_EQ(wire_.greeting, Bytes{'?'});
    const std::string reply = "!W1.25\rW0.5";  // its first weighing right behind the answer
    desk_->OnSerialData(reinterpret_cast<const std::uint8_t*>(reply.data()), reply.size());
    ASSERT_TRUE(view_->PumpUntil([this] { return desk_->Connected(); }));
    const std::string rest = "00\rnoise\rW12.345\r";
    Feed({rest.begin(), rest.end()});
    EXPECT_EQ(wire_.Take(), (Bytes{'K', 'K', 'R', 'K'}));
    EXPECT_EQ(Column(weighing::kData), (std::vector<std::u16string>{u"1.250", u"0.500", u"12.345"}));
#ifdef PESAVO_DESK_JOURNAL
    desk_->OnSerialMessage(WM_SERIAL_SENT, 0, 0, false, {});
    view_->RunPosted();
    const std::vector<journal::StoredRow> rows = JournalOnDisk(journalFolder);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(std::string(rows[2].frame.begin(), rows[2].frame.end()), "W12.345");
    EXPECT_EQ(rows[2].reading.decimals, 3);
#endif
    desk_->OnClose();
    Answer(desk::Prompt::CloseExe, kYes);
    view_->RunPosted();
    EXPECT_EQ(wire_.Take(), Bytes{'Q'});
}

// A scale that is asked for its weight: polled on the desk's timer, one row per parcel, rows
// journalled as needing no answer; silent for three seconds it is a line gone, closed as an
// unplugged scale is (asked once).
TEST_F(DeskTest, APolledScaleIsAskedOnTheTimerAndFallingSilentIsALostLine) {
    protocol_ = scale::MakeProtocol("8217");
#ifdef PESAVO_DESK_JOURNAL
    const std::filesystem::path journalFolder = folder_.File("journal");
    Open(99, journalFolder.string());
#else
    Open(99);
#endif
    const auto text = [](const char* s) { return Bytes(s, s + std::strlen(s)); };
    desk_->ToggleConnection(1);
    ASSERT_TRUE(view_->PumpUntil([this] { return wire_.handshakes > 0; }));
    EXPECT_EQ(wire_.greeting, Bytes{'W'});
    desk_->OnSerialData(text("\x02" "01.250\r").data(), 8);  // the parcel on the pan answers the probe
    ASSERT_TRUE(view_->PumpUntil([this] { return desk_->Connected(); }));
    EXPECT_NE(view_->title.find(u"8217 COM7"), std::u16string::npos);
    for (int i = 0; i < 3; ++i) Later(200ms);
    EXPECT_EQ(wire_.Take(), text("WWW")) << "polled every 200 ms";
    Later(1000ms);
    EXPECT_EQ(wire_.Take(), text("W")) << "a late timer sends one poll, not a burst";
    Later(1ms);
    EXPECT_EQ(wire_.Take(), Bytes{}) << "nor another right behind it";
    Feed(text("\x02" "01.250\r\x02" "?A\r\x02" "00.000\r\x02" "00.730\r\x02" "00.730\r"));
    EXPECT_EQ(Column(weighing::kData), (std::vector<std::u16string>{u"1.250", u"0.730"}));
    EXPECT_EQ(wire_.Take(), Bytes{}) << "nothing is answered";
#ifdef PESAVO_DESK_JOURNAL
    const std::vector<journal::StoredRow> rows = JournalOnDisk(journalFolder);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_TRUE(rows[0].answered && rows[1].answered);
    EXPECT_EQ(rows[1].frame, text("\x02" "00.730\r"));
#endif
    Later(2900ms);
    EXPECT_EQ(TimesAsked(desk::Prompt::PortClose), 0);
    Later(200ms);
    EXPECT_EQ(TimesAsked(desk::Prompt::PortClose), 1) << "three seconds without a word";
    Later(3000ms);
    EXPECT_EQ(TimesAsked(desk::Prompt::PortClose), 1);
    Answer(desk::Prompt::PortClose, kNo);
    view_->RunPosted();
    EXPECT_FALSE(desk_->Connected());
    EXPECT_EQ(desk_->Table().size(), 0u);
}

TEST_F(DeskTest, ErrorQuestionNeverHoldsTheLine) {
    Open(99);
    Connect();
    for (int i = 0; i < 8; ++i) Feed(kDamaged);
    EXPECT_EQ(wire_.Take(), (Bytes{kBad, kAck, kBad, kAck, kBad, kAck, kBad, kAck}));
    ASSERT_EQ(TimesAsked(desk::Prompt::ErrorError), 1);
    EXPECT_EQ(view_->asked.back().heard, 8u) << "asked before the fourth error row's answer was queued";
    ASSERT_TRUE(desk_->QuestionOpen());

    // While it is open: another error row (not asked again), three weighings in one read.
    Feed(kDamaged);
    Feed(kDamaged);
    Feed(Join({Weight(1001), Weight(1002), Weight(1003)}));
    EXPECT_EQ(wire_.Take(), (Bytes{kBad, kAck, kAck, kAck, kAck}));
    EXPECT_EQ(desk_->Table().size(), 8u);
    EXPECT_EQ(TimesAsked(desk::Prompt::ErrorError), 1);

    // Yes: the rows are asked about first; one that comes meanwhile stays after a No.
    Answer(desk::Prompt::ErrorError, kYes);
    view_->RunPosted();
    EXPECT_EQ(TimesAsked(desk::Prompt::PortClose), 1);
    EXPECT_TRUE(desk_->Connected());
    Feed(Weight(1004));
    Answer(desk::Prompt::PortClose, kNo);
    view_->RunPosted();
    EXPECT_EQ(wire_.Take(), (Bytes{kAck, kBye}));
    EXPECT_EQ(wire_.stops, (std::vector<std::pair<std::size_t, bool>>{{wire_.heard.size(), true}}));
    EXPECT_FALSE(desk_->Connected());
    EXPECT_EQ(Column(weighing::kData), std::vector<std::u16string>{KgText(Weight(1004))});
}

// ---- journal ordering ----

#ifdef PESAVO_DESK_JOURNAL
// The journal as a crash would leave it: a copy of its files, opened on its own.
std::vector<journal::StoredRow> JournalOnDisk(const std::filesystem::path& folder) {
    const std::filesystem::path copy = folder.string() + "-copy";
    std::filesystem::remove_all(copy);
    std::filesystem::create_directories(copy);
    for (const char* suffix : {"", "-wal"}) {
        const std::filesystem::path file = folder / (std::string(journal::kFileName) + suffix);
        if (std::filesystem::exists(file)) std::filesystem::copy_file(file, copy / file.filename());
    }
    journal::Journal::Opening opening = journal::Journal::Open(copy.string());
    if (!opening.journal) {
        ADD_FAILURE() << "the journal's copy does not open: " << opening.error;
        return {};
    }
    return opening.journal->Rows();
}

// Each row is on disk before its answer is queued, and its answer is noted only once written;
// closing while weighings arrive keeps the new ones, and the next start offers them back.
TEST_F(DeskTest, JournalHoldsEveryRowBeforeItsAnswer) {
    const std::filesystem::path journalFolder = folder_.File("journal");
    Open(99, journalFolder.string());
    ASSERT_TRUE(desk_->JournalOn());
    std::vector<std::vector<journal::StoredRow>> atAnswer;  // the journal as each 0x9F is queued
    wire_.onQueue = [&](std::uint8_t byte) {
        if (byte == kAck) atAnswer.push_back(JournalOnDisk(journalFolder));
    };
    wire_.sentAtOnce = false;
    Connect();

    const Bytes first = Weight(1500), second = Weight(1600);
    Feed(first);
    Feed(second);
    ASSERT_EQ(atAnswer.size(), 2u);
    ASSERT_EQ(atAnswer[0].size(), 1u);
    EXPECT_EQ(atAnswer[0][0].frame, first);
    ASSERT_EQ(atAnswer[1].size(), 2u);
    EXPECT_FALSE(atAnswer[1][0].answered) << "noted as answered before the line wrote it";

    // The engine says the answers were written.
    wire_.sentUpTo = wire_.heard.size();
    desk_->OnSerialMessage(WM_SERIAL_SENT, 0, 0, false, {});
    view_->RunPosted();
    std::vector<journal::StoredRow> rows = JournalOnDisk(journalFolder);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_TRUE(rows[1].answered);

    // Weighings arrive while the close question is open: one Yes closes.
    desk_->OnClose();
    ASSERT_EQ(TimesAsked(desk::Prompt::CloseExe), 1);
    const Bytes third = Weight(1700), fourth = Weight(1800);
    Feed(Join({third, fourth}));
    Answer(desk::Prompt::CloseExe, kYes);
    view_->RunPosted();
    EXPECT_EQ(view_->closed, 1);
    EXPECT_EQ(TimesAsked(desk::Prompt::CloseExe), 1);
    EXPECT_EQ(wire_.Take(), (Bytes{kAck, kAck, kAck, kAck, kBye}));
    EXPECT_EQ(wire_.waits, std::vector<std::chrono::milliseconds>{200ms});

    // The next start offers back the rows that came while it was open, and only those.
    wire_.onQueue = nullptr;
    Open(99, journalFolder.string());
    ASSERT_EQ(view_->asked.size(), 1u);
    desk_->Answer(view_->asked.back().question.id, kYes);
    view_->RunPosted();
    EXPECT_EQ(Column(weighing::kData), (std::vector<std::u16string>{KgText(third), KgText(fourth)}));

    // So are the rows of a journal 0.3 left, in the unit it last noted: its weight in pounds as
    // 0.3 showed it, from the decimals its upgrade found.
    const std::filesystem::path old = folder_.File("journal-0.3");
    std::filesystem::create_directories(old);
    std::filesystem::copy_file(ProgramFolder::SourceDir() / "tests" / "journal" / "data" / "journal-0.3.sqlite3", old / journal::kFileName);
    Open(99, old.string());
    ASSERT_EQ(view_->asked.size(), 1u);
    EXPECT_EQ(view_->asked.back().question.mode, desk::kYesNo);
    desk_->Answer(view_->asked.back().question.id, kYes);
    view_->RunPosted();
    EXPECT_EQ(Column(weighing::kData), (std::vector<std::u16string>{u"2.719", desk_->Text(u"ListCtrl_Header", u"Overweight"),
                                                                     desk_->Text(u"ListCtrl_Header", u"Error_EX")}));
    EXPECT_EQ(Column(weighing::kUnit), std::vector<std::u16string>(3, u"LB"));
}

// Rows the operator sends to a file at the next start are written there once: a kill right after
// the file is in place (the disk as it is then, copied) neither offers them again nor writes them
// to a second file.
TEST_F(DeskTest, RecoveredRowsGoToOneFileEvenWhenKilledAsItIsMoved) {
    const std::filesystem::path journalFolder = folder_.File("journal"), killed = folder_.File("killed");
    Open(99, journalFolder.string());
    Connect();
    for (std::uint32_t g : {1500u, 1600u, 1700u}) Feed(Weight(g));
    desk_.reset();  // ended without a save

    std::filesystem::create_directories(killed);
    cfb::detail::SetMovedHook([&](const std::string& to) {
        for (const auto& entry : std::filesystem::directory_iterator(journalFolder))
            if (entry.path().filename().string().find(".damaged") == std::string::npos)
                std::filesystem::copy_file(entry.path(), killed / entry.path().filename(),
                                           std::filesystem::copy_options::overwrite_existing);
        EXPECT_TRUE(std::filesystem::exists(killed / std::filesystem::path(to).filename()));
    });
    Open(99, journalFolder.string());
    ASSERT_EQ(view_->asked.size(), 1u);
    desk_->Answer(view_->asked.back().question.id, kNo);
    cfb::detail::SetMovedHook(nullptr);
    view_->RunPosted();
    ASSERT_EQ(view_->asked.size(), 2u);
    EXPECT_NE(view_->asked.back().question.text.find(u"RecoveredTable-"), std::u16string::npos);

    const auto recovered = [](const std::filesystem::path& folder) {
        const std::filesystem::directory_iterator files(folder);
        return std::count_if(begin(files), end(files), [](const auto& e) { return e.path().extension() == ".xls"; });
    };
    for (const std::filesystem::path& folder : {journalFolder, killed}) {
        Open(99, folder.string());
        EXPECT_TRUE(view_->asked.empty()) << "offered again from " << folder;
        EXPECT_EQ(desk_->Table().size(), 0u);
        EXPECT_EQ(recovered(folder), 1) << folder;
    }
}
#endif

// ---- jobs and held work ----

// The row limit ends the connection at once; the automatic save waits for the open Clear
// question, which removes only the rows it was about.
TEST_F(DeskTest, RowLimitSavesOnceTheQuestionIsAnswered) {
    Open(9);
    Connect();
    for (std::uint32_t g = 1001; g <= 1008; ++g) Feed(Weight(g));
    desk_->OnClearData();
    ASSERT_EQ(TimesAsked(desk::Prompt::ClearData), 1);

    Feed(Join({Weight(1009), Weight(1010)}));  // the ninth and tenth rows: the table is full
    EXPECT_EQ(wire_.Take(), (Bytes{kAck, kAck, kAck, kAck, kAck, kAck, kAck, kAck, kAck, kAck, kBye}));
    EXPECT_EQ(wire_.stops, (std::vector<std::pair<std::size_t, bool>>{{11, true}}));
    EXPECT_FALSE(desk_->Connected());
    view_->RunPosted();
    EXPECT_FALSE(desk_->Busy()) << "the automatic save did not wait for the question";
    EXPECT_EQ(view_->progressShown, 0);
    EXPECT_EQ(Workbooks(), 0);

    Feed(Weight(1011));  // a full table waits for the operator
    EXPECT_EQ(wire_.Take(), Bytes{});

    Answer(desk::Prompt::ClearData, kYes);
    EXPECT_EQ(Column(weighing::kData), (std::vector<std::u16string>{KgText(Weight(1009)), KgText(Weight(1010))}));
    ASSERT_TRUE(view_->PumpUntil([this] { return TimesAsked(desk::Prompt::TableFull) == 1; }));
    EXPECT_EQ(Workbooks(), 1);
    EXPECT_TRUE(desk_->Table().empty());
    EXPECT_TRUE(view_->savePaths.empty());
    EXPECT_EQ(wire_.Take(), Bytes{});
}

// ---- late answers ----

// "Port_Close" answered after the row limit ended the connection: nothing more happens.
TEST_F(DeskTest, PortCloseAnsweredAfterTheRowLimitChangesNothing) {
    Open(9);
    Connect();
    for (std::uint32_t g = 1001; g <= 1008; ++g) Feed(Weight(g));
    desk_->ToggleConnection(1);
    ASSERT_EQ(TimesAsked(desk::Prompt::PortClose), 1);
    Feed(Join({Weight(1009), Weight(1010)}));
    wire_.Take();

    Answer(desk::Prompt::PortClose, kYes);
    ASSERT_TRUE(view_->PumpUntil([this] { return TimesAsked(desk::Prompt::TableFull) == 1; }));
    EXPECT_TRUE(view_->savePaths.empty()) << "a save was asked for on a connection already ended";
    EXPECT_EQ(wire_.Take(), Bytes{});
    EXPECT_EQ(wire_.stops.size(), 1u);
    EXPECT_EQ(Workbooks(), 1);
    EXPECT_TRUE(desk_->Table().empty());
}

// Without a journal the close question comes back once when weighings came while it was
// open — and only once. (The first weighing came right behind the handshake's answer.)
TEST_F(DeskTest, CloseWhileWeighingsArriveEnds) {
    Open(99);
    Connect(Weight(1001));
    EXPECT_EQ(Column(weighing::kData), std::vector<std::u16string>{KgText(Weight(1001))});
    desk_->OnClose();
    Feed(Weight(1002));
    Answer(desk::Prompt::CloseExe, kYes);
    view_->RunPosted();
    EXPECT_EQ(TimesAsked(desk::Prompt::CloseExe), 2);
    EXPECT_EQ(view_->closed, 0);
    Feed(Weight(1003));
    Answer(desk::Prompt::CloseExe, kYes);
    view_->RunPosted();
    EXPECT_EQ(view_->closed, 1);
    EXPECT_EQ(TimesAsked(desk::Prompt::CloseExe), 2);
    EXPECT_EQ(wire_.Take(), (Bytes{kAck, kAck, kAck, kBye}));
}

// ---- an installed program ----

// The program's folder is not the operator's: the language choice, the device map and the
// automatic save live in the operator's own folders, and the program's folder keeps its bytes.
TEST_F(DeskTest, AnInstalledProgramWritesOnlyInTheUsersFolders) {
    places_.userSettings = folder_.Path() + "user/config/pesavo/";
    places_.documents = folder_.Path() + "user/Documents/Pesavo/";
    const std::string shipped = folder_.ReadFile("Setting.ini");
    std::filesystem::create_directories(places_.userSettings);
    // (the program's own map has COM3=/dev/null: the operator's COM3 wins, and the operator's
    // COM8 is /dev/null's only name)
    std::ofstream(places_.userSettings + "SerialComm.ini") << "[SerialComm]\r\nCOM7=/dev/ttyUSB7\r\nCOM3=/dev/ttyUSB3\r\nCOM8=/dev/null\r\n";
    folder_.WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM3=/dev/null\r\nCOM4=/dev/null\r\n");
#ifndef _WIN32  // (Windows lists its ports from the system)
    std::vector<std::pair<std::u16string, std::string>> ports;
    for (const auto& port : platform::ListSerialPorts(places_)) ports.emplace_back(port.name, port.device);
    EXPECT_EQ(ports, (std::vector<std::pair<std::u16string, std::string>>{{u"COM7", "/dev/ttyUSB7"}, {u"COM3", "/dev/ttyUSB3"}, {u"COM8", "/dev/null"}}));
#endif

    std::ofstream(places_.userSettings + "Setting.ini") << "[Language_Configuration]\r\n";  // (left half written)
    Open(9);
    const std::u16string chinese = desk_->Text(u"Message", u"Data_Error");  // the shipped settings' language
    EXPECT_EQ(chinese, localisation::LanguageTexts(folder_.File("Language/Chinese.ini")).Text(u"Message", u"Data_Error"));
    const std::vector<std::string> languages = localisation::ListLanguageFolder(folder_.Path());
    const auto english = std::find_if(languages.begin(), languages.end(), [](const std::string& f) { return f.ends_with("English.ini"); });
    ASSERT_NE(english, languages.end());
    desk_->OnLanguageOK(static_cast<int>(english - languages.begin()));
    EXPECT_FALSE(desk_->QuestionOpen()) << "the choice was not kept";
    EXPECT_EQ(folder_.ReadFile("Setting.ini"), shipped);

    Open(9);  // the next start reads the operator's choice
    EXPECT_NE(desk_->Text(u"Message", u"Data_Error"), chinese);
    Connect();
    for (std::uint32_t g = 1001; g <= 1010; ++g) Feed(Weight(g));
    ASSERT_TRUE(view_->PumpUntil([this] { return desk_->QuestionOpen() && !desk_->Busy(); }));
    const std::u16string notice = view_->asked.back().question.text;
    const std::u16string saved = platform::Utf8ToUtf16(places_.documents) + u"TarnobelDataFile-";
    EXPECT_NE(notice.find(saved), std::u16string::npos) << platform::Utf16ToUtf8(notice);
    EXPECT_EQ(notice.find(Message(u"Data_Error")), std::u16string::npos) << "a notice that the table went beside the program";
    const std::u16string path = notice.substr(notice.find(saved), notice.find(u".xls") + 4 - notice.find(saved));
    EXPECT_TRUE(std::filesystem::is_regular_file(platform::Utf8Path(platform::Utf16ToUtf8(path))));
    EXPECT_EQ(Workbooks(), 0) << "a workbook in the program's folder";
    EXPECT_EQ(folder_.ReadFile("Setting.ini"), shipped);
}

// Settings that name a language file that is gone, or one outside the language folder (never
// opened, though it would work): the window is in English, says why once, and its language list
// shows English, so that Apply does not switch to a language nobody chose.
TEST_F(DeskTest, TheLanguageListShowsTheLanguageInUse) {
    std::filesystem::copy_file(folder_.File("Language/Chinese.ini"), folder_.File("trap.ini"));
    const std::u16string english = localisation::LanguageTexts(folder_.File("Language/English.ini")).Text(u"Dialog_Caption", u"Dialog_Caption");
    for (const char* named : {"\\Missing.ini", "\\..\\trap.ini"}) {
        folder_.WriteSettings(named, "简体中文");
        Open(9);
        EXPECT_EQ(desk_->Text(u"Dialog_Caption", u"Dialog_Caption"), english) << named;
        ASSERT_GE(view_->languageShown, 0) << named;
        EXPECT_EQ(view_->languages[static_cast<std::size_t>(view_->languageShown)], u"English") << named;
        EXPECT_EQ(view_->asked.size(), 1u) << named;
    }
}

#ifdef PESAVO_DESK_SITE
// ---- the site's database ----

// With a Site.ini every weighing reaches the site once, those weighed while its server was down
// too, and the scale's answers never wait for it.
TEST_F(DeskTest, EveryWeighingReachesTheSiteOnceThroughAnOutage) {
    if (!PostgresCluster::Installed()) GTEST_SKIP() << "PostgreSQL 15 is not installed";
    PostgresCluster cluster;
    ASSERT_EQ(cluster.Error(), "");
    cluster.MakeSite({{"desk7", "desk7-secret"}}, {{"desk7", {"desk-07"}}});
    ::setenv("PGPASSFILE", cluster.WritePassFile("pgpass", {{"desk7", "desk7-secret"}}).c_str(), 1);
    folder_.WriteFile("Site.ini", "[Site]\r\nDatabase=" + cluster.Connection("desk7") + "\r\nDesk=desk-07\r\n");
    // Rows and grams at the site (weighing g weighs g grams).
    const auto atSite = [&] { return cluster.Sql("select count(*) || ' ' || coalesce(sum(kg * 1000)::bigint, 0) from pesavo.weighings"); };

    Open(999, folder_.Path() + "journal");
    Connect();
    for (std::uint32_t g = 1001; g <= 1030; ++g) Feed(Weight(g));
    EXPECT_EQ(wire_.Take(), Bytes(30, kAck));
    ASSERT_TRUE(view_->PumpUntil([&] { return atSite() == "30 30465"; }, 20s)) << atSite();
    ASSERT_TRUE(view_->PumpUntil([&] { return view_->title.ends_with(Message(u"Site_Connected")); }));

    ASSERT_TRUE(cluster.Stop());
    for (std::uint32_t g = 1031; g <= 1050; ++g) Feed(Weight(g));
    EXPECT_EQ(wire_.Take(), Bytes(20, kAck)) << "the answers waited for the site";
    ASSERT_TRUE(view_->PumpUntil([&] { return view_->title.find(u"20") != std::u16string::npos; }, 20s));
    desk_->OnClearData();  // the table goes; the weighings stay on their way to the site
    Answer(desk::Prompt::ClearData, kYes);
    ASSERT_TRUE(cluster.Start());
    ASSERT_TRUE(view_->PumpUntil([&] { return atSite() == "50 51275"; }, 60s)) << atSite();
    EXPECT_EQ(cluster.Sql("select count(distinct run) || ' ' || min(desk) from pesavo.weighings"), "1 desk-07");
    EXPECT_EQ(view_->asked.size(), 1u) << "a notice for an outage of seconds";  // (Clear's question alone)

    // The journal's folder goes: the journal is off (told once), and what is weighed meanwhile
    // still reaches the site.
    std::filesystem::remove_all(folder_.File("journal"));
    for (std::uint32_t g = 1051; g <= 1055; ++g) Feed(Weight(g));
    EXPECT_EQ(wire_.Take(), Bytes(5, kAck));
    ASSERT_TRUE(view_->PumpUntil([&] { return atSite() == "55 56540"; }, 20s)) << atSite();
    EXPECT_EQ(view_->asked.size(), 2u);
}
#endif

}  // namespace


// ---- a lost line ----

// The line went while a unit change owned the table, and the operator connected again before it
// ended: the held question about the lost line's rows is moot, and the new connection goes on.
TEST_F(DeskTest, ALostLinesHeldQuestionLeavesTheNextConnectionAlone) {
    Open(99999);
    Connect();
    for (std::uint32_t g = 0; g < 2500; ++g) desk_->OnSerialData(Weight(1000 + g).data(), 6);  // more than a step
    wire_.Take();
    desk_->OnUnit(weighing::kLb);
    desk_->OnSerialMessage(WM_SERIAL_READ_FAILED, 0, 0, false, {});
    ASSERT_TRUE(view_->RunOne());  // the unit change's first step
    ASSERT_TRUE(view_->RunOne());  // the lost line
    ASSERT_TRUE(desk_->Busy());
    EXPECT_FALSE(desk_->Connected());
    const int handshakes = wire_.handshakes;
    desk_->ToggleConnection(1);
    for (int i = 0; i < 1000 && wire_.handshakes == handshakes; ++i) std::this_thread::sleep_for(2ms);
    desk_->OnSerialData(&scale::kGreetingReply, 1);
    ASSERT_TRUE(view_->PumpUntil([this] { return !desk_->Busy() && desk_->Connected(); }));
    view_->RunPosted();
    EXPECT_TRUE(desk_->Connected());
    EXPECT_EQ(TimesAsked(desk::Prompt::PortClose), 0);
    EXPECT_EQ(wire_.stops.size(), 1u) << "only the lost line was ended";
}

// Reconnect=1: a weighing whose answer had not left when the line went, sent again first by the
// scale taken back, is kept and marked as the lost line's, not as an earlier run's.
TEST_F(DeskTest, AWeighingUnansweredWhenTheLineWentIsMarkedOnceTheScaleIsBack) {
    {
        std::ofstream setting(folder_.File("Setting.ini"), std::ios::app | std::ios::binary);  // (UTF-16)
        for (char c : std::string("\r\n[Connection]\r\nReconnect=1\r\n")) setting.put(c).put('\0');
    }
    Open(99);
    Connect();
    wire_.sentAtOnce = false;  // the answer never leaves
    Feed(Weight(1001));
    desk_->OnSerialMessage(WM_SERIAL_READ_FAILED, 0, 0, false, {});
    view_->RunPosted();
    ASSERT_TRUE(desk_->Waiting());
    EXPECT_EQ(TimesAsked(desk::Prompt::PortClose), 0);
    const int handshakes = wire_.handshakes;
    ASSERT_TRUE(view_->PumpUntil([&] { return wire_.handshakes > handshakes; }));
    const Bytes back = Join({{scale::kGreetingReply}, Weight(1001)});
    desk_->OnSerialData(back.data(), back.size());
    ASSERT_TRUE(view_->PumpUntil([this] { return desk_->Table().size() == 2; }));
    const std::vector<std::u16string> explained = Column(weighing::kExplan);
    EXPECT_EQ(explained[0], u"");
    EXPECT_EQ(explained[1], desk_->Text(u"Message", u"Reconnect_Maybe_Repeat"));
    EXPECT_FALSE(explained[1].empty());
}
