// HTTPS for the hosts the user named: the proxy answers the CONNECT itself, speaks TLS with the
// browser under a leaf certificate of its own authority and with the origin under full
// verification, and serves each request inside as a plain request is served, so that the
// user's rules, captures and stored files work the same for both.
#include "engine/connection_session.h"
#include "engine/https_opening.h"
#include "platform/net_errors.h"
#include "platform/text.h"
#include "tls/tls_stream.h"

namespace trovanex {

bool ConnectionSession::OpensTunnel() {
  const HttpsSettings& https = config_->Https;
  if (!context_.https || !https.Capture || !https.Hosts.Matches(request_.Host)) return false;
  std::optional<std::string> problem;
  if (context_.https->Ready(problem)) return true;
  if (problem) {
    Log(" : Error; " + *problem + "; HTTPS is not opened.");
    context_.monitor.Messages.ShowStatusMessage("Error: ローカル認証局が使えません (" + *problem +
                                                ")");
  }
  return false;
}

void ConnectionSession::ServeOpenedTunnel() {
  browser_.WriteHead({request_.Version + " 200 Connection established"});
  OpenedTunnel tunnel;
  tunnel.connect_head = std::move(request_.Headers);
  request_.Headers.clear();
  tunnel.connect_host = request_.Host;
  tunnel.port = request_.Port;
  // A browser that starts no handshake holds its thread no longer than one that sends no request.
  const int timeout = config_->ReadTimeout;
  try {
    tunnel.host = context_.https->AcceptBrowser(browser_, request_.Host, timeout);
  } catch (const NetError& failure) {
    // Most often a browser that does not trust the local authority yet ("unknown ca").
    Log(" : Error; TLS with the browser failed: " + std::string(failure.what()));
    context_.monitor.Messages.ShowStatusMessage(
        "Error: ブラウザとの HTTPS を確立できませんでした (" + request_.Host + ")");
    return;
  }
  Log(" : >> Tunnel opened for capture << " + tunnel.host);

  // Requests follow one another while each answer's end was clear to the browser.
  while (tunnel.keep_alive && browser_.IsConnected()) {
    tunnel.head_deadline = HeadDeadline(timeout);
    try {
      std::optional<std::string> line = ReadRequestLine(browser_, tunnel.head_deadline);
      if (!line) {
        LogHeadTimeOut(tunnel.head_deadline);
        break;
      }
      tunnel.first_line = std::move(*line);
    } catch (const NetError&) {
      break;  // the browser closed its kept connection, or stopping the program ended it
    }
    ++tunnel.requests;
    ConnectionSession inner(context_, browser_, &tunnel);
    try {
      inner.Run();
    } catch (const std::exception&) {
      break;  // the request's own clean-up has run and logged it
    }
  }
  Log(" : >> Tunnel closed << " + std::to_string(tunnel.requests) + " requests");
  // Before the captures still undecided are waited for: the browser has no part in them.
  browser_.Disconnect();
}

bool ConnectionSession::ConnectOriginTls() {
  OpenUpstream();
  capture_->Match(request_);
  Connection& origin = *upstream_;
  if (origin.IsConnected()) {
    if (origin.StillOpen()) {
      Log(" : Kept-alive origin connection reused.");
      return true;
    }
    origin.Disconnect();  // the origin ended it while the browser was idle
  }
  const bool via_proxy = config_->UseProxy;
  if (!ConnectUpstream(via_proxy ? config_->ProxyAddress : tunnel_->connect_host,
                       via_proxy ? config_->ProxyPort : tunnel_->port))
    return false;
  if (!origin.IsConnected()) return true;  // fails like the plain path: on the closed connection
  if (via_proxy && !TunnelThroughUpstream()) return false;

  std::string reason;
  bool unverified = false;
  try {
    context_.https->ConnectOrigin(origin, tunnel_->host, config_->Https.ExtraCaFile,
                                  config_->ConnectionTimeout);
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
  const std::string what = unverified ? "the certificate of " + tunnel_->host + " did not verify"
                                      : "TLS with " + tunnel_->host + " failed";
  Log(" : Error; " + what + ": " + reason);
  context_.monitor.Messages.ShowStatusMessage("Error: HTTPS の接続を確立できませんでした (" +
                                              tunnel_->host + ")");
  SendPageAnswer(" 502 Bad Gateway",
                 "Trovanex did not relay this request: " + what + " (" + reason + ").\r\n",
                 "text/plain; charset=utf-8");
  return false;
}

bool ConnectionSession::TunnelThroughUpstream() {
  // The browser's own CONNECT head, credentials included, as a blind tunnel would send it.
  Connection& proxy = *upstream_;
  std::vector<std::string> answer;
  try {
    proxy.WriteLines(tunnel_->connect_head);
    answer.push_back(proxy.ReadLine());
    proxy.ReadHeaderBlock(answer);
  } catch (const NetError& failure) {
    answer.assign(1, failure.what());
  }
  const int code = StatusCode(answer.front());
  if (code >= 200 && code <= 299) return true;
  proxy.Disconnect();
  Log(" : Error; the upstream proxy did not open the tunnel: " + answer.front());
  SendPageAnswer(" 502 Bad Gateway",
                 "Trovanex did not relay this request: the upstream proxy did not open a tunnel "
                 "to " +
                     tunnel_->connect_host + " (" + answer.front() + ").\r\n",
                 "text/plain; charset=utf-8");
  return false;
}

void ConnectionSession::DecideKeepAlive() {
  tunnel_->keep_alive = tunnel_->keep_alive && answered_whole_ && !browser_closes_ &&
                        !origin_closes_ && browser_.IsConnected();
}

void ConnectionSession::SendCaCertificate() {
  std::string pem;
  std::optional<std::string> problem;
  if (context_.https && context_.https->Ready(problem)) pem = context_.https->CaCertificatePem();
  if (problem) Log(" : Error; " + *problem);
  if (pem.empty()) {
    SendPageAnswer(" 404 Not found.", "No local certificate authority is available.\r\n",
                   "text/plain; charset=utf-8");
    return;
  }
  SendPageAnswer(" 200 OK", pem, "application/x-x509-ca-cert");
}

}  // namespace trovanex
