#include "engine/start_up.h"

#include "platform/temp_file.h"

namespace trovanex {

void RemoveStaleCaptures(const std::string& program_folder, Monitor& monitor) {
  // Only this copy uses the folder now: any such file is a capture or a request body that a run
  // ended by a kill or a power loss never removed.
  const std::size_t removed = RemoveStaleTempFiles(program_folder, "tx");
  if (removed == 0) return;
  monitor.Log.AddLog("Removed " + std::to_string(removed) + " stale temporary file" +
                     (removed == 1 ? "" : "s") + " (tx????.tmp) from " + program_folder);
}

void ReportHashListProblems(THashList& hash_list, Monitor& monitor) {
  hash_list.SetProblemReport([&monitor](const std::string& problem) {
    monitor.Log.AddLog("Hash list error: " + problem);
    monitor.Messages.ShowStatusMessage(
        "Error: hash.datを読み込めません。保存済みのファイルはないものとして扱います。");
  });
}

}  // namespace trovanex
