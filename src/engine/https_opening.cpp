#include "engine/https_opening.h"

#include <utility>

#include "tls/certificate_authority.h"
#include "tls/leaf_cache.h"
#include "tls/tls_stream.h"

namespace trovanex {

HttpsOpening::HttpsOpening(std::string folder) : folder_(std::move(folder)) {}

HttpsOpening::~HttpsOpening() {
  if (preparing_.joinable()) preparing_.join();
}

void HttpsOpening::PrepareAhead(bool capture, const std::string& extra_ca_file) {
  if (!capture || preparing_.joinable()) return;
  preparing_ = std::thread([this, extra_ca_file] {
    HttpsReadiness readiness = Ready();
    if (!readiness.usable) {
      // Given to the first caller of Ready, which reports it where the user looks.
      MutexLock lock(lock_);
      early_problem_ = std::move(readiness.to_report);
      return;
    }
    try {
      PrepareOriginTls(extra_ca_file);
    } catch (const TlsFailure&) {
      // The first connection to an origin meets the same failure and reports it.
    }
  });
}

void HttpsOpening::SetNoticeReport(NoticeReport report) {
  {
    MutexLock lock(lock_);
    notice_report_ = std::move(report);
  }
  GiveNotice();
}

void HttpsOpening::GiveNotice() {
  NoticeReport report;
  std::string notice;
  {
    MutexLock lock(lock_);
    if (notice_.empty() || !notice_report_) return;
    report = notice_report_;
    notice = std::exchange(notice_, std::string());
  }
  report(notice);
}

HttpsReadiness HttpsOpening::Ready() {
  HttpsReadiness readiness;
  {
    MutexLock lock(lock_);
    readiness = OpenOnce();
  }
  GiveNotice();
  return readiness;
}

HttpsReadiness HttpsOpening::OpenOnce() {
  if (tried_) return {leaves_ != nullptr, std::exchange(early_problem_, std::nullopt)};
  tried_ = true;
  CertificateAuthority::Opened opened = CertificateAuthority::Open(folder_);
  if (!opened.authority) {
    problem_ = opened.error;
    return {false, problem_};
  }
  try {
    authority_ = std::move(opened.authority);
    leaves_ = std::make_shared<LeafCache>(*authority_);
  } catch (const std::exception& failure) {
    problem_ = failure.what();
    authority_.reset();
    return {false, problem_};
  }
  notice_ = std::move(opened.warning);
  return {true, std::nullopt};
}

std::string HttpsOpening::Problem() {
  MutexLock lock(lock_);
  return problem_;
}

std::string HttpsOpening::CaCertificatePem() {
  MutexLock lock(lock_);
  return authority_ ? authority_->CertificatePem() : std::string();
}

std::string HttpsOpening::AcceptBrowser(Connection& browser, const std::string& connect_host,
                                        int timeout_ms) {
  std::shared_ptr<LeafCache> leaves;
  {
    MutexLock lock(lock_);
    leaves = leaves_;
  }
  if (!leaves) throw TlsFailure("no local certificate authority");
  return AcceptTls(browser, *leaves, connect_host, timeout_ms);
}

void HttpsOpening::ConnectOrigin(Connection& origin, const std::string& host, int port,
                                 const std::string& extra_ca_file, int timeout_ms) {
  ConnectTls(origin, host, port, extra_ca_file, timeout_ms);
}

}  // namespace trovanex
