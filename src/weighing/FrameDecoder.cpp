#include "FrameDecoder.h"

#include "platform/LocalTime.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace weighing {

FrameType JudgeFrame(const std::uint8_t* b) {
    if (b[0] == kOverweightFrame) return FrameType::Overweight;
    if (b[0] == kWeightFrame && (b[0] ^ b[1] ^ b[2] ^ b[3] ^ b[4]) == b[5]) return FrameType::Weight;
    return FrameType::Bad;
}

BatchJudgement TakeBatch(const std::uint8_t* head, bool& frameError, int& errorCount) {
    switch (JudgeFrame(head)) {
        case FrameType::Weight:
            frameError = false;
            errorCount = 0;
            return {BatchOutcome::Weighing, false};
        case FrameType::Overweight:
            frameError = false;
            return {BatchOutcome::Overweight, errorCount > 3};
        case FrameType::Bad:
            break;
    }
    if (!frameError) {
        frameError = true;
        return {BatchOutcome::AskAgain, false};
    }
    frameError = false;
    ++errorCount;
    return {BatchOutcome::Error, errorCount > 3};
}

int WidthRule(double v, int decimals) {
    // From 1,000 on, the whole digits and every decimal the scale sent. The "%f" text decides,
    // so a value just below 1,000 that prints as 1000.000000 counts as four digits.
    if (v >= 999.999999) {
        char text[64];
        std::snprintf(text, sizeof text, "%f", v);
        const char* dot = std::strchr(text, '.');
        const int whole = dot ? static_cast<int>(dot - text) : 0;
        if (whole >= 4) return whole + 1 + decimals;
    }
    static constexpr int kWidths[3][3] = {{5, 6, 6}, {4, 5, 6}, {3, 4, 5}};  // v ≥ 100, ≥ 10, < 10
    const int band = v >= 100 ? 0 : v >= 10 ? 1 : 2;
    return kWidths[band][decimals - 1];
}

namespace {

// Pounds by way of ounces, as the scale's own display does it.
constexpr double kOuncesPerKg = 35.27, kPoundsPerOunce = 0.0625, kPoundsPerKg = 2.204;

// The first `width` characters of the value with six decimals ("%f"); to_chars gives the same
// correctly rounded digits as printf, several times faster (a unit change formats every row).
std::string Cut(double v, int width) {
    char text[400];
    const auto end = std::to_chars(text, text + sizeof text, v, std::chars_format::fixed, 6).ptr;
    return std::string(text, std::min<std::size_t>(static_cast<std::size_t>(end - text), static_cast<std::size_t>(std::max(width, 0))));
}

}  // namespace

Weighing DecodeWeight(const std::uint8_t* f) {
    Weighing w;
    const std::uint32_t count = static_cast<std::uint32_t>(f[2]) << 16 | static_cast<std::uint32_t>(f[3]) << 8 | f[4];
    int decimals;
    double factor;
    switch (f[1] & 0x0F) {
        case 2: decimals = 1, factor = 0.1; break;
        case 4: decimals = 2, factor = 0.01; break;
        case 8: decimals = 3, factor = 0.001; break;
        default: return w;
    }
    w.readable = true;
    w.kg = count * factor;
    if ((f[1] & 0xF0) == 0x40) w.kg = -w.kg;
    w.decimals = static_cast<std::int8_t>(decimals);
    return w;
}

std::int16_t WidthCode(double kg, int decimals) {
    decimals = std::clamp(decimals, 1, 3);  // (the width rule knows the six-byte scale's decimals only)
    const double a = std::fabs(kg);
    const int kgWidth = WidthRule(a, decimals);
    const int lbWidth = WidthRule(a * kPoundsPerKg, decimals);
    const double x = a * kOuncesPerKg * kPoundsPerOunce;
    const double ounces = (x - std::trunc(x)) * 16;
    const int ozWidth = ounces >= 10 ? 2 : 3;
    return static_cast<std::int16_t>(kgWidth + 10 * lbWidth + 100 * ozWidth);
}

const char* UnitText(int unit) {
    switch (unit) {
        case kLb: return "LB";
        case kLbOz: return "LB:OZ";
        default: return "KG";
    }
}

std::string WeightText(double kg, int decimals, int unit) {
    const int code = WidthCode(kg, decimals);
    const double a = std::fabs(kg);
    std::string text;
    if (unit == kLb) {
        text = Cut(a * kPoundsPerKg, code / 10 % 10);
    } else if (unit == kLbOz) {
        const double x = a * kOuncesPerKg * kPoundsPerOunce;
        const double pounds = std::trunc(x);
        const std::string ounces = Cut((x - pounds) * 16, code / 100 % 10 == 2 ? 2 : 3);
        char head[32];
        std::snprintf(head, sizeof head, "%02d:", static_cast<int>(pounds));
        text = head + ounces;
    } else {
        text = Cut(a, code % 10);
    }
    return kg < 0 ? "-" + text : text;
}

std::string HexBytes(const std::uint8_t* bytes, int count) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(static_cast<std::size_t>(count) * 2);
    for (int i = 0; i < count; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0x0F];
    }
    return out;
}

std::string FormatDuration(std::int64_t span) {
    const long hours = static_cast<long>(span / 3600 - (span / 86400) * 24);
    const long minutes = static_cast<long>(span / 60 - (span / 3600) * 60);
    const long seconds = static_cast<long>(span - (span / 60) * 60);
    char text[64];
    std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld", hours, minutes, seconds);
    return text;
}

std::string FormatUpdateTime(std::int64_t t) {
    const auto seconds = static_cast<std::time_t>(t);
    std::tm local{};
    if (!platform::ToLocalTime(seconds, local)) return {};
    char text[128];
    if (std::strftime(text, sizeof text, "%H:%M:%S %m/%d/%Y", &local) == 0) return {};
    return text;
}

}  // namespace weighing
