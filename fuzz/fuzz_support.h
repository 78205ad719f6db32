// What the fuzz targets share: a check that stops the run with the input kept, a reader of the
// input's leading bytes as choices, and a socket pair that feeds bytes into a real Connection.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

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

// A connected pair of local stream sockets. `ours` is handed to a Connection; `theirs` is the
// far side, driven by Pump.
struct SocketPair {
  SocketPair();
  ~SocketPair();
  int ours = -1;
  int theirs = -1;
};

// On the pump thread: writes `input` into `feed` and then ends that direction, while reading
// everything that arrives on `drain` until it is closed. Join() returns what was read.
class Pump {
 public:
  Pump(int feed, std::string input, int drain);
  ~Pump();
  std::string Join();

  struct State;

 private:
  State* state_;
};

}  // namespace trovanex::fuzz
