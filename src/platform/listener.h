// The listening server: IPv4, all local interfaces, one thread for each open connection and no
// limit on their number. A thread serves one connection from admission to its end, then waits
// for the next accepted connection; one that waits `idle_linger` without one ends and is
// joined at once (it wakes the accept loop), so no stacks are held long after the clients are
// gone. Stopping closes every open connection (their handlers fail at the next read or write
// and run their clean-up) and waits for the threads.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
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

  static constexpr std::chrono::milliseconds kIdleLinger{10000};

  Listener(Hook admit, Hook handle, std::chrono::milliseconds idle_linger = kIdleLinger);
  ~Listener();  // Stop(), then waits for every connection thread, however long it takes
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Binds and starts accepting. Throws SocketFailure naming the system's reason when the port
  // cannot be opened. Port 0 picks a free port (see Port()).
  void Start(int port);
  int Port() const { return port_; }

  // Stops accepting, aborts every open connection and waits up to `wait` for the connection
  // threads. Returns the number of threads still serving a connection after that (they keep
  // what they use: each holds its own connection and the hooks).
  int Stop(std::chrono::milliseconds wait = std::chrono::milliseconds(5000))
      EXCLUDES(sessions_lock_);

  int OpenConnections() const EXCLUDES(sessions_lock_);
  // Connection threads started and not yet joined (serving or waiting for a connection), once
  // that is zero or `wait` has passed.
  int UnjoinedThreads(std::chrono::milliseconds wait = std::chrono::milliseconds(0)) const
      EXCLUDES(sessions_lock_);

 private:
  struct Session;
  struct Worker;
  using WorkerPosition = std::list<Worker>::iterator;

  void AcceptLoop(int listen_fd, int wake_fd) EXCLUDES(sessions_lock_);
  // Gives an accepted session to a waiting thread, or to a new one.
  void Assign(std::shared_ptr<Session> session) REQUIRES(sessions_lock_);
  // A connection thread: serves `session`, then each session it is given, until it has waited
  // idle_linger_ for one or the listener stops.
  void Work(WorkerPosition self, std::shared_ptr<Session> session) EXCLUDES(sessions_lock_);
  void Serve(Session& session) EXCLUDES(sessions_lock_);
  // Ends `served` and waits for the next session; nullptr when the thread should end.
  std::shared_ptr<Session> NextSession(Session& served) EXCLUDES(sessions_lock_);
  // Joins the threads that have ended and frees them.
  void ReapFinished() EXCLUDES(sessions_lock_);

  const Hook admit_;
  const Hook handle_;
  const std::chrono::milliseconds idle_linger_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::thread accept_thread_;

  mutable Mutex sessions_lock_;
  // Signalled when a session ends, when a thread ends and when ended threads have been joined.
  mutable std::condition_variable sessions_changed_;
  // Signalled when a session is queued for a waiting thread, and at Stop.
  std::condition_variable session_queued_;
  // eventfd that wakes the accept loop, for Stop and for each ended thread; -1 while stopped.
  int wake_fd_ GUARDED_BY(sessions_lock_) = -1;
  // Accepted and not yet ended: queued or being served.
  std::list<std::shared_ptr<Session>> sessions_ GUARDED_BY(sessions_lock_);
  std::deque<std::shared_ptr<Session>> queued_ GUARDED_BY(sessions_lock_);
  // Threads that will look at queued_ before they wait or end, less the sessions queued for
  // them: a session is queued only while this is above zero, so each has a thread to take it.
  int idle_ GUARDED_BY(sessions_lock_) = 0;
  std::list<Worker> workers_ GUARDED_BY(sessions_lock_);   // running
  std::list<Worker> finished_ GUARDED_BY(sessions_lock_);  // ended, not yet joined
  int unjoined_ GUARDED_BY(sessions_lock_) = 0;            // started and not yet joined
  std::atomic<bool> stopping_{false};
};

}  // namespace trovanex
