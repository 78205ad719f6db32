#include "engine/folder_choice_queue.h"

#include <cstring>

#include "engine/capture_naming.h"
#include "platform/file_system.h"

namespace trovanex {

FolderChoiceQueue::FolderChoiceQueue(FolderChooser& chooser, MessageBoxes& boxes, Invoke invoke,
                                     Report report)
    : chooser_(chooser), boxes_(boxes), invoke_(std::move(invoke)), report_(std::move(report)) {}

void FolderChoiceQueue::Enqueue(SaveRequest request) {
  {
    MutexLock lock(lock_);
    requests_.push_back(std::move(request));
  }
  invoke_([this] { ProcessQueue(); });
}

void FolderChoiceQueue::ProcessQueue() {
  {
    MutexLock lock(lock_);
    if (busy_) return;  // a question is open; this request waits its turn
    busy_ = true;
  }
  // Leaving by an exception frees the queue for the next hand-over too.
  struct IdleOnFailure {
    FolderChoiceQueue& queue;
    bool done = false;
    ~IdleOnFailure() {
      if (done) return;
      MutexLock lock(queue.lock_);
      queue.busy_ = false;
    }
  } idle{*this};

  for (;;) {
    SaveRequest request;
    {
      MutexLock lock(lock_);
      if (requests_.empty()) {
        // In the same step that finds the queue empty: a request added after it is then
        // worked off by its own hand-over, never left behind.
        busy_ = false;
        idle.done = true;
        return;
      }
      request = std::move(requests_.front());
      requests_.pop_front();
    }
    if (!request.Condition || !request.Condition->FirstFolder()) {
      // Nowhere to offer: the capture stays in the program folder, nothing is lost.
      boxes_.ShowMessage("フォルダリストの中身が有りません！", "Trovanex : error");
      report_("no folder to offer for " + request.FileName + "; kept as " + request.TempName);
      continue;
    }
    Carry(request, chooser_.Choose(request));
  }
}

void FolderChoiceQueue::Carry(const SaveRequest& request, const FolderChoice& choice) {
  if (choice.kind != FolderChoice::Kind::Save) {
    RemoveFile(request.TempName);
    return;
  }
  std::string folder;
  if (choice.new_folder) {
    request.Condition->AppendFolder(*choice.new_folder, choice.new_label);
    folder = *choice.new_folder;
  } else {
    const TSaveFolderListItem* item = request.Condition->FirstFolder();
    for (std::size_t i = 0; item && i < choice.selected.value_or(0); ++i) item = item->NextItem();
    if (!item) {
      boxes_.ShowMessage("フォルダアイテム=nil; 何か変", "Trovanex : error");
      RemoveFile(request.TempName);
      return;
    }
    folder = item->Path;
  }
  if (const int error = PrepareFolder(folder)) {
    RemoveFile(request.TempName);
    boxes_.ShowMessage("保存フォルダ" + folder + "に保存できません (" + SystemErrorText(error) +
                           ")\n" + request.FileName + "は保存しませんでした。",
                       "Trovanex : error");
    return;
  }
  const auto target = TargetInFolder(folder, request.FileName);
  if (!target) {
    RemoveFile(request.TempName);
    report_("no free file name for " + request.FileName + " in " + folder);
    return;
  }
  int error = 0;
  if (!StoreCapture(request.TempName, *target, error))
    report_("cannot move " + request.TempName + " to " + *target + ": " + SystemErrorText(error));
}

void FolderChoiceQueue::DiscardAll() {
  MutexLock lock(lock_);
  for (const SaveRequest& request : requests_) RemoveFile(request.TempName);
  requests_.clear();
}

}  // namespace trovanex
