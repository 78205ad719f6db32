// The background colour of an HTTP log line, chosen by the connection's serial number in front
// of its first colon: sixteen colours by the number modulo 16, red for a line without one.
#pragma once

#include <cstdint>
#include <string_view>

namespace trovanex {

struct LogColor {
  std::uint8_t red, green, blue;
  bool operator==(const LogColor&) const = default;
};

inline constexpr LogColor kLogErrorColor{255, 0, 0};

LogColor LogLineColor(std::string_view line);

}  // namespace trovanex
