// The gzip decoder alone, zlib's inflate against ISA-L's: MB/s of decoded output for bodies
// made at levels 1, 6 and 9, of page text and of content that was compressed already (random
// bytes, as a JPEG or a video is to deflate). Fed in 32 KiB pieces, as the capture feeds it.
// Then the whole decoded copy of a capture (a gzip body on disk decoded into a second file,
// and the digest of the content) beside the MD5 of the same content alone, its bound.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <random>
#include <string>

#include "model/content_decoding.h"
#include "model/file_digest.h"
#include "model/growing_file_digest.h"
#include "platform/file_system.h"
#include "platform/temp_file.h"
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

// The capture's decoded copy, from the coded body already on disk to the digest of the copy.
void BM_DecodedCopy(benchmark::State& state) {
  static const std::string text = PageLikeText();
  const std::string folder = std::filesystem::temp_directory_path().string();
  const std::string coded = CreateTempFile(folder, "bench");
  const std::string decoded = CreateTempFile(folder, "bench");
  const std::string body = testing::Zlib(text, 16 + MAX_WBITS, 1);
  {
    const int fd = ::open(coded.c_str(), O_WRONLY | O_CLOEXEC);
    WriteAll(fd, body);
    ::close(fd);
  }
  const std::string expected = [&] {
    Md5 md5;
    md5.Update(text.data(), text.size());
    return md5.HexDigest();
  }();
  for (auto _ : state) {
    std::string problem;
    GrowingFileDigest digest(coded, ContentDecoder::ForEncoding("gzip", problem), decoded, {});
    digest.Grown(body.size());
    if (digest.Finish() != expected) {
      state.SkipWithError("the decoded copy's digest is wrong");
      break;
    }
  }
  RemoveFile(coded);
  RemoveFile(decoded);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.SetLabel("page text, gzip level 1");
}
BENCHMARK(BM_DecodedCopy)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();

// What the decoded copy cannot beat: the digest of its content alone, on one core.
void BM_Md5OfContent(benchmark::State& state) {
  static const std::string text = PageLikeText();
  for (auto _ : state) {
    Md5 md5;
    md5.Update(text.data(), text.size());
    benchmark::DoNotOptimize(md5.HexDigest());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Md5OfContent)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace
}  // namespace trovanex
