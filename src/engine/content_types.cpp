#include "engine/content_types.h"

#include <sys/types.h>
#include <sys/xattr.h>

#include <algorithm>
#include <iterator>
#include <utility>

#include "platform/text.h"

namespace trovanex {
namespace {

// The types a page loads by extension; a copy saved with a type of its own keeps that one.
constexpr std::pair<std::string_view, std::string_view> kTypes[] = {
    {"html", "text/html"},        {"htm", "text/html"},       {"css", "text/css"},
    {"js", "text/javascript"},    {"mjs", "text/javascript"}, {"json", "application/json"},
    {"xml", "application/xml"},   {"txt", "text/plain"},      {"svg", "image/svg+xml"},
    {"png", "image/png"},         {"jpg", "image/jpeg"},      {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},         {"webp", "image/webp"},     {"avif", "image/avif"},
    {"ico", "image/x-icon"},      {"bmp", "image/bmp"},       {"woff", "font/woff"},
    {"woff2", "font/woff2"},      {"ttf", "font/ttf"},        {"otf", "font/otf"},
    {"mp3", "audio/mpeg"},        {"ogg", "audio/ogg"},       {"oga", "audio/ogg"},
    {"wav", "audio/wav"},         {"m4a", "audio/mp4"},       {"aac", "audio/aac"},
    {"mp4", "video/mp4"},         {"m4v", "video/mp4"},       {"webm", "video/webm"},
    {"ogv", "video/ogg"},         {"mov", "video/quicktime"}, {"pdf", "application/pdf"},
    {"wasm", "application/wasm"},
};

}  // namespace

std::string_view ContentTypeForExtension(std::string_view extension) {
  const auto found =
      std::find_if(std::begin(kTypes), std::end(kTypes),
                   [extension](const auto& entry) { return entry.first == extension; });
  return found == std::end(kTypes) ? std::string_view() : found->second;
}

std::string_view ContentTypeForFileName(std::string_view path) {
  const std::string_view name = path.substr(path.rfind('/') + 1);
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  return ContentTypeForExtension(AsciiLower(name.substr(dot + 1)));
}

bool SendableContentType(std::string_view value) {
  return !value.empty() && value.size() <= kMaxContentTypeLength && value.front() != ' ' &&
         value.back() != ' ' &&
         std::all_of(value.begin(), value.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

void KeepContentType(const std::string& path, std::string_view value) {
  if (!SendableContentType(value)) return;
  // Never through a link: one put in the stored file's place must not lead the value elsewhere.
  ::lsetxattr(path.c_str(), kContentTypeAttribute, value.data(), value.size(), 0);
}

std::string KeptContentType(int fd) {
  std::string value(kMaxContentTypeLength, '\0');
  // Longer than any sendable value fails with ERANGE, like a missing attribute.
  const ssize_t length = ::fgetxattr(fd, kContentTypeAttribute, value.data(), value.size());
  if (length <= 0) return {};
  value.resize(static_cast<std::size_t>(length));
  return SendableContentType(value) ? value : std::string();
}

}  // namespace trovanex
