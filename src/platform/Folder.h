#pragma once
// Listing a folder's entries on this platform.
#include <string>
#include <vector>

namespace platform {

// The names of every entry of `folder` (files and subfolders, "." and ".." left out), in the
// order the file system gives them; empty when the folder cannot be listed.
std::vector<std::string> ListFolder(const std::string& folder);

}  // namespace platform
