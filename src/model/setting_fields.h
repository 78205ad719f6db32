// The connection settings as the settings dialog shows them: every number as decimal text, the
// buffer size in whole KiB. Reading the texts back gives each number its fallback when the text
// is not a whole number; only the buffer size and the HTTPS host patterns are checked, since the
// relay needs a positive size that fits the settings' 32 bits, and a pattern that is no pattern
// would quietly open nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "model/tx_config.h"

namespace trovanex {

// The largest buffer size in KiB whose byte count still fits a signed 32-bit value.
inline constexpr std::int32_t kMaxBufferSizeKiB = INT32_MAX / 1024;

// A whole number as the settings file holds it (decimal, or hexadecimal after "0x" or "$",
// blanks around it allowed); `fallback` for anything else, the empty text included.
std::int32_t ParseWholeNumber(std::string_view text, std::int32_t fallback);

// Bytes shown as KiB, rounded toward zero (32767 shows as 31).
std::int32_t BufferSizeInKiB(std::int32_t bytes);

// The byte count for a buffer size typed in KiB; nothing when the text is not a number from 1
// to kMaxBufferSizeKiB.
std::optional<std::int32_t> BufferSizeFromKiB(std::string_view text);

struct SettingFields {
  std::string connect_port;
  std::string connect_timeout;
  std::string read_timeout;
  bool allow_outer_connection = false;
  bool use_proxy = false;
  std::string proxy_address;
  std::string proxy_port;
  std::string buffer_size_kib;
  bool https_capture = false;
  std::string https_hosts;  // patterns separated by ";"
  std::string extra_ca_file;
  bool use_as_system_proxy = false;

  static SettingFields FromConfig(const TTxConfig& config);

  // Copies the fields into `config`. When the buffer size or a host pattern is refused, returns
  // the text that says why and leaves `config` as it was.
  std::optional<std::string> ApplyTo(TTxConfig& config) const;
};

}  // namespace trovanex
