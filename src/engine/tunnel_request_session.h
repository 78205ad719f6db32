// One request read inside an opened tunnel: served like a plain request, over the origin the
// tunnel keeps, for the tunnel's own host only; whether the next request may follow depends on
// how its answer ended.
#pragma once

#include "engine/kept_origin.h"
#include "engine/opened_tunnel.h"
#include "engine/request_session.h"

namespace trovanex {

class TunnelRequestSession : public RequestSession {
 public:
  // The request's first line is already read into `tunnel`.
  TunnelRequestSession(EngineContext& context, Connection& browser, OpenedTunnel& tunnel);
  ~TunnelRequestSession() override { EndQuietly(); }

 private:
  void Serve() override;
  bool GoesOnAfterAnswer() const override { return !browser_closes_ && !origin_closes_; }
  bool TookOverSwitch() override;
  void BeforeRelease() override;
  void LetGo(std::shared_ptr<RequestEnding> ending) override;
  bool ReadRequest();  // false for a request that is not served further
  // A request for another host is answered 421 (false).
  bool KeepsToItsHost();

  OpenedTunnel& tunnel_;
  KeptOrigin kept_origin_;
  bool browser_closes_ = false;  // the request asked to close after its answer
};

}  // namespace trovanex
