#include "engine/capture_naming.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/file_move.h"
#include "platform/file_system.h"

namespace trovanex {
namespace {

// However many files of one name a folder holds, the search for a free one ends.
constexpr unsigned long kMaxNumberedNames = 100000;

// The longest file name, in bytes, that `folder` can hold.
std::size_t NameLimit(const std::string& folder) {
  const long limit = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
  return limit > 0 ? static_cast<std::size_t>(limit) : 255;
}

// At most `size` bytes of `text`, never ending inside a UTF-8 character. A character has at most
// three continuation bytes: a longer run is no character, and is cut where it stands (walking
// back through it could cut the name to nothing).
std::string_view CutToFit(std::string_view text, std::size_t size) {
  if (text.size() <= size) return text;
  const auto continuation = [&](std::size_t at) {
    return (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
  };
  std::size_t cut = size;
  while (cut > 0 && size - cut < 3 && continuation(cut)) --cut;
  return text.substr(0, continuation(cut) ? size : cut);
}

// base + counter + extension in at most `limit` bytes: the base gives way first; an extension
// too long to keep beside the counter is cut like the rest of the name.
std::string FittedName(std::string_view base, std::string_view counter, std::string_view extension,
                       std::size_t limit) {
  if (base.size() + counter.size() + extension.size() <= limit)
    return std::string(base).append(counter).append(extension);
  if (counter.size() + extension.size() < limit)
    return std::string(CutToFit(base, limit - counter.size() - extension.size()))
        .append(counter)
        .append(extension);
  const std::string whole = std::string(base).append(extension);
  return std::string(CutToFit(whole, limit - counter.size())).append(counter);
}

}  // namespace

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

std::optional<std::string> MakeUniqueName(const std::string& full) {
  if (full.find('\0') != std::string::npos) return std::nullopt;  // no file system holds it
  const auto slash = full.rfind(kPathSeparator);
  const std::size_t name_at = slash == std::string::npos ? 0 : slash + 1;
  auto dot = full.rfind('.');
  if (dot == std::string::npos || dot < name_at) dot = full.size();
  const std::string folder = full.substr(0, name_at);
  const std::string_view base = std::string_view(full).substr(name_at, dot - name_at);
  const std::string_view extension = std::string_view(full).substr(dot);
  const std::size_t limit = NameLimit(folder);

  std::string candidate = folder + FittedName(base, "", extension, limit);
  if (!FileExists(candidate)) return candidate;
  for (unsigned long n = 0; n < kMaxNumberedNames; ++n) {
    candidate = folder + FittedName(base, "[" + std::to_string(n) + "]", extension, limit);
    if (!FileExists(candidate)) return candidate;
  }
  return std::nullopt;
}

std::optional<std::string> TargetInFolder(const std::string& folder, std::string file_name) {
  if (file_name.empty() || file_name == "." || file_name == "..") file_name = "_" + file_name;
  for (std::size_t at = 0; at < file_name.size(); ++at) {
    const auto c = static_cast<unsigned char>(file_name[at]);
    if (c < 0x20 || c == 0x7F) file_name[at] = '_';
    if (file_name.compare(at, 2, "<>") == 0) file_name.replace(at, 2, "__");
  }
  return MakeUniqueName(WithTrailingSeparator(folder) + file_name);
}

std::optional<std::string> StoreCapture(const std::string& temp, std::string target, int& error) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    error = MoveFileNoReplace(temp, target);
    if (error == 0) return target;
    if (error != EEXIST || !FileExists(target)) break;  // a folder, or a real fault
    auto next = MakeUniqueName(target);
    if (!next) break;
    target = std::move(*next);
  }
  RemoveFile(temp);
  return std::nullopt;
}

}  // namespace trovanex
