#include "Biff8Groups.h"
#include "TextSheetStream.h"
#include "XlsBook.h"
#include "XlsFormat.h"
#include "CompoundFile.h"
#include "../support/Biff8Walk.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <map>

#include <deque>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

using biff8walk::RecordView;
using biff8walk::U16;
using biff8walk::U32;

// Walks a stream record by record; fails the test when a header runs past the end.
std::vector<RecordView> Walk(const std::vector<std::uint8_t>& s) {
    std::vector<RecordView> out;
    EXPECT_TRUE(biff8walk::WalkRecords(s, out));
    return out;
}

std::string Ids(const std::vector<RecordView>& records) {
    std::ostringstream o;
    for (const auto& r : records) o << std::hex << r.id << ' ';
    return o.str();
}

// Byte-exact comparison that names the first differing offset.
void ExpectBytes(const std::vector<std::uint8_t>& actual, const std::vector<std::uint8_t>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i)
        ASSERT_EQ(actual[i], expected[i]) << "first difference at offset 0x" << std::hex << i;
}

template <typename R>
std::vector<std::uint8_t> Bytes(R& record) {
    std::vector<std::uint8_t> out(record.RecordSize());
    EXPECT_EQ(record.Write(out.data()), out.size());
    return out;
}

TEST(Biff8Records, FixedRecordsAreByteExact) {
    Biff8::BOF bof{0x0010};
    ExpectBytes(Bytes(bof), {0x09, 0x08, 16, 0, 0x00, 0x06, 0x10, 0x00, 0xA0, 0x19, 0xCD, 0x07, 0xC9, 0xC0, 0, 0, 0x06, 0x03, 0, 0});
    Biff8::LabelSST label;
    label.row = 2;
    label.column = 5;
    label.xfIndex = 21;
    label.sstIndex = 0x01020304;
    ExpectBytes(Bytes(label), {0xFD, 0x00, 10, 0, 2, 0, 5, 0, 21, 0, 4, 3, 2, 1});
    Biff8::Font font;
    ExpectBytes(Bytes(font), {0x31, 0, 26, 0, 200, 0, 0, 0, 0xFF, 0x7F, 0x90, 0x01, 0, 0, 0, 0, 0, 0,
                              5, 1, 'A', 0, 'r', 0, 'i', 0, 'a', 0, 'l', 0});
    Biff8::BoundSheet sheet;
    sheet.position = 0x1234;
    ExpectBytes(Bytes(sheet), {0x85, 0, 14, 0, 0x34, 0x12, 0, 0, 0, 0, 6, 0, 'S', 'h', 'e', 'e', 't', '1'});
}

// A record whose data is long enough to need CONTINUE records.
class LongRecord : public Biff8::Record {
public:
    explicit LongRecord(std::uint32_t n) : Record(0x1234, n) {}
protected:
    void WriteData(Biff8::ByteWriter& w) override {
        for (std::uint32_t i = 0; i < dataSize; ++i) w.U8(static_cast<std::uint8_t>(i));
    }
};

TEST(Biff8Records, ContinueSplittingAtTheRecordLimit) {
    LongRecord exact(8224);
    auto a = Bytes(exact);
    EXPECT_EQ(a.size(), 8228u);
    EXPECT_EQ(Walk(a).size(), 1u);
    LongRecord over(8225);
    auto b = Bytes(over);
    const auto records = Walk(b);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].data.size(), 8224u);
    EXPECT_EQ(records[1].id, 0x003C);
    EXPECT_EQ(records[1].data.size(), 1u);
    EXPECT_EQ(records[1].data[0], static_cast<std::uint8_t>(8224));
    LongRecord twice(2 * 8224);
    EXPECT_EQ(Walk(Bytes(twice)).size(), 2u);  // no empty CONTINUE after a full chunk
}

// The table borrows its strings; these keep them for the whole test run.
Biff8::SstString Wide(std::size_t n, char16_t c = u'x') {
    static std::deque<std::u16string> kept;
    Biff8::SstString s;
    s.wide = kept.emplace_back(n, c);
    s.flags = 0x01;
    return s;
}
Biff8::SstString Narrow(std::size_t n) {
    static std::deque<std::string> kept;
    Biff8::SstString s;
    s.narrow = kept.emplace_back(n, 'n');
    s.flags = 0x00;
    return s;
}

// Reassembles the SST's strings the way a reader does, honouring the repeated flags bytes.
std::vector<std::u16string> ReadSst(const std::vector<RecordView>& records, std::uint32_t count) {
    std::vector<const std::vector<std::uint8_t>*> pieces;
    for (const auto& r : records) pieces.push_back(&r.data);
    biff8walk::SstReader in(pieces);
    in.Take(8);
    std::vector<std::u16string> out;
    EXPECT_EQ(biff8walk::ReadStrings(in, count, out), "");
    return out;
}

TEST(Biff8Records, SstStringsMoveWholeOrAreCutAtTheRecordLimit) {
    for (std::uint32_t room : {11u, 12u}) {
        Biff8::SharedStringTable sst;
        // A first string that leaves `room` bytes before the limit, then a long 8-bit string.
        sst.strings.push_back(Narrow(8224 - 8 - 3 - room));
        sst.strings.push_back(Narrow(100));
        sst.totalCount = sst.uniqueCount = 2;
        const auto bytes = Bytes(sst);
        const auto records = Walk(bytes);
        ASSERT_EQ(records.size(), 2u);
        if (room == 11) {
            EXPECT_EQ(records[0].data.size(), 8224u - 11);  // moved whole
            EXPECT_EQ(U16(records[1].data.data()), 100);
        } else {
            EXPECT_EQ(records[0].data.size(), 8224u);  // cut: header and 9 characters stay
            EXPECT_EQ(records[1].data[0], 0x00);       // flags byte repeated
            EXPECT_EQ(records[1].data.size(), 1u + 91);
        }
        const auto strings = ReadSst(records, 2);
        EXPECT_EQ(strings[1], std::u16string(100, u'n'));
    }
}

TEST(Biff8Records, WideSstStringsAreNeverCutInsideACharacter) {
    for (std::uint32_t first = 8200; first < 8210; ++first) {
        Biff8::SharedStringTable sst;
        sst.strings.push_back(Narrow(first));
        sst.strings.push_back(Wide(9000, u'中'));  // longer than one record
        sst.strings.push_back(Wide(3, u'a'));      // ASCII held as 16-bit keeps flags 0x01
        sst.totalCount = sst.uniqueCount = 3;
        const auto records = Walk(Bytes(sst));
        const auto strings = ReadSst(records, 3);
        EXPECT_EQ(strings[1], std::u16string(9000, u'中'));
        EXPECT_EQ(strings[2], u"aaa");
        for (std::size_t i = 1; i < records.size(); ++i) EXPECT_EQ(records[i].id, 0x003C);
    }
}

TEST(Biff8Records, AStringThatExactlyFillsAContinueLeavesNoEmptyContinue) {
    for (std::uint32_t n = 16440; n < 16460; ++n) {
        Biff8::SharedStringTable sst;
        sst.strings.push_back(Narrow(n));
        sst.strings.push_back(Narrow(5));
        sst.totalCount = sst.uniqueCount = 2;
        const auto records = Walk(Bytes(sst));
        for (const auto& r : records) EXPECT_GT(r.data.size(), r.id == 0x003C ? 1u : 0u) << n;
        const auto strings = ReadSst(records, 2);
        EXPECT_EQ(strings[1], u"nnnnn") << n;
    }
}

std::vector<std::uint8_t> BookStream(int dataRows) {
    XlsBook book;
    book.New();
    XlsSheet* sheet = book.GetSheet(0);
    for (int r = 0; r < dataRows; ++r)
        for (int c = 0; c < 2; ++c) sheet->Cell(r, c)->SetWString(c == 0 ? u"same" : std::u16string(1, u'A' + r % 26));
    return book.BuildStream();
}

TEST(XlsBookTest, FreshBookStreamRecordByRecord) {
    const auto stream = BookStream(0);
    const auto records = Walk(stream);
    std::string expected = "809 3d 31 ";
    for (int i = 0; i < 21; ++i) expected += "e0 ";
    for (int i = 0; i < 6; ++i) expected += "293 ";
    expected += "85 fc a 809 20b 200 208 201 d7 23e a ";
    EXPECT_EQ(Ids(records), expected);
    const auto& boundsheet = records[30];
    const auto& sheetBof = records[33];
    EXPECT_EQ(U32(boundsheet.data.data()), sheetBof.offset);
    EXPECT_EQ(records[31].data.size(), 8u);                      // empty SST
    EXPECT_EQ(U32(records[34].data.data() + 8), 1u);             // INDEX: last row + 1
    EXPECT_EQ(U32(records[35].data.data() + 4), 1u);             // DIMENSIONS rows 0..1
    EXPECT_EQ(U16(records[35].data.data() + 10), 1u);            // columns 0..1
}

// Checks INDEX positions and DBCELL offsets by following them through the stream.
void CheckRowBlocks(const std::vector<std::uint8_t>& stream, std::size_t expectedBlocks) {
    const auto records = Walk(stream);
    const RecordView* index = nullptr;
    for (const auto& r : records)
        if (r.id == 0x020B) index = &r;
    ASSERT_NE(index, nullptr);
    const std::size_t blocks = (index->data.size() - 16) / 4;
    ASSERT_EQ(blocks, expectedBlocks);
    for (std::size_t j = 0; j < blocks; ++j) {
        const std::uint32_t dbcellPos = U32(index->data.data() + 16 + 4 * j);
        ASSERT_EQ(U16(&stream[dbcellPos]), 0x00D7);
        const std::uint32_t back = U32(&stream[dbcellPos + 4]);
        const std::uint32_t firstRow = dbcellPos - back;
        ASSERT_EQ(U16(&stream[firstRow]), 0x0208);
        // The first offset counts from the second ROW record to the first cell record.
        std::uint32_t cell = firstRow + 20 + U16(&stream[dbcellPos + 8]);
        const std::size_t rows = (U16(&stream[dbcellPos + 2]) - 4) / 2;
        for (std::size_t r = 0; r < rows; ++r) {
            if (r > 0) cell += U16(&stream[dbcellPos + 8 + 2 * r]);
            const std::uint16_t id = U16(&stream[cell]);
            EXPECT_TRUE(id == 0x00FD || id == 0x0201) << "offset of row " << r << " of block " << j;
            EXPECT_EQ(U16(&stream[cell + 4]), 32 * j + r);  // the cell's row number
        }
    }
}

TEST(XlsBookTest, RowBlocksIndexAndDbcellPointAtTheRightBytes) {
    CheckRowBlocks(BookStream(32), 1);
    CheckRowBlocks(BookStream(33), 2);
    CheckRowBlocks(BookStream(101), 4);
}

TEST(XlsBookTest, GridGrowsWithinTheLimitsAndEqualStringsShareOneSstEntry) {
    XlsBook book;
    book.New();
    XlsSheet* sheet = book.GetSheet(0);
    EXPECT_EQ(sheet->Cell(65536, 0), nullptr);
    EXPECT_EQ(sheet->Cell(0, 256), nullptr);
    EXPECT_EQ(sheet->Rows(), 1);
    ASSERT_NE(sheet->Cell(5, 2), nullptr);
    EXPECT_EQ(sheet->Rows(), 6);
    EXPECT_EQ(sheet->Columns(), 3);
    sheet->Cell(0, 0)->SetWString(u"dup");
    sheet->Cell(1, 1)->SetWString(u"dup");
    sheet->Cell(2, 2)->SetWString(u"x");
    sheet->Cell(2, 2)->SetWString(u"");  // erased again
    book.BuildStream();
    EXPECT_EQ(book.globals.sst.totalCount, 2u);
    EXPECT_EQ(book.globals.sst.uniqueCount, 1u);
    ASSERT_NE(sheet->Cell(65535, 0), nullptr);
    EXPECT_EQ(sheet->Rows(), 65536);
}

// The number a reader makes of an RK value.
double FromRk(std::uint32_t rk) {
    double v;
    if (rk & 2) {
        v = static_cast<double>(static_cast<std::int32_t>(rk) >> 2);
    } else {
        const std::uint64_t bits = static_cast<std::uint64_t>(rk & ~3u) << 32;
        std::memcpy(&v, &bits, 8);
    }
    return rk & 1 ? v / 100 : v;
}

// Every number comes back exactly as it was set: in an RK or MULRK record where one of the RK
// forms holds it, in a NUMBER record otherwise (beyond 30 bits, more than two decimals).
TEST(XlsBookTest, NumbersBecomeRkMulRkOrNumberAndReadBackExactly) {
    XlsBook book;
    book.New();
    XlsSheet* sheet = book.GetSheet(0);
    sheet->Cell(0, 0)->SetInteger(7);
    sheet->Cell(0, 1)->SetInteger(8);
    sheet->Cell(0, 2)->SetDouble(1.25);
    sheet->Cell(0, 3)->SetDouble(0.1234567);
    const double values[] = {123.45, -0.01, 1e300, 3e9, -536870912.0, 536870912.0, 0.5, 1234567.89, 16777.215, -2147483647.0};
    for (int c = 0; c < 10; ++c) sheet->Cell(1, c)->SetDouble(values[c]);
    sheet->Cell(2, 0)->SetInteger(2147483647);
    sheet->Cell(2, 1)->SetInteger(-536870913);
    const auto records = Walk(book.BuildStream());
    std::string ids = Ids(records);
    EXPECT_NE(ids.find("208 bd 27e 203 "), std::string::npos) << ids;
    std::map<std::pair<int, int>, double> read;
    for (const auto& r : records) {
        const std::uint8_t* d = r.data.data();
        if (r.id == 0x027E) read[{U16(d), U16(d + 2)}] = FromRk(U32(d + 6));
        if (r.id == 0x0203) {
            double v;
            std::memcpy(&v, d + 6, 8);
            read[{U16(d), U16(d + 2)}] = v;
        }
        if (r.id == 0x00BD) {
            const int first = U16(d + 2), count = (static_cast<int>(r.data.size()) - 6) / 6;
            for (int k = 0; k < count; ++k) read[{U16(d), first + k}] = FromRk(U32(d + 4 + 6 * k + 2));
        }
    }
    EXPECT_EQ(read[std::make_pair(0, 0)], 7.0);
    EXPECT_EQ(read[std::make_pair(0, 2)], 1.25);
    EXPECT_EQ(read[std::make_pair(0, 3)], 0.1234567);
    for (int c = 0; c < 10; ++c) EXPECT_EQ(read[std::make_pair(1, c)], values[c]) << values[c];
    EXPECT_EQ(read[std::make_pair(2, 0)], 2147483647.0);
    EXPECT_EQ(read[std::make_pair(2, 1)], -536870913.0);
}

TEST(XlsFormatTest, FontAndXfLookups) {
    XlsBook book;
    book.New();
    XlsFormatManager formats(&book);
    EXPECT_EQ(formats.GetFontIndex(XlsFont()), 0u);
    XlsFont bold;
    bold.weight = 700;
    EXPECT_EQ(formats.GetFontIndex(bold), 1u);
    EXPECT_EQ(formats.GetFontIndex(bold), 1u);
    EXPECT_EQ(book.globals.fonts.size(), 2u);
    for (std::uint16_t h = 300; h < 303; ++h) {
        XlsFont f;
        f.height = h;
        formats.GetFontIndex(f);
    }
    XlsFont fifth;
    fifth.height = 302;
    EXPECT_EQ(formats.GetFontIndex(fifth), 5u);  // position 4: there is no font index 4
    XlsCellFormat plain(&formats);
    EXPECT_EQ(plain.GetXfIndex(formats), 0u);
    XlsCellFormat header(&formats);
    header.fontIndex = 1;
    EXPECT_EQ(header.GetXfIndex(formats), 21u);
    EXPECT_EQ(book.globals.xfs[21].typeProtection, 0x0078);
    EXPECT_EQ(formats.NumberFormats().at(49), u"@");
    EXPECT_EQ(formats.NumberFormats().count(23), 0u);
}

// The table writer produces its stream while writing it; its bytes must be those of the
// workbook model for the same cells (blank cells, repeated texts, texts cut by CONTINUE records,
// a bold header row), and the file it streams must be the one built in memory. A producer that
// hands over fewer bytes than it promised must fail the write and leave no file.
TEST(TextSheetStreamTest, StreamsTheModelsBytesAndNeverAShortFile) {
    std::vector<std::u16string> texts;
    for (int r = 0; r < 70; ++r)
        for (int c = 0; c < 6; ++c)
            texts.push_back(r == 3 || c == 5 ? std::u16string()
                            : c == 4         ? std::u16string(static_cast<std::size_t>(2000 + 400 * r), u'中')
                            : c == 3         ? std::u16string(u"same")
                                             : std::u16string(u"\U0001F4E6 ") + static_cast<char16_t>(u'A' + (r * 6 + c) % 26));
    XlsBook book;
    book.New();
    XlsFormatManager formats(&book);
    XlsFont bold;
    bold.weight = 700;
    XlsCellFormat header(&formats);
    header.fontIndex = formats.GetFontIndex(bold);
    const auto headerXf = header.GetXfIndex(formats);
    Biff8::TextSheet sheet;
    sheet.rows = 70;
    sheet.columns = 6;
    sheet.firstRowXf = static_cast<std::uint16_t>(headerXf);
    sheet.text = [&](std::uint32_t r, std::uint16_t c) { return std::u16string_view(texts[r * 6 + c]); };
    Biff8::TextSheetStream stream(book.globals, sheet);
    for (int r = 0; r < 70; ++r)
        for (int c = 0; c < 6; ++c) {
            XlsCell* cell = book.GetSheet(0)->Cell(r, c);
            cell->SetWString(texts[static_cast<std::size_t>(r * 6 + c)]);
            if (r == 0) cell->SetXfIndex(headerXf);
        }
    const std::vector<std::uint8_t> expected = book.BuildStream();
    ASSERT_TRUE(stream.Valid());
    EXPECT_EQ(stream.Size(), expected.size());
    ExpectBytes(stream.Bytes(), expected);

    const std::string path = ::testing::TempDir() + "text-sheet.xls";
    for (bool shortProducer : {false, true}) {
        std::remove(path.c_str());
        cfb::Error error;
        std::unique_ptr<cfb::Writer> writer = cfb::Writer::Create(path, error);
        ASSERT_NE(writer, nullptr) << error.Text();
        const bool written = writer->Write(u"Workbook", stream.Size() + (shortProducer ? 1 : 0),
                                           [&](const cfb::ByteSink& sink) { return stream.Write(sink); }) &&
                             writer->Commit();
        writer.reset();
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (shortProducer) {
            EXPECT_FALSE(written);
            EXPECT_EQ(f, nullptr);
            if (f) std::fclose(f);
            continue;
        }
        ASSERT_TRUE(written);
        ASSERT_NE(f, nullptr);
        std::vector<std::uint8_t> file;
        for (int ch; (ch = std::fgetc(f)) != EOF;) file.push_back(static_cast<std::uint8_t>(ch));
        std::fclose(f);
        ExpectBytes(file, cfb::BuildCompoundFile(u"Workbook", expected));
    }
    std::remove(path.c_str());
    // More than a cell holds is refused, not cut short in the file.
    texts[7] = std::u16string(Biff8::TextSheetStream::kMaxTextUnits + 1, u'x');
    EXPECT_EQ(Biff8::TextSheetStream(book.globals, sheet).Trouble(), Biff8::TextSheetStream::Problem::TextTooLong);
}

TEST(CompoundFileTest, SmallAndLargeStreamsAndDifat) {
    for (std::size_t size : {0u, 100u, 4095u, 4096u, 7u * 1024 * 1024 + 13}) {
        std::vector<std::uint8_t> stream(size);
        for (std::size_t i = 0; i < size; ++i) stream[i] = static_cast<std::uint8_t>(i * 31);
        const auto file = cfb::BuildCompoundFile(u"Workbook", stream);
        ASSERT_EQ(file.size() % 512, 0u);
        EXPECT_EQ(U32(&file[0]), 0xE011CFD0u);
        const std::uint32_t fatSectors = U32(&file[44]);
        EXPECT_EQ(U32(&file[72]) > 0, fatSectors > 109) << size;  // DIFAT sectors only when needed
    }
}

#ifndef _WIN32  // links and pipes as POSIX has them
// Two saves to one file at the same time each write a file of their own and the target ends up
// as one of them, whole; a link in the way is never written through, a link as the target keeps
// pointing at its file, and a target that is not a file is refused.
TEST(CompoundFileTest, SavesToOneFileNeverWriteIntoEachOtherOrThroughLinks) {
    const std::string dir = ::testing::TempDir() + "cfb-targets/";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    auto open = [](const std::string& path) {
        cfb::Error error;
        return cfb::Writer::Create(path, error);
    };
    auto write = [](cfb::Writer& file, std::uint8_t fill) { return file.Write(u"Workbook", std::vector<std::uint8_t>(100000, fill)); };
    const std::string target = dir + "table.xls";
    std::filesystem::create_symlink("victim.txt", target + ".partial");
    std::ofstream(dir + "victim.txt") << "precious";
    std::unique_ptr<cfb::Writer> first = open(target), second = open(target);
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(write(*first, 0xAA));
    EXPECT_TRUE(write(*second, 0xBB));
    EXPECT_TRUE(first->Commit());
    EXPECT_TRUE(second->Commit());
    std::ifstream in(target, std::ios::binary);
    const std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(file, cfb::BuildCompoundFile(u"Workbook", std::vector<std::uint8_t>(100000, 0xBB)));
    std::ifstream victim(dir + "victim.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(victim), {}), "precious");

    std::filesystem::create_symlink("table.xls", dir + "link.xls");
    std::unique_ptr<cfb::Writer> viaLink = open(dir + "link.xls");
    ASSERT_NE(viaLink, nullptr);
    EXPECT_TRUE(write(*viaLink, 0xCC) && viaLink->Commit());
    EXPECT_TRUE(std::filesystem::is_symlink(dir + "link.xls"));
    EXPECT_EQ(std::filesystem::file_size(target), file.size());

    ASSERT_EQ(::mkfifo((dir + "pipe.xls").c_str(), 0644), 0);
    EXPECT_EQ(open(dir + "pipe.xls"), nullptr);
    {
        std::unique_ptr<cfb::Writer> abandoned = open(target);  // written, but neither committed nor kept
        ASSERT_NE(abandoned, nullptr);
        EXPECT_TRUE(write(*abandoned, 0xDD));
    }
    std::size_t left = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) left += e.path().filename().string().rfind(".pesavo-", 0) == 0;
    EXPECT_EQ(left, 0u);  // no half-written file stays behind
    std::filesystem::remove_all(dir);
}
#endif

TEST(CompoundFileTest, FailedCreationSaysWhyAndLeavesNoFile) {
    cfb::Error error;
    EXPECT_EQ(cfb::Writer::Create("/nonexistent-folder/x.xls", error), nullptr);
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_EQ(error.Text(), "creating the file: " + std::string(std::strerror(ENOENT)));
    // Nothing written: committing fails and says so, and nothing is left under any name.
    const std::string path = ::testing::TempDir() + "never-written.xls";
    std::unique_ptr<cfb::Writer> unwritten = cfb::Writer::Create(path, error);
    ASSERT_NE(unwritten, nullptr);
    EXPECT_FALSE(unwritten->Commit());
    EXPECT_NE(unwritten->LastError().code, 0);
    EXPECT_FALSE(cfb::FileExists(path));
}

}  // namespace
