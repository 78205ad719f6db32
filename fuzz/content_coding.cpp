// The content decoders on what origins send: ContentDecoder fed corrupt, truncated and real
// bodies, gzip and deflate by ISA-L's inflate (where built) and checked against zlib's. Input:
// one byte choosing the Content-Encoding and whether the rest is encoded by the real encoders
// first (a round trip), one byte for the piece size, one for where a round trip's body is cut;
// then the body (or the content to encode).
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "model/content_decoding.h"
#include "support/content_codings.h"

using namespace trovanex;

namespace {

constexpr std::string_view kEncodings[] = {"gzip",       "deflate",          "br",
                                           "zstd",       "x-gzip",           "gzip, br",
                                           "zstd, gzip", "deflate,identity", "br, zstd, deflate"};
// Small, so that the fuzzer meets the limit often; the ratio rule still applies above it.
constexpr std::uint64_t kMinLimit = 256 * 1024;

struct Decoded {
  std::string content;
  bool fed = true;  // every Feed succeeded
  bool finished = false;
};

using Inflater = ContentDecoder::Inflater;

Decoded Decode(std::string_view encoding, std::string_view body, std::size_t piece,
               Inflater inflater = Inflater::kFastest) {
  std::string problem;
  auto decoder = ContentDecoder::ForEncoding(encoding, problem, kMinLimit, inflater);
  FUZZ_REQUIRE(decoder && problem.empty());
  Decoded result;
  const auto output = [&](std::string_view bytes) {
    result.content.append(bytes);
    return true;
  };
  std::uint64_t fed = 0;
  for (std::size_t at = 0; at < body.size(); at += piece) {
    const std::string_view part = body.substr(at, piece);
    fed += part.size();
    const std::size_t before = result.content.size();
    const bool ok = decoder->Feed(part, output);
    if (!result.fed) {
      // After a failure nothing more comes out, and it stays a failure.
      FUZZ_REQUIRE(!ok && result.content.size() == before);
    }
    if (!ok) FUZZ_REQUIRE(!decoder->Problem().empty());
    result.fed = result.fed && ok;
    // Bounded: never more than the limit allows for what was fed so far.
    FUZZ_REQUIRE(decoder->DecodedSize() <= std::max(kMinLimit, kDecodedRatioLimit * fed));
    FUZZ_REQUIRE(decoder->DecodedSize() == result.content.size());
  }
  result.finished = decoder->Finish();
  if (!result.fed) FUZZ_REQUIRE(!result.finished);
  return result;
}

std::string Encode(std::string_view encoding, std::string content) {
  // Applied in the order listed.
  while (!encoding.empty()) {
    const auto comma = encoding.find(',');
    std::string_view coding = encoding.substr(0, comma);
    while (coding.starts_with(' ')) coding.remove_prefix(1);
    encoding.remove_prefix(comma == std::string_view::npos ? encoding.size() : comma + 1);
    if (coding == "gzip" || coding == "x-gzip") content = testing::Gzip(content);
    if (coding == "deflate") content = testing::Zlib(content, 15);
    if (coding == "br") content = testing::Brotli(content);
    if (coding == "zstd") content = testing::Zstd(content);
  }
  return content;
}

bool IsPrefix(std::string_view a, std::string_view b) {
  return b.substr(0, a.size()) == a;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Choices choices(data, size);
  const std::uint8_t mode = choices.Byte();
  const std::string_view encoding = kEncodings[(mode & 0x7F) % std::size(kEncodings)];
  const std::uint8_t piece_choice = choices.Byte();
  const std::size_t piece = piece_choice % 8 == 0 ? 65536 : 1 + piece_choice % 97;
  const std::uint8_t cut = choices.Byte();

  if (mode & 0x80) {
    // A round trip: what the encoders made comes back whole; cut short, it never finishes and
    // gives at most a beginning of the content.
    const std::string content(choices.Rest());
    const std::string body = Encode(encoding, content);
    const Decoded whole = Decode(encoding, body, piece);
    FUZZ_REQUIRE(whole.fed && whole.finished && whole.content == content);
    const std::size_t kept = body.size() * cut / 256;
    const Decoded truncated = Decode(encoding, std::string_view(body).substr(0, kept), piece);
    FUZZ_REQUIRE(!truncated.finished);
    FUZZ_REQUIRE(IsPrefix(truncated.content, content));
    return 0;
  }

  // Any bytes: the same content whatever the pieces, as far as both got.
  const std::string_view body = choices.Rest();
  const Decoded pieces = Decode(encoding, body, piece);
  const Decoded at_once = Decode(encoding, body, body.size() + 1);
  FUZZ_REQUIRE(IsPrefix(pieces.content, at_once.content) ||
               IsPrefix(at_once.content, pieces.content));
  if (pieces.fed && at_once.fed) {
    FUZZ_REQUIRE(pieces.finished == at_once.finished);
    // A body cut off mid-stream is never kept, and how much of its last block comes out
    // depends on the pieces: ISA-L given the whole rest at once holds back a last byte.
    if (pieces.finished) FUZZ_REQUIRE(pieces.content == at_once.content);
  }
  // The fast inflater and zlib's read the same content from the same bytes.
  const Decoded reference = Decode(encoding, body, piece, Inflater::kZlib);
  FUZZ_REQUIRE(IsPrefix(pieces.content, reference.content) ||
               IsPrefix(reference.content, pieces.content));
  if (pieces.fed && pieces.finished && reference.fed && reference.finished)
    FUZZ_REQUIRE(pieces.content == reference.content);
  return 0;
}
