// An HTTPS tunnel the proxy opens because the user named its host: TLS towards the browser with
// a leaf certificate of the local authority, verified TLS towards the origin, and the requests
// inside served one after another, each through the same steps as a plain request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/capture_endings.h"
#include "engine/message_head.h"
#include "engine/request_session.h"
#include "platform/connection.h"

namespace trovanex {

// What an opened tunnel keeps from one of its requests to the next.
struct OpenedTunnel {
  // First, so that it is gone last: its endings use nothing else of the tunnel.
  CaptureEndings endings;
  std::string connect_host;  // as the CONNECT line named it
  std::int32_t port = 443;
  std::string host;  // the name the browser asked for (SNI), else connect_host
  // The browser's CONNECT head, for an upstream proxy to open the same tunnel from its side.
  std::vector<std::string> connect_head;
  // The origin, connected when a request first needs it and kept while answers end cleanly.
  std::optional<Connection> origin;
  std::string first_line;         // the request line read before its session starts
  HeadDeadline head_deadline{0};  // for the next request's head, from the end of the last answer
  bool keep_alive = true;         // whether the next request may follow on this connection
  std::uint64_t requests = 0;
};

// Serves the requests inside `tunnel` (TLS with the browser already made) one after the other,
// while each answer's end was clear to the browser. False when the next request's head did not
// come within `timeout_ms`.
bool ServeTunnelRequests(EngineContext& context, Connection& browser, OpenedTunnel& tunnel,
                         int timeout_ms);

// A CONNECT to a host the user named, turned into an opened tunnel and served to its end.
class OpenedTunnelSession {
 public:
  // `connect` is the CONNECT request, its head read.
  explicit OpenedTunnelSession(RequestSession& connect) : connect_(connect) {}

  void Run();

 private:
  RequestSession& connect_;
};

}  // namespace trovanex
