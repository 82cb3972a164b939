// The six-byte scale's protocol on its own: its greeting, and the byte table of what its frames
// become — the message, the answer, the bytes an error row shows — in pieces, glued, damaged,
// late, and the errors in a row that make the operator be asked.
#include "SixByteProtocol.h"

#include "FrameDecoder.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Kind = scale::Message::Kind;

Bytes Weight(std::uint32_t grams) {
    Bytes f = {0x5F, 0x08, static_cast<std::uint8_t>(grams >> 16), static_cast<std::uint8_t>(grams >> 8), static_cast<std::uint8_t>(grams), 0};
    f[5] = static_cast<std::uint8_t>(f[0] ^ f[1] ^ f[2] ^ f[3] ^ f[4]);
    return f;
}
const Bytes kDamaged = {0x5F, 0x08, 0x00, 0x10, 0x00, 0x00};
const Bytes kOverweight = {0x3F, 0, 0, 0, 0, 0};

// One line of the table: bytes that come (after `after`), and what the messages that follow are.
struct Step {
    Bytes in;
    std::chrono::milliseconds after{0};
    std::string expected;  // per message: W weight, O overweight, E error row, A asked again; ! offers to disconnect
};

std::string Describe(const std::vector<scale::Message>& out) {
    std::string text;
    for (const scale::Message& m : out) {
        if (m.kind == Kind::AskAgain) {
            text += m.answer == Bytes{0xF9} ? "A" : "A?";
            continue;
        }
        text += m.reading.kind == weighing::RowKind::Weight ? "W" : m.reading.kind == weighing::RowKind::Overweight ? "O" : "E";
        if (m.answer != Bytes{0x9F}) text += "?";
        if (m.offerDisconnect) text += "!";
    }
    return text;
}

std::vector<scale::Message> Drain(scale::Session& session, scale::Clock::time_point now) {
    std::vector<scale::Message> out;
    for (scale::Message m; session.Next(now, m);) out.push_back(m);
    return out;
}

TEST(SixByteProtocolTest, TheGreetingAndTheByteTableOfItsFrames) {
    const scale::SixByteProtocol protocol;
    const serial::LineUse use = protocol.Use();
    EXPECT_EQ(use.settings, (platform::LineSettings{9600, 8, 'N', 1}));
    EXPECT_EQ(use.greeting, Bytes{0x5A});
    EXPECT_EQ(protocol.Goodbye(), Bytes{0x3A});
    std::size_t used = 0;
    const Bytes reply = {0xA5, 0x5F, 0x08};
    EXPECT_EQ(use.recognise(reply.data(), 0, used), serial::Reply::NotYet);
    EXPECT_EQ(use.recognise(reply.data(), reply.size(), used), serial::Reply::Scale);
    EXPECT_EQ(used, 1u);  // the rest is the scale's first frame
    EXPECT_EQ(use.recognise(reply.data() + 1, 2, used), serial::Reply::Other);

    const auto session = protocol.Open(200ms);
    scale::Clock::time_point now{std::chrono::hours(1)};
    const Bytes glued = [] {
        Bytes b = Weight(1000);
        const Bytes w = Weight(2000);
        b.insert(b.end(), w.begin(), w.end());
        b.insert(b.end(), {0x5F, 0x08});  // the start of a third
        return b;
    }();
    const std::vector<Step> table = {
        {Weight(1234), 0ms, "W"},
        {kDamaged, 0ms, "A"},                 // asked again, no row
        {kDamaged, 0ms, "E"},                 // the second in a row is an error row
        {kOverweight, 0ms, "O"},
        {glued, 0ms, "WW"},                   // two glued, a third begun: its rest is waited for
        {{0x00, 0x10, 0x00, 0x47}, 50ms, "W"},
        {{0x5F, 0x08, 0x03}, 0ms, ""},        // a piece whose rest never comes...
        {{}, 199ms, ""},
        {{}, 1ms, "A"},                       // ...judged padded once 200 ms have passed
        {{0x5F}, 0ms, ""},
        {{}, 200ms, "E"},
        {{0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x01}, 0ms, "A"},  // a stray end of a read is dropped
        {Weight(3000), 0ms, "W"},
    };
    std::vector<scale::Message> lastError;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const Step& step = table[i];
        now += step.after;
        if (!step.in.empty()) session->Take(step.in.data(), step.in.size(), now);
        const std::vector<scale::Message> out = Drain(*session, now);
        EXPECT_EQ(Describe(out), step.expected) << "step " << i;
        for (const scale::Message& m : out) {
            EXPECT_EQ(m.raw.size(), 6u) << "step " << i;
            if (m.kind == Kind::Row && m.reading.kind == weighing::RowKind::Error) lastError = out;
        }
        if (i == 0) {
            ASSERT_EQ(out.size(), 1u);
            EXPECT_EQ(out[0].raw, Weight(1234));
            EXPECT_DOUBLE_EQ(out[0].reading.kg, 1.234);
            EXPECT_EQ(out[0].reading.decimals, 3);
        }
        if (i == 2) {
            EXPECT_EQ(out.at(0).shown, kDamaged);  // an error row shows what came
        }
    }
    ASSERT_EQ(lastError.size(), 1u);
    EXPECT_EQ(lastError[0].shown, Bytes{0x5F});  // only the byte that came, not its padding

    // A frame begun behind whole ones waits for its rest from when they were taken up, not from
    // when they came; frames behind one that ends the connection are never judged.
    const Bytes third = Weight(4000);
    Bytes two = Weight(3500);
    two.insert(two.end(), third.begin(), third.begin() + 2);
    session->Take(two.data(), two.size(), now);
    scale::Message m;
    ASSERT_TRUE(session->Next(now, m));
    now += 250ms;  // (the row took its time)
    EXPECT_FALSE(session->Next(now, m));
    ASSERT_TRUE(session->Due().has_value());
    EXPECT_EQ(*session->Due(), now + 200ms);
    session->Take(third.data() + 2, 4, now + 100ms);
    EXPECT_EQ(Describe(Drain(*session, now + 100ms)), "W");
    Bytes last = Weight(1);
    last.insert(last.end(), kDamaged.begin(), kDamaged.end());
    session->Take(last.data(), last.size(), now);
    ASSERT_TRUE(session->Next(now, m));
    session->Restart();  // (that row filled the table)
    EXPECT_FALSE(session->Next(now, m));

    // Errors in a row: after more than three the operator is asked; a Yes counts afresh; a new
    // connection does not.
    const auto errors = [&](int rows) {
        std::string text;
        for (int r = 0; r < rows; ++r) {
            for (int twice = 0; twice < 2; ++twice) {
                session->Take(kDamaged.data(), kDamaged.size(), now);
                text += Describe(Drain(*session, now));
            }
        }
        return text;
    };
    EXPECT_EQ(errors(4), "AEAEAEAE!");
    session->Restart();
    EXPECT_EQ(errors(1), "AE!");
    session->ErrorsForgiven();
    EXPECT_EQ(errors(1), "AE");
}

}  // namespace
