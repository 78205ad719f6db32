#include "model/hash_list_index.h"

#include <algorithm>
#include <functional>

#include "platform/text_lines.h"

namespace trovanex {
namespace {

constexpr std::string_view kSeparator = "<>";
// Lines appended to a sealed index are merged into the sorted part this many at a time.
constexpr std::size_t kMergeAt = 4096;

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

bool Listable(std::string_view text) {
  return text.find_first_of("\r\n") == std::string_view::npos &&
         text.find("<>") == std::string_view::npos;
}

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
  const std::size_t mark_at = rest.find(kSeparator);
  parsed.address = rest.substr(0, mark_at);
  if (mark_at != std::string_view::npos) {
    // All that follows the address is the mark, even when it is empty.
    const std::string_view mark = rest.substr(mark_at + kSeparator.size());
    parsed.scheme = mark == kHttpsMark ? std::optional(CopyScheme::kHttps) : std::nullopt;
  }
  return parsed;
}

std::string FormatHashLine(const std::string& digest, const std::string& path, std::uint32_t size,
                           const std::string* address, CopyScheme scheme) {
  std::string line = digest;
  line += kSeparator;
  line += path;
  line += kSeparator;
  line += std::to_string(size);
  if (address) {
    line += kSeparator;
    line += *address;
    if (scheme == CopyScheme::kHttps) {
      line += kSeparator;
      line += kHttpsMark;
    }
  }
  line += "\r\n";
  return line;
}

std::uint64_t HashListIndex::DefaultKeyHash(std::string_view key) {
  return std::hash<std::string_view>{}(key);
}

void HashListIndex::Keys::Add(Entry entry, bool sealed) {
  if (!sealed) {
    sorted.push_back(entry);
    return;
  }
  // An appended line starts after every line indexed so far: among its key's entries it is last.
  recent.insert(std::upper_bound(recent.begin(), recent.end(), entry), entry);
  if (recent.size() < kMergeAt) return;
  // Room for several merges at a time: the table is not copied on each.
  if (sorted.capacity() - sorted.size() < recent.size())
    sorted.reserve(sorted.size() + std::max(recent.size(), sorted.size() / 8));
  const auto merged = sorted.insert(sorted.end(), recent.begin(), recent.end());
  std::inplace_merge(sorted.begin(), merged, sorted.end());
  recent.clear();
}

void HashListIndex::Keys::Reserve(double scale) {
  sorted.reserve(static_cast<std::size_t>(static_cast<double>(sorted.size()) * scale * 1.02) + 64);
}

void HashListIndex::Keys::Seal() {
  std::sort(sorted.begin(), sorted.end());
  if (sorted.capacity() - sorted.size() > sorted.size() / 8) sorted.shrink_to_fit();
}

std::vector<std::uint64_t> HashListIndex::Keys::Find(std::uint64_t key_hash) const {
  std::vector<std::uint64_t> offsets;
  const auto by_hash = [](const Entry& entry, std::uint64_t hash) { return entry.key_hash < hash; };
  // Every line in `recent` was added after every line in `sorted`.
  for (const auto* part : {&sorted, &recent})
    for (auto at = std::lower_bound(part->begin(), part->end(), key_hash, by_hash);
         at != part->end() && at->key_hash == key_hash; ++at)
      offsets.push_back(at->offset);
  return offsets;
}

std::size_t HashListIndex::Keys::MemoryBytes() const {
  return (sorted.capacity() + recent.capacity()) * sizeof(Entry);
}

void HashListIndex::AddLine(std::string_view line, std::uint64_t offset) {
  if (line.find_first_not_of(" \t") == std::string_view::npos) return;  // blank: says nothing
  ++lines_;
  // An empty digest or address is never asked for.
  const HashLine parsed = ParseHashLine(line);
  if (!parsed.digest.empty()) by_digest_.Add({key_hash_(parsed.digest), offset}, sealed_);
  if (!parsed.address.empty()) by_address_.Add({key_hash_(parsed.address), offset}, sealed_);
}

void HashListIndex::AddText(std::string_view text, std::uint64_t offset) {
  ForEachLine(text, [&](std::string_view line) {
    AddLine(line, offset + static_cast<std::uint64_t>(line.data() - text.data()));
  });
}

void HashListIndex::ReserveFor(std::uint64_t done, std::uint64_t total) {
  if (sealed_ || done == 0 || done >= total) return;
  const double scale = static_cast<double>(total) / static_cast<double>(done);
  by_address_.Reserve(scale);
  by_digest_.Reserve(scale);
}

void HashListIndex::Seal() {
  if (sealed_) return;
  by_address_.Seal();
  by_digest_.Seal();
  sealed_ = true;
}

std::vector<std::uint64_t> HashListIndex::LinesWithAddress(std::string_view key) const {
  return by_address_.Find(key_hash_(key));
}

std::vector<std::uint64_t> HashListIndex::LinesWithDigest(std::string_view key) const {
  return by_digest_.Find(key_hash_(key));
}

std::size_t HashListIndex::MemoryBytes() const {
  return by_address_.MemoryBytes() + by_digest_.MemoryBytes();
}

}  // namespace trovanex
