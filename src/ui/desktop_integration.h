// What the desktop program changes outside itself, for the user: this desktop's proxy settings
// while it runs (the "[Desktop]" switch), and the local certificate authority's trust in the
// browsers. Each change gives back one Japanese text saying what changed and what could not;
// the windows show it. No Qt here, so that it is tested without a window.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop_proxy_settings.h"
#include "platform/nss_trust.h"
#include "platform/thread_annotations.h"

namespace trovanex {

// The file, in the folder of the settings, that keeps the desktop's own proxy settings while
// the program has them pointed at itself.
inline constexpr char kDesktopProxySavedName[] = "desktop-proxy-before.ini";

class DesktopIntegration {
 public:
  // Readies the local authority's certificate file; the reason when it cannot be had.
  using AuthorityReady = std::function<std::optional<std::string>()>;

  DesktopIntegration(DesktopProxySettings desktop, std::string home, std::string certificate_file,
                     AuthorityReady authority_ready);

  // The port the desktop's settings name while the switch is on; set once the proxy listens.
  void SetPort(int port) { port_ = port; }

  // Points the desktop at the proxy, or puts its own settings back (when they are saved).
  // The status message; empty when there was nothing to put back.
  std::string SetSystemProxy(bool on);

  // Adds the authority to every browser database, or takes it out; the text to show. Runs
  // other programs for seconds: any thread but the window's. One change at a time.
  std::string ChangeBrowserTrust(bool trust) EXCLUDES(trust_lock_);

  // The lines saying what happened in each database.
  static std::string TrustReport(const std::vector<TrustChange>& changes, bool trust);

 private:
  DesktopProxySettings desktop_;
  std::string home_;
  std::string certificate_file_;
  AuthorityReady authority_ready_;
  int port_ = 0;
  // Two changes at once would run certutil on one database twice over.
  Mutex trust_lock_;
};

}  // namespace trovanex
