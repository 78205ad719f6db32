#include "tls/leaf_cache.h"

#include <arpa/inet.h>

#include <algorithm>

#include "tls/openssl_handles.h"
#include "tls/tls_errors.h"
#include "tls/x509_building.h"

namespace trovanex {
namespace {

constexpr std::size_t kMaxHostLength = 253;
constexpr std::size_t kMaxCommonName = 64;

// The host as it goes into the certificate: brackets and one final dot gone, lower case, an
// address in its canonical text. Empty when no certificate may carry it.
std::string Normalise(const std::string& host, bool& is_address) {
  std::string name = host;
  if (name.size() > 2 && name.front() == '[' && name.back() == ']')
    name = name.substr(1, name.size() - 2);
  unsigned char address[16];
  char text[INET6_ADDRSTRLEN] = {};
  for (const int family : {AF_INET, AF_INET6}) {
    if (::inet_pton(family, name.c_str(), address) == 1 &&
        ::inet_ntop(family, address, text, sizeof text)) {
      is_address = true;
      return text;
    }
  }
  is_address = false;
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty() || name.size() > kMaxHostLength || name.front() == '.') return {};
  for (char& c : name) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const bool allowed =
        (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
    if (!allowed) return {};
  }
  return name;
}

// The subjectAltName extension: one DNS name or one IP address; critical when the subject is
// empty, as the certificate rules ask.
bool AddAltName(X509* certificate, const std::string& host, bool is_address, bool critical) {
  const tls::GeneralNamesPtr names(sk_GENERAL_NAME_new_null());
  tls::GeneralNamePtr name(GENERAL_NAME_new());
  if (!names || !name) return false;
  if (is_address) {
    ASN1_OCTET_STRING* address = a2i_IPADDRESS(host.c_str());
    if (!address) return false;
    GENERAL_NAME_set0_value(name.get(), GEN_IPADD, address);  // the name owns it now
  } else {
    tls::Ia5StringPtr dns(ASN1_IA5STRING_new());
    if (!dns || ASN1_STRING_set(dns.get(), host.data(), static_cast<int>(host.size())) != 1)
      return false;
    GENERAL_NAME_set0_value(name.get(), GEN_DNS, dns.release());
  }
  if (sk_GENERAL_NAME_push(names.get(), name.get()) <= 0) return false;
  name.release();  // the list owns it now
  return X509_add1_ext_i2d(certificate, NID_subject_alt_name, names.get(), critical ? 1 : 0,
                           X509V3_ADD_DEFAULT) == 1;
}

}  // namespace

Leaf::Leaf(tls::X509Ptr certificate, tls::KeyPtr key, std::string host)
    : certificate_(std::move(certificate)), key_(std::move(key)), host_(std::move(host)) {}

LeafCache::LeafCache(const CertificateAuthority& authority, std::size_t capacity)
    : authority_(authority),
      capacity_(std::max<std::size_t>(capacity, 1)),
      key_(EVP_EC_gen("P-256")) {
  if (!key_) throw TlsFailure("no leaf key: " + tls::TakeOpenSslError("key generation failed"));
}

std::shared_ptr<const Leaf> LeafCache::For(const std::string& host) {
  bool is_address = false;
  const std::string name = Normalise(host, is_address);
  if (name.empty()) throw TlsFailure("no certificate for the name \"" + host + "\"");
  {
    MutexLock lock(lock_);
    const auto found = by_host_.find(name);
    if (found != by_host_.end()) {
      recent_.splice(recent_.begin(), recent_, found->second);
      return *found->second;
    }
  }
  // Signed without the lock, so that hits on other threads do not wait for it. Two threads
  // that miss the same host at once both sign; the first one kept is used by both.
  std::shared_ptr<const Leaf> made = Make(name, is_address);
  MutexLock lock(lock_);
  const auto found = by_host_.find(name);
  if (found != by_host_.end()) {
    recent_.splice(recent_.begin(), recent_, found->second);
    return *found->second;
  }
  recent_.push_front(made);
  by_host_.emplace(name, recent_.begin());
  if (recent_.size() > capacity_) {
    by_host_.erase(recent_.back()->Host());
    recent_.pop_back();
  }
  return made;
}

std::size_t LeafCache::Size() const {
  MutexLock lock(lock_);
  return recent_.size();
}

std::shared_ptr<const Leaf> LeafCache::Make(const std::string& host, bool is_address) const {
  tls::X509Ptr certificate(X509_new());
  X509* issuer = authority_.Certificate();
  bool built = certificate != nullptr;
  if (built) {
    X509* leaf = certificate.get();
    X509_NAME* subject = X509_get_subject_name(leaf);
    // A common name holds at most 64 characters; the SAN alone names longer hosts.
    built = X509_set_version(leaf, X509_VERSION_3) == 1 && tls::SetRandomSerial(leaf) &&
            tls::SetValidity(leaf, -kValidDaysBack, kValidDaysAhead) &&
            tls::EndNoLaterThan(leaf, issuer) &&
            (host.size() > kMaxCommonName ||
             X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                                        reinterpret_cast<const unsigned char*>(host.c_str()), -1,
                                        -1, 0) == 1) &&
            X509_set_issuer_name(leaf, X509_get_subject_name(issuer)) == 1 &&
            X509_set_pubkey(leaf, key_.get()) == 1 &&
            tls::AddExtension(leaf, issuer, NID_basic_constraints, "critical,CA:FALSE") &&
            tls::AddExtension(leaf, issuer, NID_key_usage, "critical,digitalSignature") &&
            tls::AddExtension(leaf, issuer, NID_ext_key_usage, "serverAuth") &&
            tls::AddExtension(leaf, issuer, NID_subject_key_identifier, "hash") &&
            tls::AddExtension(leaf, issuer, NID_authority_key_identifier, "keyid:always") &&
            AddAltName(leaf, host, is_address, host.size() > kMaxCommonName) &&
            X509_sign(leaf, authority_.Key(), EVP_sha256()) > 0;
  }
  if (!built)
    throw TlsFailure("no certificate for " + host + ": " + tls::TakeOpenSslError("signing failed"));
  EVP_PKEY_up_ref(key_.get());
  return std::make_shared<const Leaf>(std::move(certificate), tls::KeyPtr(key_.get()), host);
}

}  // namespace trovanex
