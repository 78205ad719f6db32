// What the lines of "hash.dat" say, indexed for the two questions asked of it: which lines have
// a given digest, and which a given address. The index holds no text: per line only a 64-bit
// hash of each key and the byte offset where the line starts in the file, 16 bytes a key. A
// lookup gives the lines whose key hashes alike, in file order; the caller reads each from the
// file and compares the key itself, so two keys that hash alike cost a read, never an answer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trovanex {

// How a stored copy was fetched, and so which requests it may answer: a copy fetched over
// plain HTTP never answers a request inside an opened HTTPS tunnel, nor the reverse.
enum class CopyScheme { kHttp, kHttps };

// The fifth field that marks a copy fetched inside an opened tunnel.
inline constexpr std::string_view kHttpsMark = "https";

// One line cut by the splitting rule: at the first "<>", then the rest the same way.
// The fields view the line's own text.
struct HashLine {
  std::string_view digest;   // first field; leading blanks of the line are not part of it
  std::string_view path;     // second field
  std::uint64_t number = 0;  // the rest after the second "<>" as a decimal number, else 0
  std::string_view address;  // fourth field, empty in three-field lines
  // kHttp without a fifth field, kHttps when all that follows the address is kHttpsMark, and
  // nothing (the line answers no request) for anything else: no address holds "<>", so that is
  // no mark of ours, or the cut-off rest of an address that did hold one.
  std::optional<CopyScheme> scheme = CopyScheme::kHttp;
};

HashLine ParseHashLine(std::string_view line);

// A path or address with a line end or the field separator in it would break the file's lines
// apart; such a file is left out rather than written as a broken line.
bool Listable(std::string_view text);

// "digest<>path<>size" or, with an address, "digest<>path<>size<>address", plus CR LF. A copy
// fetched over HTTPS with an address gets the fifth field "https"; without an address it
// answers no request, so it gets no mark.
std::string FormatHashLine(const std::string& digest, const std::string& path, std::uint32_t size,
                           const std::string* address, CopyScheme scheme = CopyScheme::kHttp);

class HashListIndex {
 public:
  using KeyHash = std::uint64_t (*)(std::string_view key);
  static std::uint64_t DefaultKeyHash(std::string_view key);

  explicit HashListIndex(KeyHash key_hash = DefaultKeyHash) : key_hash_(key_hash) {}

  // Adds the line that starts `offset` bytes into the file. Lines come in file order. Until
  // Seal() they are only collected (building from a whole file); after it, each is put in place.
  void AddLine(std::string_view line, std::uint64_t offset);
  // Adds every line of `text`, which starts `offset` bytes into the file.
  void AddText(std::string_view text, std::uint64_t offset = 0);
  // Makes room for the lines of a file of `total` bytes whose first `done` bytes were added,
  // taking the rest to be alike, so that building does not grow the tables step by step.
  void ReserveFor(std::uint64_t done, std::uint64_t total);
  // Sorts what was collected; lookups need it.
  void Seal();

  // Offsets of the lines whose address, or digest, may be `key`: every line whose field is
  // `key`, and perhaps others. In file order.
  std::vector<std::uint64_t> LinesWithAddress(std::string_view key) const;
  std::vector<std::uint64_t> LinesWithDigest(std::string_view key) const;

  std::size_t LineCount() const { return lines_; }  // lines that are not blank
  std::size_t MemoryBytes() const;

 private:
  struct Entry {
    std::uint64_t key_hash;
    std::uint64_t offset;
    auto operator<=>(const Entry&) const = default;
  };
  // The lines of one key kind, sorted by key hash, then offset. Lines added after Seal() wait in
  // `recent` (also sorted) until there are enough of them to merge into `sorted` in one pass.
  struct Keys {
    std::vector<Entry> sorted;
    std::vector<Entry> recent;
    void Add(Entry entry, bool sealed);
    void Reserve(double scale);
    void Seal();
    std::vector<std::uint64_t> Find(std::uint64_t key_hash) const;
    std::size_t MemoryBytes() const;
  };

  KeyHash key_hash_;
  bool sealed_ = false;
  std::size_t lines_ = 0;
  Keys by_address_;
  Keys by_digest_;
};

}  // namespace trovanex
