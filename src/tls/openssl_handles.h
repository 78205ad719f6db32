// Owning handles for the OpenSSL objects the TLS subsystem makes or keeps, so that none is
// freed by hand, and the text of OpenSSL's last error.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>

namespace trovanex::tls {

template <typename T, void (*Free)(T*)>
struct Freer {
  void operator()(T* p) const { Free(p); }
};

using BioPtr = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using BignumPtr = std::unique_ptr<BIGNUM, Freer<BIGNUM, BN_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Freer<X509, X509_free>>;
using GeneralNamePtr = std::unique_ptr<GENERAL_NAME, Freer<GENERAL_NAME, GENERAL_NAME_free>>;
using GeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, Freer<GENERAL_NAMES, GENERAL_NAMES_free>>;
using Ia5StringPtr = std::unique_ptr<ASN1_IA5STRING, Freer<ASN1_IA5STRING, ASN1_IA5STRING_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, Freer<X509_EXTENSION, X509_EXTENSION_free>>;
using SslPtr = std::unique_ptr<SSL, Freer<SSL, SSL_free>>;
using SslContextPtr = std::unique_ptr<SSL_CTX, Freer<SSL_CTX, SSL_CTX_free>>;
using SslSessionPtr = std::unique_ptr<SSL_SESSION, Freer<SSL_SESSION, SSL_SESSION_free>>;

// The reason of the oldest error in OpenSSL's queue for this thread ("bad decrypt"), or
// `fallback` when there is none; the queue is emptied either way.
inline std::string TakeOpenSslError(const std::string& fallback) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  const char* reason = ERR_reason_error_string(code);
  return reason ? reason : fallback;
}

// A memory BIO's bytes as a string.
inline std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace trovanex::tls
