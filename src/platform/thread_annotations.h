// Lock rules the compiler checks: which lock guards a member, which lock a function needs or
// must not hold, and which of two locks is taken first. Clang checks them with
// -Wthread-safety (the order with -Wthread-safety-beta); for other compilers the annotations
// are empty. Only locks of type Mutex, held through MutexLock, take part in the checks.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define TROVANEX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TROVANEX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TROVANEX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TROVANEX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TROVANEX_THREAD_ANNOTATION(guarded_by(x))
#define ACQUIRED_BEFORE(...) TROVANEX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) TROVANEX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) TROVANEX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) TROVANEX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TROVANEX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) TROVANEX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) TROVANEX_THREAD_ANNOTATION(lock_returned(x))

namespace trovanex {

// A std::mutex the checks know about. Not recursive.
class CAPABILITY("mutex") Mutex {
 public:
  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// Holds a Mutex for its scope; it may be released and taken again inside it, and waits on a
// condition variable (the mutex is released while waiting and held again on return).
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~MutexLock() RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Lock() ACQUIRE() { lock_.lock(); }
  void Unlock() RELEASE() { lock_.unlock(); }

  // Callers test their condition in a loop around these: a wake-up may be spurious.
  void Wait(std::condition_variable& condition) { condition.wait(lock_); }
  // False once `deadline` has passed.
  template <typename Clock, typename Duration>
  bool WaitUntil(std::condition_variable& condition,
                 std::chrono::time_point<Clock, Duration> deadline) {
    return condition.wait_until(lock_, deadline) == std::cv_status::no_timeout;
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace trovanex
