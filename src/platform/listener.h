// The listening server: IPv4, all local interfaces, one thread for each open connection and no
// limit on their number. Threads without a connection wait in accept on the listening socket,
// so the system hands each new connection straight to one of them; it serves that connection
// from admission to its end and then waits again. One thread always waits; any other that has
// waited `idle_linger` without a connection ends and is joined at once (it wakes a reaping
// thread), so no stacks are held long after the clients are gone. Stopping closes every open
// connection (their handlers fail at the next read or write and run their clean-up) and waits
// for the threads.
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

  static constexpr std::chrono::milliseconds kIdleLinger{10000};

  Listener(Hook admit, Hook handle, std::chrono::milliseconds idle_linger = kIdleLinger);
  ~Listener();  // Stop(), then waits for every connection thread, however long it takes
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Binds and starts accepting. Throws SocketFailure naming the system's reason when the port
  // cannot be opened. Port 0 picks a free port (see Port()).
  void Start(int port) EXCLUDES(sessions_lock_);
  int Port() const { return port_; }

  // Stops accepting, aborts every open connection and waits up to `wait` for the connection
  // threads. Returns the number of threads still serving a connection after that (they keep
  // what they use: each holds its own connection and the hooks).
  int Stop(std::chrono::milliseconds wait = std::chrono::milliseconds(5000))
      EXCLUDES(sessions_lock_);

  int OpenConnections() const EXCLUDES(sessions_lock_);
  // Connection threads started and not yet joined (serving or waiting for a connection), once
  // there are at most `at_most` or `wait` has passed.
  int UnjoinedThreads(std::chrono::milliseconds wait = std::chrono::milliseconds(0),
                      int at_most = 0) const EXCLUDES(sessions_lock_);

 private:
  struct Session;
  struct Worker;
  using WorkerPosition = std::list<Worker>::iterator;

  // Starts a thread that waits for a connection; false when the system cannot start one.
  bool AddWorker() REQUIRES(sessions_lock_);
  // A connection thread: accepts a connection and serves it, again and again, until the
  // listener stops or it has waited idle_linger_ while another thread waits too.
  void Work(WorkerPosition self) EXCLUDES(sessions_lock_);
  // The next accepted connection, or nullptr when the thread should end.
  std::shared_ptr<Session> Accept() EXCLUDES(sessions_lock_);
  void Serve(Session& session) EXCLUDES(sessions_lock_);
  // Joins ended threads as they end, until Stop.
  void ReapLoop(int wake_fd) EXCLUDES(sessions_lock_);
  // Joins the threads that have ended and frees them.
  void ReapFinished() EXCLUDES(sessions_lock_);

  const Hook admit_;
  const Hook handle_;
  const std::chrono::milliseconds idle_linger_;
  int port_ = 0;
  std::thread reaper_;

  mutable Mutex sessions_lock_;
  // Signalled when a session ends, when a thread ends or leaves accept, when ended threads
  // have been joined, and at Stop.
  mutable std::condition_variable sessions_changed_;
  // Blocking, with idle_linger_ as its receive time-out; -1 while stopped. Closed only once no
  // thread is in accept on it.
  int listen_fd_ GUARDED_BY(sessions_lock_) = -1;
  int accepting_ GUARDED_BY(sessions_lock_) = 0;  // threads in accept on listen_fd_
  // eventfd that wakes the reaping thread, for Stop and for each ended thread; -1 while stopped.
  int wake_fd_ GUARDED_BY(sessions_lock_) = -1;
  std::list<std::shared_ptr<Session>> sessions_ GUARDED_BY(sessions_lock_);  // being served
  int idle_ GUARDED_BY(sessions_lock_) = 0;                // threads without a connection
  std::list<Worker> workers_ GUARDED_BY(sessions_lock_);   // running
  std::list<Worker> finished_ GUARDED_BY(sessions_lock_);  // ended, not yet joined
  int unjoined_ GUARDED_BY(sessions_lock_) = 0;            // started and not yet joined
  std::atomic<bool> stopping_{true};
};

}  // namespace trovanex
