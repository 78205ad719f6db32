// Message boxes with a single OK button, as the core asks the front end to show them. The
// desktop shows real boxes, the headless program writes them to standard error, tests record
// them.
#pragma once

#include <string>

namespace trovanex {

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;
};

}  // namespace trovanex
