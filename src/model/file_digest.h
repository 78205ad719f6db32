// The MD5 digest of a file's whole content, as 32 lower-case hexadecimal digits.
#pragma once

#include <string>

namespace trovanex {

// Empty when the file cannot be opened, its size cannot be read, or a read fails.
std::string FileDigest(const std::string& path);

}  // namespace trovanex
