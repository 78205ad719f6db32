#include "engine/tunnel_request_session.h"

namespace trovanex {

TunnelRequestSession::TunnelRequestSession(EngineContext& context, Connection& browser,
                                           OpenedTunnel& tunnel)
    : RequestSession(context, browser), tunnel_(tunnel), kept_origin_(tunnel, browser) {
  route_ = &kept_origin_;
}

bool TunnelRequestSession::ReadRequest() {
  request_.RequestLine = std::move(tunnel_.first_line);
  request_.Port = tunnel_.port;
  ParseTunnelRequestLine(request_.RequestLine, tunnel_.host, request_);
  if (request_.Method == "error") return false;
  // The origin itself gets the request, in its own form.
  const std::optional<HeadReading> reading = ReadHead(OriginFormLine(), tunnel_.head_deadline);
  if (!reading || !KeepsToItsHost()) return false;
  RemoveHopByHopLines();
  browser_closes_ = ClosesAfter(request_.Headers, request_.Version);
  ReadBody(reading->framing);
  return true;
}

bool TunnelRequestSession::KeepsToItsHost() {
  const std::string host_line = HeaderValue(request_.Headers, "Host");
  const bool named_host =
      host_line.empty() || AuthorityNames(host_line, tunnel_.connect_host, tunnel_.port);
  const bool named_target =
      request_.TargetAuthority.empty() ||
      AuthorityNames(request_.TargetAuthority, tunnel_.connect_host, tunnel_.port);
  if (named_host && named_target) {
    if (host_line.empty())
      SetHeader(request_.Headers, "Host",
                tunnel_.port == 443 ? tunnel_.connect_host
                                    : tunnel_.connect_host + ":" + std::to_string(tunnel_.port));
    return true;
  }
  const std::string named = named_target ? host_line : request_.TargetAuthority;
  Log(" : Error; a request for " + named + " inside the tunnel to " + tunnel_.connect_host +
      "; not sent on.");
  SendPageAnswer(" 421 Misdirected Request",
                 "Trovanex did not relay this request: this connection serves " +
                     tunnel_.connect_host + " only, not " + named + ".\r\n",
                 "text/plain; charset=utf-8");
  return false;
}

void TunnelRequestSession::Serve() {
  if (!ReadRequest()) return;
  if (AnsweredFromStore()) return;
  Exchange();
}

bool TunnelRequestSession::TookOverSwitch() {
  // A protocol switch (a WebSocket) inside an opened tunnel: bytes both ways from here on.
  tunnel_.keep_alive = false;
  capture_->DropMatch();
  RelayBothWays();
  return true;
}

void TunnelRequestSession::BeforeRelease() {
  tunnel_.keep_alive = tunnel_.keep_alive && answered_whole_ && !browser_closes_ &&
                       !origin_closes_ && browser_.IsConnected();
}

void TunnelRequestSession::LetGo(std::shared_ptr<RequestEnding> ending) {
  // The tunnel's own session ends the browser connection; the next request is read while a
  // capture is decided.
  if (ending->capture && ending->capture->Undecided())
    tunnel_.endings.HandOver([ending] { ending->Run(); });
  else
    ending->Run();
}

}  // namespace trovanex
