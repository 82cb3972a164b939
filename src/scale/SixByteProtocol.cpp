#include "SixByteProtocol.h"

#include "FrameDecoder.h"

#include <algorithm>

namespace scale {

namespace {

class SixByteSession : public Session {
public:
    explicit SixByteSession(std::chrono::milliseconds wait) : wait_(wait) {}

    void Take(const std::uint8_t* bytes, std::size_t count, Clock::time_point now) override {
        if (count == 0) return;
        if (pending_.empty()) begunAt_ = now;
        pending_.insert(pending_.end(), bytes, bytes + count);
    }

    bool Next(Clock::time_point now, Message& message) override {
        if (pending_.empty()) return false;
        if (pending_.size() >= SixByteProtocol::kFrameBytes) {
            // Whole frames are judged one at a time, in order.
            message = Frame(pending_.data(), pending_.data(), SixByteProtocol::kFrameBytes);
            pending_.erase(pending_.begin(), pending_.begin() + SixByteProtocol::kFrameBytes);
            // What is left behind the whole frames is the start of the next frame when it starts
            // as a frame does (its rest comes with the next read); anything else is the stray end
            // of a read, which a read's extra bytes have always been, so the next read starts
            // afresh.
            if (pending_.size() < SixByteProtocol::kFrameBytes && !pending_.empty()) {
                if (pending_[0] != weighing::kWeightFrame && pending_[0] != weighing::kOverweightFrame) pending_.clear();
                fresh_ = true;
            }
            return true;
        }
        // A frame has begun: its rest is waited for a while (a USB or Bluetooth adapter delivers
        // a frame in pieces), counted from its first byte — or, behind whole frames, from when
        // they have been taken up — then what is there is judged against spaces.
        if (std::exchange(fresh_, false)) begunAt_ = now;
        if (now - begunAt_ < wait_) return false;
        const std::vector<std::uint8_t> bytes = std::exchange(pending_, {});
        std::uint8_t frame[SixByteProtocol::kFrameBytes];
        std::fill(std::begin(frame), std::end(frame), std::uint8_t{0x20});
        std::copy(bytes.begin(), bytes.end(), frame);
        message = Frame(frame, bytes.data(), bytes.size());
        return true;
    }

    std::optional<Clock::time_point> Due() const override {
        if (pending_.empty()) return std::nullopt;
        return begunAt_ + wait_;
    }

    void ErrorsForgiven() override { errorCount_ = 0; }

    void Restart() override {
        pending_.clear();
        fresh_ = false;
    }

private:
    // The message of one frame (`frame`, six bytes; `shown`, the bytes that came).
    Message Frame(const std::uint8_t* frame, const std::uint8_t* shown, std::size_t shownBytes) {
        Message m;
        const weighing::BatchJudgement judged = weighing::TakeBatch(frame, frameError_, errorCount_);
        m.raw.assign(frame, frame + SixByteProtocol::kFrameBytes);
        if (judged.outcome == weighing::BatchOutcome::AskAgain) {
            m.kind = Message::Kind::AskAgain;
            m.answer = {weighing::kBadFrameNotice};
            return m;
        }
        m.answer = {weighing::kAcknowledge};
        m.offerDisconnect = judged.offerDisconnect;
        if (judged.outcome == weighing::BatchOutcome::Overweight) {
            m.reading = {weighing::RowKind::Overweight, kOverweightStored, 0};
        } else if (judged.outcome == weighing::BatchOutcome::Error) {
            // The whole batch, for whoever has to find out what went wrong on the line.
            m.reading = {weighing::RowKind::Error, 0.0, 0};
            m.shown.assign(shown, shown + shownBytes);
        } else {
            const weighing::Weighing w = weighing::DecodeWeight(frame);
            // (an unknown decimal code keeps its error text in every unit)
            m.reading = w.readable ? weighing::Reading{weighing::RowKind::Weight, w.kg, w.decimals}
                                   : weighing::Reading{weighing::RowKind::Error, 0.0, 0};
        }
        return m;
    }

    const std::chrono::milliseconds wait_;
    std::vector<std::uint8_t> pending_;  // what came and has not been judged yet
    Clock::time_point begunAt_{};        // when the first of it came
    bool fresh_ = false;                 // a frame begun behind whole ones: its wait starts anew
    bool frameError_ = false;  // a damaged frame was asked again
    int errorCount_ = 0;       // error rows since the last good weighing
};

}  // namespace

serial::LineUse SixByteProtocol::Use() const {
    serial::LineUse use;
    use.kind = Name();
    use.settings = {9600, 8, 'N', 1};
    use.messageBytes = kFrameBytes;
    use.greeting = {kGreeting};
    use.silentUntilGreeted = true;  // (it speaks only once greeted)
    // The first byte that comes decides.
    use.recognise = [](const std::uint8_t* bytes, std::size_t count, std::size_t& replyBytes) {
        if (count == 0) return serial::Reply::NotYet;
        replyBytes = 1;
        return bytes[0] == kGreetingReply ? serial::Reply::Scale : serial::Reply::Other;
    };
    return use;
}

std::vector<std::uint8_t> SixByteProtocol::Goodbye() const { return {weighing::kDisconnectNotice}; }

std::unique_ptr<Session> SixByteProtocol::Open(std::chrono::milliseconds messageWait) const {
    return std::make_unique<SixByteSession>(messageWait);
}

}  // namespace scale
