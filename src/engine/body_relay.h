// The three ways an answer's body is relayed from the origin to the browser: by its length,
// chunk by chunk, or until the origin closes. Each piece goes to the browser, then to the
// capture file when one is open, and is counted for the throughput.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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
  void BeginPass();
  void PieceDone(std::size_t length);
  static void OnPiece(void* self, std::size_t length);
};

// The size of a chunk from its size line: the leading hexadecimal digits, read in 64 bits
// (saturating); 0 for a line that starts with anything else.
std::int64_t ParseChunkSize(std::string_view line);

}  // namespace trovanex
