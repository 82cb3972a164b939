#include "ScaleSession.h"

namespace desk {

ScaleSession::ScaleSession(std::shared_ptr<const scale::ScaleProtocol> protocol, std::chrono::milliseconds messageWait)
    : protocol_(std::move(protocol)), session_(protocol_->Open(messageWait)) {}

void ScaleSession::Begin() {
    ++connection_;
    session_->Restart();
}

void ScaleSession::End() { session_->Restart(); }

void ScaleSession::Take(const std::uint8_t* bytes, std::size_t count, scale::Clock::time_point now,
                        std::vector<scale::Message>& out) {
    session_->Take(bytes, count, now, out);
}

std::optional<scale::Clock::time_point> ScaleSession::Due() const {
    return session_->Due();
}

void ScaleSession::Expire(scale::Clock::time_point now, std::vector<scale::Message>& out) {
    session_->Expire(now, out);
}

void ScaleSession::ErrorsForgiven() {
    session_->ErrorsForgiven();
}

bool ScaleSession::MaybeRepeat(const std::vector<std::uint8_t>& raw) {
    if (!unconfirmed_) return false;
    const std::vector<std::uint8_t> last = *std::exchange(unconfirmed_, std::nullopt);
    return last == raw;
}

}  // namespace desk
