// The endings an opened tunnel hands over run in order, and its end waits for every one: an
// ending still running after the tunnel is gone would use a capture and a context that are not
// there any more.
#include "engine/capture_endings.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <vector>

namespace trovanex {
namespace {

TEST(CaptureEndings, RunInTheOrderHandedOverAndTheOwnerWaitsForEveryOne) {
  std::mutex lock;  // guards ran
  std::vector<int> ran;
  std::promise<void> opened;
  {
    CaptureEndings endings;
    std::shared_future<void> gate = opened.get_future().share();
    for (int n = 1; n <= 3; ++n) {
      endings.HandOver([&, gate, n] {
        gate.wait();
        std::lock_guard hold(lock);
        ran.push_back(n);
      });
    }
    opened.set_value();  // none has run yet; the owner goes now
  }
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

}  // namespace
}  // namespace trovanex
