// "hash.dat" lines: ParseHashLine and the index over a file's text. The lines the index names
// for a key, once their key is compared, are exactly those that reading from the top finds,
// whether the text came whole or line by line (appended to a sealed index), also when every
// key hashes alike; and a line the program writes reads back as the fields and scheme it was
// written from.
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "model/hash_list_index.h"
#include "platform/text_lines.h"

using namespace trovanex;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::pair<std::string_view, std::uint64_t>> lines;  // (line, offset)
  ForEachLine(text, [&](std::string_view line) {
    if (line.find_first_not_of(" \t") != std::string_view::npos)
      lines.emplace_back(line, static_cast<std::uint64_t>(line.data() - text.data()));
  });  // a blank line says nothing

  const auto same_hash = [](std::string_view) -> std::uint64_t { return 7; };
  HashListIndex whole, by_line, colliding(same_hash);
  whole.AddText(text);
  whole.Seal();
  by_line.Seal();
  for (const auto& [line, offset] : lines) by_line.AddLine(line, offset);
  colliding.AddText(text);
  colliding.Seal();
  FUZZ_REQUIRE(whole.LineCount() == lines.size() && by_line.LineCount() == lines.size());

  // The lines a lookup names, kept where their field is the key, as (path, number).
  using Found = std::vector<std::pair<std::string_view, std::uint64_t>>;
  const auto confirmed = [&](const std::vector<std::uint64_t>& offsets, std::string_view key,
                             bool by_address) {
    Found found;
    for (const std::uint64_t offset : offsets) {
      const std::string_view rest = std::string_view(text).substr(offset);
      const HashLine parsed = ParseHashLine(rest.substr(0, rest.find_first_of("\r\n")));
      if ((by_address ? parsed.address : parsed.digest) == key)
        found.emplace_back(parsed.path, parsed.number);
    }
    return found;
  };

  // Every digest and address the file holds (and one it does not), answered like a scan. Each
  // key once: a file of many equal lines would otherwise be scanned once per line.
  std::vector<HashLine> parsed_lines;
  std::set<std::string_view> keys{"", "no such key"};
  for (const auto& [line, offset] : lines) {
    const HashLine& parsed = parsed_lines.emplace_back(ParseHashLine(line));
    keys.insert(parsed.digest);
    keys.insert(parsed.address);
  }
  for (const std::string_view key : keys) {
    Found paths, files;
    for (const HashLine& parsed : parsed_lines) {
      // A line without an address is never found by one, not even by an empty one; the same
      // for an empty digest, which is never asked for.
      if (!parsed.address.empty() && parsed.address == key) paths.emplace_back(parsed.path, 0);
      if (!parsed.digest.empty() && parsed.digest == key)
        files.emplace_back(parsed.path, parsed.number);
    }
    for (const HashListIndex* index : {&whole, &by_line, &colliding}) {
      Found by_address = confirmed(index->LinesWithAddress(key), key, true);
      for (auto& found : by_address) found.second = 0;
      FUZZ_REQUIRE(by_address == paths);
      FUZZ_REQUIRE(confirmed(index->LinesWithDigest(key), key, false) == files);
    }
  }

  // Written from fields the program would write (no "<>" or line end in them), a line reads
  // back as those fields. Fields are cut from the input at its first bytes 0x01 and 0x02.
  const auto cut1 = text.find('\x01');
  const auto cut2 = text.find('\x02', cut1 == std::string::npos ? 0 : cut1);
  if (cut1 == std::string::npos || cut2 == std::string::npos) return 0;
  const std::string digest = text.substr(0, cut1);
  const std::string path = text.substr(cut1 + 1, cut2 - cut1 - 1);
  const std::string address = text.substr(cut2 + 1);
  for (const std::string* field : {&digest, &path, &address})
    if (field->find("<>") != std::string::npos || field->find_first_of("\r\n") != std::string::npos)
      return 0;
  const std::uint32_t file_size = static_cast<std::uint32_t>(size * 2654435761u);
  for (const auto& [with_address, scheme] :
       {std::pair{false, CopyScheme::kHttp}, std::pair{true, CopyScheme::kHttp},
        std::pair{false, CopyScheme::kHttps}, std::pair{true, CopyScheme::kHttps}}) {
    std::string line =
        FormatHashLine(digest, path, file_size, with_address ? &address : nullptr, scheme);
    FUZZ_REQUIRE(line.ends_with("\r\n"));
    line.resize(line.size() - 2);
    const HashLine parsed = ParseHashLine(line);
    std::string_view expected_digest = digest;
    while (!expected_digest.empty() &&
           (expected_digest.front() == ' ' || expected_digest.front() == '\t'))
      expected_digest.remove_prefix(1);
    FUZZ_REQUIRE(parsed.digest == expected_digest);
    FUZZ_REQUIRE(parsed.path == path);
    FUZZ_REQUIRE(parsed.address == (with_address ? address : std::string()));
    // Only a line with an address carries the mark: without one it would read as the address.
    FUZZ_REQUIRE(parsed.scheme == (with_address ? scheme : CopyScheme::kHttp));
    // A size is recorded only in a line without an address (there "0": check the file).
    FUZZ_REQUIRE(parsed.number == (with_address ? 0 : file_size));
  }
  return 0;
}
