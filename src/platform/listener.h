// The listening server: IPv4, all local interfaces, a thread for every accepted connection and
// no limit on their number. A connection's thread is joined as soon as it ends (it wakes the
// accept loop), so ended threads hold no stacks while no client comes. Stopping closes every
// open connection (their handlers fail at the next read or write and run their clean-up) and
// waits for the threads.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>

#include "platform/connection.h"
#include "platform/thread_annotations.h"

namespace trovanex {

class Listener {
 public:
  // Runs on the connection's own thread: first `admit` (it may Disconnect the connection),
  // then, if still connected, `handle` once. Exceptions leaving them are dropped.
  using Hook = std::function<void(Connection&)>;

  Listener(Hook admit, Hook handle);
  ~Listener();  // Stop(), then waits for every connection thread, however long it takes
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Binds and starts accepting. Throws SocketFailure naming the system's reason when the port
  // cannot be opened. Port 0 picks a free port (see Port()).
  void Start(int port);
  int Port() const { return port_; }

  // Stops accepting, aborts every open connection and waits up to `wait` for the connection
  // threads. Returns the number of threads still running after that (they keep what they use:
  // each thread holds its own connection and the hooks).
  int Stop(std::chrono::milliseconds wait = std::chrono::milliseconds(5000))
      EXCLUDES(sessions_lock_);

  int OpenConnections() const EXCLUDES(sessions_lock_);
  // Connection threads started and not yet joined, once that is zero or `wait` has passed.
  int UnjoinedThreads(std::chrono::milliseconds wait = std::chrono::milliseconds(0)) const
      EXCLUDES(sessions_lock_);

 private:
  struct Session;
  void AcceptLoop(int listen_fd, int wake_fd) EXCLUDES(sessions_lock_);
  void Serve(std::shared_ptr<Session> session) EXCLUDES(sessions_lock_);
  // Joins the threads of sessions that have ended and frees them.
  void ReapFinished() EXCLUDES(sessions_lock_);

  const Hook admit_;
  const Hook handle_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::thread accept_thread_;

  mutable Mutex sessions_lock_;
  // Signalled when a session ends and when ended threads have been joined.
  mutable std::condition_variable sessions_changed_;
  // eventfd that wakes the accept loop, for Stop and for each ended session; -1 while stopped.
  int wake_fd_ GUARDED_BY(sessions_lock_) = -1;
  std::list<std::shared_ptr<Session>> sessions_ GUARDED_BY(sessions_lock_);  // still serving
  // Threads done serving, not yet joined.
  std::list<std::shared_ptr<Session>> finished_ GUARDED_BY(sessions_lock_);
  int unjoined_ GUARDED_BY(sessions_lock_) = 0;  // threads started and not yet joined
  std::atomic<bool> stopping_{false};
};

}  // namespace trovanex
