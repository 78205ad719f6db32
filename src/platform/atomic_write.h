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

// On failure the old file is unchanged and no new file is left behind. A symbolic link is
// followed: the file it points to gets the new content.
ReplaceResult ReplaceFileAtomically(const std::string& path, std::string_view content,
                                    const ReplaceOptions& options = {});

}  // namespace trovanex
