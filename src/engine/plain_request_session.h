// A browser connection to the proxy and the one request it carries: admission, the request,
// and its dispatch to a built-in answer, a stored file, the origin, or (for a CONNECT) a blind
// or an opened tunnel.
#pragma once

#include "engine/engine_context.h"
#include "engine/origin_route.h"
#include "engine/request_session.h"
#include "platform/connection.h"

namespace trovanex {

// Admission of a new connection: only the local machine unless outside connections are
// allowed. Disconnects a refused client.
void AdmitConnection(EngineContext& context, Connection& browser);

class PlainRequestSession : public RequestSession {
 public:
  PlainRequestSession(EngineContext& context, Connection& browser);
  ~PlainRequestSession() override { EndQuietly(); }

 private:
  void Serve() override;
  void LetGo(std::shared_ptr<RequestEnding> ending) override;
  bool ReadRequest();  // false for a request that is not served further
  // HTTPS for a host the user named: whether this CONNECT opens the tunnel to capture inside.
  bool OpensTunnelForCapture();
  void SendCaCertificate();

  OwnOrigin own_origin_;
};

}  // namespace trovanex
