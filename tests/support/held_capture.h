// A capture whose decision waits until the test releases it, so that a test can see what the
// browser gets while a capture is still undecided. The decision gives up after twice the
// support wait, so that a proxy that waits for it fails the test instead of hanging it.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

#include "engine/capture_hooks.h"
#include "support/loopback_origin.h"

namespace trovanex::testing {

class CaptureHold {
 public:
  // A capture whose FinishCapture waits for Release().
  std::unique_ptr<CaptureHooks> NewCapture() { return std::make_unique<Held>(state_); }

  void Release() {
    {
      std::lock_guard lock(state_->lock);
      state_->released = true;
    }
    state_->changed.notify_all();
  }
  // Whether a decision has begun waiting, once it has or `limit` has passed.
  bool WaitUntilDeciding(std::chrono::milliseconds limit = kSupportWait) {
    std::unique_lock lock(state_->lock);
    return state_->changed.wait_for(lock, limit, [this] { return state_->deciding; });
  }
  // Whether a decision has been made (released, or given up).
  bool Decided() {
    std::lock_guard lock(state_->lock);
    return state_->decided;
  }

 private:
  struct State {
    std::mutex lock;  // guards the flags
    std::condition_variable changed;
    bool deciding = false;
    bool released = false;
    bool decided = false;
  };
  class Held : public CaptureHooks {
   public:
    explicit Held(std::shared_ptr<State> state) : state_(std::move(state)) {}
    bool Undecided() const override { return true; }
    void FinishCapture(const TRelayState&) override {
      std::unique_lock lock(state_->lock);
      state_->deciding = true;
      state_->changed.notify_all();
      state_->changed.wait_for(lock, 2 * kSupportWait, [this] { return state_->released; });
      state_->decided = true;
    }

   private:
    const std::shared_ptr<State> state_;
  };

  const std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace trovanex::testing
