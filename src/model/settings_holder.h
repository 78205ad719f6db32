// The current settings object. Connections take a reference when they start and keep reading
// that object until they end, also after the settings dialog has replaced it; the replaced
// object is freed when its last reader lets go.
#pragma once

#include <memory>
#include "model/tx_config.h"
#include "platform/thread_annotations.h"

namespace trovanex {

class SettingsHolder {
 public:
  explicit SettingsHolder(std::shared_ptr<TTxConfig> initial) : current_(std::move(initial)) {}

  std::shared_ptr<TTxConfig> Current() const EXCLUDES(lock_) {
    MutexLock lock(lock_);
    return current_;
  }
  void Replace(std::shared_ptr<TTxConfig> next) EXCLUDES(lock_) {
    MutexLock lock(lock_);
    current_.swap(next);
    // `next` now holds the old object; it is released here unless a connection still reads it.
  }

 private:
  mutable Mutex lock_;
  std::shared_ptr<TTxConfig> current_ GUARDED_BY(lock_);  // the pointer, not the object
};

}  // namespace trovanex
