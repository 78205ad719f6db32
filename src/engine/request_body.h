// A request body on its way from the browser to the origin. At most 1 MiB is held in memory;
// the rest waits in an unnamed temporary file, so a browser's Content-Length never decides
// how much memory the proxy takes.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace trovanex {

class Connection;

class RequestBody {
 public:
  static constexpr std::size_t kMemoryLimit = 1 << 20;
  // The most a chunked body may hold, framing included: what a Content-Length can announce.
  static constexpr std::int64_t kMaxChunked = INT32_MAX;

  RequestBody() = default;
  ~RequestBody();
  RequestBody(const RequestBody&) = delete;
  RequestBody& operator=(const RequestBody&) = delete;

  // Reads exactly `length` bytes from `from` (waiting as long as the browser keeps its
  // connection open). Bytes beyond the memory limit go to a temporary file in `spool_folder`.
  // Throws what the connection throws, or FileError when the temporary file fails.
  void ReadFrom(Connection& from, std::int64_t length, const std::string& spool_folder);
  // Reads a body in chunked coding through its last chunk and trailer, and keeps it in that
  // coding (size and trailer lines ended by CR LF), so that the origin reads it as the browser
  // sent it. Throws MalformedChunkSize for a size line that is not a number or chunk data not
  // followed by its line end, RequestBodyTooLarge past kMaxChunked bytes, and what ReadFrom
  // throws.
  void ReadChunkedFrom(Connection& from, const std::string& spool_folder);
  // Sends the whole body, in order.
  void WriteTo(Connection& to) const;
  void Release();

  bool Present() const { return length_ > 0; }
  std::int64_t Length() const { return length_; }

 private:
  // Appends to the body: to memory while under the limit, then to the temporary file.
  void Keep(std::string_view bytes, const std::string& spool_folder);
  // Reads exactly `n` bytes from `from` and appends them, a piece at a time.
  void KeepFrom(Connection& from, std::uint64_t n, const std::string& spool_folder);

  std::string head_;   // the first bytes, up to kMemoryLimit
  int spool_fd_ = -1;  // the rest, in an unnamed file
  std::int64_t length_ = 0;
};

class RequestBodyTooLarge : public std::runtime_error {
 public:
  RequestBodyTooLarge() : std::runtime_error("Chunked request body over 2 GiB") {}
};

}  // namespace trovanex
