// How the relay of one answer stands; what the capture decision reads when the relay is over.
#pragma once

#include <cstdint>
#include <string>

namespace trovanex {

struct TRelayState {
  std::int64_t Remaining = -1;  // body bytes still to relay; -1 while the length is unknown
  bool Chunked = false;         // Transfer-Encoding is "chunked"
  bool LastChunkSeen = false;   // the zero-size chunk was read
  bool StatusOk = false;        // the status code is 200
  std::string ContentType;
  std::string ContentEncoding;  // the codings on the body, in the order they were applied
};

}  // namespace trovanex
