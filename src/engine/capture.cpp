#include "engine/capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "engine/capture_naming.h"
#include "engine/content_types.h"
#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/temp_file.h"

namespace trovanex {

Capture::Capture(CaptureServices& services, std::uint32_t connection_no,
                 std::shared_ptr<TTxConfig> config)
    : services_(services), prefix_(std::to_string(connection_no)), config_(std::move(config)) {}

Capture::~Capture() {
  // A capture never decided (the connection failed before its clean-up) leaves nothing behind.
  if (copy_.fd >= 0) {
    digest_.reset();
    ::close(copy_.fd);
    Discard();
  }
}

void Capture::NotKept(const std::string& reason) {
  Log(" : Not saved: " + reason);
  services_.monitor.Messages.ShowStatusMessage("Error: 保存しませんでした (" + reason + ")");
}

void Capture::FolderRefused(const std::string& folder, int error) {
  const std::string reason = SystemErrorText(error);
  Log(" : Cannot save into " + folder + ": " + reason + "; not saved.");
  const std::string text = "保存フォルダ" + folder + "に保存できません (" + reason + ")";
  services_.monitor.Messages.ShowStatusMessage("Error: " + text);
  services_.monitor.ShowBalloon(text + "\nURL=" + SchemeMark() + host_path_);
}

std::string Capture::SchemeMark() const {
  return scheme_ == CopyScheme::kHttps ? "https://" : "http://";
}

void Capture::Log(const std::string& text) {
  services_.monitor.Log.AddLog(prefix_ + text);
}

void Capture::DebugLog(const std::string& text) {
  services_.monitor.Log.AddDebugLog(prefix_ + text);
}

void Capture::Match(const TProxyRequest& request) {
  host_path_ = request.HostPath;
  scheme_ = request.Https ? CopyScheme::kHttps : CopyScheme::kHttp;
  TSearchCondition* found = config_->Conditions->FindMatch(request.HostPath);
  if (!found) return;
  condition_ = std::shared_ptr<TSearchCondition>(config_, found);
  capturing_ = true;
  Log(" : Matched! ");
}

void Capture::StartCapture(const TProxyRequest& request, const TRelayState& state) {
  if (capturing_ && !services_.save_available.load()) {
    services_.monitor.ShowBalloon("URL" + request.HostPath + "が一致しました\n" +
                                  "保存を有効にしていないので保存しません。");
    capturing_ = false;
    return;
  }
  if (!capturing_) return;
  if (!condition_->FirstFolder()) {
    capturing_ = false;  // nowhere to store it: the rule is broken, the answer is only relayed
    Log(" : Matched rule has no folder; not saved.");
    return;
  }

  if (state.Remaining < -1) {
    capturing_ = false;  // the relay passes nothing on: what it would store is not the answer
    Log(" : Negative Content-Length; not saved.");
    return;
  }

  target_name_ = UrlToFileName(request.HostPath);
  if (target_name_.find('.') == std::string::npos)
    target_name_ += ContentTypeToExt(state.ContentType);
  if (condition_->ExecType != TExecType::SaveAskFolder) {
    // Checked before anything is written or counted: a capture that cannot be kept is never
    // shown as being saved.
    const std::string& folder = condition_->FirstFolder()->Path;
    if (const int error = PrepareFolder(folder)) {
      capturing_ = false;
      FolderRefused(folder, error);
      return;
    }
    auto target = TargetInFolder(folder, target_name_);
    if (!target) {
      capturing_ = false;
      Log(" : No free file name for " + target_name_ + "; not saved.");
      return;
    }
    target_name_ = std::move(*target);
  }

  // A compressed body is kept as the content itself; one that cannot be undone is not kept.
  std::string problem;
  std::unique_ptr<ContentDecoder> decoder =
      ContentDecoder::ForEncoding(state.ContentEncoding, problem, services_.min_decoded_limit);
  if (!problem.empty()) {
    capturing_ = false;
    NotKept(problem);
    return;
  }

  content_type_ = state.ContentType;
  Log(" : Save Temporary File.");
  // The answer is relayed whole all the same.
  if (!OpenTempFile(std::move(decoder))) capturing_ = false;
}

bool Capture::OpenTempFile(std::unique_ptr<ContentDecoder> decoder) {
  std::string failure;
  try {
    temp_name_ = CreateTempFile(services_.program_folder, "tx");
    // Made empty just now; truncating it again would make ext4 push the whole capture towards
    // the disk when it is closed, which the capture's decision would then wait for.
    copy_.fd = ::open(temp_name_.c_str(), O_WRONLY | O_CLOEXEC);
    if (copy_.fd < 0) {
      failure = temp_name_ + ": " + SystemErrorText(errno);
      RemoveFile(temp_name_);
    } else if (decoder) {
      decoded_name_ = CreateTempFile(services_.program_folder, "tx");
    }
  } catch (const FileError& error) {
    failure = error.what();
    if (copy_.fd >= 0) {
      ::close(std::exchange(copy_.fd, -1));
      RemoveFile(temp_name_);
    }
  }
  if (failure.empty()) {
    services_.temp_file_failure_shown = false;  // a later failure is news again
    if (decoder) {
      // Decoded off the relay's path, behind the writer; the saved figure counts content.
      digest_ = std::make_unique<GrowingFileDigest>(
          temp_name_, std::move(decoder), decoded_name_, [this](std::size_t n) {
            services_.monitor.Counters.AddSavedBytes(static_cast<std::uint32_t>(n));
            counted_ += n;
          });
    } else {
      digest_ = std::make_unique<GrowingFileDigest>(temp_name_);
    }
    return true;
  }
  // Every matching answer meets the same folder: one report until a file can be made again.
  if (!services_.temp_file_failure_shown.exchange(true)) {
    Log(" : Temporary file error: " + failure + "; answers are relayed without saving.");
    services_.monitor.Messages.ShowStatusMessage(
        "Error: 一時ファイルを作成できません。保存せずに転送します。");
  }
  return false;
}

void Capture::ShowCaptureNotice() {
  if (copy_.fd < 0) return;
  services_.monitor.ShowBalloon(target_name_ + "を一時保存しています...\nURL=" + SchemeMark() +
                                host_path_);
}

void Capture::CapturedPiece(std::size_t length) {
  if (decoded_name_.empty()) {
    services_.monitor.Counters.AddSavedBytes(static_cast<std::uint32_t>(length));
    counted_ += length;
  }
  written_ += length;
  digest_->Grown(written_);
}

void Capture::ShowCaptureStatus() {
  if (copy_.fd < 0) return;
  services_.monitor.Messages.SetStatusText(target_name_ +
                                           "を一時保存しています URL=" + SchemeMark() + host_path_);
}

void Capture::Discard() {
  for (const std::string* name : {&temp_name_, &decoded_name_}) {
    if (!name->empty() && !RemoveFile(*name))
      DebugLog(" : cannot remove " + *name + ": " + SystemErrorText(errno));
  }
}

void Capture::Store(const std::string& digest) {
  int error = 0;
  const auto stored = StoreCapture(temp_name_, target_name_, error);
  if (!stored) {
    Log(" : Cannot move " + temp_name_ + " to " + target_name_ + ": " + SystemErrorText(error) +
        "; not saved.");
    // The folder went or turned read-only while the answer came: what was counted is taken back.
    services_.monitor.Counters.TakeBackSavedBytes(static_cast<std::uint32_t>(counted_.load()));
    services_.monitor.Counters.ShowSavedBytes();
    const auto slash = target_name_.rfind(kPathSeparator);
    FolderRefused(slash == std::string::npos ? "." : target_name_.substr(0, slash), error);
    return;
  }
  // Before the line: an answer from the file must not find it without its type.
  KeepContentType(*stored, content_type_);
  try {
    services_.hash_list.AppendHash(*stored, host_path_, scheme_, digest);
  } catch (const FileError& failure) {
    Log(std::string(" : Stored, but not listed in the hash list: ") + failure.what());
  }
}

void Capture::FinishCapture(const TRelayState& state) {
  if (copy_.fd < 0) return;
  const bool write_failed = ::close(copy_.fd) != 0 || copy_.failed;
  copy_.fd = -1;

  const bool incomplete =
      state.Remaining != 0 || (state.Chunked && !state.LastChunkSeen) || write_failed;
  if (incomplete) {
    digest_.reset();
    if (copy_.failed)
      DebugLog(" : capture file not written whole: " + SystemErrorText(copy_.error));
    Discard();
    return;
  }
  // Digested while it was written; the same digest serves the check and the hash line.
  const std::string digest = digest_->Finish();
  const std::string problem = digest_->Problem();
  digest_.reset();
  if (!decoded_name_.empty()) {
    if (digest.empty()) {
      NotKept(problem);
      Discard();
      return;
    }
    // What is kept is the content; the coded copy has served.
    RemoveFile(temp_name_);
    temp_name_ = std::exchange(decoded_name_, std::string());
  }
  if (services_.hash_list.IsKnownContent(digest, ListedFileSize(temp_name_))) {
    Discard();
    services_.monitor.ShowBalloon(
        "既に保存されているファイルとハッシュが一致したので保存しませんでした");
    return;
  }
  switch (condition_->ExecType) {
    case TExecType::Save:
    case TExecType::View:
      Store(digest);
      break;
    case TExecType::SaveAsk: {
      const auto slash = target_name_.rfind(kPathSeparator);
      const std::string file_name =
          slash == std::string::npos ? target_name_ : target_name_.substr(slash + 1);
      if (services_.question.AskYesNo("Trovan!", "ファイル" + file_name + "を保存しますか？\nURL=" +
                                                     SchemeMark() + host_path_))
        Store(digest);
      else
        Discard();
      break;
    }
    case TExecType::SaveAskFolder:
      services_.folder_queue.Enqueue(SaveRequest{target_name_, temp_name_, condition_});
      break;
  }
}

}  // namespace trovanex
