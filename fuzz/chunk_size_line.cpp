// An origin's chunk-size line: ParseChunkSize against the rule it states, read digit by digit.
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include "engine/body_relay.h"
#include "fuzz_support.h"

namespace {

bool Blank(char c) {
  return c == ' ' || c == '\t';
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const std::optional<std::int64_t> parsed = trovanex::ParseChunkSize(line);

  // Blanks, hexadecimal digits, blanks, then nothing or ";" and an extension.
  std::size_t at = 0;
  while (at < line.size() && Blank(line[at])) ++at;
  const std::size_t digits_at = at;
  while (at < line.size() && HexDigit(line[at]) >= 0) ++at;
  const std::string_view digits = line.substr(digits_at, at - digits_at);
  while (at < line.size() && Blank(line[at])) ++at;
  const bool valid = !digits.empty() && (at == line.size() || line[at] == ';');
  FUZZ_REQUIRE(parsed.has_value() == valid);
  if (!parsed) return 0;
  FUZZ_REQUIRE(*parsed >= 0);
  // The value, saturating at the largest signed 64-bit size: a huge size is never cut short.
  const auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (value > max / 16) {
      value = max;
      break;
    }
    value = value * 16 + static_cast<std::uint64_t>(HexDigit(c));
    if (value > max) {
      value = max;
      break;
    }
  }
  FUZZ_REQUIRE(static_cast<std::uint64_t>(*parsed) == value);
  // Zero means the last chunk only when every digit is zero.
  FUZZ_REQUIRE((*parsed == 0) == (digits.find_first_not_of('0') == std::string_view::npos));
  return 0;
}
