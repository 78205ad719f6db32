// One TLS session over a stream, as a stream itself: what is read and written through it is
// plaintext. Records are read from the stream beneath several at a time (read-ahead), and
// records written are sent after every call into the session, as far as the stream takes them
// without waiting; the rest goes with the next call. Internal to src/tls.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <string>

#include "platform/byte_stream.h"
#include "tls/openssl_handles.h"
#include "tls/stream_bio.h"

namespace trovanex::tls {

// HTTP/1.1, the one protocol both sides offer by ALPN.
inline constexpr unsigned char kAlpn[] = "\x08http/1.1";
inline constexpr unsigned int kAlpnLength = sizeof kAlpn - 1;
// Records read from the stream at once: four full records and their overhead.
inline constexpr std::size_t kReadAhead = 4 * (16 * 1024 + 512);

class TlsSession final : public ByteStream {
 public:
  // A session from `context` over `transport`, which must outlive it; `early` holds the bytes
  // received before it began, which come first. Throws TlsFailure.
  TlsSession(SSL_CTX* context, bool accepting, ByteStream& transport, std::string early);

  SSL* Ssl() const { return ssl_.get(); }

  // Runs the handshake to its end, waiting until `deadline`. With `verified_host`, a
  // certificate that did not verify throws TlsVerifyFailed for it; other failures throw
  // TlsFailure or SocketFailure.
  void Handshake(Deadline deadline, const std::string& verified_host);

  ssize_t Receive(char* into, std::size_t max) override;
  ssize_t Send(const char* bytes, std::size_t length) override;
  bool Unsent() const override { return !wire_.out.empty() || send_error_ != 0; }
  bool WaitReadable(Deadline deadline) override;
  bool WaitWritable(Deadline deadline) override;
  bool HasPending() const override;
  pollfd PollFor(bool read, bool write) override {
    return transport_.PollFor(read, write || !wire_.out.empty());
  }
  void Close() noexcept override;
  void Shutdown() noexcept override { transport_.Shutdown(); }
  int Socket() const override { return transport_.Socket(); }

 private:
  bool FlushSome();
  int FlushAll();

  Wire wire_;  // declared before the session, which reads and writes it until its end
  SslPtr ssl_;
  ByteStream& transport_;
  int send_error_ = 0;  // errno of a failed send; every later send fails with it
};

}  // namespace trovanex::tls
