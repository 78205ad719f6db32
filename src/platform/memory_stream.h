// Two connected in-memory ends: bytes sent on one are received on the other, in order, and
// the end of one (it goes, or is shut down) is the orderly end at the other, as with a socket
// pair. Tests and fuzz targets drive a Connection with it on one thread, without sockets: by
// default a direction holds any number of bytes, so that a whole exchange can be written
// before it is read.
#pragma once

#include <cstddef>
#include <limits>
#include <memory>

#include "platform/byte_stream.h"

namespace trovanex {

struct MemoryStreamPair {
  std::unique_ptr<ByteStream> near;
  std::unique_ptr<ByteStream> far;
};

inline constexpr std::size_t kUnboundedMemoryStream = std::numeric_limits<std::size_t>::max();

// `capacity`: the bytes a direction holds before Send takes no more (EAGAIN) until the other
// end receives, like a socket's buffers; a peer that stops reading can be played with it.
MemoryStreamPair MakeMemoryStreamPair(std::size_t capacity = kUnboundedMemoryStream);

}  // namespace trovanex
