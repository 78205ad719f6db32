// The hosts whose HTTPS the user wants opened: a list of patterns separated by ";", each an
// exact host ("www.example.com", "192.0.2.7", "::1" or "[::1]") or "*." and a domain
// ("*.example.com"), which takes the domain itself and every name below it. Names compare
// without regard to letter case and a trailing dot; IPv6 addresses compare as addresses.
//
// An entry that is no such pattern ("*", "*.", "a*b", blanks inside, a port) is set aside
// in Rejected() and matches nothing, so a typing slip never opens more than was named.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace trovanex {

struct HostPattern {
  std::string host;         // lower case, no trailing dot; an IPv6 address without brackets
  bool subdomains = false;  // "*." pattern: the host and every name ending in "." + host

  bool operator==(const HostPattern&) const = default;
};

class HttpsHosts {
 public:
  HttpsHosts() = default;  // no patterns: matches nothing

  // Blanks around entries are dropped and empty entries skipped.
  static HttpsHosts Parse(std::string_view list);

  // Whether the host of a CONNECT target (a name, an IPv4 address, or an IPv6 address with or
  // without brackets) is one of the named hosts.
  bool Matches(std::string_view connect_host) const;

  const std::string& Text() const { return text_; }  // the list as given to Parse
  const std::vector<HostPattern>& Patterns() const { return patterns_; }
  const std::vector<std::string>& Rejected() const { return rejected_; }  // as written, trimmed
  // The patterns in their own form ("*.example.com", "::1"), joined with ";".
  std::string Joined() const;

 private:
  std::string text_;
  std::vector<HostPattern> patterns_;
  std::vector<std::string> rejected_;
};

}  // namespace trovanex
