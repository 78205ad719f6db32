#include "engine/connection_session.h"

#include "engine/body_relay.h"
#include "engine/builtin_answers.h"
#include "engine/message_head.h"
#include "model/command_line.h"
#include "platform/net_errors.h"
#include "platform/socket_error.h"
#include "platform/text.h"

namespace trovanex {
namespace {

constexpr char kLocalClient[] = "127.0.0.1";

}  // namespace

void AdmitConnection(EngineContext& context, Connection& browser) {
  const std::string address = browser.PeerAddress();
  if (!context.settings.Current()->AllowOuterConnection && address != kLocalClient) {
    context.monitor.Log.AddLog("### warining : 外部からの接続を感知しました。 ### ");
    context.monitor.Log.AddLog("### 接続を切りました。###");
    browser.Disconnect();
    return;
  }
  context.monitor.Counters.NoteClientAddress(address);
}

ConnectionSession::ConnectionSession(EngineContext& context, Connection& browser,
                                     OpenedTunnel* tunnel)
    : context_(context), browser_(browser), config_(context.settings.Current()), tunnel_(tunnel) {}

ConnectionSession::~ConnectionSession() {
  if (started_ && !cleaned_up_) {
    try {
      CleanUp();
    } catch (...) {
    }
  }
}

void ConnectionSession::Log(const std::string& text) {
  if (context_.monitor.Log.Listening()) context_.monitor.Log.AddLog(Prefix() + text);
}

void ConnectionSession::Run() {
  request_.ConnectionNo = context_.monitor.Counters.ConnectionStarted();
  if (context_.new_capture) capture_ = context_.new_capture(request_.ConnectionNo, config_);
  if (!capture_) capture_ = std::make_unique<CaptureHooks>();
  started_ = true;
  try {
    if (ReadRequest()) Dispatch();
  } catch (...) {
    CleanUp();
    throw;
  }
  CleanUp();
}

bool ConnectionSession::ReadRequest() {
  // The whole head must come within the read time-out: a browser that sends nothing, or a byte
  // now and then, would hold its thread for ever.
  const HeadDeadline deadline =
      tunnel_ ? tunnel_->head_deadline : HeadDeadline(config_->ReadTimeout);
  std::string line;
  if (tunnel_) {
    line = std::move(tunnel_->first_line);
  } else if (auto first = ReadRequestLine(browser_, deadline)) {
    line = std::move(*first);
  } else {
    LogHeadTimeOut(deadline);
    return false;
  }
  request_.RequestLine = line;
  request_.Port = tunnel_ ? tunnel_->port : 80;
  if (tunnel_)
    ParseTunnelRequestLine(request_.RequestLine, tunnel_->host, request_);
  else
    ParseRequestLine(request_.RequestLine, request_);
  if (request_.Method == "error") return false;
  const bool tunnel = IsTunnel();
  // A tunnel names a host and a port where other requests name a path.
  const std::string target =
      tunnel ? request_.Host + ":" + std::to_string(request_.Port) : request_.Path;

  auto& monitor = context_.monitor;
  const std::string n = Prefix();
  {
    MutexLock status(monitor.Counters.StatusLock());
    monitor.Log.AddLog(n + " :" + request_.Method);
    monitor.Log.AddLog(n + " :" + request_.Host);
    monitor.Log.AddLog(n + " :" + (tunnel ? std::to_string(request_.Port) : request_.Path));
  }

  // A CONNECT line is the same in both forms: it goes to an upstream proxy unchanged.
  // Inside an opened tunnel the origin itself gets the request, in its own form.
  const std::string first_line =
      (config_->UseProxy && !tunnel_) || tunnel
          ? request_.RequestLine
          : request_.Method + " " + request_.Path + " " + request_.Version;
  request_.Headers.push_back(first_line);
  list_entry_ = request_.Host + ": " + first_line;
  monitor.Connections.AddConnection(*list_entry_);

  if (!ReadRequestHeaderLines(browser_, deadline, request_.Headers, first_line.size())) {
    LogHeadTimeOut(deadline);
    return false;
  }

  {
    MutexLock status(monitor.Counters.StatusLock());
    monitor.Log.AddLog(n + " : ## Header List below ##");
    monitor.Log.AddHeaderLog(n + " :", request_.Headers);
    monitor.Log.AddLog(n + " :" + " >> Request << ");
    monitor.Log.AddLog(n + " :" + request_.Method + " " + target + " " + request_.Version);
  }

  const HeadReading reading = FrameRequestHead(request_.Headers, request_.Method, request_.Version);
  if (reading.fault) {
    RefuseRequest(*reading.fault);
    return false;
  }
  // What follows a CONNECT head belongs to the tunnel, whatever the head says.
  if (tunnel) return true;
  if (!KeepsToItsHost()) return false;
  // Hop-by-hop words of the browser to this proxy; an origin would take them as its own.
  RemoveHeader(request_.Headers, "Proxy-Connection");
  RemoveHeader(request_.Headers, "Keep-Alive");
  if (tunnel_) browser_closes_ = ClosesAfter(request_.Headers, request_.Version);
  // A chunked body is read through its end as well: left unread, its bytes would stay behind
  // as the next request, and the origin would wait for a body that never comes.
  request_.BodyLength = reading.framing.kind == Framing::kLength ? reading.framing.length : 0;
  const bool chunked = reading.framing.kind == Framing::kChunked;
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
  return true;
}

bool ConnectionSession::KeepsToItsHost() {
  if (!tunnel_) {
    // The origin's own virtual host must answer for the address the copy is kept under, so
    // the Host line is the target's, whatever the browser wrote there.
    if (!request_.TargetAuthority.empty())
      SetHeader(request_.Headers, "Host", request_.TargetAuthority);
    return true;
  }
  const std::string host_line = HeaderValue(request_.Headers, "Host");
  const bool named_host =
      host_line.empty() || AuthorityNames(host_line, tunnel_->connect_host, tunnel_->port);
  const bool named_target =
      request_.TargetAuthority.empty() ||
      AuthorityNames(request_.TargetAuthority, tunnel_->connect_host, tunnel_->port);
  if (named_host && named_target) {
    if (host_line.empty())
      SetHeader(request_.Headers, "Host",
                tunnel_->port == 443 ? tunnel_->connect_host
                                     : tunnel_->connect_host + ":" + std::to_string(tunnel_->port));
    return true;
  }
  const std::string named = named_target ? host_line : request_.TargetAuthority;
  Log(" : Error; a request for " + named + " inside the tunnel to " + tunnel_->connect_host +
      "; not sent on.");
  SendPageAnswer(" 421 Misdirected Request",
                 "Trovanex did not relay this request: this connection serves " +
                     tunnel_->connect_host + " only, not " + named + ".\r\n",
                 "text/plain; charset=utf-8");
  return false;
}

void ConnectionSession::RefuseRequest(const HeadFault& fault) {
  Log(" : Error; " + fault.reason + "; the request is refused.");
  SendPageAnswer(fault.status == 501 ? " 501 Not Implemented" : " 400 Bad Request.",
                 "Trovanex did not relay this request: " + fault.reason + ".\r\n",
                 "text/plain; charset=utf-8");
}

void ConnectionSession::LogHeadTimeOut(const HeadDeadline& deadline) {
  Log(" : Error; no whole request head within " + std::to_string(deadline.TimeoutMs()) +
      " ms; connection closed.");
}

void ConnectionSession::Dispatch() {
  if (IsTunnel()) {
    OpenTunnel();
    return;
  }
  if (!request_.UnsupportedScheme.empty()) {
    Log(" : Error; " + request_.UnsupportedScheme + ":// is not relayed as a plain request.");
    SendPageAnswer(" 501 Not Implemented",
                   "Trovanex relays http:// addresses only; " + request_.UnsupportedScheme +
                       ":// cannot be sent as a plain request.\r\n",
                   "text/plain; charset=utf-8");
    return;
  }
  if (request_.Host == kResourceHost && !tunnel_) {
    if (request_.Path == kCaCertificatePath) {
      SendCaCertificate();
      return;
    }
    SendResourceAnswer(browser_, request_);
    return;
  }
  const std::string stored = context_.hash_list.LocalFileFor(
      request_.HostPath, request_.Https ? CopyScheme::kHttps : CopyScheme::kHttp);
  if (!stored.empty() &&
      SendLocalFileAnswer(browser_, request_, stored,
                          static_cast<std::size_t>(config_->RelayBufferSize()), context_.monitor)) {
    answered_whole_ = true;
    return;
  }
  Exchange();
}

void ConnectionSession::SendPageAnswer(const std::string& status, std::string_view page,
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

void ConnectionSession::OpenUpstream() {
  if (tunnel_) {
    if (!tunnel_->origin) tunnel_->origin.emplace();
    upstream_ = &*tunnel_->origin;
  } else {
    upstream_ = &own_upstream_.emplace();
  }
  upstream_link_.emplace(browser_, *upstream_);
}

void ConnectionSession::DropUpstream() {
  upstream_link_.reset();
  upstream_ = nullptr;
  // An opened tunnel's origin outlives the request while the tunnel keeps it.
  if (tunnel_ && !tunnel_->keep_alive) tunnel_->origin.reset();
  own_upstream_.reset();
}

bool ConnectionSession::Connect() {
  if (tunnel_) return ConnectOriginTls();
  const std::string& host = config_->UseProxy ? config_->ProxyAddress : request_.Host;
  const int port = config_->UseProxy ? config_->ProxyPort : request_.Port;
  OpenUpstream();
  if (!IsTunnel()) capture_->Match(request_);
  return ConnectUpstream(host, port);
}

bool ConnectionSession::ConnectUpstream(const std::string& host, int port) {
  upstream_->SetReadTimeout(config_->ReadTimeout);
  try {
    upstream_->ConnectTo(host, port, config_->ConnectionTimeout, context_.listen_port.load());
    Log(" : Bound IP is ");
  } catch (const SelfConnection&) {
    // Any page could make the proxy call itself round and round with such an address.
    Log(" : Error; " + host + ":" + std::to_string(port) + " is this proxy itself; not connected.");
    DropUpstream();
    return false;
  } catch (const ConnectTimedOut&) {
    Log("***Error: TIMEOUT***");
    DropUpstream();
    context_.monitor.Messages.ShowStatusMessage("Error: 接続がタイムアウトしました！");
    SendPageAnswer(" 504 Gateway Timeout.", context_.pages.ConnectTimeoutPage);
    return false;
  } catch (const SocketFailure& failure) {
    Log("***Error: WinSock " + std::to_string(failure.Code) + "***");
    if (failure.Code == kWsaHostNotFound) {
      DropUpstream();
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

bool ConnectionSession::ReadAnswerHead() {
  Connection& upstream = *upstream_;
  upstream.WriteLines(request_.Headers);
  request_.Headers.clear();
  if (request_.Body.Present()) {
    request_.Body.WriteTo(upstream);
    request_.Body.Release();
  }

  std::string status = upstream.ReadLine();
  // An interim answer (100 Continue, 103 Early Hints) goes to the browser as it came and the
  // final one follows; taken for the answer, it would end the connection before the real one.
  for (int code = StatusCode(status); code >= 100 && code < 200 && code != 101;
       code = StatusCode(status)) {
    std::vector<std::string> interim{std::move(status)};
    upstream.ReadHeaderBlock(interim);
    browser_.WriteHead(interim);
    context_.monitor.Log.AddHeaderLog(Prefix() + " :", interim);
    status = upstream.ReadLine();
  }
  // The code after the version, nothing else: "404 Not Found 200" is no success.
  state_.StatusOk = StatusCode(status) == 200;
  request_.Headers.push_back(std::move(status));
  if (!state_.StatusOk) capture_->DropMatch();
  upstream.ReadHeaderBlock(request_.Headers);

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
  const bool switches = code == 101 || (IsTunnel() && code >= 200 && code <= 299);
  if (!switches && (!tunnel_ || browser_closes_ || origin_closes_)) {
    RemoveHeader(request_.Headers, "Keep-Alive");
    RemoveHeader(request_.Headers, "Proxy-Connection");
    SetHeader(request_.Headers, "Connection", "close");
  }
  browser_.WriteHead(request_.Headers);
  const std::string n = Prefix();
  Log(" :" + std::string(" >> Request Sent. Responce Header Below <<"));
  context_.monitor.Log.AddHeaderLog(n + " :", request_.Headers);
  return true;
}

void ConnectionSession::RefuseAnswer(const HeadFault& fault) {
  capture_->DropMatch();
  Log(" : Error; " + fault.reason + "; the answer is not relayed.");
  // The rest of such an answer cannot be told from the next one: the origin connection goes.
  if (tunnel_) tunnel_->keep_alive = false;
  upstream_->Disconnect();
  SendPageAnswer(" 502 Bad Gateway",
                 "Trovanex did not relay this answer: " + fault.reason + ".\r\n",
                 "text/plain; charset=utf-8");
}

void ConnectionSession::Exchange() {
  if (!Connect()) return;
  if (!ReadAnswerHead()) return;
  if (tunnel_ && StatusCode(request_.Headers.front()) == 101) {
    // A protocol switch (a WebSocket) inside an opened tunnel: bytes both ways from here on.
    tunnel_->keep_alive = false;
    capture_->DropMatch();
    RunTunnel();
    return;
  }
  RelayAnswerBody();
}

void ConnectionSession::RelayAnswerBody() {
  if (framing_ == Framing::kNone)
    capture_->DropMatch();  // an empty capture would stand for the content from then on
  capture_->StartCapture(request_, state_);
  Log(" :" + std::string(" >> Responce Header end. Receiving Content Data <<"));
  Log(" :" + std::string(" > Content Length: ") + std::to_string(state_.Remaining));
  capture_->ShowCaptureNotice();
  if (!upstream_->IsConnected() || !browser_.IsConnected())
    Log(" :" + std::string("...why? disconnected."));
  Relay();
}

void ConnectionSession::Relay() {
  BodyRelay relay{*upstream_,       browser_,
                  state_,           *capture_,
                  context_.monitor, static_cast<std::size_t>(config_->RelayBufferSize()),
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

void ConnectionSession::CleanUp() {
  if (cleaned_up_) return;
  cleaned_up_ = true;
  auto& monitor = context_.monitor;
  const std::string n = Prefix();

  // The browser is let go before the capture is decided: it has its answer, and the decision
  // (decoding a compressed copy, a question to the user) may take long.
  if (tunnel_) DecideKeepAlive();
  if (upstream_) {
    DropUpstream();
    monitor.Log.AddDebugLog(n + " : *** Client Component Freed ***");
  }
  request_.Body.Release();
  request_.Headers.clear();
  // Inside an opened tunnel the tunnel's own session ends the browser connection.
  if (!tunnel_) browser_.Disconnect();

  auto ending = std::make_shared<RequestEnding>(
      RequestEnding{context_, n, std::move(capture_), state_, std::move(list_entry_)});
  // Inside an opened tunnel the next request is read meanwhile; a plain connection's thread
  // has nothing else to do.
  if (tunnel_ && ending->capture && ending->capture->Undecided())
    tunnel_->endings.HandOver([ending] { ending->Run(); });
  else
    ending->Run();
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
