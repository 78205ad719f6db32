#include "engine/builtin_answers.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "engine/content_types.h"
#include "engine/resources.h"
#include "platform/errors.h"
#include "platform/file_system.h"
#include "platform/net_errors.h"
#include "platform/socket_error.h"

namespace trovanex {
namespace {

std::string UpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

struct FileCloser {
  int fd;
  ~FileCloser() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

void SendResourceAnswer(Connection& browser, const TProxyRequest& request) {
  const std::string_view path = request.Path;
  const auto dot = path.find('.');
  const std::string_view before = path.substr(0, dot);
  const std::string_view name = before.empty() ? before : before.substr(1);
  const std::string_view extension =
      dot == std::string_view::npos ? std::string_view() : path.substr(dot + 1);

  const auto resource = LookupResource(UpperAscii(extension), name);
  if (!resource) {
    browser.WriteLine(request.Version + " 404 Not found.");
    browser.WriteLine("Connection: close");  // resources are asked for on plain connections only
    browser.WriteLine("");
    return;
  }
  browser.WriteLine(request.Version + " 200 ok");
  // Compared exactly: "/trovanexlogo.PNG" goes out with an empty type.
  browser.WriteLine("Content-Type: " + std::string(ContentTypeForExtension(extension)));
  browser.WriteLine("Content-Length: " + std::to_string(resource->size()));
  browser.WriteLine("Connection: close");
  browser.WriteLine("");
  browser.WriteBytes(*resource);
}

bool SendLocalFileAnswer(Connection& browser, const TProxyRequest& request, const std::string& path,
                         std::size_t piece, Monitor& monitor) {
  // Checked on what was opened, not on the name, so the file cannot be swapped in between.
  const FileCloser file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)};
  struct stat st {};
  if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  // The type the copy arrived with, else its extension's. With neither, no line: the browser
  // judges the content itself, where a guessed application/octet-stream would have it save a
  // page instead of showing it.
  std::string type = KeptContentType(file.fd);
  if (type.empty()) type = ContentTypeForFileName(path);
  monitor.ShowBalloon("http://" + request.HostPath + "を実ファイルから読み出し中…");
  browser.WriteLine(request.Version + " 200 Ok");
  if (!type.empty()) browser.WriteLine("Content-Type: " + type);
  browser.WriteLine("Content-Length: " + std::to_string(st.st_size));
  // A plain connection ends after its one answer; an opened tunnel serves the next request.
  if (!request.Https) browser.WriteLine("Connection: close");
  browser.WriteLine("");

  // Straight from the file to the socket, a piece at a time.
  auto left = static_cast<std::uint64_t>(st.st_size);
  off_t offset = 0;
  std::string bytes;  // one buffer for every piece that goes through a TLS layer
  while (left > 0) {
    if (!browser.IsConnected()) throw PeerClosed();
    const auto k = static_cast<std::size_t>(std::min<std::uint64_t>(left, piece));
    std::size_t sent = 0;
    if (!browser.Plain()) {
      // Through a TLS layer the bytes pass through here to be encrypted.
      bytes.resize(k);
      while (sent < k) {
        const ssize_t n = ::pread(file.fd, bytes.data() + sent, k - sent, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw FileError(path + ": " + SystemErrorText(errno));
        if (n == 0) throw FileError(path + " is shorter than its size said");
        sent += static_cast<std::size_t>(n);
        offset += n;
      }
      browser.WriteBytes(bytes);
    }
    while (sent < k) {
      const ssize_t n = ::sendfile(browser.Handle(), file.fd, &offset, k - sent);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) continue;
      if (n < 0) throw SocketFailure(WsaErrorFromErrno(errno), SystemErrorText(errno));
      if (n == 0) throw FileError(path + " is shorter than its size said");
      sent += static_cast<std::size_t>(n);
    }
    left -= k;
  }
  return true;
}

}  // namespace trovanex
