#include "engine/kept_origin.h"

#include "engine/https_opening.h"
#include "platform/net_errors.h"
#include "tls/tls_stream.h"

namespace trovanex {

void KeptOrigin::Release() {
  link_.reset();
  in_use_ = false;
  if (!tunnel_.keep_alive) tunnel_.origin.reset();
}

bool KeptOrigin::Connect(RequestSession& request) {
  if (!tunnel_.origin) tunnel_.origin.emplace();
  in_use_ = true;
  Connection& origin = *tunnel_.origin;
  link_.emplace(browser_, origin);
  if (origin.IsConnected()) {
    if (origin.StillOpen()) {
      request.Log(" : Kept-alive origin connection reused.");
      return true;
    }
    origin.Disconnect();  // the origin ended it while the browser was idle
  }
  const TTxConfig& config = request.Config();
  const bool via_proxy = config.UseProxy;
  if (!request.ConnectTo(*this, via_proxy ? config.ProxyAddress : tunnel_.connect_host,
                         via_proxy ? config.ProxyPort : tunnel_.port))
    return false;
  if (!origin.IsConnected()) return true;  // fails like the plain path: on the closed connection
  if (via_proxy && !ThroughUpstream(request)) return false;

  std::string reason;
  bool unverified = false;
  try {
    request.Context().https->ConnectOrigin(origin, tunnel_.host, tunnel_.port,
                                           config.Https.ExtraCaFile, config.ConnectionTimeout);
    return true;
  } catch (const TlsVerifyFailed& failure) {
    reason = failure.Reason;
    unverified = true;
  } catch (const TlsFailure& failure) {
    reason = failure.Reason;
  } catch (const NetError& failure) {
    reason = failure.what();
  }
  // Nothing may go to an origin that was not verified, not even in the clear.
  origin.Disconnect();
  const std::string what = unverified ? "the certificate of " + tunnel_.host + " did not verify"
                                      : "TLS with " + tunnel_.host + " failed";
  request.Log(" : Error; " + what + ": " + reason);
  request.Context().monitor.Messages.ShowStatusMessage(
      "Error: HTTPS の接続を確立できませんでした (" + tunnel_.host + ")");
  request.SendPageAnswer(" 502 Bad Gateway",
                         "Trovanex did not relay this request: " + what + " (" + reason + ").\r\n",
                         "text/plain; charset=utf-8");
  return false;
}

bool KeptOrigin::ThroughUpstream(RequestSession& request) {
  // The browser's own CONNECT head, credentials included, as a blind tunnel would send it.
  Connection& proxy = *tunnel_.origin;
  std::vector<std::string> answer;
  try {
    proxy.WriteLines(tunnel_.connect_head);
    answer.push_back(proxy.ReadLine());
    proxy.ReadHeaderBlock(answer);
  } catch (const NetError& failure) {
    answer.assign(1, failure.what());
  }
  const int code = StatusCode(answer.front());
  if (code >= 200 && code <= 299) return true;
  proxy.Disconnect();
  request.Log(" : Error; the upstream proxy did not open the tunnel: " + answer.front());
  request.SendPageAnswer(
      " 502 Bad Gateway",
      "Trovanex did not relay this request: the upstream proxy did not open a tunnel to " +
          tunnel_.connect_host + " (" + answer.front() + ").\r\n",
      "text/plain; charset=utf-8");
  return false;
}

}  // namespace trovanex
