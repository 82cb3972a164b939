#pragma once
#include <string>

namespace platform {

// Hands a document to the desktop's default viewer (the "open" verb). Returns false, and shows
// nothing, when the file does not exist or no viewer could be started.
bool ShellOpenDocument(const std::string& path);

// Opens a web address (http:// or https:// only) in the desktop's browser; false when none started.
bool ShellOpenAddress(const std::string& address);

}  // namespace platform
