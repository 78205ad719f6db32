#include "ui/background_work.h"

#include <QMetaObject>
#include <exception>

namespace trovanex {

BackgroundWork::~BackgroundWork() {
  // Whatever the thread posted here is dropped with this object.
  if (thread_.joinable()) thread_.join();
}

bool BackgroundWork::Start(std::function<std::string()> work,
                           std::function<void(const std::string&)> done) {
  if (busy_) return false;
  if (thread_.joinable()) thread_.join();  // finished: its result has come back
  busy_ = true;
  thread_ = std::thread([this, work = std::move(work), done = std::move(done)] {
    std::string result;
    try {
      result = work();
    } catch (const std::exception& failure) {
      result = failure.what();  // the text the window shows in the result's place
    }
    QMetaObject::invokeMethod(
        this,
        [this, done, result = std::move(result)] {
          busy_ = false;
          done(result);
        },
        Qt::QueuedConnection);
  });
  return true;
}

}  // namespace trovanex
