#include "tls/x509_building.h"

#include <openssl/rand.h>

#include "tls/openssl_handles.h"

namespace trovanex::tls {

bool SetRandomSerial(X509* certificate) {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
  bytes[0] &= 0x7f;  // positive
  bytes[0] |= 0x40;  // and with its full length, so that no leading zero byte is dropped
  BignumPtr number(BN_bin2bn(bytes, sizeof bytes, nullptr));
  return number && BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(certificate));
}

bool SetValidity(X509* certificate, long from_days, long until_days) {
  return X509_time_adj_ex(X509_getm_notBefore(certificate), static_cast<int>(from_days), 0,
                          nullptr) &&
         X509_time_adj_ex(X509_getm_notAfter(certificate), static_cast<int>(until_days), 0,
                          nullptr);
}

bool EndNoLaterThan(X509* certificate, const X509* issuer) {
  const ASN1_TIME* issuer_end = X509_get0_notAfter(issuer);
  const int order = ASN1_TIME_compare(X509_get0_notAfter(certificate), issuer_end);
  if (order == -2) return false;  // a time that cannot be read
  return order <= 0 || X509_set1_notAfter(certificate, issuer_end) == 1;
}

bool AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

}  // namespace trovanex::tls
