#include "engine/start_up.h"

#include "engine/https_opening.h"
#include "platform/net_errors.h"
#include "platform/socket_error.h"
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

void ReportHttpsNotices(HttpsOpening& https, Monitor& monitor) {
  https.SetNoticeReport([&monitor](const std::string& notice) {
    monitor.Log.AddLog("Warning: " + notice);
    monitor.Messages.ShowStatusMessage("Warning: ローカル認証局の有効期限が近づいています (" +
                                       notice + ")");
  });
}

std::string ListenFailureMessage(const std::exception& failure, const TTxConfig& settings,
                                 const std::string& program_folder,
                                 const std::string& settings_path) {
  const auto* refused = dynamic_cast<const SocketFailure*>(&failure);
  if (!refused || refused->Code != kWsaAccessDenied) return failure.what();
  std::string where = settings_path;
  try {
    settings.SaveSettings(program_folder, settings_path);
  } catch (const std::exception& not_written) {
    where += " (" + std::string(not_written.what()) + ")";
  }
  const std::string port = std::to_string(settings.ListenPort);
  return std::string(failure.what()) + "\r\n" + "ポート" + port +
         "番は管理者の権限がないと使えません。" + where + " の ListenPort=" + port +
         " を 1024 以上の番号 (例えば ListenPort=8081) に変えて、もう一度起動してください。";
}

}  // namespace trovanex
