// Content types for the answers the proxy makes from files: one small table by extension, and
// the type a stored copy arrived with, kept on the stored file in an extended attribute. A
// browser refuses a module script, and with strict types any script or stylesheet, that comes
// without its type.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace trovanex {

// The user extended attribute that holds the type a stored copy arrived with.
inline constexpr char kContentTypeAttribute[] = "user.trovanex.content_type";
inline constexpr std::size_t kMaxContentTypeLength = 256;

// The type for an extension written in lower case ("mjs", "png"), compared exactly; empty when
// the table has none.
std::string_view ContentTypeForExtension(std::string_view extension);

// The type for a file by what follows the last "." of its name, letter case ignored; empty when
// the name has no "." or the table has no such extension.
std::string_view ContentTypeForFileName(std::string_view path);

// Whether `value` can go out as a Content-Type line: 1 to kMaxContentTypeLength printable ASCII
// bytes, not starting or ending with a blank. Anyone who can write a stored file can set its
// attribute, so what is read back is checked before it is sent.
bool SendableContentType(std::string_view value);

// Keeps `value` on the stored file at `path` when it is sendable. Best effort: where the file
// system refuses user attributes, the extension serves instead.
void KeepContentType(const std::string& path, std::string_view value);

// The type kept on an open stored file, when there is one and it is sendable; else empty.
std::string KeptContentType(int fd);

}  // namespace trovanex
