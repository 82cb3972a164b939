#include "BatchRow.h"

namespace weighing {

namespace {

constexpr double kOverweightStored = 555.5;

std::u16string Latin(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace

BatchRow RowOfBatch(BatchOutcome outcome, const std::uint8_t* frame, const std::uint8_t* batch, std::size_t batchBytes,
                    std::size_t row, int unit, std::int64_t now, std::int64_t reference, const RowWords& words,
                    bool maybeRepeat) {
    BatchRow made;
    auto& t = made.texts;
    t[kNumber] = NumberText(row);
    if (outcome == BatchOutcome::Overweight) {
        t[kData] = words.overweight;
        made.reading = {RowKind::Overweight, kOverweightStored, 0};
    } else if (outcome == BatchOutcome::Error) {
        // The whole batch, for whoever has to find out what went wrong on the line.
        t[kExplan] = std::u16string(words.badBatch) + Latin(HexBytes(batch, static_cast<int>(batchBytes)));
        t[kData] = words.error;
        made.reading = {RowKind::Error, 0.0, 0};
    } else {
        const Weighing w = DecodeWeight(frame);
        if (w.readable) {
            made.reading = {RowKind::Weight, w.kg, w.decimals};
            t[kData] = Latin(WeightText(w.kg, w.decimals, unit));
        } else {
            // Keeps its error text in every unit.
            made.reading = {RowKind::Error, 0.0, 0};
            t[kData] = words.error;
        }
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
