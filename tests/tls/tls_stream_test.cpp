#include "tls/tls_stream.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <random>
#include <thread>

#include "support/temp_folder.h"
#include "tls/openssl_handles.h"
#include "tls/x509_building.h"

namespace trovanex {
namespace {

// A socket listening on 127.0.0.1 at a port of its own, and that address.
int LoopbackListener(sockaddr_in& address, int backlog) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  address = sockaddr_in{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  auto* any = reinterpret_cast<sockaddr*>(&address);
  if (::bind(listener, any, sizeof address) != 0 || ::listen(listener, backlog) != 0 ||
      ::getsockname(listener, any, &length) != 0)
    throw std::runtime_error("no listener");
  return listener;
}

// Both ends of one TCP connection on 127.0.0.1.
std::pair<int, int> LoopbackPair() {
  sockaddr_in address;
  const int listener = LoopbackListener(address, 1);
  const auto* any = reinterpret_cast<const sockaddr*>(&address);
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(client, any, sizeof address) != 0) throw std::runtime_error("no connect");
  const int server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ::close(listener);
  return {server, client};
}

std::string RandomBytes(std::size_t n) {
  std::mt19937 generator(static_cast<unsigned>(n));
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

// Waits (up to five seconds) until the socket holds more than `n` unread bytes.
bool AwaitMoreThan(int fd, std::size_t n) {
  std::string peek(n + 1, '\0');
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    if (::recv(fd, peek.data(), peek.size(), MSG_PEEK | MSG_DONTWAIT) > static_cast<ssize_t>(n))
      return true;
    pollfd watched{fd, POLLIN, 0};
    ::poll(&watched, 1, 10);  // a peek does not empty the socket, so poll alone would not wait
  }
  return false;
}

// The first flight of a TLS client that names `sni`, as bytes.
std::string ClientHello(const char* sni) {
  tls::SslContextPtr context(SSL_CTX_new(TLS_client_method()));
  tls::SslPtr ssl(SSL_new(context.get()));
  BIO* sent = BIO_new(BIO_s_mem());
  SSL_set_bio(ssl.get(), BIO_new(BIO_s_mem()), sent);  // the session owns both
  SSL_set_tlsext_host_name(ssl.get(), sni);
  SSL_connect(ssl.get());  // waits for the server's answer: the hello is all it wrote
  ERR_clear_error();
  return tls::BioText(sent);
}

class TlsStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = CertificateAuthority::Open(folder_.path());
    ASSERT_TRUE(opened.authority) << opened.error;
    authority_ = std::move(opened.authority);
    leaves_ = std::make_unique<LeafCache>(*authority_);
    auto [server, client] = LoopbackPair();
    browser_side_ = std::make_unique<Connection>(server);
    client_ = std::make_unique<Connection>(client);
    browser_side_->SetReadTimeout(5000);
    client_->SetReadTimeout(5000);
  }

  // The handshake of both sides at once; the browser side's name.
  std::string Handshake(const std::string& connect_host, const std::string& client_host) {
    auto accepted = std::async(std::launch::async, [&] {
      return AcceptTls(*browser_side_, *leaves_, connect_host, 5000);
    });
    ConnectTls(*client_, client_host, 443, CaFile(), 5000);
    return accepted.get();
  }

  std::string CaFile() const { return folder_ / CertificateAuthority::kCertificateFileName; }

  testing::TempFolder folder_;
  std::unique_ptr<CertificateAuthority> authority_;
  std::unique_ptr<LeafCache> leaves_;
  std::unique_ptr<Connection> browser_side_;  // the proxy's side towards the browser
  std::unique_ptr<Connection> client_;        // the browser, verifying against the authority
};

TEST_F(TlsStreamTest, LinesAndBytesBothWaysAfterBytesBufferedBeforeTheHandshake) {
  const std::string connect = "CONNECT localhost:443 HTTP/1.1";
  auto connected = std::async(std::launch::async, [&] {
    client_->WriteLine(connect);
    client_->WriteLine("");
    ConnectTls(*client_, "localhost", 443, CaFile(), 5000);
  });
  // The browser's hello arrives with its CONNECT, so the connection reads both in one piece.
  ASSERT_TRUE(AwaitMoreThan(browser_side_->Handle(), connect.size() + 4));
  EXPECT_EQ(browser_side_->ReadLine(), connect);
  EXPECT_EQ(browser_side_->ReadLine(), "");
  ASSERT_GT(browser_side_->Buffered(), 0u);
  EXPECT_EQ(AcceptTls(*browser_side_, *leaves_, "localhost", 5000), "localhost");
  connected.get();
  EXPECT_FALSE(browser_side_->Plain());

  const std::string up = RandomBytes(300 * 1024 + 7);
  const std::string down = RandomBytes(1024 * 1024 + 13);
  auto browser = std::async(std::launch::async, [&] {
    client_->WriteLine("GET /a HTTP/1.1");
    client_->WriteBytes(up);
    EXPECT_EQ(client_->ReadLine(), "HTTP/1.1 200 OK");
    EXPECT_EQ(client_->ReadExact(static_cast<std::int64_t>(down.size())), down);
  });
  EXPECT_EQ(browser_side_->ReadLine(), "GET /a HTTP/1.1");
  EXPECT_EQ(browser_side_->ReadExact(static_cast<std::int64_t>(up.size())), up);
  browser_side_->WriteLine("HTTP/1.1 200 OK");
  browser_side_->WriteBytes(down);
  browser.get();
}

TEST_F(TlsStreamTest, TheNextConnectionToTheSameOriginResumesItsSession) {
  sockaddr_in address;
  const int listener = LoopbackListener(address, 4);
  const auto* any = reinterpret_cast<const sockaddr*>(&address);
  // The same name four times at one port, then an address at the same port: a session is for
  // the name it was verified for. This side hands out a ticket after a full handshake only, so
  // the third and fourth resume with the session offered again. Last, the same name at another
  // port over the same socket, as origins behind one upstream proxy are reached: another origin.
  const int port = ntohs(address.sin_port);
  std::vector<bool> resumed;
  for (const auto& origin : {std::pair{"localhost", port}, std::pair{"localhost", port},
                             std::pair{"localhost", port}, std::pair{"localhost", port},
                             std::pair{"127.0.0.1", port}, std::pair{"localhost", port + 1}}) {
    const char* host = origin.first;
    const int origin_port = origin.second;
    SCOPED_TRACE(std::string(host) + ":" + std::to_string(origin_port));
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(client, any, sizeof address), 0);
    Connection origin_side(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    Connection proxy(client);
    proxy.SetReadTimeout(5000);
    auto accepted = std::async(std::launch::async, [&] {
      AcceptTls(origin_side, *leaves_, host, 5000);
      origin_side.WriteLine("hello");  // the ticket of a TLS 1.3 session comes before it
    });
    resumed.push_back(ConnectTls(proxy, host, origin_port, CaFile(), 5000));
    accepted.get();
    EXPECT_EQ(proxy.ReadLine(), "hello");
  }
  ::close(listener);
  EXPECT_EQ(resumed, (std::vector<bool>{false, true, true, true, false, false}));
}

// A browser that sends the TLS name it is given, or none, and verifies the leaf against the
// authority for the name or address it expects.
class RawBrowser {
 public:
  RawBrowser(int fd, const std::string& ca_file) : context_(SSL_CTX_new(TLS_client_method())) {
    SSL_CTX_load_verify_locations(context_.get(), ca_file.c_str(), nullptr);
    SSL_CTX_set_verify(context_.get(), SSL_VERIFY_PEER, nullptr);
    ssl_.reset(SSL_new(context_.get()));
    SSL_set_fd(ssl_.get(), fd);
  }

  // "ok", or why the handshake failed (the alert it was sent, as OpenSSL names it).
  std::string Handshake(const char* sni, const std::string& expected) {
    if (sni) SSL_set_tlsext_host_name(ssl_.get(), sni);
    SSL_set1_host(ssl_.get(), expected.c_str());
    ERR_clear_error();
    if (SSL_connect(ssl_.get()) == 1) return "ok";
    return tls::TakeOpenSslError("failed");
  }

  void WriteLine(const std::string& line) {
    const std::string bytes = line + "\r\n";
    ASSERT_EQ(SSL_write(ssl_.get(), bytes.data(), static_cast<int>(bytes.size())),
              static_cast<int>(bytes.size()));
  }

 private:
  tls::SslContextPtr context_;
  tls::SslPtr ssl_;
};

// The tunnel's host is the leaf's, when the browser names it (ASCII case and one final dot
// aside) or names nothing.
TEST_F(TlsStreamTest, LeafIsTheConnectHostsWhenTheBrowserNamesItOrNothing) {
  struct Case {
    const char* connect_host;
    const char* sni;  // null: none
    const char* name;
  };
  const Case cases[] = {
      {"localhost", "localhost", "localhost"},
      {"localhost", "LocalHost", "localhost"},
      {"LOCALHOST", "localhost", "localhost"},
      {"localhost", "localhost.", "localhost"},
      {"localhost.", "localhost", "localhost"},
      {"LocalHost.", "localhost.", "localhost"},
      {"localhost", nullptr, "localhost"},
      {"127.0.0.1", nullptr, "127.0.0.1"},
      {"[::1]", nullptr, "::1"},
      {"127.0.0.1", "127.0.0.1", "127.0.0.1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.connect_host) + " / " + (c.sni ? c.sni : "(no name)"));
    SetUp();
    auto accepted = std::async(std::launch::async, [&] {
      return AcceptTls(*browser_side_, *leaves_, c.connect_host, 5000);
    });
    RawBrowser browser(client_->Handle(), CaFile());
    EXPECT_EQ(browser.Handshake(c.sni, c.name), "ok");
    EXPECT_EQ(accepted.get(), c.name);
    browser.WriteLine("ping");
    EXPECT_EQ(browser_side_->ReadLine(), "ping");
  }
  // As browsers do it: the name is sent, and verified.
  SetUp();
  EXPECT_EQ(Handshake("LocalHost", "localhost"), "localhost");
}

// Any other name ends the handshake with an alert, and no certificate is made for it: the
// tunnel's host is what the copies it keeps are filed under.
TEST_F(TlsStreamTest, AnyOtherNameIsRefusedWithAnAlertAndNoCertificateIsMade) {
  struct Case {
    const char* connect_host;
    const char* sni;
    const char* shown;  // in the reason
  };
  const Case cases[] = {
      {"localhost", "victim.test", "victim.test"},
      {"localhost", "localhost.victim.test", "localhost.victim.test"},
      {"localhost", "www.localhost", "www.localhost"},
      {"localhost", "localhos", "localhos"},
      {"localhost", "localhost..", "localhost.."},
      {"localhost.", "localhost..", "localhost.."},
      {"127.0.0.1", "localhost", "localhost"},
      {"127.0.0.1", "127.0.0.2", "127.0.0.2"},
      {"[::1]", "localhost", "localhost"},
      {"localhost", "victim.test\r\nforged line", "victim.test\\x0d\\x0aforged\\x20line"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.connect_host) + " / " + c.sni);
    SetUp();
    auto refused = std::async(std::launch::async, [&] {
      try {
        AcceptTls(*browser_side_, *leaves_, c.connect_host, 5000);
        ADD_FAILURE() << "accepted";
      } catch (const TlsFailure& failure) {
        EXPECT_EQ(failure.Reason, std::string("the browser asked for ") + c.shown +
                                      " inside the tunnel to " + c.connect_host);
        EXPECT_EQ(failure.what(), "TLS: " + failure.Reason);  // what the caller logs
      }
    });
    RawBrowser browser(client_->Handle(), CaFile());
    EXPECT_EQ(browser.Handshake(c.sni, c.sni), "tlsv1 unrecognized name");
    refused.get();
    EXPECT_EQ(leaves_->Size(), 0u);
  }
}

// The browser's time for the handshake is one limit for the whole of it, however the browser
// spends it: a browser that sends nothing, or its hello a byte at a time, holds no thread.
TEST_F(TlsStreamTest, HandshakeEndsAtItsTimeLimitHoweverSlowlyTheHelloComes) {
  const std::string hello = ClientHello("localhost");
  ASSERT_GT(hello.size(), 100u);
  struct Case {
    const char* name;
    std::string at_once;   // sent at the start
    std::string dribbled;  // then a byte every 20 ms
  };
  const Case cases[] = {
      {"nothing", "", ""},
      {"a byte at a time", "", hello},
      {"all but its last byte", hello.substr(0, hello.size() - 1), ""},
      {"its record header, then a byte at a time", hello.substr(0, 5), hello.substr(5)},
  };
  constexpr int kLimitMs = 300;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    std::atomic<bool> stop{false};
    const int fd = client_->Handle();
    std::thread browser([&] {
      ::send(fd, c.at_once.data(), c.at_once.size(), MSG_NOSIGNAL);
      for (const char byte : c.dribbled) {
        if (stop || ::send(fd, &byte, 1, MSG_NOSIGNAL) != 1) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
    const auto started = std::chrono::steady_clock::now();
    try {
      AcceptTls(*browser_side_, *leaves_, "localhost", kLimitMs);
      ADD_FAILURE() << "accepted";
    } catch (const NetError& failure) {  // what the caller catches and logs
      EXPECT_STREQ(failure.what(), "TLS: handshake timed out");
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - started)
                          .count();
    stop = true;
    browser.join();
    EXPECT_GE(took, kLimitMs);
    EXPECT_LT(took, kLimitMs + 1000);  // the hello alone would take seconds
  }
}

TEST_F(TlsStreamTest, OriginThatDoesNotVerifyIsRefusedWithItsReason) {
  struct Case {
    const char* name;
    std::string extra_ca_file;
    const char* client_host;
    const char* reason;
    const char* alert;  // as the accepting side hears of it
  };
  const Case cases[] = {
      {"address not in the certificate", CaFile(), "127.0.0.2", "IP address mismatch",
       "sslv3 alert bad certificate"},
      {"authority not trusted", "", "localhost", "unable to get local issuer certificate",
       "tlsv1 alert unknown ca"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    auto accepted = std::async(std::launch::async, [&] {
      try {
        AcceptTls(*browser_side_, *leaves_, "localhost", 5000);
        ADD_FAILURE() << "accepted";
      } catch (const TlsFailure& failure) {
        EXPECT_EQ(failure.Reason, c.alert);
      }
    });
    try {
      ConnectTls(*client_, c.client_host, 443, c.extra_ca_file, 5000);
      ADD_FAILURE() << "verified";
    } catch (const TlsVerifyFailed& failure) {
      EXPECT_EQ(failure.Reason, c.reason);
    }
    accepted.get();
  }
  EXPECT_THROW(ConnectTls(*client_, "localhost", 443, folder_ / "missing.pem", 5000), TlsFailure);
}

// An origin's certificate signed by the authority: `common_name` in its subject, and
// `alt_name` as its one DNS subject alternative name unless empty.
tls::X509Ptr OriginCertificate(const CertificateAuthority& authority, EVP_PKEY* key,
                               const std::string& common_name, const std::string& alt_name) {
  tls::X509Ptr certificate(X509_new());
  X509* made = certificate.get();
  X509* issuer = authority.Certificate();
  const bool built =
      X509_set_version(made, X509_VERSION_3) == 1 && tls::SetRandomSerial(made) &&
      tls::SetValidity(made, -1, 30) &&
      X509_NAME_add_entry_by_txt(X509_get_subject_name(made), "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>(common_name.c_str()), -1,
                                 -1, 0) == 1 &&
      X509_set_issuer_name(made, X509_get_subject_name(issuer)) == 1 &&
      X509_set_pubkey(made, key) == 1 &&
      tls::AddExtension(made, issuer, NID_basic_constraints, "critical,CA:FALSE") &&
      tls::AddExtension(made, issuer, NID_ext_key_usage, "serverAuth") &&
      (alt_name.empty() ||
       tls::AddExtension(made, issuer, NID_subject_alt_name, ("DNS:" + alt_name).c_str())) &&
      X509_sign(made, authority.Key(), EVP_sha256()) > 0;
  EXPECT_TRUE(built);
  return certificate;
}

// An origin that names its host only in its subject's common name is refused, as browsers
// refuse it; the subject alternative names decide.
TEST_F(TlsStreamTest, OriginNamedOnlyInItsCommonNameIsRefused) {
  struct Case {
    const char* name;
    const char* common_name;
    const char* alt_name;
    const char* reason;  // empty: verified
  };
  const Case cases[] = {
      {"common name only", "localhost", "", "hostname mismatch"},
      {"common name, another alt name", "localhost", "other.example", "hostname mismatch"},
      {"alt name", "localhost", "localhost", ""},
      {"alt name, another common name", "other.example", "localhost", ""},
  };
  const tls::KeyPtr key(EVP_EC_gen("P-256"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    const tls::X509Ptr certificate =
        OriginCertificate(*authority_, key.get(), c.common_name, c.alt_name);
    auto origin = std::async(std::launch::async, [&] {
      tls::SslContextPtr context(SSL_CTX_new(TLS_server_method()));
      SSL_CTX_use_certificate(context.get(), certificate.get());
      SSL_CTX_use_PrivateKey(context.get(), key.get());
      tls::SslPtr ssl(SSL_new(context.get()));
      SSL_set_fd(ssl.get(), browser_side_->Handle());
      const bool accepted = SSL_accept(ssl.get()) == 1;
      if (accepted) SSL_write(ssl.get(), "hello\r\n", 7);
      ERR_clear_error();
      return accepted;
    });
    try {
      ConnectTls(*client_, "localhost", 443, CaFile(), 5000);
      EXPECT_STREQ(c.reason, "");
      EXPECT_EQ(client_->ReadLine(), "hello");
    } catch (const TlsVerifyFailed& failure) {
      EXPECT_EQ(failure.Reason, c.reason);
      EXPECT_EQ(failure.Host, "localhost");
    }
    EXPECT_EQ(origin.get(), *c.reason == '\0');
  }
}

// The user adds the authority to the extra CA file while the program runs: the next
// connection reads the file again and verifies, with no restart.
TEST_F(TlsStreamTest, AnAuthorityAddedToTheExtraFileCountsAtTheNextConnection) {
  testing::TempFolder elsewhere;
  ASSERT_TRUE(CertificateAuthority::Open(elsewhere.path()).authority);
  const std::string unrelated =
      testing::ReadFile(elsewhere / CertificateAuthority::kCertificateFileName);
  const std::string extra = folder_.Write("extra.pem", unrelated);
  auto refused = std::async(std::launch::async, [&] {
    EXPECT_THROW(AcceptTls(*browser_side_, *leaves_, "localhost", 5000), TlsFailure);
  });
  EXPECT_THROW(ConnectTls(*client_, "localhost", 443, extra, 5000), TlsVerifyFailed);
  refused.get();

  folder_.Write("extra.pem", unrelated + testing::ReadFile(CaFile()));
  SetUp();
  auto accepted = std::async(
      std::launch::async, [&] { return AcceptTls(*browser_side_, *leaves_, "localhost", 5000); });
  ConnectTls(*client_, "localhost", 443, extra, 5000);
  EXPECT_EQ(accepted.get(), "localhost");
}

TEST_F(TlsStreamTest, OrderlyCloseEndsTheReaderAfterTheLastBytes) {
  Handshake("localhost", "localhost");
  browser_side_->WriteLine("last");
  browser_side_->Disconnect();
  EXPECT_EQ(client_->ReadLine(), "last");
  EXPECT_THROW(client_->ReadLine(), PeerClosed);
}

}  // namespace
}  // namespace trovanex
