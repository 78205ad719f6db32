// The millisecond tick: a monotonic clock, 32 bits unsigned, wrapping after about 49.7 days.
#pragma once

#include <cstdint>

namespace trovanex {

std::uint32_t GetTickCount32();

}  // namespace trovanex
