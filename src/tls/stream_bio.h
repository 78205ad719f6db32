// The adapter between an OpenSSL session and the stream beneath it: the session reads the
// stream through it, after the bytes the connection had received before the session began, and
// what the session writes collects in it, so that a flight of records leaves in one send.
// Internal to src/tls.
#pragma once

#include <openssl/bio.h>

#include <cstddef>
#include <string>

#include "platform/byte_stream.h"

namespace trovanex::tls {

// What the session reads from and writes to. Reads never wait: an empty stream is a retry.
struct Wire {
  ByteStream* transport = nullptr;
  std::string early;  // received before the session began; read first
  std::size_t early_read = 0;
  std::string out;           // records written, not yet sent
  bool would_block = false;  // the last read found the stream empty
  bool ended = false;        // the stream's end was read
  int error = 0;             // errno of a failed read

  std::size_t EarlyLeft() const { return early.size() - early_read; }
};

// A BIO over `wire`, which must outlive it; the session it is given to frees it. Throws
// TlsFailure when none can be made.
BIO* NewWireBio(Wire& wire);

}  // namespace trovanex::tls
