#include "engine/capture_naming.h"

#include <utility>

#include "platform/file_system.h"

namespace trovanex {

std::string UrlToFileName(std::string_view address) {
  // Walking back from the end: a "?" drops what was collected, a "/" ends the walk.
  std::size_t end = address.size();
  std::size_t at = address.size();
  while (at > 0) {
    const char c = address[at - 1];
    if (c == '/') break;
    if (c == '?') end = at - 1;
    --at;
  }
  return std::string(address.substr(at, end - at));
}

std::string ContentTypeToExt(std::string_view content_type) {
  static constexpr std::pair<std::string_view, std::string_view> kTable[] = {
      {"image/jpg", ".jpg"},    {"image/gif", ".gif"},      {"image/png", ".png"},
      {"image/bmp", ".bmp"},    {"image/tiff", ".tiff"},    {"audio/wav", ".wav"},
      {"audio/mp3", ".mp3"},    {"audio/mpeg", ".mp3"},     {"audio/x-mp3", ".mp3"},
      {"audio/x-mpeg", ".mp3"}, {"audio/aiff", ".aiff"},    {"video/mpg", ".mpg"},
      {"video/mpeg", ".mpg"},   {"video/x-ms-asf", ".asx"}, {"video/x-msvideo", ".avi"},
      {"video/flv", ".flv"},    {"video/mp4", ".mp4"},      {"text/plain", ".txt"},
      {"text/html", ".html"},   {"text/css", ".css"},       {"text/xml", ".xml"},
  };
  const std::string_view type = content_type.substr(0, content_type.find(';'));
  for (const auto& [name, extension] : kTable)
    if (type == name) return std::string(extension);
  return {};
}

std::string MakeUniqueName(const std::string& full) {
  if (!FileExists(full)) return full;
  const auto slash = full.rfind(kPathSeparator);
  const std::size_t name_at = slash == std::string::npos ? 0 : slash + 1;
  auto dot = full.rfind('.');
  if (dot == std::string::npos || dot < name_at) dot = full.size();
  const std::string base = full.substr(0, dot);
  const std::string extension = full.substr(dot);
  for (unsigned long n = 0;; ++n) {
    std::string candidate = base + "[" + std::to_string(n) + "]" + extension;
    if (!FileExists(candidate)) return candidate;
  }
}

std::string TargetInFolder(const std::string& folder, std::string file_name) {
  if (file_name.empty() || file_name == "." || file_name == "..") file_name = "_" + file_name;
  return MakeUniqueName(WithTrailingSeparator(folder) + file_name);
}

}  // namespace trovanex

#include <cerrno>

#include "platform/file_move.h"

namespace trovanex {

std::optional<std::string> StoreCapture(const std::string& temp, std::string target, int& error) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    error = MoveFileNoReplace(temp, target);
    if (error == 0) return target;
    if (error != EEXIST || !FileExists(target)) return std::nullopt;  // a folder, or a real fault
    target = MakeUniqueName(target);
  }
  return std::nullopt;
}

}  // namespace trovanex
