// CONNECT: the tunnel a browser opens for an https:// site. The proxy connects to the named
// host (or asks the upstream proxy to), says so, and then passes bytes both ways unchanged
// until either side closes. Nothing inside a blind tunnel is matched or stored.
#pragma once

#include "engine/origin_route.h"
#include "engine/request_session.h"

namespace trovanex {

class BlindTunnel {
 public:
  // `connect` is the CONNECT request, its head read; `route` its own origin.
  BlindTunnel(RequestSession& connect, OriginRoute& route) : connect_(connect), route_(route) {}

  void Run();

 private:
  RequestSession& connect_;
  OriginRoute& route_;
};

}  // namespace trovanex
