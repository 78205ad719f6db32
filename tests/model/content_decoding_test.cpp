// Bodies in every content coding an origin may use, fed in small pieces as they arrive: what
// comes out is the content itself, and a body that cannot be decoded whole is a failure that
// says why, never half a result taken for the content.
#include "model/content_decoding.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <string>

#include "support/content_codings.h"

namespace trovanex {
namespace {

using testing::Brotli;
using testing::Gzip;
using testing::Zlib;
using testing::Zstd;
const auto Page = testing::PageText;

struct Decoded {
  bool ok = false;
  std::string content;
  std::string problem;
};

// Feeds one byte at a time first (headers split anywhere), then larger pieces.
using Inflater = ContentDecoder::Inflater;

Decoded Decode(const std::string& encoding, std::string_view body,
               std::uint64_t min_limit = kMinDecodedLimit, Inflater inflater = Inflater::kFastest) {
  Decoded result;
  auto decoder = ContentDecoder::ForEncoding(encoding, result.problem, min_limit, inflater);
  if (!decoder) return result;
  const auto keep = [&](std::string_view bytes) {
    result.content.append(bytes);
    return true;
  };
  bool ok = true;
  for (std::size_t at = 0, piece = 1; ok && at < body.size();
       at += piece, piece = at < 16 ? 1 : 4093)
    ok = decoder->Feed(body.substr(at, piece), keep);
  result.ok = ok && decoder->Finish();
  result.problem = decoder->Problem();
  return result;
}

struct EncodingRow {
  const char* name;
  std::string encoding;
  std::function<std::string(const std::string&)> encode;
};

// Every row with each inflater: ISA-L's where the build has it, and zlib's, its fallback.
class EncodingTest : public ::testing::TestWithParam<std::tuple<EncodingRow, Inflater>> {};

TEST_P(EncodingTest, DecodesToTheContentAndRefusesACutOrCorruptBody) {
  const auto& [row, inflater] = GetParam();
  const std::string content = Page(300000);
  const std::string body = row.encode(content);
  ASSERT_LT(body.size(), content.size());

  const Decoded whole = Decode(row.encoding, body, kMinDecodedLimit, inflater);
  EXPECT_TRUE(whole.ok) << whole.problem;
  EXPECT_TRUE(whole.content == content);

  const Decoded cut = Decode(row.encoding, std::string_view(body).substr(0, body.size() * 2 / 3),
                             kMinDecodedLimit, inflater);
  EXPECT_FALSE(cut.ok);
  EXPECT_NE(cut.problem, "");

  std::string corrupt = body;
  for (std::size_t i = body.size() / 3; i < body.size() / 3 + 64; ++i) corrupt[i] ^= 0x5A;
  const Decoded bad = Decode(row.encoding, corrupt, kMinDecodedLimit, inflater);
  EXPECT_FALSE(bad.ok && bad.content == content) << "a corrupt body passed for the content";
  if (!bad.ok) {
    EXPECT_NE(bad.problem, "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codings, EncodingTest,
    ::testing::Combine(
        ::testing::Values(
            EncodingRow{"Gzip", "gzip", Gzip}, EncodingRow{"XGzip", "x-gzip", Gzip},
            EncodingRow{"DeflateZlibWrapped", "deflate",
                        [](const std::string& in) { return Zlib(in, MAX_WBITS); }},
            EncodingRow{"DeflateRaw", "Deflate",
                        [](const std::string& in) { return Zlib(in, -MAX_WBITS); }},
            EncodingRow{"Brotli", "br", Brotli}, EncodingRow{"Zstd", "zstd", Zstd},
            EncodingRow{"GzipThenBrotli", "gzip, br",
                        [](const std::string& in) { return Brotli(Gzip(in)); }},
            EncodingRow{"IdentityInTheList", "identity,zstd , identity", Zstd},
            EncodingRow{"TwoGzipMembers", "gzip",
                        [](const std::string&
                               in) { return Gzip(in.substr(0, 1000)) + Gzip(in.substr(1000)); }},
            EncodingRow{"GzipMemberOfNothing", "gzip",
                        [](const std::string& in) { return Gzip(in) + Gzip(""); }}),
        ::testing::Values(Inflater::kFastest, Inflater::kZlib)),
    [](const auto& row) {
      return std::string(std::get<0>(row.param).name) +
             (std::get<1>(row.param) == Inflater::kZlib ? "Zlib" : "Fastest");
    });

TEST(ContentDecoding, NoCodingAndUnknownCodings) {
  std::string problem;
  EXPECT_EQ(ContentDecoder::ForEncoding("", problem), nullptr);
  EXPECT_EQ(ContentDecoder::ForEncoding("identity", problem), nullptr);
  EXPECT_EQ(problem, "");
  EXPECT_EQ(ContentDecoder::ForEncoding("gzip, compress", problem), nullptr);
  EXPECT_EQ(problem, "unknown content coding \"compress\"");
}

TEST(ContentDecoding, ABombStopsAtTheLimitAndAnOrdinaryPageDoesNot) {
  const std::string zeros(20 << 20, '\0');  // 20 MiB that shrink a thousandfold
  const Decoded bomb = Decode("gzip", Gzip(zeros), 1 << 20);
  EXPECT_FALSE(bomb.ok);
  EXPECT_NE(bomb.problem.find("decoded size over"), std::string::npos) << bomb.problem;
  EXPECT_LE(bomb.content.size(), 1u << 20) << "more than the limit came out";

  const std::string page = Page(4 << 20);
  const Decoded ordinary = Decode("br", Brotli(page), 1 << 20);
  EXPECT_TRUE(ordinary.ok) << ordinary.problem;
  EXPECT_EQ(ordinary.content.size(), page.size());
}

class InflaterTest : public ::testing::TestWithParam<Inflater> {};

TEST_P(InflaterTest, DataAfterTheEndIsNotTheContent) {
  const Inflater inflater = GetParam();
  const std::string page = Page(5000);
  const auto fails = [&](const char* encoding, const std::string& body) {
    return !Decode(encoding, body, kMinDecodedLimit, inflater).ok;
  };
  EXPECT_TRUE(fails("deflate", Zlib(page, MAX_WBITS) + "junk"));
  EXPECT_TRUE(fails("deflate", Zlib(page, -MAX_WBITS) + Zlib(page, -MAX_WBITS)));
  EXPECT_TRUE(fails("br", Brotli(page) + "junk"));
  EXPECT_TRUE(fails("gzip", Gzip(page) + "junk"));
  EXPECT_TRUE(fails("gzip", Gzip(page) + std::string(8, '\0')));
  EXPECT_TRUE(fails("gzip", "")) << "an empty body is no gzip data";
}

TEST_P(InflaterTest, AWrongCheckOrLengthInTheTrailerIsCorrupt) {
  const Inflater inflater = GetParam();
  const std::string page = Page(20000);
  for (const std::size_t from_end : {8u, 4u, 1u}) {  // the CRC-32, then the length
    std::string gzip = Gzip(page);
    gzip[gzip.size() - from_end] ^= 0x01;
    const Decoded bad = Decode("gzip", gzip, kMinDecodedLimit, inflater);
    EXPECT_FALSE(bad.ok) << from_end;
    EXPECT_TRUE(bad.problem.starts_with("corrupt gzip data")) << bad.problem;
  }
  std::string zlib = Zlib(page, MAX_WBITS);
  zlib.back() ^= 0x01;  // the Adler-32
  EXPECT_FALSE(Decode("deflate", zlib, kMinDecodedLimit, inflater).ok);
}

INSTANTIATE_TEST_SUITE_P(Inflaters, InflaterTest,
                         ::testing::Values(Inflater::kFastest, Inflater::kZlib),
                         [](const auto& row) {
                           return std::string(row.param == Inflater::kZlib ? "Zlib" : "Fastest");
                         });

}  // namespace
}  // namespace trovanex
