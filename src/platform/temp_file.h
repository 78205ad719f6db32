// Unique temporary files: prefix + four upper-case hexadecimal digits + ".tmp", created empty
// and exclusively in a given folder, so two threads or two programs never get the same name.
#pragma once

#include <cstddef>
#include <string>

namespace trovanex {

// Creates the file and returns its path; throws FileError when no name is free or the folder
// cannot be written. `folder` may or may not end with the separator.
std::string CreateTempFile(const std::string& folder, const std::string& prefix);

// Removes the files of `folder` named exactly like those CreateTempFile makes with `prefix`, left
// by a run that ended without its clean-up; returns how many were removed. Only for a folder no
// running copy of the program uses.
std::size_t RemoveStaleTempFiles(const std::string& folder, const std::string& prefix);

}  // namespace trovanex
