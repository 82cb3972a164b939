// Frame judging, weight decoding and the texts of a row, without any window.
#include "FrameDecoder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>

namespace {

using namespace weighing;

struct Worked {
    std::uint8_t frame[6];
    double kg;
    const char *kgText, *lbText, *lbOzText;
    int code;
};

TEST(FrameDecoderTest, WorkedValuesInEveryUnit) {
    const Worked table[] = {
        {{0x5F, 0x02, 0x00, 0x04, 0xD2, 0x8B}, 123.4, "123.4", "271.9", "272:0.3", 355},
        {{0x5F, 0x08, 0x00, 0x04, 0xD2, 0x81}, 1.234, "1.234", "2.719", "02:11", 255},
        {{0x5F, 0x44, 0x00, 0x04, 0xD2, 0xCD}, -12.34, "-12.34", "-27.19", "-27:3.2", 355},
        {{0x5F, 0x02, 0x00, 0x00, 0x32, 0x6F}, 5.0, "5.0", "11.0", "11:0.3", 343},
    };
    for (const Worked& w : table) {
        ASSERT_EQ(JudgeFrame(w.frame), FrameType::Weight) << w.kgText;
        const Weighing d = DecodeWeight(w.frame);
        EXPECT_TRUE(d.readable);
        EXPECT_DOUBLE_EQ(d.kg, w.kg);
        EXPECT_EQ(d.widthCode, w.code) << w.kgText;
        EXPECT_EQ(WeightText(d.kg, d.widthCode, kKg), w.kgText);
        EXPECT_EQ(WeightText(d.kg, d.widthCode, kLb), w.lbText);
        EXPECT_EQ(WeightText(d.kg, d.widthCode, kLbOz), w.lbOzText);
    }
}

TEST(FrameDecoderTest, WidthRuleAtItsBoundaries) {
    EXPECT_EQ(WidthRule(9.999, 3), 5);
    EXPECT_EQ(WidthRule(10.0, 3), 6);
    EXPECT_EQ(WidthRule(99.99, 2), 5);
    EXPECT_EQ(WidthRule(100.0, 2), 6);
    EXPECT_EQ(WidthRule(100.0, 1), 5);
    EXPECT_EQ(WidthRule(9.9, 1), 3);
    // Cut, not rounded: 123.456 kg with three decimals keeps two.
    const std::uint8_t f[6] = {0x5F, 0x08, 0x01, 0xE2, 0x40, static_cast<std::uint8_t>(0x5F ^ 0x08 ^ 0x01 ^ 0xE2 ^ 0x40)};
    const Weighing d = DecodeWeight(f);
    EXPECT_EQ(WeightText(d.kg, d.widthCode, kKg), "123.45");
    const std::uint8_t hundred[6] = {0x5F, 0x02, 0x00, 0x03, 0xE8, static_cast<std::uint8_t>(0x5F ^ 0x02 ^ 0x03 ^ 0xE8)};
    EXPECT_EQ(WeightText(DecodeWeight(hundred).kg, DecodeWeight(hundred).widthCode, kKg), "100.0");
}

TEST(FrameDecoderTest, SignDecimalsAndFrameTypes) {
    const std::uint8_t negative[6] = {0x5F, 0x42, 0x00, 0x00, 0x0A, static_cast<std::uint8_t>(0x5F ^ 0x42 ^ 0x0A)};
    EXPECT_DOUBLE_EQ(DecodeWeight(negative).kg, -1.0);
    EXPECT_EQ(WeightText(-1.0, DecodeWeight(negative).widthCode, kKg), "-1.0");
    const std::uint8_t code3[6] = {0x5F, 0x03, 0x00, 0x00, 0x0A, static_cast<std::uint8_t>(0x5F ^ 0x03 ^ 0x0A)};
    EXPECT_EQ(JudgeFrame(code3), FrameType::Weight);
    EXPECT_FALSE(DecodeWeight(code3).readable);
    EXPECT_DOUBLE_EQ(DecodeWeight(code3).kg, 0.0);

    const std::uint8_t over[6] = {0x3F, 1, 2, 3, 4, 5};  // recognised by its first byte alone
    EXPECT_EQ(JudgeFrame(over), FrameType::Overweight);
    const std::uint8_t badCheck[6] = {0x5F, 0x02, 0x00, 0x04, 0xD2, 0x00};
    EXPECT_EQ(JudgeFrame(badCheck), FrameType::Bad);
    const std::uint8_t shortBatch[6] = {0x5F, 0x02, 0x00, 0x20, 0x20, 0x20};  // three bytes, then spaces
    EXPECT_EQ(JudgeFrame(shortBatch), FrameType::Bad);
    const std::uint8_t other[6] = {0x41, 0, 0, 0, 0, 0x41};
    EXPECT_EQ(JudgeFrame(other), FrameType::Bad);
    EXPECT_EQ(HexBytes(badCheck, 6), "5F020004D200");
}

TEST(FrameDecoderTest, DurationAndTimeOfDay) {
    EXPECT_EQ(FormatDuration(3725), "01:02:05");
    EXPECT_EQ(FormatDuration(90000), "01:00:00");  // whole days dropped
    EXPECT_EQ(FormatDuration(0), "00:00:00");
    std::tm tm{};
    tm.tm_year = 2026 - 1900, tm.tm_mon = 11, tm.tm_mday = 7, tm.tm_hour = 14, tm.tm_min = 5, tm.tm_sec = 9;
#ifdef _WIN32
    _putenv_s("TZ", "UTC0");
    _tzset();
    const std::time_t t = _mkgmtime(&tm);
#else
    setenv("TZ", "UTC", 1);
    tzset();
    const std::time_t t = timegm(&tm);
#endif
    EXPECT_EQ(FormatUpdateTime(t), "14:05:09 12/07/2026");
}

// Any six bytes: judging, decoding and rendering stay within their texts.
TEST(FrameDecoderTest, RandomFramesNeverBreakTheDecoder) {
    std::mt19937 random(7);
    for (int i = 0; i < 100000; ++i) {
        std::uint8_t f[6];
        for (auto& b : f) b = static_cast<std::uint8_t>(random());
        if (i % 2) f[0] = kWeightFrame, f[5] = static_cast<std::uint8_t>(f[0] ^ f[1] ^ f[2] ^ f[3] ^ f[4]);
        if (JudgeFrame(f) != FrameType::Weight) continue;
        const Weighing d = DecodeWeight(f);
        if (!d.readable) continue;
        for (int unit : {kKg, kLb, kLbOz}) {
            const std::string t = WeightText(d.kg, d.widthCode, unit);
            ASSERT_FALSE(t.empty());
            ASSERT_LE(t.size(), 16u);
        }
    }
}

}  // namespace

#include "TextColumn.h"

namespace {

// Rewrites of every length, removal from the front and the compaction behind them keep every
// cell's text.
TEST(TextColumnTest, RewritesAndRemovalsKeepEveryText) {
    TextColumn column;
    std::vector<std::u16string> expected;
    std::mt19937 random(3);
    for (int i = 0; i < 2000; ++i) {
        expected.emplace_back(random() % 12, static_cast<char16_t>(u'a' + i % 26));
        column.push_back(expected.back());
    }
    for (int round = 0; round < 20000; ++round) {
        const std::size_t row = random() % expected.size();
        expected[row].assign(random() % 20, static_cast<char16_t>(u'A' + round % 26));
        column.set(row, expected[row]);
        if (round % 5000 == 4999) {
            column.erase_front(100);
            expected.erase(expected.begin(), expected.begin() + 100);
        }
    }
    ASSERT_EQ(column.size(), expected.size());
    for (std::size_t r = 0; r < expected.size(); ++r) ASSERT_EQ(column.at(r), expected[r]) << r;
    column.erase_front(column.size() + 5);
    EXPECT_EQ(column.size(), 0u);
}

}  // namespace
