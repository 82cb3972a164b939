#include "platform/ProfileFile.h"
#include "platform/PortList.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace fs = std::filesystem;
using platform::GetProfileString;
using platform::WriteProfileString;

namespace {

class ProfileFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("pesavo-profile-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
        path_ = (dir_ / "test.ini").string();
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, ec);
        fs::remove_all(dir_, ec);
    }
    void Write(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }
    std::string Read() {
        std::ifstream in(path_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // The bytes of a UTF-16LE file with its byte-order mark.
    static std::string Utf16File(const std::u16string& text) {
        std::string bytes = "\xFF\xFE";
        for (char16_t c : text) {
            bytes.push_back(static_cast<char>(c & 0xFF));
            bytes.push_back(static_cast<char>(c >> 8));
        }
        return bytes;
    }
    std::u16string Get(const char16_t* section, const char16_t* key) {
        return GetProfileString(section, key, u"", path_, 500);
    }

    fs::path dir_;
    std::string path_;
};

TEST_F(ProfileFileTest, LookupFollowsTheWindowsRules) {
    Write("; comment\r\n[Message]\r\n  Warning =  Notice  \r\nQuoted=\"  spaced  \"\r\nSingle='x'\r\n"
          "Half=\"open\r\nwarning=second\r\n[message]\r\nWarning=other section\r\n");
    EXPECT_EQ(Get(u"MESSAGE", u"warning"), u"Notice");    // case-insensitive, trimmed, first wins
    EXPECT_EQ(Get(u"Message", u"Quoted"), u"  spaced  ");  // one pair of quotes removed
    EXPECT_EQ(Get(u"Message", u"Single"), u"x");
    EXPECT_EQ(Get(u"Message", u"Half"), u"\"open");       // unmatched quote stays
    EXPECT_EQ(Get(u"Message", u"Missing"), u"");
    EXPECT_EQ(Get(u"Other", u"Warning"), u"");
    EXPECT_EQ(GetProfileString(u"Other", u"Warning", u"dflt", path_, 500), u"dflt");
}

TEST_F(ProfileFileTest, HostileFilesNeverCrashAndGiveTheSpecifiedText) {
    Write("Warning=no section at all\n");
    EXPECT_EQ(Get(u"Message", u"Warning"), u"");

    Write("[Message]\nWarning=" + std::string(10000, 'a') + "\n");
    EXPECT_EQ(Get(u"Message", u"Warning"), std::u16string(499, u'a'));

    // A cut never leaves half of a surrogate pair behind.
    std::u16string smiles = u"[Message]\r\nWarning=";
    for (int i = 0; i < 300; ++i) smiles += u"\U0001F600";
    Write(Utf16File(smiles + u"\r\n"));
    const std::u16string cut = Get(u"Message", u"Warning");
    EXPECT_EQ(cut.size(), 498u);
    EXPECT_TRUE(cut.back() >= 0xDC00 && cut.back() <= 0xDFFF);

    std::string garbage;
    for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 7919) & 0xFF));
    Write(garbage + "\n[Message]\nWarning=after garbage\n");
    EXPECT_EQ(Get(u"Message", u"Warning"), u"after garbage");

#ifndef _WIN32
    // Files without a byte-order mark are UTF-8 here (Windows reads them in its ANSI code page).
    Write("[Message]\nWarning=bad \xC3\x28 byte\n");
    EXPECT_EQ(Get(u"Message", u"Warning"), u"bad \uFFFD( byte");
#endif

    EXPECT_EQ(GetProfileString(u"Message", u"Warning", u"", dir_.string(), 500), u"");  // a folder
    EXPECT_EQ(GetProfileString(u"Message", u"Warning", u"", (dir_ / "absent.ini").string(), 500), u"");
}

TEST_F(ProfileFileTest, ReadsUtf16AndUtf8WithBom) {
    Write(Utf16File(u"[Language_Configuration]\r\nLanguage_Name=简体中文\r\n"));
    EXPECT_EQ(Get(u"Language_Configuration", u"Language_Name"), u"简体中文");
    Write("\xEF\xBB\xBF[Language_Configuration]\nLanguage_Name=English\n");
    EXPECT_EQ(Get(u"Language_Configuration", u"Language_Name"), u"English");
}

TEST_F(ProfileFileTest, WriteReplacesInPlaceAndKeepsEveryOtherLine) {
    Write("; keep me\r\n[A]\r\nx=1\r\n\r\n[Language_Configuration]\r\nLanguage_FileName=\\Old.ini\r\n"
          "Other=keep\r\n\r\n[B]\r\ny=2\r\n");
    ASSERT_TRUE(WriteProfileString(u"language_configuration", u"LANGUAGE_FILENAME", u"\\New.ini", path_));
    ASSERT_TRUE(WriteProfileString(u"Language_Configuration", u"Language_Name", u"English", path_));
    EXPECT_EQ(Get(u"Language_Configuration", u"Language_FileName"), u"\\New.ini");
    EXPECT_EQ(Get(u"Language_Configuration", u"Other"), u"keep");
    EXPECT_EQ(Get(u"Language_Configuration", u"Language_Name"), u"English");
    EXPECT_EQ(Get(u"A", u"x"), u"1");
    EXPECT_EQ(Get(u"B", u"y"), u"2");
    EXPECT_EQ(Read().rfind("; keep me\r\n[A]\r\nx=1\r\n", 0), 0u);
#ifndef _WIN32
    // Here every other byte stays as it was (the Windows functions may drop blank lines).
    EXPECT_EQ(Read(),
              "; keep me\r\n[A]\r\nx=1\r\n\r\n[Language_Configuration]\r\nLANGUAGE_FILENAME=\\New.ini\r\n"
              "Other=keep\r\nLanguage_Name=English\r\n\r\n[B]\r\ny=2\r\n");
#endif
}

// A lone carriage return ends a line as on Windows (files from old Macintosh editors), so a
// value never holds one, and a write finds the same lines the reader sees.
TEST_F(ProfileFileTest, EveryKindOfLineBreakEndsALine) {
    Write("[S]\rk=a\r[T]\r\nk=b\nm=c");
    EXPECT_EQ(Get(u"S", u"k"), u"a");
    EXPECT_EQ(Get(u"T", u"k"), u"b");
    EXPECT_EQ(Get(u"T", u"m"), u"c");
    ASSERT_TRUE(WriteProfileString(u"S", u"k", u"new", path_));
    ASSERT_TRUE(WriteProfileString(u"T", u"n", u"d", path_));
    EXPECT_EQ(Get(u"S", u"k"), u"new");
    EXPECT_EQ(Get(u"T", u"k"), u"b");
    EXPECT_EQ(Get(u"T", u"n"), u"d");
#ifndef _WIN32
    EXPECT_EQ(Read(), "[S]\rk=new\r[T]\r\nk=b\nm=c\r\nn=d\r\n");  // each line keeps its own break
#endif
}

TEST_F(ProfileFileTest, WriteCreatesFileAndSectionAndKeepsUtf16) {
    ASSERT_TRUE(WriteProfileString(u"S", u"k", u"v", path_));
#ifdef _WIN32
    EXPECT_EQ(Read().substr(0, 2), "\xFF\xFE");  // a new file is UTF-16, so any text fits
#else
    EXPECT_EQ(Read(), "[S]\r\nk=v\r\n");
#endif
    ASSERT_TRUE(WriteProfileString(u"T", u"k", u"中", path_));
    EXPECT_EQ(Get(u"T", u"k"), u"中");
    EXPECT_EQ(Get(u"S", u"k"), u"v");

    Write(std::string("\xFF\xFE[\0S\0]\0\n\0k\0=\0a\0\n\0", 18));
    ASSERT_TRUE(WriteProfileString(u"S", u"k", u"b", path_));
    EXPECT_EQ(Read().substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(Get(u"S", u"k"), u"b");
}

#ifndef _WIN32
// (Windows' own profile functions read such a file in the system's code page.)
// A settings file written on a Chinese Windows PC (GBK, with a comment and a key of its own):
// rewriting the language keys changes those values and not one other byte.
TEST_F(ProfileFileTest, AFileInAnUnknownEightBitEncodingIsEditedByteForByte) {
    const std::string comment = "; \xC9\xE8\xD6\xC3\xCE\xC4\xBC\xFE [\xB2\xBB]=\r\n";  // GBK: 设置文件 [不]=
    const std::string head = comment + "[Language_Configuration]\r\nLanguage_FileName=\\Chinese.ini\r\n";
    const std::string tail = "Operator=\xD5\xC5\xC8\xFD\r\n\r\n[Other]\r\nx=\xB0\xA1\r\n";  // 张三, 啊
    Write(head + "Language_Name=\xBC\xF2\xCC\xE5\xD6\xD0\xCE\xC4\r\n" + tail);           // 简体中文
    ASSERT_TRUE(WriteProfileString(u"Language_Configuration", u"Language_Name", u"English", path_));
    EXPECT_EQ(Read(), head + "Language_Name=English\r\n" + tail);
    ASSERT_TRUE(WriteProfileString(u"Language_Configuration", u"Added", u"中", path_));
    EXPECT_EQ(Read(), head + "Language_Name=English\r\n" + "Operator=\xD5\xC5\xC8\xFD\r\nAdded=\xE4\xB8\xAD\r\n" +
                          "\r\n[Other]\r\nx=\xB0\xA1\r\n");
    EXPECT_EQ(GetProfileString(u"Language_Configuration", u"Added", u"", path_, 500), u"中");

    // A UTF-8 mark with a stray 8-bit byte behind it, reached through a link: the byte stays,
    // and the file the link names is the one rewritten.
    const std::string real = (dir_ / "real.ini").string();
    std::ofstream(real, std::ios::binary) << "\xEF\xBB\xBF; caf\xE9\n[S]\nk=old\n";
    fs::remove(path_);
    fs::create_symlink(real, path_);
    ASSERT_TRUE(WriteProfileString(u"S", u"k", u"new", path_));
    EXPECT_TRUE(fs::is_symlink(path_));
    std::ifstream in(real, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "\xEF\xBB\xBF; caf\xE9\n[S]\nk=new\n");
}
#endif

TEST_F(ProfileFileTest, FailedWriteIsReportedAndChangesNothing) {
    Write("[S]\nk=old\n");
    ::chmod(path_.c_str(), 0444);
    EXPECT_FALSE(WriteProfileString(u"S", u"k", u"new", path_));
    EXPECT_EQ(Get(u"S", u"k"), u"old");
    EXPECT_FALSE(WriteProfileString(u"S", u"k", u"new", dir_.string()));  // a folder
    EXPECT_FALSE(WriteProfileString(u"S", u"k", u"new", (dir_ / "no/such/dir.ini").string()));
}

TEST(PortListTest, PortNumbersAreParsedLikeTheRegistryValues) {
    EXPECT_EQ(platform::PortNumberFromName(u"COM10"), 10);
    EXPECT_EQ(platform::PortNumberFromName(u"COM 7x"), 7);
    EXPECT_EQ(platform::PortNumberFromName(u"COMx"), 0);
    EXPECT_EQ(platform::PortNumberFromName(u"CO"), 0);
}

#ifndef _WIN32
// (Windows lists its ports from the registry.)
TEST_F(ProfileFileTest, DeviceMapEntriesKeepTheirNumbersAndOrder) {
    std::ofstream(dir_ / "SerialComm.ini") << "[SerialComm]\nCOM7=/dev/pts/3\nCOM2=/dev/ttyFake\nbad=/x\nCOM9=\n";
    const auto ports = platform::ListSerialPorts({dir_.string() + "/", (dir_ / "no-kernel-ttys").string()});
    ASSERT_GE(ports.size(), 2u);
    EXPECT_EQ(ports[0].name, u"COM7");
    EXPECT_EQ(ports[0].device, "/dev/pts/3");
    EXPECT_EQ(ports[1].name, u"COM2");
    EXPECT_EQ(platform::DeviceForPort({dir_.string() + "/", {}}, 2), "/dev/ttyFake");
    for (std::size_t i = 2; i < ports.size(); ++i) EXPECT_NE(ports[i].name, u"COM9");
}
#endif

}  // namespace
