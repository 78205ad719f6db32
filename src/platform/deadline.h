// A point in time a wait may not pass, or none. Every wait of the stream and connection layers
// takes one, so that a limit given for a whole step (a handshake, a connect with several
// addresses) is kept however many waits the step needs.
#pragma once

#include <algorithm>
#include <chrono>
#include <climits>
#include <optional>

namespace trovanex {

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  static Deadline Never() { return Deadline(); }
  // `ms` from now; a negative count is no limit, 0 is "only what is there already".
  static Deadline After(int ms) {
    if (ms < 0) return Never();
    return Deadline(Clock::now() + std::chrono::milliseconds(ms));
  }
  // For time-outs from the settings, where 0 (or less) means no limit.
  static Deadline Limit(int timeout_ms) { return timeout_ms > 0 ? After(timeout_ms) : Never(); }

  bool IsNever() const { return !at_; }
  bool Passed() const { return at_ && Clock::now() >= *at_; }
  // Milliseconds left, rounded up, for poll(): -1 for no limit, 0 once passed.
  int MsLeft() const {
    if (!at_) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*at_ - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
  }
  std::optional<Clock::time_point> At() const { return at_; }

 private:
  Deadline() = default;
  explicit Deadline(Clock::time_point at) : at_(at) {}

  std::optional<Clock::time_point> at_;
};

}  // namespace trovanex
