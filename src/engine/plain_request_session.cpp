#include "engine/plain_request_session.h"

#include "engine/blind_tunnel.h"
#include "engine/builtin_answers.h"
#include "engine/https_opening.h"
#include "engine/opened_tunnel.h"

namespace trovanex {
namespace {

constexpr char kLocalClient[] = "127.0.0.1";

}  // namespace

void AdmitConnection(EngineContext& context, Connection& browser) {
  const std::string address = browser.PeerAddress();
  if (!context.settings.Current()->AllowOuterConnection && address != kLocalClient) {
    // "warining" is this system's own spelling in its log; readers of the log look for it.
    context.monitor.Log.AddLog("### warining : 外部からの接続を感知しました。 ### ");
    context.monitor.Log.AddLog("### 接続を切りました。###");
    browser.Disconnect();
    return;
  }
  context.monitor.Counters.NoteClientAddress(address);
}

PlainRequestSession::PlainRequestSession(EngineContext& context, Connection& browser)
    : RequestSession(context, browser), own_origin_(browser) {
  route_ = &own_origin_;
}

bool PlainRequestSession::ReadRequest() {
  // The whole head must come within the read time-out: a browser that sends nothing, or a byte
  // now and then, would hold its thread for ever.
  const HeadDeadline deadline(config_->ReadTimeout);
  std::optional<std::string> line = ReadRequestLine(browser_, deadline);
  if (!line) {
    LogHeadTimeOut(deadline);
    return false;
  }
  request_.RequestLine = std::move(*line);
  request_.Port = 80;
  ParseRequestLine(request_.RequestLine, request_);
  if (request_.Method == "error") return false;
  // A request to an upstream proxy goes as it came; a CONNECT line is the same in both forms.
  const std::optional<HeadReading> reading = ReadHead(
      config_->UseProxy || IsConnect() ? request_.RequestLine : OriginFormLine(), deadline);
  if (!reading) return false;
  // What follows a CONNECT head belongs to the tunnel, whatever the head says.
  if (IsConnect()) return true;
  // The origin's own virtual host must answer for the address the copy is kept under, so the
  // Host line is the target's, whatever the browser wrote there.
  if (!request_.TargetAuthority.empty())
    SetHeader(request_.Headers, "Host", request_.TargetAuthority);
  RemoveHopByHopLines();
  ReadBody(reading->framing);
  return true;
}

void PlainRequestSession::Serve() {
  if (!ReadRequest()) return;
  if (IsConnect()) {
    if (OpensTunnelForCapture())
      OpenedTunnelSession(*this).Run();
    else
      BlindTunnel(*this, own_origin_).Run();
    return;
  }
  if (RefusedScheme()) return;
  if (request_.Host == kResourceHost) {
    if (request_.Path == kCaCertificatePath)
      SendCaCertificate();
    else
      SendResourceAnswer(browser_, request_);
    return;
  }
  if (AnsweredFromStore()) return;
  Exchange();
}

void PlainRequestSession::LetGo(std::shared_ptr<RequestEnding> ending) {
  // A plain connection's thread has nothing else to do: the capture is decided here, after.
  browser_.Disconnect();
  ending->Run();
}

bool PlainRequestSession::OpensTunnelForCapture() {
  const HttpsSettings& https = config_->Https;
  if (!context_.https || !https.Capture || !https.Hosts.Matches(request_.Host)) return false;
  const HttpsReadiness readiness = context_.https->Ready();
  if (readiness.usable) return true;
  if (const auto& problem = readiness.to_report) {
    Log(" : Error; " + *problem + "; HTTPS is not opened.");
    context_.monitor.Messages.ShowStatusMessage("Error: ローカル認証局が使えません (" + *problem +
                                                ")");
  }
  return false;
}

void PlainRequestSession::SendCaCertificate() {
  std::string pem;
  if (context_.https) {
    const HttpsReadiness readiness = context_.https->Ready();
    if (readiness.usable) pem = context_.https->CaCertificatePem();
    if (readiness.to_report) Log(" : Error; " + *readiness.to_report);
  }
  if (pem.empty()) {
    SendPageAnswer(" 404 Not found.", "No local certificate authority is available.\r\n",
                   "text/plain; charset=utf-8");
    return;
  }
  SendPageAnswer(" 200 OK", pem, "application/x-x509-ca-cert");
}

}  // namespace trovanex
