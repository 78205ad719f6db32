#include "model/hash_list_index.h"

namespace trovanex {
namespace {

constexpr std::string_view kSeparator = "<>";

// The field before the first "<>" of `rest`; `rest` becomes what follows it, or empty.
std::string_view CutField(std::string_view& rest) {
  const auto at = rest.find(kSeparator);
  const std::string_view field = rest.substr(0, at);
  rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + kSeparator.size());
  return field;
}

std::uint64_t DecimalOrZero(std::string_view text) {
  if (text.empty() || text.size() > 19) return 0;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

}  // namespace

HashLine ParseHashLine(std::string_view line) {
  HashLine parsed;
  std::string_view rest = line;
  std::string_view digest = CutField(rest);
  while (!digest.empty() && (digest.front() == ' ' || digest.front() == '\t'))
    digest.remove_prefix(1);
  parsed.digest = digest;
  parsed.path = CutField(rest);
  parsed.number = DecimalOrZero(rest);
  CutField(rest);  // the size
  parsed.address = CutField(rest);
  return parsed;
}

std::string FormatHashLine(const std::string& digest, const std::string& path,
                           std::uint32_t size, const std::string* address) {
  std::string line = digest;
  line += kSeparator;
  line += path;
  line += kSeparator;
  line += std::to_string(size);
  if (address) {
    line += kSeparator;
    line += *address;
  }
  line += "\r\n";
  return line;
}

void HashListIndex::Clear() {
  by_address_.clear();
  by_digest_.clear();
  lines_.clear();
}

void HashListIndex::AddText(std::string_view text) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    AddLine(text.substr(start, end - start));
    start = end + 1;
    if (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') ++start;
  }
}

void HashListIndex::AddLine(std::string_view line) {
  if (line.find_first_not_of(" \t") == std::string_view::npos) return;  // blank: says nothing
  const auto number = static_cast<std::uint32_t>(lines_.size());
  const HashLine& added = lines_.emplace_back(ParseHashLine(line));
  if (!added.address.empty()) by_address_[added.address].push_back(number);
  by_digest_[added.digest].push_back(number);
}

std::vector<std::string> HashListIndex::PathsForAddress(std::string_view address) const {
  std::vector<std::string> paths;
  if (const auto found = by_address_.find(address); found != by_address_.end())
    for (const auto number : found->second) paths.push_back(lines_[number].path);
  return paths;
}

std::vector<std::pair<std::string, std::uint64_t>> HashListIndex::FilesWithDigest(
    std::string_view digest) const {
  std::vector<std::pair<std::string, std::uint64_t>> files;
  if (const auto found = by_digest_.find(digest); found != by_digest_.end())
    for (const auto number : found->second)
      files.emplace_back(lines_[number].path, lines_[number].number);
  return files;
}

}  // namespace trovanex
