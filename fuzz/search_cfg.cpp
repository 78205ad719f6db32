// "Search.cfg" as read from disk: ParseSearchConditions, then the round trip. What the program
// writes for the conditions it read, it reads back as the same conditions, and writes the same.
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "model/condition_file.h"

using namespace trovanex;

namespace {

struct CountingBoxes : MessageBoxes {
  int shown = 0;
  void ShowMessage(const std::string&, const std::string&) override { ++shown; }
};

struct Folder {
  std::string name, path;
  bool operator==(const Folder&) const = default;
};

std::vector<Folder> FoldersOf(const TSearchCondition& condition) {
  std::vector<Folder> folders;
  for (auto* folder = condition.FirstFolder(); folder; folder = folder->NextItem())
    folders.push_back({folder->Name, folder->Path});
  return folders;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CountingBoxes boxes;
  TSearchConditionList read;
  read.AddChain(ParseSearchConditions(text, boxes));
  // Every record that was taken has what a condition needs.
  for (const TSearchCondition* c = read.First(); c; c = c->Next)
    FUZZ_REQUIRE(!c->SearchString().empty() && c->FirstFolder() != nullptr);

  const std::string written = FormatSearchConditions(read);
  CountingBoxes again_boxes;
  TSearchConditionList again;
  again.AddChain(ParseSearchConditions(written, again_boxes));
  FUZZ_REQUIRE(again_boxes.shown == 0);  // the program never writes a record it refuses
  FUZZ_REQUIRE(again.Count() == read.Count());
  for (int i = 0; i < read.Count(); ++i) {
    const TSearchCondition& a = read.Items(i);
    const TSearchCondition& b = again.Items(i);
    FUZZ_REQUIRE(a.Name == b.Name);
    FUZZ_REQUIRE(a.SearchString() == b.SearchString());
    FUZZ_REQUIRE(a.Type() == b.Type());
    FUZZ_REQUIRE(a.ExecType == b.ExecType);
    FUZZ_REQUIRE(FoldersOf(a) == FoldersOf(b));
  }
  FUZZ_REQUIRE(FormatSearchConditions(again) == written);
  return 0;
}
