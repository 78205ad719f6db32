#include "tls/origin_sessions.h"

#include <memory>

namespace trovanex::tls {
namespace {

SslSessionPtr AnotherReference(SSL_SESSION* session) {
  SSL_SESSION_up_ref(session);
  return SslSessionPtr(session);
}

}  // namespace

OriginSessions& OriginSessions::Instance() {
  static OriginSessions sessions;
  return sessions;
}

std::string OriginSessions::Key(const std::string& host, int port, const std::string& extra_ca_file,
                                const std::string& file_version) {
  return host + ":" + std::to_string(port) + "\n" + extra_ca_file + "\n" + file_version;
}

// The slot of each client session's key (a heap string, freed with the session).
int OriginSessions::KeyIndex() {
  static const int index = SSL_get_ex_new_index(
      0, nullptr, nullptr, nullptr, [](void*, void* key, CRYPTO_EX_DATA*, int, long, void*) {
        delete static_cast<std::string*>(key);
      });
  return index;
}

void OriginSessions::Attach(SSL* ssl, const std::string& key) {
  if (const SslSessionPtr kept = Take(key)) SSL_set_session(ssl, kept.get());
  auto owned = std::make_unique<std::string>(key);
  if (SSL_set_ex_data(ssl, KeyIndex(), owned.get()) == 1) owned.release();
}

int OriginSessions::Keep(SSL* ssl, SSL_SESSION* session) {
  const auto* key = static_cast<const std::string*>(SSL_get_ex_data(ssl, KeyIndex()));
  if (!key || !SSL_SESSION_is_resumable(session)) return 0;
  Instance().Put(*key, SslSessionPtr(session));
  return 1;  // the reference OpenSSL gave is kept
}

void OriginSessions::Put(const std::string& key, SslSessionPtr session) {
  MutexLock lock(lock_);
  auto [at, added] = by_key_.try_emplace(key);
  Kept& kept = at->second;
  kept.newest = AnotherReference(session.get());
  kept.unused.push_back(std::move(session));
  if (kept.unused.size() > kPerOrigin) kept.unused.pop_front();
  if (!added) return;
  order_.push_back(key);
  while (order_.size() > kCapacity) {
    by_key_.erase(order_.front());
    order_.pop_front();
  }
}

SslSessionPtr OriginSessions::Take(const std::string& key) {
  MutexLock lock(lock_);
  auto found = by_key_.find(key);
  if (found == by_key_.end()) return nullptr;
  Kept& kept = found->second;
  if (!kept.unused.empty()) {
    SslSessionPtr session = std::move(kept.unused.back());
    kept.unused.pop_back();
    return session;
  }
  return kept.newest ? AnotherReference(kept.newest.get()) : nullptr;
}

}  // namespace trovanex::tls
