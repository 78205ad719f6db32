#include "model/hash_list_index.h"

#include <algorithm>

#include "platform/text_lines.h"

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
  next_same_address_.clear();
  next_same_digest_.clear();
  lines_.clear();
  texts_.clear();
}

void HashListIndex::AddLine(std::string line) { IndexLine(texts_.emplace_back(std::move(line))); }

void HashListIndex::AddText(std::string whole) {
  const std::string_view text = texts_.emplace_back(std::move(whole));
  const auto expected = lines_.size() + static_cast<std::size_t>(
                                            std::count(text.begin(), text.end(), '\n'));
  lines_.reserve(expected);
  next_same_address_.reserve(expected);
  next_same_digest_.reserve(expected);
  by_address_.reserve(expected);
  ForEachLine(text, [this](std::string_view line) { IndexLine(line); });
}

void HashListIndex::Link(KeyMap& map, std::vector<std::uint32_t>& next, std::string_view key,
                         std::uint32_t line) {
  next.push_back(kNone);
  const auto [chain, added] = map.try_emplace(key, Chain{line, line});
  if (added) return;
  next[chain->second.last] = line;
  chain->second.last = line;
}

void HashListIndex::IndexLine(std::string_view line) {
  if (line.find_first_not_of(" \t") == std::string_view::npos) return;  // blank: says nothing
  const auto number = static_cast<std::uint32_t>(lines_.size());
  const HashLine& added = lines_.emplace_back(ParseHashLine(line));
  Link(by_digest_, next_same_digest_, added.digest, number);
  if (added.address.empty()) {
    next_same_address_.push_back(kNone);
  } else {
    Link(by_address_, next_same_address_, added.address, number);
  }
}

std::vector<std::string> HashListIndex::PathsForAddress(std::string_view address) const {
  std::vector<std::string> paths;
  if (const auto found = by_address_.find(address); found != by_address_.end())
    for (auto at = found->second.first; at != kNone; at = next_same_address_[at])
      paths.emplace_back(lines_[at].path);
  return paths;
}

std::vector<std::pair<std::string, std::uint64_t>> HashListIndex::FilesWithDigest(
    std::string_view digest) const {
  std::vector<std::pair<std::string, std::uint64_t>> files;
  if (const auto found = by_digest_.find(digest); found != by_digest_.end())
    for (auto at = found->second.first; at != kNone; at = next_same_digest_[at])
      files.emplace_back(lines_[at].path, lines_[at].number);
  return files;
}

}  // namespace trovanex
