#include "monitor/batched_line_writer.h"

#include <signal.h>

namespace trovanex {

BatchedLineWriter::BatchedLineWriter(std::FILE* stream, std::chrono::milliseconds delay)
    : stream_(stream), delay_(delay) {
  // The writer takes no signals: they stay with the threads that wait for them.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  writer_ = std::thread(&BatchedLineWriter::Run, this);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

BatchedLineWriter::~BatchedLineWriter() {
  {
    MutexLock hold(lock_);
    stopping_ = true;
    lines_added_.notify_one();
  }
  writer_.join();  // it writes what is held before it ends
}

void BatchedLineWriter::Add(const std::vector<std::string>& lines) {
  MutexLock hold(lock_);
  const bool was_empty = held_.empty();
  for (const std::string& line : lines) held_.append(line).push_back('\n');
  if (held_.size() > kMaxHeld)
    WriteHeld();
  else if (was_empty)
    lines_added_.notify_one();
}

void BatchedLineWriter::Flush() {
  MutexLock hold(lock_);
  WriteHeld();
}

void BatchedLineWriter::Run() {
  MutexLock hold(lock_);
  for (;;) {
    while (held_.empty() && !stopping_) hold.Wait(lines_added_);
    // What else comes within the delay goes out in the same write.
    const auto deadline = std::chrono::steady_clock::now() + delay_;
    while (!stopping_ && hold.WaitUntil(lines_added_, deadline)) {
    }
    WriteHeld();
    if (stopping_) return;
  }
}

void BatchedLineWriter::WriteHeld() {
  if (held_.empty()) return;
  // A stream that fails loses these lines, as it would have lost them one by one.
  std::fwrite(held_.data(), 1, held_.size(), stream_);
  std::fflush(stream_);
  held_.clear();
}

}  // namespace trovanex
