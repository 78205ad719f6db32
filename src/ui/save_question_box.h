// The yes/no question before a capture is stored, as message boxes on the desktop. A connection
// thread that asks waits for its own box only; the main thread and every other connection go
// on, and several boxes may be open at once. At exit every open question is answered No.
#pragma once

#include <QObject>
#include <memory>
#include <string>
#include <vector>

#include "engine/save_questions.h"
#include "platform/thread_annotations.h"

class QMessageBox;

namespace trovanex {

class SaveQuestionBoxes : public QObject, public trovanex::SaveQuestion {
  Q_OBJECT
 public:
  // Lives on the main thread; the boxes are shown there.
  explicit SaveQuestionBoxes(QObject* parent = nullptr);
  // Answers No to whoever still waits.
  ~SaveQuestionBoxes() override;

  // Any thread; returns the user's answer, or No once the program is ending.
  bool AskYesNo(const std::string& caption, const std::string& text) override;
  // Main thread, at exit: every open question is answered No and its box closed; later ones are
  // answered No at once.
  void AnswerAllNo();

 private:
  struct Question;

  QMessageBox* MakeBox(const std::shared_ptr<Question>& question);
  void ShowBox(const std::shared_ptr<Question>& question);
  void Answer(const std::shared_ptr<Question>& question, bool yes);

  Mutex lock_;
  std::vector<std::shared_ptr<Question>> open_ GUARDED_BY(lock_);  // asked, not yet answered
  bool ending_ GUARDED_BY(lock_) = false;  // the program is ending: answer No
};

}  // namespace trovanex
