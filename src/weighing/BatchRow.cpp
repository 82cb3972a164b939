#include "BatchRow.h"

namespace weighing {

namespace {

std::u16string Latin(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace

BatchRow RowOfReading(const Reading& reading, const std::uint8_t* shown, std::size_t shownBytes, std::size_t row, int unit,
                      std::int64_t now, std::int64_t reference, const RowWords& words, bool maybeRepeat) {
    BatchRow made;
    made.reading = reading;
    auto& t = made.texts;
    t[kNumber] = NumberText(row);
    if (reading.kind == RowKind::Overweight) {
        t[kData] = words.overweight;
    } else if (reading.kind == RowKind::Error) {
        t[kData] = words.error;
        // The whole batch, for whoever has to find out what went wrong on the line.
        if (shownBytes > 0) t[kExplan] = std::u16string(words.badBatch) + Latin(HexBytes(shown, static_cast<int>(shownBytes)));
    } else {
        t[kData] = Latin(WeightText(reading.kg, reading.decimals, unit));
    }
    if (maybeRepeat)
        t[kExplan] = t[kExplan].empty() ? std::u16string(words.maybeRepeat) : t[kExplan] + u"; " + std::u16string(words.maybeRepeat);
    t[kUpdateTime] = Latin(FormatUpdateTime(now));
    t[kDuration] = Latin(FormatDuration(now - reference));
    // The unit the Data text is rendered in. (Copying the row above would, during a unit
    // conversion, pair an old-unit weight with a converted row's new unit.)
    t[kUnit] = Latin(UnitText(unit));
    return made;
}

}  // namespace weighing
