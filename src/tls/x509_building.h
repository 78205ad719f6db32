// Steps shared by the making of the authority's certificate and of the leaves. Internal to
// src/tls. Each returns false when OpenSSL refused the step.
#pragma once

#include <openssl/types.h>

namespace trovanex::tls {

// A random positive 127-bit serial number, as the rules for public certificates ask.
bool SetRandomSerial(X509* certificate);
// Valid from `from_days` days before now (negative: back) to `until_days` days from now.
bool SetValidity(X509* certificate, long from_days, long until_days);
// Moves the certificate's end back to `issuer`'s end when the issuer ends first, so that no
// certificate outlives the one that signed it.
bool EndNoLaterThan(X509* certificate, const X509* issuer);
// Adds an extension given in OpenSSL's configuration syntax ("critical,CA:TRUE"), worked out
// against `issuer` (the certificate itself when self-signed).
bool AddExtension(X509* certificate, X509* issuer, int nid, const char* value);

}  // namespace trovanex::tls
