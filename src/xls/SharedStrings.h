#pragma once
// The shared string table's layout and bytes, for any list of strings: the workbook model's
// (8- or 16-bit texts) and the text sheet's (16-bit views). The table is one SST record and as
// many CONTINUE records as its strings need; a string cut by a record boundary goes on after
// its flags byte again.
#include "Biff8Records.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

namespace Biff8 {

// What the table needs of a string: its width, its length in characters and the characters.
inline bool SstWide(const SstString& s) { return s.IsWide(); }
inline bool SstWide(std::u16string_view) { return true; }
inline std::uint32_t SstLength(const SstString& s) {
    return static_cast<std::uint32_t>(s.IsWide() ? s.wide.size() : s.narrow.size());
}
inline std::uint32_t SstLength(std::u16string_view s) { return static_cast<std::uint32_t>(s.size()); }
inline std::u16string_view SstWideChars(const SstString& s) { return s.wide; }
inline std::u16string_view SstWideChars(std::u16string_view s) { return s; }
inline std::string_view SstNarrowChars(const SstString& s) { return s.narrow; }
inline std::string_view SstNarrowChars(std::u16string_view) { return {}; }

// The data offsets at which a CONTINUE record starts, and the size of the data.
template <typename Strings>
std::uint32_t LayoutSharedStrings(const Strings& strings, std::vector<std::uint32_t>& boundaries) {
    boundaries.clear();
    std::uint32_t d = 8, limit = kMaxRecordData;
    for (const auto& s : strings) {
        const bool wide = SstWide(s);
        const std::uint32_t n = SstLength(s) * (wide ? 2 : 1);
        if (d + n + 3 <= limit) {
            d += n + 3;
            continue;
        }
        if (limit - d < 12) {
            // Too little room for the header and some characters: start the next record whole.
            boundaries.push_back(d);
            limit = d + kMaxRecordData;
            if (d + n + 3 <= limit) {
                d += n + 3;
                continue;
            }
        }
        // Cut the string; the characters before each cut are whole (even bytes when wide), and
        // every CONTINUE starts with the string's flags byte again.
        std::uint32_t b = (wide && (limit - d) % 2 == 0) ? limit - 1 : limit;
        boundaries.push_back(b);
        std::uint32_t rest = n + 3 - (b - d);
        const std::uint32_t perContinue = wide ? kMaxRecordData - 2 : kMaxRecordData - 1;
        // A rest that exactly fills a CONTINUE ends there: no empty CONTINUE with a lone flags byte.
        while (rest > perContinue) {
            b += perContinue + 1;
            boundaries.push_back(b);
            rest -= perContinue;
        }
        d = b + rest + 1;
        limit = b + kMaxRecordData;
    }
    return d;
}

// The SST record and its CONTINUE records as laid out above, through `w` (U8, U16, U32 and
// Bytes of a little-endian writer).
template <typename Writer, typename Strings>
void WriteSharedStrings(Writer& w, std::uint32_t totalCount, std::uint32_t uniqueCount, const Strings& strings,
                        const std::vector<std::uint32_t>& boundaries, std::uint32_t dataSize) {
    std::size_t next = 0;   // next boundary
    std::uint32_t pos = 0;  // position in the data, CONTINUE headers not counted
    auto boundary = [&] { return next < boundaries.size() ? boundaries[next] : dataSize; };
    auto startRecord = [&](std::uint16_t recordId) {
        w.U16(recordId);
        w.U16(static_cast<std::uint16_t>(boundary() - pos));
    };
    startRecord(0x00FC);
    w.U32(totalCount);
    w.U32(uniqueCount);
    pos = 8;
    for (const auto& s : strings) {
        if (next < boundaries.size() && boundaries[next] == pos) {  // the string starts a record
            ++next;
            startRecord(kContinueId);
        }
        const bool wide = SstWide(s);
        const std::uint8_t flags = wide ? 0x01 : 0x00;
        const std::uint32_t count = SstLength(s);
        w.U16(static_cast<std::uint16_t>(count));
        w.U8(flags);
        pos += 3;
        const std::uint32_t unit = wide ? 2 : 1;
        for (std::uint32_t i = 0; i < count;) {
            if (next < boundaries.size() && boundaries[next] == pos) {
                ++next;
                startRecord(kContinueId);
                w.U8(flags);  // the string goes on in a CONTINUE
                ++pos;
            }
            // Characters up to the next boundary (the layout never cuts inside a character).
            const std::uint32_t run = std::min(count - i, std::max<std::uint32_t>(1, (boundary() - pos) / unit));
            if (wide) {
                const std::u16string_view chars = SstWideChars(s);
                for (std::uint32_t k = i; k < i + run; ++k) w.U16(chars[k]);
            } else {
                w.Bytes(SstNarrowChars(s).data() + i, run);
            }
            pos += run * unit;
            i += run;
        }
    }
}

}  // namespace Biff8
