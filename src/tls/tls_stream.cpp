#include "tls/tls_stream.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <string_view>

#include "platform/file_system.h"
#include "platform/socket_error.h"
#include "platform/text.h"
#include "platform/thread_annotations.h"
#include "tls/openssl_handles.h"

namespace trovanex {
namespace {

constexpr unsigned char kAlpn[] = "\x08http/1.1";
constexpr unsigned int kAlpnLength = sizeof kAlpn - 1;
// Plaintext taken by one Send: four full records, sent in one piece.
constexpr std::size_t kSendPiece = 64 * 1024;
// Records read from the socket at once: four full records and their overhead.
constexpr std::size_t kReadAhead = 4 * (16 * 1024 + 512);

// What a TLS session reads from and writes to: the stream beneath, after the bytes the
// connection had already received, and an output buffer that is sent after every call into the
// session, so that a flight of records leaves in one send.
struct Wire {
  ByteStream* transport = nullptr;
  std::string early;  // received before the session began; read first
  std::size_t early_read = 0;
  std::string out;           // records written, not yet sent
  bool would_block = false;  // the last read found the socket empty
  bool ended = false;        // the socket's end was read
  int error = 0;             // errno of a failed read

  std::size_t EarlyLeft() const { return early.size() - early_read; }
};

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

// One TLS session over a stream. Records are read from the stream several at a time
// (read-ahead), and records written are sent after every call into the session, as far as the
// stream takes them without waiting; the rest goes with the next call.
class TlsStream final : public ByteStream {
 public:
  TlsStream(SSL_CTX* context, bool accepting, ByteStream& transport, std::string early)
      : ssl_(SSL_new(context)), transport_(transport) {
    if (!ssl_) throw TlsFailure(tls::TakeOpenSslError("no session"));
    wire_.transport = &transport;
    wire_.early = std::move(early);
    BIO* bio = BIO_new(WireMethod());
    if (!bio) throw TlsFailure("no wire");
    BIO_set_data(bio, &wire_);
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl_.get(), bio, bio);  // the session owns it now
    SSL_set_read_ahead(ssl_.get(), 1);
    if (accepting) {
      SSL_set_accept_state(ssl_.get());
    } else {
      SSL_set_connect_state(ssl_.get());
    }
  }

  SSL* Session() const { return ssl_.get(); }

  // Runs the handshake to its end, waiting until `deadline`.
  void Handshake(Deadline deadline, const std::string& verified_host) {
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
        throw TlsFailure(tls::TakeOpenSslError("handshake failed"));
      }
      if (flush_error != 0) ThrowSocketFailure(flush_error);
      if (!transport_.WaitReadable(deadline)) throw TlsFailure("handshake timed out");
    }
  }

  // Several records at once when they are here already: one call per record would mean one
  // relay round (and one send) per 16 KiB.
  ssize_t Receive(char* into, std::size_t max) override {
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
      if (error != SSL_ERROR_WANT_READ) throw TlsFailure(tls::TakeOpenSslError("broken record"));
      errno = EAGAIN;
      return -1;
    }
    return static_cast<ssize_t>(total);
  }

  // Takes plaintext only when the records of the last call have left, so that what waits here
  // stays bounded by one piece.
  ssize_t Send(const char* bytes, std::size_t length) override {
    if (!FlushSome()) return -1;
    if (!wire_.out.empty()) {
      errno = EAGAIN;
      return -1;
    }
    if (length == 0) return 0;
    const int piece = static_cast<int>(std::min(length, kSendPiece));
    ERR_clear_error();
    const int n = SSL_write(ssl_.get(), bytes, piece);
    if (n <= 0) throw TlsFailure(tls::TakeOpenSslError("write failed"));
    FlushSome();  // a failure is kept for the next call: these bytes were taken
    return n;
  }
  bool Unsent() const override { return !wire_.out.empty() || send_error_ != 0; }

  bool WaitReadable(Deadline deadline) override {
    // Records still to send go first: the peer may wait for them before it answers.
    while (!wire_.out.empty()) {
      if (!FlushSome()) return true;  // the next Receive reports it
      if (!wire_.out.empty() && !transport_.WaitWritable(deadline)) return false;
    }
    return HasPending() || transport_.WaitReadable(deadline);
  }
  bool WaitWritable(Deadline deadline) override {
    return wire_.out.empty() || send_error_ != 0 || transport_.WaitWritable(deadline);
  }

  // Decrypted bytes, or received bytes not yet looked at; a part of a record that waits for
  // the rest of it does not count.
  bool HasPending() const override {
    return SSL_pending(ssl_.get()) > 0 ||
           (!wire_.would_block && (SSL_has_pending(ssl_.get()) || wire_.EarlyLeft() > 0));
  }

  pollfd PollFor(bool read, bool write) override {
    return transport_.PollFor(read, write || !wire_.out.empty());
  }

  void Close() noexcept override {
    if (!SSL_is_init_finished(ssl_.get())) return;
    SSL_shutdown(ssl_.get());
    ERR_clear_error();
    // Best effort: a peer that reads no more must not hold the close up.
    if (!wire_.out.empty()) transport_.Send(wire_.out.data(), wire_.out.size());
    wire_.out.clear();
  }
  void Shutdown() noexcept override { transport_.Shutdown(); }
  int Socket() const override { return transport_.Socket(); }

 private:
  // Sends what the session has written, as far as the stream takes it now. False with errno
  // once the stream has failed; the failure stays for the calls after.
  bool FlushSome() {
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
  int FlushAll() {
    while (FlushSome() && !wire_.out.empty()) transport_.WaitWritable(Deadline::Never());
    return send_error_;
  }

  Wire wire_;  // declared before the session, which reads and writes it until its end
  tls::SslPtr ssl_;
  ByteStream& transport_;
  int send_error_ = 0;  // errno of a failed send; every later send fails with it
};

ByteStream& TransportOf(Connection& connection) {
  if (!connection.Transport()) throw NotConnected();
  return *connection.Transport();
}

// What the browser-side handshake needs in its callbacks.
struct AcceptState {
  LeafCache* leaves;
  const std::string* connect_host;
  std::shared_ptr<const Leaf> leaf;
  std::string failure;
};

// A name without one final dot, for comparing.
std::string_view WithoutFinalDot(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  return name;
}

// Whether the browser's TLS name is the tunnel's host: equal but for ASCII case and one final
// dot on either.
bool SameHost(std::string_view sni, std::string_view connect_host) {
  return EqualsIgnoringCase(WithoutFinalDot(sni), WithoutFinalDot(connect_host));
}

// The browser's name as a log line may show it: bytes outside printable ASCII as \xNN, so that
// no name can break or forge a line.
std::string Printable(std::string_view name) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string shown;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte > 0x20 && byte < 0x7f && byte != '\\') {
      shown += c;
    } else {
      shown += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
    }
  }
  return shown;
}

// Chooses the leaf once the browser's hello has been read: the CONNECT host's, for a hello
// without SNI or with the CONNECT host as its name. Any other name ends the handshake with an
// alert before a certificate is made for it: the tunnel serves its own host only.
int ChooseLeaf(SSL* ssl, int* alert, void*) {
  auto* state = static_cast<AcceptState*>(SSL_get_app_data(ssl));
  const char* sni = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
  try {
    if (sni && *sni && !SameHost(sni, *state->connect_host)) {
      state->failure = "the browser asked for " + Printable(sni) + " inside the tunnel to " +
                       Printable(*state->connect_host);
      *alert = SSL_AD_UNRECOGNIZED_NAME;
      return SSL_TLSEXT_ERR_ALERT_FATAL;
    }
    state->leaf = state->leaves->For(*state->connect_host);
  } catch (const TlsFailure& failure) {
    state->failure = failure.Reason;
    *alert = SSL_AD_UNRECOGNIZED_NAME;
    return SSL_TLSEXT_ERR_ALERT_FATAL;
  } catch (const std::exception& failure) {  // nothing may cross OpenSSL's frames
    state->failure = failure.what();
    *alert = SSL_AD_INTERNAL_ERROR;
    return SSL_TLSEXT_ERR_ALERT_FATAL;
  }
  if (SSL_use_certificate(ssl, state->leaf->Certificate()) != 1 ||
      SSL_use_PrivateKey(ssl, state->leaf->Key()) != 1) {
    state->failure = tls::TakeOpenSslError("leaf not usable");
    *alert = SSL_AD_INTERNAL_ERROR;
    return SSL_TLSEXT_ERR_ALERT_FATAL;
  }
  return SSL_TLSEXT_ERR_OK;
}

// HTTP/1.1 when the browser offers it; a browser that offers no ALPN, or only others, gets
// none and speaks HTTP/1.1 as it would without TLS.
int SelectAlpn(SSL*, const unsigned char** out, unsigned char* out_length,
               const unsigned char* offered, unsigned int offered_length, void*) {
  unsigned char* chosen = nullptr;
  if (SSL_select_next_proto(&chosen, out_length, kAlpn, kAlpnLength, offered, offered_length) !=
      OPENSSL_NPN_NEGOTIATED)
    return SSL_TLSEXT_ERR_NOACK;
  *out = chosen;
  return SSL_TLSEXT_ERR_OK;
}

SSL_CTX* ServerContext() {
  static const tls::SslContextPtr context = [] {
    tls::SslContextPtr made(SSL_CTX_new(TLS_server_method()));
    if (!made) return made;
    SSL_CTX_set_min_proto_version(made.get(), TLS1_2_VERSION);
    SSL_CTX_set_options(made.get(), SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_tlsext_servername_callback(made.get(), ChooseLeaf);
    SSL_CTX_set_alpn_select_cb(made.get(), SelectAlpn, nullptr);
    // One ticket a connection: each resumed connection brings the browser a new one.
    SSL_CTX_set_num_tickets(made.get(), 1);
    SSL_CTX_set_default_read_buffer_len(made.get(), kReadAhead);
    return made;
  }();
  if (!context) throw TlsFailure("no server context");
  return context.get();
}

// Sessions the origins gave, kept per name and port, so that the next connections to the same
// origin resume instead of paying for a full handshake. A TLS 1.3 ticket is best used once, so
// tickets not used yet go first (a browser opens several tunnels to a host at once); when none
// is left the newest session is offered again, since many origins hand out tickets only after
// a full handshake and would otherwise get one after every other connection. Bounded: so many
// per origin, and when too many origins, the oldest goes.
class OriginSessions {
 public:
  static constexpr std::size_t kCapacity = 256;  // origins
  static constexpr std::size_t kPerOrigin = 16;

  static OriginSessions& Instance() {
    static OriginSessions sessions;
    return sessions;
  }
  ~OriginSessions() {
    for (auto& [key, kept] : by_key_) kept.Free();
  }

  // The slot of each client session's key (a heap string, freed with the session).
  static int KeyIndex() {
    static const int index = SSL_get_ex_new_index(
        0, nullptr, nullptr, nullptr, [](void*, void* key, CRYPTO_EX_DATA*, int, long, void*) {
          delete static_cast<std::string*>(key);
        });
    return index;
  }

  // Given a new session by OpenSSL: keeps it under the connection's key; 1 = taken over.
  static int Keep(SSL* ssl, SSL_SESSION* session) {
    const auto* key = static_cast<const std::string*>(SSL_get_ex_data(ssl, KeyIndex()));
    if (!key || !SSL_SESSION_is_resumable(session)) return 0;
    Instance().Put(*key, session);
    return 1;
  }

  void Put(const std::string& key, SSL_SESSION* session) EXCLUDES(lock_) {
    MutexLock lock(lock_);
    auto [at, added] = by_key_.try_emplace(key);
    Kept& kept = at->second;
    kept.unused.push_back(session);
    if (kept.unused.size() > kPerOrigin) {
      SSL_SESSION_free(kept.unused.front());
      kept.unused.pop_front();
    }
    SSL_SESSION_up_ref(session);
    if (kept.newest) SSL_SESSION_free(kept.newest);
    kept.newest = session;
    if (!added) return;
    order_.push_back(key);
    while (order_.size() > kCapacity) {
      auto oldest = by_key_.find(order_.front());
      if (oldest != by_key_.end()) {
        oldest->second.Free();
        by_key_.erase(oldest);
      }
      order_.pop_front();
    }
  }

  // A session to offer for `key`, now the caller's to free; null when there is none.
  SSL_SESSION* Take(const std::string& key) EXCLUDES(lock_) {
    MutexLock lock(lock_);
    auto found = by_key_.find(key);
    if (found == by_key_.end()) return nullptr;
    Kept& kept = found->second;
    if (!kept.unused.empty()) {
      SSL_SESSION* session = kept.unused.back();
      kept.unused.pop_back();
      return session;
    }
    if (kept.newest) SSL_SESSION_up_ref(kept.newest);
    return kept.newest;
  }

 private:
  struct Kept {
    std::deque<SSL_SESSION*> unused;  // oldest first
    SSL_SESSION* newest = nullptr;    // also in `unused` until taken

    void Free() {
      for (SSL_SESSION* session : unused) SSL_SESSION_free(session);
      if (newest) SSL_SESSION_free(newest);
    }
  };

  Mutex lock_;
  std::map<std::string, Kept> by_key_ GUARDED_BY(lock_);
  std::deque<std::string> order_ GUARDED_BY(lock_);
};

// What tells one version of an extra CA file from another: device, inode, size, and the times
// of its last modification and change. A file edited, or replaced by another, gets a new one;
// empty for no file.
std::string FileVersion(const std::string& path) {
  if (path.empty()) return {};
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return "missing";
  return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + ":" +
         std::to_string(status.st_size) + ":" + std::to_string(status.st_mtim.tv_sec) + "." +
         std::to_string(status.st_mtim.tv_nsec) + ":" + std::to_string(status.st_ctim.tv_sec) +
         "." + std::to_string(status.st_ctim.tv_nsec);
}

// A client context and the version of the extra CA file it was loaded from.
struct OriginContext {
  tls::SslContextPtr context;  // a reference of the caller's own
  std::string file_version;
};

// Client contexts, one per extra CA file: loading the system's trust store takes a while. A
// file changed since its context was made gets a new context at the next connection, so that
// an authority added to it (or taken out) counts without a restart.
class ClientContexts {
 public:
  OriginContext For(const std::string& extra_ca_file) EXCLUDES(lock_) {
    std::string version = FileVersion(extra_ca_file);
    MutexLock lock(lock_);
    auto found = contexts_.find(extra_ca_file);
    if (found == contexts_.end() || found->second.file_version != version) {
      Loaded loaded{Load(extra_ca_file), version};
      found = contexts_.insert_or_assign(extra_ca_file, std::move(loaded)).first;
    }
    SSL_CTX* context = found->second.context.get();
    SSL_CTX_up_ref(context);  // connections made from it outlive a replacement
    return {tls::SslContextPtr(context), std::move(version)};
  }

 private:
  struct Loaded {
    tls::SslContextPtr context;
    std::string file_version;
  };

  static tls::SslContextPtr Load(const std::string& extra_ca_file) {
    tls::SslContextPtr made(SSL_CTX_new(TLS_client_method()));
    if (!made) throw TlsFailure(tls::TakeOpenSslError("no client context"));
    SSL_CTX_set_min_proto_version(made.get(), TLS1_2_VERSION);
    SSL_CTX_set_options(made.get(), SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_verify(made.get(), SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_set_default_verify_paths(made.get()) != 1)
      throw TlsFailure("system trust store: " + tls::TakeOpenSslError("not readable"));
    if (!extra_ca_file.empty() &&
        SSL_CTX_load_verify_locations(made.get(), extra_ca_file.c_str(), nullptr) != 1)
      throw TlsFailure(extra_ca_file + ": " + tls::TakeOpenSslError("no certificates"));
    if (SSL_CTX_set_alpn_protos(made.get(), kAlpn, kAlpnLength) != 0)
      throw TlsFailure("ALPN not set");
    SSL_CTX_set_session_cache_mode(made.get(),
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(made.get(), &OriginSessions::Keep);
    SSL_CTX_set_default_read_buffer_len(made.get(), kReadAhead);
    return made;
  }

  Mutex lock_;
  std::map<std::string, Loaded> contexts_ GUARDED_BY(lock_);
};

}  // namespace

std::string AcceptTls(Connection& browser, LeafCache& leaves, const std::string& connect_host,
                      int timeout_ms) {
  auto stream = std::make_unique<TlsStream>(ServerContext(), true, TransportOf(browser),
                                            browser.TakeBuffered());
  AcceptState state{&leaves, &connect_host, nullptr, {}};
  SSL_set_app_data(stream->Session(), &state);
  try {
    stream->Handshake(Deadline::Limit(timeout_ms), {});
  } catch (const TlsFailure&) {
    if (!state.failure.empty()) throw TlsFailure(state.failure);
    throw;
  }
  SSL_set_app_data(stream->Session(), nullptr);
  if (!state.leaf) throw TlsFailure("no certificate chosen");
  std::string name = state.leaf->Host();
  browser.UseStream(std::move(stream));
  return name;
}

ClientContexts& OriginContexts() {
  static ClientContexts contexts;
  return contexts;
}

void PrepareOriginTls(const std::string& extra_ca_file) {
  OriginContexts().For(extra_ca_file);
}

bool ConnectTls(Connection& origin, const std::string& host, const std::string& extra_ca_file,
                int timeout_ms) {
  ByteStream& transport = TransportOf(origin);
  const OriginContext made = OriginContexts().For(extra_ca_file);
  auto stream =
      std::make_unique<TlsStream>(made.context.get(), false, transport, origin.TakeBuffered());
  SSL* ssl = stream->Session();
  std::string name = host;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']')
    name = name.substr(1, name.size() - 2);
  unsigned char address[16];
  const bool is_address = ::inet_pton(AF_INET, name.c_str(), address) == 1 ||
                          ::inet_pton(AF_INET6, name.c_str(), address) == 1;
  X509_VERIFY_PARAM* checks = SSL_get0_param(ssl);
  // Names are looked for in the subject alternative names only: browsers no longer accept a
  // certificate that names its host only in the subject's common name.
  X509_VERIFY_PARAM_set_hostflags(
      checks, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
  // SNI carries names only; an address is checked against the certificate's IP SANs.
  const bool named = is_address ? X509_VERIFY_PARAM_set1_ip_asc(checks, name.c_str()) == 1
                                : SSL_set_tlsext_host_name(ssl, name.c_str()) == 1 &&
                                      X509_VERIFY_PARAM_set1_host(checks, name.c_str(), 0) == 1;
  if (!named) throw TlsFailure("no such host name: " + host);
  // Resumed only for the same name at the same port: what the session's certificate was
  // verified for. The extra CA file, in its present version, is part of the key, since it
  // decided that verification.
  sockaddr_storage peer{};
  socklen_t peer_length = sizeof peer;
  int port = 0;
  if (::getpeername(transport.Socket(), reinterpret_cast<sockaddr*>(&peer), &peer_length) == 0)
    port = ntohs(peer.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(peer).sin6_port
                                            : reinterpret_cast<sockaddr_in&>(peer).sin_port);
  auto key = std::make_unique<std::string>(name + ":" + std::to_string(port) + "\n" +
                                           extra_ca_file + "\n" + made.file_version);
  if (SSL_SESSION* kept = OriginSessions::Instance().Take(*key)) {
    SSL_set_session(ssl, kept);
    SSL_SESSION_free(kept);
  }
  if (SSL_set_ex_data(ssl, OriginSessions::KeyIndex(), key.get()) == 1) key.release();
  stream->Handshake(Deadline::Limit(timeout_ms), name);
  const bool resumed = SSL_session_reused(ssl) == 1;
  origin.UseStream(std::move(stream));
  return resumed;
}

}  // namespace trovanex
