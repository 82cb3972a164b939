// Any bytes from the line, in pieces of any size and timing, go through the engine's batch
// assembler, the frame judging and the table's rules as the program uses them: nothing is lost
// or doubled between the line and the batches, the error state moves only the way the table
// expects, and saves in between remove exactly the rows they took, whatever came meanwhile.
#include "CSerialPort.h"
#include "FrameDecoder.h"
#include "MeasurementTable.h"
#include "TableRules.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr std::size_t kRxBufferSize = 2000;  // the window's receive buffer

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
        const std::string text = weighing::WeightText(w.kg, w.decimals, unit);
        Require(!text.empty() && text.size() <= 16, "a weight text of the wrong length");
        Require(std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.' || c == '-' || c == ':'; }),
                "a weight text with a foreign character");
    }
}

// The window's side: batches become rows of the table, under its rules.
struct Window {
    bool connected = false, frameError = false;
    int errorCount = 0;
    std::array<std::uint8_t, kRxBufferSize> rx{};
    weighing::MeasurementTable table;
    weighing::TableRules rules;
    weighing::TableSnapshot saving;  // a save in progress
    bool saveRunning = false;

    void Take(const std::uint8_t* bytes, std::size_t count) {
        std::copy(bytes, bytes + count, rx.begin());  // shorter batches leave older bytes behind
        if (!connected) {
            if (rx[0] != 0xA5) return;
            connected = true;  // the handshake's reply; what came behind it is the first frame
            if (count > 1) Take(bytes + 1, count - 1);
            return;
        }
        const bool errorBefore = frameError;
        const int countBefore = errorCount;
        const weighing::BatchJudgement j = weighing::TakeBatch(rx.data(), frameError, errorCount);
        weighing::Reading reading;
        switch (j.outcome) {
            case weighing::BatchOutcome::AskAgain:
                Require(!errorBefore && frameError && errorCount == countBefore && !j.offerDisconnect, "a bad frame asked again out of turn");
                std::fill_n(rx.begin(), 10, std::uint8_t{0x20});
                return;
            case weighing::BatchOutcome::Weighing: {
                Require(!frameError && errorCount == 0 && !j.offerDisconnect, "a weighing left the error state");
                CheckWeighing(rx.data());
                const weighing::Weighing w = weighing::DecodeWeight(rx.data());
                if (w.readable) reading = {weighing::RowKind::Weight, w.kg, w.decimals};
                break;
            }
            case weighing::BatchOutcome::Overweight:
                Require(!frameError && errorCount == countBefore && j.offerDisconnect == (errorCount > 3), "an overweight row changed the error count");
                reading = {weighing::RowKind::Overweight, 555.5, 0};
                break;
            case weighing::BatchOutcome::Error: {
                Require(errorBefore && !frameError && errorCount == countBefore + 1, "an error row out of turn");
                Require(j.offerDisconnect == (errorCount > 3), "the disconnect offer at the wrong count");
                const std::string dump = weighing::HexBytes(rx.data(), static_cast<int>(std::min(count, kRxBufferSize)));
                Require(dump.size() == 2 * std::min(count, kRxBufferSize), "a hex dump of the wrong length");
                break;
            }
        }
        const std::size_t row = table.size();
        const std::u16string number = weighing::NumberText(row);
        table.Append({number, u"x", u"KG", u"00:00:00", u"", u""}, reading);
        if (rules.RowAdded(row)) connected = false;  // the row limit ends the connection
        std::fill_n(rx.begin(), 10, std::uint8_t{0x20});
    }

    void StartSave() {
        if (!rules.Begin(weighing::TableJob::Save)) return;
        saving = table.Snapshot();
        saveRunning = true;
    }
    void EndSave(bool written) {
        if (!saveRunning) return;
        saveRunning = false;
        rules.End();
        if (!written) return;
        const std::size_t before = table.size();
        const std::vector<weighing::RowId> later = [&] {
            std::vector<weighing::RowId> ids;
            for (std::size_t r = saving.size(); r < before; ++r) ids.push_back(table.Id(r));
            return ids;
        }();
        for (const auto& [first, count] : table.RunsOf(saving.Ids())) table.Erase(first, count);
        table.Renumber(0);
        Require(table.size() == before - saving.size(), "a save removed other rows than its own");
        for (std::size_t r = 0; r < table.size(); ++r) {
            Require(table.Id(r) == later[r], "the rows that came during a save moved out of order");
            Require(table.Text(r, weighing::kNumber) == weighing::NumberText(r), "a row numbered wrongly after a save");
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Window window;
    window.connected = in.ConsumeBool();
    window.frameError = in.ConsumeBool();
    window.errorCount = in.ConsumeIntegralInRange(0, 8);
    BatchAssembler batch;
    std::vector<std::uint8_t> sent, delivered;
    auto deliver = [&] {
        Require(batch.Size() >= 1 && batch.Size() <= BatchAssembler::kCapacity, "a batch of the wrong size");
        delivered.insert(delivered.end(), batch.Data(), batch.Data() + batch.Size());
        window.Take(batch.Data(), batch.Size());
        batch.Clear();
    };
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange(0, 31)) {
            case 0: window.StartSave(); break;         // the operator saves...
            case 1: window.EndSave(true); break;       // ...and the file is written
            case 2: window.EndSave(false); break;      // ...or it is not
            case 3: window.connected = !window.connected; break;  // connects or closes
            default: break;
        }
        // One read from the line: bytes already waiting join the pass; bytes that come within
        // the gap join it only while it holds less than a frame; later bytes start a new pass.
        const int timing = in.ConsumeIntegralInRange(0, 2);
        if (batch.Size() > 0 && (timing == 2 || (timing == 1 && !batch.WantsMore()))) deliver();
        std::vector<std::uint8_t> piece = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(1, 1100));
        if (piece.empty()) break;
        sent.insert(sent.end(), piece.begin(), piece.end());
        std::size_t at = 0;
        while (at < piece.size()) {
            const std::size_t n = std::min(piece.size() - at, batch.Space());
            std::copy_n(piece.begin() + static_cast<std::ptrdiff_t>(at), n, batch.Tail());
            batch.Added(n);
            at += n;
            if (batch.Full()) deliver();
        }
    }
    if (batch.Size() > 0) deliver();
    Require(delivered == sent, "bytes lost or doubled between the line and the batches");
    return 0;
}
