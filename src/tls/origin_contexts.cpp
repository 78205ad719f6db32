#include "tls/origin_contexts.h"

#include <sys/stat.h>

#include <map>

#include "platform/thread_annotations.h"
#include "tls/origin_sessions.h"
#include "tls/tls_errors.h"
#include "tls/tls_session.h"

namespace trovanex::tls {
namespace {

// What tells one version of an extra CA file from another: device, inode, size, and the times
// of its last modification and change. A file edited, or replaced by another, gets a new one;
// empty for no file.
std::string FileVersion(const std::string& path) {
  if (path.empty()) return {};
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return "missing";
  return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + ":" +
         std::to_string(status.st_size) + ":" + std::to_string(status.st_mtim.tv_sec) + "." +
         std::to_string(status.st_mtim.tv_nsec) + ":" + std::to_string(status.st_ctim.tv_sec) +
         "." + std::to_string(status.st_ctim.tv_nsec);
}

class ClientContexts {
 public:
  OriginContext For(const std::string& extra_ca_file) EXCLUDES(lock_) {
    std::string version = FileVersion(extra_ca_file);
    MutexLock lock(lock_);
    auto found = contexts_.find(extra_ca_file);
    if (found == contexts_.end() || found->second.file_version != version) {
      OriginContext loaded{Load(extra_ca_file), version};
      found = contexts_.insert_or_assign(extra_ca_file, std::move(loaded)).first;
    }
    SSL_CTX* context = found->second.context.get();
    SSL_CTX_up_ref(context);  // connections made from it outlive a replacement
    return {SslContextPtr(context), std::move(version)};
  }

 private:
  static SslContextPtr Load(const std::string& extra_ca_file) {
    SslContextPtr made(SSL_CTX_new(TLS_client_method()));
    if (!made) throw TlsFailure(TakeOpenSslError("no client context"));
    SSL_CTX_set_min_proto_version(made.get(), TLS1_2_VERSION);
    SSL_CTX_set_options(made.get(), SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_verify(made.get(), SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_set_default_verify_paths(made.get()) != 1)
      throw TlsFailure("system trust store: " + TakeOpenSslError("not readable"));
    if (!extra_ca_file.empty() &&
        SSL_CTX_load_verify_locations(made.get(), extra_ca_file.c_str(), nullptr) != 1)
      throw TlsFailure(extra_ca_file + ": " + TakeOpenSslError("no certificates"));
    if (SSL_CTX_set_alpn_protos(made.get(), kAlpn, kAlpnLength) != 0)
      throw TlsFailure("ALPN not set");
    SSL_CTX_set_session_cache_mode(made.get(),
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(made.get(), &OriginSessions::Keep);
    SSL_CTX_set_default_read_buffer_len(made.get(), kReadAhead);
    return made;
  }

  Mutex lock_;
  std::map<std::string, OriginContext> contexts_ GUARDED_BY(lock_);
};

}  // namespace

OriginContext OriginContextFor(const std::string& extra_ca_file) {
  static ClientContexts contexts;
  return contexts.For(extra_ca_file);
}

}  // namespace trovanex::tls
