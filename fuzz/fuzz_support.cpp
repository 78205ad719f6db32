#include "fuzz_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

namespace trovanex::fuzz {

std::string ScratchFolder(const char* name) {
  const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = std::string(base) + "/trovanex-fuzz-" + name + "-XXXXXX";
  FUZZ_REQUIRE(::mkdtemp(pattern.data()) != nullptr);
  static std::vector<std::string> made;
  if (made.empty())
    std::atexit([] {
      for (const std::string& folder : made) std::filesystem::remove_all(folder);
    });
  made.push_back(pattern);
  return pattern;
}

SocketPair::SocketPair() {
  int fds[2];
  FUZZ_REQUIRE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
  ours = fds[0];
  theirs = fds[1];
}

SocketPair::~SocketPair() {
  if (theirs >= 0) ::close(theirs);
  // `ours` belongs to the Connection it was handed to.
}

struct Pump::State {
  int feed;
  std::string input;
  int drain;
  std::string drained;
  bool done;  // under the pump thread's lock

  // Both directions at once: the side under test may block writing before it reads on.
  void Run() {
    std::size_t written = 0;
    bool feeding = feed >= 0;
    if (feeding) ::fcntl(feed, F_SETFL, ::fcntl(feed, F_GETFL) | O_NONBLOCK);
    if (feeding && input.empty()) {
      ::shutdown(feed, SHUT_WR);
      feeding = false;
    }
    bool draining = drain >= 0;
    char buffer[65536];
    while (feeding || draining) {
      pollfd fds[2] = {{feeding ? feed : -1, POLLOUT, 0}, {draining ? drain : -1, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        FUZZ_REQUIRE(errno == EINTR);
        continue;
      }
      if (feeding && fds[0].revents) {
        const ssize_t n =
            ::send(feed, input.data() + written, input.size() - written, MSG_NOSIGNAL);
        if (n > 0) written += static_cast<std::size_t>(n);
        // The reader may stop early and close: what it did not take is simply not fed.
        if (written == input.size() || (n < 0 && errno != EAGAIN && errno != EINTR)) {
          ::shutdown(feed, SHUT_WR);
          feeding = false;
        }
      }
      if (draining && fds[1].revents) {
        const ssize_t n = ::recv(drain, buffer, sizeof buffer, 0);
        if (n > 0)
          drained.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
          draining = false;
      }
    }
  }
};

// One thread for every pump of the run: a thread made and ended for each input would cost
// more than the input's own work.
class PumpThread {
 public:
  static PumpThread& Instance() {
    static PumpThread* thread = new PumpThread;  // lives as long as the process
    return *thread;
  }
  void Post(Pump::State* state) {
    std::lock_guard hold(lock_);
    queue_.push_back(state);
    wake_.notify_all();
  }
  void WaitFor(Pump::State* state) {
    std::unique_lock hold(lock_);
    wake_.wait(hold, [&] { return state->done; });
  }

 private:
  PumpThread() : thread_([this] { Loop(); }) {}
  void Loop() {
    for (;;) {
      Pump::State* state;
      {
        std::unique_lock hold(lock_);
        wake_.wait(hold, [&] { return !queue_.empty(); });
        state = queue_.front();
        queue_.pop_front();
      }
      state->Run();
      std::lock_guard hold(lock_);
      state->done = true;
      wake_.notify_all();
    }
  }
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<Pump::State*> queue_;
  std::thread thread_;
};

Pump::Pump(int feed, std::string input, int drain)
    : state_(new State{feed, std::move(input), drain, {}, false}) {
  PumpThread::Instance().Post(state_);
}

Pump::~Pump() {
  PumpThread::Instance().WaitFor(state_);
  delete state_;
}

std::string Pump::Join() {
  PumpThread::Instance().WaitFor(state_);
  return std::move(state_->drained);
}

}  // namespace trovanex::fuzz
