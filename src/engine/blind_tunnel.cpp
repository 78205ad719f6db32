#include "engine/blind_tunnel.h"

#include "engine/message_head.h"

namespace trovanex {

void BlindTunnel::Run() {
  if (!route_.Connect(connect_)) return;
  if (!route_.Origin()->IsConnected()) {
    // Refused or failed: the browser shows its own tunnel error for a closed connection.
    connect_.Log(" : Tunnel not opened.");
    return;
  }
  TProxyRequest& request = connect_.Request();
  if (connect_.Config().UseProxy) {
    // The upstream proxy answers the CONNECT itself; its head goes back unchanged, and
    // anything but a success is relayed as an ordinary answer that ends the connection.
    if (!connect_.ReadAnswerHead()) return;
    const int code = StatusCode(request.Headers.front());
    if (code < 200 || code > 299) {
      connect_.RelayAnswerBody();
      return;
    }
  } else {
    request.Headers.clear();  // the browser's CONNECT head is not forwarded
    connect_.Browser().WriteHead({request.Version + " 200 Connection established"});
  }
  connect_.RelayBothWays();
}

}  // namespace trovanex
