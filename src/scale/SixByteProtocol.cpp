#include "SixByteProtocol.h"

#include "FrameDecoder.h"

#include <algorithm>

namespace scale {

namespace {

constexpr double kOverweightStored = 555.5;

class SixByteSession : public Session {
public:
    explicit SixByteSession(std::chrono::milliseconds wait) : wait_(wait) {}

    void Take(const std::uint8_t* bytes, std::size_t count, Clock::time_point now, std::vector<Message>& out) override {
        if (count == 0) return;
        if (begun_.empty()) begunAt_ = now;
        begun_.insert(begun_.end(), bytes, bytes + count);
        Judge(now, out);
    }

    std::optional<Clock::time_point> Due() const override {
        if (begun_.empty()) return std::nullopt;
        return begunAt_ + wait_;
    }

    void Expire(Clock::time_point now, std::vector<Message>& out) override { Judge(now, out); }

    void ErrorsForgiven() override { errorCount_ = 0; }

    void Restart() override { begun_.clear(); }

private:
    void Judge(Clock::time_point now, std::vector<Message>& out) {
        if (begun_.empty()) return;
        if (begun_.size() >= SixByteProtocol::kFrameBytes) {
            // Whole frames are judged at once, one message each, in order.
            const std::vector<std::uint8_t> bytes = std::exchange(begun_, {});
            const std::size_t frames = bytes.size() / SixByteProtocol::kFrameBytes;
            for (std::size_t i = 0; i < frames; ++i) {
                const std::uint8_t* frame = bytes.data() + i * SixByteProtocol::kFrameBytes;
                out.push_back(Frame(frame, frame, SixByteProtocol::kFrameBytes));
            }
            const std::size_t whole = frames * SixByteProtocol::kFrameBytes;
            if (bytes.size() == whole) return;
            // What is left behind them is the start of the next frame when it starts as a frame
            // does (its rest comes with the next read); anything else is the stray end of this
            // read, which a read's extra bytes have always been, so the next read starts afresh.
            if (bytes[whole] != weighing::kWeightFrame && bytes[whole] != weighing::kOverweightFrame) return;
            begun_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(whole), bytes.end());
            begunAt_ = now;
        }
        // A frame has begun: its rest is waited for a while from its first byte (a USB or
        // Bluetooth adapter delivers a frame in pieces), then what is there is judged against
        // spaces.
        if (now - begunAt_ < wait_) return;
        const std::vector<std::uint8_t> bytes = std::exchange(begun_, {});
        std::uint8_t frame[SixByteProtocol::kFrameBytes];
        std::fill(std::begin(frame), std::end(frame), std::uint8_t{0x20});
        std::copy(bytes.begin(), bytes.end(), frame);
        out.push_back(Frame(frame, bytes.data(), bytes.size()));
    }

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
    std::vector<std::uint8_t> begun_;  // the start of a frame whose rest has not come yet
    Clock::time_point begunAt_{};
    bool frameError_ = false;  // a damaged frame was asked again
    int errorCount_ = 0;       // error rows since the last good weighing
};

}  // namespace

serial::LineUse SixByteProtocol::Use() const {
    serial::LineUse use;
    use.settings = {9600, 8, 'N', 1};
    use.messageBytes = kFrameBytes;
    use.greeting = {kGreeting};
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
