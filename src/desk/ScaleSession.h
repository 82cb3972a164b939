#pragma once
// The desk's side of one scale: its protocol, the connection's session that makes messages of
// its bytes, which connection this is, the answer on its way to the scale, and the last row of
// an earlier run whose answer was never known to have left (a weighing the scale may send
// again).
#include "MeasurementTable.h"
#include "ScaleProtocol.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace desk {

class ScaleSession {
public:
    ScaleSession(std::shared_ptr<const scale::ScaleProtocol> protocol, std::chrono::milliseconds messageWait);

    const scale::ScaleProtocol& Protocol() const { return *protocol_; }
    // The scale that answered is of this kind (before Begin).
    void Use(std::shared_ptr<const scale::ScaleProtocol> protocol);
    // A connection begins or ends: what had begun is dropped.
    void Begin();
    void End();
    // Counts the connections, so that a late answer knows whether it is about this one.
    std::uint64_t Connection() const { return connection_; }

    // The protocol's session of the connection (see scale::Session).
    void Take(const std::uint8_t* bytes, std::size_t count, scale::Clock::time_point now) { session_->Take(bytes, count, now); }
    bool Next(scale::Clock::time_point now, scale::Message& message) { return session_->Next(now, message); }
    std::optional<scale::Clock::time_point> Due() const { return session_->Due(); }
    void ErrorsForgiven() { session_->ErrorsForgiven(); }

    // The answer of row `id` (the message `raw`) is queued at `place` among the line's bytes.
    void AnswerQueued(weighing::RowId id, std::uint64_t place, std::vector<std::uint8_t> raw) {
        answer_ = Answer{id, place, std::move(raw)};
    }
    // The row whose answer is on its way, and where (none: nothing in flight).
    struct Answer {
        weighing::RowId id;
        std::uint64_t place;
        std::vector<std::uint8_t> raw;
    };
    const std::optional<Answer>& AnswerInFlight() const { return answer_; }
    void AnswerLeft() { answer_.reset(); }

    // The last row of an earlier run (or, `lostLine`, of a connection whose line was lost) was
    // journalled before its answer was known to have left.
    void Unconfirmed(std::vector<std::uint8_t> raw, bool lostLine = false) {
        unconfirmed_ = std::move(raw);
        unconfirmedLostLine_ = lostLine;
    }
    // Whether the first message after such a start (or reconnection) has the same bytes: it may be that weighing
    // sent again. Asked once.
    bool MaybeRepeat(const std::vector<std::uint8_t>& raw);
    // Whether the weighing MaybeRepeat last found again was one of a lost line (not of an earlier run).
    bool RepeatOfLostLine() const { return unconfirmedLostLine_; }

private:
    const std::chrono::milliseconds messageWait_;
    std::shared_ptr<const scale::ScaleProtocol> protocol_;
    std::unique_ptr<scale::Session> session_;
    std::uint64_t connection_ = 0;
    std::optional<Answer> answer_;
    std::optional<std::vector<std::uint8_t>> unconfirmed_;
    bool unconfirmedLostLine_ = false;
};

}  // namespace desk
