#pragma once
// The row a message from a connected scale becomes — its six texts and what it stands for —
// decided here once for every view of the table.
#include "FrameDecoder.h"
#include "MeasurementTable.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace weighing {

// The language's words a row may show.
struct RowWords {
    std::u16string_view overweight;   // the Data text of an overweight row
    std::u16string_view error;        // the Data text of an error row
    std::u16string_view badBatch;     // an error row's explanation, before the batch's bytes
    std::u16string_view maybeRepeat;  // the explanation of a row that may be a weighing sent again
};

struct BatchRow {
    std::array<std::u16string, kColumns> texts;
    Reading reading;
    RowTexts Views() const {
        return {texts[0], texts[1], texts[2], texts[3], texts[4], texts[5]};
    }
};

// The row at index `row` a scale's message becomes: what it stands for (`reading`) and, for an
// error row, the bytes shown in its explanation (`shown`, none: no explanation). `now` and
// `reference` (the connection's start) are seconds since 1970; `unit` is the display unit.
BatchRow RowOfReading(const Reading& reading, const std::uint8_t* shown, std::size_t shownBytes, std::size_t row, int unit,
                      std::int64_t now, std::int64_t reference, const RowWords& words, bool maybeRepeat = false);

}  // namespace weighing
