// Any sequence of batches from the line — with the window connected or not, and the line's error
// state anywhere — is judged, decoded and rendered without a fault, and the error state moves
// only the way the table expects.
#include "FrameDecoder.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr std::size_t kRxBufferSize = 2000;  // the window's receive buffer
constexpr std::size_t kMaxBatch = 1024;      // the most bytes the monitor delivers at once

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "%s\n", what);
        std::abort();
    }
}

void CheckWeighing(const std::uint8_t* frame) {
    const weighing::Weighing w = weighing::DecodeWeight(frame);
    if (!w.readable) return;
    for (int unit : {weighing::kKg, weighing::kLb, weighing::kLbOz}) {
        const std::string text = weighing::WeightText(w.kg, w.widthCode, unit);
        Require(!text.empty() && text.size() <= 16, "a weight text of the wrong length");
        Require(std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.' || c == '-' || c == ':'; }),
                "a weight text with a foreign character");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    bool connected = in.ConsumeBool();
    bool frameError = in.ConsumeBool();
    int errorCount = in.ConsumeIntegralInRange(0, 8);
    std::array<std::uint8_t, kRxBufferSize> rx{};
    while (in.remaining_bytes() > 0) {
        if (in.ConsumeIntegralInRange(0, 15) == 0) connected = !connected;  // the operator connects or closes
        const auto count = in.ConsumeIntegralInRange<std::size_t>(1, kMaxBatch);
        const std::vector<std::uint8_t> batch = in.ConsumeBytes<std::uint8_t>(count);
        if (batch.empty()) break;
        // Shorter batches leave the previous bytes behind them in the buffer, as on the line.
        std::copy(batch.begin(), batch.end(), rx.begin());
        if (!connected) {
            connected = rx[0] == 0xA5;  // the handshake's reply
        } else {
            const bool errorBefore = frameError;
            const int countBefore = errorCount;
            const weighing::BatchJudgement j = weighing::TakeBatch(rx.data(), frameError, errorCount);
            switch (j.outcome) {
                case weighing::BatchOutcome::AskAgain:
                    Require(!errorBefore && frameError && errorCount == countBefore && !j.offerDisconnect, "a bad frame asked again out of turn");
                    break;
                case weighing::BatchOutcome::Weighing:
                    Require(!frameError && errorCount == 0 && !j.offerDisconnect, "a weighing left the error state");
                    CheckWeighing(rx.data());
                    break;
                case weighing::BatchOutcome::Overweight:
                    Require(!frameError && errorCount == countBefore && j.offerDisconnect == (errorCount > 3), "an overweight row changed the error count");
                    break;
                case weighing::BatchOutcome::Error: {
                    Require(errorBefore && !frameError && errorCount == countBefore + 1, "an error row out of turn");
                    Require(j.offerDisconnect == (errorCount > 3), "the disconnect offer at the wrong count");
                    const std::string dump = weighing::HexBytes(rx.data(), static_cast<int>(batch.size()));
                    Require(dump.size() == 2 * batch.size(), "a hex dump of the wrong length");
                    break;
                }
            }
        }
        std::fill_n(rx.begin(), 10, std::uint8_t{0x20});  // the handshake bytes are cleared after each batch
    }
    return 0;
}
