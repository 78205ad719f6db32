// The gzip decoder alone, zlib's inflate against ISA-L's: MB/s of decoded output for bodies
// made at levels 1, 6 and 9, of page text and of content that was compressed already (random
// bytes, as a JPEG or a video is to deflate). Fed in 32 KiB pieces, as the capture feeds it.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>
#include <string>

#include "model/content_decoding.h"
#include "support/content_codings.h"

namespace trovanex {
namespace {

constexpr std::size_t kContentSize = 16 << 20;
constexpr std::size_t kPiece = 32 * 1024;

std::string PageLikeText() {
  std::string text;
  std::mt19937 random(7);
  while (text.size() < kContentSize)
    text += "<div class=\"row\"><span class=\"label\">item " + std::to_string(random() % 100000) +
            "</span><a href=\"/p/" + std::to_string(random() % 1000) + "\">link</a></div>\n";
  text.resize(kContentSize);
  return text;
}

std::string RandomBytes() {
  std::string bytes(kContentSize, '\0');
  std::mt19937_64 random(11);
  for (std::size_t i = 0; i + 8 <= bytes.size(); i += 8) {
    const std::uint64_t value = random();
    bytes.replace(i, 8, reinterpret_cast<const char*>(&value), 8);
  }
  return bytes;
}

// Arguments: level, text (1) or compressed content (0), ISA-L where built (1) or zlib (0).
void BM_DecodeGzip(benchmark::State& state) {
  static const std::string text = PageLikeText();
  static const std::string random = RandomBytes();
  const auto level = static_cast<int>(state.range(0));
  const std::string& content = state.range(1) ? text : random;
  const auto inflater =
      state.range(2) ? ContentDecoder::Inflater::kFastest : ContentDecoder::Inflater::kZlib;
  if (state.range(2) && !ContentDecoder::IsalBuiltIn()) {
    state.SkipWithError("this build has no ISA-L");
    return;
  }
  const std::string body = testing::Zlib(content, 16 + MAX_WBITS, level);
  for (auto _ : state) {
    std::string problem;
    auto decoder = ContentDecoder::ForEncoding("gzip", problem, kMinDecodedLimit, inflater);
    std::size_t decoded = 0;
    const auto count = [&decoded](std::string_view bytes) {
      decoded += bytes.size();
      return true;
    };
    for (std::size_t at = 0; at < body.size(); at += kPiece)
      decoder->Feed(std::string_view(body).substr(at, kPiece), count);
    if (!decoder->Finish() || decoded != content.size()) {
      state.SkipWithError("the body did not decode whole");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * content.size()));
  state.SetLabel(std::string(state.range(1) ? "text" : "compressed") + " level " +
                 std::to_string(level) + (state.range(2) ? " isa-l" : " zlib") + ", body " +
                 std::to_string(body.size() * 100 / content.size()) + "% of content");
}
BENCHMARK(BM_DecodeGzip)
    ->ArgsProduct({{1, 6, 9}, {1, 0}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5);

}  // namespace
}  // namespace trovanex
