// The connection controller's rules without a window or a line: one worker at a time, what a
// second click or the Test button does meanwhile, waits that end on a stop, and what the
// operator is told.
#include "ConnectionControl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>

namespace {

using namespace std::chrono_literals;
using serial::LinkState;
using serial::Notice;

// A scale greeted with "?" that answers "!" (the controller knows neither byte).
constexpr std::uint8_t kAsk = '?', kAnswer = '!';
serial::LineUse TestScale() {
    serial::LineUse use;
    use.greeting = {kAsk};
    use.recognise = [](const std::uint8_t* bytes, std::size_t count, std::size_t& used) {
        if (count == 0) return serial::Reply::NotYet;
        used = 1;
        return bytes[0] == kAnswer ? serial::Reply::Scale : serial::Reply::Other;
    };
    return use;
}

// Ports with the behaviour a test gives them; records what the controller does to them.
class FakeLine : public serial::Line {
public:
    struct Port {
        bool opens = true;
        int error = 0;
        const char* refused = nullptr;
        bool answers = false;
        std::vector<std::uint8_t> reply = {kAnswer};
        std::vector<std::uint8_t> answersTo = {kAsk};  // the greeting it answers
    };
    serial::ConnectionControl* control = nullptr;
    std::mutex mutex;
    std::vector<int> list;          // port numbers at positions 1..n
    std::map<int, Port> ports;
    std::vector<int> opened;        // in order
    std::vector<std::pair<int, std::vector<std::uint8_t>>> sent;  // each greeting, with its port
    int current = 0, released = 0;
    std::atomic<int> busy{0}, overlapped{0};  // workers inside the line at once

    int PortCount() override {
        std::lock_guard lock(mutex);
        return static_cast<int>(list.size());
    }
    int PortAt(int position) override {
        std::lock_guard lock(mutex);
        return position >= 1 && position <= static_cast<int>(list.size()) ? list[static_cast<std::size_t>(position - 1)] : 0;
    }
    bool Open(int port, const serial::LineUse&, serial::OpenFailure& failure) override {
        Enter();
        std::lock_guard lock(mutex);
        const Port p = ports[port];
        opened.push_back(port);
        current = port;
        failure = {p.opens ? 0 : p.error, p.opens ? p.refused : nullptr, p.refused ? 25 : 0};
        --busy;
        return p.opens;
    }
    void Send(const std::vector<std::uint8_t>& bytes) override {
        Enter();
        Port p;
        {
            std::lock_guard lock(mutex);
            p = ports[current];
            sent.emplace_back(current, bytes);
        }
        --busy;
        if (bytes == p.answersTo && p.answers) control->Received(p.reply.data(), p.reply.size());
    }
    void Release() override {
        std::lock_guard lock(mutex);
        ++released;
    }
    std::vector<int> Opened() {
        std::lock_guard lock(mutex);
        return opened;
    }

private:
    void Enter() {
        if (++busy > 1) ++overlapped;
    }
};

class FakeView : public serial::View {
public:
    std::mutex mutex;
    std::condition_variable_any changed;
    std::vector<Notice> told;
    int connected = 0;
    bool holdTell = false;  // a box the operator leaves open

    bool ShowConnected(std::stop_token) override {
        std::lock_guard lock(mutex);
        ++connected;
        changed.notify_all();
        return true;
    }
    void Tell(Notice notice, int, const serial::OpenFailure&, std::stop_token stop) override {
        std::unique_lock lock(mutex);
        told.push_back(notice);
        changed.notify_all();
        if (holdTell) changed.wait(lock, stop, [] { return false; });
    }
    bool RefreshPorts(std::stop_token stop) override { return !stop.stop_requested(); }
    template <typename Pred>
    bool WaitFor(Pred pred, std::chrono::milliseconds limit = 5s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, pred);
    }
    int Count(Notice n) {
        std::lock_guard lock(mutex);
        return static_cast<int>(std::count(told.begin(), told.end(), n));
    }
};

// Waits until `pred` holds, looking every few milliseconds; false after `limit`.
template <typename Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

int CountOf(const std::vector<int>& v, int n) { return static_cast<int>(std::count(v.begin(), v.end(), n)); }

class ConnectionControlTest : public ::testing::Test {
protected:
    FakeLine line;
    FakeView view;
    serial::ConnectionControl control{line, view, TestScale(), {100ms, 30ms, 40ms}};
    void SetUp() override { line.control = &control; }
    void TearDown() override { control.Stop(); }
    void Ports(std::initializer_list<std::pair<int, FakeLine::Port>> ports) {
        std::lock_guard lock(line.mutex);
        for (const auto& [n, p] : ports) {
            line.list.push_back(n);
            line.ports[n] = p;
        }
    }
};

TEST_F(ConnectionControlTest, ASecondClickDuringASearchStartsNothingAndTheSearchConnects) {
    Ports({{3, {}}, {4, {}}, {5, {.answers = true, .reply = {kAnswer, 0x5F, 0x02, 0x00, 0x04, 0xD2, 0x8B}}}});
    ASSERT_TRUE(control.Connect(0));
    EXPECT_FALSE(control.Connect(0));  // the impatient operator
    EXPECT_FALSE(control.Connect(2));
    ASSERT_TRUE(view.WaitFor([&] { return view.connected == 1; }));
    EXPECT_EQ(control.State(), LinkState::Connected);
    EXPECT_EQ(line.Opened(), (std::vector<int>{3, 4, 5}));  // each port once, in order
    EXPECT_EQ(line.overlapped.load(), 0);
    EXPECT_EQ(control.SearchIndex(), 3);
    EXPECT_EQ(control.ConnectedPort(), 5);
    // The weighing that came right behind the reply is kept for the window, once.
    EXPECT_EQ(control.TakeEarlyBytes(), (std::vector<std::uint8_t>{0x5F, 0x02, 0x00, 0x04, 0xD2, 0x8B}));
    EXPECT_TRUE(control.TakeEarlyBytes().empty());

    // Connected: the Test button and another click change nothing.
    control.StartTestMode();
    EXPECT_TRUE(control.TestMode());
    EXPECT_FALSE(control.Connect(0));
    EXPECT_EQ(control.State(), LinkState::Connected);
    EXPECT_EQ(line.Opened().size(), 3u);
    // After a full table, the port that was connected comes back.
    control.Disconnected();
    EXPECT_TRUE(control.Reconnect());
    ASSERT_TRUE(view.WaitFor([&] { return view.connected == 2; }));
    EXPECT_EQ(line.Opened().back(), 5);
}

TEST_F(ConnectionControlTest, TheTestCycleGivesWayToTheOperatorAndTellsARefusedSettingOnce) {
    Ports({{7, {.refused = "tcgetattr()"}}, {8, {.opens = false, .error = 16}}});
    control.StartTestMode();
    // Several rounds over a port that refuses its settings and one another program holds.
    ASSERT_TRUE(Eventually([&] { return CountOf(line.Opened(), 7) >= 3; }));
    EXPECT_EQ(view.Count(Notice::SettingsRefused), 1);
    EXPECT_EQ(view.Count(Notice::CannotOpen), 0);  // the search moves on quietly

    // The operator's choice replaces the cycle: told at once why the port did not open.
    ASSERT_TRUE(control.Connect(2));
    ASSERT_TRUE(Eventually([&] { return view.Count(Notice::CannotOpen) == 1; }));
    EXPECT_EQ(line.overlapped.load(), 0);
    // The Test mode then searches on.
    const std::size_t before = line.Opened().size();
    EXPECT_TRUE(Eventually([&] { return line.Opened().size() > before + 2; }));
}

// The Test mode searches whenever nothing is connected or checked: after a failed check of the
// operator's, after every close; the operator's click always takes over from its search, and a
// refused setting is told once per action.
TEST_F(ConnectionControlTest, TheTestModeSearchesAfterEveryCloseAndTheOperatorCanAlwaysTakeOver) {
    Ports({{1, {.refused = "tcgetattr()"}}, {2, {.answers = true}}});
    control.StartTestMode();
    ASSERT_TRUE(view.WaitFor([&] { return view.connected == 1; }));
    EXPECT_EQ(view.Count(Notice::SettingsRefused), 1);
    for (int close = 2; close <= 3; ++close) {
        control.Disconnected();  // every close: the search takes up the scale again
        ASSERT_TRUE(view.WaitFor([&] { return view.connected == close; })) << close;
    }
    EXPECT_EQ(view.Count(Notice::SettingsRefused), 3);  // once per round that the cycle began anew

    control.Disconnected(false);  // a full table: no search
    EXPECT_EQ(control.State(), LinkState::Idle);
    {
        std::lock_guard lock(line.mutex);
        line.ports[2].answers = false;
    }
    ASSERT_TRUE(control.Connect(1));  // the refusing port, by hand: told once, then the cycle
    ASSERT_TRUE(Eventually([&] { return view.Count(Notice::ConnectionFails) == 1; }));
    ASSERT_TRUE(Eventually([&] { return CountOf(line.Opened(), 2) >= 6; }));  // the cycle searches on...
    EXPECT_EQ(view.Count(Notice::SettingsRefused), 4);  // ...without telling it again
    ASSERT_TRUE(control.Connect(2));  // and a click takes over from it
    ASSERT_TRUE(Eventually([&] { return view.Count(Notice::ConnectionFails) == 2; }));
    EXPECT_EQ(line.overlapped.load(), 0);
}

TEST_F(ConnectionControlTest, StopEndsEveryWaitEvenAnOpenBox) {
    Ports({{9, {}}});
    view.holdTell = true;
    ASSERT_TRUE(control.Connect(1));  // no answer: "Connection_Fails", and the box stays open
    ASSERT_TRUE(view.WaitFor([&] { return view.told.size() == 1; }));
    EXPECT_EQ(view.told.front(), Notice::ConnectionFails);
    control.Stop();  // returns: the box's wait ended with the stop
    EXPECT_EQ(control.State(), LinkState::Idle);
    std::lock_guard lock(line.mutex);
    EXPECT_GE(line.released, 1);  // the silent port went back to the system
}

}  // namespace

// Every kind of scale is tried at each port, in the order given, each with its own greeting and
// wait; a port that does not open is not tried again; a kind that speaks only when greeted is
// not greeted where something else spoke (its greeting may be that one's command); the kind
// that answered is known.
TEST(ConnectionControlKinds, EachPortIsTriedWithEveryKindInOrderAndTheKindThatAnsweredIsKnown) {
    FakeLine line;
    FakeView view;
    const auto kind = [](const char* name, std::uint8_t greeting, std::uint8_t answer) {
        serial::LineUse use;
        use.kind = name;
        use.greeting = {greeting};
        use.answerWithin = 20ms;
        use.recognise = [answer](const std::uint8_t* bytes, std::size_t count, std::size_t& used) {
            if (count == 0) return serial::Reply::NotYet;
            used = 1;
            return bytes[0] == answer ? serial::Reply::Scale : serial::Reply::Other;
        };
        return use;
    };
    std::vector<int> asked;
    serial::ConnectionControl control{line, view, [&](int port) {
        asked.push_back(port);
        std::vector<serial::LineUse> uses = {kind("a", 'a', 'A'), kind("b", 'b', 'B'), kind("c", 'c', 'C')};
        uses[2].silentUntilGreeted = true;
        return uses;
    }, {100ms, 30ms, 40ms}};
    line.control = &control;
    line.list = {3, 5, 8};
    line.ports[3] = {.opens = false, .error = 2};
    line.ports[5] = {.answers = true, .reply = {'x'}, .answersTo = {'a'}};  // a scale none of them knows
    line.ports[8] = {.answers = true, .reply = {'B', 0x42}, .answersTo = {'b'}};
    ASSERT_TRUE(control.Connect(0));
    ASSERT_TRUE(view.WaitFor([&] { return view.connected == 1; }));
    EXPECT_EQ(line.Opened(), (std::vector<int>{3, 5, 5, 8, 8}));
    using Sent = std::vector<std::pair<int, std::vector<std::uint8_t>>>;
    EXPECT_EQ(line.sent, (Sent{{5, {'a'}}, {5, {'b'}}, {8, {'a'}}, {8, {'b'}}}));
    EXPECT_GE(line.released, 3) << "each way of 5 given back after it, and 8's first";
    EXPECT_EQ(control.ConnectedKind(), "b");
    EXPECT_EQ(control.ConnectedPort(), 8);
    EXPECT_EQ(control.TakeEarlyBytes(), std::vector<std::uint8_t>{0x42});
    EXPECT_EQ(asked, (std::vector<int>{3, 5, 8}));
    control.Stop();
}
