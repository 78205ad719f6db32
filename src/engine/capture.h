// Capturing one answer: when the request's address matched a condition and the answer is a
// success, its body is written to a temporary file while it is relayed, and when the relay
// is over the file is thrown away (incomplete, or already stored) or stored the way the
// condition asks: at once, after a yes/no question, or into a folder the user picks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/capture_hooks.h"
#include "engine/folder_choice_queue.h"
#include "engine/save_questions.h"
#include "model/content_decoding.h"
#include "model/growing_file_digest.h"
#include "model/hash_list.h"
#include "model/tx_config.h"
#include "monitor/monitor.h"

namespace trovanex {

// What all captures share; outlives every connection.
struct CaptureServices {
  Monitor& monitor;
  THashList& hash_list;
  const std::atomic<bool>& save_available;
  std::string program_folder;  // temporary files are made here
  SaveQuestion& question;
  FolderChoiceQueue& folder_queue;
  // No temporary file could be made and that was reported; cleared when one is made again.
  std::atomic<bool> temp_file_failure_shown{false};
  // What a compressed body may always grow to when decoded (more for a larger body).
  std::uint64_t min_decoded_limit = kMinDecodedLimit;
};

class Capture : public CaptureHooks {
 public:
  // `config` is the settings the connection started with; the matched condition stays valid
  // through it until the capture is decided.
  Capture(CaptureServices& services, std::uint32_t connection_no,
          std::shared_ptr<TTxConfig> config);
  ~Capture() override;

  void Match(const TProxyRequest& request) override;
  void DropMatch() override { capturing_ = false; }
  void StartCapture(const TProxyRequest& request, const TRelayState& state) override;
  void ShowCaptureNotice() override;
  Connection::Copy* CaptureCopy() override { return copy_.fd >= 0 ? &copy_ : nullptr; }
  void CapturedPiece(std::size_t length) override;
  void ShowCaptureStatus() override;
  bool Undecided() const override { return copy_.fd >= 0; }
  void FinishCapture(const TRelayState& state) override;

  const std::string& TargetName() const { return target_name_; }
  const std::string& TempName() const { return temp_name_; }

 private:
  // Makes and opens the temporary file; false, reported once for a run of failures, when that
  // cannot be done.
  // With a decoder, a second temporary file receives the decoded content.
  bool OpenTempFile(std::unique_ptr<ContentDecoder> decoder);
  // Removes the temporary files.
  void Discard();
  // One log line and a status message for a capture given up.
  void NotKept(const std::string& reason);
  // A capture given up because its folder cannot be made or written: a log line, and the status
  // message and a balloon naming the folder and the reason.
  void FolderRefused(const std::string& folder, int error);
  // "http://" or "https://": how the address was fetched, for the user's eyes.
  std::string SchemeMark() const;
  // Moves the file to its target, keeps its content type on it, and lists it in the hash list
  // under its known digest and the scheme it was fetched over.
  void Store(const std::string& digest);
  void Log(const std::string& text);
  void DebugLog(const std::string& text);

  CaptureServices& services_;
  const std::string prefix_;  // the connection's serial number
  const std::shared_ptr<TTxConfig> config_;
  std::shared_ptr<TSearchCondition> condition_;  // shares ownership of config_
  bool capturing_ = false;
  std::string host_path_;
  CopyScheme scheme_ = CopyScheme::kHttp;  // inside an opened tunnel: kHttps
  std::string content_type_;               // the answer's; still true of a copy kept decoded
  std::string target_name_;
  std::string temp_name_;
  std::string decoded_name_;  // the decoded content of a compressed body, while it is made
  Connection::Copy copy_;
  std::uint64_t written_ = 0;              // bytes in the temporary file
  std::atomic<std::uint64_t> counted_{0};  // bytes added to the saved figure; the decoder adds too
  std::unique_ptr<GrowingFileDigest> digest_;  // follows the file while it is written
};

}  // namespace trovanex
