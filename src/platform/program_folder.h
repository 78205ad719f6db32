// Where the running program lives: its executable's full path and folder, and where it keeps
// its files.
#pragma once

#include <string>

namespace trovanex {

// Full path of the running executable (symbolic links resolved).
std::string ExecutablePath();

// The user's home folder: $HOME when it is an absolute path, else the password database's.
std::string HomeFolder();

// $XDG_CONFIG_HOME when it is an absolute path, else ~/.config; no trailing separator.
std::string ConfigHome();

// Folder of `executable_path` with a trailing separator.
std::string FolderOf(const std::string& executable_path);

// The settings file of an executable: its path with the extension replaced by ".ini", or with
// ".ini" appended when its name has no extension.
std::string SettingsPathFor(const std::string& executable_path);

// Where the program's files live. A copy in a folder its user can write keeps everything
// beside the executable (and the debug log in the working directory), as it always has. An
// installed copy, whose folder it cannot write, keeps its settings and Search.cfg in
// $XDG_CONFIG_HOME/trovanex/ and hash.dat, temporary files and the debug log in
// $XDG_DATA_HOME/trovanex/ (~/.config and ~/.local/share when those are not set).
struct FileLayout {
  bool installed = false;
  std::string config_folder;  // the settings file and Search.cfg; ends with the separator
  std::string data_folder;    // hash.dat and temporary files; ends with the separator
  std::string settings_path;
  std::string debug_log_path;
};

// The layout for `executable_path`, without touching the file system beyond looking.
FileLayout PlannedLayout(const std::string& executable_path, const std::string& debug_log_name);

// `planned` with every file of the settings and data folders in `folder` instead (an installed
// copy's debug log too); the settings file keeps its name.
FileLayout LayoutInFolder(FileLayout planned, const std::string& folder);

// The layout for `executable_path`, with the per-user folders made (mode 0700) when installed.
// Throws FileError when they cannot be made.
FileLayout LayoutFor(const std::string& executable_path, const std::string& debug_log_name);

}  // namespace trovanex
