#include "model/https_hosts.h"

#include <arpa/inet.h>

#include <optional>

#include "platform/text.h"

namespace trovanex {
namespace {

constexpr std::size_t kMaxNameLength = 253;
constexpr std::size_t kMaxLabelLength = 63;

bool NameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// A host name in lower case without its trailing dot; nothing unless it is dot-separated
// labels of letters, digits, "-" and "_".
std::optional<std::string> NormalName(std::string_view name) {
  if (name.ends_with('.')) name.remove_suffix(1);
  if (name.empty() || name.size() > kMaxNameLength) return std::nullopt;
  std::string lower = AsciiLower(name);
  std::size_t label = 0;
  for (const char c : lower) {
    if (c == '.') {
      if (label == 0) return std::nullopt;
      label = 0;
    } else if (!NameCharacter(c) || ++label > kMaxLabelLength) {
      return std::nullopt;
    }
  }
  if (label == 0) return std::nullopt;
  return lower;
}

// An IPv6 address in its shortest form ("0:0::1" and "::1" are one address).
std::optional<std::string> NormalIpv6(std::string_view address) {
  const std::string text(address);
  in6_addr bytes{};
  if (::inet_pton(AF_INET6, text.c_str(), &bytes) != 1) return std::nullopt;
  char shortest[INET6_ADDRSTRLEN] = {};
  if (!::inet_ntop(AF_INET6, &bytes, shortest, sizeof shortest)) return std::nullopt;
  return std::string(shortest);
}

// A host as a CONNECT target or an exact pattern names it, in the form patterns hold.
std::optional<std::string> NormalHost(std::string_view host) {
  if (host.starts_with('[')) {
    if (host.size() < 2 || !host.ends_with(']')) return std::nullopt;
    return NormalIpv6(host.substr(1, host.size() - 2));
  }
  if (host.find(':') != std::string_view::npos) return NormalIpv6(host);
  return NormalName(host);
}

std::optional<HostPattern> ParsePattern(std::string_view entry) {
  if (!entry.starts_with("*.")) {
    auto host = NormalHost(entry);
    if (!host) return std::nullopt;
    return HostPattern{std::move(*host), false};
  }
  auto domain = NormalName(entry.substr(2));
  if (!domain) return std::nullopt;
  // A domain whose last label is a number is the tail of an IPv4 address ("*.0.0.1"), which
  // has no names below it.
  const std::size_t dot = domain->rfind('.');
  const std::string_view last_label =
      std::string_view(*domain).substr(dot == std::string::npos ? 0 : dot + 1);
  if (last_label.find_first_not_of("0123456789") == std::string_view::npos) return std::nullopt;
  return HostPattern{std::move(*domain), true};
}

}  // namespace

HttpsHosts HttpsHosts::Parse(std::string_view list) {
  HttpsHosts hosts;
  hosts.text_ = list;
  while (true) {
    const std::size_t end = list.find(';');
    const std::string_view entry = TrimBlanks(list.substr(0, end));
    if (!entry.empty()) {
      if (auto pattern = ParsePattern(entry))
        hosts.patterns_.push_back(std::move(*pattern));
      else
        hosts.rejected_.emplace_back(entry);
    }
    if (end == std::string_view::npos) break;
    list.remove_prefix(end + 1);
  }
  return hosts;
}

bool HttpsHosts::Matches(std::string_view connect_host) const {
  if (patterns_.empty()) return false;
  const std::optional<std::string> host = NormalHost(connect_host);
  if (!host) return false;
  for (const HostPattern& pattern : patterns_) {
    if (*host == pattern.host) return true;
    if (pattern.subdomains && host->size() > pattern.host.size() && host->ends_with(pattern.host) &&
        (*host)[host->size() - pattern.host.size() - 1] == '.')
      return true;
  }
  return false;
}

std::string HttpsHosts::Joined() const {
  std::string joined;
  for (const HostPattern& pattern : patterns_) {
    if (!joined.empty()) joined += ';';
    if (pattern.subdomains) joined += "*.";
    joined += pattern.host;
  }
  return joined;
}

}  // namespace trovanex
