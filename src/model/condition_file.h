// "Search.cfg": the search conditions between runs. One record of "Key=Value" lines per
// condition, closed by "[end]", CR LF line ends. In a "Folder" value each "/" of a folder path
// is written as "\" and read back as "/", since "/" separates a folder's name from its path.
#pragma once

#include <string>

#include "model/message_boxes.h"
#include "model/search_condition.h"

namespace trovanex {

inline constexpr char kConditionFileName[] = "Search.cfg";

// The accepted records of program_folder + "Search.cfg", in file order; an empty chain when the
// file is missing. A record closed without a search string or a folder is reported through
// `boxes` and goes on filling. Throws FileError when the file exists but cannot be read.
TSearchConditionChain LoadSearchConditions(const std::string& program_folder,
                                           MessageBoxes& boxes);

// Parses the text of a condition file (a NUL byte ends it).
TSearchConditionChain ParseSearchConditions(const std::string& text, MessageBoxes& boxes);

// The file's text for a list; empty for an empty list.
std::string FormatSearchConditions(const TSearchConditionList& list);

// Writes the file in one step; an empty list (or none) leaves an existing file untouched.
// Throws FileError with the file's own texts when it cannot be created or written.
void SaveSearchConditions(const std::string& program_folder, const TSearchConditionList* list);

}  // namespace trovanex
