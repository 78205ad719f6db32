// A local authority written by a test, as CertificateAuthority::Open finds it in its folder,
// with the end the test asks for: what the program itself never makes (it makes authorities
// for ten years), so that the rules for one that ends soon can be tried.
#pragma once

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <chrono>
#include <string>

#include "support/temp_folder.h"
#include "tls/certificate_authority.h"
#include "tls/openssl_handles.h"
#include "tls/x509_building.h"

namespace trovanex::testing {

// Writes "trovanex-ca.key" (mode 0600) and "trovanex-ca.crt" into `folder`: a P-256 key and a
// self-signed authority's certificate valid from a day back to `left` from now.
inline void WriteAuthority(const TempFolder& folder, std::chrono::seconds left) {
  tls::KeyPtr key(EVP_EC_gen("P-256"));
  tls::X509Ptr certificate(X509_new());
  ASSERT_TRUE(key && certificate);
  X509* made = certificate.get();
  X509_NAME* name = X509_get_subject_name(made);
  ASSERT_TRUE(
      X509_set_version(made, X509_VERSION_3) == 1 && tls::SetRandomSerial(made) &&
      tls::SetValidity(made, -1, 0) &&
      X509_time_adj_ex(X509_getm_notAfter(made), 0, static_cast<long>(left.count()), nullptr) &&
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>("Test CA"), -1, -1,
                                 0) == 1 &&
      X509_set_issuer_name(made, name) == 1 && X509_set_pubkey(made, key.get()) == 1 &&
      tls::AddExtension(made, made, NID_basic_constraints, "critical,CA:TRUE") &&
      tls::AddExtension(made, made, NID_key_usage, "critical,keyCertSign,cRLSign") &&
      tls::AddExtension(made, made, NID_subject_key_identifier, "hash") &&
      X509_sign(made, key.get(), EVP_sha256()) > 0);
  tls::BioPtr key_pem(BIO_new(BIO_s_mem()));
  tls::BioPtr certificate_pem(BIO_new(BIO_s_mem()));
  ASSERT_EQ(
      PEM_write_bio_PrivateKey(key_pem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr), 1);
  ASSERT_EQ(PEM_write_bio_X509(certificate_pem.get(), made), 1);
  const std::string key_path =
      folder.Write(CertificateAuthority::kKeyFileName, tls::BioText(key_pem.get()));
  ASSERT_EQ(::chmod(key_path.c_str(), 0600), 0);
  folder.Write(CertificateAuthority::kCertificateFileName, tls::BioText(certificate_pem.get()));
}

inline std::chrono::seconds Days(long days) {
  return std::chrono::hours(24 * days);
}

}  // namespace trovanex::testing
