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
        EXPECT_EQ(WidthCode(d.kg, d.decimals), w.code) << w.kgText;
        EXPECT_EQ(WeightText(d.kg, d.decimals, kKg), w.kgText);
        EXPECT_EQ(WeightText(d.kg, d.decimals, kLb), w.lbText);
        EXPECT_EQ(WeightText(d.kg, d.decimals, kLbOz), w.lbOzText);
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
    EXPECT_EQ(WeightText(d.kg, d.decimals, kKg), "123.45");
    const std::uint8_t hundred[6] = {0x5F, 0x02, 0x00, 0x03, 0xE8, static_cast<std::uint8_t>(0x5F ^ 0x02 ^ 0x03 ^ 0xE8)};
    EXPECT_EQ(WeightText(DecodeWeight(hundred).kg, DecodeWeight(hundred).decimals, kKg), "100.0");
}

// From 1,000 on (in kilograms or only in pounds) a value keeps every decimal its frame gives:
// no bare dot, no lost decimals. Below 1,000 nothing changes.
TEST(FrameDecoderTest, FourAndMoreWholeDigitsKeepTheirDecimals) {
    struct Case {
        std::uint32_t count;
        std::uint8_t decimals;  // status byte's low nibble
        const char *kg, *lb, *lbOz;
    };
    const Case cases[] = {
        {9999, 0x02, "999.9", "2203.7", "2204:2.4"},
        {10000, 0x02, "1000.0", "2204.0", "2204:6.0"},
        {12345, 0x02, "1234.5", "2720.8", "2721:4.8"},
        {5000, 0x02, "500.0", "1102.0", "1102:3.0"},
        {0xFFFFFF, 0x08, "16777.215", "36976.981", "36983:4.3"},
    };
    for (const Case& c : cases) {
        const std::uint8_t f[6] = {0x5F, c.decimals, static_cast<std::uint8_t>(c.count >> 16), static_cast<std::uint8_t>(c.count >> 8),
                                   static_cast<std::uint8_t>(c.count),
                                   static_cast<std::uint8_t>(0x5F ^ c.decimals ^ (c.count >> 16) ^ (c.count >> 8) ^ c.count)};
        const Weighing d = DecodeWeight(f);
        ASSERT_TRUE(d.readable) << c.kg;
        EXPECT_EQ(WeightText(d.kg, d.decimals, kKg), c.kg);
        EXPECT_EQ(WeightText(d.kg, d.decimals, kLb), c.lb) << c.kg;
        EXPECT_EQ(WeightText(d.kg, d.decimals, kLbOz), c.lbOz) << c.kg;
        EXPECT_EQ(WeightText(-d.kg, d.decimals, kKg), std::string("-") + c.kg);
    }
}

TEST(FrameDecoderTest, SignDecimalsAndFrameTypes) {
    const std::uint8_t negative[6] = {0x5F, 0x42, 0x00, 0x00, 0x0A, static_cast<std::uint8_t>(0x5F ^ 0x42 ^ 0x0A)};
    EXPECT_DOUBLE_EQ(DecodeWeight(negative).kg, -1.0);
    EXPECT_EQ(WeightText(-1.0, DecodeWeight(negative).decimals, kKg), "-1.0");
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
            const std::string t = WeightText(d.kg, d.decimals, unit);
            ASSERT_FALSE(t.empty());
            ASSERT_LE(t.size(), 16u);
        }
    }
}

}  // namespace
