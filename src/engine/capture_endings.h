// The ends of requests whose capture is still to be decided, inside one opened tunnel: the
// decision (the digest, decoding a compressed copy, the question, the folder choice) runs here,
// on a thread of its own, while the tunnel reads its next request. Endings run one after the
// other in the order handed over, so a copy decided later sees those decided before it in the
// hash list. The owner's destruction waits for every ending handed over.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <thread>

#include "platform/thread_annotations.h"

namespace trovanex {

class CaptureEndings {
 public:
  CaptureEndings() = default;
  ~CaptureEndings();  // waits for every ending handed over
  CaptureEndings(const CaptureEndings&) = delete;
  CaptureEndings& operator=(const CaptureEndings&) = delete;

  // Runs `ending` after those handed over before it. When no thread can be started it runs
  // here, at once, as it would have without this.
  void HandOver(std::function<void()> ending) EXCLUDES(lock_);

 private:
  // Runs the endings in order; on the worker until closing_, else until none is left.
  void WorkOff(bool until_empty) EXCLUDES(lock_);

  Mutex lock_;
  std::condition_variable changed_;  // an ending came, or closing_ was set
  std::deque<std::function<void()>> endings_ GUARDED_BY(lock_);  // not yet started
  bool closing_ GUARDED_BY(lock_) = false;
  std::thread worker_;  // started with the first ending; joined by the destructor
};

}  // namespace trovanex
