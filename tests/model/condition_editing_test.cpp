#include "model/condition_editing.h"

#include <gtest/gtest.h>

#include "model/condition_file.h"
#include "support/recording_message_boxes.h"

namespace trovanex {
namespace {

// A condition whose folders are named by the letters of `names`, each with path "/p" + letter.
std::unique_ptr<TSearchCondition> ConditionWith(const std::string& names, TExecType exec_type) {
  auto condition = std::make_unique<TSearchCondition>();
  condition->ExecType = exec_type;
  for (const char name : names) condition->AppendFolder("/p" + std::string(1, name), {name});
  return condition;
}

// Folder names along the chain, and the paths as a check that each pair stayed together.
std::string FolderNames(const TSearchCondition& condition) {
  std::string names;
  for (auto* folder = condition.FirstFolder(); folder; folder = folder->NextItem()) {
    names += folder->Name;
    if (folder->Path != "/p" + folder->Name) names += "(" + folder->Path + ")";
  }
  return names;
}

std::string RowNames(const ConditionEditing& editing) {
  std::string names;
  for (const FolderRow& row : editing.Rows()) names += row.name;
  return names;
}

ConditionFields Single(const std::string& path, bool confirm = false) {
  ConditionFields fields;
  fields.name = "rule";
  fields.search_string = "jpg";
  fields.single_folder = true;
  fields.confirm_save = confirm;
  fields.single_folder_path = path;
  return fields;
}

ConditionFields Multiple() {
  ConditionFields fields = Single("");
  fields.single_folder = false;
  return fields;
}

TEST(ConditionEditing, RowsOnlyWhileChoosingAmongSeveralFolders) {
  for (const TExecType hidden : {TExecType::Save, TExecType::SaveAsk, TExecType::View}) {
    auto condition = ConditionWith("ABC", hidden);
    EXPECT_TRUE(ConditionEditing(*condition).Rows().empty());
  }
  auto condition = ConditionWith("ABC", TExecType::SaveAskFolder);
  ConditionEditing editing(*condition);
  ASSERT_EQ(editing.Rows().size(), 3u);
  EXPECT_EQ(editing.Rows()[1].name, "B");
  EXPECT_EQ(editing.Rows()[1].path, "/pB");

  // Switching the mode changes the draft's execution type at once but not the rows.
  editing.SelectFolderMode(true, true);
  EXPECT_EQ(editing.Draft().ExecType, TExecType::SaveAsk);
  EXPECT_EQ(RowNames(editing), "ABC");
  editing.RefreshRows();
  EXPECT_EQ(RowNames(editing), "");
}

TEST(ConditionEditing, AddGoesAboveTheCurrentRowButNeverAboveTheFirst) {
  const struct {
    int current_row;
    const char* folders;
  } rows[] = {
      {-1, "ANBC"},  // no current row counts as the first
      {0, "ANBC"},
      {1, "ANBC"},
      {2, "ABNC"},
  };
  for (const auto& row : rows) {
    auto condition = ConditionWith("ABC", TExecType::SaveAskFolder);
    ConditionEditing editing(*condition);
    editing.AddFolder(row.current_row, "N", "/pN");
    EXPECT_EQ(FolderNames(editing.Draft()), row.folders) << row.current_row;
    EXPECT_EQ(RowNames(editing), row.folders) << row.current_row;
  }

  auto one = ConditionWith("A", TExecType::SaveAskFolder);
  ConditionEditing editing(*one);
  editing.AddFolder(0, "N", "/pN");
  EXPECT_EQ(FolderNames(editing.Draft()), "AN");
}

TEST(ConditionEditing, EditAndDeleteActOnTheConditionsFolderAtTheRow) {
  auto condition = ConditionWith("ABC", TExecType::SaveAskFolder);
  ConditionEditing editing(*condition);
  editing.EditFolder(1, "X", "/pX");
  EXPECT_EQ(RowNames(editing), "AXC");
  editing.EditFolder(3, "Y", "/pY");  // past the last folder
  editing.DeleteFolder(3);
  EXPECT_EQ(FolderNames(editing.Draft()), "AXC");
  editing.DeleteFolder(2);
  EXPECT_EQ(RowNames(editing), "AX");
  editing.DeleteFolder(-1);
  EXPECT_EQ(RowNames(editing), "X");
}

TEST(ConditionEditing, FoldersAddedWhileTheModeIsStillSingleGoInFront) {
  // A new condition opened with "several" still checked: its type stays Save, so the grid
  // shows nothing and each Add goes in front; OK then takes all of them.
  TSearchCondition condition;
  ConditionEditing editing(condition);
  editing.AddFolder(0, "A", "/pA");
  editing.AddFolder(0, "B", "/pB");
  EXPECT_TRUE(editing.Rows().empty());
  EXPECT_EQ(editing.Confirm(Multiple()), std::nullopt);
  EXPECT_EQ(condition.ExecType, TExecType::SaveAskFolder);
  EXPECT_EQ(FolderNames(condition), "BA");
}

TEST(ConditionEditing, OkWithOneFolderKeepsTheFirstWithItsNameAndTheBoxsPath) {
  auto condition = ConditionWith("ABC", TExecType::SaveAskFolder);
  ConditionEditing editing(*condition);
  editing.SelectFolderMode(true, false);
  EXPECT_EQ(editing.Confirm(Single("/new", true)), std::nullopt);
  EXPECT_EQ(condition->ExecType, TExecType::SaveAsk);
  EXPECT_EQ(condition->FolderCount(), 1u);
  EXPECT_EQ(condition->FirstFolder()->Name, "A");
  EXPECT_EQ(condition->FirstFolder()->Path, "/new");
  EXPECT_EQ(condition->Name, "rule");
  EXPECT_EQ(condition->SearchString(), "jpg");
  EXPECT_EQ(condition->Type(), TSearchType::Standard);
}

TEST(ConditionEditing, OkOnANewConditionMakesItsOnlyFolderWithoutName) {
  TSearchCondition condition;
  ConditionEditing editing(condition);
  EXPECT_EQ(editing.Confirm(Single("/save")), std::nullopt);
  EXPECT_EQ(condition.ExecType, TExecType::Save);
  ASSERT_EQ(condition.FolderCount(), 1u);
  EXPECT_EQ(condition.FirstFolder()->Name, "");
  EXPECT_EQ(condition.FirstFolder()->Path, "/save");
}

TEST(ConditionEditing, OkCompilesTheNewPatternOfARegularExpression) {
  auto condition = ConditionWith("A", TExecType::Save);
  condition->SetType(TSearchType::Regexp);
  condition->SetSearchString("old");
  ConditionEditing editing(*condition);
  ConditionFields fields = Single("/save");
  fields.type = TSearchType::Regexp;
  fields.search_string = R"(\.jpg$)";
  EXPECT_EQ(editing.Confirm(fields), std::nullopt);
  EXPECT_TRUE(condition->Matches("h/a/b.jpg"));
  EXPECT_FALSE(condition->Matches("h/old"));

  fields.type = TSearchType::Standard;
  fields.search_string = "old";
  EXPECT_EQ(editing.Confirm(fields), std::nullopt);
  EXPECT_TRUE(condition->Matches("h/old"));
  EXPECT_FALSE(condition->Matches("h/a/b.jpg"));
}

TEST(ConditionEditing, OkRefusesAConditionWithoutFolderAndChangesNothing) {
  const struct {
    const char* name;
    ConditionFields fields;
  } rows[] = {
      {"several, none in the list", Multiple()},
      {"one, empty box", Single("")},
      {"one, only blanks", Single("  ")},
      {"no match text",
       [] {
         ConditionFields fields = Single("/x");
         fields.search_string.clear();
         return fields;
       }()},
      {"one, path with ;", Single("/a;b")},
      {"one, path with ?", Single("/a?b")},
      {"one, path with a backslash", Single("/a\\b")},
  };
  for (const auto& row : rows) {
    auto condition = ConditionWith(row.fields.single_folder ? "AB" : "", TExecType::Save);
    condition->Name = "before";
    ConditionEditing editing(*condition);
    const std::optional<std::string> refusal = editing.Confirm(row.fields);
    ASSERT_TRUE(refusal) << row.name;
    EXPECT_FALSE(refusal->empty()) << row.name;
    EXPECT_EQ(condition->Name, "before") << row.name;
    EXPECT_EQ(condition->ExecType, TExecType::Save) << row.name;
    EXPECT_EQ(FolderNames(*condition), row.fields.single_folder ? "AB" : "") << row.name;
  }
}

// Every edit before OK goes to the draft: whatever the buttons did, an editor that is closed
// without OK leaves the rule as it was, and OK writes mode and folders together.
TEST(ConditionEditing, NothingReachesTheConditionBeforeOk) {
  const struct {
    const char* name;
    const char* folders;
    TExecType exec_type;
    void (*edit)(ConditionEditing&);
  } rows[] = {
      // The one folder of a single-folder rule, deleted while the grid shows nothing.
      {"only folder deleted unseen", "S", TExecType::Save,
       [](ConditionEditing& e) {
         e.SelectFolderMode(false, false);
         e.DeleteFolder(0);
       }},
      {"every folder deleted", "ABC", TExecType::SaveAskFolder,
       [](ConditionEditing& e) {
         for (int i = 0; i < 3; ++i) e.DeleteFolder(0);
       }},
      {"added and edited", "AB", TExecType::SaveAskFolder,
       [](ConditionEditing& e) {
         e.AddFolder(1, "N", "/pN");
         e.EditFolder(0, "X", "/pX");
       }},
      {"mode switched", "A", TExecType::SaveAsk,
       [](ConditionEditing& e) { e.SelectFolderMode(false, false); }},
  };
  for (const auto& row : rows) {
    auto condition = ConditionWith(row.folders, row.exec_type);
    condition->Name = "before";
    {
      ConditionEditing editing(*condition);
      row.edit(editing);
    }
    EXPECT_EQ(FolderNames(*condition), row.folders) << row.name;
    EXPECT_EQ(condition->ExecType, row.exec_type) << row.name;
    EXPECT_EQ(condition->Name, "before") << row.name;
  }

  // The deleted only folder: OK with "several" is refused, the rule keeps its folder.
  auto single = ConditionWith("S", TExecType::Save);
  ConditionEditing editing(*single);
  editing.SelectFolderMode(false, false);
  editing.DeleteFolder(0);
  EXPECT_TRUE(editing.Confirm(Multiple()));
  EXPECT_EQ(FolderNames(*single), "S");
  EXPECT_EQ(single->ExecType, TExecType::Save);
}

TEST(ConditionEditing, RulesWithoutFolderAreNamed) {
  TSearchConditionList rules;
  EXPECT_EQ(RuleWithoutFolderProblem(rules), std::nullopt);
  for (const char* name : {"first", "", "third"}) {
    auto rule = ConditionWith("A", TExecType::Save);
    rule->Name = name;
    rules.Add(std::move(rule));
  }
  EXPECT_EQ(RuleWithoutFolderProblem(rules), std::nullopt);
  rules.Items(2).RemoveFolder(0);
  const auto third = RuleWithoutFolderProblem(rules);
  ASSERT_TRUE(third);
  EXPECT_NE(third->find("「third」"), std::string::npos) << *third;
  rules.Items(1).RemoveFolder(0);  // the first one found is named; no name reads as the list
  const auto unnamed = RuleWithoutFolderProblem(rules);
  ASSERT_TRUE(unnamed);
  EXPECT_NE(unnamed->find("「no name」"), std::string::npos) << *unnamed;
}

TEST(ConditionEditing, AddAndEditRefuseAFolderSearchCfgCannotKeep) {
  auto condition = ConditionWith("AB", TExecType::SaveAskFolder);
  ConditionEditing editing(*condition);
  const std::pair<std::string, std::string> refused[] = {
      {"a;b", "/x"}, {"a/b", "/x"}, {"a?", "/x"}, {"x", "/a;b"}, {"x", "/a?"}, {"x", "/a\\b"}};
  for (const auto& [name, path] : refused) {
    EXPECT_TRUE(editing.AddFolder(1, name, path)) << name << " " << path;
    EXPECT_TRUE(editing.EditFolder(1, name, path)) << name << " " << path;
  }
  EXPECT_EQ(FolderNames(editing.Draft()), "AB");
  EXPECT_EQ(RowNames(editing), "AB");
  EXPECT_EQ(editing.AddFolder(1, "C", "/pC"), std::nullopt);
  EXPECT_EQ(FolderNames(editing.Draft()), "ACB");
}

// The checks let through exactly what Search.cfg reads back unchanged: a folder that passes
// comes back as it was, also between other rules; each one refused would have come back
// changed, or changed the rules around it.
TEST(ConditionEditing, FolderChecksMatchWhatSearchCfgKeeps) {
  const std::string names[] = {"写真", "a b", "x=y", "[end]", "",    "a\\b",
                               "a/b",  "a;b", "a?b", "a\nb",  "a\rb"};
  const std::string paths[] = {"/home/u/写真", "/tmp/a b", "/x=y/[end]", "/a;b",
                               "/a?b",         "/a\\b",    "/a\nb"};
  for (const std::string& name : names) {
    for (const std::string& path : paths) {
      TSearchConditionList list;
      for (const char* text : {"before", "tested", "after"}) {
        auto condition = std::make_unique<TSearchCondition>();
        condition->Name = text;
        condition->SetSearchString(text);
        condition->ExecType = TExecType::SaveAskFolder;
        condition->AppendFolder("/first", "first");
        if (std::string(text) == "tested") condition->AppendFolder(path, name);
        list.Add(std::move(condition));
      }
      testing::RecordingMessageBoxes boxes;
      TSearchConditionList read;
      read.AddChain(ParseSearchConditions(FormatSearchConditions(list), boxes));

      bool same = read.Count() == 3 && boxes.shown.empty();
      for (int i = 0; same && i < 3; ++i) {
        const TSearchCondition& was = list.Items(i);
        const TSearchCondition& is = read.Items(i);
        same = was.Name == is.Name && was.SearchString() == is.SearchString();
        const TSaveFolderListItem* a = was.FirstFolder();
        const TSaveFolderListItem* b = is.FirstFolder();
        for (; same && a && b; a = a->NextItem(), b = b->NextItem())
          same = a->Name == b->Name && a->Path == b->Path;
        same = same && !a && !b;
      }
      const bool accepted = !FolderNameProblem(name) && !FolderPathProblem(path);
      EXPECT_EQ(accepted, same) << "name \"" << name << "\", path \"" << path << "\"";
    }
  }
}

}  // namespace
}  // namespace trovanex
