#include "engine/proxy_request.h"

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

void ParseRequestLine(const std::string& line, TProxyRequest& request) {
  const std::string_view text = line;
  if (!text.ends_with("HTTP/1.0") && !text.ends_with("HTTP/1.1")) {
    request.Method = "error";
    return;
  }
  const auto first_blank = text.find(' ');
  request.Method = first_blank == std::string_view::npos ? "" : text.substr(0, first_blank);
  const std::string_view rest =
      first_blank == std::string_view::npos ? text : text.substr(first_blank + 1);
  const auto second_blank = rest.find(' ');
  std::string_view target =
      second_blank == std::string_view::npos ? std::string_view() : rest.substr(0, second_blank);
  request.Version = second_blank == std::string_view::npos ? rest : rest.substr(second_blank + 1);

  // The scheme is dropped by position, whatever the first seven characters are.
  target.remove_prefix(std::min<std::size_t>(7, target.size()));

  // A port counts only after a dot: "localhost:8080" stays a host name.
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
  request.HostPath = request.Host + request.Path;
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

std::int64_t RequestContentLength(const std::vector<std::string>& headers) {
  static constexpr std::string_view kName = "Content-Length:";
  std::int64_t length = 0;
  for (const std::string& line : headers)
    if (line.size() >= kName.size() &&
        EqualsIgnoringCase(std::string_view(line).substr(0, kName.size()), kName))
      length = ParseDecimal32(std::string_view(line).substr(kName.size()));
  return length;
}

}  // namespace trovanex
