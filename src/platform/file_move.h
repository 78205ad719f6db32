// Moving a finished file to its place: never replaces an existing file, works across file
// systems (copy, then remove the source), and leaves the source in place when it fails.
#pragma once

#include <string>

namespace trovanex {

// 0 on success, otherwise the errno of the failure (EEXIST when `to` already exists).
int MoveFileNoReplace(const std::string& from, const std::string& to);

}  // namespace trovanex
