// Any bytes from the line, in pieces of any size and timing, go through the engine's batch
// assembler and a scale's protocol (the six-byte scale's, through the protocol interface) into
// the table under its rules: nothing is lost or doubled between the line and the batches, every
// message is answered as the protocol promises, nothing is read past what came, and saves in
// between remove exactly the rows they took, whatever came meanwhile.
#include "CSerialPort.h"
#include "FrameDecoder.h"
#include "MeasurementTable.h"
#include "SixByteProtocol.h"
#include "TableRules.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

using namespace std::chrono_literals;

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "%s\n", what);
        std::abort();
    }
}

void CheckReading(const weighing::Reading& r) {
    if (r.kind != weighing::RowKind::Weight) return;
    for (int unit : {weighing::kKg, weighing::kLb, weighing::kLbOz}) {
        const std::string text = weighing::WeightText(r.kg, r.decimals, unit);
        Require(!text.empty() && text.size() <= 16, "a weight text of the wrong length");
        Require(std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.' || c == '-' || c == ':'; }),
                "a weight text with a foreign character");
    }
}

// The desk's side: the protocol's messages become rows of the table, under its rules.
struct Desk {
    explicit Desk(const scale::ScaleProtocol& p) : protocol(p) {}
    const scale::ScaleProtocol& protocol;
    serial::LineUse use = protocol.Use();
    std::unique_ptr<scale::Session> session = protocol.Open(200ms);
    scale::Clock::time_point now{std::chrono::hours(1)};
    bool connected = false;
    std::vector<std::uint8_t> reply;  // what came since the greeting
    bool askedAgain = false;          // the last message was asked again
    weighing::MeasurementTable table;
    weighing::TableRules rules;
    weighing::TableSnapshot saving;  // a save in progress
    bool saveRunning = false;

    void Take(const std::uint8_t* bytes, std::size_t count) {
        if (!connected) {
            reply.insert(reply.end(), bytes, bytes + count);
            std::size_t used = 0;
            const serial::Reply r = use.recognise(reply.data(), reply.size(), used);
            if (r == serial::Reply::NotYet) return;
            Require(used <= reply.size(), "a reply longer than what came");
            const std::vector<std::uint8_t> early(reply.begin() + static_cast<std::ptrdiff_t>(used), reply.end());
            reply.clear();
            if (r != serial::Reply::Scale) return;
            connected = true;  // what came behind the reply is the scale's first data
            session->Restart();
            if (!early.empty()) Take(early.data(), early.size());
            return;
        }
        session->Take(bytes, count, now);
        Messages();
    }
    void Later(std::chrono::milliseconds span) {
        now += span;
        if (connected) Messages();
    }
    void Messages() {
        for (scale::Message m; connected && session->Next(now, m);) {
            Require(m.raw.size() == scale::SixByteProtocol::kFrameBytes, "a message that is not a frame");
            if (m.kind == scale::Message::Kind::AskAgain) {
                Require(!askedAgain, "a damaged frame asked again twice in a row");
                Require(m.answer == std::vector<std::uint8_t>{weighing::kBadFrameNotice}, "asked again with another answer");
                askedAgain = true;
                continue;
            }
            Require(m.kind == scale::Message::Kind::Row, "a message of an unknown kind");
            Require(m.answer == std::vector<std::uint8_t>{weighing::kAcknowledge}, "a row answered with another byte");
            Require(m.shown.empty() || m.reading.kind == weighing::RowKind::Error, "bytes shown on a row that is no error");
            Require(!m.offerDisconnect || m.reading.kind != weighing::RowKind::Weight, "a weight that offers to disconnect");
            CheckReading(m.reading);
            askedAgain = false;
            const std::size_t row = table.size();
            const std::u16string number = weighing::NumberText(row);
            table.Append({number, u"x", u"KG", u"00:00:00", u"", u""}, m.reading);
            if (rules.RowAdded(row)) {
                connected = false;  // the row limit ends the connection
                session->Restart();
            }
        }
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
    const scale::SixByteProtocol protocol;
    Desk desk{protocol};
    desk.connected = in.ConsumeBool();
    BatchAssembler batch(desk.use.messageBytes);
    std::vector<std::uint8_t> sent, delivered;
    auto deliver = [&] {
        Require(batch.Size() >= 1 && batch.Size() <= BatchAssembler::kCapacity, "a batch of the wrong size");
        delivered.insert(delivered.end(), batch.Data(), batch.Data() + batch.Size());
        desk.Take(batch.Data(), batch.Size());
        batch.Clear();
    };
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange(0, 31)) {
            case 0: desk.StartSave(); break;         // the operator saves...
            case 1: desk.EndSave(true); break;       // ...and the file is written
            case 2: desk.EndSave(false); break;      // ...or it is not
            case 3: desk.connected = !desk.connected; break;  // connects or closes
            case 4: desk.Later(std::chrono::milliseconds(in.ConsumeIntegralInRange(0, 400))); break;  // time passes
            default: break;
        }
        // One read from the line: bytes already waiting join the pass; bytes that come within
        // the gap join it only while it holds less than a message; later bytes start a new pass.
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
