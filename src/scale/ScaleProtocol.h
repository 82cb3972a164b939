#pragma once
// A kind of scale: how the line is set for it, how it is greeted and known by its answer, what
// its bytes mean, what it is answered, and whether it is asked for its weight. The serial engine
// and the connection controller only move bytes; what is inside them is a protocol's alone.
//
// A protocol is a description; the desk's scale gets a Session of it, which keeps what the bytes
// so far have begun (half a message, the errors in a row).
#include "ConnectionControl.h"
#include "MeasurementTable.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace scale {

using Clock = std::chrono::steady_clock;

// The weight an overweight row stores (never read as a weight: the row's kind says what it is).
inline constexpr double kOverweightStored = 555.5;

// One message of the scale's, as the desk takes it.
struct Message {
    enum class Kind {
        Row,       // a row of the table: a weight, an overweight, or an error the line came to
        AskAgain,  // damaged: answered (`answer`) without a row
        Live,      // a weight the scale shows but does not report as a weighing (in motion, …)
    };
    Kind kind = Kind::Row;
    weighing::Reading reading;
    bool stable = false;  // a live weight: the scale says it has settled
    // The bytes it came from, as the journal and the site keep them.
    std::vector<std::uint8_t> raw;
    // For an error row: the bytes the operator is shown in its explanation (none: no explanation).
    std::vector<std::uint8_t> shown;
    // Sent once the row is on disk (or at once, for a message without a row).
    std::vector<std::uint8_t> answer;
    // Errors keep coming: the operator is asked whether to disconnect.
    bool offerDisconnect = false;
};

// What the desk makes of the scale's bytes, one connection after another. Bytes are taken as
// they come; messages are handed out one at a time, so that what comes behind a message that
// ends the connection (the row limit) is never judged.
class Session {
public:
    virtual ~Session() = default;
    // Bytes from the line, in pieces of any size, at `now`.
    virtual void Take(const std::uint8_t* bytes, std::size_t count, Clock::time_point now) = 0;
    // The next whole message, judged at `now` (a begun message whose rest has not come within
    // its wait is judged as it is); false when none is there yet. A message begun behind the ones
    // handed out waits for its rest from the first call that finds no whole one, so that the
    // time taken over those is not taken from its wait.
    virtual bool Next(Clock::time_point now, Message& message) = 0;
    // When a begun message is to be judged as it is; none while nothing has begun.
    virtual std::optional<Clock::time_point> Due() const = 0;
    // The operator chose to go on after repeated errors: they count afresh.
    virtual void ErrorsForgiven() = 0;
    // The connection ended or began again: what had come and not been handed out is dropped.
    // (What the scale's messages said so far, such as errors in a row, stays: it is the scale's,
    // not the connection's.)
    virtual void Restart() = 0;
};

class ScaleProtocol {
public:
    virtual ~ScaleProtocol() = default;
    // Its name in settings ("frame6", "8217", "sics", "print").
    virtual std::string Name() const = 0;
    // What the operator calls it, in a title ("six-byte", "8217", "MT-SICS", "continuous print").
    virtual std::string DisplayName() const = 0;
    // The line settings, the greeting and how the scale's answer is known.
    virtual serial::LineUse Use() const = 0;
    // What the scale is told when Pesavo ends the connection (nothing for some).
    virtual std::vector<std::uint8_t> Goodbye() const = 0;
    // A scale that only answers when asked: what to send, and how often (zero: never).
    virtual std::chrono::milliseconds PollEvery() const { return std::chrono::milliseconds(0); }
    virtual std::vector<std::uint8_t> Poll() const { return {}; }
    // A connected scale that is heard nothing of for this long is gone (zero: its silence says
    // nothing, as the six-byte scale's between parcels).
    virtual std::chrono::milliseconds SilenceLimit() const { return std::chrono::milliseconds(0); }
    // A session for the desk's scale; a begun message waits `messageWait` for its rest.
    virtual std::unique_ptr<Session> Open(std::chrono::milliseconds messageWait) const = 0;
};

}  // namespace scale
