#include "platform/memory_stream.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <string>

#include "platform/thread_annotations.h"

namespace trovanex {
namespace {

// The bytes one end sent and the other has not yet received.
struct Direction {
  std::string bytes;
  std::size_t read_at = 0;
  bool ended = false;        // no more bytes come: after these, the reader sees the end
  bool reader_gone = false;  // nothing sent arrives any more: Send fails with EPIPE

  std::size_t Held() const { return bytes.size() - read_at; }
};

struct Shared {
  explicit Shared(std::size_t room) : capacity(room) {}
  ~Shared() {
    for (const int bell : bells)
      if (bell >= 0) ::close(bell);
  }

  const std::size_t capacity;
  Mutex lock;
  std::condition_variable changed;
  Direction sent_by[2] GUARDED_BY(lock);
  // Per end, made when a poll across streams first asks for it: readable after anything that
  // may make that end ready, emptied by the end's next Receive or Send.
  int bells[2] GUARDED_BY(lock) = {-1, -1};
};

class MemoryEnd final : public ByteStream {
 public:
  MemoryEnd(std::shared_ptr<Shared> shared, int side) : shared_(std::move(shared)), side_(side) {}
  ~MemoryEnd() override {
    MutexLock lock(shared_->lock);
    Out().ended = true;
    In().reader_gone = true;
    Changed();
  }
  MemoryEnd(const MemoryEnd&) = delete;
  MemoryEnd& operator=(const MemoryEnd&) = delete;

  ssize_t Receive(char* into, std::size_t max) override {
    MutexLock lock(shared_->lock);
    Quieten();
    Direction& in = In();
    if (in.Held() == 0 && max > 0) {
      if (in.ended) return 0;
      errno = EAGAIN;
      return -1;
    }
    const std::size_t n = std::min(max, in.Held());
    std::memcpy(into, in.bytes.data() + in.read_at, n);
    in.read_at += n;
    if (in.read_at == in.bytes.size()) {
      in.bytes.clear();
      in.read_at = 0;
    }
    if (n > 0) Changed();
    return static_cast<ssize_t>(n);
  }

  ssize_t Send(const char* bytes, std::size_t length) override {
    MutexLock lock(shared_->lock);
    Quieten();
    Direction& out = Out();
    if (out.reader_gone || out.ended) {
      errno = EPIPE;
      return -1;
    }
    const std::size_t n = std::min(length, shared_->capacity - out.Held());
    if (n == 0 && length > 0) {
      errno = EAGAIN;
      return -1;
    }
    out.bytes.append(bytes, n);
    if (n > 0) Changed();
    return static_cast<ssize_t>(n);
  }

  bool WaitReadable(Deadline deadline) override { return Wait(deadline, true); }
  bool WaitWritable(Deadline deadline) override { return Wait(deadline, false); }
  bool HasPending() const override { return false; }

  pollfd PollFor(bool read, bool write) override {
    if (!read && !write) return {-1, 0, 0};  // a bell nobody answers would wake the poll forever
    MutexLock lock(shared_->lock);
    int& bell = shared_->bells[side_];
    if (bell < 0) bell = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    // Ready now: the poll must not wait for a change that has already happened.
    if ((read && Readable()) || (write && Writable())) Ring(side_);
    return {bell, POLLIN, 0};
  }

  // Like shutdown(2) both ways: each side reads to the end, and sends fail.
  void Shutdown() noexcept override {
    MutexLock lock(shared_->lock);
    Out().ended = true;
    In().ended = true;
    In().reader_gone = true;
    Changed();
  }

 private:
  Direction& In() REQUIRES(shared_->lock) { return shared_->sent_by[1 - side_]; }
  Direction& Out() REQUIRES(shared_->lock) { return shared_->sent_by[side_]; }
  bool Readable() REQUIRES(shared_->lock) { return In().Held() > 0 || In().ended; }
  bool Writable() REQUIRES(shared_->lock) {
    return Out().reader_gone || Out().ended || Out().Held() < shared_->capacity;
  }

  bool Ready(bool for_read) REQUIRES(shared_->lock) { return for_read ? Readable() : Writable(); }
  bool Wait(Deadline deadline, bool for_read) {
    MutexLock lock(shared_->lock);
    while (!Ready(for_read)) {
      if (deadline.IsNever()) {
        lock.Wait(shared_->changed);
      } else if (!lock.WaitUntil(shared_->changed, *deadline.At())) {
        return Ready(for_read);
      }
    }
    return true;
  }

  // Wakes whoever waits on either end.
  void Changed() REQUIRES(shared_->lock) {
    Ring(0);
    Ring(1);
    shared_->changed.notify_all();
  }
  void Ring(int side) REQUIRES(shared_->lock) {
    if (shared_->bells[side] < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(shared_->bells[side], &one, sizeof one);
  }
  void Quieten() REQUIRES(shared_->lock) {
    if (shared_->bells[side_] < 0) return;
    std::uint64_t count;
    [[maybe_unused]] const ssize_t n = ::read(shared_->bells[side_], &count, sizeof count);
  }

  const std::shared_ptr<Shared> shared_;
  const int side_;
};

}  // namespace

MemoryStreamPair MakeMemoryStreamPair(std::size_t capacity) {
  auto shared = std::make_shared<Shared>(std::max<std::size_t>(capacity, 1));
  return {std::make_unique<MemoryEnd>(shared, 0), std::make_unique<MemoryEnd>(shared, 1)};
}

}  // namespace trovanex
