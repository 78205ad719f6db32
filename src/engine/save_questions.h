// The questions a capture may need answered by the user, as the front ends provide them.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "model/search_condition.h"

namespace trovanex {

// The yes/no question before a capture is stored. Asked on the connection's own thread and
// blocking only that connection; several may be open at once.
class SaveQuestion {
 public:
  virtual ~SaveQuestion() = default;
  virtual bool AskYesNo(const std::string& caption, const std::string& text) = 0;
};

// A finished capture waiting for the user to choose its folder.
struct SaveRequest {
  std::string FileName;  // the derived name, without a folder
  std::string TempName;  // the finished temporary file
  // The matched condition, kept alive (with the settings it belongs to) until the request is
  // dealt with; its folders are the live list, to which a new folder may be added.
  std::shared_ptr<TSearchCondition> Condition;
};

// What the user did with one save request.
struct FolderChoice {
  enum class Kind { Save, DontSave };
  Kind kind = Kind::DontSave;
  // With Save: the index of the selected line (none: nothing was selected)...
  std::optional<std::size_t> selected;
  // ...or a new folder the user made, with its label; it is added to the condition and chosen.
  std::optional<std::string> new_folder;
  std::string new_label;
};

// The folder-choice dialog: shows one request and returns what the user chose. Runs on the
// thread that works off the queue (the desktop's main thread).
class FolderChooser {
 public:
  virtual ~FolderChooser() = default;
  virtual FolderChoice Choose(const SaveRequest& request) = 0;
};

}  // namespace trovanex
