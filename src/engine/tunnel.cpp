// CONNECT: the tunnel a browser opens for an https:// site. The proxy connects to the named
// host (or asks the upstream proxy to), says so, and then passes bytes both ways unchanged
// until either side closes. Nothing inside a tunnel is matched or stored.
#include "engine/connection_session.h"
#include "platform/net_errors.h"

namespace trovanex {

void ConnectionSession::OpenTunnel() {
  if (OpensTunnel()) {
    ServeOpenedTunnel();
    return;
  }
  if (!Connect()) return;
  if (!upstream_->IsConnected()) {
    // Refused or failed: the browser shows its own tunnel error for a closed connection.
    Log(" : Tunnel not opened.");
    return;
  }
  if (config_->UseProxy) {
    // The upstream proxy answers the CONNECT itself; its head goes back unchanged, and
    // anything but a success is relayed as an ordinary answer that ends the connection.
    if (!ReadAnswerHead()) return;
    const int code = StatusCode(request_.Headers.front());
    if (code < 200 || code > 299) {
      RelayAnswerBody();
      return;
    }
  } else {
    request_.Headers.clear();  // the browser's CONNECT head is not forwarded
    browser_.WriteHead({request_.Version + " 200 Connection established"});
  }
  RunTunnel();
}

void ConnectionSession::RunTunnel() {
  Log(" : >> Tunnel established <<");
  // No read time-out here: browsers keep idle TLS connections open for minutes. Stopping the
  // program aborts the browser connection, and with it the origin's.
  const Connection::TunnelCounts counts = browser_.Tunnel(*upstream_, [this](std::size_t length) {
    context_.monitor.Throughput.AddBytes(static_cast<std::uint32_t>(length));
  });
  Log(" : >> Tunnel closed << to origin " + std::to_string(counts.to_other) +
      " bytes, to browser " + std::to_string(counts.to_this) + " bytes");
}

}  // namespace trovanex
