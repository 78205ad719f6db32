// HTTPS for the hosts the user named: the proxy answers the CONNECT itself, speaks TLS with the
// browser under a leaf certificate of its own authority and with the origin under full
// verification, and serves each request inside as a plain request is served, so that the
// user's rules, captures and stored files work the same for both.
#include "engine/opened_tunnel.h"

#include "engine/https_opening.h"
#include "engine/tunnel_request_session.h"
#include "platform/net_errors.h"

namespace trovanex {

void OpenedTunnelSession::Run() {
  Connection& browser = connect_.Browser();
  TProxyRequest& request = connect_.Request();
  EngineContext& context = connect_.Context();
  browser.WriteHead({request.Version + " 200 Connection established"});
  OpenedTunnel tunnel;
  tunnel.connect_head = std::move(request.Headers);
  request.Headers.clear();
  tunnel.connect_host = request.Host;
  tunnel.port = request.Port;
  // A browser that starts no handshake holds its thread no longer than one that sends no request.
  const int timeout = connect_.Config().ReadTimeout;
  try {
    tunnel.host = context.https->AcceptBrowser(browser, request.Host, timeout);
  } catch (const NetError& failure) {
    // Most often a browser that does not trust the local authority yet ("unknown ca").
    connect_.Log(" : Error; TLS with the browser failed: " + std::string(failure.what()));
    context.monitor.Messages.ShowStatusMessage(
        "Error: ブラウザとの HTTPS を確立できませんでした (" + request.Host + ")");
    return;
  }
  connect_.Log(" : >> Tunnel opened for capture << " + tunnel.host);

  if (!ServeTunnelRequests(context, browser, tunnel, timeout))
    connect_.LogHeadTimeOut(tunnel.head_deadline);
  connect_.Log(" : >> Tunnel closed << " + std::to_string(tunnel.requests) + " requests");
  // Before the captures still undecided are waited for: the browser has no part in them.
  browser.Disconnect();
}

bool ServeTunnelRequests(EngineContext& context, Connection& browser, OpenedTunnel& tunnel,
                         int timeout_ms) {
  // Requests follow one another while each answer's end was clear to the browser.
  while (tunnel.keep_alive && browser.IsConnected()) {
    tunnel.head_deadline = HeadDeadline(timeout_ms);
    try {
      std::optional<std::string> line = ReadRequestLine(browser, tunnel.head_deadline);
      if (!line) return false;
      tunnel.first_line = std::move(*line);
    } catch (const NetError&) {
      break;  // the browser closed its kept connection, or stopping the program ended it
    }
    ++tunnel.requests;
    TunnelRequestSession inner(context, browser, tunnel);
    try {
      inner.Run();
    } catch (const std::exception&) {
      break;  // the request's own clean-up has run and logged it
    }
  }
  return true;
}

}  // namespace trovanex
