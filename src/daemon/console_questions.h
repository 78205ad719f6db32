// Nobody can be asked without a desktop: a yes/no question is answered by saving, a folder
// choice takes the condition's first folder, and each such answer is reported.
#pragma once

#include "daemon/console_views.h"
#include "engine/save_questions.h"

namespace trovanex {

class ConsoleQuestions : public SaveQuestion, public FolderChooser {
 public:
  explicit ConsoleQuestions(ConsoleViews& views) : views_(views) {}

  bool AskYesNo(const std::string& caption, const std::string& text) override {
    views_.Report("[" + caption + "] " + text + " -> saved (no one to ask)");
    return true;
  }
  FolderChoice Choose(const SaveRequest& request) override {
    views_.Report(request.FileName + " -> " + request.Condition->FirstFolder()->Path +
                  " (the first folder; no one to ask)");
    return FolderChoice{FolderChoice::Kind::Save, std::nullopt, std::nullopt, {}};
  }

 private:
  ConsoleViews& views_;
};

}  // namespace trovanex
