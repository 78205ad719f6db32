// The HTTPS host patterns: a list as the user types it, then a CONNECT host after the first
// line end. The patterns' own form, joined with ";", parses to the same patterns and opens the
// same hosts; every pattern opens its own host; a list without patterns opens nothing.
#include <string>

#include "fuzz_support.h"
#include "model/https_hosts.h"

using namespace trovanex;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t line_end = input.find('\n');
  const std::string_view list = input.substr(0, line_end);
  const std::string_view host =
      line_end == std::string_view::npos ? std::string_view() : input.substr(line_end + 1);

  const HttpsHosts hosts = HttpsHosts::Parse(list);
  const HttpsHosts again = HttpsHosts::Parse(hosts.Joined());
  FUZZ_REQUIRE(again.Patterns() == hosts.Patterns());
  FUZZ_REQUIRE(again.Rejected().empty());
  FUZZ_REQUIRE(again.Matches(host) == hosts.Matches(host));
  if (hosts.Patterns().empty()) FUZZ_REQUIRE(!hosts.Matches(host));

  for (const HostPattern& pattern : hosts.Patterns()) {
    FUZZ_REQUIRE(!pattern.host.empty());
    const bool ipv6 = pattern.host.find(':') != std::string::npos;
    FUZZ_REQUIRE(hosts.Matches(ipv6 ? "[" + pattern.host + "]" : pattern.host));
    if (pattern.subdomains) {
      if (pattern.host.size() + 2 <= 253) FUZZ_REQUIRE(hosts.Matches("x." + pattern.host));
      // One pattern alone never opens a host that only ends in the same letters.
      const HttpsHosts one = HttpsHosts::Parse("*." + pattern.host);
      FUZZ_REQUIRE(!one.Matches("x" + pattern.host));
    }
  }
  return 0;
}
