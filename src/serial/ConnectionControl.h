#pragma once
// The operator's side of the connection, without any user interface: checking a chosen port,
// searching every port, the endless search of the Test mode, and the connected state. It runs
// at most one worker at a time, so two searches never share the line, the handshake or the
// engine; every wait of that worker ends when it is told to stop.
//
// Commands come from the window's thread. The worker reaches the engine through `Line` and the
// window through `View`; a view call may wait for the window, and gives up when the worker is
// stopped.
#include "platform/Transport.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace serial {

// Waiting: the line of a connection was lost and its port is tried again (Retake).
enum class LinkState { Idle, Checking, Searching, CyclePause, Connected, Waiting };

// Why a port could not be used.
struct OpenFailure {
    int error = 0;                     // the system's reason when the port did not open
    const char* refusedCall = nullptr;  // or the configuration call it refused
    int refusedError = 0;
};

// What the scale's answer to a greeting is, so far.
enum class Reply { NotYet, Scale, Other };

// How the line is used for one kind of scale: what the controller and the engine need of its
// protocol. The bytes themselves are the protocol's business.
struct LineUse {
    std::string kind;  // the scale's kind, for whoever takes up the connection (its protocol's name)
    platform::LineSettings settings;
    std::size_t messageBytes = 1;        // a read pass waits a moment for at least this many bytes
    std::vector<std::uint8_t> greeting;  // sent once the port is open
    // Judges what came since the greeting: Scale when its first `replyBytes` are the scale's
    // answer (what follows is the scale's first data), Other when they are not, NotYet to wait.
    std::function<Reply(const std::uint8_t* bytes, std::size_t count, std::size_t& replyBytes)> recognise;
    // How long the scale may take to answer (or, with no greeting, to be heard); zero: the
    // controller's check times, for a chosen port and for each port of a search.
    std::chrono::milliseconds answerWithin{0};
    // Its scale says nothing until greeted: when anything was heard at the port before, another
    // kind is there, and this greeting is not sent to it.
    bool silentUntilGreeted = false;
};

// The ways to try at a port, in order: the first that is answered connects.
using UsesAt = std::function<std::vector<LineUse>(int port)>;

// What the controller needs of the serial engine.
class Line {
public:
    virtual ~Line() = default;
    virtual int PortCount() = 0;  // positions the search may try
    virtual int PortAt(int position) = 0;
    // Opens the port with `use`'s settings and starts its monitor; false when it did not open.
    // `failure` also tells of a refused setting when it did open.
    virtual bool Open(int port, const LineUse& use, OpenFailure& failure) = 0;
    virtual void Send(const std::vector<std::uint8_t>& bytes) = 0;
    // Ends the monitor and gives the port back to the system.
    virtual void Release() = 0;
    // The port is reached over a network (a serial device server): its answers take longer.
    virtual bool Networked(int /*port*/) { return false; }
};

// What the operator is told.
enum class Notice { ConnectionFails, AutoError, NoPort, CannotOpen, SettingsRefused };

// What the controller needs of the window. Called on the worker; each call returns when the
// window has done it, or false / at once when `stop` was requested.
class View {
public:
    virtual ~View() = default;
    virtual bool ShowConnected(std::stop_token stop) = 0;
    virtual void Tell(Notice notice, int port, const OpenFailure& why, std::stop_token stop) = 0;
    // Lists the ports again (the Test cycle); false when stopped.
    virtual bool RefreshPorts(std::stop_token stop) = 0;
};

struct Timings {
    std::chrono::milliseconds manualCheck{1000};  // a port the operator chose
    std::chrono::milliseconds searchCheck{200};   // each port of a search
    std::chrono::milliseconds cyclePause{500};    // before each round of the Test cycle
};

class ConnectionControl {
public:
    // `uses` gives the ways to try at a port (called on the worker); a controller for one kind of
    // scale may be given its one way.
    ConnectionControl(Line& line, View& view, UsesAt uses, Timings timings = {});
    ConnectionControl(Line& line, View& view, LineUse use, Timings timings = {});
    ~ConnectionControl();
    ConnectionControl(const ConnectionControl&) = delete;
    ConnectionControl& operator=(const ConnectionControl&) = delete;

    // The connect button: position ≥ 1 checks that port of the list, 0 searches them all. A
    // check or search the operator started is left to finish (false: ignored); one of the Test
    // cycle gives way to the operator's.
    bool Connect(int position);
    // The first connection after a full table: the port that was connected last.
    bool Reconnect();
    // The connected line was lost: its port is tried again every `every` with the kind of scale
    // that was connected there, telling the operator nothing, until a scale of that kind answers
    // (ShowConnected) or Stop. Its port and kind are kept for the next Retake.
    void Retake(std::chrono::milliseconds every);
    int Retries() const;  // tries at the port since the last Retake began
    // The Test mode: on for good; its search runs whenever nothing is connected or checked.
    void StartTestMode();
    bool TestMode() const;
    // The window closed the connection: the Test cycle takes over when it is on, unless
    // `searchAgain` is false (a full table waits for the operator).
    void Disconnected(bool searchAgain = true);
    // A batch from the line while not connected (the window's thread).
    void Received(const std::uint8_t* bytes, std::size_t count);
    // Bytes that came right behind the handshake reply: the scale's first frame. Taken once.
    std::vector<std::uint8_t> TakeEarlyBytes();

    LinkState State() const;
    int SearchIndex() const;    // position the search is trying, or tried last
    int ConnectedPort() const;  // port of the last connection, 0 before the first
    std::string ConnectedKind() const;  // the kind of scale that answered there
    // Ends the worker and waits for it (closing the window).
    void Stop();

private:
    enum class Chain { Manual, Search, Cycle, Retake };
    void Start(Chain chain, int port, std::chrono::milliseconds every = {});
    void Run(Chain chain, int port, std::chrono::milliseconds every, std::stop_token stop);
    // Tries `port` with `kind` every `every` until it answers or `stop`.
    bool RetakeLine(int port, const std::string& kind, std::chrono::milliseconds every, std::stop_token stop);
    // Tries each way of `port` in turn: true when a scale answered (then the port stays open
    // with its settings). `opened` tells whether the port opened at all. A refused setting is
    // told unless `told`, which it then sets. With `only`, just the ways of that kind (all when
    // the port has none of it).
    bool Check(int port, std::chrono::milliseconds limit, bool& told, OpenFailure& failure, bool& opened,
               std::stop_token stop, const std::string& only = {});
    // One way: opens the port with `use`'s settings, greets and waits for the answer (or for
    // `listen`'s scale, heard unasked).
    bool Try(int port, const LineUse& use, const LineUse* listen, std::chrono::milliseconds limit, OpenFailure& failure,
             bool& opened, std::stop_token stop);
    // One pass over every port; true when one answered.
    bool SearchAll(bool& told, std::stop_token stop);
    void Become(LinkState state);
    Chain BecomeCycle();
    bool Pause(std::chrono::milliseconds limit, std::stop_token stop);

    Line& line_;
    View& view_;
    const Timings timings_;

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable_any changed_;
    LinkState state_ = LinkState::Idle;
    Chain chain_ = Chain::Manual;
    bool testMode_ = false;
    const UsesAt uses_;
    LineUse trying_;  // the way being tried: its answer is judged by it
    LineUse listening_;  // a kind that speaks unasked, listened for meanwhile (none: no recogniser)
    std::string answeredKind_;  // which of the two the answer was
    bool heardAtPort_ = false;  // anything came from the port being checked
    std::string connectedKind_;
    std::string connectedUse_;  // the kind that answered, until the port is taken as connected
    bool replied_ = false;  // the scale's answer (or another's) came since the last greeting
    bool recognised_ = false;
    std::vector<std::uint8_t> reply_;  // what came since the greeting, until it was judged
    std::vector<std::uint8_t> early_;
    int searchIndex_ = 0;
    int retries_ = 0;
    int connectedPort_ = 0;
    std::jthread worker_;
};

}  // namespace serial
