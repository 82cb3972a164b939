// Random tables — empty cells, long texts, characters beyond the BMP, many equal strings — become
// workbook streams that the project's own reader walks record by record and reads back to the
// very table that was written.
#include "WorkbookExport.h"
#include "CompoundFile.h"
#include "../support/Biff8Walk.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>

namespace {

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "%s\n", what);
        std::abort();
    }
}

// A text from the input: each byte picks a character from one of several ranges, runs repeat.
std::u16string MakeText(FuzzedDataProvider& in) {
    std::u16string s;
    const auto length = in.ConsumeIntegralInRange<std::size_t>(0, in.ConsumeBool() ? 40 : 20000);
    while (s.size() < length && in.remaining_bytes() > 0) {
        const std::uint8_t b = in.ConsumeIntegral<std::uint8_t>();
        const std::size_t run = b & 0x80 ? 1 + (b & 0x3F) * 37 : 1;
        char16_t c;
        switch (b & 0x03) {
            case 0: c = static_cast<char16_t>(u' ' + (b >> 2) % 95); break;  // printable ASCII
            case 1: c = static_cast<char16_t>(0xA0 + (b >> 2)); break;       // Latin-1
            case 2: c = static_cast<char16_t>(0x4E00 + (b >> 2) * 131); break;  // CJK
            default:
                s += u"\U0001F4E6";  // a character beyond the BMP: a surrogate pair
                continue;
        }
        s.append(std::min(run, length - s.size()), c);
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    std::array<std::u16string, exporter::kColumns> titles;
    for (auto& t : titles) t = MakeText(in);
    std::vector<std::u16string> pool(in.ConsumeIntegralInRange<std::size_t>(1, 12));
    for (auto& p : pool) p = MakeText(in);
    // At most about a million characters in the cells, so that one run stays quick.
    std::size_t longest = 1;
    for (const auto& p : pool) longest = std::max(longest, p.size());
    const auto rows = std::min(in.ConsumeIntegralInRange<std::size_t>(0, 3000), 1000000 / (longest * exporter::kColumns));
    // Cells pick texts from the small pool (so many are equal); an empty text is an empty cell.
    std::vector<std::uint8_t> picks = in.ConsumeRemainingBytes<std::uint8_t>();
    if (picks.empty()) picks.push_back(0);
    auto cell = [&](std::size_t r, int c) -> const std::u16string& {
        return pool[picks[(r * exporter::kColumns + static_cast<std::size_t>(c)) % picks.size()] % pool.size()];
    };

    const std::vector<std::uint8_t> stream =
        exporter::BuildTableStream(titles, rows, [&](std::size_t r, int c) { return std::u16string_view(cell(r, c)); });
    const biff8walk::SheetText sheet = biff8walk::ReadSheetText(stream);
    Require(sheet.problem.empty(), sheet.problem.c_str());

    std::size_t expectedCells = 0;
    for (int c = 0; c < exporter::kColumns; ++c) {
        const std::u16string title(exporter::HeaderTitle(titles[static_cast<std::size_t>(c)]));
        if (title.empty()) continue;
        ++expectedCells;
        const auto it = sheet.cells.find({0, c});
        Require(it != sheet.cells.end() && it->second == title, "a title differs");
    }
    for (std::size_t r = 0; r < rows; ++r) {
        for (int c = 0; c < exporter::kColumns; ++c) {
            const std::u16string& text = cell(r, c);
            const auto it = sheet.cells.find({static_cast<int>(r + 1), c});
            if (text.empty()) {
                Require(it == sheet.cells.end(), "an empty cell holds text");
            } else {
                ++expectedCells;
                Require(it != sheet.cells.end() && it->second == text, "a cell's text differs");
            }
        }
    }
    Require(sheet.cells.size() == expectedCells, "more text cells than the table has");

    // The compound file around the stream: the header's signature and whole sectors.
    const std::vector<std::uint8_t> file = cfb::BuildCompoundFile(u"Workbook", stream);
    Require(file.size() % 512 == 0 && file.size() >= 512 + stream.size(), "compound file too short");
    static constexpr std::uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    Require(std::equal(kSignature, kSignature + 8, file.begin()), "no compound file signature");
    return 0;
}
