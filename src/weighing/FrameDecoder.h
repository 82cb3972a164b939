#pragma once
// The scale's weight frames, without any user interface: telling frames apart, the check byte,
// the weight in kilograms with its decimals, and the texts a row shows in each display unit.
#include <cstdint>
#include <string>

namespace weighing {

// Frame bytes: type, status (sign in the high nibble, decimals in the low), 24-bit count, check.
inline constexpr std::uint8_t kWeightFrame = 0x5F, kOverweightFrame = 0x3F;
inline constexpr std::uint8_t kAcknowledge = 0x9F, kBadFrameNotice = 0xF9, kDisconnectNotice = 0x3A;

// What a row of the table holds, stored beside its weight: a real weighing of 0.0 or 555.5 kg
// is a number, never mistaken for an error or overweight row.
enum class RowKind : std::uint8_t { Weight = 0, Overweight = 1, Error = 2 };

enum class FrameType { Weight, Overweight, Bad };

// Judges the frame at the start of `buffer` (at least six bytes are read).
FrameType JudgeFrame(const std::uint8_t* buffer);

// What the window makes of one batch from a connected scale.
enum class BatchOutcome { AskAgain, Weighing, Overweight, Error };
struct BatchJudgement {
    BatchOutcome outcome;
    bool offerDisconnect;  // errors keep coming: ask the operator whether to disconnect
};

// Judges the batch starting at `head` (six bytes are read) against the line's error state:
// `frameError` is set while a bad frame has been asked again, `errorCount` counts the error
// rows since the last good weighing. A first bad frame is asked again without a row; a second
// one in a row becomes an error row.
BatchJudgement TakeBatch(const std::uint8_t* head, bool& frameError, int& errorCount);

// Leading characters of the "%f" text of v ≥ 0 kept for `decimals` (1, 2 or 3) decimals: below
// 100 every decimal, from 100 to 999 at most two, from 1,000 on every decimal again.
int WidthRule(double v, int decimals);

struct Weighing {
    bool readable = false;  // false for an unknown decimal code: the row shows "Error_EX"
    double kg = 0.0;        // signed
    std::int8_t decimals = 0;  // as the scale sent them (1, 2 or 3)
};

// Decodes the weight of a checked weight frame.
Weighing DecodeWeight(const std::uint8_t* frame);

enum Unit { kKg = 0, kLb = 1, kLbOz = 2 };
const char* UnitText(int unit);  // "KG", "LB", "LB:OZ"

// How many leading characters of its "%f" texts a weighing of `kg` with `decimals` (1, 2 or 3)
// shows: kg width + 10 × lb width + 100 × oz width (the site keeps this code as it is).
std::int16_t WidthCode(double kg, int decimals);

// The Data text of a weighing of `kg` with `decimals` in `unit`.
std::string WeightText(double kg, int decimals, int unit);

// Every byte as two upper-case hex digits, without separators.
std::string HexBytes(const std::uint8_t* bytes, int count);

// "hh:mm:ss" of a span in seconds; whole days are dropped.
std::string FormatDuration(std::int64_t span);
// "HH:MM:SS mm/dd/YYYY" in local time; empty when the time cannot be converted.
std::string FormatUpdateTime(std::int64_t t);

}  // namespace weighing
