#include "monitor/log_colors.h"

#include <array>
#include <charconv>

#include "platform/text.h"

namespace trovanex {
namespace {

// Indexed by the serial number modulo 16.
constexpr std::array<LogColor, 16> kLogColors{{
    {166, 202, 240},  // sky blue
    {0, 128, 0},      // green
    {0, 255, 255},    // aqua
    {128, 0, 0},      // maroon
    {255, 251, 240},  // cream
    {128, 128, 128},  // grey
    {0, 255, 0},      // lime
    {128, 128, 0},    // olive
    {255, 0, 255},    // fuchsia
    {128, 0, 128},    // purple
    {192, 192, 192},  // silver
    {0, 0, 255},      // blue
    {0, 128, 0},      // green
    {255, 255, 0},    // yellow
    {0, 0, 128},      // navy
    {192, 192, 192},  // silver
}};

// A whole decimal int with an optional sign; anything else (also out of range) is none.
bool ParseInt(std::string_view text, int& value) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return false;  // "+-5" is no number
  }
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && stop == end;
}

}  // namespace

LogColor LogLineColor(std::string_view line) {
  int serial = 0;
  if (!ParseInt(TrimControls(line.substr(0, line.find(':'))), serial) || serial == -1) {
    return kLogErrorColor;
  }
  const int index = (serial % 16 + 16) % 16;  // % keeps the sign; the table wants 0 to 15
  return kLogColors[static_cast<std::size_t>(index)];
}

}  // namespace trovanex
