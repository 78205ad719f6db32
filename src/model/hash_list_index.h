// What the lines of "hash.dat" say, indexed for the two questions asked of it: which stored
// files have a given digest (with the size recorded for each), and which stored files were
// saved from a given address. Both keep the file's line order, since the first fitting line wins.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace trovanex {

// One line cut by the splitting rule: at the first "<>", then the rest the same way.
// The fields view the line's own text.
struct HashLine {
  std::string_view digest;   // first field; leading blanks of the line are not part of it
  std::string_view path;     // second field
  std::uint64_t number = 0;  // the rest after the second "<>" as a decimal number, else 0
  std::string_view address;  // fourth field, empty in three-field lines
};

HashLine ParseHashLine(std::string_view line);

// "digest<>path<>size" or, with an address, "digest<>path<>size<>address", plus CR LF.
std::string FormatHashLine(const std::string& digest, const std::string& path,
                           std::uint32_t size, const std::string* address);

class HashListIndex {
 public:
  void Clear();
  // Adds every line of a file's text, in order.
  void AddText(std::string text);
  void AddLine(std::string line);

  // Paths of lines whose address is exactly `address`, in file order.
  std::vector<std::string> PathsForAddress(std::string_view address) const;
  // (path, number) of lines whose digest is exactly `digest`, in file order.
  std::vector<std::pair<std::string, std::uint64_t>> FilesWithDigest(std::string_view digest) const;
  std::size_t LineCount() const { return lines_.size(); }

 private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFF;
  // The lines sharing one key, chained in file order through a `next` array.
  struct Chain {
    std::uint32_t first;
    std::uint32_t last;
  };
  using KeyMap = std::unordered_map<std::string_view, Chain>;
  static void Link(KeyMap& map, std::vector<std::uint32_t>& next, std::string_view key,
                   std::uint32_t line);

  void IndexLine(std::string_view line);

  std::deque<std::string> texts_;  // the text that lines_ and the maps view; never moved
  std::vector<HashLine> lines_;
  KeyMap by_address_;
  KeyMap by_digest_;
  std::vector<std::uint32_t> next_same_address_;  // per line
  std::vector<std::uint32_t> next_same_digest_;   // per line
};

}  // namespace trovanex
