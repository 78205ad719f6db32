// Sessions the origins gave, kept per origin, so that the next connections to the same origin
// resume instead of paying for a full handshake. An origin is its real host and port (never
// those of an upstream proxy the connection goes through) and the extra CA file, in its present
// version, that verified it: a session is resumed only where its certificate was verified.
//
// A TLS 1.3 ticket is best used once, so tickets not used yet go first (a browser opens several
// tunnels to a host at once); when none is left the newest session is offered again, since many
// origins hand out tickets only after a full handshake and would otherwise get one after every
// other connection. Bounded: so many per origin, and when too many origins, the oldest goes.
// Safe from any thread. Internal to src/tls.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <deque>
#include <map>
#include <string>

#include "platform/thread_annotations.h"
#include "tls/openssl_handles.h"

namespace trovanex::tls {

class OriginSessions {
 public:
  static constexpr std::size_t kCapacity = 256;  // origins
  static constexpr std::size_t kPerOrigin = 16;

  static OriginSessions& Instance();

  static std::string Key(const std::string& host, int port, const std::string& extra_ca_file,
                         const std::string& file_version);
  // Offers `ssl` a kept session for `key`, and keeps the sessions it will be given under it.
  void Attach(SSL* ssl, const std::string& key);
  // The new-session callback of a client context that keeps sessions here.
  static int Keep(SSL* ssl, SSL_SESSION* session);

  void Put(const std::string& key, SslSessionPtr session) EXCLUDES(lock_);
  // A session to offer for `key`; null when there is none.
  SslSessionPtr Take(const std::string& key) EXCLUDES(lock_);

 private:
  struct Kept {
    std::deque<SslSessionPtr> unused;  // oldest first
    SslSessionPtr newest;              // also in `unused` until taken
  };

  static int KeyIndex();

  Mutex lock_;
  std::map<std::string, Kept> by_key_ GUARDED_BY(lock_);
  std::deque<std::string> order_ GUARDED_BY(lock_);
};

}  // namespace trovanex::tls
