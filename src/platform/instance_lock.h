// Only one copy of an executable runs at a time: a lock named after the executable's full path,
// held for the life of the process and freed by the kernel when it ends, however it ends.
#pragma once

#include <string>

namespace trovanex {

class InstanceLock {
 public:
  // Tries to take the lock named "appTrovanex-" + executable_path.
  explicit InstanceLock(const std::string& executable_path);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // False when another running process holds it.
  bool Held() const { return held_; }

 private:
  int fd_ = -1;
  bool held_ = false;
};

}  // namespace trovanex
