// The JSON of what the weighing log keeps, as the service answers it.
#include "ServiceJson.h"

#include "platform/LocalTime.h"
#include "platform/Utf.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace service {

namespace {

std::string Trimmed(std::u16string text) {
    const std::string utf8 = platform::Utf16ToUtf8(text);
    const auto first = utf8.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return utf8.substr(first, utf8.find_last_not_of(' ') - first + 1);
}

// Seconds since 1970 as local ISO 8601 with its offset: "2026-12-10T09:05:03+01:00".
std::string IsoTime(std::int64_t at) {
    std::tm local{};
    if (!platform::ToLocalTime(static_cast<std::time_t>(at), local)) return {};
    // The offset: the local fields read as if they were UTC, less the moment.
    const auto days = [](int y, unsigned m, unsigned d) {  // days since 1970-01-01 of a civil date
        y -= m <= 2;
        const int era = (y >= 0 ? y : y - 399) / 400;
        const unsigned yoe = static_cast<unsigned>(y - era * 400);
        const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
        const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
        return static_cast<std::int64_t>(era) * 146097 + static_cast<std::int64_t>(doe) - 719468;
    };
    const std::int64_t asUtc = days(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday)) * 86400 +
                               local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    const std::int64_t offset = (asUtc - at) / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, offset < 0 ? '-' : '+',
                  static_cast<int>(std::llabs(offset) / 60), static_cast<int>(std::llabs(offset) % 60));
    return text;
}

std::string PortName(int port) { return port > 0 ? "COM" + std::to_string(port) : std::string(); }

}  // namespace

// A weight as a number with the decimals it was weighed with (0.730, not 0.7299999).
json Kg(double kg, int decimals) {
    const double scale = std::pow(10.0, std::clamp(decimals, 0, 6));
    return std::round(kg * scale) / scale;
}

json WeighingJson(const Weighing& w, const Words& words) {
    const char* kind = w.reading.kind == weighing::RowKind::Weight       ? "weight"
                       : w.reading.kind == weighing::RowKind::Overweight ? "overweight"
                                                                         : "error";
    return {{"seq", w.seq},
            {"number", w.number},
            {"kind", kind},
            // An overweight row's stored weight is a marker, not what was on the pan.
            {"kg", w.reading.kind == weighing::RowKind::Weight ? Kg(w.reading.kg, w.reading.decimals) : json()},
            {"text", Trimmed(weighing::DataText(w.reading, words.unit, words.error, words.overweight))},
            {"unit", weighing::UnitText(words.unit)},
            {"time", IsoTime(w.at)},
            {"maybe_repeat", w.maybeRepeat}};
}

json LiveJson(const std::optional<Live>& live) {
    if (!live) return nullptr;
    if (live->overload) return {{"kg", nullptr}, {"stable", live->stable}, {"overweight", true}};
    return {{"kg", Kg(live->kg, live->decimals)}, {"stable", live->stable}};
}

json StateJson(const std::string& run, const Connection& c) {
    return {{"run", run},
            {"connected", c.connected},
            {"port", c.connected ? json(PortName(c.port)) : json()},
            {"scale", c.connected ? json(c.scale) : json()}};
}

}  // namespace service
