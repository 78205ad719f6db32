#include "engine/request_session.h"

#include "engine/body_relay.h"
#include "engine/builtin_answers.h"
#include "platform/net_errors.h"
#include "platform/socket_error.h"

namespace trovanex {
RequestSession::RequestSession(EngineContext& context, Connection& browser)
    : context_(context), browser_(browser), config_(context.settings.Current()) {}

void RequestSession::EndQuietly() {
  if (started_ && !ended_) {
    try {
      End();
    } catch (...) {
    }
  }
}

void RequestSession::Log(const std::string& text) {
  if (context_.monitor.Log.Listening()) context_.monitor.Log.AddLog(Prefix() + text);
}

void RequestSession::Run() {
  request_.ConnectionNo = context_.monitor.Counters.ConnectionStarted();
  if (context_.new_capture) capture_ = context_.new_capture(request_.ConnectionNo, config_);
  if (!capture_) capture_ = std::make_unique<CaptureHooks>();
  started_ = true;
  try {
    Serve();
  } catch (...) {
    End();
    throw;
  }
  End();
}

std::string RequestSession::OriginFormLine() const {
  return request_.Method + " " + request_.Path + " " + request_.Version;
}

std::optional<HeadReading> RequestSession::ReadHead(const std::string& first_line,
                                                    const HeadDeadline& deadline) {
  const bool connect = IsConnect();
  // A tunnel names a host and a port where other requests name a path.
  const std::string target =
      connect ? request_.Host + ":" + std::to_string(request_.Port) : request_.Path;
  auto& monitor = context_.monitor;
  const std::string n = Prefix();
  {
    MutexLock status(monitor.Counters.StatusLock());
    monitor.Log.AddLog(n + " :" + request_.Method);
    monitor.Log.AddLog(n + " :" + request_.Host);
    monitor.Log.AddLog(n + " :" + (connect ? std::to_string(request_.Port) : request_.Path));
  }

  request_.Headers.push_back(first_line);
  list_entry_ = request_.Host + ": " + first_line;
  monitor.Connections.AddConnection(*list_entry_);

  if (!ReadRequestHeaderLines(browser_, deadline, request_.Headers, first_line.size())) {
    LogHeadTimeOut(deadline);
    return std::nullopt;
  }

  {
    MutexLock status(monitor.Counters.StatusLock());
    monitor.Log.AddLog(n + " : ## Header List below ##");
    monitor.Log.AddHeaderLog(n + " :", request_.Headers);
    monitor.Log.AddLog(n + " :" + " >> Request << ");
    monitor.Log.AddLog(n + " :" + request_.Method + " " + target + " " + request_.Version);
  }

  HeadReading reading = FrameRequestHead(request_.Headers, request_.Method, request_.Version);
  if (reading.fault) {
    RefuseRequest(*reading.fault);
    return std::nullopt;
  }
  return reading;
}

void RequestSession::RemoveHopByHopLines() {
  RemoveHeader(request_.Headers, "Proxy-Connection");
  RemoveHeader(request_.Headers, "Keep-Alive");
}

void RequestSession::ReadBody(const BodyFraming& framing) {
  // A chunked body is read through its end as well: left unread, its bytes would stay behind
  // as the next request, and the origin would wait for a body that never comes.
  request_.BodyLength = framing.kind == Framing::kLength ? framing.length : 0;
  const bool chunked = framing.kind == Framing::kChunked;
  // The body is read whole before the request goes on, so a browser that waits for "100
  // Continue" before sending it gets one from here; else it would send only when its own wait
  // runs out.
  if ((request_.BodyLength > 0 || chunked) && request_.Version == "HTTP/1.1" &&
      HasToken(HeaderValue(request_.Headers, "Expect"), "100-continue")) {
    browser_.WriteHead({"HTTP/1.1 100 Continue"});
    Log(" : 100 Continue sent to the browser");
  }
  if (request_.BodyLength > 0)
    request_.Body.ReadFrom(browser_, request_.BodyLength, context_.program_folder);
  else if (chunked)
    request_.Body.ReadChunkedFrom(browser_, context_.program_folder);
}

void RequestSession::RefuseRequest(const HeadFault& fault) {
  Log(" : Error; " + fault.reason + "; the request is refused.");
  SendPageAnswer(fault.status == 501 ? " 501 Not Implemented" : " 400 Bad Request.",
                 "Trovanex did not relay this request: " + fault.reason + ".\r\n",
                 "text/plain; charset=utf-8");
}

void RequestSession::LogHeadTimeOut(const HeadDeadline& deadline) {
  Log(" : Error; no whole request head within " + std::to_string(deadline.TimeoutMs()) +
      " ms; connection closed.");
}

bool RequestSession::RefusedScheme() {
  if (request_.UnsupportedScheme.empty()) return false;
  Log(" : Error; " + request_.UnsupportedScheme + ":// is not relayed as a plain request.");
  SendPageAnswer(" 501 Not Implemented",
                 "Trovanex relays http:// addresses only; " + request_.UnsupportedScheme +
                     ":// cannot be sent as a plain request.\r\n",
                 "text/plain; charset=utf-8");
  return true;
}

bool RequestSession::AnsweredFromStore() {
  const std::string stored = context_.hash_list.LocalFileFor(
      request_.HostPath, request_.Https ? CopyScheme::kHttps : CopyScheme::kHttp);
  if (stored.empty() ||
      !SendLocalFileAnswer(browser_, request_, stored,
                           static_cast<std::size_t>(config_->RelayBufferSize()), context_.monitor))
    return false;
  answered_whole_ = true;
  return true;
}

void RequestSession::SendPageAnswer(const std::string& status, std::string_view page,
                                    std::string_view content_type) {
  // The browser may be gone already: each write is skipped then, and failures are ignored.
  try {
    if (browser_.IsConnected()) browser_.WriteLine(request_.Version + status);
    if (!content_type.empty() && browser_.IsConnected())
      browser_.WriteLine("Content-Type: " + std::string(content_type));
    if (browser_.IsConnected())
      browser_.WriteLine("Content-Length: " + std::to_string(page.size()));
    // Every answer made here ends its connection, inside an opened tunnel too.
    if (browser_.IsConnected()) browser_.WriteLine("Connection: close");
    if (browser_.IsConnected()) browser_.WriteLine("");
    if (browser_.IsConnected()) browser_.WriteBytes(page);
  } catch (const NetError&) {
  }
}

bool RequestSession::ConnectTo(OriginRoute& route, const std::string& host, int port) {
  Connection& origin = *route.Origin();
  origin.SetReadTimeout(config_->ReadTimeout);
  try {
    origin.ConnectTo(host, port, config_->ConnectionTimeout, context_.listen_port.load());
    Log(" : Bound IP is ");
  } catch (const SelfConnection&) {
    // Any page could make the proxy call itself round and round with such an address.
    Log(" : Error; " + host + ":" + std::to_string(port) + " is this proxy itself; not connected.");
    route.Release();
    return false;
  } catch (const ConnectTimedOut&) {
    Log("***Error: TIMEOUT***");
    route.Release();
    context_.monitor.Messages.ShowStatusMessage("Error: 接続がタイムアウトしました！");
    SendPageAnswer(" 504 Gateway Timeout.", context_.pages.ConnectTimeoutPage);
    return false;
  } catch (const SocketFailure& failure) {
    Log("***Error: WinSock " + std::to_string(failure.Code) + "***");
    if (failure.Code == kWsaHostNotFound) {
      route.Release();
      Log(" : Error; ドメインネームが解決できてなかったりホストが無かったり？");
      SendPageAnswer(" 504 Unknown domain name.", context_.pages.HostNotFoundPage);
      return false;
    }
    // Any other code: the request is sent on a closed connection, which fails, and the
    // browser sees its connection closed without an answer.
  } catch (const NetError& failure) {
    Log(std::string(" : error! exception is") + failure.KindName());
  }
  return true;
}

void RequestSession::Exchange() {
  capture_->Match(request_);
  if (!route_->Connect(*this)) return;
  if (!ReadAnswerHead()) return;
  if (StatusCode(request_.Headers.front()) == 101 && TookOverSwitch()) return;
  RelayAnswerBody();
}

bool RequestSession::ReadAnswerHead() {
  Connection& origin = *route_->Origin();
  origin.WriteLines(request_.Headers);
  request_.Headers.clear();
  if (request_.Body.Present()) {
    request_.Body.WriteTo(origin);
    request_.Body.Release();
  }

  std::string status = origin.ReadLine();
  // An interim answer (100 Continue, 103 Early Hints) goes to the browser as it came and the
  // final one follows; taken for the answer, it would end the connection before the real one.
  for (int code = StatusCode(status); code >= 100 && code < 200 && code != 101;
       code = StatusCode(status)) {
    std::vector<std::string> interim{std::move(status)};
    origin.ReadHeaderBlock(interim);
    browser_.WriteHead(interim);
    context_.monitor.Log.AddHeaderLog(Prefix() + " :", interim);
    status = origin.ReadLine();
  }
  // The code after the version, nothing else: "404 Not Found 200" is no success.
  state_.StatusOk = StatusCode(status) == 200;
  request_.Headers.push_back(std::move(status));
  if (!state_.StatusOk) capture_->DropMatch();
  origin.ReadHeaderBlock(request_.Headers);

  const HeadReading reading = FrameAnswerHead(request_.Headers, request_.Method);
  if (reading.fault) {
    RefuseAnswer(*reading.fault);
    return false;
  }
  framing_ = reading.framing.kind;
  state_.Chunked = framing_ == Framing::kChunked;
  state_.Remaining = framing_ == Framing::kLength ? reading.framing.length
                     : framing_ == Framing::kNone ? 0
                                                  : -1;
  const std::string& status_line = request_.Headers.front();
  const int code = StatusCode(status_line);
  origin_closes_ = ClosesAfter(request_.Headers, status_line.substr(0, status_line.find(' '))) ||
                   framing_ == Framing::kUntilClose;
  if (state_.Chunked) Log(" : \"Chunked\" flag on.");
  state_.ContentType = HeaderValue(request_.Headers, "Content-Type");
  state_.ContentEncoding = HeaderValue(request_.Headers, "Content-Encoding");

  // The browser is told when this answer ends its connection: always outside an opened tunnel,
  // unless the connection goes on as a tunnel.
  const bool switches = code == 101 || (IsConnect() && code >= 200 && code <= 299);
  if (!switches && !GoesOnAfterAnswer()) {
    RemoveHeader(request_.Headers, "Keep-Alive");
    RemoveHeader(request_.Headers, "Proxy-Connection");
    SetHeader(request_.Headers, "Connection", "close");
  }
  browser_.WriteHead(request_.Headers);
  // "Responce" is this system's own spelling in its log; readers of the log look for it.
  Log(" :" + std::string(" >> Request Sent. Responce Header Below <<"));
  context_.monitor.Log.AddHeaderLog(Prefix() + " :", request_.Headers);
  return true;
}

void RequestSession::RefuseAnswer(const HeadFault& fault) {
  capture_->DropMatch();
  Log(" : Error; " + fault.reason + "; the answer is not relayed.");
  // The rest of such an answer cannot be told from the next one: the origin connection goes.
  route_->Spoil();
  route_->Origin()->Disconnect();
  SendPageAnswer(" 502 Bad Gateway",
                 "Trovanex did not relay this answer: " + fault.reason + ".\r\n",
                 "text/plain; charset=utf-8");
}

void RequestSession::RelayAnswerBody() {
  if (framing_ == Framing::kNone)
    capture_->DropMatch();  // an empty capture would stand for the content from then on
  capture_->StartCapture(request_, state_);
  Log(" :" + std::string(" >> Responce Header end. Receiving Content Data <<"));
  Log(" :" + std::string(" > Content Length: ") + std::to_string(state_.Remaining));
  capture_->ShowCaptureNotice();
  if (!route_->Origin()->IsConnected() || !browser_.IsConnected())
    Log(" :" + std::string("...why? disconnected."));
  Relay();
}

void RequestSession::Relay() {
  BodyRelay relay{
      *route_->Origin(), browser_,         state_,
      *capture_,         context_.monitor, static_cast<std::size_t>(config_->RelayBufferSize()),
      Prefix()};
  try {
    relay.Run();
    answered_whole_ = state_.Remaining == 0;
    Log(" : Read End");
  } catch (const ReadTimedOut&) {
    context_.monitor.Messages.ShowStatusMessage("Error: 読み込みがタイムアウトしました！");
    Log(" : Read Timed out");
  } catch (const std::exception&) {
    Log(" Some Exception occur.");
  }
}

void RequestSession::RelayBothWays() {
  Log(" : >> Tunnel established <<");
  // No read time-out here: browsers keep idle TLS connections open for minutes. Stopping the
  // program aborts the browser connection, and with it the origin's.
  const Connection::TunnelCounts counts =
      browser_.Tunnel(*route_->Origin(), [this](std::size_t length) {
        context_.monitor.Throughput.AddBytes(static_cast<std::uint32_t>(length));
      });
  Log(" : >> Tunnel closed << to origin " + std::to_string(counts.to_other) +
      " bytes, to browser " + std::to_string(counts.to_this) + " bytes");
}

void RequestSession::End() {
  if (ended_) return;
  ended_ = true;
  const std::string n = Prefix();
  // The browser is let go before the capture is decided: it has its answer, and the decision
  // (decoding a compressed copy, a question to the user) may take long.
  BeforeRelease();
  if (route_ && route_->Origin()) {
    route_->Release();
    context_.monitor.Log.AddDebugLog(n + " : *** Client Component Freed ***");
  }
  request_.Body.Release();
  request_.Headers.clear();
  LetGo(std::make_shared<RequestEnding>(
      RequestEnding{context_, n, std::move(capture_), state_, std::move(list_entry_)}));
}

void RequestEnding::Run() {
  auto& monitor = context.monitor;
  const bool debug = monitor.Log.DebugMode();
  if (capture) {
    try {
      capture->FinishCapture(state);
    } catch (...) {
      // A decision that failed must not keep the connection from ending; the capture logs it.
    }
    capture.reset();
  }
  // Listed and counted as open until its capture is decided.
  if (list_entry) {
    if (debug) monitor.Log.AddDebugLog(prefix + " : *** deleting from connection list ***");
    try {
      monitor.Connections.RemoveConnection(*list_entry);
      if (debug) monitor.Log.AddDebugLog(prefix + " : *** delete done ***");
    } catch (...) {
      if (debug) monitor.Log.AddDebugLog(prefix + " : ### exception in deleting conn list ###");
    }
  }
  monitor.Log.AddLog(prefix + " : << Connection end >>");
  monitor.Counters.ConnectionEnded();
  monitor.Messages.SetStatusText("");
}

}  // namespace trovanex
