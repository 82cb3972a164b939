#pragma once
// Listing a folder's entries, and the user's own data folder, on this platform.
#include <string>
#include <vector>

namespace platform {

// The names of every entry of `folder` (files and subfolders, "." and ".." left out), in the
// order the file system gives them; empty when the folder cannot be listed.
std::vector<std::string> ListFolder(const std::string& folder);

// The folder where Pesavo keeps the user's own data (its journal, recovered tables), without a
// trailing separator: $XDG_DATA_HOME/pesavo (by default ~/.local/share/pesavo) on Linux,
// %LOCALAPPDATA%\Pesavo on Windows. Empty when the system names no such place. Not created.
std::string UserDataFolder();

// The folder of the user's own settings of Pesavo, without a trailing separator:
// $XDG_CONFIG_HOME/pesavo (by default ~/.config/pesavo), %APPDATA%\Pesavo. Empty when the system
// names no such place. Not created.
std::string UserSettingsFolder();

// The user's documents folder (the XDG documents folder, Windows' Documents), without a trailing
// separator; empty when the system names none.
std::string UserDocumentsFolder();

// Creates `folder` with its parents when missing and returns it; a failure shows when a file is
// written there.
std::string MakeFolder(const std::string& folder);

// Whether this user may create files in `folder`.
bool CanWriteIn(const std::string& folder);

}  // namespace platform
