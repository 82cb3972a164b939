#pragma once
// Makes a folder read-only for everyone, root included, for as long as it lives (a bind mount;
// needs root, Ok() tells whether it worked).
#include <cstdlib>
#include <string>

class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(const std::string& path) : path_(path) {
        mounted_ = std::system(("mount --bind '" + path + "' '" + path + "' 2>/dev/null").c_str()) == 0;
        if (mounted_ && std::system(("mount -o remount,bind,ro '" + path + "' 2>/dev/null").c_str()) != 0) {
            std::system(("umount '" + path + "'").c_str());
            mounted_ = false;
        }
    }
    ~ReadOnlyFolder() {
        if (mounted_) std::system(("umount '" + path_ + "'").c_str());
    }
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;
    bool Ok() const { return mounted_; }

private:
    std::string path_;
    bool mounted_ = false;
};
