// What an opened HTTPS tunnel costs beyond a blind one: a leaf certificate made for a host seen
// for the first time against one taken from the cache, a whole handshake on loopback with each,
// and bytes through an established TLS connection.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <string>

#include "platform/connection.h"
#include "tls/certificate_authority.h"
#include "tls/leaf_cache.h"
#include "tls/tls_stream.h"

namespace trovanex {
namespace {

struct Authority {
  std::string folder;
  std::unique_ptr<CertificateAuthority> authority;
  LeafCache leaves;

  Authority() : folder(MakeFolder()), authority(Open(folder)), leaves(*authority, 1 << 20) {}
  ~Authority() { std::filesystem::remove_all(folder); }
  std::string CaFile() const { return folder + CertificateAuthority::kCertificateFileName; }

  static std::string MakeFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "trovanex-bench-XXXXXX");
    return std::string(::mkdtemp(pattern.data())) + "/";
  }
  static std::unique_ptr<CertificateAuthority> Open(const std::string& folder) {
    auto opened = CertificateAuthority::Open(folder);
    if (!opened.authority) throw std::runtime_error(opened.error);
    return std::move(opened.authority);
  }
};

Authority& Shared() {
  static Authority shared;
  return shared;
}

std::pair<int, int> LoopbackPair() {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  auto* any = reinterpret_cast<sockaddr*>(&address);
  ::bind(listener, any, sizeof address);
  ::listen(listener, 1);
  ::getsockname(listener, any, &length);
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(client, any, sizeof address) != 0) throw std::runtime_error("no connect");
  const int server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ::close(listener);
  return {server, client};
}

// Both sides of one handshake: the proxy's side towards the browser, and a verifying client.
void Handshake(Connection& browser_side, Connection& client, const std::string& host) {
  Authority& shared = Shared();
  auto accepted =
      std::async(std::launch::async, [&] { AcceptTls(browser_side, shared.leaves, host, 5000); });
  ConnectTls(client, host, 443, shared.CaFile(), 5000);
  accepted.get();
}

void BM_LeafForNewHost(benchmark::State& state) {
  Authority& shared = Shared();
  static int next = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(shared.leaves.For("new" + std::to_string(next++) + ".example"));
}
BENCHMARK(BM_LeafForNewHost);

void BM_LeafFromCache(benchmark::State& state) {
  Authority& shared = Shared();
  shared.leaves.For("cached.example");
  for (auto _ : state) benchmark::DoNotOptimize(shared.leaves.For("cached.example"));
}
BENCHMARK(BM_LeafFromCache);

// A new TCP connection and a TLS handshake on it; arg 1: each to a host never seen before.
void BM_LoopbackHandshake(benchmark::State& state) {
  static int next = 0;
  {  // the client's trust store is loaded once per process, outside the measure
    const auto [server, client] = LoopbackPair();
    Connection browser_side(server);
    Connection browser(client);
    Handshake(browser_side, browser, "cached.example");
  }
  for (auto _ : state) {
    const auto [server, client] = LoopbackPair();
    Connection browser_side(server);
    Connection browser(client);
    Handshake(browser_side, browser,
              state.range(0) ? "h" + std::to_string(next++) + ".example" : "cached.example");
  }
}
BENCHMARK(BM_LoopbackHandshake)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Bytes from the origin side to the browser side of one established TLS connection.
void BM_TlsThroughput(benchmark::State& state) {
  const auto [server, client] = LoopbackPair();
  Connection browser_side(server);
  Connection browser(client);
  Handshake(browser_side, browser, "cached.example");
  const std::string piece(1 << 20, 'x');
  std::string into;
  for (auto _ : state) {
    auto sent = std::async(std::launch::async, [&] { browser_side.WriteBytes(piece); });
    browser.ReadExactInto(into, piece.size());
    sent.get();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * (1 << 20));
}
BENCHMARK(BM_TlsThroughput)->UseRealTime();

}  // namespace
}  // namespace trovanex
