// Where the running program lives: its executable's full path and folder.
#pragma once

#include <string>

namespace trovanex {

// Full path of the running executable (symbolic links resolved).
std::string ExecutablePath();

// Folder of `executable_path` with a trailing separator.
std::string FolderOf(const std::string& executable_path);

// The settings file of an executable: its path with the extension replaced by ".ini", or with
// ".ini" appended when its name has no extension.
std::string SettingsPathFor(const std::string& executable_path);

}  // namespace trovanex
