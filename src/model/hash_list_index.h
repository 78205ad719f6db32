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
struct HashLine {
  std::string digest;    // first field; leading blanks of the line are not part of it
  std::string path;      // second field
  std::uint64_t number;  // the rest after the second "<>" as a decimal number, else 0
  std::string address;   // fourth field, empty in three-field lines
};

HashLine ParseHashLine(std::string_view line);

// "digest<>path<>size" or, with an address, "digest<>path<>size<>address", plus CR LF.
std::string FormatHashLine(const std::string& digest, const std::string& path,
                           std::uint32_t size, const std::string* address);

class HashListIndex {
 public:
  void Clear();
  // Adds every line of a file's text, in order.
  void AddText(std::string_view text);
  void AddLine(std::string_view line);

  // Paths of lines whose address is exactly `address`, in file order.
  std::vector<std::string> PathsForAddress(std::string_view address) const;
  // (path, number) of lines whose digest is exactly `digest`, in file order.
  std::vector<std::pair<std::string, std::uint64_t>> FilesWithDigest(std::string_view digest) const;
  std::size_t LineCount() const { return lines_.size(); }

 private:
  std::deque<HashLine> lines_;  // stable addresses: the maps below point into it
  std::unordered_map<std::string_view, std::vector<std::uint32_t>> by_address_;
  std::unordered_map<std::string_view, std::vector<std::uint32_t>> by_digest_;
};

}  // namespace trovanex
