#include "ui/pacer.h"

namespace trovanex {

bool Pacer::Offer(Clock::time_point now) {
  if (!last_drawn_ || now - *last_drawn_ >= interval_) {
    // Drawn now, what waited goes with it: the caller draws the latest state.
    waiting_ = false;
    last_drawn_ = now;
    return true;
  }
  waiting_ = true;
  return false;
}

std::optional<Pacer::Clock::time_point> Pacer::DueAt() const {
  if (!waiting_) return std::nullopt;
  return *last_drawn_ + interval_;
}

bool Pacer::TakeDue(Clock::time_point now) {
  if (!waiting_ || now < *last_drawn_ + interval_) return false;
  waiting_ = false;
  last_drawn_ = now;
  return true;
}

}  // namespace trovanex
