// Replaces a file's whole content in one step: the bytes go to a new file beside it, which is
// flushed to disk and renamed over the old one. A crash or a full disk leaves either the old
// file or the new one, never a cut-off one.
#pragma once

#include <string>
#include <string_view>

namespace trovanex {

struct ReplaceResult {
  int error = 0;         // 0 on success, otherwise the errno of the failing step
  bool created = false;  // whether the new file could be created and put in place
  bool ok() const { return error == 0; }
};

// A replacement written piece by piece, for content too large to hold at once. The new file
// takes the permissions of the one it replaces (a new file gets 0644); a symbolic link is
// followed, so the file it points to gets the new content. Until Commit succeeds the old file
// is untouched, and a replacement that is dropped or fails leaves nothing behind.
class FileReplacement {
 public:
  explicit FileReplacement(const std::string& link_or_path);
  ~FileReplacement();
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  // False once any step has failed; Result() then says which errno.
  bool Write(std::string_view bytes);
  // Flushes the new file to disk and renames it over the old one.
  ReplaceResult Commit();
  ReplaceResult Result() const { return {error_, created_}; }

 private:
  void Discard();

  std::string path_;  // the file replaced, its link resolved
  std::string temp_;
  int fd_ = -1;
  int error_ = 0;
  bool created_ = true;  // false when the new file could not be made or put in place
};

// The whole content at once. On failure the old file is unchanged and no new file is left.
ReplaceResult ReplaceFileAtomically(const std::string& path, std::string_view content);

}  // namespace trovanex
