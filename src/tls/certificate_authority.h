// The local certificate authority that signs the leaf certificates of opened HTTPS tunnels.
// Its key and certificate live in two files of one folder (the program folder): made there on
// first need, loaded when both exist, and never replaced: a damaged, unreadable, mismatched or
// lone file, an expired certificate, and a key file that another user owns or that others may
// read, is an error that names the file and the reason (and the fix), and nothing is written
// or changed.
#pragma once

#include <memory>
#include <string>

#include "tls/openssl_handles.h"

namespace trovanex {

class CertificateAuthority {
 public:
  static constexpr char kKeyFileName[] = "trovanex-ca.key";          // PEM, mode 0600
  static constexpr char kCertificateFileName[] = "trovanex-ca.crt";  // PEM

  // An authority that ends within so many days is used, with a notice.
  static constexpr int kNoticeDays = 30;

  // The outcome of Open: an authority, or the text of why there is none.
  struct Opened {
    std::unique_ptr<CertificateAuthority> authority;
    bool created = false;  // the two files were made just now
    std::string error;     // e.g. "/x/trovanex-ca.key: not a PEM private key"; empty on success
    // With an authority that ends within kNoticeDays: the certificate file, its end and what to
    // do, for the user to read. Empty otherwise.
    std::string warning;
  };
  // Loads the authority from `folder` (with or without a trailing separator), or makes it there
  // when neither file exists: an ECDSA P-256 key and a self-signed certificate valid for ten
  // years, named after this machine.
  static Opened Open(const std::string& folder);

  ~CertificateAuthority();
  CertificateAuthority(const CertificateAuthority&) = delete;
  CertificateAuthority& operator=(const CertificateAuthority&) = delete;

  // The certificate as PEM text, as a browser fetches it to trust it.
  const std::string& CertificatePem() const { return certificate_pem_; }
  // Writes the certificate to a file the user picked (replacing it in one step); returns the
  // error text, empty on success.
  std::string SaveCertificate(const std::string& path) const;

  // For signing leaves; owned by the authority.
  X509* Certificate() const { return certificate_.get(); }
  EVP_PKEY* Key() const { return key_.get(); }

 private:
  CertificateAuthority(tls::X509Ptr certificate, tls::KeyPtr key, std::string certificate_pem);
  // The two halves of Open: a new authority where neither file exists, or the existing one.
  static Opened Make(const std::string& key_path, const std::string& certificate_path);
  static Opened Load(const std::string& key_path, const std::string& certificate_path);

  tls::X509Ptr certificate_;
  tls::KeyPtr key_;
  std::string certificate_pem_;
};

}  // namespace trovanex
