// The leaf certificates an opened tunnel shows the browser: one per host, signed by the local
// authority, made on first use and kept in a bounded cache (least recently used goes first),
// so that only the first connection to a host pays for a certificate. All leaves share one
// P-256 key made with the cache: a signature is all a new host costs. Safe from any thread.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

#include "platform/thread_annotations.h"
#include "tls/certificate_authority.h"
#include "tls/openssl_handles.h"

namespace trovanex {

// A leaf certificate with its key; immutable once made.
class Leaf {
 public:
  Leaf(tls::X509Ptr certificate, tls::KeyPtr key, std::string host);

  X509* Certificate() const { return certificate_.get(); }
  EVP_PKEY* Key() const { return key_.get(); }
  // The name the leaf is for, normalised: lower case, an IPv6 address without brackets.
  const std::string& Host() const { return host_; }

 private:
  tls::X509Ptr certificate_;
  tls::KeyPtr key_;
  std::string host_;
};

class LeafCache {
 public:
  static constexpr std::size_t kDefaultCapacity = 256;
  // Leaves valid from a day back (clocks differ) to a year ahead: under the 398 days browsers
  // accept. A leaf never outlives the authority: it ends when the authority ends, if sooner.
  static constexpr long kValidDaysBack = 1;
  static constexpr long kValidDaysAhead = 365;

  // `authority` must outlive the cache. Throws TlsFailure when no key can be made.
  explicit LeafCache(const CertificateAuthority& authority,
                     std::size_t capacity = kDefaultCapacity);
  LeafCache(const LeafCache&) = delete;
  LeafCache& operator=(const LeafCache&) = delete;

  // The leaf for `host`: a DNS name (in its DNS SAN) or an IPv4 or IPv6 address, brackets
  // allowed (in its IP SAN); names differing in case share one leaf. Throws TlsFailure for a
  // name no certificate may carry.
  std::shared_ptr<const Leaf> For(const std::string& host) EXCLUDES(lock_);
  std::size_t Size() const EXCLUDES(lock_);
  const CertificateAuthority& Authority() const { return authority_; }

 private:
  std::shared_ptr<const Leaf> Make(const std::string& host, bool is_address) const;

  const CertificateAuthority& authority_;
  const std::size_t capacity_;
  const tls::KeyPtr key_;  // the one key of every leaf
  mutable Mutex lock_;
  // Most recently used first; by_host_ points into it.
  std::list<std::shared_ptr<const Leaf>> recent_ GUARDED_BY(lock_);
  std::unordered_map<std::string, std::list<std::shared_ptr<const Leaf>>::iterator> by_host_
      GUARDED_BY(lock_);
};

}  // namespace trovanex
