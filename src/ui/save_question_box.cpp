#include "ui/save_question_box.h"

#include <QMessageBox>
#include <QPointer>
#include <QThread>
#include <algorithm>
#include <condition_variable>

namespace trovanex {

// One question. The asking thread waits on it alone, so it never touches the boxes object
// again once it has been answered.
struct SaveQuestionBoxes::Question {
  QString caption;
  QString text;
  QPointer<QMessageBox> box;  // main thread only

  Mutex lock;
  bool answered GUARDED_BY(lock) = false;
  bool yes GUARDED_BY(lock) = false;
  std::condition_variable done;
};

SaveQuestionBoxes::SaveQuestionBoxes(QObject* parent) : QObject(parent) {}

SaveQuestionBoxes::~SaveQuestionBoxes() {
  AnswerAllNo();
}

bool SaveQuestionBoxes::AskYesNo(const std::string& caption, const std::string& text) {
  auto question = std::make_shared<Question>();
  question->caption = QString::fromStdString(caption);
  question->text = QString::fromStdString(text);
  {
    MutexLock lock(lock_);
    if (ending_) return false;
    open_.push_back(question);
  }

  if (QThread::currentThread() == thread()) {
    // Nobody else could show the box: run it here, modal.
    QMessageBox* box = MakeBox(question);
    box->exec();
    delete box;
    Answer(question, false);  // no effect when the user answered; the loop may have been ended
  } else {
    // Queued calls to this object are dropped when it is destroyed; its destructor has then
    // answered the question.
    QMetaObject::invokeMethod(
        this, [this, question] { ShowBox(question); }, Qt::QueuedConnection);
  }
  MutexLock lock(question->lock);
  while (!question->answered) lock.Wait(question->done);
  return question->yes;
}

QMessageBox* SaveQuestionBoxes::MakeBox(const std::shared_ptr<Question>& question) {
  auto* box = new QMessageBox(QMessageBox::NoIcon, question->caption, question->text,
                              QMessageBox::Yes | QMessageBox::No);
  // Setting the modality gives a message box its dialog flags anew: it comes first.
  box->setWindowModality(Qt::NonModal);
  box->setWindowFlag(Qt::WindowStaysOnTopHint);
  // The text holds an address from the network: shown as it is, never as markup.
  box->setTextFormat(Qt::PlainText);
  box->setDefaultButton(QMessageBox::Yes);
  box->setEscapeButton(QMessageBox::No);
  connect(box, &QMessageBox::finished, this, [this, question, box] {
    Answer(question, box->standardButton(box->clickedButton()) == QMessageBox::Yes);
  });
  question->box = box;
  return box;
}

void SaveQuestionBoxes::ShowBox(const std::shared_ptr<Question>& question) {
  {
    MutexLock lock(question->lock);
    if (question->answered) return;  // the program began to end before the box could show
  }
  QMessageBox* box = MakeBox(question);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->show();
  box->raise();
  box->activateWindow();
}

void SaveQuestionBoxes::Answer(const std::shared_ptr<Question>& question, bool yes) {
  {
    MutexLock lock(lock_);
    open_.erase(std::remove(open_.begin(), open_.end(), question), open_.end());
  }
  {
    MutexLock lock(question->lock);
    if (question->answered) return;
    question->answered = true;
    question->yes = yes;
  }
  question->done.notify_all();
}

void SaveQuestionBoxes::AnswerAllNo() {
  std::vector<std::shared_ptr<Question>> open;
  {
    MutexLock lock(lock_);
    ending_ = true;
    open.swap(open_);
  }
  for (const auto& question : open) {
    Answer(question, false);
    if (question->box) question->box->done(QMessageBox::No);
  }
}

}  // namespace trovanex
