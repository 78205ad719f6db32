#include "tls/tls_stream.h"

#include <arpa/inet.h>

#include "tls/browser_context.h"
#include "tls/origin_contexts.h"
#include "tls/origin_sessions.h"
#include "tls/tls_session.h"

namespace trovanex {
namespace {

ByteStream& TransportOf(Connection& connection) {
  if (!connection.Transport()) throw NotConnected();
  return *connection.Transport();
}

// Sets what the origin's certificate is checked against, and the SNI name for a name (SNI
// carries names only; an address is checked against the certificate's IP SANs). Names are
// looked for in the subject alternative names only: browsers no longer accept a certificate
// that names its host only in the subject's common name.
bool ExpectOrigin(SSL* ssl, const std::string& name) {
  unsigned char address[16];
  const bool is_address = ::inet_pton(AF_INET, name.c_str(), address) == 1 ||
                          ::inet_pton(AF_INET6, name.c_str(), address) == 1;
  X509_VERIFY_PARAM* checks = SSL_get0_param(ssl);
  X509_VERIFY_PARAM_set_hostflags(
      checks, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
  return is_address ? X509_VERIFY_PARAM_set1_ip_asc(checks, name.c_str()) == 1
                    : SSL_set_tlsext_host_name(ssl, name.c_str()) == 1 &&
                          X509_VERIFY_PARAM_set1_host(checks, name.c_str(), 0) == 1;
}

}  // namespace

std::string AcceptTls(Connection& browser, LeafCache& leaves, const std::string& connect_host,
                      int timeout_ms) {
  auto session = std::make_unique<tls::TlsSession>(tls::BrowserContext(), true,
                                                   TransportOf(browser), browser.TakeBuffered());
  tls::BrowserHello hello{leaves, connect_host, nullptr, {}};
  SSL_set_app_data(session->Ssl(), &hello);
  try {
    session->Handshake(Deadline::Limit(timeout_ms), {});
  } catch (const TlsFailure&) {
    if (!hello.failure.empty()) throw TlsFailure(hello.failure);
    throw;
  }
  SSL_set_app_data(session->Ssl(), nullptr);
  if (!hello.leaf) throw TlsFailure("no certificate chosen");
  std::string name = hello.leaf->Host();
  browser.UseStream(std::move(session));
  return name;
}

void PrepareOriginTls(const std::string& extra_ca_file) {
  tls::OriginContextFor(extra_ca_file);
}

bool ConnectTls(Connection& origin, const std::string& host, int port,
                const std::string& extra_ca_file, int timeout_ms) {
  ByteStream& transport = TransportOf(origin);
  const tls::OriginContext made = tls::OriginContextFor(extra_ca_file);
  auto session = std::make_unique<tls::TlsSession>(made.context.get(), false, transport,
                                                   origin.TakeBuffered());
  SSL* ssl = session->Ssl();
  std::string name = host;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']')
    name = name.substr(1, name.size() - 2);
  if (!ExpectOrigin(ssl, name)) throw TlsFailure("no such host name: " + host);
  tls::OriginSessions::Instance().Attach(
      ssl, tls::OriginSessions::Key(name, port, extra_ca_file, made.file_version));
  session->Handshake(Deadline::Limit(timeout_ms), name);
  const bool resumed = SSL_session_reused(ssl) == 1;
  origin.UseStream(std::move(session));
  return resumed;
}

}  // namespace trovanex
