#include "ConnectionControl.h"

#include <algorithm>
#include <utility>

namespace serial {

ConnectionControl::ConnectionControl(Line& line, View& view, UsesAt uses, Timings timings)
    : line_(line), view_(view), timings_(timings), uses_(std::move(uses)) {}

ConnectionControl::ConnectionControl(Line& line, View& view, LineUse use, Timings timings)
    : ConnectionControl(line, view, [use = std::move(use)](int) { return std::vector<LineUse>{use}; }, timings) {}

ConnectionControl::~ConnectionControl() { Stop(); }

// ---- commands (the window's thread) ----

bool ConnectionControl::Connect(int position) {
    {
        std::lock_guard lock(mutex_);
        if (state_ == LinkState::Connected) return false;
        // The operator's own check or search runs: a second click does not start another.
        if ((state_ == LinkState::Checking || state_ == LinkState::Searching) && chain_ != Chain::Cycle) return false;
    }
    if (position > 0) {
        Start(Chain::Manual, line_.PortAt(position));
    } else {
        Start(Chain::Search, 0);
    }
    return true;
}

bool ConnectionControl::Reconnect() {
    int port;
    {
        std::lock_guard lock(mutex_);
        if (state_ == LinkState::Connected) return false;
        port = connectedPort_;
    }
    if (port <= 0) port = line_.PortAt(1);
    Start(Chain::Manual, port);
    return true;
}

void ConnectionControl::Retake(std::chrono::milliseconds every) {
    int port;
    {
        std::lock_guard lock(mutex_);
        if (connectedPort_ <= 0) return;  // (the connection it follows is over, whatever the state says)
        port = connectedPort_;
        retries_ = 0;
    }
    Start(Chain::Retake, port, every);
}

int ConnectionControl::Retries() const {
    std::lock_guard lock(mutex_);
    return retries_;
}

void ConnectionControl::StartTestMode() {
    {
        std::lock_guard lock(mutex_);
        if (testMode_) return;
        testMode_ = true;
        if (state_ != LinkState::Idle) return;  // the cycle follows whatever runs now
    }
    Start(Chain::Cycle, 0);
}

bool ConnectionControl::TestMode() const {
    std::lock_guard lock(mutex_);
    return testMode_;
}

void ConnectionControl::Disconnected(bool searchAgain) {
    bool cycle;
    {
        std::lock_guard lock(mutex_);
        state_ = LinkState::Idle;
        cycle = searchAgain && testMode_;
    }
    if (cycle) Start(Chain::Cycle, 0);
}

void ConnectionControl::Received(const std::uint8_t* bytes, std::size_t count) {
    if (count == 0) return;
    std::lock_guard lock(mutex_);
    if (state_ == LinkState::Idle || state_ == LinkState::CyclePause) return;
    heardAtPort_ = true;
    if (replied_) {
        // The scale answered and went on with its first data before the window knew.
        if (recognised_) early_.insert(early_.end(), bytes, bytes + count);
        return;
    }
    reply_.insert(reply_.end(), bytes, bytes + count);
    std::size_t used = 0;
    Reply reply = trying_.recognise ? trying_.recognise(reply_.data(), reply_.size(), used) : Reply::Other;
    answeredKind_ = trying_.kind;
    if (listening_.recognise) {
        // A scale that speaks unasked is listened for while another kind is asked.
        std::size_t heard = 0;
        const Reply unasked = listening_.recognise(reply_.data(), reply_.size(), heard);
        if (unasked == Reply::Scale) {
            reply = Reply::Scale, used = heard;
            answeredKind_ = listening_.kind;
        } else if (reply == Reply::Other && unasked == Reply::NotYet) {
            reply = Reply::NotYet;
        }
    }
    if (reply == Reply::NotYet) return;
    replied_ = true;
    recognised_ = reply == Reply::Scale;
    if (recognised_) early_.assign(reply_.begin() + static_cast<std::ptrdiff_t>(std::min(used, reply_.size())), reply_.end());
    reply_.clear();
    changed_.notify_all();
}

std::vector<std::uint8_t> ConnectionControl::TakeEarlyBytes() {
    std::lock_guard lock(mutex_);
    return std::exchange(early_, {});
}

LinkState ConnectionControl::State() const {
    std::lock_guard lock(mutex_);
    return state_;
}

int ConnectionControl::SearchIndex() const {
    std::lock_guard lock(mutex_);
    return searchIndex_;
}

int ConnectionControl::ConnectedPort() const {
    std::lock_guard lock(mutex_);
    return connectedPort_;
}

std::string ConnectionControl::ConnectedKind() const {
    std::lock_guard lock(mutex_);
    return connectedKind_;
}

void ConnectionControl::Stop() {
    std::jthread worker;
    {
        std::lock_guard lock(mutex_);
        worker = std::move(worker_);
    }
    if (!worker.joinable()) return;
    worker.request_stop();  // every wait of the worker ends on it
    worker.join();
    std::lock_guard lock(mutex_);
    if (state_ != LinkState::Connected) state_ = LinkState::Idle;
}

void ConnectionControl::Start(Chain chain, int port, std::chrono::milliseconds every) {
    Stop();  // at most one worker: a running Test cycle ends here
    std::lock_guard lock(mutex_);
    chain_ = chain;
    state_ = chain == Chain::Manual   ? LinkState::Checking
             : chain == Chain::Search ? LinkState::Searching
             : chain == Chain::Cycle  ? LinkState::CyclePause
                                      : LinkState::Waiting;
    replied_ = recognised_ = false;
    reply_.clear();
    early_.clear();
    worker_ = std::jthread([this, chain, port, every](std::stop_token stop) { Run(chain, port, every, stop); });
}

// ---- the worker ----

ConnectionControl::Chain ConnectionControl::BecomeCycle() {
    std::lock_guard lock(mutex_);
    chain_ = Chain::Cycle;  // from now on the operator's click takes over
    return chain_;
}

void ConnectionControl::Become(LinkState state) {
    std::lock_guard lock(mutex_);
    state_ = state;
}

bool ConnectionControl::Pause(std::chrono::milliseconds limit, std::stop_token stop) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, stop, limit, [] { return false; });
    return !stop.stop_requested();
}

bool ConnectionControl::Check(int port, std::chrono::milliseconds limit, bool& told, OpenFailure& failure, bool& opened,
                              std::stop_token stop, const std::string& only) {
    opened = false;
    std::vector<LineUse> uses = uses_ ? uses_(port) : std::vector<LineUse>{};
    if (!only.empty() && std::any_of(uses.begin(), uses.end(), [&](const LineUse& use) { return use.kind == only; }))
        std::erase_if(uses, [&](const LineUse& use) { return use.kind != only; });
    // A port that refuses the settings of every kind tried there is told (once per operator's
    // action); one that takes some kind's settings is a port like any, and the kinds it refuses
    // are simply not there (a pseudo-terminal or an adapter without 7-bit parity framing).
    bool everyRefused = true;
    OpenFailure refusal;
    bool connected = false;
    {
        std::lock_guard lock(mutex_);
        heardAtPort_ = false;
    }
    const bool networked = line_.Networked(port);
    for (std::size_t i = 0; i < uses.size() && !stop.stop_requested(); ++i) {
        if (uses[i].silentUntilGreeted) {
            // Something at this port spoke, late or unasked: a scale of another kind is there,
            // and this greeting may be its command (the six-byte greeting is the others' zero).
            std::lock_guard lock(mutex_);
            if (heardAtPort_) break;
        }
        const LineUse* listen = nullptr;
        // Each kind has its own time; behind a network serial server each has at least a chosen
        // port's second (the network's delay on top of the scale's: an answer that came after
        // the port was given back is never heard, and the six-byte greeting would follow).
        const auto within = [&](const LineUse& use) {
            if (use.answerWithin.count() <= 0) return limit;
            return networked ? std::max(use.answerWithin, timings_.manualCheck) : use.answerWithin;
        };
        std::chrono::milliseconds wait = within(uses[i]);
        if (uses[i].greeting.empty() && i + 1 < uses.size() && uses[i + 1].settings == uses[i].settings) {
            // A kind that only listens is listened for while the next kind, on the same line
            // settings, is asked (its probe is read-only): one wait instead of two.
            listen = &uses[i];
            ++i;
            wait = std::max(wait, within(uses[i]));
        }
        bool open = false;
        connected = Try(port, uses[i], listen, wait, failure, open, stop);
        opened = opened || open;
        if (!open) break;  // a port that does not open is not tried with other settings
        if (failure.refusedCall)
            refusal = failure;
        else
            everyRefused = false;
        if (connected) break;
        if (i + 1 < uses.size()) line_.Release();  // (the last is given back by the caller)
    }
    if (opened && everyRefused && refusal.refusedCall && !told && !stop.stop_requested()) {
        told = true;
        view_.Tell(Notice::SettingsRefused, port, refusal, stop);
    }
    if (!connected || stop.stop_requested()) return false;
    std::lock_guard lock(mutex_);
    state_ = LinkState::Connected;  // before the window shows it: a click meanwhile finds it so
    connectedPort_ = port;
    connectedKind_ = connectedUse_;
    return true;
}

bool ConnectionControl::Try(int port, const LineUse& use, const LineUse* listen, std::chrono::milliseconds limit,
                            OpenFailure& failure, bool& opened, std::stop_token stop) {
    failure = {};
    {
        // What comes from here on is judged as this way's answer.
        std::lock_guard lock(mutex_);
        trying_ = use;
        listening_ = listen ? *listen : LineUse{};
        replied_ = recognised_ = false;
        reply_.clear();
        early_.clear();
    }
    opened = line_.Open(port, use, failure);
    if (stop.stop_requested() || !opened) return false;  // (nothing to ask a port that did not open)
    line_.Send(use.greeting);
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, stop, limit, [&] { return replied_; });
    if (stop.stop_requested() || !replied_ || !recognised_) return false;
    connectedUse_ = answeredKind_;
    return true;
}

bool ConnectionControl::SearchAll(bool& told, std::stop_token stop) {
    Become(LinkState::Searching);
    const int count = line_.PortCount();
    for (int position = 1; position <= count && !stop.stop_requested(); ++position) {
        {
            std::lock_guard lock(mutex_);
            searchIndex_ = position;
        }
        OpenFailure failure;
        bool opened = false;
        if (Check(line_.PortAt(position), timings_.searchCheck, told, failure, opened, stop)) return true;
        if (opened) line_.Release();
    }
    return false;
}

bool ConnectionControl::RetakeLine(int port, const std::string& kind, std::chrono::milliseconds every,
                                   std::stop_token stop) {
    bool told = true;  // the operator is asked nothing while the scale is away
    while (Pause(every, stop)) {
        {
            std::lock_guard lock(mutex_);
            ++retries_;
        }
        OpenFailure failure;
        bool opened = false;
        if (Check(port, timings_.manualCheck, told, failure, opened, stop, kind)) return true;
        if (opened) line_.Release();
        Become(LinkState::Waiting);
    }
    return false;
}

void ConnectionControl::Run(Chain chain, int port, std::chrono::milliseconds every, std::stop_token stop) {
    bool told = false;  // a refused setting is told once per operator's action
    bool connected = false;
    if (chain == Chain::Retake) {
        connected = RetakeLine(port, ConnectedKind(), every, stop);
        if (!connected) return;
    } else if (chain == Chain::Manual) {
        OpenFailure failure;
        bool opened = false;
        connected = Check(port, timings_.manualCheck, told, failure, opened, stop);
        if (!connected) {
            if (opened) line_.Release();
            if (stop.stop_requested()) return;
            Become(LinkState::Idle);
            view_.Tell(opened ? Notice::ConnectionFails : Notice::CannotOpen, port, failure, stop);
            if (stop.stop_requested() || !TestMode()) return;
            chain = BecomeCycle();  // the Test mode goes on searching
        }
    } else if (chain == Chain::Search) {
        connected = SearchAll(told, stop);
        if (!connected) {
            if (stop.stop_requested()) return;
            if (!TestMode()) {
                Become(LinkState::Idle);
                view_.Tell(Notice::AutoError, 0, {}, stop);
                return;
            }
            chain = BecomeCycle();
        }
    }
    while (!connected && chain == Chain::Cycle) {
        Become(LinkState::CyclePause);
        if (!Pause(timings_.cyclePause, stop) || !view_.RefreshPorts(stop)) return;
        if (line_.PortCount() <= 0) {
            Become(LinkState::Idle);
            view_.Tell(Notice::NoPort, 0, {}, stop);
            return;  // the cycle ends here, though the Test mode stays on
        }
        connected = SearchAll(told, stop);
        if (stop.stop_requested()) return;
    }
    if (connected && !view_.ShowConnected(stop)) {
        line_.Release();
        Become(LinkState::Idle);
    }
}

}  // namespace serial
