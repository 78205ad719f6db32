// The first line of a browser's request: ParseRequestLine, and ParseTunnelRequestLine for a
// request inside an opened HTTPS tunnel, fed any bytes.
#include <stdexcept>
#include <string>

#include "engine/proxy_request.h"
#include "fuzz_support.h"

using trovanex::TProxyRequest;

namespace {

bool HasControl(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte == 0x7F) return true;
  }
  return false;
}

// Parses like the session does: Port holds 80 on entry. False when the port was refused.
bool Parse(const std::string& line, TProxyRequest& request) {
  request.Port = 80;
  try {
    trovanex::ParseRequestLine(line, request);
  } catch (const std::invalid_argument&) {
    return false;
  }
  return true;
}

// Inside an opened tunnel the host is always the tunnel's, and the path a real one.
void CheckTunnelLine(const std::string& line) {
  TProxyRequest request;
  request.Port = 443;
  trovanex::ParseTunnelRequestLine(line, "tunnel.example", request);
  if (request.Method == "error") return;
  FUZZ_REQUIRE(!HasControl(line));
  FUZZ_REQUIRE(request.Method != "CONNECT" && !request.Method.empty());
  FUZZ_REQUIRE(request.Host == "tunnel.example" && request.Port == 443);
  FUZZ_REQUIRE(request.Path.starts_with('/') && request.Path.find(' ') == std::string::npos);
  FUZZ_REQUIRE(request.HostPath == request.Host + request.Path);
  FUZZ_REQUIRE(request.Version == "HTTP/1.0" || request.Version == "HTTP/1.1");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  CheckTunnelLine(line);
  TProxyRequest request;
  const bool parsed = Parse(line, request);

  // The same line parses the same way every time.
  TProxyRequest again;
  FUZZ_REQUIRE(Parse(line, again) == parsed);
  FUZZ_REQUIRE(again.Method == request.Method && again.Host == request.Host &&
               again.Port == request.Port && again.Path == request.Path &&
               again.Version == request.Version && again.HostPath == request.HostPath &&
               again.UnsupportedScheme == request.UnsupportedScheme);
  if (!parsed) return 0;

  const std::string_view text = line;
  const bool well_ended = text.ends_with("HTTP/1.0") || text.ends_with("HTTP/1.1");
  if (!well_ended || HasControl(text)) {
    FUZZ_REQUIRE(request.Method == "error");
    return 0;
  }
  if (request.Method == "error") return 0;
  // Every answer the proxy makes starts with the version: it must be a real one.
  FUZZ_REQUIRE(request.Version.ends_with("HTTP/1.0") || request.Version.ends_with("HTTP/1.1"));

  if (request.Method == "CONNECT") {
    // A tunnel goes to host:port and nowhere else; it is never matched or stored.
    FUZZ_REQUIRE(!request.Host.empty() && request.Port >= 1 && request.Port <= 65535);
    FUZZ_REQUIRE(request.Host.find_first_of("/@ ") == std::string::npos);
    FUZZ_REQUIRE(request.Path.empty() && request.HostPath.empty());
    FUZZ_REQUIRE(request.UnsupportedScheme.empty());
    // Written back as a CONNECT line, the target names the same place.
    TProxyRequest round;
    FUZZ_REQUIRE(
        Parse("CONNECT " + request.Host + ":" + std::to_string(request.Port) + " HTTP/1.1", round));
    FUZZ_REQUIRE(round.Method == "CONNECT" && round.Host == request.Host &&
                 round.Port == request.Port);
    return 0;
  }
  if (!request.UnsupportedScheme.empty()) {
    // Answered by the proxy itself: nothing to connect to, nothing to match.
    FUZZ_REQUIRE(request.HostPath.empty());
    FUZZ_REQUIRE(request.Path.find("://") != std::string::npos);
    return 0;
  }
  // What is matched, named after and looked up is the host and the path, as parsed.
  FUZZ_REQUIRE(request.HostPath == request.Host + request.Path);
  // Never a control character in what names a stored file or a host to resolve.
  FUZZ_REQUIRE(!HasControl(request.Host) && !HasControl(request.Path));
  return 0;
}
