// One browser request, from its first line to the clean-up, and the parsing of its parts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/request_body.h"

namespace trovanex {

struct TProxyRequest {
  std::uint32_t ConnectionNo = 0;
  std::string RequestLine;
  std::string Method;  // "error" marks a line that was not accepted
  std::string Host;
  std::int32_t Port = 80;
  std::string Path;      // from the first "/" of the target on: path and query
  std::string Version;   // "HTTP/1.0" or "HTTP/1.1": starts every answer the proxy makes
  std::string HostPath;  // Host + Path: matched, named after and looked up
  // Read inside an opened HTTPS tunnel: its answer came over verified TLS, and a copy kept from
  // it is answered from disk only to such requests, never to plain ones (nor the reverse).
  bool Https = false;
  // The authority of an absolute target ("a.b:8080" of "http://u@a.b:8080/x"), without user
  // information; empty for a target without a scheme.
  std::string TargetAuthority;
  // The scheme of an absolute address that is not http:// ("https", "ftp"): such a request is
  // answered by the proxy and never sent anywhere.
  std::string UnsupportedScheme;
  std::vector<std::string> Headers;  // request block going upstream, later the answer's head
  std::int64_t BodyLength = 0;
  RequestBody Body;
};

// Parses a request line into Method, Host, Port, Path and Version (Port must hold 80 on entry
// and changes only when the target names one). An unacceptable line (a control character in
// it, or a CONNECT target that is not host:port) sets only Method to "error". A CONNECT gives
// Host (an IPv6 address keeps its brackets) and Port, an empty Path and HostPath; a target of
// another scheme than http:// sets UnsupportedScheme. Throws std::invalid_argument for a port
// that is not a decimal number.
void ParseRequestLine(const std::string& line, TProxyRequest& request);

// Parses a request line read inside an opened HTTPS tunnel to `host`: "METHOD /path HTTP/1.x"
// (or an absolute https:// target, whose own path then counts). Host is always the tunnel's
// host, whatever the line or the Host header say, since that is where the request goes;
// HostPath is host and path without a scheme, so an address kept over HTTPS and over HTTP is
// the same address. Port is left as it is. An unacceptable line (a control character, no
// path, a CONNECT) sets only Method to "error".
void ParseTunnelRequestLine(const std::string& line, const std::string& host,
                            TProxyRequest& request);

// Whether `authority` ("host" or "host:port", an IPv6 address in brackets) names `host`, letter
// case and one trailing dot aside, and `port` where it names a port at all.
bool AuthorityNames(std::string_view authority, std::string_view host, int port);

// A decimal 32-bit number with an optional sign and blanks around it; throws
// std::invalid_argument otherwise.
std::int32_t ParseDecimal32(std::string_view text);

// The code of a status line: the three digits after the version ("HTTP/1.1 404 Not Found"
// gives 404); -1 for a line without them.
int StatusCode(std::string_view status_line);

// The value of the first header line named `name` (ignoring case): the text after its ":",
// trimmed, with following continuation lines (starting with a blank or a tab) appended,
// trimmed, one blank between. Empty when there is no such line. The first line of `headers`
// (request or status line) is looked at like any other.
std::string HeaderValue(const std::vector<std::string>& headers, std::string_view name);

// Whether a comma-separated header value such as "keep-alive, Upgrade" holds `token`
// (ignoring case).
bool HasToken(std::string_view value, std::string_view token);

// Whether the side that sent `head` (a request or an answer, first line and headers) closes the
// connection after this message: "Connection: close", or HTTP/1.0 without keep-alive.
bool ClosesAfter(const std::vector<std::string>& head, std::string_view version);

}  // namespace trovanex
