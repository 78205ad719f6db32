// Where a request's answer comes from. A plain connection has an origin of its own (or the
// upstream proxy), connected for its one request; a request inside an opened tunnel uses the
// origin the tunnel keeps between its requests, reconnected when it has gone.
#pragma once

#include <optional>

#include "platform/connection.h"

namespace trovanex {

class RequestSession;

class OriginRoute {
 public:
  virtual ~OriginRoute() = default;

  // Connects the origin for `request` (or finds it still connected). False when the connection
  // ends here: the browser got an error answer, or none.
  virtual bool Connect(RequestSession& request) = 0;
  // The origin while the request uses it, else null.
  virtual Connection* Origin() = 0;
  // The answer's end cannot be told: the origin connection serves no other request.
  virtual void Spoil() {}
  // The request is done with the origin.
  virtual void Release() = 0;
};

// A plain connection's own origin, or the upstream proxy when one is set.
class OwnOrigin : public OriginRoute {
 public:
  explicit OwnOrigin(Connection& browser) : browser_(browser) {}

  bool Connect(RequestSession& request) override;
  Connection* Origin() override { return origin_ ? &*origin_ : nullptr; }
  void Release() override {
    link_.reset();
    origin_.reset();
  }

 private:
  Connection& browser_;
  std::optional<Connection> origin_;
  std::optional<AbortLink> link_;  // stopping the listener wakes a wait on the origin
};

}  // namespace trovanex
