#include "engine/proxy_request.h"

#include <algorithm>
#include <stdexcept>

#include "platform/text.h"

namespace trovanex {
std::int32_t ParseDecimal32(std::string_view text) {
  text = TrimBlanks(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > 10) throw std::invalid_argument("not a number");
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') throw std::invalid_argument("not a number");
    value = value * 10 + (c - '0');
  }
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) throw std::invalid_argument("out of range");
  return static_cast<std::int32_t>(value);
}

namespace {

// A NUL or another control character (tab aside) never belongs in a request line; names made
// from such an address could not be stored or listed.
bool HasControlCharacter(std::string_view line) {
  return std::any_of(line.begin(), line.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && c != '\t') || byte == 0x7F;
  });
}

// The scheme of an absolute address ("https" of "https://a.b/"), empty when the target has
// none.
std::string_view SchemeOf(std::string_view target) {
  const auto end = target.find("://");
  if (end == std::string_view::npos || end == 0) return {};
  const std::string_view scheme = target.substr(0, end);
  const auto allowed = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
  };
  const char first = scheme.front();
  if (!((first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z'))) return {};
  return std::all_of(scheme.begin(), scheme.end(), allowed) ? scheme : std::string_view();
}

// Splits "host:port" (host a name, a dotted address or a bracketed IPv6 address). `port` stays
// untouched without a port; throws std::invalid_argument for a port that is not a number.
// Returns false for a bracket that is never closed or followed by something else.
bool SplitHostPort(std::string_view authority, std::string& host, std::int32_t& port,
                   bool& has_port) {
  std::size_t colon;
  if (authority.starts_with('[')) {
    const auto close = authority.find(']');
    if (close == std::string_view::npos) return false;
    if (close + 1 < authority.size() && authority[close + 1] != ':') return false;
    colon = close + 1 < authority.size() ? close + 1 : std::string_view::npos;
  } else {
    colon = authority.find(':');
  }
  has_port = colon != std::string_view::npos;
  host = authority.substr(0, colon);
  if (has_port) port = ParseDecimal32(authority.substr(colon + 1));
  return true;
}

// The parser's first reading of an http:// target: the scheme dropped by position, and a port
// only after a dot. Kept for every target whose result it gets right, since stored addresses
// and rules were made with it.
void ParseByPosition(std::string_view target, TProxyRequest& request) {
  target.remove_prefix(std::min<std::size_t>(7, target.size()));
  bool slash = false, dot = false, colon = false;
  for (const char c : target) {
    if (c == '/') slash = true;
    if (c == '.') dot = true;
    if (c == ':' && dot) colon = true;
    if (dot && slash) break;
  }

  if (colon) {
    const auto at = target.find(':');
    request.Host = target.substr(0, at);
    const std::string_view after = target.substr(at + 1);
    if (slash) {
      const auto path_at = after.find('/');
      request.Port = ParseDecimal32(after.substr(0, path_at));
      request.Path = path_at == std::string_view::npos ? "" : after.substr(path_at);
    } else {
      request.Port = ParseDecimal32(after);
      request.Path = "/";
    }
  } else {
    const auto path_at = target.find('/');
    if (path_at == std::string_view::npos) {
      request.Host.clear();
      request.Path = target;
    } else {
      request.Host = target.substr(0, path_at);
      request.Path = target.substr(path_at);
    }
  }
}

// The two http:// forms the first reading gets wrong: a port after a host name without a dot
// ("localhost:8080", "[::1]:8080") and an address without a path ("a.b"). Everything up to the
// first "/" (or "?") is the host and port; a missing path is "/".
bool ParseAuthorityFirst(std::string_view target, TProxyRequest& request) {
  const std::string_view rest = target.substr(7);
  const auto path_at = rest.find_first_of("/?");
  const std::string_view authority = rest.substr(0, path_at);
  const bool dotted_port = authority.find('.') != std::string_view::npos &&
                           authority.find('.') < authority.find(':') &&
                           authority.find(':') != std::string_view::npos;
  const bool needs_mending = rest.find('/') == std::string_view::npos ||
                             (authority.find(':') != std::string_view::npos && !dotted_port);
  if (!needs_mending || authority.empty()) return false;
  bool has_port = false;
  if (!SplitHostPort(authority, request.Host, request.Port, has_port)) return false;
  request.Path = path_at == std::string_view::npos ? "/" : std::string(rest.substr(path_at));
  if (request.Path.front() == '?') request.Path.insert(0, "/");
  return true;
}

// The authority after "scheme://" up to the path, query or fragment, user information dropped.
std::string AuthorityOf(std::string_view target) {
  const auto start = target.find("://");
  if (start == std::string_view::npos) return {};
  std::string_view authority = target.substr(start + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  const auto at = authority.rfind('@');
  return std::string(at == std::string_view::npos ? authority : authority.substr(at + 1));
}

std::string_view WithoutTrailingDot(std::string_view host) {
  if (host.ends_with('.')) host.remove_suffix(1);
  return host;
}

bool ParseConnectTarget(std::string_view target, std::string& host, std::int32_t& port) {
  bool has_port = false;
  std::int32_t parsed = 0;
  try {
    if (!SplitHostPort(target, host, parsed, has_port)) return false;
  } catch (const std::invalid_argument&) {
    return false;
  }
  if (!has_port || host.empty() || host == "[]" || parsed < 1 || parsed > 65535) return false;
  if (host.find_first_of("/@ ") != std::string::npos) return false;
  port = parsed;
  return true;
}

}  // namespace

void ParseRequestLine(const std::string& line, TProxyRequest& request) {
  const std::string_view text = line;
  if ((!text.ends_with("HTTP/1.0") && !text.ends_with("HTTP/1.1")) || HasControlCharacter(text)) {
    request.Method = "error";
    return;
  }
  const auto first_blank = text.find(' ');
  request.Method = first_blank == std::string_view::npos ? "" : text.substr(0, first_blank);
  const std::string_view rest =
      first_blank == std::string_view::npos ? text : text.substr(first_blank + 1);
  const auto second_blank = rest.find(' ');
  const std::string_view target =
      second_blank == std::string_view::npos ? std::string_view() : rest.substr(0, second_blank);
  request.Version = second_blank == std::string_view::npos ? rest : rest.substr(second_blank + 1);

  if (request.Method == "CONNECT") {
    // A tunnel's target is "host:port"; it names no path and is never matched or stored.
    if (!ParseConnectTarget(target, request.Host, request.Port)) request.Method = "error";
    request.Path.clear();
    request.HostPath.clear();
    return;
  }
  const std::string_view scheme = SchemeOf(target);
  if (!scheme.empty() && !EqualsIgnoringCase(scheme, "http")) {
    // Dropping seven characters of it would send the request to a mangled host.
    request.UnsupportedScheme = scheme;
    request.Path = target;
    request.HostPath.clear();
    return;
  }
  if (!scheme.empty()) request.TargetAuthority = AuthorityOf(target);
  if (scheme.empty() || !ParseAuthorityFirst(target, request)) ParseByPosition(target, request);
  request.HostPath = request.Host + request.Path;
}

void ParseTunnelRequestLine(const std::string& line, const std::string& host,
                            TProxyRequest& request) {
  const std::string_view text = line;
  const auto first_blank = text.find(' ');
  const auto last_blank = text.rfind(' ');
  if ((!text.ends_with("HTTP/1.0") && !text.ends_with("HTTP/1.1")) || HasControlCharacter(text) ||
      first_blank == std::string_view::npos || first_blank == last_blank) {
    request.Method = "error";
    return;
  }
  request.Method = text.substr(0, first_blank);
  request.Version = text.substr(last_blank + 1);
  // The version starts every answer made inside the tunnel: only a real one will do.
  if (request.Version != "HTTP/1.0" && request.Version != "HTTP/1.1") {
    request.Method = "error";
    return;
  }
  std::string_view target = text.substr(first_blank + 1, last_blank - first_blank - 1);
  if (EqualsIgnoringCase(SchemeOf(target), "https")) {
    request.TargetAuthority = AuthorityOf(target);
    target.remove_prefix(std::string_view("https://").size());
    const auto path_at = target.find_first_of("/?");
    target = path_at == std::string_view::npos ? std::string_view("/") : target.substr(path_at);
  }
  if (request.Method.empty() || request.Method == "CONNECT" ||
      (!target.starts_with('/') && !target.starts_with('?')) ||
      target.find(' ') != std::string_view::npos) {
    request.Method = "error";
    return;
  }
  request.Host = host;
  request.Https = true;
  request.Path = target;
  if (request.Path.front() == '?') request.Path.insert(0, "/");
  request.HostPath = request.Host + request.Path;
}

bool AuthorityNames(std::string_view authority, std::string_view host, int port) {
  std::string_view named = authority;
  std::string_view port_text;
  const auto colon = authority.rfind(':');
  const auto bracket = authority.rfind(']');
  if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
    named = authority.substr(0, colon);
    port_text = authority.substr(colon + 1);
    if (port_text.empty() || port_text.size() > 5 ||
        !std::all_of(port_text.begin(), port_text.end(),
                     [](char c) { return c >= '0' && c <= '9'; }))
      return false;
    if (std::stoi(std::string(port_text)) != port) return false;
  }
  return !named.empty() && EqualsIgnoringCase(WithoutTrailingDot(named), WithoutTrailingDot(host));
}

int StatusCode(std::string_view status_line) {
  const auto blank = status_line.find(' ');
  if (blank == std::string_view::npos) return -1;
  const std::string_view rest = status_line.substr(blank + 1);
  if (rest.size() < 3 || (rest.size() > 3 && rest[3] != ' ')) return -1;
  int code = 0;
  for (const char c : rest.substr(0, 3)) {
    if (c < '0' || c > '9') return -1;
    code = code * 10 + (c - '0');
  }
  return code;
}

std::string HeaderValue(const std::vector<std::string>& headers, std::string_view name) {
  for (std::size_t i = 0; i < headers.size(); ++i) {
    const std::string_view line = headers[i];
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || !EqualsIgnoringCase(line.substr(0, colon), name))
      continue;
    std::string value(TrimBlanks(line.substr(colon + 1)));
    for (std::size_t j = i + 1; j < headers.size(); ++j) {
      const std::string_view next = headers[j];
      if (next.empty() || (next.front() != ' ' && next.front() != '\t')) break;
      value += ' ';
      value += TrimBlanks(next);
    }
    return value;
  }
  return {};
}

bool HasToken(std::string_view value, std::string_view token) {
  while (!value.empty()) {
    const auto comma = value.find(',');
    if (EqualsIgnoringCase(TrimBlanks(value.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

bool ClosesAfter(const std::vector<std::string>& head, std::string_view version) {
  const std::string connection = HeaderValue(head, "Connection");
  if (HasToken(connection, "close")) return true;
  return version == "HTTP/1.0" && !HasToken(connection, "keep-alive");
}

}  // namespace trovanex
