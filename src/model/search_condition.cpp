#include "model/search_condition.h"

#include <cstdio>

#include "platform/errors.h"

namespace trovanex {

void TSearchCondition::SetSearchString(std::string search_string) {
  search_string_ = std::move(search_string);
  if (type_ != TSearchType::Standard) pattern_ = std::make_shared<RegexPattern>(search_string_);
}

void TSearchCondition::SetType(TSearchType type) {
  type_ = type;
  if (type_ == TSearchType::Standard)
    pattern_.reset();
  else if (!pattern_)
    pattern_ = std::make_shared<RegexPattern>(search_string_);
}

void TSearchCondition::CopySearchFrom(const TSearchCondition& from) {
  search_string_ = from.search_string_;
  type_ = from.type_;
  pattern_ = from.pattern_;
}

bool TSearchCondition::Matches(std::string_view match_text) const {
  if (type_ == TSearchType::Standard) {
    return !search_string_.empty() && !match_text.empty() &&
           match_text.find(search_string_) != std::string_view::npos;
  }
  return pattern_ && pattern_->Matches(match_text);
}

std::size_t TSearchCondition::FolderCount() const {
  std::size_t count = 0;
  for (auto* folder = FirstFolder(); folder; folder = folder->NextItem()) ++count;
  return count;
}

TSaveFolderListItem* TSearchCondition::FolderAt(std::size_t index) {
  MutexLock lock(folders_lock_);
  return index < folders_.size() ? folders_[index].get() : nullptr;
}

TSaveFolderListItem& TSearchCondition::AppendFolder(std::string path, std::string name) {
  MutexLock lock(folders_lock_);
  auto item = std::make_unique<TSaveFolderListItem>(std::move(path), std::move(name));
  TSaveFolderListItem* added = item.get();
  folders_.push_back(std::move(item));
  // Published last, fully built: a reader sees either the old end or the new item whole.
  if (folders_.size() == 1)
    first_folder_.store(added, std::memory_order_release);
  else
    folders_[folders_.size() - 2]->Next.store(added, std::memory_order_release);
  return *added;
}

void TSearchCondition::InsertFolder(std::size_t index, std::string path, std::string name) {
  MutexLock lock(folders_lock_);
  if (index > folders_.size()) index = folders_.size();
  folders_.insert(folders_.begin() + static_cast<std::ptrdiff_t>(index),
                  std::make_unique<TSaveFolderListItem>(std::move(path), std::move(name)));
  Relink();
}

void TSearchCondition::RemoveFolder(std::size_t index) {
  MutexLock lock(folders_lock_);
  if (index >= folders_.size()) return;
  folders_.erase(folders_.begin() + static_cast<std::ptrdiff_t>(index));
  Relink();
}

void TSearchCondition::KeepOnlyFirstFolder() {
  MutexLock lock(folders_lock_);
  if (folders_.size() > 1) folders_.resize(1);
  Relink();
}

void TSearchCondition::Relink() {
  for (std::size_t i = 0; i < folders_.size(); ++i)
    folders_[i]->Next.store(i + 1 < folders_.size() ? folders_[i + 1].get() : nullptr,
                            std::memory_order_release);
  first_folder_.store(folders_.empty() ? nullptr : folders_.front().get(),
                      std::memory_order_release);
}

TSearchCondition& TSearchConditionList::Items(int index) const {
  if (index < 0 || index >= Count())
    throw InvalidOperation("List index out of bounds (" + std::to_string(index) + ")");
  return *items_[static_cast<std::size_t>(index)];
}

void TSearchConditionList::Add(std::unique_ptr<TSearchCondition> condition) {
  if (!items_.empty()) items_.back()->Next = condition.get();
  items_.push_back(std::move(condition));
}

void TSearchConditionList::AddChain(TSearchConditionChain chain) {
  for (auto& condition : chain) Add(std::move(condition));
}

void TSearchConditionList::Delete(int index) {
  if (index >= Count()) {
    char message[160];
    std::snprintf(message, sizeof message,
                  "TSearchCondition: Delete index out of range: %d (Count: %d) ", index, Count());
    throw InvalidOperation(message);
  }
  TSearchCondition& doomed = Items(index);  // a negative index fails here, as the list's own check
  if (index > 0) Items(index - 1).Next = doomed.Next;
  items_.erase(items_.begin() + index);
}

TSearchCondition* TSearchConditionList::FindMatch(std::string_view match_text) const {
  for (TSearchCondition* condition = First(); condition; condition = condition->Next)
    if (condition->Matches(match_text)) return condition;
  return nullptr;
}

std::unique_ptr<TSearchConditionList> CopySearchConditions(const TSearchConditionList* source) {
  if (!source) return nullptr;
  auto copy = std::make_unique<TSearchConditionList>();
  for (const TSearchCondition* from = source->First(); from; from = from->Next) {
    if (!from->FirstFolder())
      throw AssertionFailure("srcfolderの最初のアイテムがnilになっている (sub, line 352)");
    auto to = std::make_unique<TSearchCondition>();
    to->Name = from->Name;
    to->CopySearchFrom(*from);
    to->ExecType = from->ExecType;
    for (auto* folder = from->FirstFolder(); folder; folder = folder->NextItem())
      to->AppendFolder(folder->Path, folder->Name);
    copy->Add(std::move(to));
  }
  return copy;
}

}  // namespace trovanex
