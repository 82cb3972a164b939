#pragma once
// Builds the workbook of a measurement table and writes it as an .xls file: a bold header row
// with the six titles, then one text row per table row (empty texts stay empty cells).
#include <array>
#include <atomic>
#include <cstddef>
#include <ctime>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace exporter {

inline constexpr int kColumns = 6;
inline constexpr std::size_t kMaxTitleUnits = 255;  // a header title is read through a 256-unit buffer
inline constexpr std::size_t kMaxCellUnits = 32767;  // the most a cell holds

// A header title as the sheet holds it: its first kMaxTitleUnits units, never half a character
// (a surrogate pair cut in two loses its first half too).
inline std::u16string_view HeaderTitle(std::u16string_view title) {
    title = title.substr(0, kMaxTitleUnits);
    if (title.size() == kMaxTitleUnits && title.back() >= 0xD800 && title.back() <= 0xDBFF) title.remove_suffix(1);
    return title;
}

struct SaveResult {
    bool written = false;  // the file is complete on disk
    int error = 0;         // errno of the failure, 0 when written
};

using CellText = std::function<std::u16string_view(std::size_t row, int column)>;

// A complete workbook under a name of its own, and the file it is to replace.
struct UnmovedFile {
    std::string written, target;
};

// The name a save offers for a table saved at `now`: "TarnobelDataFile-YYYY-MM-DD-hh-mm-ss.xls" in
// local time.
std::string DefaultFileName(std::time_t now);

// `progress`, when given, follows the export's steps up to 950000. A stop requested before the
// file is complete writes nothing (ECANCELED): a half-read table never becomes a file. A text
// longer than kMaxCellUnits fails the save (EINVAL), as does a table beyond what a workbook file
// holds (EFBIG).
//
// With `unmoved`, the complete file is left under a name of its own beside its target, both given
// there, for the caller to move into place (cfb::MoveFileIntoPlace) once it has noted the move.
SaveResult WriteTableWorkbook(const std::string& path, const std::array<std::u16string, kColumns>& titles,
                              std::size_t rows, const CellText& text, std::atomic<int>* progress = nullptr,
                              std::stop_token stop = {}, UnmovedFile* unmoved = nullptr);

// The "Workbook" stream of the same table, in memory (empty beyond the sheet's rows).
std::vector<std::uint8_t> BuildTableStream(const std::array<std::u16string, kColumns>& titles, std::size_t rows,
                                           const CellText& text);

}  // namespace exporter
