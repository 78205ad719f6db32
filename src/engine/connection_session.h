// The handling of one browser connection: admission, the request, the dispatch to a built-in
// answer, a stored file or the origin, the relay, and the clean-up that ends every connection
// the same way whatever happened.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "engine/capture_hooks.h"
#include "engine/engine_context.h"
#include "engine/message_head.h"
#include "engine/opened_tunnel.h"
#include "engine/proxy_request.h"
#include "engine/relay_state.h"
#include "platform/connection.h"

namespace trovanex {

// Admission of a new connection: only the local machine unless outside connections are
// allowed. Disconnects a refused client.
void AdmitConnection(EngineContext& context, Connection& browser);

// What is left of a request once the browser has its answer: the capture's decision, then the
// connection list and the counters, which show the request until then.
struct RequestEnding {
  EngineContext& context;
  std::string prefix;  // the request's serial number
  std::unique_ptr<CaptureHooks> capture;
  TRelayState state;
  std::optional<std::string> list_entry;

  void Run();
};

class ConnectionSession {
 public:
  // With `tunnel`, the session serves one request read inside that opened tunnel (its first
  // line already read into the tunnel), over the tunnel's origin connection.
  ConnectionSession(EngineContext& context, Connection& browser, OpenedTunnel* tunnel = nullptr);
  ~ConnectionSession();  // the clean-up, if Run did not get to it
  ConnectionSession(const ConnectionSession&) = delete;
  ConnectionSession& operator=(const ConnectionSession&) = delete;

  // Serves the one request of this connection; failures that leave it end the connection
  // after the clean-up has run.
  void Run();

 private:
  bool ReadRequest();  // false for a line that is not accepted
  void Dispatch();
  void Exchange();
  bool Connect();  // false when the connection ends here (an error answer, or none)
  bool ConnectUpstream(const std::string& host, int port);
  void SendCaCertificate();
  void SendPageAnswer(const std::string& status, std::string_view page,
                      std::string_view content_type = {});
  bool ReadAnswerHead();  // false when the answer is refused (the browser got a 502 instead)
  void RefuseAnswer(const HeadFault& fault);
  void RefuseRequest(const HeadFault& fault);
  // Inside an opened tunnel, a request for another host is answered 421 (false); on plain
  // connections the Host line becomes the target's own.
  bool KeepsToItsHost();
  void LogHeadTimeOut(const HeadDeadline& deadline);
  void RelayAnswerBody();
  void Relay();
  // CONNECT: a tunnel to the named host (or through the upstream proxy), bytes both ways.
  bool IsTunnel() const { return request_.Method == "CONNECT"; }
  void OpenTunnel();
  void RunTunnel();
  // HTTPS for a host the user named: TLS on both sides, and the requests inside served here.
  bool OpensTunnel();
  void ServeOpenedTunnel();
  bool ConnectOriginTls();       // false when the browser got the error answer instead
  bool TunnelThroughUpstream();  // the same, for the CONNECT to an upstream proxy
  // Inside an opened tunnel: whether the next request may follow on the same connection.
  void DecideKeepAlive();
  void CleanUp();
  void OpenUpstream();
  void DropUpstream();

  void Log(const std::string& text);  // the serial number + text
  std::string Prefix() const { return std::to_string(request_.ConnectionNo); }

  EngineContext& context_;
  Connection& browser_;
  const std::shared_ptr<TTxConfig> config_;  // the settings this connection started with
  TProxyRequest request_;
  TRelayState state_;
  std::unique_ptr<CaptureHooks> capture_;
  OpenedTunnel* const tunnel_;  // the opened tunnel this request came through, if any
  std::optional<Connection> own_upstream_;
  Connection* upstream_ = nullptr;          // own_upstream_, or the opened tunnel's origin
  std::optional<AbortLink> upstream_link_;  // stopping the listener wakes a wait on the origin
  std::optional<std::string> list_entry_;   // set once the connection list has it
  Framing framing_ = Framing::kUntilClose;  // of the origin's answer
  bool answered_whole_ = false;             // the browser got a whole answer whose end it can tell
  bool browser_closes_ = false;             // the request asked to close after its answer
  bool origin_closes_ = false;              // the origin closes after this answer
  bool started_ = false;
  bool cleaned_up_ = false;
};

}  // namespace trovanex
