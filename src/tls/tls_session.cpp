#include "tls/tls_session.h"

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/socket_error.h"
#include "tls/tls_errors.h"

namespace trovanex::tls {
namespace {

// Plaintext taken by one Send: four full records, sent in one piece.
constexpr std::size_t kSendPiece = 64 * 1024;

}  // namespace

TlsSession::TlsSession(SSL_CTX* context, bool accepting, ByteStream& transport, std::string early)
    : ssl_(SSL_new(context)), transport_(transport) {
  if (!ssl_) throw TlsFailure(TakeOpenSslError("no session"));
  wire_.transport = &transport;
  wire_.early = std::move(early);
  BIO* bio = NewWireBio(wire_);
  SSL_set_bio(ssl_.get(), bio, bio);  // the session owns it now
  SSL_set_read_ahead(ssl_.get(), 1);
  if (accepting) {
    SSL_set_accept_state(ssl_.get());
  } else {
    SSL_set_connect_state(ssl_.get());
  }
}

// Runs the handshake to its end, waiting until `deadline`.
void TlsSession::Handshake(Deadline deadline, const std::string& verified_host) {
  for (;;) {
    ERR_clear_error();
    const int result = SSL_do_handshake(ssl_.get());
    const int error = result == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl_.get(), result);
    // Towards the browser the last flight is only its ticket: it waits for the first bytes
    // sent after it, so that both leave in one send and wake the browser once.
    if (result == 1 && SSL_is_server(ssl_.get())) return;
    // Whatever the session wrote goes out, an alert before a failure included.
    const int flush_error = FlushAll();
    if (result == 1) {
      if (flush_error != 0) ThrowSocketFailure(flush_error);
      return;
    }
    if (error != SSL_ERROR_WANT_READ) {
      if (!verified_host.empty()) {
        const long verdict = SSL_get_verify_result(ssl_.get());
        if (verdict != X509_V_OK)
          throw TlsVerifyFailed(verified_host, X509_verify_cert_error_string(verdict));
      }
      if (wire_.error != 0) ThrowSocketFailure(wire_.error);
      if (wire_.ended) throw TlsFailure("connection closed during the handshake");
      throw TlsFailure(TakeOpenSslError("handshake failed"));
    }
    if (flush_error != 0) ThrowSocketFailure(flush_error);
    if (!transport_.WaitReadable(deadline)) throw TlsFailure("handshake timed out");
  }
}

// Several records at once when they are here already: one call per record would mean one
// relay round (and one send) per 16 KiB.
ssize_t TlsSession::Receive(char* into, std::size_t max) {
  std::size_t total = 0;
  while (total < max) {
    const int wanted = static_cast<int>(std::min<std::size_t>(max - total, INT_MAX));
    ERR_clear_error();
    const int n = SSL_read(ssl_.get(), into + total, wanted);
    const int error = n > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl_.get(), n);
    if (!FlushSome()) return -1;  // a key update's answer, an alert
    if (n > 0) {
      total += static_cast<std::size_t>(n);
      if (!SSL_has_pending(ssl_.get())) break;
      continue;
    }
    if (total > 0) break;                          // what failed is met again by the next call
    if (error == SSL_ERROR_ZERO_RETURN) return 0;  // close_notify
    // The stream's end without close_notify ends the stream like a plain socket's end: many
    // origins close so, and the framing of the answer (not TLS) says whether it is whole.
    if (wire_.ended) return 0;
    if (wire_.error != 0) {
      errno = wire_.error;
      return -1;
    }
    if (error != SSL_ERROR_WANT_READ) throw TlsFailure(TakeOpenSslError("broken record"));
    errno = EAGAIN;
    return -1;
  }
  return static_cast<ssize_t>(total);
}

// Takes plaintext only when the records of the last call have left, so that what waits here
// stays bounded by one piece.
ssize_t TlsSession::Send(const char* bytes, std::size_t length) {
  if (!FlushSome()) return -1;
  if (!wire_.out.empty()) {
    errno = EAGAIN;
    return -1;
  }
  if (length == 0) return 0;
  const int piece = static_cast<int>(std::min(length, kSendPiece));
  ERR_clear_error();
  const int n = SSL_write(ssl_.get(), bytes, piece);
  if (n <= 0) throw TlsFailure(TakeOpenSslError("write failed"));
  FlushSome();  // a failure is kept for the next call: these bytes were taken
  return n;
}

bool TlsSession::WaitReadable(Deadline deadline) {
  // Records still to send go first: the peer may wait for them before it answers.
  while (!wire_.out.empty()) {
    if (!FlushSome()) return true;  // the next Receive reports it
    if (!wire_.out.empty() && !transport_.WaitWritable(deadline)) return false;
  }
  return HasPending() || transport_.WaitReadable(deadline);
}

bool TlsSession::WaitWritable(Deadline deadline) {
  return wire_.out.empty() || send_error_ != 0 || transport_.WaitWritable(deadline);
}

// Decrypted bytes, or received bytes not yet looked at; a part of a record that waits for
// the rest of it does not count.
bool TlsSession::HasPending() const {
  return SSL_pending(ssl_.get()) > 0 ||
         (!wire_.would_block && (SSL_has_pending(ssl_.get()) || wire_.EarlyLeft() > 0));
}

void TlsSession::Close() noexcept {
  if (!SSL_is_init_finished(ssl_.get())) return;
  SSL_shutdown(ssl_.get());
  ERR_clear_error();
  // Best effort: a peer that reads no more must not hold the close up.
  if (!wire_.out.empty()) transport_.Send(wire_.out.data(), wire_.out.size());
  wire_.out.clear();
}

// Sends what the session has written, as far as the stream takes it now. False with errno
// once the stream has failed; the failure stays for the calls after.
bool TlsSession::FlushSome() {
  if (send_error_ != 0) {
    errno = send_error_;
    return false;
  }
  std::size_t sent = 0;
  while (sent < wire_.out.size()) {
    const ssize_t n = transport_.Send(wire_.out.data() + sent, wire_.out.size() - sent);
    if (n >= 0) {
      sent += static_cast<std::size_t>(n);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      break;
    } else if (errno != EINTR) {
      send_error_ = errno;
      wire_.out.clear();
      return false;
    }
  }
  wire_.out.erase(0, sent);
  return true;
}

// Sends all that the session has written, waiting as long as it takes; 0 or the errno.
int TlsSession::FlushAll() {
  while (FlushSome() && !wire_.out.empty()) transport_.WaitWritable(Deadline::Never());
  return send_error_;
}

}  // namespace trovanex::tls
