// File and folder queries in the terms the stored data needs: sizes as a directory listing gives
// them, folder listings without subfolders, existence tests, whole-file reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trovanex {

inline constexpr char kPathSeparator = '/';

// Size of the entry with exactly this name, as a listing reports it: the low 32 bits of a
// file's size, 0 for a folder or when there is no such entry.
std::uint32_t ListedFileSize(const std::string& path);

// True when an entry of that name exists and is not a folder.
bool FileExists(const std::string& path);
bool FolderExists(const std::string& path);

// Names (not paths) of the entries of `folder` that are not folders, hidden ones included, in
// the order the file system lists them. A missing or unreadable folder gives an empty list.
std::vector<std::string> ListFiles(const std::string& folder);

// `path` with the separator appended unless it already ends with one.
std::string WithTrailingSeparator(std::string path);

// Appends the whole content of a file to `into`; 0, or the errno of the failure: EFBIG once it
// holds more than `limit` bytes.
int ReadWholeFile(const std::string& path, std::string& into, std::size_t limit);
// The same without a limit: the content, or nothing when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Writes all of `data`, repeating partial writes; false (errno set) when a write fails.
bool WriteAll(int fd, std::string_view data);

// Makes `folder` and every missing folder above it, the last with `last_mode` and the others
// with 0755 (both less the umask). Returns 0, or the errno of the step that failed; a file in
// the folder's place is ENOTDIR.
int MakeFolders(const std::string& folder, unsigned last_mode = 0755);

// Makes `folder` when it is missing (as MakeFolders) and tells whether files can be made in it:
// 0, or the errno that stops them.
int PrepareFolder(const std::string& folder);

// Removes a file; false when it could not be removed (a missing file counts as removed).
bool RemoveFile(const std::string& path);

// errno text for messages, e.g. "Permission denied".
std::string SystemErrorText(int error_number);

}  // namespace trovanex
