// Load generator for HTTPS through an HTTP proxy, as a browser meets it: CONNECT, TLS to the
// named host with the certificate verified (SNI for names, the address checked for IPs), then
// HTTP/1.1 requests. Reports requests per second, failures and latency. Modes:
//   keepalive  each worker keeps one tunnel and sends its requests one after another on it;
//   new        a new TCP connection, CONNECT, TLS handshake and one request each time;
//   first      one request through a new tunnel to each of --hosts (the first time the proxy
//              sees that host), each followed by --repeat later ones, alternating with requests
//              to --target as the baseline.
// The last line on stdout is "key=value" pairs, for scripts.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kHeaderLimit = 64 * 1024;
constexpr int kFailuresPrinted = 20;

enum class Mode { kKeepAlive, kNew, kFirst };

struct Endpoint {
  std::string host;
  std::string port;
};

struct Options {
  Endpoint proxy;
  Endpoint target;
  std::string path = "/";
  std::string ca_file;
  Mode mode = Mode::kKeepAlive;
  int concurrency = 1;
  long requests = 1000;
  double duration = 0;  // seconds; when set, it bounds the run instead of `requests`
  bool first_separately = false;
  std::vector<std::string> hosts;  // first mode
  int repeat = 10;                 // first mode
  int timeout = 30;                // seconds, per socket read or write
};

[[noreturn]] void Usage(const char* why) {
  std::fprintf(stderr,
               "%s\nusage: trovanex_https_load --proxy HOST:PORT --target HOST:PORT --cacert FILE\n"
               "  [--path /x] [--mode keepalive|new|first] [-c N] [-n N | --duration S]\n"
               "  [--first] (new: time the first request alone, before the others)\n"
               "  [--hosts H1,H2,...] [--repeat K] (first: fresh hosts on the target's port)\n"
               "  [--timeout S]\n",
               why);
  std::exit(2);
}

Endpoint ParseEndpoint(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
    Usage(("not HOST:PORT: " + text).c_str());
  }
  return {text.substr(0, colon), text.substr(colon + 1)};
}

long ParseCount(const std::string& text, long least) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || value < least) {
    Usage(("not a count: " + text).c_str());
  }
  return value;
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc && name != "--first") Usage(("no value for " + name).c_str());
    if (name == "--proxy") {
      options.proxy = ParseEndpoint(argv[++i]);
    } else if (name == "--target") {
      options.target = ParseEndpoint(argv[++i]);
    } else if (name == "--path") {
      options.path = argv[++i];
    } else if (name == "--cacert") {
      options.ca_file = argv[++i];
    } else if (name == "--mode") {
      const std::string mode = argv[++i];
      if (mode == "keepalive") {
        options.mode = Mode::kKeepAlive;
      } else if (mode == "new") {
        options.mode = Mode::kNew;
      } else if (mode == "first") {
        options.mode = Mode::kFirst;
      } else {
        Usage(("unknown mode: " + mode).c_str());
      }
    } else if (name == "-c") {
      options.concurrency = static_cast<int>(ParseCount(argv[++i], 1));
    } else if (name == "-n") {
      options.requests = ParseCount(argv[++i], 1);
    } else if (name == "--duration") {
      options.duration = static_cast<double>(ParseCount(argv[++i], 1));
    } else if (name == "--first") {
      options.first_separately = true;
    } else if (name == "--hosts") {
      std::string list = argv[++i];
      for (std::size_t start = 0; start <= list.size();) {
        const auto comma = std::min(list.find(',', start), list.size());
        if (comma > start) options.hosts.push_back(list.substr(start, comma - start));
        start = comma + 1;
      }
    } else if (name == "--repeat") {
      options.repeat = static_cast<int>(ParseCount(argv[++i], 1));
    } else if (name == "--timeout") {
      options.timeout = static_cast<int>(ParseCount(argv[++i], 1));
    } else {
      Usage(("unknown option: " + name).c_str());
    }
  }
  if (options.proxy.host.empty() || options.target.host.empty() || options.ca_file.empty()) {
    Usage("--proxy, --target and --cacert are needed");
  }
  if (options.mode == Mode::kFirst && options.hosts.empty()) Usage("first mode needs --hosts");
  return options;
}

bool IsIpAddress(const std::string& host) {
  in6_addr address{};
  return inet_pton(AF_INET, host.c_str(), &address) == 1 ||
         inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

std::string OpenSslError() {
  const unsigned long code = ERR_get_error();
  if (code == 0) return "no detail";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

// Collects failures from every worker; prints the first few as they happen.
class FailureLog {
 public:
  void Add(const std::string& what) {
    std::lock_guard lock(mutex_);
    if (++count_ <= kFailuresPrinted) std::fprintf(stderr, "failure: %s\n", what.c_str());
  }
  long Count() {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  long count_ = 0;  // guarded by mutex_
};

// One tunnel through the proxy with TLS over it, and a read buffer for the answers.
class Tunnel {
 public:
  Tunnel() = default;
  Tunnel(const Tunnel&) = delete;
  Tunnel& operator=(const Tunnel&) = delete;
  ~Tunnel() {
    if (ssl_ != nullptr) {
      // Our close_notify only; the peer's is not waited for.
      if (SSL_is_init_finished(ssl_)) SSL_shutdown(ssl_);
      SSL_free(ssl_);
    }
    if (fd_ >= 0) close(fd_);
  }

  // Connects to the proxy, asks for a tunnel to `host`:`port` and completes a verified TLS
  // handshake through it. Empty on success, else why not.
  std::string Open(SSL_CTX* context, const Options& options, const std::string& host,
                   const std::string& port) {
    ERR_clear_error();  // what an earlier tunnel left must not be reported as this one's
    if (auto failure = ConnectTcp(options); !failure.empty()) return failure;
    const std::string authority = host + ":" + port;
    const std::string connect =
        "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
    if (!SendPlain(connect)) return "CONNECT could not be sent: " + std::string(strerror(errno));
    std::string answer;
    char byte_block[1024];
    while (answer.find("\r\n\r\n") == std::string::npos) {
      const ssize_t got = recv(fd_, byte_block, sizeof byte_block, 0);
      if (got <= 0) return "proxy closed or timed out before answering CONNECT";
      answer.append(byte_block, static_cast<std::size_t>(got));
      if (answer.size() > kHeaderLimit) return "CONNECT answer too long";
    }
    // The origin cannot speak before our ClientHello, so nothing may follow the header block.
    if (answer.size() != answer.find("\r\n\r\n") + 4) return "bytes after the CONNECT answer";
    if (answer.compare(0, 9, "HTTP/1.1 ") != 0 && answer.compare(0, 9, "HTTP/1.0 ") != 0) {
      return "CONNECT answer is not HTTP";
    }
    if (answer.compare(9, 3, "200") != 0) {
      return "CONNECT answered: " + answer.substr(0, answer.find("\r\n"));
    }
    ssl_ = SSL_new(context);
    if (ssl_ == nullptr || SSL_set_fd(ssl_, fd_) != 1) return "SSL_new: " + OpenSslError();
    // Names get SNI; addresses are checked against the certificate's IP entries (as curl does).
    if (!IsIpAddress(host) && SSL_set_tlsext_host_name(ssl_, host.c_str()) != 1) {
      return "SNI: " + OpenSslError();
    }
    if (SSL_set1_host(ssl_, host.c_str()) != 1) return "host check: " + OpenSslError();
    if (SSL_connect(ssl_) != 1) {
      const long verify = SSL_get_verify_result(ssl_);
      if (verify != X509_V_OK) {
        return "certificate of " + host + ": " + X509_verify_cert_error_string(verify);
      }
      return "TLS handshake with " + host + ": " + OpenSslError();
    }
    return {};
  }

  bool Write(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      std::size_t wrote = 0;
      if (SSL_write_ex(ssl_, bytes.data() + sent, bytes.size() - sent, &wrote) != 1) return false;
      sent += wrote;
    }
    return true;
  }

  // Reads one answer. Empty on success, else why it failed. `reusable` tells whether the
  // tunnel may carry another request.
  std::string ReadAnswer(bool& reusable) {
    reusable = false;
    std::string head;
    if (!ReadHeaderBlock(head)) return "connection ended inside the answer's header";
    const auto line_end = head.find("\r\n");
    const std::string status_line = head.substr(0, line_end);
    if (status_line.size() < 12 || status_line.compare(0, 5, "HTTP/") != 0) {
      return "not an HTTP answer: " + status_line;
    }
    const bool http10 = status_line.compare(0, 8, "HTTP/1.0") == 0;
    std::optional<unsigned long long> length;
    bool chunked = false;
    bool closes = http10;
    for (std::size_t at = line_end + 2; at < head.size();) {
      const auto end = head.find("\r\n", at);
      const std::string_view line(head.data() + at, end - at);
      at = end + 2;
      const auto colon = line.find(':');
      if (colon == std::string_view::npos) continue;
      std::string name(line.substr(0, colon));
      std::transform(name.begin(), name.end(), name.begin(), ::tolower);
      std::string value(line.substr(colon + 1));
      value.erase(0, value.find_first_not_of(" \t"));
      std::transform(value.begin(), value.end(), value.begin(), ::tolower);
      if (name == "content-length") {
        length = std::strtoull(value.c_str(), nullptr, 10);
      } else if (name == "transfer-encoding") {
        chunked = value.find("chunked") != std::string::npos;
      } else if (name == "connection") {
        if (value.find("close") != std::string::npos) closes = true;
        if (value.find("keep-alive") != std::string::npos) closes = false;
      }
    }
    // These answers have no body whatever their header says.
    const bool bodiless = status_line[9] == '1' || status_line.compare(9, 3, "204") == 0 ||
                          status_line.compare(9, 3, "304") == 0;
    std::string failure;
    if (!bodiless && chunked) {
      failure = ReadChunkedBody();
    } else if (!bodiless && length) {
      failure = ReadBodyByLength(*length);
    } else if (!bodiless) {
      failure = ReadBodyToClose();
      closes = true;
    }
    if (!failure.empty()) return failure;
    if (status_line.compare(9, 3, "200") != 0) return "answer: " + status_line;
    reusable = !closes;
    return {};
  }

 private:
  std::string ConnectTcp(const Options& options) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(options.proxy.host.c_str(), options.proxy.port.c_str(), &hints, &found) != 0) {
      return "proxy address not found: " + options.proxy.host;
    }
    fd_ = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool connected = fd_ >= 0 && connect(fd_, found->ai_addr, found->ai_addrlen) == 0;
    freeaddrinfo(found);
    if (!connected) return "connect to the proxy: " + std::string(strerror(errno));
    const int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const timeval limit{options.timeout, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return {};
  }

  bool SendPlain(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t wrote = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (wrote <= 0) return false;
      sent += static_cast<std::size_t>(wrote);
    }
    return true;
  }

  // Tops up the buffer with whatever TLS gives next; false at the end of the stream or an error.
  bool Fill() {
    if (start_ == buffer_.size()) {
      buffer_.clear();
      start_ = 0;
    }
    char block[16384];
    std::size_t got = 0;
    if (SSL_read_ex(ssl_, block, sizeof block, &got) != 1) return false;
    buffer_.append(block, got);
    return true;
  }

  bool ReadHeaderBlock(std::string& head) {
    for (;;) {
      const auto end = buffer_.find("\r\n\r\n", start_);
      if (end != std::string::npos) {
        head.assign(buffer_, start_, end + 2 - start_);  // keeps the last line's CRLF
        start_ = end + 4;
        return true;
      }
      if (buffer_.size() - start_ > kHeaderLimit || !Fill()) return false;
    }
  }

  bool ReadLine(std::string& line) {
    for (;;) {
      const auto end = buffer_.find("\r\n", start_);
      if (end != std::string::npos) {
        line.assign(buffer_, start_, end - start_);
        start_ = end + 2;
        return true;
      }
      if (buffer_.size() - start_ > kHeaderLimit || !Fill()) return false;
    }
  }

  // Consumes up to `count` body bytes; how many were missing when the stream ended first.
  unsigned long long Skip(unsigned long long count) {
    while (count > 0) {
      if (start_ == buffer_.size() && !Fill()) return count;
      const unsigned long long here = std::min<unsigned long long>(count, buffer_.size() - start_);
      start_ += static_cast<std::size_t>(here);
      count -= here;
    }
    return 0;
  }

  std::string ReadBodyByLength(unsigned long long length) {
    const unsigned long long missing = Skip(length);
    if (missing == 0) return {};
    return "short body: " + std::to_string(length - missing) + " of " + std::to_string(length) +
           " bytes";
  }

  std::string ReadChunkedBody() {
    std::string line;
    for (;;) {
      if (!ReadLine(line)) return "chunked body ended without its last chunk";
      char* end = nullptr;
      const unsigned long long size = std::strtoull(line.c_str(), &end, 16);
      if (end == line.c_str()) return "bad chunk size line: " + line;
      if (size == 0) break;
      if (Skip(size) != 0 || !ReadLine(line) || !line.empty()) return "chunk shorter than its size";
    }
    do {  // trailers, up to the empty line
      if (!ReadLine(line)) return "chunked body ended inside its trailer";
    } while (!line.empty());
    return {};
  }

  std::string ReadBodyToClose() {
    while (Fill()) start_ = buffer_.size();
    // Without close_notify the end cannot be told from a cut connection or a timeout.
    if (SSL_get_shutdown(ssl_) & SSL_RECEIVED_SHUTDOWN) return {};
    return "body without length ended without close_notify (cut, or timed out)";
  }

  int fd_ = -1;
  SSL* ssl_ = nullptr;
  std::string buffer_;
  std::size_t start_ = 0;  // first unread byte of buffer_
};

std::string RequestFor(const Options& options, const std::string& host, bool keep_alive) {
  const std::string authority =
      options.target.port == "443" ? host : host + ":" + options.target.port;
  return "GET " + options.path + " HTTP/1.1\r\nHost: " + authority +
         "\r\nUser-Agent: trovanex_https_load\r\nAccept: */*\r\n" +
         (keep_alive ? "" : "Connection: close\r\n") + "\r\n";
}

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// One request through a new tunnel to `host`; its time in ms, or nothing when it failed.
std::optional<double> OneNewTunnel(SSL_CTX* context, const Options& options,
                                   const std::string& host, FailureLog& failures) {
  const auto start = Clock::now();
  Tunnel tunnel;
  std::string failure = tunnel.Open(context, options, host, options.target.port);
  if (failure.empty() && !tunnel.Write(RequestFor(options, host, false))) {
    failure = "request could not be sent";
  }
  bool reusable = false;
  if (failure.empty()) failure = tunnel.ReadAnswer(reusable);
  if (!failure.empty()) {
    failures.Add(failure);
    return std::nullopt;
  }
  return MillisecondsSince(start);
}

// Hands out the run's requests to the workers: a count, or a deadline.
class RequestBudget {
 public:
  explicit RequestBudget(const Options& options)
      : total_(options.requests),
        timed_(options.duration > 0),
        deadline_(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(options.duration))) {}
  bool Take() {
    if (timed_) return Clock::now() < deadline_;
    return taken_.fetch_add(1, std::memory_order_relaxed) < total_;
  }

 private:
  const long total_;
  const bool timed_;
  const Clock::time_point deadline_;
  std::atomic<long> taken_{0};
};

void KeepAliveWorker(SSL_CTX* context, const Options& options, RequestBudget& budget,
                     FailureLog& failures, std::vector<double>& latencies,
                     std::atomic<long>& reopened) {
  std::optional<Tunnel> tunnel;
  const std::string request = RequestFor(options, options.target.host, true);
  while (budget.Take()) {
    const auto start = Clock::now();
    std::string failure;
    if (!tunnel) {
      if (!latencies.empty()) reopened.fetch_add(1, std::memory_order_relaxed);
      tunnel.emplace();
      failure = tunnel->Open(context, options, options.target.host, options.target.port);
    }
    if (failure.empty() && !tunnel->Write(request)) failure = "request could not be sent";
    bool reusable = false;
    if (failure.empty()) failure = tunnel->ReadAnswer(reusable);
    if (!failure.empty()) failures.Add(failure);
    if (failure.empty()) latencies.push_back(MillisecondsSince(start));
    if (!reusable) tunnel.reset();
  }
}

void NewConnectionWorker(SSL_CTX* context, const Options& options, RequestBudget& budget,
                         FailureLog& failures, std::vector<double>& latencies) {
  while (budget.Take()) {
    if (auto took = OneNewTunnel(context, options, options.target.host, failures)) {
      latencies.push_back(*took);
    }
  }
}

double Percentile(std::vector<double> values, double share) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(std::ceil(share * static_cast<double>(values.size())));
  return values[std::max<std::size_t>(rank, 1) - 1];
}

int RunLoad(SSL_CTX* context, const Options& options) {
  FailureLog failures;
  std::optional<double> first;
  if (options.mode == Mode::kNew && options.first_separately) {
    first = OneNewTunnel(context, options, options.target.host, failures);
  }
  RequestBudget budget(options);
  std::atomic<long> reopened{0};
  std::vector<std::vector<double>> latencies(static_cast<std::size_t>(options.concurrency));
  std::vector<std::thread> workers;
  const auto start = Clock::now();
  for (auto& mine : latencies) {
    mine.reserve(options.duration > 0 ? 100000 : static_cast<std::size_t>(options.requests));
    if (options.mode == Mode::kKeepAlive) {
      workers.emplace_back(KeepAliveWorker, context, std::cref(options), std::ref(budget),
                           std::ref(failures), std::ref(mine), std::ref(reopened));
    } else {
      workers.emplace_back(NewConnectionWorker, context, std::cref(options), std::ref(budget),
                           std::ref(failures), std::ref(mine));
    }
  }
  for (auto& worker : workers) worker.join();
  const double seconds = MillisecondsSince(start) / 1000;
  std::vector<double> all;
  for (const auto& mine : latencies) all.insert(all.end(), mine.begin(), mine.end());
  const long failed = failures.Count();  // the separate first request's too
  std::printf(
      "mode=%s c=%d requests=%zu failed=%ld seconds=%.3f rps=%.1f median_ms=%.3f "
      "p99_ms=%.3f reopened=%ld",
      options.mode == Mode::kNew ? "new" : "keepalive", options.concurrency, all.size(), failed,
      seconds, static_cast<double>(all.size()) / seconds, Percentile(all, 0.5),
      Percentile(all, 0.99), reopened.load());
  if (options.first_separately) std::printf(" first_ms=%.3f", first ? *first : NAN);
  std::printf("\n");
  return failed == 0 ? 0 : 1;
}

int RunFirst(SSL_CTX* context, const Options& options) {
  FailureLog failures;
  std::vector<double> firsts;
  std::vector<double> laters;
  std::vector<double> bases;
  for (const auto& host : options.hosts) {
    const auto first = OneNewTunnel(context, options, host, failures);
    std::vector<double> later;
    std::vector<double> base;
    for (int i = 0; i < options.repeat; ++i) {
      if (auto took = OneNewTunnel(context, options, host, failures)) later.push_back(*took);
      if (auto took = OneNewTunnel(context, options, options.target.host, failures)) {
        base.push_back(*took);
      }
    }
    std::printf("host=%s first_ms=%.3f later_ms=%.3f base_ms=%.3f\n", host.c_str(),
                first ? *first : NAN, Percentile(later, 0.5), Percentile(base, 0.5));
    if (first) firsts.push_back(*first);
    laters.insert(laters.end(), later.begin(), later.end());
    bases.insert(bases.end(), base.begin(), base.end());
  }
  const double first_ms = Percentile(firsts, 0.5);
  const double later_ms = Percentile(laters, 0.5);
  const double base_ms = Percentile(bases, 0.5);
  std::printf(
      "mode=first hosts=%zu failed=%ld first_ms=%.3f later_ms=%.3f base_ms=%.3f "
      "first_extra_ms=%.3f later_extra_ms=%.3f\n",
      options.hosts.size(), failures.Count(), first_ms, later_ms, base_ms, first_ms - later_ms,
      later_ms - base_ms);
  return failures.Count() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  signal(SIGPIPE, SIG_IGN);  // a proxy that closes early is a failure to count, not our end
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) {
    std::fprintf(stderr, "SSL_CTX_new: %s\n", OpenSslError().c_str());
    return 2;
  }
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_load_verify_locations(context, options.ca_file.c_str(), nullptr) != 1) {
    std::fprintf(stderr, "cannot read %s: %s\n", options.ca_file.c_str(), OpenSslError().c_str());
    return 2;
  }
  // Every new connection makes a full handshake, as a first visit does; nothing is resumed.
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
  static const unsigned char kAlpn[] = "\x08http/1.1";
  SSL_CTX_set_alpn_protos(context, kAlpn, sizeof kAlpn - 1);
  const int status =
      options.mode == Mode::kFirst ? RunFirst(context, options) : RunLoad(context, options);
  SSL_CTX_free(context);
  return status;
}
