// The current settings object. Connections take a reference when they start and keep reading
// that object until they end, also after the settings dialog has replaced it; the replaced
// object is freed when its last reader lets go.
#pragma once

#include <memory>
#include <mutex>

#include "model/tx_config.h"

namespace trovanex {

class SettingsHolder {
 public:
  explicit SettingsHolder(std::shared_ptr<TTxConfig> initial) : current_(std::move(initial)) {}

  std::shared_ptr<TTxConfig> Current() const {
    std::lock_guard lock(lock_);
    return current_;
  }
  void Replace(std::shared_ptr<TTxConfig> next) {
    std::lock_guard lock(lock_);
    current_.swap(next);
    // `next` now holds the old object; it is released here unless a connection still reads it.
  }

 private:
  mutable std::mutex lock_;  // guards current_ (the pointer, not the object)
  std::shared_ptr<TTxConfig> current_;
};

}  // namespace trovanex
