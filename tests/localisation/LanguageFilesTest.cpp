#include "LanguageFiles.h"
#include "../support/ProgramFolder.h"

#include "platform/ModulePath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>

#include "platform/ProfileFile.h"
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Every key the program reads from a language file.
const std::pair<const char16_t*, const char16_t*> kKeys[] = {
    {u"Language_Configuration", u"Language_Name"},
    {u"Dialog_Caption", u"Dialog_Caption"}, {u"Dialog_Caption", u"Serial_Caption_Open"},
    {u"Dialog_Caption", u"Serial_Caption_Close"}, {u"Dialog_Caption", u"Save_Excel"},
    {u"Dialog_Caption", u"Clear_Data"}, {u"Dialog_Caption", u"Change_Unit_Caption"},
    {u"Dialog_Caption", u"Serial_Caption_Port"}, {u"Dialog_Caption", u"Serial_Refresh"},
    {u"Dialog_Caption", u"Language_Caption"}, {u"Dialog_Caption", u"Language_OK"},
    {u"Dialog_Caption", u"Port_NoChose"},
    {u"ListCtrl_Header", u"Number"}, {u"ListCtrl_Header", u"Data"}, {u"ListCtrl_Header", u"Unit"},
    {u"ListCtrl_Header", u"Duration"}, {u"ListCtrl_Header", u"Update_Time"}, {u"ListCtrl_Header", u"Explan"},
    {u"ListCtrl_Header", u"Overweight"}, {u"ListCtrl_Header", u"Error_EX"},
    {u"Message", u"Warning"}, {u"Message", u"Serial_Port_Abnormal"}, {u"Message", u"No_Port"},
    {u"Message", u"Port_Close"}, {u"Message", u"Connection_Fails"}, {u"Message", u"Auto_Error"},
    {u"Message", u"CMD_ERROR"}, {u"Message", u"Error_Error"}, {u"Message", u"Data_Error"},
    {u"Message", u"Clear_Data"}, {u"Message", u"Save_error"}, {u"Message", u"Close_Exe"},
    {u"Progress", u"Change_Caption"}, {u"Progress", u"Change_Display"}, {u"Progress", u"Save_Caption"},
    {u"Progress", u"Save_Display"},
    {u"Message_Button", u"Msg_IDYES"}, {u"Message_Button", u"Msg_IDNO"}, {u"Message_Button", u"Msg_IDOK"},
};

TEST(LanguageFilesTest, EveryShippedLanguageFileHoldsEveryKey) {
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(ProgramFolder::SourceDir() / "Language")) {
        ++files;
        const std::string name = e.path().filename().string();
        for (char c : name) EXPECT_TRUE(static_cast<unsigned char>(c) < 0x80) << name << " is not plain ASCII";
        for (const auto& [section, key] : kKeys)
            EXPECT_FALSE(localisation::ReadProfileText(e.path().string(), section, key).empty())
                << name << " lacks a text for a key";
    }
    EXPECT_GE(files, 2);
}

// Windows reads profile files without a byte-order mark in its ANSI code page: every shipped
// file must be plain ASCII or UTF-16LE with BOM to read the same everywhere.
TEST(LanguageFilesTest, ShippedFilesReadTheSameOnEveryPlatform) {
    std::vector<std::filesystem::path> files = {ProgramFolder::SourceDir() / "Setting.ini"};
    for (const auto& e : std::filesystem::directory_iterator(ProgramFolder::SourceDir() / "Language")) files.push_back(e.path());
    for (const auto& path : files) {
        std::ifstream in(path, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        const bool utf16 = bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE';
        const bool ascii = std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        EXPECT_TRUE(utf16 || ascii) << path.filename().string();
    }
    EXPECT_EQ(localisation::ReadProfileText((ProgramFolder::SourceDir() / "Language/Chinese.ini").string(),
                                            u"Language_Configuration", u"Language_Name"),
              u"简体中文");
    EXPECT_EQ(localisation::ReadProfileText((ProgramFolder::SourceDir() / "Setting.ini").string(),
                                            u"Language_Configuration", u"Language_Name"),
              u"简体中文");
}

TEST(LanguageFilesTest, FileNameValuesKeepTheirBackslashAndWorkWithEitherSeparator) {
    const std::string expected = std::string("/opt/p/Language") + platform::kPathSeparator + "English.ini";
    EXPECT_EQ(localisation::LanguageFilePath("/opt/p/", u"\\English.ini"), expected);
    EXPECT_EQ(localisation::LanguageFilePath("/opt/p/", u"/English.ini"), expected);
    EXPECT_EQ(localisation::LanguageFileNameValue("/opt/p/Language/English.ini"), u"\\English.ini");
    EXPECT_EQ(localisation::LanguageFileNameValue("C:\\p\\Language\\中文.ini"), u"\\中文.ini");
}

TEST(LanguageFilesTest, FolderListingSkipsDotsAndCountsSubfolders) {
    ProgramFolder folder("listing");
    std::filesystem::create_directories(folder.File("Language/sub"));
    const auto entries = localisation::ListLanguageFolder(folder.Path());
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(std::filesystem::path(entries[0]), std::filesystem::path(folder.File("Language/Chinese.ini")));
    EXPECT_EQ(std::filesystem::path(entries[2]), std::filesystem::path(folder.File("Language/sub")));
    std::filesystem::remove_all(folder.File("Language"));
    EXPECT_TRUE(localisation::ListLanguageFolder(folder.Path()).empty());
}

// Only regular files are read: a pipe or a device in the language folder (or named by the
// settings) reads as empty at once instead of holding the start for ever, and a name that leaves
// the folder names no language.
TEST(LanguageFilesTest, NothingButARegularFileIsReadAndNothingOutsideTheFolder) {
    ProgramFolder folder("nonfiles");
    std::vector<std::string> traps;
#ifdef _WIN32
    // Names Windows opens as devices in any folder: COM5 is the tests' scale line under Wine.
    for (const char* name : {"COM5", "com1.ini", "LPT2.txt", "Aux"}) {
        traps.push_back(folder.File("Language") + "\\" + name);
        EXPECT_TRUE(platform::IsDeviceName(traps.back())) << name;
    }
    for (const char* name : {"COM10", "CONSOLE.ini", "English.ini", "COM"}) EXPECT_FALSE(platform::IsDeviceName(name)) << name;
#else
    traps.push_back(folder.File("Language/Zfifo.ini"));
    ASSERT_EQ(::mkfifo(traps.back().c_str(), 0600), 0);
    EXPECT_EQ(localisation::ListLanguageFolder(folder.Path()).back(), traps.back());
#endif
    for (const std::string& trap : traps) {
        auto read = std::async(std::launch::async, [&] { return localisation::LanguageTexts(trap).Usable(); });
        const bool done = read.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
#ifndef _WIN32
        if (!done) ::close(::open(trap.c_str(), O_WRONLY | O_NONBLOCK));  // (lets a reader stuck on it go)
#endif
        ASSERT_TRUE(done) << "reading " << trap << " blocks";
        EXPECT_FALSE(read.get());
    }
    EXPECT_TRUE(localisation::StaysInLanguageFolder(u"\\English.ini"));
    for (const char16_t* away : {u"\\..\\..\\trap", u"/../Setting.ini", u"\\sub\\..\\..\\x.ini", u"\\.. \\x.ini"})
        EXPECT_FALSE(localisation::StaysInLanguageFolder(away));
}

// A language file is read one way for every text: one without a mark that is not UTF-8 (an ANSI
// file saved by Notepad) gives its names and its texts as the system's profile functions do.
TEST(LanguageFilesTest, AFileWithoutAMarkReadsAsTheSystemReadsIt) {
    ProgramFolder folder("ansi");
    folder.WriteFile("Language/Deutsch.ini", "[Language_Configuration]\r\nLanguage_Name=Deutsch Gr\xF6\xDF" "e\r\n"
                                             "[Message_Button]\r\nMsg_IDYES=Gr\xF6\xDF" "e\r\n");
    const std::string file = folder.File("Language/Deutsch.ini");
    const localisation::LanguageTexts texts(file);
    for (const auto& [section, key] : {std::pair{u"Language_Configuration", u"Language_Name"}, std::pair{u"Message_Button", u"Msg_IDYES"}})
        EXPECT_EQ(texts.Text(section, key), localisation::ReadProfileText(file, section, key));
#ifdef _WIN32
    if (::GetACP() == 1252) {
        EXPECT_EQ(texts.Text(u"Message_Button", u"Msg_IDYES"), u"Größe");
    }
#endif
}

TEST(LanguageFilesTest, BufferRuleCutsLongValues) {
    ProgramFolder folder("buffer");
    folder.WriteFile("long.ini", "[Message]\nWarning=" + std::string(600, 'w') + "\n");
    char16_t buffer[localisation::kTextBufferUnits];
    EXPECT_EQ(localisation::ReadProfileText(folder.File("long.ini"), u"Message", u"Warning", buffer), 499u);
    EXPECT_EQ(buffer[499], 0);
    EXPECT_EQ(localisation::ReadProfileText(folder.File("long.ini"), u"Message", u"Nope", buffer), 0u);
    EXPECT_EQ(buffer[0], 0);
}

}  // namespace
