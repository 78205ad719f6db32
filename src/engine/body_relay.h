// The three ways an answer's body is relayed from the origin to the browser: by its length,
// chunk by chunk, or until the origin closes. Each piece goes to the browser, then to the
// capture file when one is open, and is counted for the throughput.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/capture_hooks.h"
#include "engine/relay_state.h"
#include "monitor/monitor.h"
#include "platform/connection.h"

namespace trovanex {

struct BodyRelay {
  Connection& upstream;
  Connection& browser;
  TRelayState& state;
  CaptureHooks& capture;
  Monitor& monitor;
  std::size_t piece;   // BufferSize: the most one read moves
  std::string prefix;  // the connection's serial number, starting its log lines

  // Runs the relay loop in the mode the state fixes, until Remaining is 0 or a failure is
  // thrown (the until-close mode always ends by one).
  void Run();

 private:
  void RelayByLength();
  void RelayChunked();
  void RelayUntilClose();
  void RelayTrailer();
  void BeginPass();
  void PieceDone(std::size_t length);
  void OnPiece(std::size_t length);  // a piece of a body framed by its length
};

// The size of a chunk from its size line: hexadecimal digits with blanks around them and an
// optional extension after ";", read in 64 bits (saturating). Nothing for a line that is not
// such a number (an empty line included).
std::optional<std::int64_t> ParseChunkSize(std::string_view line);

// A chunk-size line that is not a number: the body cannot be followed any further.
class MalformedChunkSize : public std::runtime_error {
 public:
  MalformedChunkSize() : std::runtime_error("Malformed chunk-size line") {}
};

}  // namespace trovanex
