#include "model/hash_list.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <latch>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include "model/file_digest.h"
#include "model/hash_list_index.h"
#include "model/search_condition.h"
#include "platform/errors.h"
#include "platform/file_move.h"
#include "platform/file_system.h"
#include "support/temp_folder.h"

namespace trovanex {
namespace {

using testing::ReadFile;
using testing::TempFolder;

const std::string kMd5Abc = "900150983cd24fb0d6963f7d28e17f72";
const std::string kMd5Empty = "d41d8cd98f00b204e9800998ecf8427e";

// One condition per entry, each with the given folders, chained in order.
TSearchConditionList ConditionsWithFolders(const std::vector<std::vector<std::string>>& folders) {
  TSearchConditionList list;
  for (const auto& paths : folders) {
    auto condition = std::make_unique<TSearchCondition>();
    condition->SetSearchString("jpg");
    for (const std::string& path : paths) condition->AppendFolder(path, "");
    list.Add(std::move(condition));
  }
  return list;
}

// The lines of a CR LF file; a last line without its CR LF is kept as it is.
std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find("\r\n", at);
    lines.push_back(text.substr(at, end - at));
    if (end == std::string::npos) break;
    at = end + 2;
  }
  return lines;
}

// Replaces each {KEY} of `text` by its value.
std::string Fill(std::string text, const std::map<std::string, std::string>& values) {
  for (const auto& [key, value] : values)
    for (std::size_t at; (at = text.find("{" + key + "}")) != std::string::npos;)
      text.replace(at, key.size() + 2, value);
  return text;
}

// How a list answers lookups: by reading the file (its index held back for as long as the list
// lives), from its index, or from an index under which every key hashes alike.
enum class Way { kReadingTheFile, kIndex, kIndexAllKeysAlike };
const char* const kWayNames[] = {"ReadingTheFile", "Index", "IndexAllKeysAlike"};
constexpr Way kAllWays[] = {Way::kReadingTheFile, Way::kIndex, Way::kIndexAllKeysAlike};

class ListAnswering {
 public:
  ListAnswering(const std::string& path, Way way)
      : way_(way),
        list_(path, THashList::Seams{way == Way::kIndexAllKeysAlike
                                     ? [](std::string_view) -> std::uint64_t { return 7; }
                                     : HashListIndex::DefaultKeyHash,
                                     [this] {
                                       if (way_ == Way::kReadingTheFile) released_.wait();
                                     }}) {
    if (way != Way::kReadingTheFile) Indexed();
  }
  ~ListAnswering() {
    // Lookups never came from an index while it was held back (nor needed one without a file).
    if (way_ == Way::kReadingTheFile && FileExists(list_.FilePath())) {
      EXPECT_FALSE(list_.WaitUntilIndexed(std::chrono::milliseconds(0)));
    }
    release_.set_value();
  }
  THashList* operator->() { return &list_; }
  THashList& operator*() { return list_; }
  // Waits until the index answers (not while it is held back).
  void Indexed() {
    if (way_ != Way::kReadingTheFile) {
      ASSERT_TRUE(list_.WaitUntilIndexed(std::chrono::seconds(20)));
    }
  }

 private:
  const Way way_;
  std::promise<void> release_;
  std::shared_future<void> released_ = release_.get_future().share();
  THashList list_;  // last: its thread may call the hook above as soon as it is made
};

// ---------------------------------------------------------------------------------------------
// Line format and splitting

TEST(HashListFormatTest, AppendWritesDigestPathSizeAndAddressWithCrLf) {
  TempFolder temp;
  THashList list(temp / "hash.dat");
  const std::string abc = temp.Write("save/a.jpg", "abc");
  const std::string empty = temp.Write("save/e.jpg", "");
  const std::string gone = temp / "save/gone.jpg";

  list.AppendHash(abc, "h/img/a.jpg");
  list.AppendHash(empty, "h/e.jpg");
  list.AppendHash(gone, "h/gone.jpg");  // unreadable: empty digest, size 0
  list.AppendHash(abc, "h/s.jpg", CopyScheme::kHttps, kMd5Abc);
  // Without its address the mark would read as one.
  list.AppendHash(abc, "h/a<>b.jpg", CopyScheme::kHttps, kMd5Abc);

  EXPECT_EQ(ReadFile(list.FilePath()),
            kMd5Abc + "<>" + abc + "<>3<>h/img/a.jpg\r\n" + kMd5Empty + "<>" + empty +
                "<>0<>h/e.jpg\r\n" + "<>" + gone + "<>0<>h/gone.jpg\r\n" + kMd5Abc + "<>" + abc +
                "<>3<>h/s.jpg<>https\r\n" + kMd5Abc + "<>" + abc + "<>3\r\n");
}

TEST(HashListFormatTest, DigestCoversContentLongerThanOneReadAndNothingForNonFiles) {
  TempFolder temp;
  EXPECT_EQ(FileDigest(temp.Write("million", std::string(1000000, 'a'))),
            "7707d6ae4e027c70eea2a935c2296f21");
  EXPECT_EQ(FileDigest(temp.MakeFolder("folder")), "");
  EXPECT_EQ(FileDigest(temp / "missing"), "");
}

TEST(HashListFormatTest, ParseCutsAtTheFirstSeparatorEachTime) {
  const struct {
    const char* line;
    const char* digest;
    const char* path;
    std::uint64_t number;
    const char* address;
    std::optional<CopyScheme> scheme = CopyScheme::kHttp;
  } rows[] = {
      {"d<>/s/a.jpg<>123", "d", "/s/a.jpg", 123, ""},
      {"d<>/s/a.jpg<>123<>h/a", "d", "/s/a.jpg", 0, "h/a"},  // size and address are one rest
      {" \t d<>/s/a.jpg<>5", "d", "/s/a.jpg", 5, ""},        // leading blanks of the line
      {"d<>/s/a.jpg<>5x", "d", "/s/a.jpg", 0, ""},
      {"d<>/s/a.jpg<>", "d", "/s/a.jpg", 0, ""},
      {"d<>/s/a.jpg", "d", "/s/a.jpg", 0, ""},
      {"d", "d", "", 0, ""},
      {"<>/s/a.jpg<>0<>h/a", "", "/s/a.jpg", 0, "h/a"},
      {"d<>/s/a.jpg<>5<>h/a<>more", "d", "/s/a.jpg", 0, "h/a", std::nullopt},
      {"d<>/s/a.jpg<>5<>h/a<>https", "d", "/s/a.jpg", 0, "h/a", CopyScheme::kHttps},
      {"d<>/s/a.jpg<>5<>h/a<>", "d", "/s/a.jpg", 0, "h/a", std::nullopt},
      {"d<>/s/a.jpg<>5<>h/a<>https<>", "d", "/s/a.jpg", 0, "h/a", std::nullopt},
      {"d<>/s/a.jpg<>5<>https", "d", "/s/a.jpg", 0, "https"},  // an address, no mark
      {"d<>/s/a<b>.jpg<><>h/a", "d", "/s/a<b>.jpg", 0, "h/a"},
  };
  for (const auto& row : rows) {
    const HashLine parsed = ParseHashLine(row.line);
    EXPECT_EQ(parsed.digest, row.digest) << row.line;
    EXPECT_EQ(parsed.path, row.path) << row.line;
    EXPECT_EQ(parsed.number, row.number) << row.line;
    EXPECT_EQ(parsed.address, row.address) << row.line;
    EXPECT_EQ(parsed.scheme, row.scheme) << row.line;
  }
}

// Lines appended to a built index wait beside it and are merged into it now and then; the
// lines of a key stay in file order across merges, also when every key hashes alike.
TEST(HashListIndexTest, AppendedLinesKeepFileOrderAcrossMerges) {
  for (const HashListIndex::KeyHash hash :
       {HashListIndex::DefaultKeyHash, +[](std::string_view) -> std::uint64_t { return 7; }}) {
    HashListIndex index(hash);
    index.AddText("d0<>/s/0<>0<>a0\r\nd1<>/s/1<>0<>a1\r\n");
    index.Seal();
    std::map<std::string, std::vector<std::uint64_t>> expected{{"a0", {0}}, {"a1", {17}}};
    for (std::uint64_t offset = 1000; offset < 1000 + 20000 * 40; offset += 40) {
      const std::string address = "a" + std::to_string(offset % 7);
      index.AddLine("d<>/s/x<>0<>" + address, offset);
      expected[address].push_back(offset);
    }
    for (const auto& [address, offsets] : expected) {
      const std::vector<std::uint64_t> found = index.LinesWithAddress(address);
      if (hash == HashListIndex::DefaultKeyHash) {
        EXPECT_EQ(found, offsets) << address;
      } else {  // every line is a candidate, in file order
        EXPECT_EQ(found.size(), 20002u);
        EXPECT_TRUE(std::is_sorted(found.begin(), found.end()));
      }
    }
    EXPECT_EQ(index.LinesWithDigest("d").size(),
              hash == HashListIndex::DefaultKeyHash ? 20000u : 20002u);
  }
}

// ---------------------------------------------------------------------------------------------
// Lookups against a given file. {D} is the digest of "abc", the content asked about; {S3} and
// {S4} are stored files of 3 and 4 bytes, {M} a stored file that is gone, {F} a folder.

class HashListLookupTest : public ::testing::Test {
 protected:
  THashList ListWith(const std::string& text) {
    std::ofstream(temp_ / "hash.dat", std::ios::binary) << Fill(text, values_);
    return THashList(temp_ / "hash.dat");
  }
  std::unique_ptr<ListAnswering> ListWith(const std::string& text, Way way) {
    std::ofstream(temp_ / "hash.dat", std::ios::binary | std::ios::trunc) << Fill(text, values_);
    return std::make_unique<ListAnswering>(temp_ / "hash.dat", way);
  }
  std::string Name(const std::string& value) const {
    for (const auto& [key, path] : values_)
      if (path == value) return "{" + key + "}";
    return value.empty() ? "nothing" : value;
  }

  TempFolder temp_;
  const std::string asked_ = temp_.Write("tx0001.tmp", "abc");
  std::map<std::string, std::string> values_{
      {"D", kMd5Abc},
      {"S3", temp_.Write("save/s3.jpg", "xyz")},
      {"S4", temp_.Write("save/s4.jpg", "wxyz")},
      {"M", temp_ / "save/gone.jpg"},
      {"F", temp_.MakeFolder("save/folder")},
  };
};

TEST_F(HashListLookupTest, IsKnownNeedsTheDigestAndTheRecordedOrTheStoredSize) {
  std::string upper = kMd5Abc;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  const struct {
    const char* name;
    std::string text;
    bool known;
  } rows[] = {
      {"recorded size fits, stored file gone", "{D}<>{M}<>3\r\n", true},
      {"other size recorded", "{D}<>{S3}<>4\r\n", false},
      {"size 0 recorded, stored file of that size", "{D}<>{S3}<>0\r\n", true},
      {"size 0 recorded, stored file gone", "{D}<>{M}<>0\r\n", false},
      {"size 0 recorded, stored path a folder", "{D}<>{F}<>0\r\n", false},
      {"address line, stored file of that size", "{D}<>{S3}<>3<>h/a\r\n", true},
      {"address line, stored file gone", "{D}<>{M}<>3<>h/a\r\n", false},
      {"address line, stored file of another size now", "{D}<>{S4}<>3<>h/a\r\n", false},
      {"HTTPS copy, stored file of that size", "{D}<>{S3}<>3<>h/a<>https\r\n", true},
      {"line that answers no request, stored file of that size", "{D}<>{S3}<>3<>h/a<>x\r\n", true},
      {"digest in upper case", upper + "<>{M}<>3\r\n", false},
      {"other digest", kMd5Empty + "<>{M}<>3\r\n", false},
      {"size not a decimal number", "{D}<>{M}<>3x\r\n", false},
      {"leading blanks and blank lines", "\r\n \t\r\n  {D}<>{M}<>3\r\n", true},
      {"a later line fits", "{D}<>{M}<>4\r\n{D}<>{M}<>0\r\n{D}<>{S3}<>0\r\n", true},
      {"last line without line end", "{D}<>{M}<>4\r\n{D}<>{M}<>3", true},
      {"LF line ends", "{D}<>{M}<>4\n{D}<>{M}<>3\n", true},
      {"CR alone ends a line", "{D}<>{M}<>4\r{D}<>{M}<>3\r", true},
      {"digest inside an earlier line's path", "x<>/s/{D}<>3\r\n{D}<>{M}<>3\r\n", true},
      {"digest only inside a path", "x<>/s/{D}<>3\r\n", false},
  };
  for (const Way way : kAllWays)
    for (const auto& row : rows)
      EXPECT_EQ((*ListWith(row.text, way))->IsKnown(asked_), row.known)
          << row.name << ", " << kWayNames[static_cast<int>(way)];
}

TEST_F(HashListLookupTest, UnreadableContentIsNeverKnown) {
  // A line written for a file that could not be read has an empty digest and size 0; a file
  // that cannot be read now has them too, but that is no evidence the content is stored.
  THashList list = ListWith("<>{M}<>0\r\n<>{F}<>0\r\n");
  EXPECT_FALSE(list.IsKnown(temp_ / "missing.tmp"));
  EXPECT_FALSE(list.IsKnown(values_["F"]));
}

TEST_F(HashListLookupTest, LocalFileForTakesTheFirstExactAddressWhoseFileExists) {
  const struct {
    const char* name;
    const char* text;
    const char* address;
    const char* expected;
    CopyScheme asked = CopyScheme::kHttp;  // kHttps: a request inside an opened tunnel
  } rows[] = {
      {"exact address", "{D}<>{S3}<>3<>h/img/a.jpg\r\n", "h/img/a.jpg", "{S3}"},
      {"other letter case", "{D}<>{S3}<>3<>h/img/a.jpg\r\n", "H/img/a.jpg", ""},
      {"address only a prefix", "{D}<>{S3}<>3<>h/img/a.jpg\r\n", "h/img/a", ""},
      {"address longer", "{D}<>{S3}<>3<>h/img/a\r\n", "h/img/a.jpg", ""},
      {"stored file gone", "{D}<>{M}<>3<>h/a\r\n", "h/a", ""},
      {"stored path a folder", "{D}<>{F}<>0<>h/a\r\n", "h/a", ""},
      {"first fitting line wins", "{D}<>{S3}<>3<>h/a\r\n{D}<>{S4}<>4<>h/a\r\n", "h/a", "{S3}"},
      {"first line's file gone", "{D}<>{M}<>3<>h/a\r\n{D}<>{S4}<>4<>h/a\r\n", "h/a", "{S4}"},
      {"HTTPS copy, plain request", "{D}<>{S3}<>3<>h/a<>https\r\n", "h/a", ""},
      {"HTTPS copy, request in a tunnel", "{D}<>{S3}<>3<>h/a<>https\r\n", "h/a", "{S3}",
       CopyScheme::kHttps},
      {"plain copy, request in a tunnel", "{D}<>{S3}<>3<>h/a\r\n", "h/a", "", CopyScheme::kHttps},
      {"plain copy of an address that starts with https://", "{D}<>{S3}<>3<>https://h/a\r\n",
       "https://h/a", "", CopyScheme::kHttps},
      {"first line of the other scheme passed over",
       "{D}<>{S3}<>3<>h/a<>https\r\n{D}<>{S4}<>4<>h/a\r\n", "h/a", "{S4}"},
      {"first line of the other scheme passed over, in a tunnel",
       "{D}<>{S4}<>4<>h/a\r\n{D}<>{S3}<>3<>h/a<>https\r\n", "h/a", "{S3}", CopyScheme::kHttps},
      // What follows the address is no mark of ours, or the rest of an address cut at a "<>":
      // the line answers neither scheme.
      {"a field after the address", "{D}<>{S3}<>3<>h/a<>x\r\n", "h/a", ""},
      {"a field after the address, in a tunnel", "{D}<>{S3}<>3<>h/a<>x\r\n", "h/a", "",
       CopyScheme::kHttps},
      {"an empty field after the address", "{D}<>{S3}<>3<>h/a<>\r\n", "h/a", ""},
      {"the mark in upper case", "{D}<>{S3}<>3<>h/a<>HTTPS\r\n", "h/a", "", CopyScheme::kHttps},
      {"the mark and more", "{D}<>{S3}<>3<>h/a<>https<>x\r\n", "h/a", "", CopyScheme::kHttps},
      {"leading blanks", "  {D}<>{S3}<>3<>h/a\r\n", "h/a", "{S3}"},
      {"a three-field line has no address", "{D}<>{S3}<>3\r\n", "3", ""},
      {"an empty address is never saved", "{D}<>{S3}<>3\r\n", "", ""},
      {"first two lines' files gone",
       "{D}<>{M}<>3<>h/a\r\n{D}<>{F}<>3<>h/a\r\n{D}<>{S4}<>4<>h/a\r\n{D}<>{S3}<>3<>h/a\r\n", "h/a",
       "{S4}"},
      {"address inside an earlier line's path", "{D}<>/s/h/a<>3<>h/b\r\n{D}<>{S4}<>4<>h/a\r\n",
       "h/a", "{S4}"},
      {"CR alone ends a line", "{D}<>{S3}<>3<>h/b\r{D}<>{S4}<>4<>h/a\r", "h/a", "{S4}"},
      {"last line without line end", "{D}<>{S3}<>3<>h/b\r\n{D}<>{S4}<>4<>h/a", "h/a", "{S4}"},
  };
  for (const Way way : kAllWays)
    for (const auto& row : rows)
      EXPECT_EQ(Name((*ListWith(row.text, way))->LocalFileFor(row.address, row.asked)),
                Name(Fill(row.expected, values_)))
          << row.name << ", " << kWayNames[static_cast<int>(way)];
}

// Lines longer than one read of a line, and than one block of a whole read of the file.
TEST_F(HashListLookupTest, LongLinesAreReadWhole) {
  for (const std::size_t length : {600u, 300'000u}) {
    const std::string address = "h/" + std::string(length, 'x');
    const std::string text = Fill(
        "{D}<>{S3}<>3<>" + address + "y\r\n{D}<>{S4}<>4<>" + address + "\r\n{D}<>{M}<>0<>h/b\r\n",
        values_);
    for (const Way way : kAllWays) {
      const auto list = ListWith(text, way);
      EXPECT_EQ((*list)->LocalFileFor(address), values_["S4"])
          << length << ", " << kWayNames[static_cast<int>(way)];
      EXPECT_EQ((*list)->LocalFileFor(address + "y"), values_["S3"]);
      EXPECT_TRUE((*list)->IsKnown(asked_));
    }
  }
}

TEST_F(HashListLookupTest, WithoutAFileNothingIsFoundAndAnAppendCreatesIt) {
  THashList list(temp_ / "hash.dat");
  EXPECT_EQ(list.LocalFileFor("h/a"), "");
  EXPECT_FALSE(list.IsKnown(asked_));
  list.AppendHash(values_["S3"], "h/a");
  EXPECT_EQ(list.LocalFileFor("h/a"), values_["S3"]);
}

TEST_F(HashListLookupTest, DeletingTheStoredFileForgetsItsAddressAndContent) {
  THashList list(temp_ / "hash.dat");
  const std::string stored = temp_.Write("save/a.jpg", "abc");
  list.AppendHash(stored, "h/img/a.jpg");
  ASSERT_EQ(list.LocalFileFor("h/img/a.jpg"), stored);
  ASSERT_TRUE(list.IsKnown(asked_));

  ASSERT_TRUE(RemoveFile(stored));
  EXPECT_EQ(list.LocalFileFor("h/img/a.jpg"), "");
  EXPECT_FALSE(list.IsKnown(asked_));
}

// A "hash.dat" that exists but cannot be read must not stop requests: nothing is stored then,
// once said, and said again after it could be read for a while.
TEST_F(HashListLookupTest, AFileThatCannotBeReadIsTakenAsEmptyAndReportedOnce) {
  const struct {
    const char* name;
    void (*make)(const std::string& path);
  } rows[] = {
      {"a folder", [](const std::string& path) { ASSERT_EQ(::mkdir(path.c_str(), 0755), 0); }},
      {"a named pipe", [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0); }},
  };
  for (const auto& row : rows) {
    const std::string path = temp_ / "hash.dat";
    std::vector<std::string> reports;
    THashList list(path);
    list.SetProblemReport([&reports](const std::string& text) { reports.push_back(text); });
    row.make(path);
    EXPECT_EQ(list.LocalFileFor("h/a"), "") << row.name;
    EXPECT_FALSE(list.IsKnown(asked_)) << row.name;
    EXPECT_EQ(list.LocalFileFor("h/a"), "") << row.name;
    ASSERT_EQ(reports.size(), 1u) << row.name;
    EXPECT_EQ(reports[0].rfind("cannot ", 0), 0u) << reports[0];
    EXPECT_NE(reports[0].find(path), std::string::npos) << reports[0];

    std::filesystem::remove(path);
    std::ofstream(path, std::ios::binary) << Fill("{D}<>{S3}<>3<>h/a\r\n", values_);
    EXPECT_EQ(list.LocalFileFor("h/a"), values_["S3"]) << row.name;
    std::filesystem::remove(path);
    row.make(path);
    EXPECT_EQ(list.LocalFileFor("h/a"), "") << row.name;
    EXPECT_EQ(reports.size(), 2u) << row.name;
    std::filesystem::remove(path);
  }
}

// Another program may leave the last line without its line end: an appended line still starts a
// line of its own instead of running on from it, and both answer.
TEST_F(HashListLookupTest, AnAppendAfterALastLineWithoutLineEndStartsItsOwnLine) {
  for (const Way way : kAllWays) {
    const auto list = ListWith("{D}<>{S3}<>3<>h/a", way);
    (*list)->AppendHash(values_["S4"], "h/b");
    EXPECT_EQ(ReadFile(temp_ / "hash.dat"), Fill("{D}<>{S3}<>3<>h/a\r\n", values_) +
                                                FileDigest(values_["S4"]) + "<>" + values_["S4"] +
                                                "<>4<>h/b\r\n");
    EXPECT_EQ((*list)->LocalFileFor("h/a"), values_["S3"]) << kWayNames[static_cast<int>(way)];
    EXPECT_EQ((*list)->LocalFileFor("h/b"), values_["S4"]) << kWayNames[static_cast<int>(way)];
  }
}

// Disk full in the middle of a line: the cut line is taken back, so the next one starts clean.
TEST_F(HashListLookupTest, AFailedAppendLeavesTheFileAsItWas) {
  THashList list = ListWith("{D}<>{S3}<>3<>h/a\r\n");
  const std::string before = ReadFile(list.FilePath());
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  rlimit lowered = saved;
  lowered.rlim_cur = before.size() + 10;  // a few bytes of the next line fit, for root too
  const auto previous_handler = ::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &lowered);
  EXPECT_THROW(list.AppendHash(values_["S4"], "h/b"), FileError);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previous_handler);

  EXPECT_EQ(ReadFile(list.FilePath()), before);
  EXPECT_EQ(list.LocalFileFor("h/b"), "");
  list.AppendHash(values_["S4"], "h/c");
  EXPECT_EQ(LinesOf(ReadFile(list.FilePath())).size(), 2u);
  EXPECT_EQ(list.LocalFileFor("h/c"), values_["S4"]);
  EXPECT_EQ(list.LocalFileFor("h/a"), values_["S3"]);
}

// ---------------------------------------------------------------------------------------------
// Changes made by another program are seen by the very next call, whatever the list last did.

struct OutsideChange {
  const char* name;
  void (*make)(const std::string& hash_file, const std::string& other_stored);
  // (address, 'A' for the first stored file, 'B' for the other one, '-' for nothing), asked in
  // this order right after the change.
  std::vector<std::pair<std::string, char>> expected;
};

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

const OutsideChange kOutsideChanges[] = {
    {"SameSizeRewriteInPlace",
     [](const std::string& hash_file, const std::string&) {
       std::string text = ReadFile(hash_file);
       text.replace(text.find("h/one.jpg"), 9, "h/two.jpg");
       const int fd = ::open(hash_file.c_str(), O_WRONLY);  // no truncation: same inode, size
       ASSERT_GE(fd, 0);
       ASSERT_EQ(::pwrite(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
       ::close(fd);
     },
     {{"h/two.jpg", 'A'}, {"h/one.jpg", '-'}}},
    {"RewrittenShorter",
     [](const std::string& hash_file, const std::string& other) {
       WriteFile(hash_file, kMd5Empty + "<>" + other + "<>4<>h/one.jpg\r\n");
     },
     {{"h/one.jpg", 'B'}, {"h/own.jpg", '-'}}},
    {"LineAppended",
     [](const std::string& hash_file, const std::string& other) {
       std::ofstream(hash_file, std::ios::binary | std::ios::app)
           << kMd5Empty + "<>" + other + "<>4<>h/two.jpg\r\n";
     },
     {{"h/two.jpg", 'B'}, {"h/one.jpg", 'A'}}},
    {"Emptied",
     [](const std::string& hash_file, const std::string&) { WriteFile(hash_file, ""); },
     {{"h/one.jpg", '-'}}},
    {"Deleted",
     [](const std::string& hash_file, const std::string&) {
       ASSERT_EQ(::unlink(hash_file.c_str()), 0);
     },
     {{"h/one.jpg", '-'}, {"h/own.jpg", '-'}}},
    {"ReplacedByRename",
     [](const std::string& hash_file, const std::string& other) {
       WriteFile(hash_file + ".new", kMd5Empty + "<>" + other + "<>4<>h/one.jpg\r\n");
       ASSERT_EQ(std::rename((hash_file + ".new").c_str(), hash_file.c_str()), 0);
     },
     {{"h/one.jpg", 'B'}}},
};

enum class Before { kJustWritten, kSettled, kSettledThenOwnAppend };
const char* const kBeforeNames[] = {"JustWritten", "Settled", "SettledThenOwnAppend"};

void PrintTo(const OutsideChange& change, std::ostream* out) {
  *out << change.name;
}
void PrintTo(Before before, std::ostream* out) {
  *out << kBeforeNames[static_cast<int>(before)];
}
void PrintTo(Way way, std::ostream* out) {
  *out << kWayNames[static_cast<int>(way)];
}

class HashListOutsideChangeTest
    : public ::testing::TestWithParam<std::tuple<OutsideChange, Before, Way>> {};

TEST_P(HashListOutsideChangeTest, IsSeenByTheVeryNextCall) {
  const auto& [change, before, way] = GetParam();
  TempFolder temp;
  const std::string a = temp.Write("save/a.jpg", "abc");
  const std::string b = temp.Write("save/b.jpg", "wxyz");
  ListAnswering list(temp / "hash.dat", way);
  list->AppendHash(a, "h/one.jpg");
  if (before != Before::kJustWritten) {
    // Let the file's time stamps age, so that the list may trust them instead of reading
    // the file again on every call.
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
  }
  list.Indexed();
  ASSERT_EQ(list->LocalFileFor("h/one.jpg"), a);
  if (before == Before::kSettledThenOwnAppend) {
    list->AppendHash(b, "h/own.jpg");
    ASSERT_EQ(list->LocalFileFor("h/own.jpg"), b);
  }

  change.make(list->FilePath(), b);
  for (const auto& [address, which] : change.expected) {
    const std::string expected = which == 'A' ? a : which == 'B' ? b : "";
    EXPECT_EQ(list->LocalFileFor(address), expected) << address;
  }
  // And the index made of the changed file says the same.
  list.Indexed();
  for (const auto& [address, which] : change.expected) {
    const std::string expected = which == 'A' ? a : which == 'B' ? b : "";
    EXPECT_EQ(list->LocalFileFor(address), expected) << address << ", indexed again";
  }
}

std::string OutsideChangeCaseName(
    const ::testing::TestParamInfo<std::tuple<OutsideChange, Before, Way>>& info) {
  return std::string(std::get<0>(info.param).name) + "_" +
         kBeforeNames[static_cast<int>(std::get<1>(info.param))] + "_" +
         kWayNames[static_cast<int>(std::get<2>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Outside, HashListOutsideChangeTest,
                         ::testing::Combine(::testing::ValuesIn(kOutsideChanges),
                                            ::testing::Values(Before::kJustWritten,
                                                              Before::kSettled,
                                                              Before::kSettledThenOwnAppend),
                                            ::testing::Values(Way::kReadingTheFile, Way::kIndex)),
                         OutsideChangeCaseName);

// The index is read from the file while lookups go on: what changes after it was read must not
// be lost when it is put in place.
TEST(HashListIndexBuildTest, ChangesMadeWhileTheIndexIsReadAreInItOnceReady) {
  TempFolder temp;
  const std::string a = temp.Write("save/a.jpg", "abc");
  const std::string b = temp.Write("save/b.jpg", "wxyz");
  const std::string hash_file = temp.Write("hash.dat", kMd5Abc + "<>" + a + "<>3<>h/a\r\n");
  const struct {
    const char* name;
    std::function<void(THashList&)> change;
    std::vector<std::pair<std::string, std::string>> expected;  // (address, stored file)
  } rows[] = {
      {"own append", [&](THashList& list) { list.AppendHash(b, "h/b"); }, {{"h/a", a}, {"h/b", b}}},
      {"same-size rewrite by another program",
       [&](THashList&) {
         std::string text = ReadFile(hash_file);
         text.replace(text.find("h/a"), 3, "h/c");
         const int fd = ::open(hash_file.c_str(), O_WRONLY);
         ASSERT_EQ(::pwrite(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
         ::close(fd);
       },
       {{"h/a", ""}, {"h/c", a}}},
      {"replaced",
       [&](THashList&) { WriteFile(hash_file, "x<>" + b + "<>4<>h/a\r\n"); },
       {{"h/a", b}}},
  };
  for (const auto& row : rows) {
    WriteFile(hash_file, kMd5Abc + "<>" + a + "<>3<>h/a\r\n");
    std::latch read(1);
    std::promise<void> go;
    std::shared_future<void> going = go.get_future().share();
    std::atomic<int> builds{0};
    {
      THashList list(hash_file, THashList::Seams{HashListIndex::DefaultKeyHash, [&] {
                                                   if (builds++ > 0) return;
                                                   read.count_down();  // the file was read
                                                   going.wait();
                                                 }});
      read.wait();
      EXPECT_EQ(list.LocalFileFor("h/a"), a) << row.name;  // read from the file meanwhile
      row.change(list);
      for (const auto& [address, stored] : row.expected)
        EXPECT_EQ(list.LocalFileFor(address), stored) << row.name << ": " << address;
      go.set_value();
      ASSERT_TRUE(list.WaitUntilIndexed(std::chrono::seconds(20))) << row.name;
      for (const auto& [address, stored] : row.expected)
        EXPECT_EQ(list.LocalFileFor(address), stored) << row.name << ", indexed: " << address;
      EXPECT_GE(builds.load(), 2) << row.name;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Rebuild

class HashListRebuildTest : public ::testing::Test {
 protected:
  // save/ holds a file, a hidden file and a subfolder with a file; other/ holds one file.
  // link/ is save/ reached through a symbolic link.
  void SetUp() override {
    temp_.Write("save/a.txt", "abc");
    temp_.Write("save/.hidden", "");
    temp_.Write("save/sub/inner.txt", "inner");
    temp_.Write("other/b.txt", "abc");
    ASSERT_EQ(::symlink((temp_ / "save").c_str(), (temp_ / "link").c_str()), 0);
  }
  // The same folder in three spellings, across three conditions.
  TSearchConditionList SharedFolders() const {
    return ConditionsWithFolders(
        {{temp_ / "save"}, {temp_ / "save/", temp_ / "other"}, {temp_ / "link"}});
  }

  TempFolder temp_;
  THashList list_{temp_ / "hash.dat"};
};

TEST_F(HashListRebuildTest, ListsEachFolderOnceWithHiddenFilesAndWithoutSubfolders) {
  const TSearchConditionList conditions = SharedFolders();
  ASSERT_TRUE(list_.RebuildHashList(conditions.First()));

  const std::string text = ReadFile(list_.FilePath());
  EXPECT_TRUE(text.ends_with("\r\n"));
  std::vector<std::string> lines = LinesOf(text);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{
                       kMd5Abc + "<>" + temp_ / "other/b.txt<>3",
                       kMd5Abc + "<>" + temp_ / "save/a.txt<>3",
                       kMd5Empty + "<>" + temp_ / "save/.hidden<>0",
                   }));
}

TEST_F(HashListRebuildTest, ReportsProgressOverAllFilesToDigest) {
  const TSearchConditionList conditions = SharedFolders();
  std::vector<std::pair<std::size_t, std::size_t>> calls;
  ASSERT_TRUE(list_.RebuildHashList(conditions.First(), [&](std::size_t done, std::size_t total) {
    calls.emplace_back(done, total);
  }));
  EXPECT_EQ(calls, (std::vector<std::pair<std::size_t, std::size_t>>{{1, 3}, {2, 3}, {3, 3}}));
}

TEST_F(HashListRebuildTest, MissingFoldersAndFilesGivenAsFoldersAddNothing) {
  const TSearchConditionList conditions =
      ConditionsWithFolders({{temp_ / "missing", temp_ / "save/a.txt"}});
  ASSERT_TRUE(list_.RebuildHashList(conditions.First()));
  EXPECT_EQ(ReadFile(list_.FilePath()), "");
}

TEST_F(HashListRebuildTest, WithoutConditionsTheFileIsThereAndEmpty) {
  ASSERT_TRUE(list_.RebuildHashList(nullptr));
  EXPECT_EQ(ReadFile(list_.FilePath()), "");

  list_.AppendHash(temp_ / "save/a.txt", "h/a.txt");
  ASSERT_TRUE(list_.RebuildHashList(nullptr));
  EXPECT_EQ(ReadFile(list_.FilePath()), "");
  EXPECT_EQ(list_.LocalFileFor("h/a.txt"), "");
}

TEST_F(HashListRebuildTest, AddressesAreForgottenUntilTheNextSaveButContentStaysKnown) {
  const std::string stored = temp_ / "save/a.txt";
  const std::string asked = temp_.Write("tx0001.tmp", "abc");
  list_.AppendHash(stored, "h/a.txt");
  list_.AppendHash(stored, "h/s.txt", CopyScheme::kHttps, kMd5Abc);
  ASSERT_EQ(list_.LocalFileFor("h/a.txt"), stored);
  ASSERT_EQ(list_.LocalFileFor("h/s.txt", CopyScheme::kHttps), stored);

  const TSearchConditionList conditions = ConditionsWithFolders({{temp_ / "save"}});
  ASSERT_TRUE(list_.RebuildHashList(conditions.First(), [&](std::size_t done, std::size_t) {
    // Saved while the rebuild runs: carried into the new file with its mark.
    if (done == 1) list_.AppendHash(stored, "h/meanwhile.txt", CopyScheme::kHttps, kMd5Abc);
  }));
  for (const CopyScheme scheme : {CopyScheme::kHttp, CopyScheme::kHttps}) {
    EXPECT_EQ(list_.LocalFileFor("h/a.txt", scheme), "");
    EXPECT_EQ(list_.LocalFileFor("h/s.txt", scheme), "");
  }
  EXPECT_EQ(list_.LocalFileFor("h/meanwhile.txt", CopyScheme::kHttps), stored);
  EXPECT_EQ(list_.LocalFileFor("h/meanwhile.txt"), "");
  EXPECT_TRUE(list_.IsKnown(asked));

  list_.AppendHash(stored, "h/a.txt");
  EXPECT_EQ(list_.LocalFileFor("h/a.txt"), stored);
}

TEST_F(HashListRebuildTest, ASecondRebuildIsRefusedWhileOneRuns) {
  const TSearchConditionList conditions = SharedFolders();
  std::vector<bool> nested;
  ASSERT_TRUE(list_.RebuildHashList(conditions.First(), [&](std::size_t done, std::size_t) {
    // The refresh action can be started again from the messages processed here.
    if (done == 1) nested.push_back(list_.RebuildHashList(conditions.First()));
  }));
  EXPECT_EQ(nested, std::vector<bool>{false});
  EXPECT_EQ(LinesOf(ReadFile(list_.FilePath())).size(), 3u);
  EXPECT_TRUE(list_.RebuildHashList(conditions.First()));  // and again once it has ended
}

TEST_F(HashListRebuildTest, ANamedPipeInAFolderDoesNotHoldItUp) {
  const std::string pipe = temp_ / "save/pipe";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
  const TSearchConditionList conditions = ConditionsWithFolders({{temp_ / "save"}});
  auto rebuilt =
      std::async(std::launch::async, [&] { return list_.RebuildHashList(conditions.First()); });
  if (rebuilt.wait_for(std::chrono::seconds(2)) == std::future_status::timeout) {
    ADD_FAILURE() << "the rebuild waits for someone to write into " << pipe;
    ::close(::open(pipe.c_str(), O_WRONLY));  // an empty write end lets it go on
  }
  EXPECT_TRUE(rebuilt.get());
  // The pipe is listed like any other file that is not a folder, with whatever it gave.
  std::vector<std::string> lines = LinesOf(ReadFile(list_.FilePath()));
  const auto pipe_line = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.ends_with("<>" + pipe + "<>0");
  });
  ASSERT_NE(pipe_line, lines.end());
  lines.erase(pipe_line);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{kMd5Abc + "<>" + temp_ / "save/a.txt<>3",
                                             kMd5Empty + "<>" + temp_ / "save/.hidden<>0"}));
}

TEST_F(HashListRebuildTest, AFailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
  list_.AppendHash(temp_ / "save/a.txt", "h/a.txt");
  const std::string old_text = ReadFile(list_.FilePath());
  const TSearchConditionList conditions = SharedFolders();
  // Writes past 64 bytes, less than the three new lines, fail with EFBIG, for root too.
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  rlimit lowered = saved;
  lowered.rlim_cur = 64;
  const auto previous_handler = ::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &lowered);
  EXPECT_THROW(list_.RebuildHashList(conditions.First()), FileError);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previous_handler);

  EXPECT_EQ(ReadFile(list_.FilePath()), old_text);
  std::vector<std::string> names = ListFiles(temp_.path());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, std::vector<std::string>{"hash.dat"});
  EXPECT_EQ(list_.LocalFileFor("h/a.txt"), temp_ / "save/a.txt");
  EXPECT_TRUE(list_.RebuildHashList(conditions.First()));
}

// ---------------------------------------------------------------------------------------------
// Concurrent use. Connection threads save files into the save folder (move, then append) and look
// them up while the main thread rebuilds. Whatever the timing, every saved file must end up named
// in the final file, by its rebuilt line or by its appended one.
TEST(HashListConcurrencyTest, SavesDuringARebuildAreNeitherLostNorTornNorDoubled) {
  constexpr int kThreads = 8;
  // One save folder named many times over: telling the names apart gives the rebuild a stretch
  // of work after it listed the folder and before it digests anything, in which saves go on.
  constexpr int kSpellings = 4000;
  TempFolder temp;
  const std::string save = temp.MakeFolder("save") + "/";
  for (int f = 0; f < 20; ++f) temp.Write("save/old" + std::to_string(f) + ".jpg", "old");
  std::vector<std::string> spellings;
  for (int i = 0; i < kSpellings; ++i) spellings.push_back(i % 2 ? save : temp / "save");
  const TSearchConditionList conditions = ConditionsWithFolders({spellings});

  THashList list(temp / "hash.dat");
  std::latch all_saving(kThreads);
  std::atomic<bool> digesting{false};  // the rebuild has surely begun taking appended lines
  std::atomic<bool> rebuild_done{false};
  std::atomic<int> saves{0};
  std::atomic<int> wrong_answers{0};  // failed moves and lookups right after a save
  // Per thread: (address, path) of every save, and of those begun once the rebuild digested.
  std::vector<std::vector<std::pair<std::string, std::string>>> saved(kThreads), kept(kThreads);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        int after_done = 0;
        for (int i = 0; after_done < 3; ++i) {
          const bool must_keep = digesting.load();
          const bool done = rebuild_done.load();
          const std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
          const std::string address = "h/" + name;
          const std::string path = save + name + ".jpg";
          if (MoveFileNoReplace(temp.Write("stored/" + name + ".tmp", name), path) != 0) {
            ++wrong_answers;
            continue;
          }
          list.AppendHash(path, address);
          saved[t].emplace_back(address, path);
          if (must_keep) kept[t].emplace_back(address, path);
          if (must_keep && list.LocalFileFor(address) != path) ++wrong_answers;
          if (!list.IsKnown(path)) ++wrong_answers;
          ++saves;
          if (i == 0) all_saving.count_down();
          if (done) ++after_done;
        }
      });
    }
    all_saving.wait();
    bool rebuilt = false;
    EXPECT_NO_THROW(
        rebuilt = list.RebuildHashList(conditions.First(), [&](std::size_t done, std::size_t) {
          if (done != 1) return;
          digesting = true;
          // Hold the rebuild until every thread had the chance to save meanwhile.
          for (const int seen = saves.load(); saves.load() < seen + 2 * kThreads;)
            std::this_thread::yield();
        }));
    EXPECT_TRUE(rebuilt);
    rebuild_done = true;
  }
  EXPECT_EQ(wrong_answers.load(), 0) << "lookups right after a save";

  // Each stored file may have its rebuilt line and its appended line, each at most once.
  std::map<std::string, int> seen;
  std::map<std::string, std::string> rebuilt_line_of;  // path -> its line from a rebuild
  for (const std::string& name : ListFiles(save)) {
    const std::string path = save + name;
    rebuilt_line_of[path] =
        FileDigest(path) + "<>" + path + "<>" + std::to_string(ListedFileSize(path));
    seen[rebuilt_line_of[path]] = 0;
  }
  std::map<std::string, std::string> appended_line_of;  // address -> its appended line
  for (const auto& thread_saves : saved) {
    for (const auto& [address, path] : thread_saves) {
      appended_line_of[address] = rebuilt_line_of[path] + "<>" + address;
      seen[appended_line_of[address]] = 0;
    }
  }

  const std::string text = ReadFile(list.FilePath());
  EXPECT_TRUE(text.ends_with("\r\n"));
  std::set<std::string> named;
  for (const std::string& line : LinesOf(text)) {
    if (!seen.contains(line)) {
      ADD_FAILURE() << "torn or unknown line: " << line;
      continue;
    }
    EXPECT_EQ(++seen[line], 1) << "doubled: " << line;
    named.insert(std::string(ParseHashLine(line).path));
  }
  int unnamed = 0;
  for (const auto& [path, line] : rebuilt_line_of)
    if (!named.contains(path) && ++unnamed <= 3) ADD_FAILURE() << "stored file lost: " << path;
  EXPECT_EQ(unnamed, 0) << "of " << rebuilt_line_of.size() << " stored files";
  int dropped = 0;
  for (const auto& thread_kept : kept)
    for (const auto& [address, path] : thread_kept)
      dropped += seen[appended_line_of[address]] != 1 || list.LocalFileFor(address) != path;
  EXPECT_EQ(dropped, 0) << "lines appended while the rebuild digested or after it";
}

}  // namespace
}  // namespace trovanex
