// table2xls IN.tsv OUT.xls — writes a UTF-8 tab-separated table as an Excel 97 workbook.
// The first line holds the six column titles, every further line one row; missing fields are
// empty cells. Bad input is reported on standard error and no output file is written.
#include "WorkbookExport.h"
#include "platform/Utf.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

int Fail(const std::string& message) {
    std::fprintf(stderr, "table2xls: %s\n", message.c_str());
    return 1;
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return Fail("usage: table2xls IN.tsv OUT.xls");
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) return Fail(std::string("cannot read ") + argv[1] + ": " + std::strerror(errno));
    std::vector<std::vector<std::u16string>> table;
    std::string line;
    std::size_t lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (lineNumber == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        const std::vector<std::string> fields = SplitTabs(line);
        if (fields.size() > 256) return Fail("line " + std::to_string(lineNumber) + " has more than 256 fields");
        std::vector<std::u16string> row;
        for (const std::string& f : fields) {
            bool valid = true;
            row.push_back(platform::Utf8ToUtf16(f, &valid));
            if (!valid) return Fail("line " + std::to_string(lineNumber) + " is not valid UTF-8");
        }
        row.resize(exporter::kColumns);
        table.push_back(std::move(row));
        if (table.size() > 65536) return Fail("more than 65,535 data rows");
    }
    if (in.bad()) return Fail(std::string("cannot read ") + argv[1]);
    if (table.empty()) return Fail(std::string(argv[1]) + " is empty: the first line must hold the titles");

    std::array<std::u16string, exporter::kColumns> titles;
    for (int c = 0; c < exporter::kColumns; ++c) titles[static_cast<std::size_t>(c)] = table[0][static_cast<std::size_t>(c)];
    const exporter::SaveResult result = exporter::WriteTableWorkbook(
        argv[2], titles, table.size() - 1,
        [&](std::size_t r, int c) { return std::u16string_view(table[r + 1][static_cast<std::size_t>(c)]); });
    if (!result.written) return Fail(std::string("cannot write ") + argv[2] + ": " + std::strerror(result.error));
    return 0;
}
