// Any bytes from the line, in pieces of any size, go through the probe and a session of one of
// the scales that speak in text lines (the protocol is chosen when this is built): the probe
// never claims more than came, every message is a live weight or a row of a whole line of
// bounded length that the table can show, a weighing row follows its settled live weight, and
// the messages are the same however the bytes were cut.
#include "FrameDecoder.h"
#include "Polled8217Protocol.h"
#include "PrintProtocol.h"
#include "SicsProtocol.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "%s\n", what);
        std::abort();
    }
}

const scale::Clock::time_point kNow{std::chrono::hours(1)};

void CheckMessage(const scale::Message& m, const scale::Message* before, double minimumKg) {
    Require(m.answer.empty() && m.shown.empty() && !m.offerDisconnect, "a line answered or shown");
    Require(!m.raw.empty() && m.raw.size() <= scale::kLineBytes && m.raw.back() == FUZZ_LINE_END,
            "a message that is not one whole line");
    if (m.kind == scale::Message::Kind::Row && m.reading.kind == weighing::RowKind::Overweight) {
        Require(m.reading.kg == scale::kOverweightStored, "an overweight row with another weight");
        return;
    }
    Require(m.kind == scale::Message::Kind::Live || m.kind == scale::Message::Kind::Row, "a message of an unknown kind");
    Require(m.reading.kind == weighing::RowKind::Weight, "a weight message of another kind");
    Require(std::isfinite(m.reading.kg) && m.reading.decimals >= 1 && m.reading.decimals <= 3, "a weight the table cannot show");
    for (int unit : {weighing::kKg, weighing::kLb, weighing::kLbOz}) {
        const std::string text = weighing::WeightText(m.reading.kg, m.reading.decimals, unit);
        Require(!text.empty() && text.size() <= 16, "a weight text of the wrong length");
    }
    if (m.kind == scale::Message::Kind::Row) {
        Require(m.reading.kg >= minimumKg, "a weighing below the minimum");
        Require(before && before->kind == scale::Message::Kind::Live && before->stable && before->raw == m.raw &&
                    before->reading.kg == m.reading.kg,
                "a weighing without its settled live weight");
    }
}

bool Same(const scale::Message& a, const scale::Message& b) {
    return a.kind == b.kind && a.reading.kind == b.reading.kind && a.reading.kg == b.reading.kg &&
           a.reading.decimals == b.reading.decimals && a.stable == b.stable && a.raw == b.raw;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first bytes cut the rest into pieces; the rest is what came from the line.
    if (size < 4) return 0;
    std::uint32_t cut = static_cast<std::uint32_t>(data[0]) | data[1] << 8 | data[2] << 16 | static_cast<std::uint32_t>(data[3]) << 24;
    const Bytes in(data + 4, data + size);
    const scale::ScaleOptions options;
    const scale::FUZZ_PROTOCOL protocol(options);
    const serial::LineUse use = protocol.Use();

    const auto whole = protocol.Open(200ms), pieces = protocol.Open(200ms);
    std::vector<scale::Message> expected;
    whole->Take(in.data(), in.size(), kNow);
    for (scale::Message m; whole->Next(kNow, m);) expected.push_back(m);

    bool probing = true;
    std::size_t at = 0, next = 0;
    while (at < in.size()) {
        cut = cut * 1664525u + 1013904223u;
        const std::size_t n = std::min<std::size_t>(in.size() - at, 1 + (cut >> 16) % ((cut & 0x8000) ? 4 : 200));
        pieces->Take(in.data() + at, n, kNow);
        at += n;
        if (probing) {
            // The probe sees everything since the greeting, as the controller gathers it.
            std::size_t replyBytes = 0;
            const serial::Reply reply = use.recognise(in.data(), at, replyBytes);
            Require(reply == serial::Reply::NotYet || replyBytes <= at, "a reply longer than what came");
            probing = reply == serial::Reply::NotYet;
        }
        for (scale::Message m; pieces->Next(kNow, m);) {
            Require(next < expected.size() && Same(m, expected[next]), "messages that depend on how the bytes were cut");
            CheckMessage(m, next > 0 ? &expected[next - 1] : nullptr, options.minimumKg);
            ++next;
        }
        Require(!pieces->Due().has_value(), "a line judged on time");
    }
    Require(next == expected.size(), "messages lost when the bytes came in pieces");
    pieces->Restart();
    scale::Message m;
    Require(!pieces->Next(kNow, m), "a message after the connection began again");
    return 0;
}
