// Work that would hold the window's thread for long (other programs run and waited for, say)
// done on a thread of its own, one piece at a time; its result comes back on the window's
// thread, so the windows keep answering meanwhile.
#pragma once

#include <QObject>
#include <functional>
#include <string>
#include <thread>

namespace trovanex {

class BackgroundWork : public QObject {
 public:
  explicit BackgroundWork(QObject* parent = nullptr) : QObject(parent) {}
  ~BackgroundWork() override;  // waits for the work that runs; its result is not delivered

  bool Busy() const { return busy_; }
  // Runs `work` on a thread of its own and hands its result (or, should it throw, the
  // exception's text) to `done` on this object's thread. False, and nothing runs, while
  // earlier work is not done.
  bool Start(std::function<std::string()> work, std::function<void(const std::string&)> done);

 private:
  bool busy_ = false;  // this object's thread only
  std::thread thread_;
};

}  // namespace trovanex
