#include "model/search_condition.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include "platform/errors.h"

namespace trovanex {
namespace {

std::unique_ptr<TSearchCondition> MakeCondition(const std::string& name, const std::string& search,
                                                int folders = 1) {
  auto condition = std::make_unique<TSearchCondition>();
  condition->Name = name;
  condition->SetSearchString(search);
  for (int i = 0; i < folders; ++i)
    condition->AppendFolder("/save/" + name + std::to_string(i), "f" + std::to_string(i));
  return condition;
}

// Names along the Next chain from the first condition; must agree with the index order.
std::string ChainNames(const TSearchConditionList& list) {
  std::string names;
  for (const TSearchCondition* c = list.First(); c; c = c->Next) names += c->Name;
  return names;
}

std::string IndexNames(const TSearchConditionList& list) {
  std::string names;
  for (int i = 0; i < list.Count(); ++i) names += list.Items(i).Name;
  return names;
}

TSearchConditionList ListOf(const std::string& names) {
  TSearchConditionList list;
  for (const char name : names) list.Add(MakeCondition(std::string(1, name), "x"));
  return list;
}

TEST(SearchConditionMatch, MatchTextAgainstOneCondition) {
  constexpr auto kStandard = TSearchType::Standard;
  constexpr auto kRegexp = TSearchType::Regexp;
  const struct {
    const char* name;
    TSearchType type;
    const char* search;
    const char* text;
    bool matches;
  } rows[] = {
      {"substring in the path", kStandard, "jpg", "h/a/b.jpg", true},
      {"substring as a folder", kStandard, "jpg", "h/jpg/index.html", true},
      {"substring in the query", kStandard, "jpg", "h/x?f=jpg", true},
      {"letter case counts", kStandard, "JPG", "h/a/b.jpg", false},
      {"the port is not in the text", kStandard, ":8080", "h/a/b.jpg?s=1", false},
      {"the scheme is not in the text", kStandard, "http", "h/a/b.jpg", false},
      {"scheme name inside the path", kStandard, "http", "h/http/x", true},
      {"empty search string", kStandard, "", "h/a", false},
      {"empty match text", kStandard, "a", "", false},
      {"standard is literal", kStandard, "a.c", "h/abc", false},
      {"anchored at the end", kRegexp, "\\.jpg$", "h/a/b.jpg", true},
      {"the query is part of the text", kRegexp, "\\.jpg$", "h/a/b.jpg?s=1", false},
      {"regexp letter case counts", kRegexp, "JPG", "h/a/b.jpg", false},
      {"regexp is unanchored", kRegexp, "a/b", "h/a/b.jpg", true},
      {"malformed regexp", kRegexp, "(jpg", "h/(jpg", false},
      {"malformed class", kRegexp, "[", "[", false},
      {"any nonzero type is regexp", static_cast<TSearchType>(2), "b\\.jpg$", "h/a/b.jpg", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    // The file reader may set the type before or after the search string.
    TSearchConditionList list;
    auto string_first = std::make_unique<TSearchCondition>();
    string_first->SetSearchString(row.search);
    string_first->SetType(row.type);
    auto type_first = std::make_unique<TSearchCondition>();
    type_first->SetType(row.type);
    type_first->SetSearchString(row.search);
    EXPECT_EQ(string_first->Matches(row.text), row.matches);
    EXPECT_EQ(type_first->Matches(row.text), row.matches);
    list.Add(std::move(string_first));
    EXPECT_EQ(list.FindMatch(row.text) != nullptr, row.matches);
  }
}

TEST(SearchConditionMatch, FirstMatchAlongTheChainWins) {
  TSearchConditionList list;
  EXPECT_EQ(list.FindMatch("h/a/b.jpg"), nullptr);
  list.Add(MakeCondition("a", "jpg"));
  list.Add(MakeCondition("b", "b.jpg"));
  list.Add(MakeCondition("c", "zzz"));
  EXPECT_EQ(list.FindMatch("h/a/b.jpg"), &list.Items(0));
  EXPECT_EQ(list.FindMatch("h/zzz"), &list.Items(2));
  EXPECT_EQ(list.FindMatch("h/none"), nullptr);
}

TEST(SearchConditionList, DeleteBeyondTheEndChangesNothing) {
  TSearchConditionList list = ListOf("abc");
  try {
    list.Delete(3);
    FAIL() << "no error";
  } catch (const InvalidOperation& error) {
    EXPECT_STREQ(error.what(), "TSearchCondition: Delete index out of range: 3 (Count: 3) ");
  }
  EXPECT_THROW(list.Delete(-1), InvalidOperation);
  EXPECT_EQ(IndexNames(list), "abc");
  EXPECT_EQ(ChainNames(list), "abc");
}

TEST(SearchConditionList, DeleteKeepsTheChainInListOrder) {
  const struct {
    int index;
    const char* left;
  } rows[] = {{1, "ac"}, {2, "ab"}, {0, "bc"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.index);
    TSearchConditionList list = ListOf("abc");
    list.Delete(row.index);
    EXPECT_EQ(IndexNames(list), row.left);
    EXPECT_EQ(ChainNames(list), row.left);
    EXPECT_EQ(list.Items(1).Next, nullptr);
    list.Add(MakeCondition("d", "x"));  // the new last item is reached along the chain too
    EXPECT_EQ(ChainNames(list), std::string(row.left) + "d");
  }
}

TEST(SearchConditionCopy, DeepCopySharesNothing) {
  TSearchConditionList source;
  source.Add(MakeCondition("a", "\\.jpg$", 3));
  source.Add(MakeCondition("b", "png", 1));
  source.Items(0).SetType(TSearchType::Regexp);
  source.Items(0).ExecType = TExecType::SaveAskFolder;

  const auto copy = CopySearchConditions(&source);
  ASSERT_EQ(copy->Count(), 2);
  EXPECT_EQ(copy->First()->Next, &copy->Items(1));
  EXPECT_EQ(copy->Items(1).Next, nullptr);
  for (int i = 0; i < 2; ++i) {
    const TSearchCondition& from = source.Items(i);
    TSearchCondition& to = copy->Items(i);
    EXPECT_NE(&from, &to);
    EXPECT_EQ(to.Name, from.Name);
    EXPECT_EQ(to.SearchString(), from.SearchString());
    EXPECT_EQ(to.Type(), from.Type());
    EXPECT_EQ(to.ExecType, from.ExecType);
    ASSERT_EQ(to.FolderCount(), from.FolderCount());
    const TSaveFolderListItem* f = from.FirstFolder();
    for (const TSaveFolderListItem* t = to.FirstFolder(); t; t = t->NextItem(), f = f->NextItem()) {
      EXPECT_NE(t, f);
      EXPECT_EQ(t->Path, f->Path);
      EXPECT_EQ(t->Name, f->Name);
    }
  }
  EXPECT_NE(copy->FindMatch("h/a/b.jpg"), nullptr);

  copy->Items(0).AppendFolder("/new", "new");
  copy->Items(0).Name = "changed";
  copy->Delete(1);
  EXPECT_EQ(source.Items(0).FolderCount(), 3u);
  EXPECT_EQ(ChainNames(source), "ab");
}

TEST(SearchConditionCopy, NoListEmptyListAndBrokenInvariant) {
  EXPECT_EQ(CopySearchConditions(nullptr), nullptr);
  TSearchConditionList list;
  const auto empty = CopySearchConditions(&list);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->Count(), 0);

  list.Add(MakeCondition("a", "x", 1));
  list.Add(MakeCondition("b", "x", 0));
  try {
    CopySearchConditions(&list);
    FAIL() << "no assertion";
  } catch (const AssertionFailure& error) {
    EXPECT_NE(std::string(error.what()).find("srcfolderの最初のアイテムがnilになっている"),
              std::string::npos);
  }
}

// The folder choice dialog appends to a live condition while connections walk its folders.
TEST(SearchConditionFolders, AppendWhileOtherThreadsWalk) {
  constexpr std::size_t kFolders = 400;
  constexpr int kReaders = 3;
  const auto path = [](std::size_t i) { return "/save/a/long/enough/folder/" + std::to_string(i); };
  TSearchCondition condition;
  condition.AppendFolder(path(0), "0");
  std::latch readers_started(kReaders);
  std::atomic<int> faults{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&] {
      readers_started.count_down();
      for (std::size_t seen = 0; seen < kFolders;) {
        std::size_t i = 0;
        for (auto* f = condition.FirstFolder(); f; f = f->NextItem(), ++i)
          if (f->Path != path(i) || f->Name != std::to_string(i)) ++faults;
        if (i < seen) ++faults;  // a folder once seen never disappears
        seen = i;
      }
    });
  }
  readers_started.wait();
  for (std::size_t i = 1; i < kFolders; ++i) condition.AppendFolder(path(i), std::to_string(i));
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(condition.FolderCount(), kFolders);
}

}  // namespace
}  // namespace trovanex
