#include "platform/listener.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
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
// How long the accept loop rests when the system has no room for another connection.
constexpr int kAcceptRetryMs = 100;

}  // namespace

struct Listener::Session {
  explicit Session(int fd) : connection(fd) {}
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
  if (listen_fd_ >= 0) throw InvalidOperation("The listener is already running.");
  const auto fail = [port](int error_number, int fd) {
    if (fd >= 0) ::close(fd);
    throw SocketFailure(
        WsaErrorFromErrno(error_number),
        "Cannot listen on port " + std::to_string(port) + ": " + std::strerror(error_number));
  };
  if (port < 0 || port > 65535) fail(EINVAL, -1);

  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) fail(errno, -1);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) fail(errno, fd);
  if (::listen(fd, kListenBacklog) != 0) fail(errno, fd);
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) fail(errno, fd);

  const int wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd < 0) fail(errno, fd);
  listen_fd_ = fd;
  {
    // Threads left over from before a Stop may still end and wake the loop through it.
    MutexLock lock(sessions_lock_);
    wake_fd_ = wake_fd;
  }
  port_ = ntohs(address.sin_port);
  stopping_ = false;
  try {
    accept_thread_ = std::thread(&Listener::AcceptLoop, this, fd, wake_fd);
  } catch (const std::system_error& error) {
    ::close(std::exchange(listen_fd_, -1));
    {
      MutexLock lock(sessions_lock_);
      wake_fd_ = -1;
    }
    ::close(wake_fd);
    fail(error.code().value(), -1);
  }
}

void Listener::AcceptLoop(int listen_fd, int wake_fd) {
  const auto rest = [wake_fd] {
    pollfd wake{wake_fd, POLLIN, 0};
    ::poll(&wake, 1, kAcceptRetryMs);
  };
  while (!stopping_) {
    pollfd watched[2] = {{listen_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    if (::poll(watched, 2, -1) < 0) {
      if (errno != EINTR) rest();
      continue;
    }
    if (watched[1].revents != 0) {
      if (stopping_) break;
      // A thread has ended: take the wake-up and join it now, not at the next client.
      std::uint64_t count;
      [[maybe_unused]] const ssize_t taken = ::read(wake_fd, &count, sizeof count);
      ReapFinished();
    }
    if (watched[0].revents == 0) continue;
    const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors or memory: the connection stays queued, so rest instead of spinning.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) rest();
      continue;
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    auto session = std::make_shared<Session>(fd);
    MutexLock lock(sessions_lock_);
    session->position = sessions_.insert(sessions_.end(), session);
    Assign(std::move(session));
  }
}

void Listener::Assign(std::shared_ptr<Session> session) {
  if (idle_ > 0) {
    --idle_;
    queued_.push_back(std::move(session));
    session_queued_.notify_one();
    return;
  }
  const WorkerPosition worker = workers_.emplace(workers_.end());
  try {
    // Started under the lock, so the thread is stored before it can list itself as finished.
    worker->thread = std::thread(&Listener::Work, this, worker, session);
    ++unjoined_;
  } catch (const std::system_error&) {
    workers_.erase(worker);
    sessions_.erase(session->position);  // the connection closes with its session
  }
}

void Listener::Work(WorkerPosition self, std::shared_ptr<Session> session) {
  while (session) {
    Serve(*session);
    session = NextSession(*session);
  }
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

void Listener::Serve(Session& session) {
  Connection& connection = session.connection;
  try {
    if (admit_) admit_(connection);
    if (connection.IsConnected() && handle_) handle_(connection);
  } catch (...) {
    // A failure that leaves the handler ends the connection quietly.
  }
  {
    // Counted as waiting before the client sees the close, so that a client that connects
    // again at once finds this thread.
    MutexLock lock(sessions_lock_);
    ++idle_;
  }
  connection.Disconnect();
}

std::shared_ptr<Listener::Session> Listener::NextSession(Session& served) {
  MutexLock lock(sessions_lock_);
  sessions_.erase(served.position);  // the caller still holds it
  sessions_changed_.notify_all();
  const auto deadline = std::chrono::steady_clock::now() + idle_linger_;
  bool waited_enough = false;
  for (;;) {
    if (!queued_.empty()) {
      std::shared_ptr<Session> next = std::move(queued_.front());
      queued_.pop_front();
      return next;
    }
    if (stopping_ || waited_enough) {
      --idle_;
      return nullptr;
    }
    waited_enough = !lock.WaitUntil(session_queued_, deadline);
  }
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
  stopping_ = true;
  {
    MutexLock lock(sessions_lock_);
    if (wake_fd_ >= 0) {
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t written = ::write(wake_fd_, &one, sizeof one);
    }
    session_queued_.notify_all();  // waiting threads end
  }
  if (accept_thread_.joinable()) accept_thread_.join();
  if (listen_fd_ >= 0) ::close(std::exchange(listen_fd_, -1));

  int still_running;
  {
    MutexLock lock(sessions_lock_);
    if (wake_fd_ >= 0) ::close(std::exchange(wake_fd_, -1));
    // Queued sessions too: their threads take them, and admission and handler fail at once.
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

int Listener::UnjoinedThreads(std::chrono::milliseconds wait) const {
  MutexLock lock(sessions_lock_);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (unjoined_ != 0 && lock.WaitUntil(sessions_changed_, deadline)) {
  }
  return unjoined_;
}

}  // namespace trovanex
