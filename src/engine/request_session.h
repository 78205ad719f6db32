// One request of a browser, from its head to its end, as every kind of connection serves it:
// the intake of its head and body, the answers made here, the exchange with the origin over a
// route the kind of connection gives, the relay of the answer's body with its capture, and the
// end that lets the browser go before the capture is decided. The kinds of connection (a plain
// request, a blind tunnel, an opened tunnel and the requests inside it) are built from these.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/capture_hooks.h"
#include "engine/engine_context.h"
#include "engine/message_head.h"
#include "engine/origin_route.h"
#include "engine/proxy_request.h"
#include "engine/relay_state.h"
#include "platform/connection.h"

namespace trovanex {

class CaptureEndings;

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

class RequestSession {
 public:
  RequestSession(const RequestSession&) = delete;
  RequestSession& operator=(const RequestSession&) = delete;

  // Serves the request; failures that leave it end the connection after End has run.
  void Run();

  // The steps a route and a tunnel take on the request's behalf.
  EngineContext& Context() { return context_; }
  const TTxConfig& Config() const { return *config_; }
  Connection& Browser() { return browser_; }
  TProxyRequest& Request() { return request_; }
  void Log(const std::string& text);  // the serial number + text
  // An answer made here, which ends the connection; failures towards the browser are ignored.
  void SendPageAnswer(const std::string& status, std::string_view page,
                      std::string_view content_type = {});
  // Connects the route's origin to host:port; false (the route released) when the connection
  // ends here with an error answer or none. Other failures leave the origin closed: the
  // request then fails on it as it is sent.
  bool ConnectTo(OriginRoute& route, const std::string& host, int port);
  // Sends the request and reads the answer's head, passing it on; false when the answer is
  // refused (the browser got a 502 instead).
  bool ReadAnswerHead();
  void RelayAnswerBody();
  // Bytes both ways between the browser and the origin, unchanged, until either side closes.
  void RelayBothWays();
  void LogHeadTimeOut(const HeadDeadline& deadline);

 protected:
  RequestSession(EngineContext& context, Connection& browser);
  virtual ~RequestSession() = default;

  // Reads the request and answers it.
  virtual void Serve() = 0;
  // First step of the end, before the origin is released.
  virtual void BeforeRelease() {}
  // Whether the browser connection goes on after this answer (inside an opened tunnel).
  virtual bool GoesOnAfterAnswer() const { return false; }
  // A 101 answer handed on: whether this kind of connection took it over.
  virtual bool TookOverSwitch() { return false; }
  // Ends the request: the browser is let go, then `ending` runs, here or later.
  virtual void LetGo(std::shared_ptr<RequestEnding> ending) = 0;
  // Runs End unless it ran; for the destructors of the kinds.
  void EndQuietly();

  bool IsConnect() const { return request_.Method == "CONNECT"; }
  std::string Prefix() const { return std::to_string(request_.ConnectionNo); }
  // The request line as the origin gets it when no proxy stands between.
  std::string OriginFormLine() const;
  // After the request line: its log lines, the connection-list entry, the header lines (with
  // `first_line` first) and their framing. None when the head did not come whole in time or
  // was refused (the browser got the refusal).
  std::optional<HeadReading> ReadHead(const std::string& first_line, const HeadDeadline& deadline);
  // Hop-by-hop words of the browser to this proxy; an origin would take them as its own.
  void RemoveHopByHopLines();
  void ReadBody(const BodyFraming& framing);
  // A 501 for an address this proxy does not relay as a plain request; false for others.
  bool RefusedScheme();
  // Answers from the stored copy of the address, if there is one.
  bool AnsweredFromStore();
  // The origin's answer over the route, relayed.
  void Exchange();

  EngineContext& context_;
  Connection& browser_;
  const std::shared_ptr<TTxConfig> config_;  // the settings this connection started with
  TProxyRequest request_;
  TRelayState state_;
  std::unique_ptr<CaptureHooks> capture_;
  OriginRoute* route_ = nullptr;            // set by each kind
  std::optional<std::string> list_entry_;   // set once the connection list has it
  Framing framing_ = Framing::kUntilClose;  // of the origin's answer
  bool answered_whole_ = false;             // the browser got a whole answer whose end it can tell
  bool origin_closes_ = false;              // the origin closes after this answer

 private:
  void RefuseRequest(const HeadFault& fault);
  void RefuseAnswer(const HeadFault& fault);
  void Relay();
  // Lets the browser go, then decides the capture; runs once.
  void End();

  bool started_ = false;
  bool ended_ = false;
};

}  // namespace trovanex
