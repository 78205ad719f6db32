// What opening HTTPS tunnels needs once per program: the local certificate authority (made on
// first need, never replaced), leaf certificates for the hosts it opens, and verified TLS
// towards origins. Shared by every connection; safe from any thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "platform/connection.h"
#include "platform/thread_annotations.h"

namespace trovanex {

class CertificateAuthority;
class LeafCache;

// How the local authority stands, for one caller.
struct HttpsReadiness {
  bool usable = false;
  // Why it cannot be used, given only to the first caller after that was found, so that the
  // log line and the status message say it once; Problem() tells it every time.
  std::optional<std::string> to_report;
};

class HttpsOpening {
 public:
  // `folder` ends with the separator; the authority's files live there.
  explicit HttpsOpening(std::string folder);
  ~HttpsOpening();
  HttpsOpening(const HttpsOpening&) = delete;
  HttpsOpening& operator=(const HttpsOpening&) = delete;

  // With capture on, readies the authority and the origins' trust store on a thread of its
  // own, so that the first opened tunnel waits for neither; problems surface as in Ready.
  void PrepareAhead(bool capture, const std::string& extra_ca_file);

  // Where notices go that are no failure: an authority that ends within 30 days (its file, its
  // end and what to do) is still used, and said once. A notice goes to the report as soon as
  // both are there; one found before the report is set waits for it. The report runs on the
  // thread that opened the authority (PrepareAhead's own, or the first caller of Ready) or on
  // the one that sets it, never under the lock. An empty report stops the reports.
  using NoticeReport = std::function<void(const std::string& notice)>;
  void SetNoticeReport(NoticeReport report) EXCLUDES(lock_);

  // Loads or makes the authority at the first call; the problem, when it cannot be used, names
  // the file and the reason.
  HttpsReadiness Ready() EXCLUDES(lock_);
  // Why the authority cannot be used, every time asked; empty while it can, or before Ready.
  std::string Problem();
  // The authority's certificate in PEM; empty when it cannot be used.
  std::string CaCertificatePem();

  // TLS towards the browser after the "200 Connection established": a leaf for the name the
  // browser sends (SNI), else for `connect_host`. Returns that name. Throws a NetError.
  std::string AcceptBrowser(Connection& browser, const std::string& connect_host, int timeout_ms);
  // TLS towards the origin `host` at `port`, its certificate verified against the system's
  // authorities and those in `extra_ca_file`. Throws TlsVerifyFailed (with the reason) or
  // another NetError.
  void ConnectOrigin(Connection& origin, const std::string& host, int port,
                     const std::string& extra_ca_file, int timeout_ms);

 private:
  // The first call opens the authority; later ones say how that went.
  HttpsReadiness OpenOnce() REQUIRES(lock_);
  // Gives the notice not given yet to the report, when both are there.
  void GiveNotice() EXCLUDES(lock_);

  const std::string folder_;
  Mutex lock_;
  bool tried_ GUARDED_BY(lock_) = false;
  std::string problem_ GUARDED_BY(lock_);
  // Declared before the leaf cache, which signs with it, so that it outlives the cache.
  std::shared_ptr<CertificateAuthority> authority_ GUARDED_BY(lock_);
  std::shared_ptr<LeafCache> leaves_ GUARDED_BY(lock_);
  std::optional<std::string> early_problem_ GUARDED_BY(lock_);  // found ahead, not yet given
  std::string notice_ GUARDED_BY(lock_);                        // not yet given
  NoticeReport notice_report_ GUARDED_BY(lock_);
  std::thread preparing_;  // last: joined before anything it uses goes
};

}  // namespace trovanex
