// The origin an opened tunnel keeps between its requests: reused while it stays open, else
// connected again, through the upstream proxy's own tunnel when one is set, and always under
// verified TLS.
#pragma once

#include <optional>

#include "engine/opened_tunnel.h"
#include "engine/origin_route.h"

namespace trovanex {

class KeptOrigin : public OriginRoute {
 public:
  KeptOrigin(OpenedTunnel& tunnel, Connection& browser) : tunnel_(tunnel), browser_(browser) {}

  bool Connect(RequestSession& request) override;
  Connection* Origin() override { return in_use_ ? &*tunnel_.origin : nullptr; }
  void Spoil() override { tunnel_.keep_alive = false; }
  // The origin stays with the tunnel while the next request may follow.
  void Release() override;

 private:
  // The CONNECT to an upstream proxy; false when the browser got the error answer instead.
  bool ThroughUpstream(RequestSession& request);

  OpenedTunnel& tunnel_;
  Connection& browser_;
  std::optional<AbortLink> link_;  // stopping the listener wakes a wait on the origin
  bool in_use_ = false;
};

}  // namespace trovanex
