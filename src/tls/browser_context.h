// The browser side of an opened tunnel: the context its sessions are made from (TLS 1.2 and
// later, one ticket a connection), the leaf chosen by the browser's SNI name, and HTTP/1.1 by
// ALPN. Internal to src/tls.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "tls/leaf_cache.h"

namespace trovanex::tls {

// What a browser-side handshake decides in its callbacks: the leaf for the CONNECT host, or
// why the browser's hello was refused.
struct BrowserHello {
  LeafCache& leaves;
  const std::string& connect_host;
  std::shared_ptr<const Leaf> leaf;
  std::string failure;
};

// The context of every browser-side session. A session made from it is given its
// BrowserHello with SSL_set_app_data before its handshake. Throws TlsFailure.
SSL_CTX* BrowserContext();

}  // namespace trovanex::tls
