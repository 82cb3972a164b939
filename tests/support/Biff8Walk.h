#pragma once
// Reads a workbook stream back: record by record, the shared strings across their CONTINUE
// records, and the text cells of the sheet. An independent reader for the writer's tests and
// its fuzz target; anything a spreadsheet program would choke on is named in `problem`.
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace biff8walk {

struct RecordView {
    std::uint16_t id;
    std::uint32_t offset;  // of the header
    std::vector<std::uint8_t> data;
};

inline std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
inline std::uint32_t U32(const std::uint8_t* p) { return U16(p) | static_cast<std::uint32_t>(U16(p + 2)) << 16; }

// Every record of the stream; false when a header or a record's data runs past the end.
inline bool WalkRecords(const std::vector<std::uint8_t>& s, std::vector<RecordView>& out) {
    std::size_t p = 0;
    while (p < s.size()) {
        if (p + 4 > s.size()) return false;
        const std::uint16_t len = U16(&s[p + 2]);
        if (p + 4 + len > s.size()) return false;
        out.push_back({U16(&s[p]), static_cast<std::uint32_t>(p), {s.begin() + p + 4, s.begin() + p + 4 + len}});
        p += 4 + len;
    }
    return true;
}

struct SheetText {
    std::vector<std::u16string> strings;                     // the shared string table
    std::map<std::pair<int, int>, std::u16string> cells;     // (row, column) of every text cell
    std::string problem;                                     // empty when the stream is sound
};

// The SST record and its CONTINUE records as one reader that knows where each record ends.
class SstReader {
public:
    explicit SstReader(std::vector<const std::vector<std::uint8_t>*> pieces) : pieces_(std::move(pieces)) {}
    bool AtPieceEnd() const { return pos_ == pieces_[piece_]->size(); }
    bool NextPiece() {
        if (piece_ + 1 >= pieces_.size()) return false;
        ++piece_;
        pos_ = 0;
        return true;
    }
    std::size_t LeftInPiece() const { return pieces_[piece_]->size() - pos_; }
    const std::uint8_t* Take(std::size_t n) {
        const std::uint8_t* p = pieces_[piece_]->data() + pos_;
        pos_ += n;
        return p;
    }
    bool AllRead() const { return piece_ + 1 == pieces_.size() && AtPieceEnd(); }

private:
    std::vector<const std::vector<std::uint8_t>*> pieces_;
    std::size_t piece_ = 0, pos_ = 0;
};

// Reads `unique` strings; the text of the first problem, or empty.
inline std::string ReadStrings(SstReader& in, std::uint32_t unique, std::vector<std::u16string>& out) {
    for (std::uint32_t k = 0; k < unique; ++k) {
        if (in.AtPieceEnd() && !in.NextPiece()) return "SST ends before its strings";
        if (in.LeftInPiece() < 3) return "string header cut by a record boundary";
        const std::uint8_t* h = in.Take(3);
        std::uint32_t count = U16(h);
        std::uint8_t flags = h[2];
        if (flags > 1) return "unexpected string flags";
        std::u16string s;
        while (count > 0) {
            if (in.AtPieceEnd()) {
                if (!in.NextPiece()) return "string runs past the SST";
                if (in.LeftInPiece() < 1) return "empty CONTINUE";
                flags = *in.Take(1);  // a continued string repeats its flags
                if (flags > 1) return "unexpected flags in a CONTINUE";
            }
            const std::size_t unit = flags ? 2 : 1;
            const std::size_t run = std::min<std::size_t>(count, in.LeftInPiece() / unit);
            if (run == 0) return "character cut by a record boundary";
            const std::uint8_t* c = in.Take(run * unit);
            for (std::size_t i = 0; i < run; ++i) s += static_cast<char16_t>(flags ? U16(c + 2 * i) : c[i]);
            count -= static_cast<std::uint32_t>(run);
        }
        out.push_back(std::move(s));
    }
    return in.AllRead() ? "" : "bytes left after the last string";
}

// Checks the stream's structure and reads its shared strings and text cells.
inline SheetText ReadSheetText(const std::vector<std::uint8_t>& stream) {
    SheetText t;
    std::vector<RecordView> records;
    if (!WalkRecords(stream, records)) return t.problem = "a record runs past the end", t;
    if (records.empty() || records.front().id != 0x0809) return t.problem = "no BOF at the start", t;
    if (records.back().id != 0x000A) return t.problem = "no EOF at the end", t;
    std::map<std::uint32_t, std::uint16_t> idAt;
    for (const auto& r : records) idAt[r.offset] = r.id;
    std::uint32_t totalLabels = 0, declaredTotal = 0;
    bool haveSst = false;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const RecordView& r = records[i];
        if (r.data.size() > 8224) return t.problem = "record longer than 8224 bytes", t;
        if (r.id == 0x0085 && (r.data.size() < 4 || idAt.count(U32(r.data.data())) == 0 || idAt[U32(r.data.data())] != 0x0809))
            return t.problem = "BOUNDSHEET does not point at a BOF", t;
        if (r.id == 0x00FC) {
            if (r.data.size() < 8) return t.problem = "short SST", t;
            haveSst = true;
            declaredTotal = U32(r.data.data());
            std::vector<const std::vector<std::uint8_t>*> pieces{&r.data};
            for (std::size_t j = i + 1; j < records.size() && records[j].id == 0x003C; ++j) pieces.push_back(&records[j].data);
            SstReader in(pieces);
            in.Take(8);
            t.problem = ReadStrings(in, U32(r.data.data() + 4), t.strings);
            if (!t.problem.empty()) return t;
        }
        if (r.id == 0x00FD) {
            if (r.data.size() != 10) return t.problem = "LABELSST of the wrong size", t;
            const std::uint32_t index = U32(r.data.data() + 6);
            if (index >= t.strings.size()) return t.problem = "LABELSST points past the SST", t;
            const auto key = std::make_pair(static_cast<int>(U16(r.data.data())), static_cast<int>(U16(r.data.data() + 2)));
            if (!t.cells.emplace(key, t.strings[index]).second) return t.problem = "two text cells at one place", t;
            ++totalLabels;
        }
    }
    if (haveSst && totalLabels != declaredTotal) t.problem = "SST total differs from the text cells";
    return t;
}

}  // namespace biff8walk
