#include "ScaleSession.h"

namespace desk {

ScaleSession::ScaleSession(std::shared_ptr<const scale::ScaleProtocol> protocol, std::chrono::milliseconds messageWait)
    : protocol_(std::move(protocol)), session_(protocol_->Open(messageWait)) {}

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
