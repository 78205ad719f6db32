// The origin side's client contexts, one per extra CA file: the system's trust store and the
// file's certificates, verification always on, HTTP/1.1 by ALPN, and sessions kept in
// OriginSessions. Loading the trust store takes tens of milliseconds, so a context is made once
// and kept; a file changed since its context was made gets a new context at the next
// connection, so that an authority added to it (or taken out) counts without a restart.
// Safe from any thread. Internal to src/tls.
#pragma once

#include <string>

#include "tls/openssl_handles.h"

namespace trovanex::tls {

// A client context and the version of the extra CA file it was loaded from.
struct OriginContext {
  SslContextPtr context;  // a reference of the caller's own
  std::string file_version;
};

// The context for `extra_ca_file` (empty: none) in its present version. Throws TlsFailure when
// the trust store or the file cannot be read.
OriginContext OriginContextFor(const std::string& extra_ca_file);

}  // namespace trovanex::tls
