// Message boxes that are recorded instead of shown.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "model/message_boxes.h"

namespace trovanex::testing {

class RecordingMessageBoxes : public MessageBoxes {
 public:
  struct Shown {
    std::string text;
    std::string caption;
  };
  void ShowMessage(const std::string& text, const std::string& caption) override {
    shown.push_back({text, caption});
  }
  std::vector<Shown> shown;
};

}  // namespace trovanex::testing
