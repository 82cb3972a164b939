// table2xls IN.tsv OUT.xls — writes a UTF-8 tab-separated table as an Excel 97 workbook.
// The first line holds the six column titles, every further line one row; missing fields are
// empty cells. Bad input is reported on standard error and no output file is written.
#include "WorkbookExport.h"
#include "platform/Utf.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

int Fail(const std::string& message) {
    std::fprintf(stderr, "table2xls: %s\n", message.c_str());
    return 1;
}

// The whole file; false with errno set when it cannot be read.
bool ReadFile(const char* path, std::string& content) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    char buffer[1 << 16];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) content.append(buffer, n);
    const bool ok = !std::ferror(f);
    const int error = errno;
    std::fclose(f);
    errno = error;
    return ok;
}

// The table's texts, all in one UTF-16 buffer: a cell is the range from the previous cell's
// end to its own (row-major, six cells a row, the titles first).
struct Table {
    std::u16string chars;
    std::vector<std::uint32_t> ends;
    std::size_t Rows() const { return ends.size() / exporter::kColumns; }
    std::u16string_view Cell(std::size_t row, int column) const {
        const std::size_t i = row * exporter::kColumns + static_cast<std::size_t>(column);
        const std::uint32_t begin = i ? ends[i - 1] : 0;
        return std::u16string_view(chars).substr(begin, ends[i] - begin);
    }
};

}  // namespace

int main(int argc, char** argv) {
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);  // a file size limit fails the write (EFBIG), reported as any other
#endif
    if (argc != 3) return Fail("usage: table2xls IN.tsv OUT.xls");
    std::string content;
    if (!ReadFile(argv[1], content)) return Fail(std::string("cannot read ") + argv[1] + ": " + std::strerror(errno));
    Table table;
    {
        std::string_view rest = content;
        if (rest.substr(0, 3) == "\xEF\xBB\xBF") rest.remove_prefix(3);
        table.chars.reserve(rest.size());
        std::size_t lineNumber = 0;
        while (!rest.empty()) {
            const std::size_t newline = rest.find('\n');
            std::string_view line = rest.substr(0, newline);
            rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
            ++lineNumber;
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (table.Rows() == 65536) return Fail("more than 65,535 data rows");
            int fields = 0;
            for (;;) {
                const std::size_t tab = line.find('\t');
                if (++fields > 256) return Fail("line " + std::to_string(lineNumber) + " has more than 256 fields");
                if (fields <= exporter::kColumns) {
                    const std::size_t start = table.chars.size();
                    if (!platform::AppendUtf8AsUtf16(line.substr(0, tab), table.chars))
                        return Fail("line " + std::to_string(lineNumber) + " is not valid UTF-8");
                    if (table.chars.size() - start > exporter::kMaxCellUnits)
                        return Fail("line " + std::to_string(lineNumber) + ", field " + std::to_string(fields) +
                                    " is longer than a cell holds (32,767 UTF-16 characters)");
                    table.ends.push_back(static_cast<std::uint32_t>(table.chars.size()));
                }
                if (tab == std::string_view::npos) break;
                line.remove_prefix(tab + 1);
            }
            for (; fields < exporter::kColumns; ++fields) table.ends.push_back(static_cast<std::uint32_t>(table.chars.size()));
        }
    }
    content = {};  // the texts are in the table now
    if (table.Rows() == 0) return Fail(std::string(argv[1]) + " is empty: the first line must hold the titles");

    std::array<std::u16string, exporter::kColumns> titles;
    for (int c = 0; c < exporter::kColumns; ++c) titles[static_cast<std::size_t>(c)] = table.Cell(0, c);
    const exporter::SaveResult result = exporter::WriteTableWorkbook(
        argv[2], titles, table.Rows() - 1, [&](std::size_t r, int c) { return table.Cell(r + 1, c); });
    if (!result.written) return Fail(std::string("cannot write ") + argv[2] + ": " + std::strerror(result.error));
    return 0;
}
