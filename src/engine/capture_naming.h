// Naming a captured file: the last piece of its address, an extension from its content type
// when the name has none, and a name that no file in the folder has yet and that the folder's
// file system can hold.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace trovanex {

// The last "/"-separated piece of the address, cut at its first "?".
std::string UrlToFileName(std::string_view address);

// ".jpg" and the like for the content types the program knows, compared exactly on the part
// before the first ";"; empty for any other.
std::string ContentTypeToExt(std::string_view content_type);

// `full` when no file of that name exists, else base[n].ext for the first free n = 0, 1, ...
// A name longer than the folder's file system allows loses bytes from the end of its base
// (whole UTF-8 characters), so the extension and the counter stay. Nothing when no name is
// free within a bounded number of tries, or when the name holds a NUL byte.
std::optional<std::string> MakeUniqueName(const std::string& full);

// The full target for `file_name` in `folder`: the name made safe to stay inside the folder
// ("", "." and ".." would name the folder itself or its parent) and to be listed in the hash
// list (control characters and "<>" become "_"), then made unique. Nothing when no name is free.
std::optional<std::string> TargetInFolder(const std::string& folder, std::string file_name);

}  // namespace trovanex

namespace trovanex {

// Moves a finished capture to `target` without replacing anything. When another capture took
// that name meanwhile, the next free name is tried. Returns the path it was stored under, or
// nothing with `error` set to the errno of the failure; the temporary file is then removed, so
// that failing moves cannot fill the program folder.
std::optional<std::string> StoreCapture(const std::string& temp, std::string target, int& error);

}  // namespace trovanex
