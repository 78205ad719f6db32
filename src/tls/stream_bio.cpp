#include "tls/stream_bio.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tls/tls_errors.h"

namespace trovanex::tls {
namespace {

int WireRead(BIO* bio, char* into, int max) {
  auto* wire = static_cast<Wire*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (max <= 0) return 0;
  if (const std::size_t left = wire->EarlyLeft(); left > 0) {
    const std::size_t n = std::min(left, static_cast<std::size_t>(max));
    std::memcpy(into, wire->early.data() + wire->early_read, n);
    wire->early_read += n;
    if (wire->EarlyLeft() == 0) {
      std::string().swap(wire->early);
      wire->early_read = 0;
    }
    return static_cast<int>(n);
  }
  ssize_t got;
  do {
    got = wire->transport->Receive(into, static_cast<std::size_t>(max));
  } while (got < 0 && errno == EINTR);
  if (got > 0) {
    wire->would_block = false;
    return static_cast<int>(got);
  }
  if (got == 0) {
    wire->ended = true;
    return 0;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK) {
    wire->would_block = true;
    BIO_set_retry_read(bio);
  } else {
    wire->error = errno;
  }
  return -1;
}

int WireWrite(BIO* bio, const char* bytes, int length) {
  BIO_clear_retry_flags(bio);
  if (length <= 0) return 0;
  static_cast<Wire*>(BIO_get_data(bio))->out.append(bytes, static_cast<std::size_t>(length));
  return length;
}

long WireControl(BIO* bio, int command, long, void*) {
  const auto* wire = static_cast<const Wire*>(BIO_get_data(bio));
  switch (command) {
    case BIO_CTRL_FLUSH:
      return 1;  // sent after every call into the session
    case BIO_CTRL_PENDING:
      return static_cast<long>(wire->EarlyLeft());
    case BIO_CTRL_WPENDING:
      return static_cast<long>(wire->out.size());
    case BIO_CTRL_EOF:
      return wire->ended ? 1 : 0;
    default:
      return 0;
  }
}

BIO_METHOD* WireMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "trovanex wire");
    if (!made) return made;
    BIO_meth_set_read(made, WireRead);
    BIO_meth_set_write(made, WireWrite);
    BIO_meth_set_ctrl(made, WireControl);
    return made;
  }();
  if (!method) throw TlsFailure("no wire");
  return method;
}

}  // namespace

BIO* NewWireBio(Wire& wire) {
  BIO* bio = BIO_new(WireMethod());
  if (!bio) throw TlsFailure("no wire");
  BIO_set_data(bio, &wire);
  BIO_set_init(bio, 1);
  return bio;
}

}  // namespace trovanex::tls
