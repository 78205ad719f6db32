// When something shown often may be drawn: the first change at once, then at most once per
// interval, a change that comes sooner waiting until its turn. Only the time is kept here; the
// caller keeps what waits (the latest balloon, the latest figures), so a burst of changes costs
// one drawing per interval and ends on the last change. Plain logic with the clock passed in,
// so it is tested without windows or waiting.
#pragma once

#include <chrono>
#include <optional>

namespace trovanex {

class Pacer {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Pacer(Clock::duration interval) : interval_(interval) {}

  // A change came at `now`: true if it may be drawn now (counted as drawn); otherwise it waits
  // and DueAt() says until when.
  bool Offer(Clock::time_point now);
  // When the waiting change may be drawn; none while nothing waits.
  std::optional<Clock::time_point> DueAt() const;
  // True if a change waits and its time has come (counted as drawn at `now`).
  bool TakeDue(Clock::time_point now);
  // Nothing waits any more (what waited is no longer wanted).
  void Drop() { waiting_ = false; }

 private:
  const Clock::duration interval_;
  std::optional<Clock::time_point> last_drawn_;
  bool waiting_ = false;
};

}  // namespace trovanex
