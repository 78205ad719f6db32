// The resources carried inside the program: the logo picture and the two pages of the 504
// answers. Each is found by a type and a name, both compared ignoring ASCII case. The bytes are
// read-only tables that live as long as the program, so the views handed out may be shared by
// every thread, and each user reads them from their first byte.
#pragma once

#include <optional>
#include <string_view>

namespace trovanex {

// The pseudo host whose requests are answered from the resources; the host-not-found page
// loads the logo from it.
inline constexpr char kResourceHost[] = "trovanex.internal";
// Under the resource host: the local certificate authority's certificate, for browsers to trust.
inline constexpr char kCaCertificatePath[] = "/ca.crt";

// The bytes of the resource with this type ("PNG", "TEXT") and name, or none.
std::optional<std::string_view> LookupResource(std::string_view type, std::string_view name);

// The pages sent with the 504 answers, in Shift-JIS, CR LF line ends, no line end at the end.
struct ErrorPages {
  std::string_view ConnectTimeoutPage;
  std::string_view HostNotFoundPage;
};

// The two TEXT resources "ConnectTimeoutHTML" and "HostNotFoundHTML".
ErrorPages LoadErrorPages();

}  // namespace trovanex
