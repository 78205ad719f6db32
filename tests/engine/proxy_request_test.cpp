#include "engine/proxy_request.h"

#include <gtest/gtest.h>

#include "engine/body_relay.h"

namespace trovanex {
namespace {

using namespace std::string_view_literals;

struct RequestLineRow {
  const char* name;
  std::string_view line;
  const char* method;
  const char* host;
  int port;
  const char* path;
  const char* version;
};

class RequestLineTest : public ::testing::TestWithParam<RequestLineRow> {};

TEST_P(RequestLineTest, Parses) {
  const RequestLineRow& row = GetParam();
  TProxyRequest request;
  ParseRequestLine(std::string(row.line), request);
  EXPECT_EQ(request.Method, row.method);
  if (std::string(row.method) == "error") return;
  EXPECT_EQ(request.Host, row.host);
  EXPECT_EQ(request.Port, row.port);
  EXPECT_EQ(request.Path, row.path);
  EXPECT_EQ(request.Version, row.version);
  EXPECT_EQ(request.HostPath,
            request.Method == "CONNECT" ? std::string() : std::string(row.host) + row.path);
  EXPECT_EQ(request.UnsupportedScheme, "");
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RequestLineTest,
    ::testing::Values(
        RequestLineRow{"Absolute", "GET http://a.b/index.html HTTP/1.1", "GET", "a.b", 80,
                       "/index.html", "HTTP/1.1"},
        RequestLineRow{"PortAndQuery", "GET http://a.b:8080/a?b=c HTTP/1.0", "GET", "a.b", 8080,
                       "/a?b=c", "HTTP/1.0"},
        RequestLineRow{"PortWithoutPath", "GET http://a.b:8080 HTTP/1.0", "GET", "a.b", 8080, "/",
                       "HTTP/1.0"},
        RequestLineRow{"PortAfterHostWithoutDot", "GET http://localhost:8080/x.html HTTP/1.1",
                       "GET", "localhost", 8080, "/x.html", "HTTP/1.1"},
        RequestLineRow{"PortAfterHostWithoutDotOrPath", "GET http://localhost:8080 HTTP/1.1", "GET",
                       "localhost", 8080, "/", "HTTP/1.1"},
        RequestLineRow{"BracketedAddressWithPort", "GET http://[::1]:8080/x HTTP/1.1", "GET",
                       "[::1]", 8080, "/x", "HTTP/1.1"},
        RequestLineRow{"NoSlashAfterHostMeansRoot", "GET http://a.b HTTP/1.1", "GET", "a.b", 80,
                       "/", "HTTP/1.1"},
        RequestLineRow{"QueryWithoutPath", "GET http://a.b?x=1 HTTP/1.1", "GET", "a.b", 80, "/?x=1",
                       "HTTP/1.1"},
        RequestLineRow{"SchemeInCapitals", "GET HTTP://a.b/c HTTP/1.1", "GET", "a.b", 80, "/c",
                       "HTTP/1.1"},
        RequestLineRow{"DotInPathBeforeColon", "GET http://h/a.b:9 HTTP/1.1", "GET", "h", 80,
                       "/a.b:9", "HTTP/1.1"},
        RequestLineRow{"TabIsAllowed", "GET http://a.b/x\ty HTTP/1.1", "GET", "a.b", 80, "/x\ty",
                       "HTTP/1.1"},
        RequestLineRow{"NulByte", "GET http://h/grab/b.jpg\0.x HTTP/1.1"sv, "error", "", 0, "", ""},
        RequestLineRow{"ControlCharacter",
                       "GET http://h/a\x01"
                       "b HTTP/1.1",
                       "error", "", 0, "", ""},
        RequestLineRow{"DeleteCharacter", "GET http://h/a\x7f HTTP/1.1", "error", "", 0, "", ""},
        RequestLineRow{"ConnectName", "CONNECT www.example.org:443 HTTP/1.1", "CONNECT",
                       "www.example.org", 443, "", "HTTP/1.1"},
        RequestLineRow{"ConnectAddress", "CONNECT 127.0.0.1:8443 HTTP/1.0", "CONNECT", "127.0.0.1",
                       8443, "", "HTTP/1.0"},
        RequestLineRow{"ConnectBracketedAddress", "CONNECT [::1]:443 HTTP/1.1", "CONNECT", "[::1]",
                       443, "", "HTTP/1.1"},
        RequestLineRow{"ConnectWithoutPort", "CONNECT a.b HTTP/1.1", "error", "", 0, "", ""},
        RequestLineRow{"ConnectPortZero", "CONNECT a.b:0 HTTP/1.1", "error", "", 0, "", ""},
        RequestLineRow{"ConnectPortTooLarge", "CONNECT a.b:65536 HTTP/1.1", "error", "", 0, "", ""},
        RequestLineRow{"ConnectPortNotANumber", "CONNECT a.b:x HTTP/1.1", "error", "", 0, "", ""},
        RequestLineRow{"ConnectUnclosedBracket", "CONNECT [::1:443 HTTP/1.1", "error", "", 0, "",
                       ""},
        RequestLineRow{"ConnectAbsoluteAddress", "CONNECT http://a.b:443/ HTTP/1.1", "error", "", 0,
                       "", ""},
        RequestLineRow{"OriginFormLosesSevenCharacters", "GET /index.html HTTP/1.1", "GET", "", 80,
                       "html", "HTTP/1.1"},
        RequestLineRow{"DottedAddressWithPort", "POST http://127.0.0.1:8080/f HTTP/1.1", "POST",
                       "127.0.0.1", 8080, "/f", "HTTP/1.1"},
        RequestLineRow{"ColonInPathIsNoPort", "GET http://a.b/x:1 HTTP/1.1", "GET", "a.b", 80,
                       "/x:1", "HTTP/1.1"},
        RequestLineRow{"BlankAfterVersion", "GET http://a.b/ HTTP/1.1 ", "error", "", 0, "", ""},
        RequestLineRow{"LowerCaseVersion", "GET http://a.b/ http/1.1", "error", "", 0, "", ""},
        RequestLineRow{"OtherVersion", "GET http://a.b/ HTTP/2.0", "error", "", 0, "", ""}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(RequestLine, OtherSchemesAreNeverParsedIntoAHost) {
  for (const char* scheme : {"https", "ftp", "ws"}) {
    TProxyRequest request;
    ParseRequestLine(std::string("GET ") + scheme + "://www.google.com/ HTTP/1.1", request);
    EXPECT_EQ(request.UnsupportedScheme, scheme);
    EXPECT_EQ(request.Method, "GET");
    EXPECT_EQ(request.Host, "");
    EXPECT_EQ(request.HostPath, "");
  }
}

// Inside an opened tunnel the host is the tunnel's, whatever the line names, and the address is
// the one the same content has over plain HTTP.
TEST(TunnelRequestLine, HostIsTheTunnelsAndAddressHasNoScheme) {
  struct Row {
    std::string_view line;
    const char* method;
    const char* path;
  };
  for (const Row& row : {
           Row{"GET /img/a.jpg?x=1 HTTP/1.1", "GET", "/img/a.jpg?x=1"},
           Row{"GET ?x=1 HTTP/1.1", "GET", "/?x=1"},
           Row{"HEAD https://other.example/p HTTP/1.0", "HEAD", "/p"},
           Row{"GET HTTPS://other.example HTTP/1.1", "GET", "/"},
           Row{"GET / HTTP/1.1", "GET", "/"},
           Row{"GET http://a.b/ HTTP/1.1", "error", ""},
           Row{"CONNECT a.b:443 HTTP/1.1", "error", ""},
           Row{"GET a.jpg HTTP/1.1", "error", ""},
           Row{"GET /a b HTTP/1.1", "error", ""},
           Row{"GET /a\0b HTTP/1.1"sv, "error", ""},
           Row{"/x HTTP/1.1", "error", ""},
           Row{"GET /x HTTP/2", "error", ""},
           Row{"GET /x :HTTP/1.1", "error", ""},
       }) {
    SCOPED_TRACE(row.line);
    TProxyRequest request;
    request.Port = 8443;
    ParseTunnelRequestLine(std::string(row.line), "www.example.org", request);
    EXPECT_EQ(request.Method, row.method);
    if (std::string_view(row.method) == "error") continue;
    EXPECT_EQ(request.Host, "www.example.org");
    EXPECT_EQ(request.Port, 8443);
    EXPECT_EQ(request.Path, row.path);
    EXPECT_EQ(request.HostPath, std::string("www.example.org") + row.path);
  }
}

TEST(KeepAlive, ClosesAfterFollowsConnectionTokensAndVersion) {
  EXPECT_FALSE(ClosesAfter({"GET / HTTP/1.1", "Host: a"}, "HTTP/1.1"));
  EXPECT_TRUE(ClosesAfter({"GET / HTTP/1.1", "Connection: Upgrade, close"}, "HTTP/1.1"));
  EXPECT_TRUE(ClosesAfter({"HTTP/1.0 200 OK"}, "HTTP/1.0"));
  EXPECT_FALSE(ClosesAfter({"HTTP/1.0 200 OK", "connection: Keep-Alive"}, "HTTP/1.0"));
  EXPECT_FALSE(ClosesAfter({"HTTP/1.1 200 OK", "Connection: closed"}, "HTTP/1.1"));
}

TEST(RequestLine, PortThatIsNotANumberFails) {
  TProxyRequest request;
  EXPECT_THROW(ParseRequestLine("GET http://a.b:80x/ HTTP/1.1", request), std::invalid_argument);
  EXPECT_THROW(ParseRequestLine("GET http://a.b:/ HTTP/1.1", request), std::invalid_argument);
}

TEST(HeaderLookup, FirstMatchIgnoringCaseWithContinuations) {
  const std::vector<std::string> headers = {"HTTP/1.1 200 OK",
                                            "content-type:  text/html ",
                                            "\tcharset=utf-8",
                                            " more",
                                            "Content-Type: image/png",
                                            "X-Empty:",
                                            ""};
  EXPECT_EQ(HeaderValue(headers, "Content-Type"), "text/html charset=utf-8 more");
  EXPECT_EQ(HeaderValue(headers, "X-Empty"), "");
  EXPECT_EQ(HeaderValue(headers, "Missing"), "");
}

TEST(ChunkSize, HexadecimalNumberWithBlanksAndExtension) {
  EXPECT_EQ(ParseChunkSize("5"), 5);
  EXPECT_EQ(ParseChunkSize("1a;name=x"), 26);
  EXPECT_EQ(ParseChunkSize("1A "), 26);
  EXPECT_EQ(ParseChunkSize("  1a "), 26);  // blanks around the number are allowed
  EXPECT_EQ(ParseChunkSize("\t1a ; name=x"), 26);
  EXPECT_EQ(ParseChunkSize("0"), 0);
  EXPECT_EQ(ParseChunkSize("7FFFFFF"), 134217727);
  EXPECT_EQ(ParseChunkSize("80000000"), 0x80000000LL);        // read in 64 bits, not negative
  EXPECT_EQ(ParseChunkSize("1ffffffffffffffff"), INT64_MAX);  // saturates, never wraps
  // Not a number: the body cannot be followed, never taken for its end.
  for (const char* line : {"", "  ", "x1", "-5", "1a x", "0x10", "; 5"})
    EXPECT_EQ(ParseChunkSize(line), std::nullopt) << '"' << line << '"';
}

}  // namespace
}  // namespace trovanex
