// What the fuzz targets share: a check that stops the run with the input kept, a reader of the
// input's leading bytes as choices, and real Connections over in-memory streams, fed and read
// on the target's own thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "platform/connection.h"

namespace trovanex::fuzz {

// A property that does not hold is a finding like a crash: libFuzzer keeps the input.
#define FUZZ_REQUIRE(condition)                                                             \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (false)

// Takes choices from the front of the input; what is left is the data.
class Choices {
 public:
  Choices(const std::uint8_t* data, std::size_t size)
      : rest_(reinterpret_cast<const char*>(data), size) {}
  std::uint8_t Byte() {
    if (rest_.empty()) return 0;
    const auto byte = static_cast<std::uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return byte;
  }
  std::string_view Rest() const { return rest_; }

 private:
  std::string_view rest_;
};

// A folder of this run's own for targets that write files, in memory where the system has
// it (every run writes), removed when the process ends. `name` tells the targets apart.
std::string ScratchFolder(const char* name);

// A connection whose peer sent `input` and then closed.
std::unique_ptr<Connection> ConnectionFedWith(std::string_view input);

// A connection and the far end of its stream, which receives what the connection writes.
struct WatchedConnection {
  WatchedConnection();
  std::unique_ptr<Connection> connection;
  std::unique_ptr<ByteStream> far;
};

// What `far` has received, up to the end or to what has arrived so far.
std::string ReceiveAll(ByteStream& far);

}  // namespace trovanex::fuzz
