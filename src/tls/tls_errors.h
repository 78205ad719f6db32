// The failures of the TLS layer, beside those of the connection layer (platform/net_errors.h):
// each ends the connection it happened on; the engine decides what the browser is told.
#pragma once

#include <string>

#include "platform/net_errors.h"

namespace trovanex {

// A handshake, a record or a certificate could not be made or read. `Reason` is short and
// readable ("handshake timed out", "wrong version number").
class TlsFailure : public NetError {
 public:
  explicit TlsFailure(const std::string& reason) : NetError("TLS: " + reason), Reason(reason) {}
  const char* KindName() const override { return "TlsFailure"; }
  std::string Reason;
};

// The origin's certificate did not verify for `Host`; `Reason` says why ("certificate has
// expired", "Hostname mismatch"). Nothing may be relayed over such a connection.
class TlsVerifyFailed : public TlsFailure {
 public:
  TlsVerifyFailed(const std::string& host, const std::string& reason)
      : TlsFailure("certificate of " + host + " not trusted: " + reason), Host(host) {
    Reason = reason;
  }
  const char* KindName() const override { return "TlsVerifyFailed"; }
  std::string Host;
};

}  // namespace trovanex
