#include "ScaleSession.h"

namespace desk {

ScaleSession::ScaleSession(std::shared_ptr<const scale::ScaleProtocol> protocol, std::chrono::milliseconds messageWait)
    : messageWait_(messageWait), protocol_(std::move(protocol)), session_(protocol_->Open(messageWait)) {}

void ScaleSession::Use(std::shared_ptr<const scale::ScaleProtocol> protocol) {
    // The same scale keeps its session: what its messages said so far (errors in a row) is the
    // scale's, not the connection's.
    if (!protocol || protocol == protocol_) return;
    protocol_ = std::move(protocol);
    session_ = protocol_->Open(messageWait_);
}

void ScaleSession::Begin() {
    ++connection_;
    session_->Restart();
}

void ScaleSession::End() { session_->Restart(); }

bool ScaleSession::MaybeRepeat(const std::vector<std::uint8_t>& raw) {
    if (!unconfirmed_) return false;
    const std::vector<std::uint8_t> last = *std::exchange(unconfirmed_, std::nullopt);
    return last == raw;
}

}  // namespace desk
