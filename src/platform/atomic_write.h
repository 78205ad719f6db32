// Replaces a file's whole content in one step: the bytes go to a new file beside it, which is
// flushed to disk and renamed over the old one. A crash or a full disk leaves either the old
// file or the new one, never a cut-off one.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace trovanex {

struct ReplaceResult {
  int error = 0;         // 0 on success, otherwise the errno of the failing step
  bool created = false;  // whether the new file could be created and put in place
  bool ok() const { return error == 0; }
};

struct ReplaceOptions {
  // The new file's permissions, from its creation on; unset: those of the file it replaces,
  // or 0644 for a new one.
  std::optional<mode_t> mode;
  // False: a file already there is never replaced, and the write fails with EEXIST.
  bool replace_existing = true;
};

// A replacement written piece by piece, for content too large to hold at once. A symbolic link
// is followed, so the file it points to gets the new content. Until Commit succeeds the old
// file is untouched, and a replacement that is dropped or fails leaves nothing behind.
class FileReplacement {
 public:
  explicit FileReplacement(const std::string& link_or_path, const ReplaceOptions& options = {});
  ~FileReplacement();
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  // False once any step has failed; Result() then says which errno.
  bool Write(std::string_view bytes);
  // Flushes the new file to disk and puts it in place of the old one.
  ReplaceResult Commit();
  ReplaceResult Result() const { return {error_, created_}; }

 private:
  void Discard();

  std::string path_;  // the file replaced, its link resolved
  std::string temp_;
  bool replace_existing_;
  int fd_ = -1;
  int error_ = 0;
  bool created_ = true;  // false when the new file could not be made or put in place
};

// The whole content at once. On failure the old file is unchanged and no new file is left.
ReplaceResult ReplaceFileAtomically(const std::string& path, std::string_view content,
                                    const ReplaceOptions& options = {});

}  // namespace trovanex
