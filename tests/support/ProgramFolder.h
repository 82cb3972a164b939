#pragma once
// A scratch copy of the program's folder for tests: the shipped language files, a Setting.ini
// and a device map; Places() hands it to a window or a serial engine.
#include "platform/ModulePath.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

class ProgramFolder {
public:
    explicit ProgramFolder(const std::string& tag) {
        dir_ = std::filesystem::temp_directory_path() / ("pesavo-" + tag + "-" + std::to_string(::getpid()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_ / "Language");
        for (const auto& e : std::filesystem::directory_iterator(SourceDir() / "Language"))
            std::filesystem::copy_file(e.path(), dir_ / "Language" / e.path().filename());
        WriteSettings("\\Chinese.ini", "简体中文");
        WriteFile("SerialComm.ini", "[SerialComm]\r\nCOM3=/dev/null\r\n");
        std::filesystem::create_directories(dir_ / "sys-class-tty");
    }
    ~ProgramFolder() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    static std::filesystem::path SourceDir() {
        return PESAVO_SOURCE_DIR;
    }
    std::string Path() const { return dir_.string() + "/"; }
    // This folder as the program's, with an empty kernel listing: never the machine's own serial
    // devices (a virtual machine's ttyS0 may be its console).
    platform::ProgramPlaces Places() const { return {Path(), (dir_ / "sys-class-tty").string()}; }
    std::string File(const std::string& name) const { return (dir_ / name).string(); }
    void WriteFile(const std::string& name, const std::string& bytes) const {
        std::ofstream(dir_ / name, std::ios::binary) << bytes;
    }
    std::string ReadFile(const std::string& name) const {
        std::ifstream in(dir_ / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void WriteSettings(const std::string& fileName, const std::string& name) const {
        WriteFile("Setting.ini", "[Language_Configuration]\r\nLanguage_FileName=" + fileName +
                                     "\r\nLanguage_Name=" + name + "\r\n");
    }

private:
    std::filesystem::path dir_;
};
