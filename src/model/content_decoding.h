// The content codings an origin may put on an answer's body (Content-Encoding: gzip, deflate,
// br, zstd, or a list of them applied in order), undone piece by piece: what comes out is the
// content itself, as the browser shows it. Memory stays bounded by a few buffers whatever
// the body's size, and a decoded size beyond a limit (a decompression bomb) is a failure.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace trovanex {

// The most a body may grow to: 1 GiB, or 100 times its encoded size when that is more.
inline constexpr std::uint64_t kMinDecodedLimit = std::uint64_t{1} << 30;
inline constexpr std::uint64_t kDecodedRatioLimit = 100;
// Why a decoding stopped when the decoded content could not be written out.
inline constexpr char kDecodedNotWritten[] = "decoded content not written";

class ContentDecoder {
 public:
  // Receives decoded bytes in order; returning false stops the decoding as a failure.
  using Output = std::function<bool(std::string_view)>;

  // Which inflater undoes gzip and deflate: ISA-L's where the build has it, else zlib's; or
  // zlib's always (the reference the other is checked against).
  enum class Inflater { kFastest, kZlib };
  static bool IsalBuiltIn();

  // A decoder for a Content-Encoding value, or nothing when the value names no coding at all
  // (empty, "identity"). Sets `problem` and returns nothing for a coding it cannot undo.
  // `min_limit` is the size a body may always grow to.
  static std::unique_ptr<ContentDecoder> ForEncoding(std::string_view content_encoding,
                                                     std::string& problem,
                                                     std::uint64_t min_limit = kMinDecodedLimit,
                                                     Inflater inflater = Inflater::kFastest);
  ~ContentDecoder();
  ContentDecoder(const ContentDecoder&) = delete;
  ContentDecoder& operator=(const ContentDecoder&) = delete;

  // Decodes the next encoded piece. False once the body is found corrupt, too large, or the
  // output refused; Problem() then says why, and later calls do nothing.
  bool Feed(std::string_view encoded, const Output& output);
  // The body is complete: false when it ended in the middle of a coded stream (truncated).
  bool Finish();

  const std::string& Problem() const { return problem_; }
  std::uint64_t DecodedSize() const { return decoded_; }

  class Stage;

 private:
  ContentDecoder(std::vector<std::unique_ptr<Stage>> stages, std::uint64_t min_limit);
  bool Pass(std::size_t stage, std::string_view bytes, const Output& output);
  bool Fail(std::string problem);

  std::vector<std::unique_ptr<Stage>> stages_;  // in decoding order: the last coding first
  const std::uint64_t min_limit_;
  std::uint64_t encoded_ = 0;
  std::uint64_t decoded_ = 0;
  std::string problem_;
};

}  // namespace trovanex
