// The scales that speak in text lines — 8217, MT-SICS, continuous print — each with a byte table
// of what its lines become (fed whole and one byte at a time alike), its probe, and the
// one-row-per-parcel rule on a scripted pan.
#include "Polled8217Protocol.h"
#include "PrintProtocol.h"
#include "Protocols.h"
#include "SicsProtocol.h"

#include "FrameDecoder.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Kind = scale::Message::Kind;

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }
template <std::size_t N>
Bytes B(const char (&s)[N]) {  // (a literal may hold NUL bytes)
    return Bytes(s, s + N - 1);
}
Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
// A line 10 kB long: `fill` between a line's head and tail (spaces make a weight of it when the
// whole of it is kept).
Bytes Long(std::string_view head, char fill, std::string_view tail) {
    return Join({B(head), Bytes(10000, static_cast<std::uint8_t>(fill)), B(tail)});
}

const scale::Clock::time_point kNow{std::chrono::hours(1)};

// One message as the table would show it in `unit`: ~ a moving live weight, = a settled one,
// W a weighing row, O an overweight row.
std::string Describe(const scale::Message& m, int unit, std::uint8_t terminator) {
    EXPECT_TRUE(m.answer.empty() && m.shown.empty());
    EXPECT_TRUE(!m.raw.empty() && m.raw.size() <= scale::kLineBytes && m.raw.back() == terminator);
    if (m.kind == Kind::Row && m.reading.kind == weighing::RowKind::Overweight) return "O";
    EXPECT_EQ(m.reading.kind, weighing::RowKind::Weight);
    EXPECT_TRUE(m.reading.decimals >= 1 && m.reading.decimals <= 3);
    const std::string text = weighing::WeightText(m.reading.kg, m.reading.decimals, unit);
    if (m.kind == Kind::Row) return "W" + text;
    EXPECT_EQ(m.kind, Kind::Live);
    return (m.stable ? "=" : "~") + text;
}

// What a fresh session makes of `in`, fed in pieces of `piece` bytes.
std::string Run(const scale::ScaleProtocol& protocol, const Bytes& in, std::size_t piece, int unit,
                std::uint8_t terminator) {
    const auto session = protocol.Open(200ms);
    std::string out;
    for (std::size_t at = 0; at < in.size(); at += piece) {
        session->Take(in.data() + at, std::min(piece, in.size() - at), kNow);
        // (a space, then the text: mingw's GCC 12 warns of an overlap in " " + string that is not there)
        for (scale::Message m; session->Next(kNow, m);) {
            if (!out.empty()) out += ' ';
            out += Describe(m, unit, terminator);
        }
        EXPECT_FALSE(session->Due().has_value());
    }
    return out;
}

struct Case {
    Bytes in;
    std::string expected;
    int unit = weighing::kKg;
};

void CheckTable(const scale::ScaleProtocol& protocol, const std::vector<Case>& table, std::uint8_t terminator) {
    for (std::size_t i = 0; i < table.size(); ++i) {
        const Case& c = table[i];
        EXPECT_EQ(Run(protocol, c.in, c.in.size(), c.unit, terminator), c.expected) << "case " << i << ", whole";
        EXPECT_EQ(Run(protocol, c.in, 1, c.unit, terminator), c.expected) << "case " << i << ", byte by byte";
    }
}

serial::Reply Recognise(const serial::LineUse& use, const Bytes& in, std::size_t& replyBytes) {
    replyBytes = 99;
    return use.recognise(in.data(), in.size(), replyBytes);
}

// What a probe makes of each input: S scale (the reply kept as the first data), O other, N not yet.
std::string Probe(const serial::LineUse& use, const std::vector<Bytes>& inputs) {
    std::string out;
    for (const Bytes& in : inputs) {
        std::size_t replyBytes = 0;
        switch (Recognise(use, in, replyBytes)) {
            case serial::Reply::Scale: out += replyBytes == 0 ? "S" : "S?"; break;
            case serial::Reply::Other: out += "O"; break;
            case serial::Reply::NotYet: out += "N"; break;
        }
    }
    return out;
}

TEST(Polled8217ProtocolTest, TheProbeAndTheByteTableOfItsReplies) {
    const scale::Polled8217Protocol protocol;
    const serial::LineUse use = protocol.Use();
    EXPECT_EQ(use.settings, (platform::LineSettings{9600, 7, 'E', 1}));
    EXPECT_EQ(use.greeting, Bytes{'W'});
    EXPECT_EQ(protocol.Poll(), Bytes{'W'});
    EXPECT_EQ(protocol.PollEvery(), 200ms);
    EXPECT_EQ(Probe(use, {B("\x02" "01.234\r"), B("xx\x02?\x44\r"), B("\x02" "01.2"), B("\x02?\x44"), Bytes(200, 'x')}),
              "SSNNO");

    const std::vector<Case> table = {
        {B("\x02" "01.234\r"), "=1.234 W1.234"},                  // a weight is settled; kg has three decimals
        {B("\x02" "050.00\r"), "=50.00 W50.00", weighing::kLb},  // two decimals are pounds
        {B("\x02" "01.234N\r"), "=1.234 W1.234"},                 // net
        {B("\x02" "00.000\r"), "=0.000"},
        {B("\x02?\x41\r"), ""},                                    // in motion
        {B("\x02?\x42\r"), "O"},                                   // over capacity
        {B("\x02?\xC2\r"), "O"},                                   // (bit 7 is parity)
        {B("\x02?\x02\r\x02?\x4\r"), ""},                          // bit 6 missing: no status
        // Under zero and at the centre of zero clear the pan; motion, out of zero range and net do not.
        {B("\x02" "01.234\r\x02" "01.234\r\x02?\x44\r\x02" "02.000\r"), "=1.234 W1.234 =1.234 =2.000 W2.000"},
        {B("\x02" "01.234\r\x02?\x50\r\x02" "02.000\r"), "=1.234 W1.234 =2.000 W2.000"},
        {B("\x02" "01.234\r\x02?\x69\r\x02" "02.000\r"), "=1.234 W1.234 =2.000"},
        {B("\x02" "01.234\r\x02?\x42\r\x02" "02.000\r"), "=1.234 W1.234 =2.000"},   // an overload is no clearing
        {B("\x02" "1.2\r\x02" "12345\r\x02" "1.2345\r\x02" "1..23\r\x02" "-1.234\r\x02" "01.23X\r\x02\r"), ""},
        {B("\x00\xFF" "W?\r\n\x02" "01.234\r\x7F\x02?\x41\r"), "=1.234 W1.234"},  // noise around replies
        {B("\x02" "01.\xB3" "4\r\x02" "02.000\r"), "=2.000 W2.000"},                    // a damaged reply
        {B("\x02" "01.2\x02" "02.000\r"), "=2.000 W2.000"},                           // STX begins a reply afresh
        {Long("\x02", '1', "\r\x02" "02.000\r"), "=2.000 W2.000"},                        // 10 kB, then a good one
        {Join({Bytes(10000, '5'), B("\r\x02" "02.000\r")}), "=2.000 W2.000"},
    };
    CheckTable(protocol, table, '\r');

    const auto session = protocol.Open(200ms);
    const Bytes reply = B("\x02" "12.345N\r");
    session->Take(reply.data(), reply.size(), kNow);
    scale::Message live, row;
    ASSERT_TRUE(session->Next(kNow, live) && session->Next(kNow, row));
    EXPECT_EQ(row.raw, reply);  // the row keeps the reply's bytes
    EXPECT_DOUBLE_EQ(row.reading.kg, 12.345);
    EXPECT_EQ(row.reading.decimals, 3);
}

TEST(SicsProtocolTest, TheProbeAndTheByteTableOfItsReplies) {
    const scale::SicsProtocol protocol;
    const serial::LineUse use = protocol.Use();
    EXPECT_EQ(use.settings, (platform::LineSettings{9600, 8, 'N', 1}));
    EXPECT_EQ(use.greeting, B("#\r\nSI\r\n"));  // what an earlier probe left ends as an unknown command first
    EXPECT_EQ(protocol.Poll(), B("SI\r\n"));
    EXPECT_EQ(Probe(use, {B("ES\r\n"), B("Z\xA5" "ES\r\nS S      1.234 kg\r\n"), B("S I\r\n"), B("S S      1."),
                          B("ES"), B("\x02" "01.234\r"), Bytes(200, 'x')}),
              "SSSNNNO");

    const std::vector<Case> table = {
        {B("S S      1.234 kg\r\n"), "=1.234 W1.234"},
        {B("S D      1.234 kg\r\n"), "~1.234"},
        {B("S +\r\n"), "O"},
        {B("S S      1.234 kg\r\nS S      1.234 kg\r\nS -\r\nS S      1.234 kg\r\n"), "=1.234 W1.234 =1.234 =1.234 W1.234"},
        {B("S S     -0.012 kg\r\n"), "=-0.012"},
        {B("S S    1234.5 g\r\n"), "=1.234 W1.234"},
        {B("S S     50.00 lb\r\n"), "=50.00 W50.00", weighing::kLb},
        {B("S S       8.8 oz\r\n"), "=00:8.8 W00:8.8", weighing::kLbOz},
        {B("S S       8.8 oz\r\n"), "=0.24 W0.24"},                          // (an ounce decimal more in kg)
        {B("S  S 1.234   KG  \n"), "=1.234 W1.234"},                          // spaces, case, a lone LF
        {B("ES\r\nET\r\nEL\r\nS I\r\n"), ""},                                   // errors and busy: no row
        {B("S S      1.234 kN\r\nS S    1.2.3 kg\r\nS S 1.234\r\nS X 1.234 kg\r\nS +1\r\nSS 1.234 kg\r\n"
           "S S  45400.000 kg\r\n"), ""},  // (the last: more than the table shows)
        {B("\x00\xFF\r\n\x00\xFFS S      1.234 kg\r\n\x01\x80"), "=1.234 W1.234"},  // noise between lines
        {B("S S      1.\xB3" "4 kg\r\nS S      2.000 kg\r\n"), "=2.000 W2.000"},  // a damaged line
        {Long("S S ", ' ', "1.234 kg\r\nS S      2.000 kg\r\n"), "=2.000 W2.000"},
    };
    CheckTable(protocol, table, '\n');
}

TEST(PrintProtocolTest, TheProbeAndTheByteTableOfItsLines) {
    const scale::PrintProtocol protocol;
    const serial::LineUse use = protocol.Use();
    EXPECT_EQ(use.settings, (platform::LineSettings{9600, 8, 'N', 1}));
    EXPECT_TRUE(use.greeting.empty() && protocol.Poll().empty());
    EXPECT_EQ(use.answerWithin, 500ms);
    EXPECT_EQ(Probe(use, {B("1.234kg\r\nST,GS,+  1.234kg\r\n"), B("ST,GS,+  1.2"), B("ES\r\n"), Bytes(200, 'x')}), "SNNO");

    const std::vector<Case> table = {
        {B("ST,GS,+  1.234kg\r\n"), "=1.234 W1.234"},
        {B("US,NT,-  50.00lb\r\n"), "~-50.00", weighing::kLb},
        {B("OL,GS,+  9.999kg\r\nOL,NT,  ------\r\n"), "O"},
        {B("ST,NT,+  1.234kg\r\n"), "=1.234 W1.234"},
        {B("ST,GS,+    1234g\r\n"), "=1.234 W1.234"},
        {B("ST,GS,+    8.8oz\r\n"), "=00:8.8 W00:8.8", weighing::kLbOz},
        {B("ST,GS,+    8.8oz\r\n"), "=0.24 W0.24"},
        {B("ST , GS , -  1.234 kg\r\n"), "=-1.234"},
        {B("ST,GS,+  1.234kN\r\nST,GS,+  1,234kg\r\nXX,GS,+  1.234kg\r\nST,TR,+  1.234kg\r\nST,GS,+-1.234kg\r\n"), ""},
        {B("\x00\xFF\r\n\x00\xFFST,GS,+  1.234kg\r\n\x01\x80"), "=1.234 W1.234"},
        {B("ST,GS,+  1.\xB3" "4kg\r\nOL,GS,+ 9.\xB9" "99kg\r\nST,GS,+  2.000kg\r\n"), "=2.000 W2.000"},  // damaged lines
        {Long("ST,GS,+", ' ', "1.234kg\r\nST,GS,+  2.000kg\r\n"), "=2.000 W2.000"},
    };
    CheckTable(protocol, table, '\n');
}

TEST(ParcelCaptureTest, OneRowPerParcelOnAScriptedPan) {
    EXPECT_EQ(scale::ProtocolNames(), (std::vector<std::string>{"print", "sics", "8217", "frame6"}));
    const auto protocol = scale::MakeProtocol("Print", {0.1});
    ASSERT_TRUE(protocol);
    const auto session = protocol->Open(200ms);
    const auto pan = [&](const std::string& lines, int times = 1) {
        std::string rows;
        for (int t = 0; t < times; ++t) {
            const Bytes in = B(lines);
            session->Take(in.data(), in.size(), kNow);
            for (scale::Message m; session->Next(kNow, m);) {
                if (m.kind != Kind::Row) continue;
                if (!rows.empty()) rows += ' ';
                rows += Describe(m, weighing::kKg, '\n');
            }
        }
        return rows;
    };
    const std::string zero = "ST,GS,+  0.000kg\r\n";
    EXPECT_EQ(pan("ST,GS,+  2.000kg\r\n"), "W2.000");       // already on the pan when the line opened
    EXPECT_EQ(pan("ST,GS,+  2.000kg\r\n", 300), "");         // held for a minute
    EXPECT_EQ(pan("US,GS,+  2.700kg\r\nST,GS,+  3.500kg\r\n"), "");  // a second one put on top
    EXPECT_EQ(pan(zero + "US,GS,+  1.000kg\r\n"), "");       // moving is never a row
    EXPECT_EQ(pan("ST,GS,+  1.000kg\r\n"), "W1.000");
    EXPECT_EQ(pan("US,GS,-  0.010kg\r\n" "US,GS,+  5.000kg\r\n", 20), "");  // lifted while moving
    EXPECT_EQ(pan("ST,GS,+  5.000kg\r\n"), "W5.000");
    EXPECT_EQ(pan("ST,GS,+  0.099kg\r\nST,GS,+  0.100kg\r\n"), "W0.100");  // the site's minimum
    EXPECT_EQ(pan(zero + "OL,GS,+ 99.999kg\r\n", 1) + pan("OL,GS,+ 99.999kg\r\n", 10), "O");
    EXPECT_EQ(pan("ST,GS,+  5.000kg\r\n"), "");              // an overload is no clearing
    EXPECT_EQ(pan("ST,GS,-  0.500kg\r\nOL,GS,+ 99.999kg\r\n"), "O");  // under zero clears
    EXPECT_EQ(pan(zero + "ST,GS,+  4.000kg\r\nST,GS,+  4."), "W4.000");
    session->Restart();  // a new connection: the half line goes, the parcel on the pan is taken
    EXPECT_EQ(pan("500kg\r\nST,GS,+  4.000kg\r\n"), "W4.000");
}

}  // namespace
