// The points at which capturing rides on the relay of an answer, in the order the relay calls
// them. The relay itself never decides what is saved; a connection without capture uses the
// base class, which captures nothing.
#pragma once

#include <cstddef>

#include "engine/proxy_request.h"
#include "engine/relay_state.h"
#include "platform/connection.h"

namespace trovanex {

class CaptureHooks {
 public:
  virtual ~CaptureHooks() = default;

  // Before the connect: compare the request's address with the conditions.
  virtual void Match(const TProxyRequest& /*request*/) {}
  // The status line lacks "200": forget the match.
  virtual void DropMatch() {}
  // The answer's head went to the browser: open the capture file if the match stands.
  virtual void StartCapture(const TProxyRequest& /*request*/, const TRelayState& /*state*/) {}
  // After the "Receiving Content Data" lines: the notice that a capture runs.
  virtual void ShowCaptureNotice() {}
  // Where relayed body bytes are copied to; null when nothing is captured.
  virtual Connection::Copy* CaptureCopy() { return nullptr; }
  // `length` more bytes went to the capture file.
  virtual void CapturedPiece(std::size_t /*length*/) {}
  // Once per pass of the relay loop while capturing: the status-bar text.
  virtual void ShowCaptureStatus() {}
  // Whether FinishCapture has a capture file to decide (which may take long).
  virtual bool Undecided() const { return false; }
  // After the browser has its answer: keep, ask about or discard what was captured.
  virtual void FinishCapture(const TRelayState& /*state*/) {}
};

}  // namespace trovanex
