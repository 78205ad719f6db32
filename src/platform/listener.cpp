#include "platform/listener.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <utility>

#include "platform/errors.h"
#include "platform/net_errors.h"
#include "platform/socket_error.h"

namespace trovanex {
namespace {

// Larger than the system's minimum so that a burst of browser connections is not refused;
// nothing else depends on it.
constexpr int kListenBacklog = 128;
// How long a thread rests when the system has no room for another connection.
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

}  // namespace

struct Listener::Session {
  Session(int fd, const sockaddr_storage& peer) : connection(fd, peer) {}
  Connection connection;
  // In sessions_ from acceptance until its thread has closed it; used under sessions_lock_.
  std::list<std::shared_ptr<Session>>::iterator position;
};

struct Listener::Worker {
  std::thread thread;  // joined by ReapFinished once the worker is in finished_
};

Listener::Listener(Hook admit, Hook handle, std::chrono::milliseconds idle_linger)
    : admit_(std::move(admit)), handle_(std::move(handle)), idle_linger_(idle_linger) {}

Listener::~Listener() {
  Stop(std::chrono::milliseconds(0));
  {
    MutexLock lock(sessions_lock_);
    while (!workers_.empty()) lock.Wait(sessions_changed_);
  }
  ReapFinished();
}

void Listener::Start(int port) {
  if (reaper_.joinable()) throw InvalidOperation("The listener is already running.");
  const auto fail = [port](int error_number, int fd) {
    if (fd >= 0) ::close(fd);
    throw SocketFailure(
        WsaErrorFromErrno(error_number),
        "Cannot listen on port " + std::to_string(port) + ": " + std::strerror(error_number));
  };
  if (port < 0 || port > 65535) fail(EINVAL, -1);

  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail(errno, -1);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // Accepted connections inherit it: answers leave as soon as they are written.
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  // A thread that waits this long in accept gets EAGAIN, and may end.
  const auto linger_us =
      std::chrono::duration_cast<std::chrono::microseconds>(idle_linger_).count();
  const timeval linger{static_cast<time_t>(linger_us / 1000000),
                       static_cast<suseconds_t>(linger_us % 1000000)};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &linger, sizeof linger);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) fail(errno, fd);
  if (::listen(fd, kListenBacklog) != 0) fail(errno, fd);
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) fail(errno, fd);

  const int wake_fd = ::eventfd(0, EFD_CLOEXEC);
  if (wake_fd < 0) fail(errno, fd);
  port_ = ntohs(address.sin_port);
  bool started;
  {
    MutexLock lock(sessions_lock_);
    listen_fd_ = fd;
    wake_fd_ = wake_fd;
    stopping_ = false;
    // Threads still serving from before a Stop come back to accept here as well.
    started = idle_ > 0 || AddWorker();
  }
  int error_number = EAGAIN;
  if (started) {
    try {
      reaper_ = std::thread(&Listener::ReapLoop, this, wake_fd);
      return;
    } catch (const std::system_error& error) {
      error_number = error.code().value();
    }
  }
  Stop(std::chrono::milliseconds(0));  // closes both descriptors and ends the thread started
  fail(error_number, -1);
}

void Listener::ReapLoop(int wake_fd) {
  while (!stopping_) {
    std::uint64_t count;
    if (::read(wake_fd, &count, sizeof count) < 0 && errno != EINTR) break;
    ReapFinished();
  }
}

bool Listener::AddWorker() {
  const WorkerPosition worker = workers_.emplace(workers_.end());
  try {
    // Started under the lock, so the thread is stored before it can list itself as finished.
    worker->thread = std::thread(&Listener::Work, this, worker);
  } catch (const std::system_error&) {
    workers_.erase(worker);
    return false;
  }
  ++unjoined_;
  ++idle_;
  return true;
}

void Listener::Work(WorkerPosition self) {
  while (const std::shared_ptr<Session> session = Accept()) Serve(*session);
  MutexLock lock(sessions_lock_);
  finished_.splice(finished_.end(), workers_, self);
  sessions_changed_.notify_all();
  // Under the lock, so Stop cannot close the eventfd in between. Once stopped, Stop or the
  // destructor joins this thread instead.
  if (wake_fd_ >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_fd_, &one, sizeof one);
  }
}

std::shared_ptr<Listener::Session> Listener::Accept() {
  MutexLock lock(sessions_lock_);
  // A thread that ends is counted out in the same hold that decides it, so that two threads
  // that have both waited long enough never both end and leave none waiting.
  for (;;) {
    if (stopping_) {
      --idle_;
      return nullptr;
    }
    const int listen_fd = listen_fd_;
    ++accepting_;
    lock.Unlock();
    sockaddr_storage peer{};
    socklen_t peer_length = sizeof peer;
    const int fd =
        ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &peer_length, SOCK_CLOEXEC);
    const int error_number = errno;
    lock.Lock();
    if (--accepting_ == 0) sessions_changed_.notify_all();
    if (fd >= 0) {
      auto session = std::make_shared<Session>(fd, peer);
      session->position = sessions_.insert(sessions_.end(), session);
      --idle_;
      // One thread always waits for the next connection. When none can be started, the next
      // connection waits in the queue until a thread is free again.
      if (idle_ == 0) AddWorker();
      lock.Unlock();
      return session;
    }
    if (stopping_) {
      --idle_;
      return nullptr;
    }
    if (error_number == EAGAIN || error_number == EWOULDBLOCK) {
      if (idle_ > 1) {  // waited idle_linger_, and another thread waits too
        --idle_;
        return nullptr;
      }
    } else if (error_number != EINTR && error_number != ECONNABORTED) {
      // Out of descriptors or memory: the connection stays queued, so rest instead of spinning.
      lock.WaitUntil(sessions_changed_, std::chrono::steady_clock::now() + kAcceptRetry);
    }
  }
}

void Listener::Serve(Session& session) {
  Connection& connection = session.connection;
  try {
    if (admit_) admit_(connection);
    if (connection.IsConnected() && handle_) handle_(connection);
  } catch (...) {
    // A failure that leaves the handler ends the connection quietly.
  }
  {
    // Counted as free before the close below, so that a client that comes again at once takes
    // no new thread. A handler that closed its client earlier (to decide a capture after the
    // last byte) keeps the thread busy until it returns, and the client may then find it busy.
    MutexLock lock(sessions_lock_);
    sessions_.erase(session.position);  // the caller still holds it
    ++idle_;
    sessions_changed_.notify_all();
  }
  connection.Disconnect();
}

void Listener::ReapFinished() {
  std::list<Worker> done;
  {
    MutexLock lock(sessions_lock_);
    done.swap(finished_);
  }
  int joined = 0;
  for (Worker& worker : done) {
    if (worker.thread.joinable()) {
      worker.thread.join();
      ++joined;
    }
  }
  if (joined == 0) return;
  MutexLock lock(sessions_lock_);
  unjoined_ -= joined;
  sessions_changed_.notify_all();
}

int Listener::Stop(std::chrono::milliseconds wait) {
  {
    MutexLock lock(sessions_lock_);
    stopping_ = true;
    // Every accept on the socket, waiting or to come, fails at once.
    if (listen_fd_ >= 0) ::shutdown(listen_fd_, SHUT_RDWR);
    if (wake_fd_ >= 0) {
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t written = ::write(wake_fd_, &one, sizeof one);
    }
    sessions_changed_.notify_all();
  }
  if (reaper_.joinable()) reaper_.join();

  int still_running;
  {
    MutexLock lock(sessions_lock_);
    while (accepting_ > 0) lock.Wait(sessions_changed_);
    if (listen_fd_ >= 0) ::close(std::exchange(listen_fd_, -1));
    if (wake_fd_ >= 0) ::close(std::exchange(wake_fd_, -1));
    for (const auto& session : sessions_) session->connection.Abort();
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while ((!sessions_.empty() || !workers_.empty()) &&
           lock.WaitUntil(sessions_changed_, deadline)) {
    }
    still_running = static_cast<int>(sessions_.size());
  }
  ReapFinished();
  return still_running;
}

int Listener::OpenConnections() const {
  MutexLock lock(sessions_lock_);
  return static_cast<int>(sessions_.size());
}

int Listener::UnjoinedThreads(std::chrono::milliseconds wait, int at_most) const {
  MutexLock lock(sessions_lock_);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (unjoined_ > at_most && lock.WaitUntil(sessions_changed_, deadline)) {
  }
  return unjoined_;
}

}  // namespace trovanex
