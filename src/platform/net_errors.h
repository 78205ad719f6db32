// The failures of the connection layer. Each ends the operation that raised it; the caller
// decides what it means.
#pragma once

#include <stdexcept>
#include <string>

namespace trovanex {

class NetError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  // A short name of the failure's kind, for log lines.
  virtual const char* KindName() const = 0;
};

// A read with the default wait waited longer than the connection's read time-out.
class ReadTimedOut : public NetError {
 public:
  ReadTimedOut() : NetError("Read timed out") {}
  const char* KindName() const override { return "ReadTimedOut"; }
};

// The connection is closed (by the peer, as a read found, or by this side).
class PeerClosed : public NetError {
 public:
  PeerClosed() : NetError("Connection closed gracefully.") {}
  const char* KindName() const override { return "PeerClosed"; }
};

// A read or write on a connection that has no socket at all.
class NotConnected : public NetError {
 public:
  NotConnected() : NetError("Not Connected") {}
  const char* KindName() const override { return "NotConnected"; }
};

// A socket call failed; Code is the Windows Sockets number.
class SocketFailure : public NetError {
 public:
  SocketFailure(int code, const std::string& text)
      : NetError("Socket Error # " + std::to_string(code) + "\r\n" + text), Code(code) {}
  const char* KindName() const override { return "SocketFailure"; }
  int Code;
};

// A connect did not finish within its time-out.
class ConnectTimedOut : public NetError {
 public:
  ConnectTimedOut() : NetError("Connect timed out.") {}
  const char* KindName() const override { return "ConnectTimedOut"; }
};

// A line had more than the maximum length before its LF.
class LineTooLong : public NetError {
 public:
  LineTooLong() : NetError("Max line length exceeded.") {}
  const char* KindName() const override { return "LineTooLong"; }
};

// Any other failure of a connect, without an error number.
class ConnectFailed : public NetError {
 public:
  explicit ConnectFailed(const std::string& text) : NetError(text) {}
  const char* KindName() const override { return "ConnectFailed"; }
};

// A header block grew beyond its limit (a block without end from a browser or an origin).
class HeaderBlockTooLarge : public NetError {
 public:
  HeaderBlockTooLarge() : NetError("Header block too large.") {}
  const char* KindName() const override { return "HeaderBlockTooLarge"; }
};

// A connect that would reach this machine's own listening port: a request that names the proxy
// itself would be relayed round and round.
class SelfConnection : public NetError {
 public:
  explicit SelfConnection(int port)
      : NetError("Refused: port " + std::to_string(port) + " of this machine is the proxy itself"),
        Port(port) {}
  const char* KindName() const override { return "SelfConnection"; }
  int Port;
};

}  // namespace trovanex
