// Search conditions: the user's rules. A condition matches a request's address (host followed
// by path and query) by substring or by regular expression and names the folders that matched
// content goes to. The list keeps its conditions chained through `Next` in list order.
//
// Sharing: a list that the running proxy uses is never edited in place, only replaced as a
// whole (its owner is kept alive by whoever still matches against it). The one change allowed
// on a live condition is AppendFolder, which readers walking the folder chain may race with.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "model/regex_pattern.h"
#include "platform/thread_annotations.h"

namespace trovanex {

enum class TSearchType : std::uint8_t { Standard = 0, Regexp = 1 };
enum class TExecType : std::uint8_t { Save = 0, SaveAsk = 1, SaveAskFolder = 2, View = 3 };

// One save folder of a condition. `Path` and `Name` never change once the item is reachable
// from a condition that others read.
struct TSaveFolderListItem {
  TSaveFolderListItem(std::string path, std::string name)
      : Path(std::move(path)), Name(std::move(name)) {}

  const TSaveFolderListItem* NextItem() const { return Next.load(std::memory_order_acquire); }

  std::string Path;
  std::string Name;
  std::atomic<TSaveFolderListItem*> Next{nullptr};  // owned by the condition, not by this item
};

class TSearchCondition {
 public:
  TSearchCondition() = default;
  TSearchCondition(const TSearchCondition&) = delete;
  TSearchCondition& operator=(const TSearchCondition&) = delete;

  std::string Name;
  TExecType ExecType = TExecType::Save;
  TSearchCondition* Next = nullptr;  // the following condition of the owning list

  const std::string& SearchString() const { return search_string_; }
  TSearchType Type() const { return type_; }
  void SetSearchString(std::string search_string);
  void SetType(TSearchType type);
  // Both at once, sharing `from`'s compiled pattern.
  void CopySearchFrom(const TSearchCondition& from);

  // Case-sensitive, byte-exact test of the match text. An empty search string or an empty
  // text never matches as a substring; a pattern that does not compile never matches.
  bool Matches(std::string_view match_text) const;

  // The folder chain, in order; safe to walk while AppendFolder runs on another thread.
  const TSaveFolderListItem* FirstFolder() const {
    return first_folder_.load(std::memory_order_acquire);
  }
  std::size_t FolderCount() const;
  // The folder at `index`, or none past the end.
  TSaveFolderListItem* FolderAt(std::size_t index);

  // Adds a folder at the end of the chain; allowed on a live condition (main thread).
  TSaveFolderListItem& AppendFolder(std::string path, std::string name);
  // Positional edits for the condition editor; only on a condition nobody else reads.
  void InsertFolder(std::size_t index, std::string path, std::string name);
  void RemoveFolder(std::size_t index);  // nothing happens past the end
  void KeepOnlyFirstFolder();

 private:
  void Relink() REQUIRES(folders_lock_);

  std::string search_string_;
  TSearchType type_ = TSearchType::Standard;
  // Compiled once for Regexp conditions; immutable, so copies of the condition share it.
  std::shared_ptr<const RegexPattern> pattern_;

  // Serialises writers of the chain; readers walk it through the atomic links without it.
  Mutex folders_lock_;
  // Owns the chain, in its order.
  std::vector<std::unique_ptr<TSaveFolderListItem>> folders_ GUARDED_BY(folders_lock_);
  std::atomic<TSaveFolderListItem*> first_folder_{nullptr};
};

// Conditions chained through Next, owned in chain order.
using TSearchConditionChain = std::vector<std::unique_ptr<TSearchCondition>>;

class TSearchConditionList {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  // Index 0 to Count-1; throws InvalidOperation outside that range.
  TSearchCondition& Items(int index) const;
  TSearchCondition* First() const { return items_.empty() ? nullptr : items_.front().get(); }

  void Add(std::unique_ptr<TSearchCondition> condition);
  // Takes over a chain (as the condition file reader returns it), in its order.
  void AddChain(TSearchConditionChain chain);
  // Throws InvalidOperation with the list's own message when index >= Count.
  void Delete(int index);

  // The first condition, walking from item 0 along Next, that matches; none when none does.
  TSearchCondition* FindMatch(std::string_view match_text) const;

 private:
  std::vector<std::unique_ptr<TSearchCondition>> items_;
};

// A deep copy that shares nothing with `source`; none gives none. Throws AssertionFailure on
// a condition without any folder (a broken invariant).
std::unique_ptr<TSearchConditionList> CopySearchConditions(const TSearchConditionList* source);

}  // namespace trovanex
