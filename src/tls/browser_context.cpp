#include "tls/browser_context.h"

#include <string_view>

#include "platform/text.h"
#include "tls/openssl_handles.h"
#include "tls/tls_errors.h"
#include "tls/tls_session.h"

namespace trovanex::tls {
namespace {

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
  auto* state = static_cast<BrowserHello*>(SSL_get_app_data(ssl));
  const char* sni = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
  try {
    if (sni && *sni && !SameHost(sni, state->connect_host)) {
      state->failure = "the browser asked for " + Printable(sni) + " inside the tunnel to " +
                       Printable(state->connect_host);
      *alert = SSL_AD_UNRECOGNIZED_NAME;
      return SSL_TLSEXT_ERR_ALERT_FATAL;
    }
    state->leaf = state->leaves.For(state->connect_host);
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
    state->failure = TakeOpenSslError("leaf not usable");
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

}  // namespace

SSL_CTX* BrowserContext() {
  static const SslContextPtr context = [] {
    SslContextPtr made(SSL_CTX_new(TLS_server_method()));
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

}  // namespace trovanex::tls
